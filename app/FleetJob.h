#pragma once

#include "app/RunReport.h"
#include "engine/FirmwareFile.h"
#include "engine/ORVCRoVivazava.h"

#include <QList>
#include <QString>
#include <memory>

// One device of a fleet run: where it is, what it is called, and the files it gets. The
// files are loaded once per run and shared, read-only, by every device that names them.
struct FleetJob {
  QString ip;
  QString name, mac;   // from the discovery reply; empty when the device did not answer it
  std::shared_ptr<const orvane::LoadedFirmware> bin, web, bi2;
  int i2cAddress = -1;  // with bi2 only
  QList<RunFile> files; // the files as the run's records name them
};

// What every device of one fleet run does the same way.
struct FleetPolicy {
  bool checkOnly = false;       // --check: read and compare, write nothing
  bool force = false;           // flash a device that already runs the file's version
  bool allowDowngrade = false;  // flash a file older than what the device runs
  EngineSettings engine;        // the engine's ports and waits
};
