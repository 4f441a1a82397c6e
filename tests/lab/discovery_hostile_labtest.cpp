// The real upgrader's headless listings against a host on the LAN that floods or keeps
// repeating itself, inside the lab with a throw-away HOME. The run must end, with the
// well-behaved devices listed; its duration is printed, not asserted.
#include "support/Lab.h"
#include "support/TempHome.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <cstdio>

using namespace orvane::test;

namespace {

QJsonObject device(int index, const char* mac, const char* name, const QJsonObject& faults = {}) {
  QJsonObject d = labMeterDevice(index, mac, name);
  if (!faults.isEmpty()) d.insert("faults", faults);
  return d;
}

// The listing lines of the two well-behaved devices of every case here.
QStringList realDeviceLines() {
  return {"00-00-00-00-00-0A\t" + labDeviceAddress(0) + "\t18.3\t3.10\t2.1\tAlpha",
          "00-00-00-00-00-0B\t" + labDeviceAddress(1) + "\t18.3\t3.10\t2.1\tBeta"};
}

// The most lines one listing may have (the cap of the discovery).
constexpr int kCap = 10000;

class DiscoveryHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
  }

  // `--scan` with the two real devices and a third, flooding one; the flood starts after
  // the real replies so that they are queued first.
  ProgramRun scanWithFlood(const QJsonObject& flood, const char* what) {
    Simulator sim(QJsonObject{{"devices", QJsonArray{device(0, "00-00-00-00-00-0A", "Alpha"),
                                                     device(1, "00-00-00-00-00-0B", "Beta"),
                                                     device(2, "00-00-00-00-00-0F", "Flood",
                                                            {{"udpReplyDelayMs", 100}, {"udpFlood", flood}})}}},
                  SimulatorOptions{false});
    EXPECT_TRUE(sim.started());
    QElapsedTimer timer;
    timer.start();
    const ProgramRun run = home.run({"--scan"}, {}, 120000);
    std::printf("%s: --scan ended after %lld ms with %lld lines\n", what, static_cast<long long>(timer.elapsed()),
                static_cast<long long>(outputLines(run.standardOutput).size()));
    return run;
  }

  TempHome home;
};

TEST_F(DiscoveryHostile, ReplyFloodOfUniqueMacsEndsTheScanWithTheRealDevicesListed) {
  // 190,000 records with unique MACs, 1000 per datagram: about 6.5 MB from one host.
  const ProgramRun run = scanWithFlood(QJsonObject{{"records", 190000}, {"perDatagram", 1000}}, "6.5 MB flood");
  ASSERT_TRUE(run.finished) << "the scan did not end";
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QStringList listed = outputLines(run.standardOutput);
  EXPECT_LE(listed.size(), kCap);
  EXPECT_GT(listed.size(), 2);
  for (const QString& line : realDeviceLines()) EXPECT_TRUE(listed.contains(line)) << line.toStdString();
}

TEST_F(DiscoveryHostile, FloodThatKeepsComingEndsTheScanWithTheRealDevicesListed) {
  // A round of 19,000 records every 10 ms for 20 s: far longer than the reply wait.
  const ProgramRun run = scanWithFlood(
      QJsonObject{{"records", 19000}, {"perDatagram", 1900}, {"forMs", 20000}, {"everyMs", 10}}, "endless flood");
  ASSERT_TRUE(run.finished) << "the scan did not end";
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QStringList listed = outputLines(run.standardOutput);
  EXPECT_LE(listed.size(), kCap);
  for (const QString& line : realDeviceLines()) EXPECT_TRUE(listed.contains(line)) << line.toStdString();
}

TEST_F(DiscoveryHostile, RepeatedI2cListEndsTheI2cScanWithTheList) {
  // The gateway answers the list request again every 150 ms for a minute, inside every
  // 200 ms receive window: only the scan's own deadline can end it.
  const QByteArray list = QByteArray::fromHex("0006000000020850f7a7");
  ASSERT_EQ(list.size(), 10);
  const QJsonObject faults{{"udpRaw", QJsonObject{{"05", QJsonArray{QString::fromLatin1(list.toHex())}}}},
                           {"udpRawRepeat", QJsonObject{{"everyMs", 150}, {"times", 400}}}};
  Simulator sim(QJsonObject{{"devices", QJsonArray{device(0, "00-00-00-00-00-0A", "Alpha", faults)}}});
  ASSERT_TRUE(sim.started());
  QElapsedTimer timer;
  timer.start();
  const ProgramRun run = home.run({"--scan-i2c", labDeviceAddress(0)}, {}, 120000);
  std::printf("repeated I2C list: --scan-i2c ended after %lld ms\n", static_cast<long long>(timer.elapsed()));
  ASSERT_TRUE(run.finished) << "the I2C scan did not end";
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(outputLines(run.standardOutput),
            (QStringList{"0x08 (8)\tNot defined\tNot defined\tNot defined\tNot defined",
                         "0x50 (80)\tNot defined\tNot defined\tNot defined\tNot defined"}));
  // Only the list was asked: the deadline came before any identification.
  EXPECT_EQ(sim.received(labDeviceAddress(0), 7010).size(), 1);
}

}  // namespace
