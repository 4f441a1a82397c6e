// The command-line parser of the entry point on arbitrary arguments: the input is split
// at line feeds into arguments (a final line feed ends the last one). Whatever it is
// given, the outcome is one of three, each consistent: a refusal says why and ends the
// program with exit code 2; a batch request has a valid -IP address and names a file;
// the window opens only when neither an address nor a file was given. Nothing runs, no
// window opens: only the parser is called.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "app/RoVivazava.h"
#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace {

static_assert(kExitRefusedCommandLine == 2, "a refused command line ends the program with exit code 2");

const QString kNone = QStringLiteral("0");

QStringList argumentsFrom(const uint8_t* data, size_t size) {
  QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
  if (input.endsWith('\n')) input.chop(1);
  QStringList arguments;
  if (size == 0) return arguments;
  for (const QByteArray& piece : input.split('\n')) arguments.append(QString::fromLocal8Bit(piece));
  return arguments;
}

bool hasOption(const QStringList& arguments, std::initializer_list<const char*> options) {
  for (const QString& a : arguments)
    for (const char* option : options)
      if (a.trimmed() == QLatin1String(option)) return true;
  return false;
}

bool sameOutcome(const CommandLineOutcome& a, const CommandLineOutcome& b) {
  if (a.result != b.result || a.errorOutputs != b.errorOutputs || a.generalOutputs != b.generalOutputs) return false;
  if (a.messages.size() != b.messages.size()) return false;
  for (qsizetype i = 0; i < a.messages.size(); ++i)
    if (a.messages[i].line != b.messages[i].line || a.messages[i].text != b.messages[i].text) return false;
  const GlobalSelection &x = a.selection, &y = b.selection;
  return x.IPAddress == y.IPAddress && x.I2CAddress == y.I2CAddress && x.BinFileName == y.BinFileName &&
         x.Bi2FileName == y.Bi2FileName && x.WebFileName == y.WebFileName && x.BatchMode == y.BatchMode;
}

void checkRefused(const CommandLineOutcome& out) {
  FUZZ_REQUIRE(!out.messages.isEmpty());
  const CommandLineMessage& reason = out.messages.last();
  const bool badIp = reason.text == QStringLiteral("Invalid IP address with -IP !");
  if (badIp) FUZZ_REQUIRE(reason.line == kInvalidIpLogLine);
  FUZZ_REQUIRE(badIp || reason.text == QStringLiteral("Invalid I2C address with -I2CA !") ||
               reason.text.startsWith(QStringLiteral("Not enough parameters for batch mode ! ")));
  FUZZ_REQUIRE(!out.selection.BatchMode);
}

void checkBatch(const QStringList& arguments, const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  FUZZ_REQUIRE(sel.BatchMode);
  FUZZ_REQUIRE(hasOption(arguments, {"-IP"}) && isValidIpText(sel.IPAddress));
  FUZZ_REQUIRE(hasOption(arguments, {"-B", "-B2", "-W"}));
  FUZZ_REQUIRE(sel.BinFileName != kNone || sel.Bi2FileName != kNone || sel.WebFileName != kNone);
  for (const QString* file : {&sel.BinFileName, &sel.Bi2FileName, &sel.WebFileName})
    FUZZ_REQUIRE(!file->isEmpty());
  // An I2C address comes exactly with a .bi2 file, and lies in the bus's range.
  FUZZ_REQUIRE((sel.Bi2FileName != kNone) == (sel.I2CAddress != QStringLiteral("-1")));
  if (sel.Bi2FileName != kNone) {
    const int address = sel.I2CAddress.toInt();
    FUZZ_REQUIRE(address >= orvane::proto::kI2cAddressMin && address <= orvane::proto::kI2cAddressMax);
    FUZZ_REQUIRE(sel.I2CAddress == QString::number(address));
  }
  FUZZ_REQUIRE(out.messages.last().text == QStringLiteral("Batch mode started on IP ") + sel.IPAddress);
}

void checkInteractive(const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  FUZZ_REQUIRE(!sel.BatchMode && sel.IPAddress == kNone);
  FUZZ_REQUIRE(sel.BinFileName == kNone && sel.Bi2FileName == kNone && sel.WebFileName == kNone);
  for (const CommandLineMessage& m : out.messages)
    FUZZ_REQUIRE(m.text.startsWith(QStringLiteral("Bad executable argument\t")));
}

}  // namespace

int orvane::fuzz::fuzzOneCommandLine(const uint8_t* data, size_t size) {
  const QStringList arguments = argumentsFrom(data, size);
  const CommandLineOutcome out = parseCommandLine(arguments, QStringLiteral("/opt/orvane/bin"));
  FUZZ_REQUIRE(sameOutcome(out, parseCommandLine(arguments, QStringLiteral("/opt/orvane/bin"))));
  FUZZ_REQUIRE(out.messages.size() <= arguments.size() + 1);
  for (const CommandLineMessage& m : out.messages) FUZZ_REQUIRE(m.line > 0 && !m.text.isEmpty());
  FUZZ_REQUIRE(out.generalOutputs == 0);
  FUZZ_REQUIRE((out.errorOutputs & ~LogToMessageBox) == LogToFile);

  switch (out.result) {
    case CommandLineResult::Refused: checkRefused(out); break;
    case CommandLineResult::Batch: checkBatch(arguments, out); break;
    case CommandLineResult::Interactive: checkInteractive(out); break;
  }
  return 0;
}
