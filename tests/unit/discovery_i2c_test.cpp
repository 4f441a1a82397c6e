// The I2C answer handlers of the discovery engine, and the I2C bus scan against a fake
// gateway on loopback (127.0.0.1 only; nothing leaves the machine).
#include "common/Globalfunctions.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/IpPacket.h"
#include "support/GlobalStateGuard.h"
#include "support/LoopbackSocket.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QStringList>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using orvane::proto::buildPacket;

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// The list answer for addresses 0x08 and 0x50, checksum written out by hand.
const QByteArray kListFrame = hex("00 06 00 00 00 02 08 50 f7 a7");
// An identification answer: type 5.1, firmware 1.2 without hardware version, name
// "Sensor", status bytes 0x87; checksum written out by hand.
const QByteArray kIdentFrame = hex(
    "00 08 00 00 00 1b 00 05 00 01 87 00 01 00 02 87 53 65 6e 73 6f 72 00 00 00 00 00 00 00 00 00 00 87 bd 03");

QByteArray identPayload(quint16 typeLow, const QByteArray& name) {
  QByteArray p = hex("00 05");
  p += char(typeLow >> 8);
  p += char(typeLow & 0xFF);
  p += char(0x87);
  p += hex("02 01 03 0A");
  p += char(0x87);
  p += name.leftJustified(16, '\0', true);
  p += char(0x87);
  return p;
}

class DiscoveryI2c : public ::testing::Test {
 protected:
  void SetUp() override {
    configureErrorLog(0, QString(), QStringLiteral("Orvane - Firmware upgrader"));
    configureGeneralLog(0, 255, false, false, QStringLiteral("Orvane - Firmware upgrader"));
  }
  orvane::test::GlobalStateGuard globals_;
  void feed(const QByteArray& datagram, int index, const QString& source = QStringLiteral("10.77.1.1")) {
    scanner.receiveUDP(reinterpret_cast<const quint8*>(datagram.constData()), int(datagram.size()), source, 7010, index);
  }
  QStringList addresses() const {
    QStringList out;
    for (const auto& d : scanner.i2cDevices()) out << d->i2cAddressText;
    return out;
  }
  ORVCScanOrvaneDevice scanner{0};
};

TEST_F(DiscoveryI2c, ListAnswerGivesRecordsWithTheGatewayAddress) {
  feed(kListFrame, -1, QStringLiteral("10.77.1.9"));
  ASSERT_EQ(addresses(), (QStringList{"0x08 (8)", "0x50 (80)"}));
  for (const auto& d : scanner.i2cDevices()) {
    EXPECT_EQ(d->ipAddressText, "10.77.1.9");
    EXPECT_EQ(d->typeText, "Not defined");
    EXPECT_EQ(d->deviceName, "Not defined");
    EXPECT_EQ(d->macAddressText, "00.00.00.00.00.00");
  }
  EXPECT_EQ(scanner.i2cDevices()[0]->i2cAddress, 0x08);
  EXPECT_EQ(scanner.i2cDevices()[1]->i2cAddress, 0x50);
}

TEST_F(DiscoveryI2c, SecondListAnswerRebuildsTheList) {
  feed(kListFrame, -1);
  feed(buildPacket(orvane::proto::I2cScanAnswer, 0, hex("0A")), -1);
  EXPECT_EQ(addresses(), QStringList{"0x0A (10)"});
}

TEST_F(DiscoveryI2c, EmptyListAnswerIsIgnored) {
  feed(kListFrame, -1);
  feed(hex("00 06 00 00 00 00 FF F9"), -1);  // N = 0: never reaches the handler
  EXPECT_EQ(addresses().size(), 2);
}

TEST_F(DiscoveryI2c, IdentificationFillsTheRecordAtTheIndex) {
  feed(kListFrame, -1);
  feed(kIdentFrame, 1);
  const ORVCOrvaneDevice& first = *scanner.i2cDevices()[0];
  const ORVCOrvaneDevice& second = *scanner.i2cDevices()[1];
  EXPECT_EQ(first.typeText, "Not defined");
  EXPECT_EQ(second.typeText, "5.1");
  EXPECT_EQ(second.fwVersionText, "1.2");
  EXPECT_EQ(second.hwVersionText, "-.-");
  EXPECT_EQ(second.deviceName, "Sensor");
  EXPECT_EQ(second.i2cAddressText, "0x50 (80)");
}

struct IdentCase {
  const char* what;
  QByteArray payload;
  int index;
  bool fills;
};

TEST_F(DiscoveryI2c, IdentificationAnswersThatMustBeIgnored) {
  const QByteArray good = identPayload(7, "Probe");
  QByteArray badStatus4 = good, badStatus9 = good, badStatus26 = good;
  badStatus4[4] = char(0x86);
  badStatus9[9] = 0;
  badStatus26[26] = char(0x88);
  const IdentCase cases[] = {
      {"27 bytes, index 0", good, 0, true},
      {"26 bytes", good.left(26), 0, false},
      {"28 bytes", good + char(0x87), 0, false},
      {"status at 4", badStatus4, 0, false},
      {"status at 9", badStatus9, 0, false},
      {"status at 26", badStatus26, 0, false},
      {"index -1 (list phase)", good, -1, false},
      {"index past the list", good, 2, false},
      {"index far past the list", good, 1000, false},
  };
  for (const IdentCase& c : cases) {
    ORVCScanOrvaneDevice fresh(0);
    const QByteArray list = kListFrame;
    fresh.receiveUDP(reinterpret_cast<const quint8*>(list.constData()), int(list.size()), "10.77.1.1", 7010, -1);
    const QByteArray frame = buildPacket(orvane::proto::I2cTransferAnswer, 0, c.payload);
    fresh.receiveUDP(reinterpret_cast<const quint8*>(frame.constData()), int(frame.size()), "10.77.1.1", 7010, c.index);
    ASSERT_EQ(fresh.i2cDevices().size(), 2u) << c.what;
    EXPECT_EQ(fresh.i2cDevices()[0]->typeText, c.fills ? "5.7" : "Not defined") << c.what;
    EXPECT_EQ(fresh.i2cDevices()[0]->deviceName, c.fills ? "Probe" : "Not defined") << c.what;
    EXPECT_EQ(fresh.i2cDevices()[1]->typeText, "Not defined") << c.what;
  }
}

TEST_F(DiscoveryI2c, IdentificationWithoutAnyListChangesNothing) {
  feed(kIdentFrame, 0);
  feed(kIdentFrame, -1);
  EXPECT_TRUE(scanner.i2cDevices().empty());
}

// A fake gateway on 127.0.0.1: one UDP socket on a free port, answering each request
// with what `answer` returns (any number of datagrams, optionally late).
class FakeGateway {
 public:
  struct Reply {
    QByteArray datagram;
    int delayMs = 0;
    bool fromOtherPort = false;  // sent from a second socket of the fake, not the one asked
  };
  using Answer = std::function<std::vector<Reply>(const QByteArray& request)>;

  explicit FakeGateway(Answer answer) : answer_(std::move(answer)) {
    fd_ = orvane::test::bindLoopback(SOCK_DGRAM, port_);
    quint16 otherPort = 0;
    otherFd_ = orvane::test::bindLoopback(SOCK_DGRAM, otherPort);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeGateway() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
    ::close(otherFd_);
  }
  quint16 port() const { return port_; }
  std::vector<QByteArray> requests() const {
    std::lock_guard g(mutex_);
    return requests_;
  }

 private:
  void run() {
    std::vector<char> buf(2000);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      const QByteArray request(buf.data(), int(n));
      {
        std::lock_guard g(mutex_);
        requests_.push_back(request);
      }
      for (const Reply& r : answer_(request)) {
        if (stop_) break;
        if (r.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delayMs));
        ::sendto(r.fromOtherPort ? otherFd_ : fd_, r.datagram.constData(), size_t(r.datagram.size()), 0,
                 reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  Answer answer_;
  int fd_ = -1;
  int otherFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<QByteArray> requests_;
};

DiscoverySettings loopbackSettings(quint16 port, int windowMs = 100) {
  DiscoverySettings s;
  s.discoveryPort = port;
  s.i2cReceiveWindowMs = windowMs;
  return s;
}

TEST(DiscoveryI2cScan, ListsAndIdentifiesThroughTheGateway) {
  FakeGateway gateway([](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    if (request == orvane::proto::i2cScanRequest()) return {{kListFrame}};
    if (request == orvane::proto::i2cIdentificationRequest(0x08))
      return {{buildPacket(orvane::proto::I2cTransferAnswer, 0, identPayload(8, "Eight"))}};
    if (request == orvane::proto::i2cIdentificationRequest(0x50))
      return {{buildPacket(orvane::proto::I2cTransferAnswer, 0, identPayload(80, "Eighty"))}};
    return {};
  });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port()));
  EXPECT_TRUE(scanner.scanI2CBus(QStringLiteral("127.0.0.1")));
  ASSERT_EQ(scanner.i2cDevices().size(), 2u);
  EXPECT_EQ(scanner.i2cDevices()[0]->deviceName, "Eight");
  EXPECT_EQ(scanner.i2cDevices()[0]->typeText, "5.8");
  EXPECT_EQ(scanner.i2cDevices()[0]->ipAddressText, "127.0.0.1");
  EXPECT_EQ(scanner.i2cDevices()[1]->deviceName, "Eighty");
  // The requests on the wire, literally.
  const auto requests = gateway.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], hex("00 05 00 00 00 00 FF FA"));
  EXPECT_EQ(requests[1].right(2), hex("D1 D1"));
  EXPECT_EQ(requests[2], hex("00 07 00 00 00 0C 50 01 00 04 50 01 01 04 50 01 15 10 F9 D0"));
}

TEST(DiscoveryI2cScan, LateIdentificationFillsTheNextRecord) {
  // The answer for 0x08 comes after its window: the gateway sends it only when 0x50 is
  // asked, which the scan does once 0x08's window has ended. 0x50's own answer is never
  // sent. The answer leaves at the start of 0x50's window, so the whole window is margin.
  FakeGateway gateway([](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    if (request == orvane::proto::i2cScanRequest()) return {{kListFrame}};
    if (request == orvane::proto::i2cIdentificationRequest(0x50))
      return {{buildPacket(orvane::proto::I2cTransferAnswer, 0, identPayload(8, "Late"))}};
    return {};
  });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port(), 500));
  scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
  ASSERT_EQ(gateway.requests().size(), 3u);
  EXPECT_EQ(gateway.requests()[2], orvane::proto::i2cIdentificationRequest(0x50));
  ASSERT_EQ(scanner.i2cDevices().size(), 2u);
  EXPECT_EQ(scanner.i2cDevices()[0]->deviceName, "Not defined");
  EXPECT_EQ(scanner.i2cDevices()[1]->deviceName, "Late");
}

TEST(DiscoveryI2cScan, SilentAddressGivesAnEmptyListAfterOneWindow) {
  FakeGateway gateway([](const QByteArray&) { return std::vector<FakeGateway::Reply>{}; });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port(), 200));
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(scanner.scanI2CBus(QStringLiteral("127.0.0.1")));
  const qint64 elapsed = timer.elapsed();
  EXPECT_TRUE(scanner.i2cDevices().empty());
  std::printf("silent loopback gateway: scan took %lld ms (window 200 ms)\n", static_cast<long long>(elapsed));
  EXPECT_GE(elapsed, 150);  // it did wait for a window, not give up at once
}

TEST(DiscoveryI2cScan, ClosedPortEndsTheScanQuietly) {
  // Nobody listens on the port: the kernel may report "connection refused"; the scan
  // still ends with an empty list and true.
  quint16 port;
  {
    FakeGateway gone([](const QByteArray&) { return std::vector<FakeGateway::Reply>{}; });
    port = gone.port();
  }
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(port, 100));
  EXPECT_TRUE(scanner.scanI2CBus(QStringLiteral("127.0.0.1")));
  EXPECT_TRUE(scanner.i2cDevices().empty());
}

TEST(DiscoveryI2cScan, ScanStartsWithAnEmptyList) {
  FakeGateway gateway([](const QByteArray&) { return std::vector<FakeGateway::Reply>{}; });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port(), 50));
  const QByteArray list = kListFrame;
  scanner.receiveUDP(reinterpret_cast<const quint8*>(list.constData()), int(list.size()), "10.77.1.1", 7010, -1);
  ASSERT_EQ(scanner.i2cDevices().size(), 2u);
  scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
  EXPECT_TRUE(scanner.i2cDevices().empty());
}

// An empty bus and a device that does not answer the scan both leave the list empty;
// only i2cScanAnswered tells them apart.
TEST(DiscoveryI2cScan, TellsAnEmptyBusFromNoAnswer) {
  const QByteArray emptyList = hex("00 06 00 00 00 00 FF F9");
  const struct {
    const char* what;
    std::vector<QByteArray> replies;  // to the list request
    bool answered;
    size_t devices;
  } cases[] = {
      {"an empty list", {emptyList}, true, 0},
      {"a list of two", {kListFrame}, true, 2},
      {"silence", {}, false, 0},
      {"a list with a wrong checksum", {hex("00 06 00 00 00 02 08 50 f7 a8")}, false, 0},
      {"a discovery answer instead", {buildPacket(orvane::proto::VariablesAnswer, 0, hex("00 00 12 00 03"))}, false, 0},
      {"an empty datagram", {QByteArray()}, false, 0},
  };
  for (const auto& c : cases) {
    const std::vector<QByteArray> replies = c.replies;
    FakeGateway gateway([replies](const QByteArray& request) {
      std::vector<FakeGateway::Reply> out;
      if (request == orvane::proto::i2cScanRequest())
        for (const QByteArray& r : replies) out.push_back({r});
      return out;
    });
    ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port(), 100));
    EXPECT_FALSE(scanner.i2cScanAnswered()) << c.what << ": before any scan";
    scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
    EXPECT_EQ(scanner.i2cScanAnswered(), c.answered) << c.what;
    EXPECT_EQ(scanner.i2cDevices().size(), c.devices) << c.what;
  }
}

TEST(DiscoveryI2cScan, EachScanStartsUnanswered) {
  std::atomic<int> scans{0};
  FakeGateway gateway([&scans](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    // Only the first scan gets its list.
    if (request == orvane::proto::i2cScanRequest() && scans++ == 0) return {{hex("00 06 00 00 00 00 FF F9")}};
    return {};
  });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port(), 100));
  scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(scanner.i2cScanAnswered());
  scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
  EXPECT_FALSE(scanner.i2cScanAnswered());
  EXPECT_EQ(scans.load(), 2);
}

TEST_F(DiscoveryI2c, ListKeepsOnlyI2cAddressesEachOnce) {
  const struct {
    const char* what;
    QByteArray list;
    QStringList expected;
  } cases[] = {
      {"bounds", hex("07 08 77 78"), {"0x08 (8)", "0x77 (119)"}},
      {"duplicates", hex("50 08 50 08"), {"0x50 (80)", "0x08 (8)"}},
      {"reserved and out of range only", hex("00 01 03 7F 80 FF"), {}},
  };
  for (const auto& c : cases) {
    feed(buildPacket(orvane::proto::I2cScanAnswer, 0, c.list), -1);
    EXPECT_EQ(addresses(), c.expected) << c.what;
  }
  // Every byte value: the 112 I2C addresses, in order.
  QByteArray all;
  for (int v = 0; v < 256; ++v) all += char(v);
  feed(buildPacket(orvane::proto::I2cScanAnswer, 0, all), -1);
  ASSERT_EQ(scanner.i2cDevices().size(), 112u);
  EXPECT_EQ(scanner.i2cDevices().front()->i2cAddress, 8);
  EXPECT_EQ(scanner.i2cDevices().back()->i2cAddress, 119);
}

TEST(DiscoveryI2cScan, AnswersFromAnotherPortAreIgnored) {
  // The "gateway" answers from a second socket: a host other than the one asked.
  FakeGateway gateway([](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    if (request == orvane::proto::i2cScanRequest()) return {{kListFrame, 0, true}};
    return {};
  });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port()));
  EXPECT_TRUE(scanner.scanI2CBus(QStringLiteral("127.0.0.1")));
  EXPECT_TRUE(scanner.i2cDevices().empty());
  EXPECT_EQ(gateway.requests().size(), 1u);
}

TEST(DiscoveryI2cScan, TruncatedAnswerIsDroppedAndTheNextOneCounts) {
  // 600 bytes: longer than the 500-byte receive; its header announces a frame that the
  // cut datagram does not finish, and the next answer must not finish it either.
  const QByteArray oversized = buildPacket(orvane::proto::I2cScanAnswer, 0, QByteArray(592, '\x20'));
  ASSERT_EQ(oversized.size(), 600);
  FakeGateway gateway([&oversized](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    if (request == orvane::proto::i2cScanRequest()) return {{oversized}, {kListFrame, 20}};
    return {};
  });
  ORVCScanOrvaneDevice scanner(0, loopbackSettings(gateway.port()));
  scanner.scanI2CBus(QStringLiteral("127.0.0.1"));
  ASSERT_EQ(scanner.i2cDevices().size(), 2u);
  EXPECT_EQ(scanner.i2cDevices()[0]->i2cAddressText, "0x08 (8)");
  EXPECT_EQ(scanner.i2cDevices()[1]->i2cAddressText, "0x50 (80)");
}

TEST(DiscoveryI2cScan, ListAnswerRepeatedForeverEndsAtTheDeadline) {
  // The list answer comes again every 50 ms, inside every 100 ms window, for far longer
  // than the deadline: the scan ends anyway with the last list, nobody identified.
  FakeGateway gateway([](const QByteArray& request) -> std::vector<FakeGateway::Reply> {
    if (request != orvane::proto::i2cScanRequest()) return {};
    return std::vector<FakeGateway::Reply>(2000, {kListFrame, 50});
  });
  DiscoverySettings settings = loopbackSettings(gateway.port());
  settings.i2cScanDeadlineMs = 600;
  ORVCScanOrvaneDevice scanner(0, settings);
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(scanner.scanI2CBus(QStringLiteral("127.0.0.1")));
  std::printf("repeated list answer: scan ended after %lld ms (deadline 600 ms)\n",
              static_cast<long long>(timer.elapsed()));
  ASSERT_EQ(scanner.i2cDevices().size(), 2u);
  EXPECT_EQ(scanner.i2cDevices()[1]->deviceName, "Not defined");
  EXPECT_EQ(gateway.requests().size(), 1u);  // no identification was asked
}

TEST(DiscoveryI2cScan, ShippedDeadlineIsFiveSeconds) {
  EXPECT_EQ(DiscoverySettings{}.i2cScanDeadlineMs, 5000);
}

}  // namespace
