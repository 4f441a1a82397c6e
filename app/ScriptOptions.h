#pragma once

#include "engine/FirmwareFile.h"

#include <QString>
#include <QStringList>

// The TARGETS of "--fleet discover": the devices one discovery lists.
inline constexpr char kFleetDiscover[] = "discover";
inline constexpr int kFleetJobsDefault = 8, kFleetJobsMax = 64;

// The command line's options for scripts, beside the global selection: what a batch run,
// a check or a verification does and how it reports.
struct ScriptOptions {
  bool json = false;         // --json: one JSON object per line on standard output
  bool check = false;        // --check: read and compare, write nothing
  bool verify = false;       // --verify: does the device run the file's type and version?
  bool skipCurrent = false;  // --skip-current: leave a device that already runs the file's version
  bool noDowngrade = false;  // --no-downgrade: refuse a downgrade
  int restartTimeoutS = 60;  // --restart-timeout: seconds a flashed device has to answer again
  bool history = false;      // --history: list the past runs
  QString since;             // --since: the date text given, unchecked; empty: no limit
  // --fleet TARGETS: the targets file (absolute path) or kFleetDiscover; empty: no fleet run.
  QString fleet;
  int jobs = kFleetJobsDefault; // --jobs: devices of a fleet run at a time (1..64)
  bool force = false;           // --force: a fleet run flashes devices already at the file's version
  bool allowDowngrade = false;  // --allow-downgrade: a fleet run may flash an older file
  // The paths tried for each relative file value, in the order they were tried; empty for
  // an absolute value or no file. The refusal of a missing file names them.
  QStringList binTried, bi2Tried, webTried;

  // The paths tried for a file of this kind, or `path` itself when it was not looked for.
  QStringList pathsTried(orvane::FirmwareKind kind, const QString& path) const {
    const QStringList& tried = kind == orvane::FirmwareKind::Bin   ? binTried
                               : kind == orvane::FirmwareKind::Bi2 ? bi2Tried
                                                                   : webTried;
    return tried.isEmpty() ? QStringList{path} : tried;
  }
  // A file's refusal as the terminal shows it: the reason and every path tried.
  QString refusalLine(const QString& refusal, orvane::FirmwareKind kind, const QString& path) const {
    return refusal + QStringLiteral(" (tried ") + pathsTried(kind, path).join(QStringLiteral(", ")) + u')';
  }
};
