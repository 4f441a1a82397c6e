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

// Sends one echo request with the 32 data bytes to the dotted IPv4 address and waits at
// most timeoutMs for the matching echo reply.
EchoResult sendEcho(const QString& dottedAddress, int timeoutMs);

}  // namespace orvane::icmp
