// The discovery by address against fake devices on loopback (127.0.0.x only; nothing
// leaves the machine): each device gets the discovery request directly, only the addresses
// asked are listed, a request the system refuses does not stop the others.
#include "common/Globalfunctions.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/IpPacket.h"
#include "support/GlobalStateGuard.h"
#include "support/LoopbackSocket.h"
#include "support/TempHome.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using orvane::proto::buildPacket;

constexpr quint32 loopback(int last) { return 0x7F000000u | quint32(last); }

// The VariablesAnswer of a device: type 1.<n>, version word 0201030A, MAC ..-<n>, a name.
QByteArray answerOf(int n, const QByteArray& name) {
  QByteArray p;
  p += char(orvane::proto::VarFirmwareType);
  p += QByteArray::fromHex("00010000").left(3) + char(n);
  p += char(orvane::proto::VarVersionWord);
  p += QByteArray::fromHex("0201030A");
  p += char(orvane::proto::VarMacAddress);
  p += QByteArray::fromHex("001A2B3C4D00").left(5) + char(n);
  p += char(orvane::proto::VarDeviceName);
  p += name.leftJustified(16, '\0', true);
  return buildPacket(orvane::proto::VariablesAnswer, 0, p);
}

// UDP sockets, one per 127.0.0.x address, all on the same port; each answers the request
// it receives with its device's answer, optionally also from a stranger's address.
class FakeDevices {
 public:
  struct Device {
    int last;           // 127.0.0.<last>
    QByteArray answer;  // sent back for every request; empty: silent
    int strangerLast = 0;  // also answers from 127.0.0.<strangerLast> (not asked)
  };

  explicit FakeDevices(std::vector<Device> devices) : devices_(std::move(devices)) {
    for (const Device& d : devices_) {
      fds_.push_back(bind(d.last, port_));
      quint16 anyPort = 0;
      strangerFds_.push_back(d.strangerLast ? bind(d.strangerLast, anyPort) : -1);
    }
    thread_ = std::thread([this] { run(); });
  }
  ~FakeDevices() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
    for (int fd : strangerFds_)
      if (fd >= 0) ::close(fd);
  }
  bool ready() const {
    for (int fd : fds_)
      if (fd < 0) return false;
    return port_ != 0;
  }
  quint16 port() const { return port_; }
  // The requests each device received, by its last address byte.
  std::map<int, QList<QByteArray>> requests() const {
    std::lock_guard g(mutex_);
    return requests_;
  }

 private:
  // A socket on 127.0.0.<last>:port; port 0 picks one (and stores it).
  static int bind(int last, quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(loopback(last));
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (fd >= 0) ::close(fd);
      return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
  }

  void run() {
    std::vector<pollfd> polls;
    for (int fd : fds_) polls.push_back({fd, POLLIN, 0});
    std::vector<char> buf(2000);
    while (!stop_) {
      if (::poll(polls.data(), nfds_t(polls.size()), 20) <= 0) continue;
      for (size_t i = 0; i < polls.size(); ++i) {
        if (!(polls[i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fds_[i], buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        {
          std::lock_guard g(mutex_);
          requests_[devices_[i].last].append(QByteArray(buf.data(), int(n)));
        }
        const QByteArray& answer = devices_[i].answer;
        if (answer.isEmpty()) continue;
        if (strangerFds_[i] >= 0)
          ::sendto(strangerFds_[i], answer.constData(), size_t(answer.size()), 0, reinterpret_cast<sockaddr*>(&from), len);
        ::sendto(fds_[i], answer.constData(), size_t(answer.size()), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  std::vector<Device> devices_;
  std::vector<int> fds_, strangerFds_;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<int, QList<QByteArray>> requests_;
};

DiscoverySettings settingsFor(quint16 port, int paceUs = 200) {
  DiscoverySettings s;
  s.discoveryPort = port;
  s.unicastPaceUs = paceUs;
  return s;
}

QStringList listed(const ORVCScanOrvaneDevice& scanner) {
  QStringList out;
  for (const auto& d : scanner.networkDevices())
    out << d->ipAddressText + QLatin1Char(' ') + d->deviceName + QLatin1Char(' ') + d->macAddressText;
  out.sort();
  return out;
}

class DiscoveryUnicast : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(logs_.isValid());
    configureErrorLog(LogToFile, logs_.path(), QStringLiteral("Orvane - Firmware upgrader"));
  }
  void TearDown() override { configureErrorLog(0, QString(), QStringLiteral("Orvane - Firmware upgrader")); }
  QString errorLog() const { return orvane::test::readLogFileText(errorLogFilePath()); }

  orvane::test::GlobalStateGuard globals_;
  QTemporaryDir logs_;
};

TEST_F(DiscoveryUnicast, AsksEachAddressDirectlyAndListsTheAnswers) {
  FakeDevices devices({{2, answerOf(2, "two")}, {3, answerOf(3, "three")}, {4, {}}});
  ASSERT_TRUE(devices.ready());
  ORVCScanOrvaneDevice scanner(200, settingsFor(devices.port()));
  EXPECT_TRUE(scanner.scanAddresses({loopback(2), loopback(3), loopback(4), loopback(5)}));
  EXPECT_EQ(listed(scanner), (QStringList{"127.0.0.2 two 00-1A-2B-3C-4D-02", "127.0.0.3 three 00-1A-2B-3C-4D-03"}));
  // The request on the wire is the broadcast's, once to each address.
  const auto requests = devices.requests();
  for (int last : {2, 3, 4}) {
    ASSERT_EQ(requests.count(last), 1u) << last;
    EXPECT_EQ(requests.at(last), QList<QByteArray>{orvane::proto::discoveryRequest()}) << last;
  }
}

TEST_F(DiscoveryUnicast, RepliesFromAddressesNotAskedAreDropped) {
  // The device at .2 also answers from .9, which was not asked; .6 answers but is not asked.
  FakeDevices devices({{2, answerOf(2, "two"), 9}, {6, answerOf(6, "six")}});
  ASSERT_TRUE(devices.ready());
  ORVCScanOrvaneDevice scanner(200, settingsFor(devices.port()));
  EXPECT_TRUE(scanner.scanAddresses({loopback(2)}));
  EXPECT_EQ(listed(scanner), QStringList{"127.0.0.2 two 00-1A-2B-3C-4D-02"});
  EXPECT_EQ(devices.requests().count(6), 0u);
}

TEST_F(DiscoveryUnicast, EachScanRebuildsTheList) {
  FakeDevices devices({{2, answerOf(2, "two")}, {3, answerOf(3, "three")}});
  ASSERT_TRUE(devices.ready());
  ORVCScanOrvaneDevice scanner(200, settingsFor(devices.port(), 0));
  EXPECT_TRUE(scanner.scanAddresses({loopback(2), loopback(3)}));
  EXPECT_EQ(scanner.networkDevices().size(), 2u);
  EXPECT_TRUE(scanner.scanAddresses({loopback(3)}));
  EXPECT_EQ(listed(scanner), QStringList{"127.0.0.3 three 00-1A-2B-3C-4D-03"});
  EXPECT_TRUE(scanner.scanAddresses({}));
  EXPECT_TRUE(scanner.networkDevices().empty());
}

TEST_F(DiscoveryUnicast, ARefusedRequestDoesNotStopTheOthers) {
  // 127.255.255.255 is the broadcast address of the loopback network: without the
  // broadcast permission the system refuses the request before anything is sent.
  FakeDevices devices({{2, answerOf(2, "two")}, {3, answerOf(3, "three")}});
  ASSERT_TRUE(devices.ready());
  ORVCScanOrvaneDevice scanner(200, settingsFor(devices.port()));
  EXPECT_TRUE(scanner.scanAddresses({loopback(2), 0x7FFFFFFFu, loopback(3), 0x7FFFFFFFu}));
  EXPECT_EQ(scanner.networkDevices().size(), 2u);
  const QString log = errorLog();
  EXPECT_TRUE(log.contains(QStringLiteral(
      "Discovery by address: 2 of 4 requests could not be sent (the first to 127.255.255.255, Error Code = ")))
      << log.toStdString();
  EXPECT_EQ(log.count(QStringLiteral("Discovery by address:")), 1) << log.toStdString();
}

TEST_F(DiscoveryUnicast, FalseWhenNoRequestWentOut) {
  ORVCScanOrvaneDevice scanner(50, settingsFor(7010));
  EXPECT_FALSE(scanner.scanAddresses({0x7FFFFFFFu}));
  EXPECT_TRUE(scanner.networkDevices().empty());
  EXPECT_TRUE(errorLog().contains(QStringLiteral("1 of 1 requests could not be sent"))) << errorLog().toStdString();
}

TEST_F(DiscoveryUnicast, ManyAddressesAtThePaceOfTheSettings) {
  // 1,000 addresses on loopback, 200 of them answering: every answer is listed.
  std::vector<FakeDevices::Device> answering;
  for (int i = 0; i < 200; ++i) answering.push_back({10 + i, answerOf(i, "d" + QByteArray::number(i))});
  FakeDevices devices(answering);
  ASSERT_TRUE(devices.ready());
  std::vector<quint32> addresses;
  for (int i = 0; i < 1000; ++i) addresses.push_back(loopback(10 + i % 200) | quint32(i / 200) << 8);
  ORVCScanOrvaneDevice scanner(300, settingsFor(devices.port(), 50));
  EXPECT_TRUE(scanner.scanAddresses(addresses));
  EXPECT_EQ(scanner.networkDevices().size(), 200u);
}

}  // namespace
