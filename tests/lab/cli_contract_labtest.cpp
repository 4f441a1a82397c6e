// Batch runs of the real program against the device simulator, inside the network lab,
// for what a script sees on standard error: the program's own lines only. Qt's messages
// (the offscreen platform's, QStandardPaths' without XDG_RUNTIME_DIR) go to the error log.
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

// Markers of the messages Qt writes on its own.
const char* const kQtMarkers[] = {"QStandardPaths", "propagateSizeHints", "qt.", "QObject::", "QWidget",
                                  "QSocketNotifier", "QApplication", "XDG_RUNTIME_DIR"};

void expectNoQtLine(const QByteArray& standardError) {
  for (const char* marker : kQtMarkers) {
    EXPECT_FALSE(standardError.contains(marker)) << marker << "\n" << standardError.toStdString();
  }
}

// No platform chosen and no runtime directory: the program picks offscreen itself, and
// Qt has something to say about both.
const QStringList kBareEnvironment = {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("XDG_RUNTIME_DIR")};

TEST(BatchStandardError, HoldsNoMessageOfQt) {
  ORVANE_REQUIRE_LAB();
  windowkit::application();
  TempHome home;
  ASSERT_TRUE(home.isValid());
  // The upload is refused by the device: a short run that still shows the window.
  Simulator sim(gatewayConfig(1000, QJsonObject{{"http", "404"}}));
  ASSERT_TRUE(sim.started());
  const QString bin = windowkit::writeFile(
      home.tempPath(), QStringLiteral("gateway.bin"),
      windowkit::firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00", QByteArray(900, '\x42')));
  const ProgramRun run = home.run({"-IP", labDeviceAddress(0), "-B", bin}, kBareEnvironment, 60000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_NE(run.exitCode, 0);
  expectNoQtLine(run.standardError);
  // Qt did speak: its messages are in the log instead.
  const QString log = home.errorLogText();
  EXPECT_TRUE(log.contains(QStringLiteral("Batch mode started on IP ") + labDeviceAddress(0))) << log.toStdString();
  EXPECT_TRUE(log.contains(QStringLiteral("Qt warning: This plugin does not support propagateSizeHints()\r\n")))
      << log.toStdString();
  EXPECT_TRUE(log.contains(QStringLiteral("Qt warning: QStandardPaths: XDG_RUNTIME_DIR not set"))) << log.toStdString();
}

TEST(HeadlessStandardError, HoldsNoMessageOfQt) {
  ORVANE_REQUIRE_LAB();
  TempHome home;
  ASSERT_TRUE(home.isValid());
  Simulator sim(labDevicesConfig(2));
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run({QStringLiteral("--scan")}, kBareEnvironment, 60000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(outputLines(run.standardOutput).size(), 2) << run.standardOutput.toStdString();
  expectNoQtLine(run.standardError);
}

}  // namespace
