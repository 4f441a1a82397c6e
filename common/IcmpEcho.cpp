#include "common/IcmpEcho.h"

#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QStringList>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace orvane::icmp {

namespace {
constexpr int kDataSize = 32;

// Once per process, when neither socket kind may be opened for lack of permission: one
// line on standard error and in the error log that says what to change.
void reportPermissionRefusal(int datagramError) {
  static std::atomic<bool> reported{false};
  if (reported.load()) return;
  QFile range(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
  const QString rangeText =
      range.open(QIODevice::ReadOnly) ? QString::fromLatin1(range.read(256)) : QString();
  const QString text = echoPermissionText(datagramError, quint32(::getegid()), rangeText,
                                          QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
  if (text.isEmpty() || reported.exchange(true)) return;
  std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  std::fflush(stderr);
  writeLogEntry(QStringLiteral("IcmpEcho"), __LINE__, QStringLiteral("orvane::icmp::EchoSocket"),
                UseConfiguredOutputs, LogLevelError, text);
}

struct EchoSocket {
  int fd = -1;
  bool raw = false;
  EchoSocket() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
      const int datagramError = errno;
      fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
      raw = fd >= 0;
      const int rawError = errno;
      if (fd < 0 && (rawError == EPERM || rawError == EACCES)) reportPermissionRefusal(datagramError);
      errno = rawError;
    }
  }
  ~EchoSocket() {
    if (fd >= 0) ::close(fd);
  }
  EchoSocket(const EchoSocket&) = delete;
  EchoSocket& operator=(const EchoSocket&) = delete;
};

quint16 internetChecksum(const quint8* data, int n) {
  quint32 sum = 0;
  for (int i = 0; i + 1 < n; i += 2) sum += quint32(data[i]) << 8 | data[i + 1];
  if (n % 2) sum += quint32(data[n - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return quint16(~sum);
}

std::atomic<quint16> nextSequence{1};

constexpr int kRequestSize = 8 + kDataSize;

// The echo request: type 8, code 0, checksum, identifier, sequence, the 32 data bytes.
void fillEchoRequest(quint8 (&request)[kRequestSize], quint16 identifier, quint16 sequence) {
  std::memset(request, 0, sizeof request);
  request[0] = ICMP_ECHO;
  request[4] = quint8(identifier >> 8);
  request[5] = quint8(identifier);
  request[6] = quint8(sequence >> 8);
  request[7] = quint8(sequence);
  const QByteArray data = echoRequestData();
  std::memcpy(request + 8, data.constData(), kDataSize);
  const quint16 sum = internetChecksum(request, sizeof request);
  request[2] = quint8(sum >> 8);
  request[3] = quint8(sum);
}
}  // namespace

bool echoSocketAvailable() { return EchoSocket().fd >= 0; }

QString echoPermissionText(int error, quint32 groupId, const QString& rangeText, const QString& programPath) {
  if (error != EPERM && error != EACCES) return QString();
  const QString range = rangeText.simplified();
  const QStringList bounds = range.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  bool lowOk = false, highOk = false;
  const qint64 low = bounds.size() == 2 ? bounds[0].toLongLong(&lowOk) : 0;
  const qint64 high = bounds.size() == 2 ? bounds[1].toLongLong(&highOk) : 0;
  const QString group = QStringLiteral("group %1").arg(groupId);
  const QString setcap =
      QStringLiteral("give the program CAP_NET_RAW (\"setcap cap_net_raw+ep %1\")")
          .arg(programPath.isEmpty() ? QStringLiteral("PATH") : programPath);
  const QString sysctl = QStringLiteral("\"sysctl -w net.ipv4.ping_group_range='0 2147483647'\"");
  QString why;
  if (!lowOk || !highOk)
    why = group + QStringLiteral("; net.ipv4.ping_group_range could not be read");
  else if (qint64(groupId) < low || qint64(groupId) > high)
    why = group + QStringLiteral(" is outside net.ipv4.ping_group_range \"") + range + QLatin1Char('"');
  else  // inside the range, refused all the same (a security module, a container's rules)
    return QStringLiteral("ICMP echo is not permitted for this user (") + group +
           QStringLiteral(" is inside net.ipv4.ping_group_range \"") + range +
           QStringLiteral("\", yet the system refused the socket): ") + setcap;
  return QStringLiteral("ICMP echo is not permitted for this user (") + why + QStringLiteral("): allow it with ") +
         sysctl + QStringLiteral(" or ") + setcap;
}

QByteArray echoRequestData() {
  QByteArray data(kDataSize, '\0');
  std::memcpy(data.data(), "Data Buffer", 11);
  return data;
}

bool parseEchoReply(const quint8* datagram, qsizetype size, bool withIpHeader, quint16 identifier,
                    quint16 sequence) {
  qsizetype offset = 0;
  if (withIpHeader) {
    if (size < 20) return false;
    offset = (datagram[0] & 0x0F) * 4;
  }
  if (size - offset < 8) return false;
  const quint8* icmp = datagram + offset;
  if (icmp[0] != ICMP_ECHOREPLY) return false;
  if (withIpHeader && quint16(icmp[4] << 8 | icmp[5]) != identifier) return false;
  return quint16(icmp[6] << 8 | icmp[7]) == sequence;
}

EchoResult sendEcho(const QString& dottedAddress, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  EchoResult result;
  const std::optional<quint32> parsed = parseIpv4Text(dottedAddress);
  if (!parsed) {
    result.outcome = EchoResult::BadAddress;
    return result;
  }
  const quint32 target = *parsed;
  EchoSocket socket;
  if (socket.fd < 0) {
    result.outcome = EchoResult::NoSocket;
    result.errorCode = errno;
    return result;
  }

  const quint16 identifier = quint16(::getpid());
  const quint16 sequence = nextSequence++;
  quint8 request[kRequestSize];
  fillEchoRequest(request, identifier, sequence);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(target);
  const auto start = Clock::now();
  if (::sendto(socket.fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    result.outcome = EchoResult::SendFailed;
    result.errorCode = errno;
    return result;
  }

  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  quint8 buffer[1500];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{socket.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(socket.fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                 &fromLength);
    if (n < 0) continue;   // an ICMP error queued on the socket, or nothing after all
    // A raw socket sees every ICMP message of the host, our own request included on
    // loopback: keep only the reply from the target to this request.
    if (socket.raw && from.sin_addr.s_addr != to.sin_addr.s_addr) continue;
    if (!parseEchoReply(buffer, qsizetype(n), socket.raw, identifier, sequence)) continue;
    result.outcome = EchoResult::Reply;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    result.replyAddress = QString::fromLatin1(text);
    result.roundtripMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    return result;
  }
  result.outcome = EchoResult::TimedOut;
  return result;
}

}  // namespace orvane::icmp
