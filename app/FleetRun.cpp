#include "app/FleetRun.h"

#include "app/BatchOutput.h"
#include "app/ExitCodes.h"

int runFleet(const GlobalSelection& /*selection*/, const ScriptOptions& /*options*/) {
  printProgramError(QStringLiteral("--fleet is not available in this build"));
  return kExitFailed;
}
