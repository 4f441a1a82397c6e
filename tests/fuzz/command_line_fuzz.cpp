// The command-line parser of the entry point on arbitrary arguments: the input is split
// at line feeds into arguments (a final line feed ends the last one). Whatever it is
// given, the outcome is consistent: a refusal says why, in the log and in lines for
// standard error, and ends the program with exit code 2; a batch request, a check with a
// device and a verification have a valid -IP address and name a file; a check of files
// alone names files and no address; the history names nothing; the window opens only when
// neither an address nor a file nor an option for scripts was given. Nothing runs, no
// window opens: only the parser is called.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "app/CommandLine.h"
#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace {

static_assert(kExitRefusedCommandLine == 2, "a refused command line ends the program with exit code 2");

const QString kNone = QStringLiteral("0");
const QString kExeDir = QStringLiteral("/opt/orvane/bin");
const QString kCwd = QStringLiteral("/nonexistent/work");
const QString kPrefix = QLatin1String(kProgramPrefix);

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
    if (a.messages[i].line != b.messages[i].line || a.messages[i].text != b.messages[i].text ||
        a.messages[i].terminal != b.messages[i].terminal)
      return false;
  if (a.warnings != b.warnings) return false;
  const ScriptOptions &s = a.script, &t = b.script;
  if (s.json != t.json || s.check != t.check || s.verify != t.verify || s.skipCurrent != t.skipCurrent ||
      s.noDowngrade != t.noDowngrade || s.history != t.history || s.restartTimeoutS != t.restartTimeoutS ||
      s.since != t.since || s.binTried != t.binTried || s.bi2Tried != t.bi2Tried || s.webTried != t.webTried)
    return false;
  const GlobalSelection &x = a.selection, &y = b.selection;
  return x.IPAddress == y.IPAddress && x.I2CAddress == y.I2CAddress && x.BinFileName == y.BinFileName &&
         x.Bi2FileName == y.Bi2FileName && x.WebFileName == y.WebFileName && x.BatchMode == y.BatchMode;
}

// Every line for standard error is one line of the program's, about the command line.
void checkTerminalLines(const CommandLineOutcome& out) {
  for (const QString& line : terminalLines(out)) {
    FUZZ_REQUIRE(line.startsWith(kPrefix) && line.size() > kPrefix.size());
    FUZZ_REQUIRE(!line.contains(u'\n') && !line.contains(u'\r'));
  }
  // One warning for each unknown argument that was no refusal.
  qsizetype ignored = 0;
  for (const CommandLineMessage& m : out.messages)
    if (m.text.startsWith(QStringLiteral("Bad executable argument\t")) && m.terminal.isEmpty()) ++ignored;
  FUZZ_REQUIRE(out.warnings.size() == ignored);
}

void checkRefused(const CommandLineOutcome& out) {
  FUZZ_REQUIRE(!out.messages.isEmpty());
  FUZZ_REQUIRE(!out.selection.BatchMode);
  bool refusalSeen = false;
  for (const CommandLineMessage& m : out.messages) {
    if (m.terminal.isEmpty()) continue;
    refusalSeen = true;
    const bool badIp = m.text == QStringLiteral("Invalid IP address with -IP !");
    if (badIp) FUZZ_REQUIRE(m.line == kInvalidIpLogLine);
    FUZZ_REQUIRE(badIp || m.text == QStringLiteral("Invalid I2C address with -I2CA !") ||
                 m.text.startsWith(QStringLiteral("Not enough parameters for batch mode ! ")) ||
                 m.text.startsWith(QStringLiteral("Bad executable argument\t")) || m.terminal == kPrefix + m.text);
  }
  FUZZ_REQUIRE(refusalSeen);
}

bool isValidI2cAddress(const QString& text) {
  const int address = text.toInt();
  return address >= orvane::proto::kI2cAddressMin && address <= orvane::proto::kI2cAddressMax &&
         text == QString::number(address);
}

// A relative file value was looked for beside the executable first; an absolute one not.
void checkFileLookup(const QString& selected, const QStringList& tried) {
  if (selected == kNone && tried.isEmpty()) return;
  FUZZ_REQUIRE(!selected.isEmpty());
  if (tried.isEmpty()) return;
  FUZZ_REQUIRE(tried.size() <= 2 && tried.first().startsWith(kExeDir + u'/'));
  if (tried.size() == 2) FUZZ_REQUIRE(tried.last().startsWith(kCwd + u'/'));
  FUZZ_REQUIRE(tried.contains(selected));
}

// -IP with files, the I2C address exactly with a .bi2 file: batch, check and verify.
void checkDeviceRun(const QStringList& arguments, const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  FUZZ_REQUIRE(hasOption(arguments, {"-IP"}) && isValidIpText(sel.IPAddress));
  FUZZ_REQUIRE(hasOption(arguments, {"-B", "-B2", "-W"}));
  FUZZ_REQUIRE(sel.BinFileName != kNone || sel.Bi2FileName != kNone || sel.WebFileName != kNone);
  FUZZ_REQUIRE((sel.Bi2FileName != kNone) == (sel.I2CAddress != QStringLiteral("-1")));
  if (sel.Bi2FileName != kNone) FUZZ_REQUIRE(isValidI2cAddress(sel.I2CAddress));
  FUZZ_REQUIRE(!out.script.history && out.script.since.isEmpty());
}

void checkBatch(const QStringList& arguments, const CommandLineOutcome& out) {
  checkDeviceRun(arguments, out);
  FUZZ_REQUIRE(out.selection.BatchMode && !out.script.check && !out.script.verify);
  const int timeout = out.script.restartTimeoutS;
  FUZZ_REQUIRE(timeout >= 1 && timeout <= 3600);
  FUZZ_REQUIRE(out.messages.last().text == QStringLiteral("Batch mode started on IP ") + out.selection.IPAddress);
}

void checkCheckOrVerify(const QStringList& arguments, const CommandLineOutcome& out) {
  checkDeviceRun(arguments, out);
  const ScriptOptions& s = out.script;
  FUZZ_REQUIRE(!out.selection.BatchMode && s.check != s.verify && !s.skipCurrent && !s.noDowngrade);
  FUZZ_REQUIRE(s.restartTimeoutS == 60);
  if (s.verify) FUZZ_REQUIRE(out.selection.WebFileName == kNone);
}

void checkFileCheck(const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  FUZZ_REQUIRE(out.script.check && !out.script.verify && !sel.BatchMode);
  FUZZ_REQUIRE(sel.IPAddress == kNone && sel.I2CAddress == QStringLiteral("-1"));
  FUZZ_REQUIRE(sel.BinFileName != kNone || sel.Bi2FileName != kNone || sel.WebFileName != kNone);
}

void checkHistory(const QStringList& arguments, const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  FUZZ_REQUIRE(out.script.history && !out.script.check && !out.script.verify && !sel.BatchMode);
  FUZZ_REQUIRE(sel.IPAddress == kNone && sel.I2CAddress == QStringLiteral("-1"));
  FUZZ_REQUIRE(sel.BinFileName == kNone && sel.Bi2FileName == kNone && sel.WebFileName == kNone);
  if (!hasOption(arguments, {"--since"})) FUZZ_REQUIRE(out.script.since.isEmpty());
}

// A fleet run names its targets, never -IP, and keeps its bounds and exclusive options.
void checkFleet(const CommandLineOutcome& out) {
  const ScriptOptions& s = out.script;
  FUZZ_REQUIRE(!s.fleet.isEmpty() && out.selection.IPAddress == kNone && !s.verify && !s.history);
  FUZZ_REQUIRE(s.jobs >= 1 && s.jobs <= kFleetJobsMax);
  FUZZ_REQUIRE(!(s.force && s.skipCurrent) && !(s.allowDowngrade && s.noDowngrade));
  FUZZ_REQUIRE((out.selection.I2CAddress != QLatin1String("-1")) == (out.selection.Bi2FileName != kNone));
}

void checkInteractive(const CommandLineOutcome& out) {
  const GlobalSelection& sel = out.selection;
  const ScriptOptions& s = out.script;
  FUZZ_REQUIRE(!sel.BatchMode && sel.IPAddress == kNone);
  FUZZ_REQUIRE(sel.BinFileName == kNone && sel.Bi2FileName == kNone && sel.WebFileName == kNone);
  FUZZ_REQUIRE(!s.json && !s.check && !s.verify && !s.skipCurrent && !s.noDowngrade && !s.history);
  FUZZ_REQUIRE(s.fleet.isEmpty() && !s.force && !s.allowDowngrade && s.jobs == kFleetJobsDefault);
  for (const CommandLineMessage& m : out.messages) {
    FUZZ_REQUIRE(m.text.startsWith(QStringLiteral("Bad executable argument\t")));
    FUZZ_REQUIRE(m.terminal.isEmpty());
  }
}

}  // namespace

int orvane::fuzz::fuzzOneCommandLine(const uint8_t* data, size_t size) {
  const QStringList arguments = argumentsFrom(data, size);
  const CommandLineOutcome out = parseCommandLine(arguments, kExeDir, kCwd);
  FUZZ_REQUIRE(sameOutcome(out, parseCommandLine(arguments, kExeDir, kCwd)));
  FUZZ_REQUIRE(out.messages.size() <= arguments.size() + 1);
  for (const CommandLineMessage& m : out.messages) FUZZ_REQUIRE(m.line > 0 && !m.text.isEmpty());
  FUZZ_REQUIRE(out.generalOutputs == 0);
  FUZZ_REQUIRE((out.errorOutputs & ~LogToMessageBox) == LogToFile);
  checkTerminalLines(out);
  checkFileLookup(out.selection.BinFileName, out.script.binTried);
  checkFileLookup(out.selection.Bi2FileName, out.script.bi2Tried);
  checkFileLookup(out.selection.WebFileName, out.script.webTried);

  switch (out.result) {
    case CommandLineResult::Refused: checkRefused(out); break;
    case CommandLineResult::Batch: checkBatch(arguments, out); break;
    case CommandLineResult::Check:
    case CommandLineResult::Verify: checkCheckOrVerify(arguments, out); break;
    case CommandLineResult::FileCheck: checkFileCheck(out); break;
    case CommandLineResult::History: checkHistory(arguments, out); break;
    case CommandLineResult::Interactive: checkInteractive(out); break;
    case CommandLineResult::Fleet: checkFleet(out); break;
  }
  if (out.result != CommandLineResult::Refused) {
    for (const CommandLineMessage& m : out.messages) FUZZ_REQUIRE(m.terminal.isEmpty());
  }
  return 0;
}
