// Devices behind a router (netlab --routed): the broadcast listing cannot see them, the
// listing by address of a targets file can, and a fleet run upgrades them. One local
// device beside them shows that the broadcast itself works.
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

constexpr int kRouted = 3;

// A gateway of type 1.3 running 3.10 on hardware 2.1 at a routed address.
QJsonObject routedGateway(int index) {
  return QJsonObject{{"address", labRoutedDeviceAddress(index)},
                     {"type", "00010003"},
                     {"versionWord", "0201030A"},
                     {"mac", QStringLiteral("00-1A-2B-3C-50-0%1").arg(index + 1)},
                     {"name", QStringLiteral("Routed %1").arg(index + 1)},
                     {"flashTimeMs", 200}};
}

class FleetRoutedLab : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
    ASSERT_GE(labRoutedDeviceCount(), kRouted) << "the lab needs --routed " << kRouted;
    ASSERT_FALSE(labRoutedNamespace().isEmpty());
    local = std::make_unique<Simulator>(
        QJsonObject{{"devices", QJsonArray{labMeterDevice(0, "00-1A-2B-3C-4D-01", "Local one")}}});
    ASSERT_TRUE(local->started());
    QJsonArray gateways;
    for (int i = 0; i < kRouted; ++i) gateways.append(routedGateway(i));
    SimulatorOptions options;
    options.netns = labRoutedNamespace();
    routed = std::make_unique<Simulator>(QJsonObject{{"devices", gateways}}, options);
    ASSERT_TRUE(routed->started());
  }

  QString targetsFile(const QByteArray& text, const QString& name = QStringLiteral("targets.txt")) {
    return windowkit::writeFile(home.tempPath(), name, text);
  }

  TempHome home;
  std::unique_ptr<Simulator> local, routed;
};

TEST_F(FleetRoutedLab, BroadcastListingDoesNotReachTheRoutedDevices) {
  const ProgramRun run = home.run({"--scan"}, {}, 60000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(outputLines(run.standardOutput),
            QStringList{"00-1A-2B-3C-4D-01\t" + labDeviceAddress(0) + "\t18.3\t3.10\t2.1\tLocal one"});
}

TEST_F(FleetRoutedLab, ListingByAddressListsExactlyTheRoutedDevices) {
  // A whole /24 is asked; only the three routed addresses answer. The files a line names
  // do not matter to a listing (they need not exist).
  const QString targets = targetsFile("# the routed network\n10.80.1.0/24  bin=absent.bin\r\n");
  const ProgramRun plain = home.run({"--scan", "--targets", targets}, {}, 60000);
  ASSERT_TRUE(plain.finished) << plain.standardError.toStdString();
  EXPECT_EQ(plain.exitCode, 0) << plain.standardError.toStdString();
  QStringList expected;
  for (int i = 0; i < kRouted; ++i)
    expected << QStringLiteral("00-1A-2B-3C-50-0%1\t%2\t1.3\t3.10\t2.1\tRouted %1").arg(i + 1).arg(labRoutedDeviceAddress(i));
  EXPECT_EQ(outputLines(plain.standardOutput), expected);

  const ProgramRun json = home.run({"--scan", "--targets", targets, "--json"}, {}, 60000);
  ASSERT_TRUE(json.finished);
  EXPECT_EQ(json.exitCode, 0) << json.standardError.toStdString();
  const QJsonDocument doc = QJsonDocument::fromJson(json.standardOutput);
  ASSERT_TRUE(doc.isArray()) << json.standardOutput.toStdString();
  const QJsonArray devices = doc.array();
  ASSERT_EQ(devices.size(), kRouted);
  for (int i = 0; i < kRouted; ++i) {
    const QJsonObject d = devices[i].toObject();
    EXPECT_EQ(d.value("ip").toString(), labRoutedDeviceAddress(i));
    EXPECT_EQ(d.value("name").toString(), QStringLiteral("Routed %1").arg(i + 1));
    EXPECT_EQ(d.value("mac").toString(), QStringLiteral("00-1A-2B-3C-50-0%1").arg(i + 1));
  }
}

TEST_F(FleetRoutedLab, ListingByAddressAsksOnlyTheAddressesOfTheFile) {
  // One routed device and the local one, by single address and by range: the other
  // routed devices are not asked, so they are not listed.
  const QString targets =
      targetsFile(("10.80.1.2\n" + labDeviceAddress(0) + "-" + labDeviceAddress(1) + "\n").toUtf8());
  const ProgramRun run = home.run({"--scan", "--targets", targets}, {}, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(outputLines(run.standardOutput),
            (QStringList{"00-1A-2B-3C-4D-01\t" + labDeviceAddress(0) + "\t18.3\t3.10\t2.1\tLocal one",
                         "00-1A-2B-3C-50-02\t10.80.1.2\t1.3\t3.10\t2.1\tRouted 2"}));
}

TEST_F(FleetRoutedLab, BadTargetsFileIsRefusedWithExitCode2) {
  const QString bad = targetsFile("10.80.1.0/24\n10.80.1.7/24\n", QStringLiteral("bad.txt"));
  const ProgramRun run = home.run({"--scan", "--targets", bad, "--json"}, {}, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.standardOutput.isEmpty()) << run.standardOutput.toStdString();
  EXPECT_EQ(QString::fromUtf8(run.standardError),
            "orvane-upgrader: " + bad + " line 2: 10.80.1.7/24 does not start its block: write 10.80.1.0/24\n");
  // Nothing was asked.
  EXPECT_TRUE(routed->received(labRoutedDeviceAddress(0), 7010).isEmpty());
}

// ---------------------------------------------------------------------------------------
// A fleet run over the routed devices. It needs the fleet runner: a build whose --fleet is
// still the placeholder says so, and the case is skipped there.

TEST_F(FleetRoutedLab, FleetRunUpgradesTheRoutedDevices) {
  const QString bin = windowkit::writeFile(
      home.tempPath(), QStringLiteral("fw.bin"),
      windowkit::firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00", QByteArray(900, '\x42')));
  ASSERT_FALSE(bin.isEmpty());
  const QString targets = targetsFile("10.80.1.0/24\n");
  const ProgramRun run = home.run({"--fleet", targets, "-B", bin, "--json"}, {}, 600000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QList<QJsonObject> lines = jsonLines(run.standardOutput);
  ASSERT_FALSE(lines.isEmpty());
  QStringList upgraded;
  for (const QJsonObject& o : lines) {
    EXPECT_FALSE(o.contains("unparsed")) << o.value("unparsed").toString().toStdString();
    if (o.value("event") == "result" && o.value("result") == "upgraded") upgraded << o.value("ip").toString();
  }
  upgraded.sort();
  QStringList expected;
  for (int i = 0; i < kRouted; ++i) expected << labRoutedDeviceAddress(i);
  EXPECT_EQ(upgraded, expected);
  const QJsonObject summary = lines.last();
  EXPECT_EQ(summary.value("event").toString(), "summary");
  EXPECT_EQ(summary.value("devices").toInt(), kRouted);
  EXPECT_EQ(summary.value("counts").toObject().value("upgraded").toInt(), kRouted);
  EXPECT_EQ(summary.value("exitCode").toInt(), 0);
}

}  // namespace
