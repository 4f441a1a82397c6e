#pragma once

#include "app/ScriptOptions.h"

#include <QString>

// The global selection shared by the entry point, the main window and the scan dialogs.
// "None" is a fixed text, never an empty one: "0" for the address and the file names,
// "-1" for the I2C address.
struct GlobalSelection {
  QString IPAddress = QStringLiteral("0");
  QString I2CAddress = QStringLiteral("-1");
  QString BinFileName = QStringLiteral("0");
  QString Bi2FileName = QStringLiteral("0");
  QString WebFileName = QStringLiteral("0");
  bool BatchMode = false;
};

GlobalSelection& globalSelection();

// The command line's options for scripts, set at start-up; the batch run reads them.
ScriptOptions& globalScriptOptions();
