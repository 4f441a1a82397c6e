#pragma once

#include "app/FleetJob.h"
#include "app/GlobalSelection.h"
#include "app/ScriptOptions.h"

#include <QList>
#include <QString>

// The devices of a fleet run, worked out before anything is written to any of them: the
// targets file read and every file it (or the command line) names loaded, the addresses
// asked directly for their identity (ranges and blocks keep only those that answer); or,
// for "discover", the devices one discovery lists whose type the files are for.
struct FleetJobList {
  QList<FleetJob> jobs;
  // Empty when the run can go on; otherwise the line for standard error (without the
  // program's prefix) and the exit code that ends the run.
  QString error;
  int exitCode = 0;
  bool ok() const { return error.isEmpty(); }
};

FleetJobList buildFleetJobs(const GlobalSelection& selection, const ScriptOptions& options);
