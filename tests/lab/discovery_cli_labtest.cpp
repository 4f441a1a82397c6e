// The real upgrader's headless listings (--scan, --scan-i2c, --json) inside the lab, with
// a throw-away HOME.
#include "support/Lab.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

QJsonObject device(int index, const char* mac, const char* name, const QJsonArray& i2c = {}) {
  QJsonObject d = labMeterDevice(index, mac, name);
  if (!i2c.isEmpty()) d.insert("i2c", i2c);
  return d;
}

class DiscoveryCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
    // MACs deliberately out of order: the listing sorts by MAC text, character codes.
    sim = std::make_unique<Simulator>(QJsonObject{
        {"devices", QJsonArray{device(0, "00-00-00-00-00-0B", "Beta"),
                               device(1, "00-00-00-00-00-0A", "Alpha",
                                      QJsonArray{QJsonObject{{"address", 80}, {"type", "00060002"},
                                                             {"versionWord", "00010002"}, {"name", "Eighty"}},
                                                 QJsonObject{{"address", 8}, {"type", "00050001"},
                                                             {"versionWord", "02010300"}, {"name", "Eight"}}}),
                               device(2, "00-00-00-00-00-1A", "Gamma")}}});
    ASSERT_TRUE(sim->started());
  }
  TempHome home;
  std::unique_ptr<Simulator> sim;
};

TEST_F(DiscoveryCli, ScanPrintsOneTabSeparatedLinePerDeviceSortedByMac) {
  const ProgramRun run = home.run({"--scan"});
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QString a0 = labDeviceAddress(0), a1 = labDeviceAddress(1), a2 = labDeviceAddress(2);
  EXPECT_EQ(outputLines(run.standardOutput),
            (QStringList{"00-00-00-00-00-0A\t" + a1 + "\t18.3\t3.10\t2.1\tAlpha",
                         "00-00-00-00-00-0B\t" + a0 + "\t18.3\t3.10\t2.1\tBeta",
                         "00-00-00-00-00-1A\t" + a2 + "\t18.3\t3.10\t2.1\tGamma"}));
  EXPECT_TRUE(home.errorLogText().isEmpty()) << home.errorLogText().toStdString();
}

TEST_F(DiscoveryCli, ScanJsonPrintsAnArrayOfObjects) {
  const ProgramRun run = home.run({"--scan", "--json"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(run.standardOutput, &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << run.standardOutput.toStdString();
  ASSERT_TRUE(doc.isArray());
  const QJsonArray a = doc.array();
  ASSERT_EQ(a.size(), 3);
  const QJsonObject first = a[0].toObject();
  EXPECT_EQ(first.value("mac").toString(), "00-00-00-00-00-0A");
  EXPECT_EQ(first.value("ip").toString(), labDeviceAddress(1));
  EXPECT_EQ(first.value("type").toString(), "18.3");
  EXPECT_EQ(first.value("fw").toString(), "3.10");
  EXPECT_EQ(first.value("hw").toString(), "2.1");
  EXPECT_EQ(first.value("name").toString(), "Alpha");
  EXPECT_EQ(first.keys().size(), 6);
  EXPECT_EQ(a[1].toObject().value("mac").toString(), "00-00-00-00-00-0B");
  EXPECT_EQ(a[2].toObject().value("mac").toString(), "00-00-00-00-00-1A");
}

TEST_F(DiscoveryCli, ScanI2cPrintsTheBusSortedByAddress) {
  const ProgramRun run = home.run({"--scan-i2c", labDeviceAddress(1)});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(outputLines(run.standardOutput), (QStringList{"0x08 (8)\t5.1\t3.0\t2.1\tEight", "0x50 (80)\t6.2\t1.2\t-.-\tEighty"}));
}

TEST_F(DiscoveryCli, ScanI2cJson) {
  const ProgramRun run = home.run({"--scan-i2c", labDeviceAddress(1), "--json"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0);
  const QJsonArray a = QJsonDocument::fromJson(run.standardOutput).array();
  ASSERT_EQ(a.size(), 2);
  const QJsonObject o = a[0].toObject();
  EXPECT_EQ(o.value("i2cAddress").toString(), "0x08 (8)");
  EXPECT_EQ(o.value("type").toString(), "5.1");
  EXPECT_EQ(o.value("fw").toString(), "3.0");
  EXPECT_EQ(o.value("hw").toString(), "2.1");
  EXPECT_EQ(o.value("name").toString(), "Eight");
  EXPECT_EQ(o.keys().size(), 5);
}

TEST_F(DiscoveryCli, ScanI2cOfASilentAddressPrintsNothing) {
  const ProgramRun plain = home.run({"--scan-i2c", labAbsentAddress()});
  ASSERT_TRUE(plain.finished);
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_TRUE(plain.standardOutput.isEmpty());
  const ProgramRun json = home.run({"--scan-i2c", labAbsentAddress(), "--json"});
  EXPECT_EQ(QJsonDocument::fromJson(json.standardOutput).array().size(), 0);
  EXPECT_TRUE(QJsonDocument::fromJson(json.standardOutput).isArray());
}

TEST_F(DiscoveryCli, InvalidI2cAddressIsRefused) {
  const ProgramRun run = home.run({"--scan-i2c", "10.77.1"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.standardOutput.isEmpty());
  EXPECT_TRUE(run.standardError.contains("--scan-i2c")) << run.standardError.toStdString();
  EXPECT_TRUE(sim->received(labDeviceAddress(1), 7010).isEmpty());
}

}  // namespace
