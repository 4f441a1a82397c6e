// Broadcast discovery from an upgrader with two lab interfaces (10.77.0.1 and 10.78.0.1).
// Every device answers on both, so each is reachable twice.
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"
#include "support/GlobalStateGuard.h"
#include "support/Lab.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

const QString kApp = QStringLiteral("Orvane - Firmware upgrader");

QJsonObject device(int index, const QString& mac, const QString& name) {
  return QJsonObject{{"address", labDeviceAddress(index)}, {"mac", mac}, {"name", name}};
}

class DiscoveryTwoInterfaces : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    if (qEnvironmentVariableIntValue("ORV_LAB_INTERFACES") != 2) GTEST_SKIP() << "needs netlab --interfaces 2";
    configureErrorLog(0, QString(), kApp);
    configureGeneralLog(0, 255, false, false, kApp);
  }

  GlobalStateGuard globals_;
};

TEST_F(DiscoveryTwoInterfaces, OneDatagramPerInterfaceInInterfaceOrder) {
  Simulator sim(QJsonObject{{"devices", QJsonArray{device(0, "00-00-00-00-00-01", "one")}}});
  ASSERT_TRUE(sim.started());
  const std::vector<QHostAddress> expected{QHostAddress(labUpgraderAddress(0)), QHostAddress(labUpgraderAddress(1))};
  ASSERT_EQ(ORVCScanOrvaneDevice::broadcastInterfaces(), expected);

  ORVCScanOrvaneDevice scanner(200);
  QElapsedTimer timer;
  timer.start();
  ASSERT_TRUE(scanner.scanOrvaneDevice());
  const qint64 elapsed = timer.elapsed();

  QStringList from;
  for (const QJsonObject& r : sim.records()) {
    if (r.value("proto").toString() != "udp" || r.value("dir").toString() != "in") continue;
    EXPECT_EQ(r.value("hex").toString(), QStringLiteral("00210000000400110115feb4"));
    from << r.value("from").toString().section(':', 0, 0);
  }
  EXPECT_EQ(from, (QStringList{labUpgraderAddress(0), labUpgraderAddress(1)}));
  // One wait per interface, one after the other.
  std::printf("two interfaces, replyWaitMs 200: discovery took %lld ms\n", static_cast<long long>(elapsed));
  EXPECT_GE(elapsed, 400);
}

TEST_F(DiscoveryTwoInterfaces, DeviceReachableTwiceIsListedOnceWithItsFirstReply) {
  Simulator sim(QJsonObject{{"devices", QJsonArray{device(0, "00-00-00-00-00-01", "one"),
                                                     device(1, "00-00-00-00-00-02", "two")}}});
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(200);
  ASSERT_TRUE(scanner.scanOrvaneDevice());
  // Both interfaces got both replies.
  int replies = 0;
  for (const QJsonObject& r : sim.records())
    if (r.value("proto").toString() == "udp" && r.value("dir").toString() == "out") ++replies;
  EXPECT_EQ(replies, 4);
  QStringList listed;
  for (const auto& d : scanner.networkDevices()) listed << d->macAddressText + " " + d->ipAddressText;
  EXPECT_EQ(listed, (QStringList{"00-00-00-00-00-01 " + labDeviceAddress(0), "00-00-00-00-00-02 " + labDeviceAddress(1)}));
}

}  // namespace
