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

namespace {

const QString kExeDir = QStringLiteral("/opt/orvane/bin");
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
  const CommandLineOutcome o = parseCommandLine({}, kExeDir);
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

TEST(ParseCommandLine, Outcomes) {
  struct Case {
    QStringList arguments;
    CommandLineResult result;
    QStringList messages;
  };
  using R = CommandLineResult;
  const QList<Case> cases = {
      {args({"-DebugMsg"}), R::Interactive, {}},
      {args({"-NoLogFile"}), R::Interactive, {}},
      {args({"  -DebugMsg\t"}), R::Interactive, {}},  // trimmed before comparison
      {args({"-ip"}), R::Interactive, {QStringLiteral("Bad executable argument\t-ip")}},
      {args({" -debugmsg ", "x"}), R::Interactive,
       {QStringLiteral("Bad executable argument\t-debugmsg"), QStringLiteral("Bad executable argument\tx")}},
      {args({"-IP", "192.168.16.100"}), R::Refused,
       {kNotEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !")}},
      {args({"-B", "fw.bin"}), R::Refused, {kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !")}},
      {args({"-W", "site.web", "-I2CA", "8"}), R::Refused,
       {kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !")}},
      {args({"-IP", "192.168.16.100", "-B2", "i2c.bi2"}), R::Refused,
       {kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !")}},
      {args({"-IP", "192.168.16.100", "-B", "fw.bin", "-I2CA", "20"}), R::Refused,
       {kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !")}},
      {args({"-IP", "192.168.16.100", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 192.168.16.100")}},
      {args({"-IP", " 10.77.1.1 ", "-B2", "i2c.bi2", "-I2CA", "8"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 10.77.1.1")}},
      {args({"-IP", "10.77.1.1", "-W", "a.web", "-B2", "i2c.bi2", "-I2CA", "119", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Batch mode started on IP 10.77.1.1")}},
      // A bad argument does not stop parsing; the refusal comes after it.
      {args({"-Ip", "-IP", "10.77.1.1", "-B", "fw.bin"}), R::Batch,
       {QStringLiteral("Bad executable argument\t-Ip"), QStringLiteral("Batch mode started on IP 10.77.1.1")}},
      // -IP checks: the program ends at the first refusal, later arguments are not read.
      {args({"-x", "-IP", "192.168.1", "-y"}), R::Refused,
       {QStringLiteral("Bad executable argument\t-x"), QStringLiteral("Invalid IP address with -IP !")}},
      {args({"-IP"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")}},
      {args({"-IP", "-B", "fw.bin"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")}},
      {args({"-IP", "192.168.1.256", "-B", "fw.bin"}), R::Refused, {QStringLiteral("Invalid IP address with -IP !")}},
  };
  for (const Case& c : cases) {
    const CommandLineOutcome o = parseCommandLine(c.arguments, kExeDir);
    EXPECT_EQ(o.result, c.result) << c.arguments.join(u' ').toStdString();
    EXPECT_EQ(texts(o), c.messages) << c.arguments.join(u' ').toStdString();
    EXPECT_EQ(o.selection.BatchMode, c.result == R::Batch) << c.arguments.join(u' ').toStdString();
  }
}

TEST(ParseCommandLine, InvalidIpRefusalIsLoggedUnderLine107) {
  const CommandLineOutcome o = parseCommandLine(args({"-IP", "1.2.3.x"}), kExeDir);
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
        kExeDir);
    EXPECT_EQ(o.result, ok ? CommandLineResult::Batch : CommandLineResult::Refused) << '"' << value << '"';
    if (ok) {
      EXPECT_EQ(o.selection.I2CAddress, QString::number(QString::fromUtf8(value).trimmed().toInt()));
    } else {
      EXPECT_EQ(texts(o), QStringList{QStringLiteral("Invalid I2C address with -I2CA !")}) << '"' << value << '"';
    }
  }
  // "-I2CA" as the last argument takes an empty value: refused.
  EXPECT_EQ(parseCommandLine(args({"-I2CA"}), kExeDir).result, CommandLineResult::Refused);
}

TEST(ParseCommandLine, FileValuesAndSelection) {
  const CommandLineOutcome o = parseCommandLine(
      args({"-IP", "192.168.16.100", "-B", " fw.bin ", "-W", "/data/site.web", "-B2", "sub/i2c.bi2", "-I2CA", "42"}),
      kExeDir);
  ASSERT_EQ(o.result, CommandLineResult::Batch);
  EXPECT_EQ(o.selection.IPAddress, QStringLiteral("192.168.16.100"));
  EXPECT_EQ(o.selection.BinFileName, QStringLiteral("/opt/orvane/bin/fw.bin"));
  EXPECT_EQ(o.selection.WebFileName, QStringLiteral("/data/site.web"));  // absolute: used as it is
  EXPECT_EQ(o.selection.Bi2FileName, QStringLiteral("/opt/orvane/bin/sub/i2c.bi2"));
  EXPECT_EQ(o.selection.I2CAddress, QStringLiteral("42"));

  // "-B" as the last argument names the executable's directory itself.
  const CommandLineOutcome last = parseCommandLine(args({"-IP", "192.168.16.100", "-B"}), kExeDir);
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
    const CommandLineOutcome o = parseCommandLine(argumentsFromArgv(5, argv), orvane::decodeFileName(exeDir));
    ASSERT_EQ(o.result, CommandLineResult::Batch);
    EXPECT_EQ(orvane::encodeFileName(o.selection.BinFileName), file);
    const orvane::FirmwareLoad loaded = orvane::loadFirmwareFile(o.selection.BinFileName, orvane::FirmwareKind::Bin);
    ASSERT_TRUE(loaded.has_value()) << loaded.refusal().text.toStdString();
    EXPECT_EQ(loaded->content, content);
    EXPECT_EQ(orvane::encodeFileName(loaded->nameText), QByteArray("caf\xE9.bin"));
  }
}

TEST(ParseCommandLine, LogOutputsFromOptions) {
  const CommandLineOutcome o = parseCommandLine(args({"-DebugMsg", "-NoLogFile"}), kExeDir);
  EXPECT_EQ(o.errorOutputs, LogToFile | LogToMessageBox);
  EXPECT_EQ(o.generalOutputs, 0);
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

TEST_F(UpgraderRun, DebugMsgDoesNotShowTheCommandLineEntries) {
  // Written before the final log configuration: file only, no box, nothing on screen.
  const ProgramRun r = run(args({"-DebugMsg", "-IP", "192.168.16.100"}));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.standardError.isEmpty()) << r.standardError.toStdString();
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
  EXPECT_TRUE(r.standardError.startsWith("Unable to open the log file " + QFile::encodeName(home_.errorLogPath()) + ": "))
      << r.standardError.toStdString();
  EXPECT_TRUE(QRegularExpression(kEntryTime + QStringLiteral(" RoVivazava 107 wWinMain\\r\\nerror:Invalid IP address with "
                                                             "-IP !\\r\\n\\z"))
                  .match(QString::fromUtf8(r.standardError))
                  .hasMatch())
      << r.standardError.toStdString();
}

}  // namespace
