#include "app/AppWindows.h"

#include <QApplication>
#include <QWidget>

int runWindows(QApplication& app) {
  QWidget formMain;
  formMain.setWindowTitle(QStringLiteral("Orvane's products Firmware Upgrader"));
  formMain.resize(638, 311);
  formMain.show();
  return app.exec();
}
