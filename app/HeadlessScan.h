#pragma once

#include <QStringList>

// True when the arguments ask for a listing without a window ("--scan", "--scan-i2c").
bool isHeadlessScanRequest(const QStringList& arguments);

// Runs the discovery ("--scan") or the I2C bus scan ("--scan-i2c ADDRESS") and prints one
// line per device (tab-separated, in the order the scan dialogs show them), or with
// "--json" a JSON array of objects: type, fw and hw as {"number": N, "text": "18.3"}
// (N = high << 16 | low; null for a value the device did not send, hw also when it reports
// none), i2cAddress as a number. Returns the exit code (app/ExitCodes.h): 0; 2 for a refused
// address; 3 when the I2C bus scan got no answer at all (an empty bus is 0); or 1 when the
// discovery request could not be sent on every interface (the list printed may be incomplete).
// "--scan --targets FILE" asks the addresses of a targets file (app/FleetTargets.h)
// directly instead and lists the same way; a targets file that cannot be read or is
// refused is 2 (its error line on standard error), no request sent at all is 1.
int runHeadlessScan(const QStringList& arguments);
