#include "sim/SimServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvane::sim {
namespace {

constexpr int kSocketBuffer = 8 * 1024 * 1024;
constexpr int kMaxHttpRequest = 16 * 1024;
constexpr int kPieceGapMs = 30;

QString dotted(quint32 address) { return QHostAddress(address).toString(); }

void enlargeBuffers(int fd) {
  const int size = kSocketBuffer;
  // The forcing variants pass the system limits when we run as root (in the lab we do).
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace

// One accepted TCP connection; owned by its socket (deleted with it).
struct SimServer::Connection {
  QTcpSocket* socket = nullptr;
  SimDevice* device = nullptr;
  int port = 0;
  QByteArray buffer;
  bool httpDone = false;
};

SimServer::SimServer(const QList<DeviceConfig>& devices, Recorder& recorder, QObject* parent)
    : QObject(parent), recorder_(recorder) {
  for (const DeviceConfig& c : devices) {
    auto* device = new SimDevice(c, recorder_, this);
    device->onReboot = [this](SimDevice* d) { dropConnections(d); };
    devices_.append(device);
    byAddress_.insert(c.address4, device);
  }
}

SimServer::~SimServer() {
  if (udpSocket_ >= 0) ::close(udpSocket_);
}

SimDevice* SimServer::deviceAt(quint32 address) const { return byAddress_.value(address, nullptr); }

bool SimServer::start(QString& error) {
  udpSocket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udpSocket_ < 0) {
    error = QStringLiteral("cannot open the UDP socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  const int one = 1;
  ::setsockopt(udpSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(udpSocket_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  ::setsockopt(udpSocket_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  enlargeBuffers(udpSocket_);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kUdpPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(udpSocket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error = QStringLiteral("cannot bind UDP 0.0.0.0:%1: %2").arg(kUdpPort).arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  udpNotifier_ = new QSocketNotifier(udpSocket_, QSocketNotifier::Read, this);
  connect(udpNotifier_, &QSocketNotifier::activated, this, [this] { readDatagrams(); });

  for (int port : {kCommonPort, kFilePort, kHttpPort}) {
    auto* server = new QTcpServer(this);
    server->setListenBacklogSize(1024);
    if (!server->listen(QHostAddress::AnyIPv4, quint16(port))) {
      error = QStringLiteral("cannot listen on TCP 0.0.0.0:%1: %2").arg(port).arg(server->errorString());
      return false;
    }
    connect(server, &QTcpServer::newConnection, this, [this, server, port] { acceptConnections(server, port); });
    servers_.append(server);
  }
  return true;
}

// --- UDP ---------------------------------------------------------------------------

void SimServer::readDatagrams() {
  static char buffer[66000];
  for (;;) {
    sockaddr_in from{};
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(udpSocket_, &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        std::fprintf(stderr, "orvane-devsim: UDP receive failed: %s\n", std::strerror(errno));
      return;
    }
    quint32 destination = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        destination = ntohl(info.ipi_addr.s_addr);
      }
    }
    handleDatagram(QByteArray(buffer, int(n)), destination, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
  }
}

void SimServer::handleDatagram(const QByteArray& datagram, quint32 destination, quint32 source, quint16 sourcePort) {
  // The lab never gives a device an address ending in 255, so such a destination is a
  // broadcast (limited or directed): every device answers it, each from its own address.
  QList<SimDevice*> addressed;
  if ((destination & 0xFF) == 0xFF) {
    addressed = devices_;
  } else if (SimDevice* d = deviceAt(destination)) {
    addressed.append(d);
  }
  const QString from = dotted(source) + QLatin1Char(':') + QString::number(sourcePort);
  for (SimDevice* device : addressed) {
    recorder_.write(device->address(), {{QStringLiteral("proto"), QStringLiteral("udp")},
                                        {QStringLiteral("port"), kUdpPort},
                                        {QStringLiteral("dir"), QStringLiteral("in")},
                                        {QStringLiteral("hex"), hexText(datagram)},
                                        {QStringLiteral("to"), dotted(destination)},
                                        {QStringLiteral("from"), from}});
    int delayMs = 0;
    const QList<QByteArray> replies = device->handleUdp(datagram, delayMs);
    if (replies.isEmpty()) continue;
    QPointer<SimDevice> guard(device);
    auto send = [this, guard, replies, source, sourcePort] {
      if (!guard) return;
      for (const QByteArray& r : replies) sendDatagram(guard, r, source, sourcePort);
    };
    if (delayMs > 0) QTimer::singleShot(delayMs, this, send);
    else send();
    scheduleUdpFaults(device, datagram, send, delayMs, source, sourcePort);
  }
}

// Faults udpRawRepeat and udpFlood: more datagrams after the answer. Flood datagrams are
// not recorded one by one (megabytes of them); each round is one `udpFlood` event.
void SimServer::scheduleUdpFaults(SimDevice* device, const QByteArray& request, const std::function<void()>& send,
                                  int delayMs, quint32 destination, quint16 port) {
  const Faults& f = device->config().faults;
  // Precise timers: a coarse one may slip by 5 % of its (long) interval, which would open
  // gaps between repeats that the fault is meant not to have.
  for (int k = 1; k <= device->rawRepeats(request); ++k)
    QTimer::singleShot(delayMs + k * f.udpRawRepeat.everyMs, Qt::PreciseTimer, this, send);
  QPointer<SimDevice> guard(device);
  for (int round = 0; round < device->floodRounds(request); ++round) {
    QTimer::singleShot(delayMs + round * f.udpFlood.everyMs, Qt::PreciseTimer, this, [this, guard, destination, port] {
      if (!guard) return;
      const QList<QByteArray> datagrams = guard->floodRound();
      int sent = 0;
      for (const QByteArray& d : datagrams) sent += transmitDatagram(guard, d, destination, port) ? 1 : 0;
      recorder_.write(guard->address(), {{QStringLiteral("event"), QStringLiteral("udpFlood")},
                                         {QStringLiteral("datagrams"), sent},
                                         {QStringLiteral("to"), dotted(destination) + QLatin1Char(':') + QString::number(port)}});
    });
  }
}

void SimServer::sendDatagram(SimDevice* device, const QByteArray& bytes, quint32 destination, quint16 port) {
  if (!transmitDatagram(device, bytes, destination, port)) return;
  recorder_.write(device->address(), {{QStringLiteral("proto"), QStringLiteral("udp")},
                                      {QStringLiteral("port"), kUdpPort},
                                      {QStringLiteral("dir"), QStringLiteral("out")},
                                      {QStringLiteral("hex"), hexText(bytes)},
                                      {QStringLiteral("to"), dotted(destination) + QLatin1Char(':') + QString::number(port)}});
}

// Sends one datagram from the device's own address; false (with a line on standard
// error) when it could not go.
bool SimServer::transmitDatagram(SimDevice* device, const QByteArray& bytes, quint32 destination, quint16 port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(destination);
  iovec iov{const_cast<char*>(bytes.constData()), size_t(bytes.size())};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = htonl(device->config().address4);  // reply from the device's own address
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  // A full send queue drains within milliseconds on a veth: wait for it, but not forever.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (::sendmsg(udpSocket_, &msg, MSG_DONTWAIT) >= 0) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR) break;
    pollfd p{udpSocket_, POLLOUT, 0};
    ::poll(&p, 1, 50);
  }
  std::fprintf(stderr, "orvane-devsim: %s: UDP reply to %s:%u not sent: %s\n", device->address().toLocal8Bit().constData(),
               dotted(destination).toLocal8Bit().constData(), unsigned(port), std::strerror(errno));
  return false;
}

// --- TCP ---------------------------------------------------------------------------

void SimServer::refuse(QTcpSocket* socket) {
  // Linger 0 makes the close a reset, as a device that refuses the port.
  const linger l{1, 0};
  ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  socket->abort();
  socket->deleteLater();
}

void SimServer::acceptConnections(QTcpServer* server, int port) {
  while (QTcpSocket* socket = server->nextPendingConnection()) {
    SimDevice* device = deviceAt(socket->localAddress().toIPv4Address());
    if (!device) {
      refuse(socket);
      continue;
    }
    const Faults& f = device->config().faults;
    const bool down = device->rebooting() && (port == kCommonPort || port == kFilePort);
    if (f.refuses(port) || down) {
      recorder_.write(device->address(), {{QStringLiteral("event"), QStringLiteral("connection")},
                                          {QStringLiteral("port"), port},
                                          {QStringLiteral("state"), QStringLiteral("refused")}});
      refuse(socket);
      continue;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto* c = new Connection;
    c->socket = socket;
    c->device = device;
    c->port = port;
    connections_[device].insert(socket);
    recorder_.write(device->address(), {{QStringLiteral("event"), QStringLiteral("connection")},
                                        {QStringLiteral("port"), port},
                                        {QStringLiteral("state"), QStringLiteral("open")}});
    connect(socket, &QTcpSocket::readyRead, this, [this, c] { readConnection(c); });
    connect(socket, &QTcpSocket::disconnected, this, [this, c] {
      recorder_.write(c->device->address(), {{QStringLiteral("event"), QStringLiteral("connection")},
                                             {QStringLiteral("port"), c->port},
                                             {QStringLiteral("state"), QStringLiteral("closed")}});
      c->socket->deleteLater();
    });
    connect(socket, &QObject::destroyed, this, [this, c] {
      connections_[c->device].remove(c->socket);
      delete c;
    });
    if (socket->bytesAvailable() > 0) readConnection(c);
  }
}

void SimServer::dropConnections(SimDevice* device) {
  const QSet<QTcpSocket*> sockets = connections_.value(device);
  for (QTcpSocket* s : sockets) s->disconnectFromHost();
}

void SimServer::readConnection(Connection* c) {
  c->buffer.append(c->socket->readAll());
  const QString& device = c->device->address();
  if (c->port == kHttpPort) {
    if (c->httpDone) return;
    const int end = int(c->buffer.indexOf("\r\n\r\n"));
    if (end < 0) {
      if (c->buffer.size() > kMaxHttpRequest) {
        recorder_.violation(device, kHttpPort, QStringLiteral("HTTP request header longer than %1 bytes").arg(kMaxHttpRequest));
        c->httpDone = true;
        c->socket->disconnectFromHost();
      }
      return;
    }
    c->httpDone = true;
    const QByteArray request = c->buffer.left(end + 4);
    recorder_.write(device, {{QStringLiteral("proto"), QStringLiteral("http")},
                             {QStringLiteral("port"), kHttpPort},
                             {QStringLiteral("dir"), QStringLiteral("in")},
                             {QStringLiteral("text"), QString::fromLatin1(request)}});
    const HttpOutcome out = c->device->handleHttp(request);
    if (out.silent) return;
    recorder_.write(device, {{QStringLiteral("proto"), QStringLiteral("http")},
                             {QStringLiteral("port"), kHttpPort},
                             {QStringLiteral("dir"), QStringLiteral("out")},
                             {QStringLiteral("status"), out.status},
                             {QStringLiteral("length"), out.bodyLength}});
    sendAnswer(c, out.response, {}, true);
    return;
  }
  // The stream is cut into frames by the payload-length field.
  while (c->buffer.size() >= kFrameHeader) {
    if (c->buffer[0] != 0) {
      recorder_.violation(device, c->port, QStringLiteral("stream out of step: frame starts with 0x%1; %2 bytes dropped")
                                               .arg(quint8(c->buffer[0]), 2, 16, QLatin1Char('0'))
                                               .arg(c->buffer.size()));
      recorder_.write(device, {{QStringLiteral("proto"), QStringLiteral("tcp")},
                               {QStringLiteral("port"), c->port},
                               {QStringLiteral("dir"), QStringLiteral("in")},
                               {QStringLiteral("hex"), hexText(c->buffer)}});
      c->buffer.clear();
      return;
    }
    const int length = wireFrameLength(c->buffer);
    if (c->buffer.size() < length) return;
    const QByteArray frame = c->buffer.left(length);
    c->buffer.remove(0, length);
    // Every exchange passes here: without a record, no line is made at all.
    if (recorder_.recording())
      recorder_.write(device, {{QStringLiteral("proto"), QStringLiteral("tcp")},
                               {QStringLiteral("port"), c->port},
                               {QStringLiteral("dir"), QStringLiteral("in")},
                               {QStringLiteral("hex"), hexText(frame)}});
    const TcpOutcome out = c->device->handleTcp(c->port, frame);
    if (!out.answer.isEmpty() || out.close) sendAnswer(c, out.answer, out.split, out.close);
    if (out.close) return;
  }
}

void SimServer::sendAnswer(Connection* c, const QByteArray& answer, const QList<int>& split, bool close) {
  QList<QByteArray> pieces;
  int from = 0;
  for (int cut : split) {
    if (cut > from && cut < answer.size()) {
      pieces.append(answer.mid(from, cut - from));
      from = cut;
    }
  }
  if (from < answer.size()) pieces.append(answer.mid(from));

  QPointer<QTcpSocket> socket(c->socket);
  const QString device = c->device->address();
  const int port = c->port;
  const bool tcp = port != kHttpPort;
  auto sendPiece = [this, socket, pieces, device, port, tcp, answer, close](int i) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) return;
    if (i == 0 && tcp && !answer.isEmpty() && recorder_.recording()) {
      recorder_.write(device, {{QStringLiteral("proto"), QStringLiteral("tcp")},
                               {QStringLiteral("port"), port},
                               {QStringLiteral("dir"), QStringLiteral("out")},
                               {QStringLiteral("hex"), hexText(answer)}});
    }
    if (i < pieces.size()) {
      socket->write(pieces[i]);
      socket->flush();
    }
    if (close && i >= pieces.size() - 1) socket->disconnectFromHost();
  };
  const int delay = c->device->config().replyDelayMs;
  const int count = std::max<int>(1, int(pieces.size()));
  for (int i = 0; i < count; ++i) {
    const int at = delay + i * kPieceGapMs;
    if (at == 0) sendPiece(i);
    else QTimer::singleShot(at, this, [sendPiece, i] { sendPiece(i); });
  }
}

}  // namespace orvane::sim
