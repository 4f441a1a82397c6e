// Batch runs of the real program against the device simulator, inside the network lab,
// for what a script sees on standard error: the program's own lines only. Qt's messages
// (the offscreen platform's, QStandardPaths' without XDG_RUNTIME_DIR) go to the error log.
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QFileInfo>
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

class BatchStandardError : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    windowkit::application();
    ASSERT_TRUE(home.isValid());
  }
  // The upload is refused by the device: a short run that still shows the window.
  ProgramRun runRefusedUpload(const QStringList& environment) {
    Simulator sim(gatewayConfig(1000, QJsonObject{{"http", "404"}}));
    if (!sim.started()) return {};
    const QString bin = windowkit::writeFile(
        home.tempPath(), QStringLiteral("gateway.bin"),
        windowkit::firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00", QByteArray(900, '\x42')));
    return home.run({"-IP", labDeviceAddress(0), "-B", bin}, environment, 60000);
  }
  TempHome home;
};

TEST_F(BatchStandardError, HoldsNoMessageOfQt) {
  const ProgramRun run = runRefusedUpload(kBareEnvironment);
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

// A DISPLAY naming a local X server that is not there: the batch run goes offscreen
// instead of letting Qt abort on it.
TEST_F(BatchStandardError, StaleLocalDisplayRunsOffscreen) {
  const QString socket = QStringLiteral("/tmp/.X11-unix/X93");
  if (QFileInfo::exists(socket)) GTEST_SKIP() << socket.toStdString() << " exists here";
  const ProgramRun run =
      runRefusedUpload({QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("DISPLAY=:93")});
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_NE(run.exitCode, 0);
  expectNoQtLine(run.standardError);
  EXPECT_TRUE(home.errorLogText().contains(QStringLiteral("Upgrade failed."))) << home.errorLogText().toStdString();
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
