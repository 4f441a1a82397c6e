#include "common/Globalfunctions.h"
#include "common/IcmpEcho.h"
#include "discovery/ScanOrvaneModule.h"

namespace {
void general(int line, const QString& text) {
  writeLogEntry(QStringLiteral("ScanOrvaneModule"), line, QStringLiteral("ORVCScanOrvaneDevice::testPing"),
                UseConfiguredOutputs, LogLevelGeneral, text);
}
void error(int line, const QString& text) {
  writeLogEntry(QStringLiteral("ScanOrvaneModule"), line, QStringLiteral("ORVCScanOrvaneDevice::testPing"),
                UseConfiguredOutputs, LogLevelError, text);
}
}  // namespace

// One echo request; true exactly when the matching echo reply came back in time.
bool ORVCScanOrvaneDevice::testPing(const QString& ipAddress) {
  using orvane::icmp::EchoResult;
  const EchoResult echo = orvane::icmp::sendEcho(ipAddress, settings().pingTimeoutMs);
  switch (echo.outcome) {
    case EchoResult::Reply:
      general(__LINE__, QStringLiteral("Sent icmp message"));
      general(__LINE__, QStringLiteral("\tReceived 1 icmp message responses"));
      general(__LINE__, QStringLiteral("\tInformation from the first response:"));
      general(__LINE__, QStringLiteral("\t Received from ") + echo.replyAddress);
      general(__LINE__, QStringLiteral("\t Status = 0"));
      general(__LINE__, QStringLiteral("\t Roundtrip time %1 milliseconds").arg(echo.roundtripMs));
      return true;
    case EchoResult::NoSocket:
      error(__LINE__, QStringLiteral("\tUnable to open handle.\n"));
      return false;
    case EchoResult::TimedOut:
      general(__LINE__, QStringLiteral("Call to IcmpSendEcho return 0."));
      general(__LINE__, QStringLiteral("Request timeout."));
      return false;
    case EchoResult::SendFailed:
    case EchoResult::BadAddress:
      general(__LINE__, QStringLiteral("Call to IcmpSendEcho return 0."));
      general(__LINE__, QStringLiteral("GetLastError : %1").arg(echo.errorCode));
      return false;
  }
  return false;
}
