#pragma once

#include "app/GlobalSelection.h"
#include "app/ScriptOptions.h"

// --fleet: upgrades (or, with --check, plans for) the devices of a targets file or of one
// discovery, options.jobs at a time, each on its own engine and thread. Needs a Qt
// application object on the calling thread; returns the process exit code
// (fleetExitCode, or kExitRefused / kExitFileRefused before any device was touched).
int runFleet(const GlobalSelection& selection, const ScriptOptions& options);
