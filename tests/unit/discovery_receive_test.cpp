// The reply assembler and the VariablesAnswer handler of the discovery engine, fed with
// datagram bytes directly: no socket is opened.
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/IpPacket.h"
#include "support/GlobalStateGuard.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <gtest/gtest.h>

namespace {

using orvane::proto::buildPacket;

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// A VariablesAnswer of one device, answering in the requested order 0, 17, 1, 21:
// type 18.3, MAC 00-1A-2B-3C-4D-5E, hardware 2.1, firmware 3.10, name "Gateway one".
// Checksum written out by hand.
const QByteArray kGatewayFrame = hex(
    "00 23 00 00 00 22 00 00 12 00 03 11 00 1a 2b 3c 4d 5e 01 02 01 03 0a 15"
    " 47 61 74 65 77 61 79 20 6f 6e 65 00 00 00 00 00 e5 23");

// Builds the payload entries of a VariablesAnswer.
struct Reply {
  QByteArray bytes;
  Reply& type(quint16 high, quint16 low) {
    bytes += char(0);
    bytes += char(high >> 8); bytes += char(high & 0xFF);
    bytes += char(low >> 8); bytes += char(low & 0xFF);
    return *this;
  }
  Reply& mac(quint8 last) { bytes += char(17); bytes += hex("02 00 0A 4D 01"); bytes += char(last); return *this; }
  Reply& versions(const char* fourHex) { bytes += char(1); bytes += hex(fourHex); return *this; }
  Reply& name(const QByteArray& n) { bytes += char(21); bytes += n.leftJustified(16, '\0', true); return *this; }
  Reply& raw(const char* h) { bytes += hex(h); return *this; }
  QByteArray frame() const { return buildPacket(orvane::proto::VariablesAnswer, 0, bytes); }
};

QByteArray device(quint8 macLast, const QByteArray& name) {
  return Reply().type(18, 3).mac(macLast).versions("02 01 03 0A").name(name).frame();
}

class DiscoveryReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    configureErrorLog(0, QString(), QStringLiteral("Orvane - Firmware upgrader"));
    configureGeneralLog(0, 255, false, false, QStringLiteral("Orvane - Firmware upgrader"));
    orvane::ui::setMessageBoxHandler(
        [this](const QString&, const QString& text, orvane::ui::BoxIcon) { boxes << text; });
  }
  orvane::test::GlobalStateGuard globals_;

  void feed(const QByteArray& datagram, const QString& source = QStringLiteral("10.77.1.1")) {
    scanner.receiveUDP(reinterpret_cast<const quint8*>(datagram.constData()), int(datagram.size()), source, 7010, -1);
  }
  void ipData(const QByteArray& payload, const QString& source = QStringLiteral("10.77.1.1")) {
    scanner.receiveUDP_IPData(reinterpret_cast<const quint8*>(payload.constData()), int(payload.size()), source);
  }
  QStringList macs() const {
    QStringList out;
    for (const auto& d : scanner.networkDevices()) out << d->macAddressText;
    return out;
  }

  ORVCScanOrvaneDevice scanner{0};
  QStringList boxes;
};

TEST_F(DiscoveryReceive, LiteralReplyBecomesOneCompleteRecord) {
  feed(kGatewayFrame, QStringLiteral("10.77.1.7"));
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  const ORVCOrvaneDevice& d = *scanner.networkDevices()[0];
  EXPECT_EQ(d.ipAddressText, "10.77.1.7");
  EXPECT_EQ(d.macAddressText, "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(d.typeText, "18.3");
  EXPECT_EQ(d.hwVersionText, "2.1");
  EXPECT_EQ(d.fwVersionText, "3.10");
  EXPECT_EQ(d.deviceName, "Gateway one");
  EXPECT_EQ(d.i2cAddressText, "Not defined");
  EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(DiscoveryReceive, TwoFramesInOneDatagramGiveTwoRecords) {
  feed(device(1, "one") + device(2, "two"));
  EXPECT_EQ(macs(), (QStringList{"02-00-0A-4D-01-01", "02-00-0A-4D-01-02"}));
}

TEST_F(DiscoveryReceive, FrameCutAtEveryPositionGivesOneRecord) {
  // Cut the literal frame in two datagrams at every possible place, inside the header,
  // the payload and the checksum alike.
  for (int cut = 1; cut < kGatewayFrame.size(); ++cut) {
    ORVCScanOrvaneDevice fresh(0);
    const QByteArray a = kGatewayFrame.left(cut), b = kGatewayFrame.mid(cut);
    fresh.receiveUDP(reinterpret_cast<const quint8*>(a.constData()), int(a.size()), "10.77.1.1", 7010, -1);
    EXPECT_TRUE(fresh.networkDevices().empty()) << "cut " << cut;
    fresh.receiveUDP(reinterpret_cast<const quint8*>(b.constData()), int(b.size()), "10.77.1.1", 7010, -1);
    ASSERT_EQ(fresh.networkDevices().size(), 1u) << "cut " << cut;
    EXPECT_EQ(fresh.networkDevices()[0]->deviceName, "Gateway one");
  }
}

TEST_F(DiscoveryReceive, FrameFedByteByByteGivesOneRecord) {
  for (char c : kGatewayFrame) feed(QByteArray(1, c));
  EXPECT_EQ(macs(), QStringList{"00-1A-2B-3C-4D-5E"});
}

TEST_F(DiscoveryReceive, BadChecksumDropsTheRestOfItsDatagram) {
  QByteArray bad = device(1, "one");
  bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x01);
  feed(bad + device(2, "two"));  // the good frame after it is lost too
  EXPECT_TRUE(scanner.networkDevices().empty());
  // The assembler is back at a frame start: the next datagram is handled.
  feed(device(3, "three"));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-03"});
  EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(DiscoveryReceive, ZeroStoredWhereChecksumIsFFFFIsRejected) {
  // The sum of the words of this frame folds to 0xFFFF; a sender storing the RFC 1071
  // value 0x0000 instead is not accepted.
  QByteArray frame = buildPacket(orvane::proto::VariablesAnswer, 0, {});
  ASSERT_EQ(frame, hex("00 23 00 00 00 00 FF DC"));
  // The complements of 0x0023, 0x0000, 0x0002 and 0xFFDA sum (folded) to 0xFFFF.
  const QByteArray payload = hex("FF DA");
  const QByteArray good = buildPacket(orvane::proto::VariablesAnswer, 0, payload);
  ASSERT_EQ(good.right(2), hex("FF FF"));
  QByteArray zero = good;
  zero[zero.size() - 2] = 0;
  zero[zero.size() - 1] = 0;
  feed(zero + device(1, "after"));
  EXPECT_TRUE(scanner.networkDevices().empty());
}

TEST_F(DiscoveryReceive, ZeroLengthFrameIsSkippedAndTheNextHandled) {
  feed(hex("00 23 00 00 00 00 FF DC") + device(1, "one"));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-01"});
}

TEST_F(DiscoveryReceive, OtherCodesAreIgnored) {
  feed(buildPacket(0x21, 0, Reply().type(1, 1).mac(9).name("x").bytes) + device(1, "one"));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-01"});
}

TEST_F(DiscoveryReceive, AuxiliaryWordIsNotExamined) {
  feed(buildPacket(orvane::proto::VariablesAnswer, 0x1234, Reply().type(1, 1).mac(4).name("aux").bytes));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-04"});
}

TEST_F(DiscoveryReceive, HalfAFrameIsCompletedByTheNextDatagram) {
  // Half a frame left from an earlier datagram is completed by the next one.
  const QByteArray frame = device(5, "kept");
  feed(frame.left(10));
  feed(frame.mid(10));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-05"});
}

TEST_F(DiscoveryReceive, UnknownVariableShowsTheBoxAndAddsNoRecord) {
  feed(Reply().type(18, 3).raw("05 00 00 00 00").mac(1).versions("02 01 03 0A").name("one").frame());
  EXPECT_TRUE(scanner.networkDevices().empty());
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0].endsWith("Unknown variable in IP Packet.")) << boxes[0].toStdString();
}

TEST_F(DiscoveryReceive, UnknownVariableKeepsRecordsAppendedBeforeIt) {
  ipData(Reply().type(1, 1).mac(1).name("one").raw("07 01 02").mac(2).name("two").bytes);
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-01"});
  EXPECT_EQ(boxes.size(), 1);
}

TEST_F(DiscoveryReceive, UnknownVariableBoxGoesToTheBoxOnlyNotToTheLogFile) {
  // With error entries configured to the file, the forced box output still bypasses it.
  const QString dir = QDir::tempPath() + QStringLiteral("/discovery_receive_test_%1").arg(QCoreApplication::applicationPid());
  QDir().mkpath(dir);
  configureErrorLog(LogToFile, dir, QStringLiteral("Orvane - Firmware upgrader"));
  ipData(Reply().type(1, 1).raw("05 00 00 00 00").bytes);
  EXPECT_EQ(boxes.size(), 1);
  EXPECT_FALSE(QFile::exists(errorLogFilePath()));
  configureErrorLog(0, QString(), QStringLiteral("Orvane - Firmware upgrader"));
  QDir(dir).removeRecursively();
}

TEST_F(DiscoveryReceive, DuplicateMacFirstReplyWins) {
  feed(device(1, "first"), QStringLiteral("10.77.1.1"));
  feed(device(1, "second"), QStringLiteral("10.78.1.1"));
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  EXPECT_EQ(scanner.networkDevices()[0]->deviceName, "first");
  EXPECT_EQ(scanner.networkDevices()[0]->ipAddressText, "10.77.1.1");
}

TEST_F(DiscoveryReceive, DevicesWithoutMacShareTheDefaultAndOnlyTheFirstIsListed) {
  feed(Reply().type(1, 1).versions("02 01 03 0A").name("nomac1").frame(), QStringLiteral("10.77.1.1"));
  feed(Reply().type(1, 1).versions("02 01 03 0A").name("nomac2").frame(), QStringLiteral("10.77.1.2"));
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  EXPECT_EQ(scanner.networkDevices()[0]->macAddressText, "00.00.00.00.00.00");
  EXPECT_EQ(scanner.networkDevices()[0]->deviceName, "nomac1");
}

TEST_F(DiscoveryReceive, ReplyWithoutVersionsKeepsNotDefined) {
  feed(Reply().type(1, 1).mac(1).name("nover").frame());
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  EXPECT_EQ(scanner.networkDevices()[0]->fwVersionText, "Not defined");
  EXPECT_EQ(scanner.networkDevices()[0]->hwVersionText, "Not defined");
}

TEST_F(DiscoveryReceive, RecordWithoutNameIsNotListed) {
  feed(Reply().type(1, 1).mac(1).versions("02 01 03 0A").frame());
  EXPECT_TRUE(scanner.networkDevices().empty());
}

TEST_F(DiscoveryReceive, RepliesAreAppendedToTheList) {
  // The handler appends; the list is only emptied by the start of a discovery.
  ipData(Reply().type(1, 1).mac(1).name("a").bytes);
  ipData(Reply().type(1, 1).mac(2).name("b").bytes);
  EXPECT_EQ(scanner.networkDevices().size(), 2u);
}

// Payloads the walk must survive without reading past their end or listing a record
// that was not completed.
struct TruncatedCase {
  const char* what;
  QByteArray payload;
  QStringList expectedMacs;
};

TEST_F(DiscoveryReceive, TruncatedAndMisorderedEntries) {
  const QByteArray full = Reply().type(1, 1).mac(1).versions("02 01 03 0A").name("full").bytes;
  const TruncatedCase cases[] = {
      {"only an id", hex("00"), {}},
      {"type cut short", hex("00 00 01 00"), {}},
      {"mac cut short", Reply().type(1, 1).raw("11 02 00 0A").bytes, {}},
      {"name cut short", Reply().type(1, 1).mac(1).raw("15 41 42 43").bytes, {}},
      {"version cut short after a whole device", full + hex("00 00 01 00 01 01 02"), {"02-00-0A-4D-01-01"}},
      {"name id as last byte after a whole device", full + hex("15"), {"02-00-0A-4D-01-01"}},
      {"name before any type", Reply().name("orphan").type(1, 1).mac(2).name("real").bytes, {"02-00-0A-4D-01-02"}},
      {"mac and versions before any type",
       Reply().mac(3).versions("02 01 03 0A").type(1, 1).name("nomac").bytes, {"00.00.00.00.00.00"}},
      {"values after the name belong to no record", full + Reply().mac(7).name("again").bytes, {"02-00-0A-4D-01-01"}},
      {"second type restarts the record", Reply().type(1, 1).mac(8).type(2, 2).name("restart").bytes,
       {"00.00.00.00.00.00"}},
  };
  for (const TruncatedCase& c : cases) {
    ORVCScanOrvaneDevice fresh(0);
    // The payload sits at the end of a larger buffer region that is not part of it: a
    // copy of exactly its size makes any over-read visible to the sanitizers.
    std::vector<quint8> exact(c.payload.begin(), c.payload.end());
    fresh.receiveUDP_IPData(exact.data(), int(exact.size()), "10.77.1.1");
    QStringList got;
    for (const auto& d : fresh.networkDevices()) got << d->macAddressText;
    EXPECT_EQ(got, c.expectedMacs) << c.what;
  }
  EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(DiscoveryReceive, NameAfterItsRecordWasListedDoesNotListItTwice) {
  ipData(Reply().type(1, 1).mac(1).name("once").name("twice").bytes);
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  EXPECT_EQ(scanner.networkDevices()[0]->deviceName, "once");
}

TEST_F(DiscoveryReceive, LargestFrameFitsTheAssembler) {
  // Payload length 65535 of an unknown code: assembled, verified, ignored; the next
  // frame is still handled.
  const QByteArray big = buildPacket(0x7F, 0, QByteArray(65535, '\x11'));
  ASSERT_EQ(big.size(), 65543);
  feed(big + device(1, "after big"));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-01"});
}

// A frame whose checksum ends in 0x00 (the low byte of a name word is varied until it
// does): cut before its last byte, it waits for exactly the first byte of the next frame,
// which is 0x00.
QByteArray forgedFrameEndingInZero() {
  for (int i = 1; i < 256; ++i) {
    const QByteArray f = device(0xEE, QByteArray("forged ") + char(i));
    if (f.endsWith('\0')) return f;
  }
  return {};
}

// Datagrams from several senders into one assembler.
struct Datagram {
  QByteArray bytes;
  const char* source;
  quint16 port;
};

struct SenderCase {
  const char* what;
  std::vector<Datagram> datagrams;
  QStringList expected;  // "MAC@source" of every listed record
};

TEST_F(DiscoveryReceive, PartialFrameIsCompletedOnlyByItsOwnSender) {
  const QByteArray real = device(1, "real");
  const QByteArray forged = forgedFrameEndingInZero();
  ASSERT_FALSE(forged.isEmpty());
  ASSERT_EQ(real.at(0), '\0');
  // A header announcing 1000 payload bytes, and nothing after it.
  const QByteArray announcer = hex("00 23 00 00 03 E8 00 00 00 00");
  const QString r = QStringLiteral("02-00-0A-4D-01-01@10.77.1.1");
  const SenderCase cases[] = {
      {"long header from another host", {{announcer, "10.77.1.66", 7010}, {real, "10.77.1.1", 7010}}, {r}},
      {"long header from another port of the same host",
       {{announcer, "10.77.1.1", 40000}, {real, "10.77.1.1", 7010}}, {r}},
      {"forged frame one byte short from another host",
       {{forged.left(forged.size() - 1), "10.77.1.66", 7010}, {real, "10.77.1.1", 7010}}, {r}},
      {"split reply from its own sender", {{real.left(9), "10.77.1.1", 7010}, {real.mid(9), "10.77.1.1", 7010}}, {r}},
      {"split reply with another host's datagram between",
       {{real.left(9), "10.77.1.1", 7010}, {device(2, "other"), "10.77.1.2", 7010}, {real.mid(9), "10.77.1.1", 7010}},
       {QStringLiteral("02-00-0A-4D-01-02@10.77.1.2")}},
  };
  for (const SenderCase& c : cases) {
    ORVCScanOrvaneDevice fresh(0);
    for (const Datagram& d : c.datagrams)
      fresh.receiveUDP(reinterpret_cast<const quint8*>(d.bytes.constData()), int(d.bytes.size()),
                       QString::fromLatin1(d.source), d.port, -1);
    QStringList got;
    for (const auto& d : fresh.networkDevices()) got << d->macAddressText + "@" + d->ipAddressText;
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

TEST_F(DiscoveryReceive, DroppedPartialFrameIsNotCompletedByItsOwnSender) {
  // What the end of a scan does: the sender's next datagram starts a new frame.
  feed(hex("00 23 00 00 03 E8 00 00 00 00"));
  scanner.dropPartialFrame();
  feed(device(1, "next scan"));
  EXPECT_EQ(macs(), QStringList{"02-00-0A-4D-01-01"});
}

// One VariablesAnswer payload listing `count` devices with the MACs 02-FF-xx-xx-xx-xx
// numbered from `first`.
QByteArray manyDevices(int first, int count) {
  QByteArray payload;
  for (int i = first; i < first + count; ++i) {
    Reply r;
    r.type(1, 1);
    r.bytes += char(17);
    r.bytes += hex("02 FF");
    for (int shift = 24; shift >= 0; shift -= 8) r.bytes += char((i >> shift) & 0xFF);
    r.name("flood");
    payload += r.bytes;
  }
  return payload;
}

TEST_F(DiscoveryReceive, ListStopsAtTheCapWithOneEntryAndKeepsTheFirstReplies) {
  configureErrorLog(LogToMessageBox, QString(), QStringLiteral("Orvane - Firmware upgrader"));
  ipData(manyDevices(0, 1));
  ASSERT_EQ(scanner.networkDevices().size(), 1u);
  // A duplicate of the first device is still not listed again, however many follow.
  ipData(Reply().type(2, 2).mac(9).name("first of two").bytes, QStringLiteral("10.77.1.9"));
  ipData(Reply().type(2, 2).mac(9).name("second of two").bytes, QStringLiteral("10.77.1.10"));
  ASSERT_EQ(scanner.networkDevices().size(), 2u);
  EXPECT_EQ(scanner.networkDevices()[1]->deviceName, "first of two");
  // Far more unique MACs than the cap, from one host, in replies of 1000 devices each.
  for (int first = 1; first < kMaxNetworkDevicesPerScan + 5000; first += 1000)
    ipData(manyDevices(first, 1000), QStringLiteral("10.77.1.66"));
  EXPECT_EQ(scanner.networkDevices().size(), size_t(kMaxNetworkDevicesPerScan));
  EXPECT_EQ(scanner.networkDevices()[0]->macAddressText, "02-FF-00-00-00-00");
  EXPECT_EQ(scanner.networkDevices()[1]->macAddressText, "02-00-0A-4D-01-09");
  ASSERT_EQ(boxes.size(), 1) << boxes.join('\n').toStdString();
  EXPECT_TRUE(boxes[0].endsWith("More than 10000 devices answered the discovery; the further replies are ignored."))
      << boxes[0].toStdString();
  // A device answering after the cap is not listed.
  feed(device(3, "late"));
  EXPECT_EQ(scanner.networkDevices().size(), size_t(kMaxNetworkDevicesPerScan));
  EXPECT_EQ(boxes.size(), 1);
}

}  // namespace
