// Ctrl-C during a fleet run, for real: the real program upgrades simulated devices one at a
// time and is interrupted while the first one uploads. No further device starts, the
// running one stops before activation or goes on to its end (never between activation and
// reset), the summary is printed, and a second Ctrl-C ends the process at once.
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

using namespace orvane::test;

namespace {

constexpr int kDevices = 3;

bool isUploadStart(const QJsonObject& r, const QString& device) {
  return r.value("device") == device && r.value("proto") == "tcp" && r.value("port") == 8004 &&
         r.value("dir") == "in" && r.value("hex").toString().startsWith("0031");
}

class FleetStopLab : public ::testing::Test {
 public:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
    // 1 MiB: the upload lasts long enough for the signal to land inside it.
    bin = windowkit::writeFile(home.tempPath(), "fw.bin",
                               windowkit::firmwareImage("00 01 00 01", "00 01 00 05", "00 00 00 00",
                                                        QByteArray(1 << 20, '\x5A')));
    QByteArray lines;
    for (int i = 0; i < kDevices; ++i) lines += labDeviceAddress(i).toLatin1() + '\n';
    targets = windowkit::writeFile(home.tempPath(), "targets.txt", lines);
  }

  // Starts the fleet run, waits until the first device's upload began, then sends SIGINT.
  // Returns false when the upload never began or the run did not end.
  bool runAndInterrupt(Simulator& sim, QProcess& process) {
    process.setProcessEnvironment(home.environment());
    process.start(builtProgram(), {"--fleet", targets, "-B", bin, "--jobs", "1", "--json"});
    if (!process.waitForStarted(10000)) return false;
    const QString first = labDeviceAddress(0);
    if (!sim.waitForRecord([&](const QJsonObject& r) { return isUploadStart(r, first); }, 30000)) return false;
    ::kill(pid_t(process.processId()), SIGINT);
    return process.waitForFinished(60000);
  }

  TempHome home;
  QString bin, targets;
};

TEST_F(FleetStopLab, CtrlCStartsNoFurtherDeviceAndPrintsTheSummary) {
  Simulator sim(labDevicesConfig(kDevices));
  ASSERT_TRUE(sim.started());
  QProcess process;
  ASSERT_TRUE(runAndInterrupt(sim, process));
  const QByteArray err = process.readAllStandardError();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 130) << err.toStdString();
  EXPECT_TRUE(err.contains("stopping: no further device starts")) << err.toStdString();

  const QList<QJsonObject> lines = jsonLines(process.readAllStandardOutput());
  ASSERT_FALSE(lines.isEmpty());
  const QJsonObject summary = lines.last();
  ASSERT_EQ(summary.value("event"), "summary");
  EXPECT_EQ(summary.value("devices"), kDevices);
  const QJsonArray results = summary.value("results").toArray();
  ASSERT_EQ(results.size(), kDevices);
  const QString firstResult = results[0].toObject().value("result").toString();
  EXPECT_TRUE(firstResult == "cancelled" || firstResult == "upgraded") << firstResult.toStdString();
  for (int i = 1; i < kDevices; ++i) {
    EXPECT_EQ(results[i].toObject().value("result"), "cancelled");
    EXPECT_TRUE(results[i].toObject().value("reason").toString().contains("not started"));
  }

  // The devices never started saw nothing; the first one, when activated, was also reset.
  bool activated = false, resetAfter = false;
  for (const QJsonObject& r : sim.records()) {
    const QString device = r.value("device").toString();
    if (device != labDeviceAddress(0)) {
      EXPECT_NE(r.value("proto"), "tcp") << device.toStdString();
      EXPECT_NE(r.value("event"), "connection") << device.toStdString();
      continue;
    }
    if (r.value("event") == "activated") activated = true;
    if (activated && r.value("event") == "reset") resetAfter = true;
  }
  EXPECT_EQ(activated, resetAfter);
  EXPECT_EQ(activated, firstResult == "upgraded");
}

// The first Ctrl-C lands while the first device restarts after its activation: the run
// goes on (it must not stop between activation and reset, nor leave the restart unwatched);
// the second one ends the process at once.
TEST_F(FleetStopLab, ASecondCtrlCAbortsAtOnce) {
  Simulator sim(labDevicesConfig(kDevices));
  ASSERT_TRUE(sim.started());
  QProcess process;
  process.setProcessEnvironment(home.environment());
  process.start(builtProgram(), {"--fleet", targets, "-B", bin, "--jobs", "1", "--json"});
  ASSERT_TRUE(process.waitForStarted(10000));
  const QString first = labDeviceAddress(0);
  ASSERT_TRUE(sim.waitForRecord(
      [&](const QJsonObject& r) { return r.value("device") == first && r.value("event") == "reset"; }, 30000));
  ::kill(pid_t(process.processId()), SIGINT);
  EXPECT_FALSE(process.waitForFinished(1000)) << "the first Ctrl-C ended a device's restart wait";
  ::kill(pid_t(process.processId()), SIGINT);
  ASSERT_TRUE(process.waitForFinished(5000));
  const QByteArray err = process.readAllStandardError();
  EXPECT_EQ(process.exitCode(), 130) << err.toStdString();
  EXPECT_TRUE(err.contains("aborted at once")) << err.toStdString();
}

}  // namespace
