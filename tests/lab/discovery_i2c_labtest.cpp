// The I2C bus scan through a simulated gateway, inside the network lab.
#include "common/Globalfunctions.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/IpPacket.h"
#include "support/GlobalStateGuard.h"
#include "support/Lab.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

const QString kApp = QStringLiteral("Orvane - Firmware upgrader");

QJsonObject gateway(const QJsonArray& i2c, const QJsonObject& faults = {}) {
  QJsonObject d{{"address", labDeviceAddress(0)}, {"i2c", i2c}};
  if (!faults.isEmpty()) d.insert("faults", faults);
  return QJsonObject{{"devices", QJsonArray{d}}};
}

QJsonObject i2cDevice(int address, const char* type, const char* version, const char* name) {
  return QJsonObject{{"address", address}, {"type", type}, {"versionWord", version}, {"name", name}};
}

DiscoverySettings shortWindow(int ms = 100) {
  DiscoverySettings s;
  s.i2cReceiveWindowMs = ms;
  return s;
}

struct Row {
  QString address, type, fw, hw, name, ip;
};

std::vector<Row> rows(const ORVCScanOrvaneDevice& s) {
  std::vector<Row> out;
  for (const auto& d : s.i2cDevices())
    out.push_back({d->i2cAddressText, d->typeText, d->fwVersionText, d->hwVersionText, d->deviceName, d->ipAddressText});
  return out;
}

class DiscoveryI2cLab : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    configureErrorLog(0, QString(), kApp);
    configureGeneralLog(0, 255, false, false, kApp);
  }

  GlobalStateGuard globals_;
};

TEST_F(DiscoveryI2cLab, ListsAndIdentifiesEveryDeviceWithTheExactRequests) {
  Simulator sim(gateway({i2cDevice(8, "00050001", "00010002", "Eight"), i2cDevice(80, "00060002", "02010300", "Eighty")}));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(0, shortWindow());
  EXPECT_TRUE(scanner.scanI2CBus(labDeviceAddress(0)));

  const auto r = rows(scanner);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].address, "0x08 (8)");
  EXPECT_EQ(r[0].type, "5.1");
  EXPECT_EQ(r[0].fw, "1.2");
  EXPECT_EQ(r[0].hw, "-.-");
  EXPECT_EQ(r[0].name, "Eight");
  EXPECT_EQ(r[1].address, "0x50 (80)");
  EXPECT_EQ(r[1].type, "6.2");
  EXPECT_EQ(r[1].fw, "3.0");
  EXPECT_EQ(r[1].hw, "2.1");
  EXPECT_EQ(r[1].name, "Eighty");
  for (const Row& row : r) EXPECT_EQ(row.ip, labDeviceAddress(0));

  const QList<QByteArray> requests = sim.received(labDeviceAddress(0), 7010);
  ASSERT_EQ(requests.size(), 3);
  auto hex = [](const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); };
  EXPECT_EQ(requests[0], hex("00 05 00 00 00 00 FF FA"));
  EXPECT_EQ(requests[1], hex("00 07 00 00 00 0C 08 01 00 04 08 01 01 04 08 01 15 10 D1 D1"));
  EXPECT_EQ(requests[2], hex("00 07 00 00 00 0C 50 01 00 04 50 01 01 04 50 01 15 10 F9 D0"));
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

TEST_F(DiscoveryI2cLab, ListedDeviceThatNeverAnswersKeepsNotDefined) {
  // The gateway lists 0x08 and 0x50 but has no device behind 0x50 to identify.
  const QByteArray list = orvane::proto::buildPacket(orvane::proto::I2cScanAnswer, 0, QByteArray::fromHex("0850"));
  Simulator sim(gateway({i2cDevice(8, "00050001", "00010002", "Eight")},
                        {{"udpRaw", QJsonObject{{"05", QJsonArray{QString::fromLatin1(list.toHex())}}}}}));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(0, shortWindow());
  scanner.scanI2CBus(labDeviceAddress(0));
  const auto r = rows(scanner);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].name, "Eight");
  EXPECT_EQ(r[1].address, "0x50 (80)");
  EXPECT_EQ(r[1].type, "Not defined");
  EXPECT_EQ(r[1].fw, "Not defined");
  EXPECT_EQ(r[1].hw, "Not defined");
  EXPECT_EQ(r[1].name, "Not defined");
}

TEST_F(DiscoveryI2cLab, IdentificationAnswersOfTheWrongSizeOrStatusAreIgnored) {
  using orvane::proto::buildPacket;
  QByteArray good = QByteArray::fromHex("00050001" "87" "00010002" "87") + QByteArray("Sensor").leftJustified(16, '\0') +
                    QByteArray(1, char(0x87));
  ASSERT_EQ(good.size(), 27);
  QByteArray badStatus = good;
  badStatus[9] = 0x07;
  const struct {
    const char* what;
    QByteArray payload;
    const char* name;
  } cases[] = {
      {"27 bytes", good, "Sensor"},
      {"26 bytes", good.left(26), "Not defined"},
      {"28 bytes", good + char(0x87), "Not defined"},
      {"status byte", badStatus, "Not defined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QByteArray answer = buildPacket(orvane::proto::I2cTransferAnswer, 0, c.payload);
    Simulator sim(gateway({i2cDevice(80, "00010001", "00010000", "unused")},
                          {{"udpRaw", QJsonObject{{"07", QJsonArray{QString::fromLatin1(answer.toHex())}}}}}));
    ASSERT_TRUE(sim.started());
    ORVCScanOrvaneDevice scanner(0, shortWindow());
    scanner.scanI2CBus(labDeviceAddress(0));
    const auto r = rows(scanner);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, c.name);
  }
}

TEST_F(DiscoveryI2cLab, EmptyBusGivesAnEmptyList) {
  Simulator sim(gateway({}));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(0, shortWindow());
  EXPECT_TRUE(scanner.scanI2CBus(labDeviceAddress(0)));
  EXPECT_TRUE(scanner.i2cDevices().empty());
  EXPECT_EQ(sim.received(labDeviceAddress(0), 7010).size(), 1);  // the list request only
}

TEST_F(DiscoveryI2cLab, SilentAddressGivesAnEmptyListAfterOneWindow) {
  // Shipped window (200 ms): one for the list request, nothing to identify.
  const struct {
    const char* what;
    QString address;
    QJsonObject faults;
  } cases[] = {
      {"no host at the address", labAbsentAddress(), {}},
      {"gateway silent on the discovery port", labDeviceAddress(0), {{"silentPorts", QJsonArray{7010}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Simulator sim(gateway({i2cDevice(8, "00050001", "00010002", "Eight")}, c.faults));
    ASSERT_TRUE(sim.started());
    ORVCScanOrvaneDevice scanner(500);
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(scanner.scanI2CBus(c.address));
    const qint64 elapsed = timer.elapsed();
    EXPECT_TRUE(scanner.i2cDevices().empty());
    std::printf("%s: I2C scan took %lld ms\n", c.what, static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 5000);  // bounded; the figure itself is printed, not asserted
  }
}

TEST_F(DiscoveryI2cLab, ScanEmptiesThePreviousList) {
  ORVCScanOrvaneDevice scanner(0, shortWindow());
  {
    Simulator sim(gateway({i2cDevice(8, "00050001", "00010002", "Eight")}));
    ASSERT_TRUE(sim.started());
    scanner.scanI2CBus(labDeviceAddress(0));
    ASSERT_EQ(scanner.i2cDevices().size(), 1u);
  }
  scanner.scanI2CBus(labAbsentAddress());
  EXPECT_TRUE(scanner.i2cDevices().empty());
}

}  // namespace
