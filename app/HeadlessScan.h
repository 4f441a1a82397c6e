#pragma once

#include <QStringList>

// True when the arguments ask for a listing without a window ("--scan", "--scan-i2c").
bool isHeadlessScanRequest(const QStringList& arguments);

// Runs the discovery ("--scan") or the I2C bus scan ("--scan-i2c ADDRESS") and prints one
// line per device (tab-separated, in the order the scan dialogs show them), or a JSON
// array with "--json". Returns the exit code: 0, 2 for a refused address, or 1 when the
// discovery request could not be sent on every interface (the list printed may be incomplete).
int runHeadlessScan(const QStringList& arguments);
