// The command line: the parser as a function (every option, refusal and consistency rule),
// then real runs of the upgrader with a temporary HOME and TMPDIR. Every real run here
// ends before a window opens (refused command lines, --help, --version): none of them can
// reach a network.

#include "app/RoVivazava.h"
#include "common/FileNames.h"
#include "common/Globalfunctions.h"
#include "engine/FirmwareFile.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cstdio>
#include <tuple>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using orvane::test::filesMatching;
using orvane::test::GlobalStateGuard;
using orvane::test::ProgramRun;
using orvane::test::readFileBytes;
using orvane::test::TempHome;
using namespace Qt::StringLiterals;

namespace {

const QString kExeDir = QStringLiteral("/opt/orvane/bin");
// Neither directory exists: a relative file value stays in the executable's directory.
const QString kCwd = QStringLiteral("/nonexistent/work");
const QString kNotEnough = QStringLiteral("Not enough parameters for batch mode !");

QStringList args(std::initializer_list<const char*> list) {
  QStringList out;
  for (const char* a : list) out.append(QString::fromUtf8(a));
  return out;
}

QStringList texts(const CommandLineOutcome& o) {
  QStringList out;
  for (const auto& m : o.messages) out.append(m.text);
  return out;
}

TEST(ParseCommandLine, NoArgumentsIsInteractiveWithInitialSelection) {
  const CommandLineOutcome o = parseCommandLine({}, kExeDir, kCwd);
  EXPECT_EQ(o.result, CommandLineResult::Interactive);
  EXPECT_TRUE(o.messages.isEmpty());
  EXPECT_EQ(o.selection.IPAddress, QStringLiteral("0"));
  EXPECT_EQ(o.selection.I2CAddress, QStringLiteral("-1"));
  EXPECT_EQ(o.selection.BinFileName, QStringLiteral("0"));
  EXPECT_EQ(o.selection.Bi2FileName, QStringLiteral("0"));
  EXPECT_EQ(o.selection.WebFileName, QStringLiteral("0"));
  EXPECT_FALSE(o.selection.BatchMode);
  EXPECT_EQ(o.errorOutputs, LogToFile);
  EXPECT_EQ(o.generalOutputs, 0);
}

struct OutcomeCase {
  QStringList arguments;
  CommandLineResult result;
  QStringList messages;
  QStringList terminal;  // the lines for standard error, in order
};

void expectOutcomes(const QList<OutcomeCase>& cases) {
  for (const OutcomeCase& c : cases) {
    const CommandLineOutcome o = parseCommandLine(c.arguments, kExeDir, kCwd);
    const std::string what = c.arguments.join(u' ').toStdString();
    EXPECT_EQ(o.result, c.result) << what;
    EXPECT_EQ(texts(o), c.messages) << what;
    EXPECT_EQ(terminalLines(o), c.terminal) << what;
    EXPECT_EQ(o.selection.BatchMode, c.result == CommandLineResult::Batch) << what;
  }
}

const QString kIpExpected = QStringLiteral("an IPv4 address (four decimal numbers 0 to 255, e.g. 10.77.1.1)");

TEST(ParseCommandLine, Outcomes) {
  using R = CommandLineResult;
  expectOutcomes({
      {args({"-DebugMsg"}), R::Interactive, {}, {}},
      {args({"-NoLogFile"}), R::Interactive, {}, {}},
      {args({"  -DebugMsg\t"}), R::Interactive, {}, {}},  // trimmed before comparison
      // An option typed in another case keeps its entry and refuses the command line.
      {args({"-ip"}), R::Refused, {QStringLiteral("Bad executable argument\t-ip")},
       {u"orvane-upgrader: -ip: unknown option; options are case-sensitive (did you mean -IP?)"_s}},
      {args({" -debugmsg ", "x"}), R::Refused,
       {QStringLiteral("Bad executable argument\t-debugmsg"), QStringLiteral("Bad executable argument\tx")},
       {u"orvane-upgrader: warning: unknown argument \"x\" ignored (see --help)"_s,
        u"orvane-upgrader: -debugmsg: unknown option; options are case-sensitive (did you mean -DebugMsg?)"_s}},
      {args({"x", " y z "}), R::Interactive,
       {QStringLiteral("Bad executable argument\tx"), QStringLiteral("Bad executable argument\ty z")},
       {u"orvane-upgrader: warning: unknown argument \"x\" ignored (see --help)"_s,
        u"orvane-upgrader: warning: unknown argument \"y z\" ignored (see --help)"_s}},
      {args({"-IP", "192.168.16.100"}), R::Refused,
       {kNotEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !")},
       {u"orvane-upgrader: -IP needs at least one file: -B, -W or -B2 with -I2CA"_s}},
      {args({"-B", "fw.bin"}), R::Refused, {kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !")},
       {u"orvane-upgrader: -B needs -IP ADDRESS: the IPv4 address of the network device"_s}},
      {args({"-W", "site.web", "-I2CA", "8"}), R::Refused,
       {kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !")},
       {u"orvane-upgrader: -W needs -IP ADDRESS: the IPv4 address of the network device"_s}},
      {args({"-IP", "192.168.16.100", "-B2", "i2c.bi2"}), R::Refused,
       {kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !")},
       {u"orvane-upgrader: -B2 needs -I2CA ADDRESS: the decimal I2C address of the device, 8 to 119"_s}},
      {args({"-IP", "192.168.16.100", "-B", "fw.bin", "-I2CA", "20"}), R::Refused,
       {kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !")},
       {u"orvane-upgrader: -I2CA needs -B2 FILE: the .bi2 firmware file of the I2C device"_s}},
      {args({"-IP", "192.168.16.100", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 192.168.16.100")}, {}},
      {args({"-IP", " 10.77.1.1 ", "-B2", "i2c.bi2", "-I2CA", "8"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 10.77.1.1")}, {}},
      {args({"-IP", "10.77.1.1", "-W", "a.web", "-B2", "i2c.bi2", "-I2CA", "119", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 10.77.1.1")}, {}},
      // A bad argument does not stop parsing; the refusal comes after it.
      {args({"-IPx", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Bad executable argument\t-IPx"), QStringLiteral("Batch mode started on IP 10.77.1.1")},
       {u"orvane-upgrader: warning: unknown argument \"-IPx\" ignored (see --help)"_s}},
      // A case variant refuses even a complete batch request: no batch starts.
      {args({"-Ip", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Refused, {QStringLiteral("Bad executable argument\t-Ip")},
       {u"orvane-upgrader: -Ip: unknown option; options are case-sensitive (did you mean -IP?)"_s}},
  });
}

TEST(ParseCommandLine, AddressRefusals) {
  using R = CommandLineResult;
  expectOutcomes({
      // -IP checks: the program ends at the first refusal, later arguments are not read.
      {args({"-x", "-IP", "192.168.1", "-y"}), R::Refused,
       {QStringLiteral("Bad executable argument\t-x"), QStringLiteral("Invalid IP address with -IP !")},
       {u"orvane-upgrader: warning: unknown argument \"-x\" ignored (see --help)"_s,
        u"orvane-upgrader: -IP 192.168.1: not "_s + kIpExpected}},
      {args({"-IP"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")},
       {u"orvane-upgrader: -IP needs "_s + kIpExpected}},
      {args({"-IP", "-B", "fw.bin"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")},
       {u"orvane-upgrader: -IP -B: not "_s + kIpExpected}},
      {args({"-IP", "192.168.1.256", "-B", "fw.bin"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")},
       {u"orvane-upgrader: -IP 192.168.1.256: not "_s + kIpExpected}},
      // A case variant does not stop parsing either: a later refusal adds its own line.
      {args({"-ip", "-IP", "10.77.1.256"}), R::Refused,
       {QStringLiteral("Bad executable argument\t-ip"), QStringLiteral("Invalid IP address with -IP !")},
       {u"orvane-upgrader: -ip: unknown option; options are case-sensitive (did you mean -IP?)"_s,
        u"orvane-upgrader: -IP 10.77.1.256: not "_s + kIpExpected}},
  });
}

// Every entry keeps the line number it has always been logged under.
TEST(ParseCommandLine, EntriesKeepTheirLineNumbers) {
  const std::pair<QStringList, int> cases[] = {
      {args({"-IP", "1.2.3.x"}), 107},
      {args({"-I2CA", "7"}), 107},
      {args({"-B", "fw.bin"}), 132},
      {args({"-IP", "10.77.1.1"}), 133},
      {args({"-IP", "10.77.1.1", "-B2", "i.bi2"}), 134},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin"}), 138},
      {args({"bogus"}), 120},
      {args({"-nologfile"}), 120},
      {args({"--json"}), 141},
  };
  for (const auto& [arguments, line] : cases) {
    const CommandLineOutcome o = parseCommandLine(arguments, kExeDir, kCwd);
    ASSERT_FALSE(o.messages.isEmpty()) << arguments.join(u' ').toStdString();
    EXPECT_EQ(o.messages.last().line, line) << arguments.join(u' ').toStdString();
  }
}

TEST(ParseCommandLine, InvalidIpRefusalIsLoggedUnderLine107) {
  const CommandLineOutcome o = parseCommandLine(args({"-IP", "1.2.3.x"}), kExeDir, kCwd);
  ASSERT_EQ(o.messages.size(), 1);
  EXPECT_EQ(o.messages[0].line, 107);
}

TEST(ParseCommandLine, I2cAddressRange) {
  const std::pair<const char*, bool> cases[] = {
      {"8", true},   {"119", true}, {"64", true},  {" 20 ", true}, {"7", false},   {"120", false}, {"0", false},
      {"-8", false}, {"+8", false}, {"0x10", false}, {"1 0", false}, {"abc", false}, {"", false},   {"08", true},
      {"99999999999", false},
  };
  for (const auto& [value, ok] : cases) {
    const CommandLineOutcome o = parseCommandLine(
        QStringList{QStringLiteral("-IP"), QStringLiteral("10.77.1.1"), QStringLiteral("-B2"), QStringLiteral("i.bi2"),
                    QStringLiteral("-I2CA"), QString::fromUtf8(value)},
        kExeDir, kCwd);
    EXPECT_EQ(o.result, ok ? CommandLineResult::Batch : CommandLineResult::Refused) << '"' << value << '"';
    if (ok) {
      EXPECT_EQ(o.selection.I2CAddress, QString::number(QString::fromUtf8(value).trimmed().toInt()));
    } else {
      EXPECT_EQ(texts(o), QStringList{QStringLiteral("Invalid I2C address with -I2CA !")}) << '"' << value << '"';
    }
  }
  // "-I2CA" as the last argument takes an empty value: refused.
  EXPECT_EQ(parseCommandLine(args({"-I2CA"}), kExeDir, kCwd).result, CommandLineResult::Refused);
}

TEST(ParseCommandLine, FileValuesAndSelection) {
  const CommandLineOutcome o = parseCommandLine(
      args({"-IP", "192.168.16.100", "-B", " fw.bin ", "-W", "/data/site.web", "-B2", "sub/i2c.bi2", "-I2CA", "42"}),
      kExeDir, kCwd);
  ASSERT_EQ(o.result, CommandLineResult::Batch);
  EXPECT_EQ(o.selection.IPAddress, QStringLiteral("192.168.16.100"));
  EXPECT_EQ(o.selection.BinFileName, QStringLiteral("/opt/orvane/bin/fw.bin"));
  EXPECT_EQ(o.selection.WebFileName, QStringLiteral("/data/site.web"));  // absolute: used as it is
  EXPECT_EQ(o.selection.Bi2FileName, QStringLiteral("/opt/orvane/bin/sub/i2c.bi2"));
  EXPECT_EQ(o.selection.I2CAddress, QStringLiteral("42"));

  // "-B" as the last argument names the executable's directory itself.
  const CommandLineOutcome last = parseCommandLine(args({"-IP", "192.168.16.100", "-B"}), kExeDir, kCwd);
  EXPECT_EQ(last.result, CommandLineResult::Batch);
  EXPECT_EQ(last.selection.BinFileName, QStringLiteral("/opt/orvane/bin/"));
}

// File names are bytes: one that is not valid UTF-8 (here with the byte 0xE9, "é" in
// Latin-1, in the file's and in the executable directory's name) goes from the argument
// bytes through the parser to the loader unchanged, absolute or taken from the
// executable's directory.
TEST(CommandLineFileNames, NamesThatAreNotUtf8StayByteExact) {
  QTemporaryDir temporary;
  ASSERT_TRUE(temporary.isValid());
  const QByteArray exeDir = QFile::encodeName(temporary.path()) + "/bin\xE9";
  ASSERT_EQ(::mkdir(exeDir.constData(), 0700), 0);
  const QByteArray file = exeDir + "/caf\xE9.bin";
  QByteArray content(16, '\0');
  content += QByteArray("Orvane") + QByteArray::fromHex("000100010002000F00010005") + QByteArray(66, '\x5A');
  const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
  ::close(fd);

  for (const QByteArray& value : {file, QByteArray("caf\xE9.bin")}) {
    SCOPED_TRACE(value.toStdString());
    QByteArray argument = value;
    char program[] = "orvane-upgrader", ip[] = "-IP", address[] = "10.77.1.1", option[] = "-B";
    char* argv[] = {program, ip, address, option, argument.data(), nullptr};
    const CommandLineOutcome o = parseCommandLine(argumentsFromArgv(5, argv), orvane::decodeFileName(exeDir), kCwd);
    ASSERT_EQ(o.result, CommandLineResult::Batch);
    EXPECT_EQ(orvane::encodeFileName(o.selection.BinFileName), file);
    const orvane::FirmwareLoad loaded = orvane::loadFirmwareFile(o.selection.BinFileName, orvane::FirmwareKind::Bin);
    ASSERT_TRUE(loaded.has_value()) << loaded.refusal().text.toStdString();
    EXPECT_EQ(loaded->content, content);
    EXPECT_EQ(orvane::encodeFileName(loaded->nameText), QByteArray("caf\xE9.bin"));
  }
}

TEST(ParseCommandLine, LogOutputsFromOptions) {
  const CommandLineOutcome o = parseCommandLine(args({"-DebugMsg", "-NoLogFile"}), kExeDir, kCwd);
  EXPECT_EQ(o.errorOutputs, LogToFile | LogToMessageBox);
  EXPECT_EQ(o.generalOutputs, 0);
}

// ---- Options for scripts ---------------------------------------------------------------

TEST(ScriptOptionsParsing, ModesAndTheirOptions) {
  struct Case {
    QStringList arguments;
    CommandLineResult result;
    ScriptOptions expected;  // the fields compared below
    QStringList messages;
  };
  using R = CommandLineResult;
  auto with = [](auto set) {
    ScriptOptions o;
    set(o);
    return o;
  };
  const QString started = QStringLiteral("Batch mode started on IP 10.77.1.1");
  const QList<Case> cases = {
      {args({"-IP", "10.77.1.1", "-B", "fw.bin"}), R::Batch, {}, {started}},
      {args({"--json", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Batch, with([](auto& o) { o.json = true; }), {started}},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--skip-current", "--no-downgrade", "--restart-timeout", "120"}),
       R::Batch, with([](auto& o) { o.skipCurrent = o.noDowngrade = true;
         o.restartTimeoutS = 120; }), {started}},
      {args({"-IP", "10.77.1.1", "-W", "a.web", "--restart-timeout", " 1 "}), R::Batch,
       with([](auto& o) { o.restartTimeoutS = 1; }), {started}},
      {args({"-IP", "10.77.1.1", "-W", "a.web", "--restart-timeout", "3600"}), R::Batch,
       with([](auto& o) { o.restartTimeoutS = 3600; }), {started}},
      {args({"-IP", "10.77.1.1", "-W", "a.web", "--restart-timeout", "0090"}), R::Batch,
       with([](auto& o) { o.restartTimeoutS = 90; }), {started}},
      // A check or a verification is no batch upgrade: no batch entry, BatchMode stays off.
      {args({"--check", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Check, with([](auto& o) { o.check = true; }), {}},
      {args({"-IP", "10.77.1.1", "-B2", "i.bi2", "-I2CA", "8", "--check", "--json"}), R::Check,
       with([](auto& o) { o.check = o.json = true; }), {}},
      {args({"--check", "-B", "fw.bin", "-W", "a.web"}), R::FileCheck, with([](auto& o) { o.check = true; }), {}},
      {args({"--check", "-B2", "i.bi2"}), R::FileCheck, with([](auto& o) { o.check = true; }), {}},
      {args({"--verify", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Verify, with([](auto& o) { o.verify = true; }), {}},
      {args({"--verify", "--json", "-IP", "10.77.1.1", "-B", "fw.bin", "-B2", "i.bi2", "-I2CA", "119"}), R::Verify,
       with([](auto& o) { o.verify = o.json = true; }), {}},
      {args({"--history"}), R::History, with([](auto& o) { o.history = true; }), {}},
      {args({"--since", "2026-12-01", "--history", "--json"}), R::History,
       with([](auto& o) { o.history = o.json = true;
         o.since = QStringLiteral("2026-12-01"); }), {}},
      // The date is kept as it was given (trimmed); the history reads it.
      {args({"--history", "--since", " last week "}), R::History,
       with([](auto& o) { o.history = true;
         o.since = QStringLiteral("last week"); }), {}},
      {args({"-DebugMsg", "--history", "-NoLogFile"}), R::History, with([](auto& o) { o.history = true; }), {}},
  };
  for (const Case& c : cases) {
    const CommandLineOutcome o = parseCommandLine(c.arguments, kExeDir, kCwd);
    const std::string what = c.arguments.join(u' ').toStdString();
    EXPECT_EQ(o.result, c.result) << what;
    EXPECT_EQ(texts(o), c.messages) << what;
    EXPECT_TRUE(terminalLines(o).isEmpty()) << what;
    EXPECT_EQ(o.selection.BatchMode, c.result == R::Batch) << what;
    const ScriptOptions& got = o.script;
    const ScriptOptions& want = c.expected;
    EXPECT_EQ(std::tie(got.json, got.check, got.verify, got.skipCurrent, got.noDowngrade, got.history),
              std::tie(want.json, want.check, want.verify, want.skipCurrent, want.noDowngrade, want.history))
        << what;
    EXPECT_EQ(got.restartTimeoutS, want.restartTimeoutS) << what;
    EXPECT_EQ(got.since, want.since) << what;
  }
}

TEST(ScriptOptionsParsing, TheDefaultsOfAPlainBatchRequest) {
  const CommandLineOutcome o = parseCommandLine(args({"-IP", "10.77.1.1", "-B", "fw.bin"}), kExeDir, kCwd);
  const ScriptOptions& s = o.script;
  EXPECT_FALSE(s.json || s.check || s.verify || s.skipCurrent || s.noDowngrade || s.history);
  EXPECT_EQ(s.restartTimeoutS, 60);
  EXPECT_TRUE(s.since.isEmpty());
}

// Each refusal: one entry (its line and text) and one line for standard error that names
// the option and says what is expected.
struct RefusalCase {
  QStringList arguments;
  int line;
  QString entry;  // empty: the same text as the line for standard error
  QString terminal;
};

void expectRefusals(const QList<RefusalCase>& cases) {
  for (const RefusalCase& c : cases) {
    const CommandLineOutcome o = parseCommandLine(c.arguments, kExeDir, kCwd);
    const std::string what = c.arguments.join(u' ').toStdString();
    EXPECT_EQ(o.result, CommandLineResult::Refused) << what;
    EXPECT_FALSE(o.selection.BatchMode) << what;
    ASSERT_EQ(o.messages.size(), 1) << what;
    EXPECT_EQ(o.messages[0].line, c.line) << what;
    EXPECT_EQ(o.messages[0].text, c.entry.isEmpty() ? c.terminal : c.entry) << what;
    EXPECT_EQ(terminalLines(o), QStringList{QStringLiteral("orvane-upgrader: ") + c.terminal}) << what;
  }
}

const QString kTimeoutExpected = QStringLiteral("a whole number of seconds from 1 to 3600");

TEST(ScriptOptionsParsing, RefusedValues) {
  expectRefusals({
      {args({"-IP", "10.77.1.256"}), 107, QStringLiteral("Invalid IP address with -IP !"),
       QStringLiteral("-IP 10.77.1.256: not an IPv4 address (four decimal numbers 0 to 255, e.g. 10.77.1.1)")},
      {args({"-I2CA", "0x50"}), 107, QStringLiteral("Invalid I2C address with -I2CA !"),
       QStringLiteral("-I2CA 0x50: expected a decimal I2C address from 8 to 119")},
      {args({"-IP", "10.77.1.1", "-B2", "i.bi2", "-I2CA"}), 107, QStringLiteral("Invalid I2C address with -I2CA !"),
       QStringLiteral("-I2CA needs a decimal I2C address from 8 to 119")},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "0"}), 141, {},
       QStringLiteral("--restart-timeout 0: expected ") + kTimeoutExpected},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "3601"}), 141, {},
       QStringLiteral("--restart-timeout 3601: expected ") + kTimeoutExpected},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "-5"}), 141, {},
       QStringLiteral("--restart-timeout -5: expected ") + kTimeoutExpected},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "1m"}), 141, {},
       QStringLiteral("--restart-timeout 1m: expected ") + kTimeoutExpected},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout"}), 141, {},
       QStringLiteral("--restart-timeout needs ") + kTimeoutExpected},
      {args({"--history", "--since"}), 141, {}, QStringLiteral("--since needs a date, e.g. 2026-12-01")},
      // Control characters of a value do not break the line apart.
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "1\r2"}), 141, {},
       QStringLiteral("--restart-timeout 1?2: expected ") + kTimeoutExpected},
  });
}

TEST(ScriptOptionsParsing, RefusedCombinations) {
  const QString batchOnly = QStringLiteral(" needs a batch upgrade: -IP ADDRESS with -B, -W or -B2");
  const QString notEnoughFile = kNotEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !");
  const QString historyAlone = QStringLiteral("--history takes no device, file or other run option: only --since and --json");
  const QString verifyWeb =
      QStringLiteral("--verify with -W: a .web file has no version; verify -B and/or -B2 with -I2CA");
  expectRefusals({
      {args({"--check", "--verify", "-IP", "10.77.1.1", "-B", "fw.bin"}), 141, {},
       QStringLiteral("--check and --verify cannot be used together: use one of them")},
      {args({"--history", "-IP", "10.77.1.1"}), 141, {}, historyAlone},
      {args({"--history", "-B", "fw.bin"}), 141, {}, historyAlone},
      {args({"--history", "-I2CA", "8"}), 141, {}, historyAlone},
      {args({"--history", "--check"}), 141, {}, historyAlone},
      {args({"--verify", "--history"}), 141, {}, historyAlone},
      {args({"--history", "--restart-timeout", "30"}), 141, {}, historyAlone},
      {args({"--since", "2026-01-01"}), 141, {}, QStringLiteral("--since needs --history")},
      {args({"--targets", "t.txt"}), 141, {},
       QStringLiteral("--targets FILE goes with --scan: orvane-upgrader --scan --targets FILE")},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--targets", "t.txt"}), 141, {},
       QStringLiteral("--targets FILE goes with --scan: orvane-upgrader --scan --targets FILE")},
      {args({"--check", "-IP", "10.77.1.1", "-B", "fw.bin", "--skip-current"}), 141, {},
       QStringLiteral("--skip-current applies to a batch upgrade only, not to --check")},
      {args({"--verify", "-IP", "10.77.1.1", "-B", "fw.bin", "--no-downgrade"}), 141, {},
       QStringLiteral("--no-downgrade applies to a batch upgrade only, not to --verify")},
      {args({"--check", "-B", "fw.bin", "--restart-timeout", "30"}), 141, {},
       QStringLiteral("--restart-timeout applies to a batch upgrade only, not to --check")},
      {args({"--skip-current"}), 141, {}, QStringLiteral("--skip-current") + batchOnly},
      {args({"-DebugMsg", "--no-downgrade"}), 141, {}, QStringLiteral("--no-downgrade") + batchOnly},
      {args({"--restart-timeout", "30"}), 141, {}, QStringLiteral("--restart-timeout") + batchOnly},
      {args({"--json"}), 141, {},
       QStringLiteral("--json needs a run for scripts: -IP ADDRESS with -B, -W or -B2, --check, --verify or --history")},
      {args({"--verify", "-IP", "10.77.1.1", "-W", "a.web"}), 141, {}, verifyWeb},
      {args({"--verify", "-IP", "10.77.1.1", "-B", "fw.bin", "-W", "a.web"}), 141, {}, verifyWeb},
      {args({"--verify", "-B", "fw.bin"}), 141, {},
       QStringLiteral("--verify needs -IP ADDRESS: the network device to compare with")},
      {args({"--verify"}), 141, {}, QStringLiteral("--verify needs -IP ADDRESS: the network device to compare with")},
      {args({"--verify", "-IP", "10.77.1.1"}), 141, {},
       QStringLiteral("--verify needs -B FILE and/or -B2 FILE with -I2CA")},
      {args({"--verify", "-IP", "10.77.1.1", "-B2", "i.bi2"}), 134,
       kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !"),
       QStringLiteral("-B2 needs -I2CA ADDRESS: the decimal I2C address of the device, 8 to 119")},
      {args({"--check"}), 141, {},
       QStringLiteral("--check needs at least one file: -B, -W or -B2 (with -IP ADDRESS to compare them with a device)")},
      {args({"--check", "-B2", "i.bi2", "-I2CA", "8"}), 141, {},
       QStringLiteral("-I2CA needs -IP ADDRESS; --check without -IP only reads the files")},
      {args({"--check", "-IP", "10.77.1.1"}), 133, notEnoughFile,
       QStringLiteral("-IP needs at least one file: -B, -W or -B2 with -I2CA")},
  });
}

// An argument that is a known option in another case is a typing error: the command line
// is refused, whatever else it holds, and the line names the option meant.
TEST(ScriptOptionsParsing, OptionsInAnotherCaseAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"-ip", "-IP"},          {"-i2ca", "-I2CA"},          {"-b", "-B"},
      {"-b2", "-B2"},          {"-w", "-W"},                {"-debugmsg", "-DebugMsg"},
      {"-NOLOGFILE", "-NoLogFile"}, {"--JSON", "--json"},   {"--Check", "--check"},
      {"--VERIFY", "--verify"}, {"--Skip-Current", "--skip-current"}, {"--NO-downgrade", "--no-downgrade"},
      {"--Restart-Timeout", "--restart-timeout"}, {"--HISTORY", "--history"}, {"--Since", "--since"},
      {"--HELP", "--help"},    {"-H", "-h"},                {"--Version", "--version"},
      {"--SCAN", "--scan"},    {"--Scan-I2C", "--scan-i2c"},
  };
  for (const auto& [typed, meant] : cases) {
    const CommandLineOutcome o =
        parseCommandLine(args({"-IP", "10.77.1.1", "-B", "fw.bin", typed}), kExeDir, kCwd);
    EXPECT_EQ(o.result, CommandLineResult::Refused) << typed;
    EXPECT_FALSE(o.selection.BatchMode) << typed;
    // The entry stays what it was: an unrecognised argument.
    EXPECT_EQ(texts(o), QStringList{QStringLiteral("Bad executable argument\t") + QLatin1String(typed)}) << typed;
    EXPECT_EQ(terminalLines(o), QStringList{QStringLiteral("orvane-upgrader: %1: unknown option; options are "
                                                           "case-sensitive (did you mean %2?)")
                                                .arg(QLatin1String(typed), QLatin1String(meant))})
        << typed;
  }
}

// A relative file value is looked for beside the executable, then in the current
// directory; the paths looked at are kept for the refusal of a missing file.
TEST(ScriptOptionsParsing, RelativeFilesBesideTheExecutableThenInTheCurrentDirectory) {
  QTemporaryDir temporary;
  ASSERT_TRUE(temporary.isValid());
  const QString exe = temporary.path() + QStringLiteral("/exe"), cwd = temporary.path() + QStringLiteral("/cwd");
  for (const QString& dir : {exe, cwd}) ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral("/sub")));
  for (const char* name : {"exe/only_exe.f", "cwd/only_cwd.f", "exe/sub/both.f", "cwd/sub/both.f", "cwd/dir_in_exe.f"}) {
    QFile f(temporary.path() + u'/' + QLatin1String(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QDir().mkpath(exe + QStringLiteral("/dir_in_exe.f")));  // a directory is no file

  struct Case {
    QString value, selected;
    QStringList tried;
  };
  const QList<Case> cases = {
      {QStringLiteral("only_exe.f"), exe + QStringLiteral("/only_exe.f"), {exe + QStringLiteral("/only_exe.f")}},
      {QStringLiteral("only_cwd.f"), cwd + QStringLiteral("/only_cwd.f"),
       {exe + QStringLiteral("/only_cwd.f"), cwd + QStringLiteral("/only_cwd.f")}},
      {QStringLiteral("sub/both.f"), exe + QStringLiteral("/sub/both.f"), {exe + QStringLiteral("/sub/both.f")}},
      {QStringLiteral("missing.f"), exe + QStringLiteral("/missing.f"),
       {exe + QStringLiteral("/missing.f"), cwd + QStringLiteral("/missing.f")}},
      {QStringLiteral("dir_in_exe.f"), cwd + QStringLiteral("/dir_in_exe.f"),
       {exe + QStringLiteral("/dir_in_exe.f"), cwd + QStringLiteral("/dir_in_exe.f")}},
      {cwd + QStringLiteral("/only_cwd.f"), cwd + QStringLiteral("/only_cwd.f"), {}},  // absolute: as it is
      {QStringLiteral("/nonexistent/x.f"), QStringLiteral("/nonexistent/x.f"), {}},
  };
  struct Option {
    const char* name;
    QString GlobalSelection::*selected;
    QStringList ScriptOptions::*tried;
  };
  const Option options[] = {{"-B", &GlobalSelection::BinFileName, &ScriptOptions::binTried},
                            {"-W", &GlobalSelection::WebFileName, &ScriptOptions::webTried},
                            {"-B2", &GlobalSelection::Bi2FileName, &ScriptOptions::bi2Tried}};
  for (const Option& option : options) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(option.name) + " " + c.value.toStdString());
      const CommandLineOutcome o =
          parseCommandLine({QStringLiteral("--check"), QLatin1String(option.name), c.value}, exe, cwd);
      EXPECT_EQ(o.result, CommandLineResult::FileCheck);
      EXPECT_EQ(o.selection.*option.selected, c.selected);
      EXPECT_EQ(o.script.*option.tried, c.tried);
      for (const Option& other : options) {
        if (other.name != option.name) {
          EXPECT_TRUE((o.script.*other.tried).isEmpty()) << other.name;
        }
      }
    }
  }
}

TEST(ScriptOptionsParsing, UsageDocumentsEveryOptionAndExitCode) {
  const QString usage = usageText();
  for (const char* option : {"-IP ADDRESS", "-B FILE", "-W FILE", "-B2 FILE", "-I2CA ADDRESS", "-DebugMsg",
                             "-NoLogFile", "--json", "--check", "--verify", "--skip-current", "--no-downgrade",
                             "--restart-timeout SECONDS", "--history", "--since DATE", "--scan",
                             "--scan-i2c ADDRESS", "--help, -h, -?", "--version"}) {
    EXPECT_TRUE(usage.contains(QLatin1String(option))) << option;
  }
  for (int code : {kExitDone, kExitFailed, kExitRefused, kExitUnreachable, kExitIncompatible, kExitFileRefused,
                   kExitUnconfirmed}) {
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\\n  %1  \\S").arg(code)).match(usage).hasMatch()) << code;
  }
}

// The window needs a display: none set, or a local X display without its socket.
TEST(StartUp, MissingDisplayLine) {
  QTemporaryDir sockets;
  ASSERT_TRUE(sockets.isValid());
  QFile socket(sockets.path() + QStringLiteral("/X57"));
  ASSERT_TRUE(socket.open(QIODevice::WriteOnly));
  const QString advice = QStringLiteral("; for a batch run use -IP ADDRESS with -B/-W/-B2, see --help");
  const QString notSet =
      QStringLiteral("orvane-upgrader: no display to open the window on (DISPLAY is not set)") + advice;
  struct Case {
    QList<std::pair<const char*, const char*>> set;
    QString line;
  };
  const QList<Case> cases = {
      {{}, notSet},
      {{{"DISPLAY", ""}}, notSet},
      {{{"QT_QPA_PLATFORM", "xcb"}}, QString()},
      {{{"QT_QPA_PLATFORM", ""}}, QString()},  // chosen, even empty: Qt's own choice
      {{{"WAYLAND_DISPLAY", "wayland-0"}}, QString()},
      {{{"DISPLAY", ":57"}}, QString()},
      {{{"DISPLAY", ":57.0"}}, QString()},
      {{{"DISPLAY", ":58"}},
       QStringLiteral("orvane-upgrader: no display to open the window on (DISPLAY is :58 but %1/X58 does not exist)")
               .arg(sockets.path()) +
           advice},
      {{{"DISPLAY", ":58"}, {"WAYLAND_DISPLAY", "wayland-0"}}, QString()},
      {{{"DISPLAY", "otherhost:0"}}, QString()},  // remote: not looked at
  };
  for (const Case& c : cases) {
    GlobalStateGuard globals;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) globals.unsetEnv(name);
    std::string what;
    for (const auto& [name, value] : c.set) {
      globals.setEnv(name, value);
      what += std::string(name) + "=" + value + " ";
    }
    EXPECT_EQ(missingDisplayLine(sockets.path()), c.line) << what;
  }
}

// Qt's own warnings go to the error log, not to standard error.
TEST(StartUp, QtMessagesGoToTheLogNotToStandardError) {
  QTemporaryDir logs;
  ASSERT_TRUE(logs.isValid());
  GlobalStateGuard globals;
  const QString name = QStringLiteral("Orvane - Firmware upgrader");
  configureErrorLog(LogToFile, logs.path(), name);
  configureGeneralLog(0, 255, false, true, name);

  QTemporaryFile captured;
  ASSERT_TRUE(captured.open());
  std::fflush(stderr);
  const int savedStderr = ::dup(2);
  ASSERT_GE(savedStderr, 0);
  ::dup2(captured.handle(), 2);
  const QtMessageHandler previous = routeQtMessagesToLog();
  qWarning("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'");
  qInstallMessageHandler(previous);
  std::fflush(stderr);
  ::dup2(savedStderr, 2);
  ::close(savedStderr);

  EXPECT_TRUE(captured.readAll().isEmpty());
  const QString log = orvane::test::readLogFileText(errorLogFilePath());
  EXPECT_TRUE(log.contains(
      QStringLiteral("Qt warning: QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'\r\n")))
      << log.toStdString();
}

TEST(StartUp, LogDirectoryUnderHomeOrBesideTheExecutable) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  GlobalStateGuard globals;
  globals.setEnv("HOME", home.path().toLocal8Bit());
  const QString dir = prepareLogDirectory(QStringLiteral("/nonexistent/exe"));
  EXPECT_EQ(dir, home.path() + QStringLiteral("/Orvane_Data"));
  EXPECT_TRUE(QFileInfo(dir).isDir());
  globals.setEnv("HOME", "");
  EXPECT_EQ(prepareLogDirectory(QStringLiteral("/nonexistent/exe")), QStringLiteral("/nonexistent/exe"));
  EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/nonexistent/exe")));
}

TEST(StartUp, ExecutableDirectoryIsWhereTheRunningBinaryLies) {
  // The test binaries are built beside the upgrader.
  EXPECT_EQ(executableDirectory(nullptr), QFileInfo(orvane::test::builtProgram()).absolutePath());
}

TEST(StartUp, BatchRunsOffscreenOnlyWithoutAnyDisplayOrChosenPlatform) {
  struct Case {
    const char* name;  // the one variable set, or nullptr
    const char* value;
    bool offscreen;
  };
  const Case cases[] = {
      {nullptr, nullptr, true},
      {"DISPLAY", ":99", false},
      {"WAYLAND_DISPLAY", "wayland-0", false},
      {"QT_QPA_PLATFORM", "xcb", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "none");
    GlobalStateGuard globals;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) globals.unsetEnv(name);
    if (c.name) globals.setEnv(c.name, c.value);
    EXPECT_EQ(batchNeedsOffscreenPlatform(), c.offscreen);
  }
}

// ---- Real runs of the upgrader -------------------------------------------------------

const QString kEntryTime = QStringLiteral(R"(\d{1,2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2}:\d{3})");
const QByteArray kFileHeader = QByteArrayLiteral(
    "\xEF\xBB\xBF"
    "Error Log File\t\tOrvane - Firmware upgrader\t\tOrvane firmware upgrader log\r\n\r\n"
    "Date Hour File Function Line Error description\r\n\r\n");
// The runs use the C locale, so the entry header's date reads like "9 Dec 2024".
const QStringList kCLocale = {QStringLiteral("LANG=C.UTF-8"), QStringLiteral("LC_ALL=C.UTF-8")};

class UpgraderRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    ASSERT_TRUE(QFileInfo(orvane::test::builtProgram()).isExecutable()) << "build orvane-upgrader first";
  }
  ProgramRun run(const QStringList& arguments, int timeoutMs = 30000) {
    return home_.run(arguments, kCLocale, timeoutMs);
  }
  // The entries of the error log after the file header; each as {header line, text}.
  QList<std::pair<QString, QString>> entries() {
    QList<std::pair<QString, QString>> out;
    const QByteArray bytes = home_.errorLogBytes();
    EXPECT_TRUE(bytes.startsWith(kFileHeader));
    QString rest = QString::fromUtf8(bytes.mid(kFileHeader.size()));
    EXPECT_TRUE(rest.endsWith(QStringLiteral("\r\n\r\n")));
    for (const QString& block : rest.split(QStringLiteral("\r\n\r\n"), Qt::SkipEmptyParts)) {
      const qsizetype nl = block.indexOf(QStringLiteral("\r\n"));
      EXPECT_GT(nl, 0) << block.toStdString();
      out.append({block.left(nl), block.mid(nl + 2)});
    }
    return out;
  }
  static void expectHeader(const QString& header, int line) {
    const QString pattern = QStringLiteral("\\A") + kEntryTime + QStringLiteral(" RoVivazava ") +
                            (line > 0 ? QString::number(line) : QStringLiteral("\\d+")) + QStringLiteral(" wWinMain\\z");
    EXPECT_TRUE(QRegularExpression(pattern).match(header).hasMatch()) << header.toStdString();
  }

  TempHome home_;
};

TEST_F(UpgraderRun, HelpAndVersionPrintAndEndWithoutLogOrWindow) {
  const ProgramRun help = run({QStringLiteral("--help")});
  ASSERT_TRUE(help.finished);
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"-IP", "-I2CA", "-B ", "-B2", "-W", "-DebugMsg", "-NoLogFile", "--scan", "--scan-i2c ADDRESS",
                             "--json", "--version"}) {
    EXPECT_TRUE(help.standardOutput.contains(option)) << option;
  }
  const ProgramRun version = run({QStringLiteral("--version")});
  ASSERT_TRUE(version.finished);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.standardOutput, QByteArray("Version 2.15 (26.09.18)\n"));
  EXPECT_FALSE(QFileInfo::exists(home_.errorLogPath()));
}

TEST_F(UpgraderRun, RefusalsEndWithExitCode2AndTheirEntries) {
  struct Case {
    QStringList arguments;
    int line;  // 0: any
    QStringList texts;
  };
  const QList<Case> cases = {
      {args({"-IP", "192.168.16.100"}), 0,
       {kNotEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !")}},
      {args({"-IP", "192.168.16.100", "-B2", "i2c.bi2"}), 0, {kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !")}},
      {args({"-B", "fw.bin"}), 0, {kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !")}},
      {args({"-IP", "192.168.1.x"}), 107, {QStringLiteral("Invalid IP address with -IP !")}},
      {args({"-I2CA", "7"}), 0, {QStringLiteral("Invalid I2C address with -I2CA !")}},
      {args({"-I2CA", "120"}), 0, {QStringLiteral("Invalid I2C address with -I2CA !")}},
      {args({"-I2CA", "ten"}), 0, {QStringLiteral("Invalid I2C address with -I2CA !")}},
      {args({"-ip", "-IP"}), 107, {QStringLiteral("Bad executable argument\t-ip"), QStringLiteral("Invalid IP address with -IP !")}},
  };
  for (const Case& c : cases) {
    QFile::remove(home_.errorLogPath());
    const ProgramRun r = run(c.arguments);
    const std::string what = c.arguments.join(u' ').toStdString();
    ASSERT_TRUE(r.finished) << what;
    EXPECT_EQ(r.exitCode, 2) << what;
    const auto found = entries();
    ASSERT_EQ(found.size(), c.texts.size()) << what;
    for (qsizetype i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].second, c.texts[i]) << what;
      expectHeader(found[i].first, i + 1 == found.size() ? c.line : 0);
    }
  }
}

// The contract for scripts: exit code, exactly the expected lines on standard error (no
// line of Qt's), and the entry. No run here gets past its refusal: none can open a window
// or reach a network.
TEST_F(UpgraderRun, RefusalsPrintOneLineOnStandardError) {
  const QString noDisplay = QStringLiteral("no display to open the window on (DISPLAY is not set); for a batch run use "
                                           "-IP ADDRESS with -B/-W/-B2, see --help");
  const QStringList withoutDisplay = {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("DISPLAY"),
                                      QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("XDG_RUNTIME_DIR")};
  struct Case {
    QStringList arguments;
    QStringList environment;  // changes to the run's environment
    QStringList stderrLines;  // without the "orvane-upgrader: " each starts with
    QString lastEntry;        // the text of the last entry in the error log
  };
  const QList<Case> cases = {
      {args({"-IP", "10.77.1.256", "-B", "fw.bin"}), {},
       {u"-IP 10.77.1.256: not an IPv4 address (four decimal numbers 0 to 255, e.g. 10.77.1.1)"_s},
       u"Invalid IP address with -IP !"_s},
      {args({"-I2CA", "0x50"}), {}, {u"-I2CA 0x50: expected a decimal I2C address from 8 to 119"_s},
       u"Invalid I2C address with -I2CA !"_s},
      {args({"-IP", "10.77.1.1"}), {}, {u"-IP needs at least one file: -B, -W or -B2 with -I2CA"_s},
       kNotEnough + u" -IP must be used with -B and/or -B2 and/or -W !"_s},
      {args({"-ip", "10.77.1.1", "-B", "fw.bin"}), {QStringLiteral("XDG_RUNTIME_DIR")},
       {u"warning: unknown argument \"10.77.1.1\" ignored (see --help)"_s,
        u"-ip: unknown option; options are case-sensitive (did you mean -IP?)"_s},
       u"Bad executable argument\t10.77.1.1"_s},
      {args({"--JSON"}), {}, {u"--JSON: unknown option; options are case-sensitive (did you mean --json?)"_s},
       u"Bad executable argument\t--JSON"_s},
      {args({"--skip-current"}), withoutDisplay,
       {u"--skip-current needs a batch upgrade: -IP ADDRESS with -B, -W or -B2"_s},
       u"--skip-current needs a batch upgrade: -IP ADDRESS with -B, -W or -B2"_s},
      {args({"--check", "--verify", "-IP", "10.77.1.1", "-B", "fw.bin"}), {},
       {u"--check and --verify cannot be used together: use one of them"_s},
       u"--check and --verify cannot be used together: use one of them"_s},
      {args({"-IP", "10.77.1.1", "-B", "fw.bin", "--restart-timeout", "0"}), {QStringLiteral("XDG_RUNTIME_DIR")},
       {u"--restart-timeout 0: expected a whole number of seconds from 1 to 3600"_s},
       u"--restart-timeout 0: expected a whole number of seconds from 1 to 3600"_s},
      {args({"--verify", "-IP", "10.77.1.1", "-W", "a.web"}), {},
       {u"--verify with -W: a .web file has no version; verify -B and/or -B2 with -I2CA"_s},
       u"--verify with -W: a .web file has no version; verify -B and/or -B2 with -I2CA"_s},
      // The window would open, but there is no display: no Qt abort, a line and code 2.
      {{}, withoutDisplay, {noDisplay}, noDisplay},
      {args({"-DebugMsg"}), withoutDisplay, {noDisplay}, noDisplay},
      {args({"-x"}), withoutDisplay, {u"warning: unknown argument \"-x\" ignored (see --help)"_s, noDisplay}, noDisplay},
  };
  for (const Case& c : cases) {
    QFile::remove(home_.errorLogPath());
    const ProgramRun r = home_.run(c.arguments, kCLocale + c.environment, 15000);
    const std::string what = c.arguments.join(u' ').toStdString() + " / " + c.environment.join(u' ').toStdString();
    ASSERT_TRUE(r.finished) << what;
    EXPECT_EQ(r.exitCode, 2) << what;
    QByteArray expected;
    for (const QString& line : c.stderrLines) expected += "orvane-upgrader: " + line.toUtf8() + '\n';
    EXPECT_EQ(r.standardError, expected) << what;
    EXPECT_TRUE(r.standardOutput.isEmpty()) << what;
    const auto found = entries();
    ASSERT_FALSE(found.isEmpty()) << what;
    EXPECT_EQ(found.last().second, c.lastEntry) << what;
  }
}

// A local X display whose socket is missing (a stale DISPLAY) is no display either.
TEST_F(UpgraderRun, StaleLocalDisplayIsRefusedBeforeQtTriesIt) {
  const QString socket = QStringLiteral("/tmp/.X11-unix/X93");
  if (QFileInfo::exists(socket)) GTEST_SKIP() << socket.toStdString() << " exists here";
  const ProgramRun r = home_.run({}, kCLocale + QStringList{u"QT_QPA_PLATFORM"_s, u"WAYLAND_DISPLAY"_s, u"DISPLAY=:93"_s},
                                 15000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.standardError, QByteArray("orvane-upgrader: no display to open the window on (DISPLAY is :93 but "
                                        "/tmp/.X11-unix/X93 does not exist); for a batch run use -IP ADDRESS with "
                                        "-B/-W/-B2, see --help\n"));
}

TEST_F(UpgraderRun, ShortHelpOptionsPrintTheUsage) {
  for (const char* option : {"--help", "-h", "-?", " -h "}) {
    const ProgramRun r = run({QString::fromLatin1(option)});
    ASSERT_TRUE(r.finished) << option;
    EXPECT_EQ(r.exitCode, 0) << option;
    EXPECT_EQ(r.standardOutput, usageText().toLocal8Bit()) << option;
    EXPECT_TRUE(r.standardError.isEmpty()) << option;
  }
  EXPECT_FALSE(QFileInfo::exists(home_.errorLogPath()));
}

TEST_F(UpgraderRun, DebugMsgDoesNotShowTheCommandLineEntries) {
  // Written before the final log configuration: file only, no box, nothing on screen.
  // Standard error holds the refusal's own line, never the entry.
  const ProgramRun r = run(args({"-DebugMsg", "-IP", "192.168.16.100"}));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.standardError, QByteArray("orvane-upgrader: -IP needs at least one file: -B, -W or -B2 with -I2CA\n"));
  ASSERT_EQ(entries().size(), 1);
}

TEST_F(UpgraderRun, TwoProgramsWritingAtOnceNeverInterleave) {
  constexpr int kBad = 250;
  auto argumentsOf = [](const QString& tag) {
    QStringList a;
    for (int i = 0; i < kBad; ++i) a.append(QStringLiteral("-%1_%2").arg(tag).arg(i));
    a << QStringLiteral("-IP") << QStringLiteral("none");  // refused: the program ends
    return a;
  };
  QProcess first, second;
  QProcessEnvironment env = home_.environment();
  env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  for (QProcess* p : {&first, &second}) p->setProcessEnvironment(env);
  first.start(orvane::test::builtProgram(), argumentsOf(QStringLiteral("A")));
  second.start(orvane::test::builtProgram(), argumentsOf(QStringLiteral("B")));
  for (QProcess* p : {&first, &second}) {
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 2);
  }
  EXPECT_EQ(filesMatching(home_.logDirectory(), QStringLiteral("*.log")), QStringList{home_.errorLogPath()});
  const QByteArray bytes = home_.errorLogBytes();
  EXPECT_EQ(bytes.count("Error Log File"), 1);
  EXPECT_EQ(bytes.count("\xEF\xBB\xBF"), 1);

  QMap<QString, int> next;
  int invalidIp = 0;
  for (const auto& [header, text] : entries()) {
    expectHeader(header, 0);
    if (text == QStringLiteral("Invalid IP address with -IP !")) {
      ++invalidIp;
      continue;
    }
    const auto m = QRegularExpression(QStringLiteral("\\ABad executable argument\\t-([AB])_(\\d+)\\z")).match(text);
    ASSERT_TRUE(m.hasMatch()) << text.toStdString();
    EXPECT_EQ(m.captured(2).toInt(), next[m.captured(1)]++);
  }
  EXPECT_EQ(next.value(QStringLiteral("A")), kBad);
  EXPECT_EQ(next.value(QStringLiteral("B")), kBad);
  EXPECT_EQ(invalidIp, 2);
}

// The real wait of the program: with the lock held by someone else for longer than 5 s,
// its entry lands in a fallback file after that wait, and the release warning follows.
TEST_F(UpgraderRun, LockHeldLongerThanFiveSecondsGivesAFallbackFile) {
  const QByteArray lockPath = QFile::encodeName(home_.runtimePath() + QStringLiteral("/LOG_FILE"));
  const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  QElapsedTimer timer;
  timer.start();
  const ProgramRun r = run(args({"-IP", "bad"}));
  const qint64 elapsed = timer.elapsed();
  ::close(fd);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_GE(elapsed, kLogLockWaitMs);
  EXPECT_FALSE(QFileInfo::exists(home_.errorLogPath()));
  const QStringList files = filesMatching(home_.logDirectory(), QStringLiteral("Error_Orvane - Firmware upgrader_*.log"));
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("_[1-9]\\d{6}\\.log\\z")).match(files[0]).hasMatch());
  const QByteArray bytes = readFileBytes(files[0]);
  const QByteArray start = kFileHeader + "Unable to write the log file (Mutex Timeout)\r\n\r\n";
  ASSERT_TRUE(bytes.startsWith(start)) << bytes.toStdString();
  EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A") + kEntryTime +
                                 QStringLiteral(" RoVivazava 107 wWinMain\\r\\nInvalid IP address with -IP !\\r\\n\\r\\n\\z"))
                  .match(QString::fromUtf8(bytes.mid(start.size())))
                  .hasMatch());
  // No screen in this run: the warning box is written to standard error.
  EXPECT_TRUE(r.standardError.contains("Unable to release Mutex for Log File writing")) << r.standardError.toStdString();
}

// When the error log cannot be written at all, the reason of a refusal still reaches the
// operator: it is written to standard error after the reason the log failed.
TEST_F(UpgraderRun, RefusalThatNoLogCanTakeGoesToStandardError) {
  QFile blocker(home_.logDirectory());  // a file where the log directory should be
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const ProgramRun r = run(args({"-IP", "bad"}));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2);
  // The entry comes first, then the refusal's own line ends standard error.
  const QByteArray refusal =
      "orvane-upgrader: -IP bad: not an IPv4 address (four decimal numbers 0 to 255, e.g. 10.77.1.1)\n";
  ASSERT_TRUE(r.standardError.endsWith(refusal)) << r.standardError.toStdString();
  const QByteArray logPart = r.standardError.chopped(refusal.size());
  EXPECT_TRUE(logPart.startsWith("Unable to open the log file " + QFile::encodeName(home_.errorLogPath()) + ": "))
      << r.standardError.toStdString();
  EXPECT_TRUE(QRegularExpression(kEntryTime + QStringLiteral(" RoVivazava 107 wWinMain\\r\\nerror:Invalid IP address with "
                                                             "-IP !\\r\\n\\z"))
                  .match(QString::fromUtf8(logPart))
                  .hasMatch())
      << r.standardError.toStdString();
}

}  // namespace
