#include "app/AppWindows.h"

#include "app/About.h"
#include "app/GlobalSelection.h"
#include "app/Mainform.h"
#include "app/Scani2c.h"
#include "app/Scanudp.h"

#include <QApplication>

int runWindows(QApplication& app) {
  // A flashed device may take as long as the command line allows to answer again.
  EngineSettings engineSettings;
  engineSettings.restartTimeoutMs = globalScriptOptions().restartTimeoutS * 1000;
  TFormMain FormMain(engineSettings);
  if (!FormMain.engineCreated()) return kExitEngineCreationFailed;
  TScanUDPForm ScanUDPForm(&FormMain, FormMain.discoveryAccess());
  TAboutForm AboutForm(&FormMain);
  TFScanI2C FScanI2C(&FormMain, FormMain.discoveryAccess());
  FormMain.attachWindows(&ScanUDPForm, &AboutForm, &FScanI2C);
  FormMain.show();
  const int exitCode = app.exec();
  // The window's own close releases the engines; an exit requested by a batch run
  // ends the loop without closing it.
  return exitCode;
}
