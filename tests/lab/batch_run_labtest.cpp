// Batch runs of the real program against the device simulator, inside the network lab,
// with a throw-away home: the exit code tells the outcome (0 success, 1 upgrade failed,
// 3 unreachable, 5 a named file refused), standard output follows the run, the error log
// keeps every entry.
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

// The gateway flashes in 1000 ms.
QJsonObject gateway(const QJsonObject& faults = {}) { return gatewayConfig(1000, faults); }

class BatchRunLab : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    windowkit::application();
    ASSERT_TRUE(home.isValid());
  }

  QString newerBin() {
    return windowkit::writeFile(home.tempPath(), QStringLiteral("gateway.bin"),
                                windowkit::firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00",
                                                         QByteArray(900, '\x42')));
  }

  TempHome home;
};

// Uses the shipped 15 s flashing wait: the only run of its kind here.
TEST_F(BatchRunLab, SuccessEndsWithCodeZeroAndPrintsTheRun) {
  Simulator sim(gateway());
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run({"-IP", labDeviceAddress(0), "-B", newerBin()}, {}, 90000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  const QString out = QString::fromLocal8Bit(run.standardOutput);
  EXPECT_EQ(run.exitCode, 0) << out.toStdString() << run.standardError.toStdString();
  const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  EXPECT_TRUE(lines.contains(QStringLiteral("progress 100"))) << out.toStdString();
  EXPECT_TRUE(lines.contains(QStringLiteral("Upgrade finished successfully."))) << out.toStdString();
  EXPECT_TRUE(lines.contains(QStringLiteral("Device version: 3.11 / 2.1"))) << out.toStdString();
  EXPECT_FALSE(lines.contains(QStringLiteral("Upgrade failed.")));
  // Progress lines come as they change, in rising order within one transfer.
  EXPECT_GT(lines.filter(QStringLiteral("progress ")).size(), 2);
  const QString log = home.errorLogText();
  EXPECT_TRUE(log.contains(QStringLiteral("Batch mode started on IP ") + labDeviceAddress(0))) << log.toStdString();
  EXPECT_FALSE(log.contains(QStringLiteral("Upgrade failed.")));
  EXPECT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return r.value("event") == "flashed"; }, 2000));
}

TEST_F(BatchRunLab, RefusedFileEndsWithCodeFiveBeforeAnyExchange) {
  Simulator sim(gateway());
  ASSERT_TRUE(sim.started());
  const QString missing = QDir(home.tempPath()).filePath(QStringLiteral("missing.bin"));
  const QString wrongKind = windowkit::writeFile(home.tempPath(), QStringLiteral("FIRMWARE.BIN"), QByteArray(64, 'x'));
  struct Case {
    QString path;
    const char* reason;
  };
  const Case cases[] = {{missing, "The *.bin file does not exist."}, {wrongKind, "Wrong file extension."}};
  for (const Case& c : cases) {
    QFile::remove(home.errorLogPath());
    const ProgramRun run = home.run({"-IP", labDeviceAddress(0), "-B", c.path}, {}, 30000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 5) << c.reason;
    const QString log = home.errorLogText();
    EXPECT_TRUE(log.contains(QString::fromLatin1(c.reason))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Bin file not valid."))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Upgrade failed.")));
  }
  // Nothing was sent to the device.
  EXPECT_TRUE(sim.received(labDeviceAddress(0), 8010).isEmpty());
}

TEST_F(BatchRunLab, FailedUpgradeEndsWithCodeOneAndLogsUpgradeFailed) {
  Simulator sim(gateway(QJsonObject{{"http", "404"}}));
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run({"-IP", labDeviceAddress(0), "-B", newerBin()}, {}, 60000);
  ASSERT_TRUE(run.finished);
  const QString out = QString::fromLocal8Bit(run.standardOutput);
  EXPECT_EQ(run.exitCode, 1) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("Upgrade failed."))) << out.toStdString();
  EXPECT_FALSE(out.contains(QStringLiteral("Upgrade finished successfully.")));
  const QString log = home.errorLogText();
  EXPECT_TRUE(log.contains(QStringLiteral("Upgrade failed."))) << log.toStdString();
}

TEST_F(BatchRunLab, AbsentDeviceIsRefusedAtStartWithCodeThree) {
  Simulator sim(gateway());
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run({"-IP", labAbsentAddress(), "-B", newerBin()}, {}, 60000);
  ASSERT_TRUE(run.finished);
  const QString out = QString::fromLocal8Bit(run.standardOutput);
  EXPECT_EQ(run.exitCode, 3) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("No device connected at IP address: ") + labAbsentAddress()))
      << out.toStdString();
  EXPECT_TRUE(home.errorLogText().contains(QStringLiteral("Upgrade failed.")));
}

}  // namespace
