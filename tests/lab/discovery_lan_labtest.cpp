// Broadcast discovery against the device simulator, inside the network lab (one upgrader
// interface, 10.77.0.1). Every datagram stays in the lab's namespaces.
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/IpPacket.h"
#include "support/GlobalStateGuard.h"
#include "support/Lab.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

const QString kApp = QStringLiteral("Orvane - Firmware upgrader");

QJsonObject device(int index, const QString& mac, const QString& name, const QJsonObject& faults = {}) {
  QJsonObject d{{"address", labDeviceAddress(index)},
                {"type", "00120003"},
                {"versionWord", "0201030A"},
                {"mac", mac},
                {"name", name}};
  if (!faults.isEmpty()) d.insert("faults", faults);
  return d;
}

QJsonObject config(const QJsonArray& devices) { return QJsonObject{{"devices", devices}}; }

QString hexText(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

class DiscoveryLan : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(logDir.isValid());
    configureErrorLog(LogToFile, logDir.path(), kApp);
    configureGeneralLog(0, 255, false, false, kApp);
    orvane::ui::setMessageBoxHandler([this](const QString&, const QString& text, orvane::ui::BoxIcon) { boxes << text; });
  }
  GlobalStateGuard globals_;

  QString errorLog() const {
    QFile f(errorLogFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  static QStringList listed(const ORVCScanOrvaneDevice& s) {
    QStringList out;
    for (const auto& d : s.networkDevices()) out << d->macAddressText + QLatin1Char(' ') + d->ipAddressText + QLatin1Char(' ') + d->deviceName;
    return out;
  }

  QTemporaryDir logDir;
  QStringList boxes;
};

TEST_F(DiscoveryLan, SendsTheExactRequestFromTheInterfaceAddressAndListsTheDevice) {
  Simulator sim(config({device(0, "00-1A-2B-3C-4D-01", "Gateway one")}));
  ASSERT_TRUE(sim.started());

  EXPECT_EQ(ORVCScanOrvaneDevice::broadcastInterfaces(), std::vector<QHostAddress>{QHostAddress(labUpgraderAddress(0))});

  ORVCScanOrvaneDevice scanner(300);
  ASSERT_TRUE(scanner.scanOrvaneDevice());

  QList<QJsonObject> in;
  for (const QJsonObject& r : sim.records())
    if (r.value("proto").toString() == "udp" && r.value("dir").toString() == "in") in << r;
  ASSERT_EQ(in.size(), 1);
  EXPECT_EQ(in[0].value("hex").toString(), QStringLiteral("00210000000400110115feb4"));
  EXPECT_EQ(in[0].value("to").toString(), "255.255.255.255");
  EXPECT_TRUE(in[0].value("from").toString().startsWith(labUpgraderAddress(0) + ":")) << in[0].value("from").toString().toStdString();
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();

  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  const ORVCOrvaneDevice& d = *scanner.networkDevices()[0];
  EXPECT_EQ(d.ipAddressText, labDeviceAddress(0));
  EXPECT_EQ(d.macAddressText, "00-1A-2B-3C-4D-01");
  EXPECT_EQ(d.typeText, "18.3");
  EXPECT_EQ(d.hwVersionText, "2.1");
  EXPECT_EQ(d.fwVersionText, "3.10");
  EXPECT_EQ(d.deviceName, "Gateway one");
  EXPECT_TRUE(boxes.isEmpty());
  EXPECT_TRUE(errorLog().isEmpty()) << errorLog().toStdString();
}

TEST_F(DiscoveryLan, LogsEachInterfaceAndTheSend) {
  Simulator sim(config({device(0, "00-1A-2B-3C-4D-01", "one")}));
  ASSERT_TRUE(sim.started());
  configureGeneralLog(LogToConsole, 255, false, false, kApp);
  testing::internal::CaptureStderr();
  ORVCScanOrvaneDevice scanner(100);
  scanner.scanOrvaneDevice();
  const std::string err = testing::internal::GetCapturedStderr();
  configureGeneralLog(0, 255, false, false, kApp);
  EXPECT_NE(err.find("ForwardDest = 10.77.0.1"), std::string::npos) << err;
  EXPECT_NE(err.find("Sending a datagram..."), std::string::npos) << err;
}

struct FaultCase {
  const char* what;
  QJsonArray devices;
  QStringList expected;  // "MAC address name", in list order
  int boxes;
};

TEST_F(DiscoveryLan, DeviceFaults) {
  const QString a0 = labDeviceAddress(0), a1 = labDeviceAddress(1), a2 = labDeviceAddress(2);
  const FaultCase cases[] = {
      {"three plain devices",
       {device(0, "00-00-00-00-00-01", "d1"), device(1, "00-00-00-00-00-02", "d2"), device(2, "00-00-00-00-00-03", "d3")},
       {"00-00-00-00-00-01 " + a0 + " d1", "00-00-00-00-00-02 " + a1 + " d2", "00-00-00-00-00-03 " + a2 + " d3"},
       0},
      {"double reply listed once", {device(0, "00-00-00-00-00-01", "twice", {{"udpDoubleReply", true}})},
       {"00-00-00-00-00-01 " + a0 + " twice"}, 0},
      {"split reply assembled", {device(0, "00-00-00-00-00-01", "split", {{"udpSplitReply", true}})},
       {"00-00-00-00-00-01 " + a0 + " split"}, 0},
      {"bad checksum dropped, neighbour kept",
       {device(0, "00-00-00-00-00-01", "bad", {{"udpBadChecksum", true}}), device(1, "00-00-00-00-00-02", "good")},
       {"00-00-00-00-00-02 " + a1 + " good"}, 0},
      {"reply after the wait is lost",
       {device(0, "00-00-00-00-00-01", "late", {{"udpReplyDelayMs", 900}}), device(1, "00-00-00-00-00-02", "prompt")},
       {"00-00-00-00-00-02 " + a1 + " prompt"}, 0},
      {"unknown variable: box, no record", {device(0, "00-00-00-00-00-01", "odd", {{"udpUnknownVariable", 5}})}, {}, 1},
      {"two devices without MAC: the first only",
       {device(0, "00-00-00-00-00-01", "nomac1", {{"udpOmitVariables", QJsonArray{17}}}),
        device(1, "00-00-00-00-00-02", "nomac2", {{"udpOmitVariables", QJsonArray{17}}})},
       {"00.00.00.00.00.00 " + a0 + " nomac1"}, 0},
      {"same MAC twice: the first reply wins",
       {device(0, "00-00-00-00-00-07", "first"), device(1, "00-00-00-00-00-07", "second")},
       {"00-00-00-00-00-07 " + a0 + " first"}, 0},
      {"reply without versions keeps Not defined",
       {device(0, "00-00-00-00-00-01", "nover", {{"udpOmitVariables", QJsonArray{1}}})},
       {"00-00-00-00-00-01 " + a0 + " nover"}, 0},
      {"reply without name is not listed",
       {device(0, "00-00-00-00-00-01", "noname", {{"udpOmitVariables", QJsonArray{21}}})}, {}, 0},
      {"silent device", {device(0, "00-00-00-00-00-01", "mute", {{"silentPorts", QJsonArray{7010}}})}, {}, 0},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    boxes.clear();
    Simulator sim(config(c.devices));
    ASSERT_TRUE(sim.started());
    ORVCScanOrvaneDevice scanner(300);
    EXPECT_TRUE(scanner.scanOrvaneDevice());
    EXPECT_EQ(listed(scanner), c.expected);
    EXPECT_EQ(boxes.size(), c.boxes) << boxes.join('\n').toStdString();
    for (const QString& b : boxes) EXPECT_TRUE(b.endsWith("Unknown variable in IP Packet.")) << b.toStdString();
    if (QString(c.what).contains("versions")) {
      ASSERT_EQ(scanner.networkDevices().size(), 1u);
      EXPECT_EQ(scanner.networkDevices()[0]->fwVersionText, "Not defined");
      EXPECT_EQ(scanner.networkDevices()[0]->hwVersionText, "Not defined");
    }
  }
}

TEST_F(DiscoveryLan, CraftedDatagrams) {
  // Raw answers to the discovery request: several frames per datagram, frames cut over
  // datagrams, empty frames, truncated entries.
  using orvane::proto::buildPacket;
  auto reply = [](quint8 macLast, const char* name) {
    QByteArray p = QByteArray::fromHex("0000120003" "11" "02000A4D01");
    p += char(macLast);
    p += QByteArray::fromHex("0102010300");
    p += char(21);
    p += QByteArray(name).leftJustified(16, '\0', true);
    return buildPacket(orvane::proto::VariablesAnswer, 0, p);
  };
  const QByteArray one = reply(1, "one"), two = reply(2, "two");
  const QByteArray truncated = buildPacket(orvane::proto::VariablesAnswer, 0, QByteArray::fromHex("0000120003" "1102000A"));
  QByteArray badThenGood = reply(3, "bad");
  badThenGood[badThenGood.size() - 1] = char(badThenGood.back() ^ 0x01);
  const struct {
    const char* what;
    QStringList datagrams;
    QStringList macs;
  } cases[] = {
      {"two frames in one datagram", {hexText(one + two)}, {"02-00-0A-4D-01-01", "02-00-0A-4D-01-02"}},
      {"one frame over two datagrams", {hexText(one.left(9)), hexText(one.mid(9))}, {"02-00-0A-4D-01-01"}},
      {"empty frame then a frame", {hexText(QByteArray::fromHex("002300000000ffdc") + one)},
       {"02-00-0A-4D-01-01"}},
      {"bad checksum drops the good frame after it", {hexText(badThenGood + two)}, {}},
      {"truncated entry, then a good datagram", {hexText(truncated), hexText(two)}, {"02-00-0A-4D-01-02"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QJsonObject faults{{"udpRaw", QJsonObject{{"21", QJsonArray::fromStringList(c.datagrams)}}}};
    Simulator sim(config({device(0, "00-00-00-00-00-01", "raw", faults)}));
    ASSERT_TRUE(sim.started());
    ORVCScanOrvaneDevice scanner(300);
    scanner.scanOrvaneDevice();
    QStringList macs;
    for (const auto& d : scanner.networkDevices()) macs << d->macAddressText;
    EXPECT_EQ(macs, c.macs);
    EXPECT_TRUE(boxes.isEmpty());
  }
}

TEST_F(DiscoveryLan, EveryLabDeviceIsListed) {
  const int count = qEnvironmentVariableIntValue("ORV_LAB_DEVICES");
  ASSERT_GT(count, 1);
  QJsonArray devices;
  for (int i = 0; i < count; ++i)
    devices.append(device(i, QStringLiteral("00-00-00-00-01-%1").arg(i, 2, 16, QLatin1Char('0')).toUpper(),
                          QStringLiteral("dev %1").arg(i)));
  Simulator sim(config(devices));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(300);
  ASSERT_TRUE(scanner.scanOrvaneDevice());
  EXPECT_EQ(int(scanner.networkDevices().size()), count);
}

TEST_F(DiscoveryLan, ListIsReplacedByEachScan) {
  ORVCScanOrvaneDevice scanner(200);
  {
    Simulator sim(config({device(0, "00-00-00-00-00-01", "a"), device(1, "00-00-00-00-00-02", "b")}));
    ASSERT_TRUE(sim.started());
    scanner.scanOrvaneDevice();
    EXPECT_EQ(scanner.networkDevices().size(), 2u);
  }
  Simulator sim(config({device(2, "00-00-00-00-00-03", "c")}));
  ASSERT_TRUE(sim.started());
  scanner.scanOrvaneDevice();
  EXPECT_EQ(listed(scanner), QStringList{"00-00-00-00-00-03 " + labDeviceAddress(2) + " c"});
}

TEST_F(DiscoveryLan, BindFailureSendsNothingAndIsLogged) {
  Simulator sim(config({device(0, "00-00-00-00-00-01", "one")}));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(100);
  // An address no interface of this namespace carries cannot be bound.
  EXPECT_FALSE(scanner.sendBroadcast_Add(QHostAddress(labAbsentAddress()), orvane::proto::discoveryRequest()));
  EXPECT_TRUE(errorLog().contains("bind returns invalid socket failed")) << errorLog().toStdString();
  // Nothing reached the simulator: a full scan afterwards is the only request it sees.
  scanner.scanOrvaneDevice();
  EXPECT_EQ(sim.received(labDeviceAddress(0), 7010).size(), 1);
}

// A reply frame whose checksum ends in 0x00 (the low byte of a name word is varied until
// it does): cut before its last byte, it waits for exactly the first byte of the next
// frame, which is 0x00.
QByteArray frameEndingInZero(quint8 macLast) {
  for (int i = 1; i < 256; ++i) {
    QByteArray p = QByteArray::fromHex("0000120003" "11" "02000A4D01");
    p += char(macLast);
    p += QByteArray::fromHex("0102010300");
    p += char(21);
    p += (QByteArray("forged ") + char(i)).leftJustified(16, '\0', true);
    const QByteArray f = orvane::proto::buildPacket(orvane::proto::VariablesAnswer, 0, p);
    if (f.endsWith('\0')) return f;
  }
  return {};
}

TEST_F(DiscoveryLan, AnotherHostCannotHideOrForgeADevice) {
  // The other host's datagram reaches the upgrader first (it is configured first).
  const QByteArray forged = frameEndingInZero(0xEE);
  ASSERT_FALSE(forged.isEmpty());
  const struct {
    const char* what;
    QByteArray datagram;
  } cases[] = {
      {"header announcing 1000 bytes", QByteArray::fromHex("00230000 03E8 00000000")},
      {"forged reply one byte short", forged.left(forged.size() - 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QJsonObject faults{{"udpRaw", QJsonObject{{"21", QJsonArray{hexText(c.datagram)}}}}};
    Simulator sim(config({device(1, "00-00-00-00-00-66", "other", faults), device(0, "00-00-00-00-00-01", "real")}));
    ASSERT_TRUE(sim.started());
    ORVCScanOrvaneDevice scanner(300);
    EXPECT_TRUE(scanner.scanOrvaneDevice());
    EXPECT_EQ(listed(scanner), QStringList{"00-00-00-00-00-01 " + labDeviceAddress(0) + " real"});
  }
}

TEST_F(DiscoveryLan, PartialReplyDoesNotOutliveItsScan) {
  // Each reply of the device is a whole frame, then a header announcing 1000 bytes that
  // never come: the next scan's whole frame must not be taken as their continuation.
  const QByteArray whole = frameEndingInZero(0x01);
  const QJsonObject faults{
      {"udpRaw", QJsonObject{{"21", QJsonArray{hexText(whole), hexText(QByteArray::fromHex("0023000003E800000000"))}}}}};
  Simulator sim(config({device(0, "00-00-00-00-00-01", "raw", faults)}));
  ASSERT_TRUE(sim.started());
  ORVCScanOrvaneDevice scanner(200);
  for (int scan = 1; scan <= 2; ++scan) {
    SCOPED_TRACE(scan);
    scanner.scanOrvaneDevice();
    ASSERT_EQ(scanner.networkDevices().size(), 1u);
    EXPECT_EQ(scanner.networkDevices()[0]->macAddressText, "02-00-0A-4D-01-01");
  }
}

}  // namespace
