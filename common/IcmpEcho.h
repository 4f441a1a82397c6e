#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One ICMP echo through an echo socket: the unprivileged datagram kind where the system
// allows it, else a raw socket. Blocking, bounded by the time-out.
namespace orvane::icmp {

// True when one of the two socket kinds can be opened (nothing is sent).
bool echoSocketAvailable();

struct EchoResult {
  enum Outcome { Reply, TimedOut, NoSocket, SendFailed, BadAddress };
  Outcome outcome = TimedOut;
  int errorCode = 0;        // errno of a failed send
  QString replyAddress;     // dotted decimal of the replying host
  int roundtripMs = 0;
};

// The 32 request data bytes: "Data Buffer" followed by 21 zero bytes.
QByteArray echoRequestData();

// True when `datagram` (`size` bytes as received, its IPv4 header first when
// `withIpHeader`, as a raw socket delivers it) is the echo reply to the request with
// this identifier and sequence: ICMP type 0 and the same sequence. The identifier is
// compared only with the IP header: the datagram kind of socket rewrites it, and the
// kernel hands that socket only the replies to its own requests. The code and the
// echoed data are not looked at. Reads nothing outside the `size` bytes.
bool parseEchoReply(const quint8* datagram, qsizetype size, bool withIpHeader, quint16 identifier,
                    quint16 sequence);

// The operator's line when no echo socket could be opened for lack of permission, in the
// system's own terms; empty when `error` (errno of the unprivileged datagram socket) is
// not EPERM or EACCES. `groupId` is the process's group, `rangeText` the content of
// /proc/sys/net/ipv4/ping_group_range (empty when it could not be read), `programPath`
// the executable to give CAP_NET_RAW to.
QString echoPermissionText(int error, quint32 groupId, const QString& rangeText, const QString& programPath);

// Sends one echo request with the 32 data bytes to the dotted IPv4 address and waits at
// most timeoutMs for the matching echo reply.
EchoResult sendEcho(const QString& dottedAddress, int timeoutMs);

}  // namespace orvane::icmp
