#include "common/Utilsfunctions.h"

#include "common/Globalfunctions.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

constexpr int kEmptyPart = -1;
constexpr int kNotANumber = -2;

// One part of a dotted address: plain decimal digits only. Signs, blanks and a "0x"
// prefix make it no number. A leading zero ("010") is refused as well: the address
// parsers the program hands the text to afterwards read such a part as octal, so "010"
// would silently become 8.
int partValue(QStringView part) {
  if (part.isEmpty()) return kEmptyPart;
  if (part.size() > 1 && part.front() == u'0') return kNotANumber;
  int value = 0;
  for (QChar c : part) {
    if (c < u'0' || c > u'9') return kNotANumber;
    value = value * 10 + (c.unicode() - u'0');
    if (value > 255) return 256;  // out of range already; stop before it can overflow
  }
  return value;
}

void logArpProblem(int line, const QString& text) {
  writeLogEntry(QStringLiteral("Utilsfunctions"), line, QStringLiteral("resetArpEntry"), UseConfiguredOutputs,
                LogLevelError, text);
}

}  // namespace

std::optional<quint32> parseIpv4Text(const QString& text) {
  // Walk from the left: the text before each of the first three dots is a part, the text
  // after the third dot is the fourth part. Further dots are counted and make it invalid.
  int parts[4] = {kEmptyPart, kEmptyPart, kEmptyPart, kEmptyPart};
  int dots = 0;
  qsizetype start = 0;
  for (qsizetype dot = text.indexOf(u'.'); dot >= 0; dot = text.indexOf(u'.', start)) {
    ++dots;
    if (dots <= 3) {
      parts[dots - 1] = partValue(QStringView(text).mid(start, dot - start));
      if (parts[dots - 1] == kNotANumber) return std::nullopt;
      if (dots == 3) {
        parts[3] = partValue(QStringView(text).mid(dot + 1));
        if (parts[3] == kNotANumber) return std::nullopt;
      }
    }
    start = dot + 1;
  }
  if (dots != 3) return std::nullopt;
  quint32 address = 0;
  for (int value : parts) {
    if (value < 0 || value > 255) return std::nullopt;
    address = address << 8 | quint32(value);
  }
  return address;
}

bool isValidIpText(const QString& text) { return parseIpv4Text(text).has_value(); }

void resetArpEntry(const QString& address) {
  // The address goes to the tool as one argument of its own, never through a shell; a
  // text that is no address is not passed on at all.
  if (!isValidIpText(address)) {
    logArpProblem(__LINE__, QStringLiteral("Reset ARP: \"%1\" is not an IP address; nothing was reset.").arg(address));
    return;
  }
  QString program = QStandardPaths::findExecutable(QStringLiteral("ip"));
  QStringList arguments{QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("to"), address};
  if (program.isEmpty()) {
    program = QStandardPaths::findExecutable(QStringLiteral("arp"));
    arguments = QStringList{QStringLiteral("-d"), address};
  }
  // Started detached and never waited for: the result (for example a refusal for lack of
  // rights) is not examined. A tool that cannot be started at all is noted in the log.
  if (program.isEmpty()) {
    logArpProblem(__LINE__, QStringLiteral("Reset ARP: neither \"ip\" nor \"arp\" was found on the PATH; the ARP entry of %1 was not reset.")
                       .arg(address));
    return;
  }
  QProcess process;
  process.setProgram(program);
  process.setArguments(arguments);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  if (!process.startDetached()) {
    logArpProblem(__LINE__, QStringLiteral("Reset ARP: unable to start %1; the ARP entry of %2 was not reset.").arg(program, address));
  }
}
