#include "discovery/ScanOrvaneModule.h"

#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"
#include "discovery/DatagramReceiver.h"
#include "engine/IpPacket.h"

#include <QNetworkInterface>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kSource = QStringLiteral("ScanOrvaneModule");

void logError(int line, const char* function, const QString& text) {
  writeLogEntry(kSource, line, QString::fromLatin1(function), UseConfiguredOutputs, LogLevelError, text);
}

void logGeneral(int line, const char* function, const QString& text) {
  writeLogEntry(kSource, line, QString::fromLatin1(function), UseConfiguredOutputs, LogLevelGeneral, text);
}

// Receive buffer asked for on each discovery socket: every reply of a large network
// arrives within the wait and must be queued until the drain, so the default buffer
// (a few hundred datagrams' worth of kernel accounting) is far too small.
constexpr int kDiscoveryReceiveBuffer = 16 * 1024 * 1024;
// Each discovery receive takes one datagram of at most this size: enough for any frame.
constexpr int kDiscoveryDatagramSize = 66000;
// Each receive of the I2C bus scan takes one datagram of at most this size.
constexpr int kI2cDatagramSize = 500;

// Value length of each variable id of a VariablesAnswer; -1 for an id we do not know.
int variableValueLength(quint8 id) {
  switch (id) {
    case orvane::proto::VarFirmwareType: return 4;
    case orvane::proto::VarVersionWord: return 4;
    case orvane::proto::VarMacAddress: return 6;
    case orvane::proto::VarDeviceName: return 16;
    default: return -1;
  }
}

QString sourceText(const sockaddr_in& from) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  return QString::fromLatin1(text);
}

// Closes the socket when the owner leaves scope, on every path.
class SocketGuard {
 public:
  explicit SocketGuard(int fd) : fd_(fd) {}
  ~SocketGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  int fd() const { return fd_; }
  // Hands the socket over: the guard no longer closes it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A UDP socket for one discovery, bound to `local` (INADDR_ANY: the system's choice) on a
// port the system picks (the replies come back to it), allowed to broadcast when asked,
// with a large receive buffer. -1 (with an error entry) on failure.
int openDiscoverySocket(quint32 local, bool broadcast, const char* label) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    logError(__LINE__, label, QStringLiteral("WSASocket returns invalid socket failed"));
    return -1;
  }
  SocketGuard guard(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(local);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    logError(__LINE__, label, QStringLiteral("bind returns invalid socket failed"));
    return -1;
  }
  const int on = 1;
  if (broadcast && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    logError(__LINE__, label, QStringLiteral("setsockopt failed"));
    return -1;
  }
  // Hundreds of replies arrive together during the wait. SO_RCVBUFFORCE passes the
  // system's ceiling where we are allowed to; otherwise SO_RCVBUF gets what the ceiling
  // allows. A smaller buffer only risks losing replies, so it is not a failure.
  const int wanted = kDiscoveryReceiveBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) != 0) {
    logGeneral(__LINE__, label, QStringLiteral("Receive buffer not enlarged, Error Code = ") + QString::number(errno));
  }
  return guard.release();
}

// Sends the request to address:port (host byte order); 0, or the error code.
int sendRequest(int fd, const QByteArray& request, quint32 address, quint16 port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address);
  ssize_t sent;
  do {
    sent = ::sendto(fd, request.constData(), size_t(request.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to);
  } while (sent < 0 && errno == EINTR);
  if (sent == ssize_t(request.size())) return 0;
  return sent < 0 ? errno : EMSGSIZE;
}

// True when a datagram (or an error) is waiting before `until`, to the microsecond.
bool readableBefore(int fd, std::chrono::steady_clock::time_point until) {
  for (;;) {
    const auto left = std::max(std::chrono::nanoseconds(0), until - std::chrono::steady_clock::now());
    const timespec timeout{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
    pollfd p{fd, POLLIN, 0};
    const int ready = ::ppoll(&p, 1, &timeout, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// One I2C bus scan on the wire: a UDP socket connected to the gateway, so that the
// system hands over only the gateway's own datagrams, and the scan's overall deadline.
// Problems are written as error entries; the scan then ends with what it has.
class I2cExchange {
 public:
  I2cExchange(ORVCScanOrvaneDevice& engine, const QString& ipAddress)
      : engine_(engine),
        ipAddress_(ipAddress),
        socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)),
        window_(std::max(0, engine.settings().i2cReceiveWindowMs)),
        deadline_(std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(std::max(0, engine.settings().i2cScanDeadlineMs))),
        datagram_(kI2cDatagramSize) {}

  // Binds the socket and connects it to the gateway; false (with an entry) on failure.
  bool open() {
    if (socket_.fd() < 0) return fail(QStringLiteral("I2C scan: no UDP socket, Error Code = ") + QString::number(errno));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (::bind(socket_.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
      return fail(QStringLiteral("I2C scan: bind failed, Error Code = ") + QString::number(errno));
    const std::optional<quint32> address = parseIpv4Text(ipAddress_);
    if (!address) return fail(QStringLiteral("I2C scan: invalid address ") + ipAddress_);
    sockaddr_in gateway{};
    gateway.sin_family = AF_INET;
    gateway.sin_port = htons(engine_.settings().discoveryPort);
    gateway.sin_addr.s_addr = htonl(*address);
    // Connecting finds the route: where there is none, sending would fail the same way.
    if (::connect(socket_.fd(), reinterpret_cast<const sockaddr*>(&gateway), sizeof gateway) != 0)
      return sendFailed(errno);
    return true;
  }

  // Sends one request; false (with an error entry) when the system refuses it.
  bool send(const QByteArray& request) {
    ssize_t sent;
    do {
      sent = ::send(socket_.fd(), request.constData(), size_t(request.size()), 0);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(request.size()) || sendFailed(sent < 0 ? errno : EMSGSIZE);
  }

  // Takes datagrams until one receive window passes without any, or the scan's deadline.
  // A socket error (such as the port-unreachable report of a host without the discovery
  // port) ends the phase the same way: nothing more will come for this request.
  void collect(int deviceIndex) {
    while (!expired()) {
      if (!waitReadable(std::min(std::chrono::steady_clock::now() + window_, deadline_))) return;
      int length = 0;
      sockaddr_in from{};
      const orvane::discovery::ReceiveResult got = orvane::discovery::receiveDatagram(socket_.fd(), datagram_, length, from);
      if (got == orvane::discovery::ReceiveResult::Failed) return;
      // Nothing after all, an empty datagram (no frame bytes), or a cut one (its frame
      // would wait for bytes that the next answer would then supply): wait on.
      if (got != orvane::discovery::ReceiveResult::Datagram || length == 0) continue;
      engine_.receiveUDP(datagram_.data(), length, sourceText(from), ntohs(from.sin_port), deviceIndex);
    }
  }

  bool expired() const { return std::chrono::steady_clock::now() >= deadline_; }

 private:
  bool fail(const QString& text) {
    logError(__LINE__, "ORVCScanOrvaneDevice::scanI2CBus", text);
    return false;
  }

  bool sendFailed(int code) {
    return fail(QStringLiteral("I2C scan: sending to ") + ipAddress_ + QStringLiteral(" failed, Error Code = ") +
                QString::number(code));
  }

  // True when a datagram (or an error) is waiting before `until`.
  bool waitReadable(std::chrono::steady_clock::time_point until) const { return readableBefore(socket_.fd(), until); }

  ORVCScanOrvaneDevice& engine_;
  QString ipAddress_;
  SocketGuard socket_;
  std::chrono::milliseconds window_;
  std::chrono::steady_clock::time_point deadline_;
  std::vector<quint8> datagram_;
};

}  // namespace

ORVCScanOrvaneDevice::ORVCScanOrvaneDevice(int replyWaitMs, DiscoverySettings settings)
    : replyWaitMs_(replyWaitMs), settings_(settings), datagram_(kDiscoveryDatagramSize) {
  // POSIX sockets need no library start-up; the lists start empty and the assembler
  // waits for the six header bytes of a frame.
}

ORVCScanOrvaneDevice::~ORVCScanOrvaneDevice() {
  networkDevices_.clear();
  i2cDevices_.clear();
}

void ORVCScanOrvaneDevice::clearNetworkDevices() {
  networkDevices_.clear();
  listedMacs_.clear();
  capLogged_ = false;
}

// Appends a completed record unless its MAC text is listed already (the first reply of
// a device wins) or the list is full; false when the record was dropped.
bool ORVCScanOrvaneDevice::listNetworkDevice(std::unique_ptr<ORVCOrvaneDevice> device) {
  if (listedMacs_.contains(device->macAddressText)) return false;
  if (networkDevices_.size() >= size_t(kMaxNetworkDevicesPerScan)) {
    if (!capLogged_)
      logError(__LINE__, "ORVCScanOrvaneDevice::receiveUDP_IPData",
               QStringLiteral("More than %1 devices answered the discovery; the further replies are ignored.")
                   .arg(kMaxNetworkDevicesPerScan));
    capLogged_ = true;
    return false;
  }
  listedMacs_.insert(device->macAddressText);
  networkDevices_.push_back(std::move(device));
  return true;
}

bool ORVCScanOrvaneDevice::scanOrvaneDevice() {
  clearNetworkDevices();
  const QByteArray request = orvane::proto::discoveryRequest();
  if (!sendBroadcast(request)) {
    logError(__LINE__, "ORVCScanOrvaneDevice::scanOrvaneDevice", QStringLiteral("sendSocket failed."));
    return false;
  }
  return true;
}

std::vector<QHostAddress> ORVCScanOrvaneDevice::broadcastInterfaces() {
  struct Entry {
    int index;
    quint32 address;
  };
  std::vector<Entry> entries;
  const auto interfaces = QNetworkInterface::allInterfaces();
  for (const QNetworkInterface& iface : interfaces) {
    const auto flags = iface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning) ||
        !flags.testFlag(QNetworkInterface::CanBroadcast) || flags.testFlag(QNetworkInterface::IsLoopBack))
      continue;
    for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
      const QHostAddress ip = entry.ip();
      if (ip.protocol() != QAbstractSocket::IPv4Protocol || ip.isLoopback()) continue;
      entries.push_back({iface.index(), ip.toIPv4Address()});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.index != b.index ? a.index < b.index : a.address < b.address;
  });
  std::vector<QHostAddress> result;
  result.reserve(entries.size());
  for (const Entry& e : entries) result.emplace_back(e.address);
  return result;
}

bool ORVCScanOrvaneDevice::sendBroadcast(const QByteArray& request) {
  const std::vector<QHostAddress> locals = broadcastInterfaces();
  for (const QHostAddress& local : locals)
    logGeneral(__LINE__, "ORVCScanOrvaneDevice::sendBroadcast", QStringLiteral("ForwardDest = ") + local.toString());
  for (const QHostAddress& local : locals) {
    if (!sendBroadcast_Add(local, request)) {
      logError(__LINE__, "ORVCScanOrvaneDevice::sendBroadcast", QStringLiteral("sendBroadcast_Add failed."));
      return false;
    }
  }
  return true;
}

bool ORVCScanOrvaneDevice::sendBroadcast_Add(const QHostAddress& localAddress, const QByteArray& request) {
  static const char* const kLabel = "ORVCScanOrvaneDevice::sendBroadcast_Add";
  if (localAddress.protocol() != QAbstractSocket::IPv4Protocol) {
    logError(__LINE__, kLabel, QStringLiteral("bind returns invalid socket failed"));
    return false;
  }
  SocketGuard socket(openDiscoverySocket(localAddress.toIPv4Address(), true, kLabel));
  if (socket.fd() < 0) return false;

  logGeneral(__LINE__, kLabel, QStringLiteral("Sending a datagram..."));
  const int code = sendRequest(socket.fd(), request, INADDR_BROADCAST, settings_.discoveryPort);
  if (code != 0) {
    logError(__LINE__, kLabel, QStringLiteral("WSASendTo failed, Error Code = ") + QString::number(code));
    return false;
  }

  // The devices answer during this wait; their replies queue up in the socket.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, replyWaitMs_)));
  drainReplies(socket.fd());
  return true;
}

bool ORVCScanOrvaneDevice::scanAddresses(const std::vector<quint32>& addresses) {
  static const char* const kLabel = "ORVCScanOrvaneDevice::scanAddresses";
  clearNetworkDevices();
  logGeneral(__LINE__, kLabel,
             QStringLiteral("Discovery by address: %1 addresses, one every %2 us")
                 .arg(addresses.size())
                 .arg(std::max(0, settings_.unicastPaceUs)));
  SocketGuard socket(openDiscoverySocket(INADDR_ANY, false, kLabel));
  if (socket.fd() < 0) return false;
  std::vector<quint32> asked(addresses);
  std::sort(asked.begin(), asked.end());
  const size_t sent = sendPaced(socket.fd(), orvane::proto::discoveryRequest(), addresses, asked);

  // The last devices answer during the reply wait; the earlier replies are taken as they
  // come. Once every address asked has answered, nothing is left to wait for.
  asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
  const auto waitEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, replyWaitMs_));
  while (networkDevices_.size() < asked.size() && readableBefore(socket.fd(), waitEnd)) {
    if (!takeReplies(socket.fd(), waitEnd, &asked)) break;
  }
  drainReplies(socket.fd(), &asked);
  return sent > 0 || addresses.empty();
}

size_t ORVCScanOrvaneDevice::sendPaced(int fd, const QByteArray& request, const std::vector<quint32>& addresses,
                                       const std::vector<quint32>& only) {
  const auto pace = std::chrono::microseconds(std::max(0, settings_.unicastPaceUs));
  size_t sent = 0, refused = 0;
  int firstCode = 0;
  quint32 firstRefused = 0;
  auto due = std::chrono::steady_clock::now();
  for (quint32 address : addresses) {
    // Replies that come in before the next request is due are taken meanwhile, so that
    // the socket's queue stays short however many addresses are asked.
    takeRepliesUntil(fd, due, only);
    const int code = sendRequest(fd, request, address, settings_.discoveryPort);
    if (code == 0) {
      ++sent;
    } else if (refused++ == 0) {
      firstCode = code;
      firstRefused = address;
    }
    due += pace;
  }
  if (refused > 0) {
    char text[INET_ADDRSTRLEN] = {};
    const in_addr first{htonl(firstRefused)};
    inet_ntop(AF_INET, &first, text, sizeof text);
    logError(__LINE__, "ORVCScanOrvaneDevice::scanAddresses",
             QStringLiteral("Discovery by address: %1 of %2 requests could not be sent (the first to %3, Error Code = %4)")
                 .arg(refused)
                 .arg(addresses.size())
                 .arg(QString::fromLatin1(text))
                 .arg(firstCode));
  }
  return sent;
}

// Takes replies as they arrive until `until`; a receive that fails ends the waiting early
// (the drain at the end of the discovery reports it).
void ORVCScanOrvaneDevice::takeRepliesUntil(int fd, std::chrono::steady_clock::time_point until,
                                            const std::vector<quint32>& only) {
  while (readableBefore(fd, until)) {
    if (!takeReplies(fd, until, &only)) return;
    if (std::chrono::steady_clock::now() >= until) return;
  }
}

bool ORVCScanOrvaneDevice::takeReplies(int fd, std::chrono::steady_clock::time_point deadline,
                                       const std::vector<quint32>* only) {
  return orvane::discovery::drainDatagrams(
      fd, datagram_, deadline, [this, only](const quint8* bytes, int length, const sockaddr_in& from) {
        if (only && !std::binary_search(only->begin(), only->end(), quint32(ntohl(from.sin_addr.s_addr)))) return;
        receiveUDP(bytes, length, sourceText(from), ntohs(from.sin_port), -1);
      });
}

// Takes the queued replies one datagram at a time until none is left, but for no longer
// than the reply wait itself: a host that keeps sending cannot hold the (blocked)
// user-interface thread beyond it. A reply left incomplete is dropped with the socket.
void ORVCScanOrvaneDevice::drainReplies(int fd, const std::vector<quint32>* only) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, replyWaitMs_));
  if (!takeReplies(fd, deadline, only)) {
    const int code = errno;
    logError(__LINE__, only ? "ORVCScanOrvaneDevice::scanAddresses" : "ORVCScanOrvaneDevice::sendBroadcast_Add",
             QStringLiteral("WSARecv failed. Eror code = ") + QString::number(code));
  }
  dropPartialFrame();
}

void ORVCScanOrvaneDevice::dropPartialFrame() {
  rxCount_ = 0;
  rxRemaining_ = 6;
  rxInBody_ = false;
}

void ORVCScanOrvaneDevice::receiveUDP(const quint8* bytes, int count, const QString& sourceText,
                                      quint16 sourcePort, int deviceIndex) {
  if (bytes == nullptr || count <= 0) return;
  // Only the sender of a partial frame may complete it: anybody else's datagram would
  // otherwise hide the next real reply, or finish a forged frame with a real one's bytes.
  if (rxCount_ > 0 && (sourcePort != rxSourcePort_ || sourceText != rxSourceText_)) dropPartialFrame();
  rxSourceText_ = sourceText;
  rxSourcePort_ = sourcePort;
  for (int i = 0; i < count; ++i) {
    // A frame is at most 6 + 65535 + 2 bytes, so rxBuffer_ (66000) always has room.
    rxBuffer_[size_t(rxCount_)] = bytes[i];
    ++rxCount_;
    --rxRemaining_;
    if (!rxInBody_ && rxRemaining_ == 0) {
      rxRemaining_ = rxBuffer_[4] * 256 + rxBuffer_[5] + 2;
      rxInBody_ = true;
      continue;
    }
    if (!rxInBody_ || rxRemaining_ != 0) continue;

    // A whole frame: header, N payload bytes, checksum.
    const int n = rxBuffer_[4] * 256 + rxBuffer_[5];
    const quint16 stored = quint16(rxBuffer_[size_t(n) + 6] * 256 + rxBuffer_[size_t(n) + 7]);
    const bool intact = orvane::proto::packetChecksum(rxBuffer_.data(), n + 6) == stored;
    const int code = rxBuffer_[0] * 256 + rxBuffer_[1];
    dropPartialFrame();  // the frame is complete: the next byte starts a new one
    if (!intact) return;  // the rest of this datagram cannot be trusted either
    // A list answer without addresses lists nothing, but it is an answer: the bus is empty.
    if (code == orvane::proto::I2cScanAnswer) i2cScanAnswered_ = true;
    if (n == 0) continue;

    // Copy the payload: a handler may feed the assembler again one day, and the
    // next frame of this datagram reuses rxBuffer_.
    const std::vector<quint8> payload(rxBuffer_.begin() + 6, rxBuffer_.begin() + 6 + n);
    switch (code) {
      case orvane::proto::VariablesAnswer:
        receiveUDP_IPData(payload.data(), n, sourceText);
        break;
      case orvane::proto::I2cScanAnswer:
        receiveUDP_I2CList(payload.data(), n, sourceText);
        break;
      case orvane::proto::I2cTransferAnswer:
        receiveUDP_I2CData(payload.data(), n, sourceText, deviceIndex);
        break;
      default:
        break;
    }
  }
}

void ORVCScanOrvaneDevice::receiveUDP_IPData(const quint8* payload, int length, const QString& sourceText) {
  if (payload == nullptr) return;
  // A full list takes nothing more; the entry about it has been written.
  if (capLogged_) return;
  // The record being filled; it joins networkDevices once its name has been read.
  // After that (or after it was dropped as a duplicate) there is no current record
  // until the next id 0, and values that arrive meanwhile are skipped.
  std::unique_ptr<ORVCOrvaneDevice> current;
  int pos = 0;
  while (pos < length) {
    const quint8 id = payload[pos++];
    const int valueLength = variableValueLength(id);
    if (valueLength < 0) {
      writeLogEntry(kSource, __LINE__, QStringLiteral("ORVCScanOrvaneDevice::receiveUDP_IPData"), LogToMessageBox,
                    LogLevelError, QStringLiteral("Unknown variable in IP Packet."));
      return;
    }
    // A truncated last entry ends the reply: its value is not there to read.
    if (length - pos < valueLength) return;
    const quint8* value = payload + pos;
    pos += valueLength;

    if (id == orvane::proto::VarFirmwareType) {
      current = std::make_unique<ORVCOrvaneDevice>();
      current->applyType(value);
      continue;
    }
    if (!current) continue;  // no id 0 yet: nobody to give the value to
    switch (id) {
      case orvane::proto::VarVersionWord:
        current->applyVersions(value);
        break;
      case orvane::proto::VarMacAddress:
        current->applyMacAddress(value);
        break;
      case orvane::proto::VarDeviceName: {
        current->applyName(value);
        current->ipAddressText = sourceText;
        if (!listNetworkDevice(std::move(current))) return;
        break;
      }
      default:
        break;
    }
  }
}

bool ORVCScanOrvaneDevice::scanI2CBus(const QString& ipAddress) {
  i2cDevices_.clear();
  i2cScanAnswered_ = false;
  I2cExchange exchange(*this, ipAddress);
  if (exchange.open()) {
    if (exchange.send(orvane::proto::i2cScanRequest())) exchange.collect(-1);
    // The list answer may rebuild i2cDevices_ at any time, so the count is read anew.
    for (size_t j = 0; j < i2cDevices_.size() && !exchange.expired(); ++j) {
      if (!exchange.send(orvane::proto::i2cIdentificationRequest(i2cDevices_[j]->i2cAddress))) break;
      exchange.collect(int(j));
    }
    if (exchange.expired())
      logGeneral(__LINE__, "ORVCScanOrvaneDevice::scanI2CBus",
                 QStringLiteral("I2C scan: stopped after %1 ms, %2 I2C devices listed")
                     .arg(settings_.i2cScanDeadlineMs)
                     .arg(i2cDevices_.size()));
  }
  dropPartialFrame();
  return true;
}

void ORVCScanOrvaneDevice::receiveUDP_I2CList(const quint8* payload, int length, const QString& sourceText) {
  i2cDevices_.clear();
  if (payload == nullptr) return;
  // Only the addresses an I2C device can have, each once; anything else in the list is
  // not a device the upgrader could address.
  std::bitset<256> seen;
  for (int i = 0; i < length; ++i) {
    const quint8 address = payload[i];
    if (address < orvane::proto::kI2cAddressMin || address > orvane::proto::kI2cAddressMax || seen[address]) continue;
    seen.set(address);
    auto device = std::make_unique<ORVCOrvaneDevice>();
    device->ipAddressText = sourceText;
    device->applyI2cAddress(address);
    i2cDevices_.push_back(std::move(device));
  }
}

void ORVCScanOrvaneDevice::receiveUDP_I2CData(const quint8* payload, int length, const QString& sourceText,
                                              int deviceIndex) {
  Q_UNUSED(sourceText);  // nothing in the answer names the I2C device: it is the one asked last
  constexpr quint8 ok = orvane::proto::kI2cStatusOk;
  if (payload == nullptr || length != 27 || payload[4] != ok || payload[9] != ok || payload[26] != ok) return;
  // An answer while no identification is awaited (the list phase, or a stray answer
  // after the list was rebuilt) has no record to fill.
  if (deviceIndex < 0 || size_t(deviceIndex) >= i2cDevices_.size()) return;
  ORVCOrvaneDevice& device = *i2cDevices_[size_t(deviceIndex)];
  device.applyType(payload);
  device.applyVersions(payload + 5);
  device.applyName(payload + 10);
}
