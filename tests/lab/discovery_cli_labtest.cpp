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

QJsonObject numberAndText(int number, const char* text) {
  return QJsonObject{{"number", number}, {"text", text}};
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
  // Numbers as numbers (high << 16 | low), the text shown beside.
  EXPECT_EQ(first.value("type").toObject(), numberAndText(18 << 16 | 3, "18.3"));
  EXPECT_EQ(first.value("fw").toObject(), numberAndText(3 << 16 | 10, "3.10"));
  EXPECT_EQ(first.value("hw").toObject(), numberAndText(2 << 16 | 1, "2.1"));
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
  ASSERT_TRUE(o.value("i2cAddress").isDouble());
  EXPECT_EQ(o.value("i2cAddress").toInt(), 8);
  EXPECT_EQ(o.value("type").toObject(), numberAndText(5 << 16 | 1, "5.1"));
  EXPECT_EQ(o.value("fw").toObject(), numberAndText(3 << 16 | 0, "3.0"));
  EXPECT_EQ(o.value("hw").toObject(), numberAndText(2 << 16 | 1, "2.1"));
  EXPECT_EQ(o.value("name").toString(), "Eight");
  EXPECT_EQ(o.keys().size(), 5);
  // A device without a hardware version: null, the key still there.
  const QJsonObject eighty = a[1].toObject();
  EXPECT_EQ(eighty.value("i2cAddress").toInt(), 80);
  EXPECT_EQ(eighty.value("type").toObject(), numberAndText(6 << 16 | 2, "6.2"));
  EXPECT_EQ(eighty.value("fw").toObject(), numberAndText(1 << 16 | 2, "1.2"));
  ASSERT_TRUE(eighty.contains("hw"));
  EXPECT_TRUE(eighty.value("hw").isNull());
  EXPECT_EQ(eighty.value("name").toString(), "Eighty");
}

TEST_F(DiscoveryCli, ScanI2cOfASilentAddressSaysSoAndExitsUnreachable) {
  for (const bool json : {false, true}) {
    QStringList args{"--scan-i2c", labAbsentAddress()};
    if (json) args << "--json";
    const ProgramRun run = home.run(args);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 3) << json;
    EXPECT_TRUE(run.standardOutput.isEmpty()) << run.standardOutput.toStdString();
    EXPECT_EQ(outputLines(run.standardError),
              QStringList{"orvane-upgrader: " + labAbsentAddress() +
                          " did not answer the I2C bus scan (not a gateway, service not running, or switched off)"});
  }
}

TEST_F(DiscoveryCli, InvalidI2cAddressIsRefused) {
  const ProgramRun run = home.run({"--scan-i2c", "10.77.1"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.standardOutput.isEmpty());
  EXPECT_TRUE(run.standardError.contains("--scan-i2c")) << run.standardError.toStdString();
  EXPECT_TRUE(sim->received(labDeviceAddress(1), 7010).isEmpty());
}

// Devices that answer the I2C bus scan differently: a meter that does not serve it at all
// (not a gateway), a gateway without a hardware version whose bus is empty, and a gateway
// whose I2C device is listed but never identified.
class DiscoveryCliGateways : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
    QJsonObject meter = labMeterDevice(0, "00-00-00-00-00-01", "Meter");
    meter.insert("faults", QJsonObject{{"udpRaw", QJsonObject{{"05", QJsonArray{}}}}});
    const QJsonObject gateway{{"address", labDeviceAddress(1)},
                              {"type", "00010002"},
                              {"versionWord", "0003000B"},
                              {"mac", "00-00-00-00-00-02"},
                              {"name", "Empty bus"}};
    // A gateway that lists its bus but never answers an identification.
    QJsonObject mute{{"address", labDeviceAddress(2)},
                     {"type", "00080001"},
                     {"mac", "00-00-00-00-00-03"},
                     {"name", "Mute bus"},
                     {"i2c", QJsonArray{QJsonObject{{"address", 80}}}}};
    mute.insert("faults", QJsonObject{{"udpRaw", QJsonObject{{"07", QJsonArray{}}}}});
    sim = std::make_unique<Simulator>(QJsonObject{{"devices", QJsonArray{meter, gateway, mute}}});
    ASSERT_TRUE(sim->started());
  }
  TempHome home;
  std::unique_ptr<Simulator> sim;
};

TEST_F(DiscoveryCliGateways, ScanJsonGivesNullForAMissingHardwareVersion) {
  const ProgramRun run = home.run({"--scan", "--json"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QJsonArray a = QJsonDocument::fromJson(run.standardOutput).array();
  ASSERT_EQ(a.size(), 3) << run.standardOutput.toStdString();
  const QJsonObject gateway = a[1].toObject();
  EXPECT_EQ(gateway.value("ip").toString(), labDeviceAddress(1));
  EXPECT_EQ(gateway.value("type").toObject(), numberAndText(1 << 16 | 2, "1.2"));
  EXPECT_EQ(gateway.value("fw").toObject(), numberAndText(3 << 16 | 11, "3.11"));
  ASSERT_TRUE(gateway.contains("hw"));
  EXPECT_TRUE(gateway.value("hw").isNull());
  EXPECT_EQ(gateway.value("name").toString(), "Empty bus");
  EXPECT_EQ(gateway.keys().size(), 6);
  // The tab-separated line keeps the text the scan dialog shows.
  const ProgramRun plain = home.run({"--scan"});
  EXPECT_EQ(outputLines(plain.standardOutput).value(1),
            "00-00-00-00-00-02\t" + labDeviceAddress(1) + "\t1.2\t3.11\t-.-\tEmpty bus");
}

TEST_F(DiscoveryCliGateways, ScanI2cJsonGivesNullForValuesNeverSent) {
  const ProgramRun run = home.run({"--scan-i2c", labDeviceAddress(2), "--json"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QJsonArray a = QJsonDocument::fromJson(run.standardOutput).array();
  ASSERT_EQ(a.size(), 1) << run.standardOutput.toStdString();
  const QJsonObject o = a[0].toObject();
  EXPECT_EQ(o.value("i2cAddress").toInt(), 80);
  for (const char* key : {"type", "fw", "hw", "name"}) {
    ASSERT_TRUE(o.contains(key)) << key;
    EXPECT_TRUE(o.value(key).isNull()) << key;
  }
  // The listing shows the record's defaults.
  const ProgramRun plain = home.run({"--scan-i2c", labDeviceAddress(2)});
  EXPECT_EQ(outputLines(plain.standardOutput),
            QStringList{"0x50 (80)\tNot defined\tNot defined\tNot defined\tNot defined"});
}

TEST_F(DiscoveryCliGateways, ScanI2cTellsAnEmptyBusFromNoAnswer) {
  const QString noAnswer = " did not answer the I2C bus scan (not a gateway, service not running, or switched off)";
  const struct {
    QString address;
    bool json;
    int exitCode;
    QByteArray out;
    QStringList err;
  } cases[] = {
      {labDeviceAddress(1), false, 0, "", {}},
      {labDeviceAddress(1), true, 0, "[\n]\n", {}},
      {labDeviceAddress(0), false, 3, "", {"orvane-upgrader: " + labDeviceAddress(0) + noAnswer}},
      {labDeviceAddress(0), true, 3, "", {"orvane-upgrader: " + labDeviceAddress(0) + noAnswer}},
  };
  for (const auto& c : cases) {
    QStringList args{"--scan-i2c", c.address};
    if (c.json) args << "--json";
    const ProgramRun run = home.run(args);
    const std::string what = args.join(' ').toStdString();
    ASSERT_TRUE(run.finished) << what;
    EXPECT_EQ(run.exitCode, c.exitCode) << what;
    EXPECT_EQ(run.standardOutput, c.out) << what;
    EXPECT_EQ(outputLines(run.standardError), c.err) << what;
    if (c.json && c.exitCode == 0) {
      EXPECT_TRUE(QJsonDocument::fromJson(run.standardOutput).isArray()) << what;
    }
  }
  // Each was asked: the silent one did get the request.
  EXPECT_FALSE(sim->received(labDeviceAddress(0), 7010).isEmpty());
  EXPECT_TRUE(home.errorLogText().isEmpty()) << home.errorLogText().toStdString();
}

}  // namespace
