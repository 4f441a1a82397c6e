#pragma once

#include "app/GlobalSelection.h"
#include "app/ScriptOptions.h"

// Runs that write nothing to a device; each needs a Qt application object and returns
// the process exit code (app/ExitCodes.h).

// --check with -IP: reads the devices' types and versions and prints what an upgrade
// with the files would do ("3.10 → 3.11", "already at 3.11", "downgrade 3.13 → 3.12",
// "incompatible: ...").
int runCheck(const GlobalSelection& selection, const ScriptOptions& options);

// --verify: does each device run its file's type and version? 0 when all do, 6 when one
// does not, 3 when the device cannot be reached.
int runVerify(const GlobalSelection& selection, const ScriptOptions& options);

// --check without -IP: the identification block of each file.
int runFileCheck(const GlobalSelection& selection, const ScriptOptions& options);
