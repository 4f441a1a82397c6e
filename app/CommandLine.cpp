#include "app/CommandLine.h"

#include "common/FileNames.h"
#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"
#include "engine/IpPacket.h"

#include <QDir>

#include <utility>

#include <sys/stat.h>

namespace {

// Line numbers of the entries in the error log. They stay as operators' scripts and older
// logs know them, wherever the code that writes them moves.
constexpr int kLineInvalidI2c = 107;
constexpr int kLineBadArgument = 120;
constexpr int kLineFileWithoutIp = 132;
constexpr int kLineIpWithoutFile = 133;
constexpr int kLineI2cWithoutBi2 = 134;
constexpr int kLineBatchStarted = 138;
constexpr int kLineScriptOption = 141;  // refusals of the options for scripts

constexpr int kRestartTimeoutMin = 1, kRestartTimeoutMax = 3600;

const QString kNone = QStringLiteral("0");
const QString kNotEnough = QStringLiteral("Not enough parameters for batch mode !");
const QString kIpExpected = QStringLiteral("an IPv4 address (four decimal numbers 0 to 255, e.g. 10.77.1.1)");
const QString kBadArgument = QStringLiteral("Bad executable argument\t");

// Every option the program knows, also those handled before the parser (help, version,
// listings): an argument that differs from one of them only in case is a typing error.
const char* const kKnownOptions[] = {
    "-IP", "-I2CA", "-B", "-B2", "-W", "-DebugMsg", "-NoLogFile",
    "--json", "--check", "--verify", "--skip-current", "--no-downgrade", "--restart-timeout", "--history", "--since",
    "--fleet", "--jobs", "--force", "--allow-downgrade", "--targets",
    "--help", "-h", "-?", "--version", "--scan", "--scan-i2c",
};

// The on/off options for scripts.
const std::pair<const char*, bool ScriptOptions::*> kScriptFlags[] = {
    {"--json", &ScriptOptions::json},
    {"--check", &ScriptOptions::check},
    {"--verify", &ScriptOptions::verify},
    {"--skip-current", &ScriptOptions::skipCurrent},
    {"--no-downgrade", &ScriptOptions::noDowngrade},
    {"--history", &ScriptOptions::history},
    {"--force", &ScriptOptions::force},
    {"--allow-downgrade", &ScriptOptions::allowDowngrade},
};

QString terminalLine(const QString& text) { return QLatin1String(kProgramPrefix) + text; }

// A value as shown on standard error: control characters would break the line apart.
QString shown(QString value) {
  for (QChar& c : value) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
  }
  return value;
}

// Plain decimal digits only (no sign, no blanks, no hex), at most `maxDigits` of them,
// with a value from `min` to `max`.
bool isDecimalInRange(const QString& text, qsizetype maxDigits, int min, int max) {
  if (text.isEmpty() || text.size() > maxDigits) return false;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return false;
  }
  const int value = text.toInt();
  return value >= min && value <= max;
}

bool isExistingFile(const QString& path) {
  struct stat st {};
  return ::stat(orvane::encodeFileName(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// A file value: an absolute path stands as it is. A relative one (an empty value too) is
// looked for in the executable's directory, then in the current one; the first existing
// file is used. When neither holds it, the executable's directory stays the choice, so
// that loading it reports the missing file; `tried` lists the paths looked at.
QString resolveFile(const QString& value, const QString& executableDir, const QString& currentDir,
                    QStringList& tried) {
  tried.clear();
  if (!value.isEmpty() && QDir::isAbsolutePath(value)) return value;
  for (const QString& dir : {executableDir, currentDir}) {
    tried.append(dir + u'/' + value);
    if (isExistingFile(tried.last())) return tried.last();
  }
  return tried.first();
}

// The known option `argument` is a case variant of, or an empty text.
QString caseVariantOf(const QString& argument) {
  for (const char* option : kKnownOptions) {
    const QLatin1String known(option);
    if (argument != known && argument.compare(known, Qt::CaseInsensitive) == 0) return known;
  }
  return QString();
}

// What the selection and options name, for the consistency rules.
struct Named {
  bool ip, bin, web, bi2, i2c;
  bool file() const { return bin || web || bi2; }
  QString firstFileOption() const {
    return bin ? QStringLiteral("-B") : web ? QStringLiteral("-W") : QStringLiteral("-B2");
  }
};

class Parser {
 public:
  Parser(const QStringList& arguments, const QString& executableDir, const QString& currentDir)
      : arguments_(arguments), executableDir_(executableDir), currentDir_(currentDir) {}

  CommandLineOutcome run() {
    for (qsizetype i = 0; i < arguments_.size(); ++i) {
      if (!readArgument(i)) return out_;
    }
    decide();
    return out_;
  }

 private:
  // A value option as the last argument takes an empty value.
  QString takeValue(qsizetype& i) const {
    if (i + 1 >= arguments_.size()) return QString();
    return arguments_[++i].trimmed();
  }

  void refuse(int line, const QString& text, const QString& terminal) {
    out_.messages.append({line, text, terminalLine(terminal)});
    out_.result = CommandLineResult::Refused;
  }
  // The options for scripts log the same text they print.
  void refuseOption(const QString& text) { refuse(kLineScriptOption, text, text); }

  Named named() const {
    const GlobalSelection& s = out_.selection;
    return {s.IPAddress != kNone, s.BinFileName != kNone, s.WebFileName != kNone, s.Bi2FileName != kNone,
            s.I2CAddress != QLatin1String("-1")};
  }

  bool readArgument(qsizetype& i);
  bool readIp(const QString& value);
  bool readI2cAddress(const QString& value);
  bool readRestartTimeout(const QString& value);
  bool readSince(const QString& value);
  bool readFleet(const QString& value);
  bool readJobs(const QString& value);
  bool readFlag(const QString& argument);
  void readUnknown(const QString& argument);

  void decide();
  bool scriptOptionsAgree();
  QString batchOnlyOption() const;
  QString fleetOnlyOption() const;
  void decideVerify();
  void decideCheck();
  void decideBatch();
  void decideFleet();
  bool targetAgrees();

  const QStringList& arguments_;
  const QString executableDir_, currentDir_;
  CommandLineOutcome out_;
  bool caseTypo_ = false;
  bool restartTimeoutGiven_ = false;
  bool sinceGiven_ = false;
  bool jobsGiven_ = false;
};

// False when the argument refused the command line: nothing after it is read.
bool Parser::readArgument(qsizetype& i) {
  const QString arg = arguments_[i].trimmed();
  GlobalSelection& sel = out_.selection;
  ScriptOptions& script = out_.script;
  if (arg == QLatin1String("-IP")) return readIp(takeValue(i));
  if (arg == QLatin1String("-I2CA")) return readI2cAddress(takeValue(i));
  if (arg == QLatin1String("--restart-timeout")) return readRestartTimeout(takeValue(i));
  if (arg == QLatin1String("--since")) return readSince(takeValue(i));
  if (arg == QLatin1String("--fleet")) return readFleet(takeValue(i));
  if (arg == QLatin1String("--jobs")) return readJobs(takeValue(i));
  if (arg == QLatin1String("--targets")) {
    // With --scan the listing takes the command line before this parser sees it.
    refuseOption(QStringLiteral("--targets FILE goes with --scan: orvane-upgrader --scan --targets FILE"));
    return false;
  }
  if (arg == QLatin1String("-B")) {
    sel.BinFileName = resolveFile(takeValue(i), executableDir_, currentDir_, script.binTried);
  } else if (arg == QLatin1String("-B2")) {
    sel.Bi2FileName = resolveFile(takeValue(i), executableDir_, currentDir_, script.bi2Tried);
  } else if (arg == QLatin1String("-W")) {
    sel.WebFileName = resolveFile(takeValue(i), executableDir_, currentDir_, script.webTried);
  } else if (!readFlag(arg)) {
    readUnknown(arg);
  }
  return true;
}

bool Parser::readIp(const QString& value) {
  if (isValidIpText(value)) {
    out_.selection.IPAddress = value;
    return true;
  }
  refuse(kInvalidIpLogLine, QStringLiteral("Invalid IP address with -IP !"),
         value.isEmpty() ? QStringLiteral("-IP needs ") + kIpExpected
                         : QStringLiteral("-IP ") + shown(value) + QStringLiteral(": not ") + kIpExpected);
  return false;
}

// Plain decimal from 8 to 119; anything else (a sign, hex, blanks inside) is refused like
// an address out of range.
bool Parser::readI2cAddress(const QString& value) {
  if (isDecimalInRange(value, 3, orvane::proto::kI2cAddressMin, orvane::proto::kI2cAddressMax)) {
    out_.selection.I2CAddress = QString::number(value.toInt());
    return true;
  }
  const QString expected = QStringLiteral("a decimal I2C address from %1 to %2")
                               .arg(orvane::proto::kI2cAddressMin)
                               .arg(orvane::proto::kI2cAddressMax);
  refuse(kLineInvalidI2c, QStringLiteral("Invalid I2C address with -I2CA !"),
         value.isEmpty() ? QStringLiteral("-I2CA needs ") + expected
                         : QStringLiteral("-I2CA ") + shown(value) + QStringLiteral(": expected ") + expected);
  return false;
}

bool Parser::readRestartTimeout(const QString& value) {
  restartTimeoutGiven_ = true;
  if (isDecimalInRange(value, 4, kRestartTimeoutMin, kRestartTimeoutMax)) {
    out_.script.restartTimeoutS = value.toInt();
    return true;
  }
  const QString expected =
      QStringLiteral("a whole number of seconds from %1 to %2").arg(kRestartTimeoutMin).arg(kRestartTimeoutMax);
  refuseOption(value.isEmpty() ? QStringLiteral("--restart-timeout needs ") + expected
                               : QStringLiteral("--restart-timeout ") + shown(value) + QStringLiteral(": expected ") +
                                     expected);
  return false;
}

// The date is kept as text: the history reads it.
bool Parser::readSince(const QString& value) {
  sinceGiven_ = true;
  if (!value.isEmpty()) {
    out_.script.since = value;
    return true;
  }
  refuseOption(QStringLiteral("--since needs a date, e.g. 2026-12-01"));
  return false;
}

// "discover", or a targets file: a relative path is taken from the current directory.
bool Parser::readFleet(const QString& value) {
  if (value.isEmpty()) {
    refuseOption(QStringLiteral("--fleet needs TARGETS: a targets file, or \"discover\""));
    return false;
  }
  out_.script.fleet = value == QLatin1String(kFleetDiscover) || QDir::isAbsolutePath(value)
                          ? value
                          : currentDir_ + u'/' + value;
  return true;
}

bool Parser::readJobs(const QString& value) {
  jobsGiven_ = true;
  if (isDecimalInRange(value, 2, 1, kFleetJobsMax)) {
    out_.script.jobs = value.toInt();
    return true;
  }
  const QString expected = QStringLiteral("a whole number of devices from 1 to %1").arg(kFleetJobsMax);
  refuseOption(value.isEmpty() ? QStringLiteral("--jobs needs ") + expected
                               : QStringLiteral("--jobs ") + shown(value) + QStringLiteral(": expected ") + expected);
  return false;
}

bool Parser::readFlag(const QString& argument) {
  for (const auto& [option, flag] : kScriptFlags) {
    if (argument == QLatin1String(option)) {
      out_.script.*flag = true;
      return true;
    }
  }
  if (argument == QLatin1String("-DebugMsg")) {
    out_.errorOutputs |= LogToMessageBox;
  } else if (argument == QLatin1String("-NoLogFile")) {
    out_.generalOutputs &= ~LogToFile;
  } else {
    return false;
  }
  return true;
}

// An unknown argument is logged and parsing goes on. One that is a known option typed in
// another case refuses the command line at the end: it surely meant that option.
void Parser::readUnknown(const QString& argument) {
  const QString meant = caseVariantOf(argument);
  if (meant.isEmpty()) {
    out_.messages.append({kLineBadArgument, kBadArgument + argument, QString()});
    out_.warnings.append(terminalLine(QStringLiteral("warning: unknown argument \"") + shown(argument) +
                                      QStringLiteral("\" ignored (see --help)")));
    return;
  }
  caseTypo_ = true;
  out_.messages.append({kLineBadArgument, kBadArgument + argument,
                        terminalLine(argument + QStringLiteral(": unknown option; options are case-sensitive (did "
                                                               "you mean ") +
                                     meant + QStringLiteral("?)"))});
}

void Parser::decide() {
  if (caseTypo_) {
    out_.result = CommandLineResult::Refused;
    return;
  }
  if (!scriptOptionsAgree()) return;
  const ScriptOptions& script = out_.script;
  if (script.history) {
    out_.result = CommandLineResult::History;
  } else if (!script.fleet.isEmpty()) {
    decideFleet();
  } else if (script.verify) {
    decideVerify();
  } else if (script.check) {
    decideCheck();
  } else {
    decideBatch();
  }
}

// The first option given that applies to a batch upgrade only, or an empty text.
QString Parser::batchOnlyOption() const {
  if (out_.script.skipCurrent) return QStringLiteral("--skip-current");
  if (out_.script.noDowngrade) return QStringLiteral("--no-downgrade");
  if (restartTimeoutGiven_) return QStringLiteral("--restart-timeout");
  if (!out_.script.fleet.isEmpty()) return QStringLiteral("--fleet");
  return QString();
}

// The first option given that applies to a fleet run only, or an empty text.
QString Parser::fleetOnlyOption() const {
  if (jobsGiven_) return QStringLiteral("--jobs");
  if (out_.script.force) return QStringLiteral("--force");
  if (out_.script.allowDowngrade) return QStringLiteral("--allow-downgrade");
  return QString();
}

// The rules between the modes for scripts, before the target is looked at.
bool Parser::scriptOptionsAgree() {
  const ScriptOptions& script = out_.script;
  const Named n = named();
  const QString batchOnly = batchOnlyOption();
  if (script.check && script.verify) {
    refuseOption(QStringLiteral("--check and --verify cannot be used together: use one of them"));
  } else if (script.history && (n.ip || n.file() || n.i2c || script.check || script.verify || !batchOnly.isEmpty())) {
    refuseOption(QStringLiteral("--history takes no device, file or other run option: only --since and --json"));
  } else if (sinceGiven_ && !script.history) {
    refuseOption(QStringLiteral("--since needs --history"));
  } else if (script.fleet.isEmpty() && fleetOnlyOption().size()) {
    refuseOption(fleetOnlyOption() + QStringLiteral(" needs --fleet TARGETS"));
  } else if (!script.fleet.isEmpty()) {
    return true;  // decideFleet has the rules of a fleet run
  } else if ((script.check || script.verify) && !batchOnly.isEmpty()) {
    refuseOption(batchOnly + QStringLiteral(" applies to a batch upgrade only, not to ") +
                 (script.check ? QStringLiteral("--check") : QStringLiteral("--verify")));
  } else {
    return true;
  }
  return false;
}

void Parser::decideVerify() {
  const Named n = named();
  if (n.web) {
    refuseOption(QStringLiteral("--verify with -W: a .web file has no version; verify -B and/or -B2 with -I2CA"));
  } else if (!n.ip) {
    refuseOption(QStringLiteral("--verify needs -IP ADDRESS: the network device to compare with"));
  } else if (!n.bin && !n.bi2) {
    refuseOption(QStringLiteral("--verify needs -B FILE and/or -B2 FILE with -I2CA"));
  } else if (targetAgrees()) {
    out_.result = CommandLineResult::Verify;
  }
}

// With -IP the files are compared with the device; without, they are only read.
void Parser::decideCheck() {
  const Named n = named();
  if (n.ip) {
    if (targetAgrees()) out_.result = CommandLineResult::Check;
  } else if (!n.file()) {
    refuseOption(QStringLiteral("--check needs at least one file: -B, -W or -B2 (with -IP ADDRESS to compare them "
                                "with a device)"));
  } else if (n.i2c) {
    refuseOption(QStringLiteral("-I2CA needs -IP ADDRESS; --check without -IP only reads the files"));
  } else {
    out_.result = CommandLineResult::FileCheck;
  }
}

void Parser::decideBatch() {
  const Named n = named();
  if (!n.ip && !n.file()) {
    // Nothing for a batch run: the window opens, unless an option for scripts was given.
    const QString batchOnly = batchOnlyOption();
    if (!batchOnly.isEmpty()) {
      refuseOption(batchOnly + QStringLiteral(" needs a batch upgrade: -IP ADDRESS with -B, -W or -B2"));
    } else if (out_.script.json) {
      refuseOption(QStringLiteral("--json needs a run for scripts: -IP ADDRESS with -B, -W or -B2, --check, "
                                  "--verify or --history"));
    }
    return;
  }
  if (!targetAgrees()) return;
  out_.selection.BatchMode = true;
  out_.result = CommandLineResult::Batch;
  out_.messages.append(
      {kLineBatchStarted, QStringLiteral("Batch mode started on IP ") + out_.selection.IPAddress, QString()});
}

// A fleet run takes its devices from TARGETS: the files of the command line are the
// defaults of its targets; "discover" needs the file whose type picks the devices.
void Parser::decideFleet() {
  const Named n = named();
  const ScriptOptions& script = out_.script;
  if (n.ip) {
    refuseOption(QStringLiteral("--fleet takes its devices from TARGETS, not from -IP"));
  } else if (script.verify) {
    refuseOption(QStringLiteral("--verify is for one device: use --fleet with --check for the plan"));
  } else if (script.force && script.skipCurrent) {
    refuseOption(QStringLiteral("--force and --skip-current cannot be used together: use one of them"));
  } else if (script.allowDowngrade && script.noDowngrade) {
    refuseOption(QStringLiteral("--allow-downgrade and --no-downgrade cannot be used together: use one of them"));
  } else if (n.i2c != n.bi2) {
    refuseOption(n.bi2 ? QStringLiteral("-B2 needs -I2CA ADDRESS: the decimal I2C address of the devices, %1 to %2")
                             .arg(orvane::proto::kI2cAddressMin)
                             .arg(orvane::proto::kI2cAddressMax)
                       : QStringLiteral("-I2CA needs -B2 FILE: the .bi2 firmware file of the I2C devices"));
  } else if (script.fleet == QLatin1String(kFleetDiscover) && !n.bin && !n.bi2) {
    refuseOption(QStringLiteral("--fleet discover needs -B FILE and/or -B2 FILE with -I2CA: their types pick "
                                "the devices"));
  } else {
    out_.result = CommandLineResult::Fleet;
  }
}

// The address and the files together: an address names at least one file, a file needs
// the address, and an I2C address comes exactly with a .bi2 file.
bool Parser::targetAgrees() {
  const Named n = named();
  if (!n.ip) {
    refuse(kLineFileWithoutIp, kNotEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !"),
           n.firstFileOption() + QStringLiteral(" needs -IP ADDRESS: the IPv4 address of the network device"));
  } else if (!n.file()) {
    refuse(kLineIpWithoutFile, kNotEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !"),
           QStringLiteral("-IP needs at least one file: -B, -W or -B2 with -I2CA"));
  } else if (n.i2c != n.bi2) {
    refuse(kLineI2cWithoutBi2, kNotEnough + QStringLiteral(" -I2CA must be used with -B2 !"),
           n.bi2 ? QStringLiteral("-B2 needs -I2CA ADDRESS: the decimal I2C address of the device, %1 to %2")
                       .arg(orvane::proto::kI2cAddressMin)
                       .arg(orvane::proto::kI2cAddressMax)
                 : QStringLiteral("-I2CA needs -B2 FILE: the .bi2 firmware file of the I2C device"));
  } else {
    return true;
  }
  return false;
}

}  // namespace

CommandLineOutcome parseCommandLine(const QStringList& arguments, const QString& executableDir,
                                    const QString& currentDir) {
  return Parser(arguments, executableDir, currentDir).run();
}

QStringList terminalLines(const CommandLineOutcome& outcome) {
  QStringList lines = outcome.warnings;
  for (const CommandLineMessage& m : outcome.messages) {
    if (!m.terminal.isEmpty()) lines.append(m.terminal);
  }
  return lines;
}

QString usageText() {
  return QStringLiteral(
             "Usage: orvane-upgrader [options]\n"
             "\n"
             "Without options the upgrader opens its window for the operator.\n"
             "\n"
             "Batch mode (one upgrade without any question, then the program ends):\n"
             "  -IP ADDRESS       IPv4 address of the network device, dotted decimal\n"
             "  -B FILE           .bin firmware file of the network device\n"
             "  -W FILE           .web content file of the network device\n"
             "  -B2 FILE          .bi2 firmware file of the I2C device behind it (needs -I2CA)\n"
             "  -I2CA ADDRESS     decimal I2C address of that device, %1 to %2 (needs -B2)\n"
             "  -IP needs at least one of -B, -B2, -W, and they need -IP.\n"
             "  A relative FILE is looked for in the directory of the executable, then in the\n"
             "  current directory.\n"
             "  --skip-current    do nothing when the device already runs the file's version\n"
             "  --no-downgrade    refuse a file older than what the device runs\n"
             "  --restart-timeout SECONDS  how long the flashed device has to answer again,\n"
             "                    1 to 3600 (default 60)\n"
             "\n"
             "Fleet mode (many devices, in parallel, one summary at the end):\n"
             "  --fleet TARGETS   upgrade the devices of the targets file TARGETS (one address,\n"
             "                    range or CIDR block a line, each with optional bin=, web=,\n"
             "                    bi2= and i2ca=), or of \"discover\": the listed devices of the\n"
             "                    type of -B (or with a device of the type of -B2 at -I2CA)\n"
             "  --jobs N          devices at a time, 1 to %3 (default %4)\n"
             "  --force           also flash devices that already run the file's version\n"
             "  --allow-downgrade also flash a file older than what the device runs\n"
             "  --check           with --fleet: print the plan, write nothing\n"
             "\n"
             "Runs for scripts (no window):\n"
             "  --check           with -IP and files: read the device and compare, write nothing;\n"
             "                    without -IP: print the identification of the files\n"
             "  --verify          with -IP and -B and/or -B2 with -I2CA: does the device run\n"
             "                    the files' type and version? (not with -W)\n"
             "  --history         list the past runs\n"
             "  --since DATE      with --history: only the runs from that date on\n"
             "  --json            print one JSON object per line (batch, --check, --verify,\n"
             "                    --history); with --scan or --scan-i2c: print a JSON array\n"
             "\n"
             "Other options:\n"
             "  -DebugMsg         also show every error entry in a message box\n"
             "  -NoLogFile        write no general entries to a log file\n"
             "  --scan            list the Orvane devices on the local networks, no window\n"
             "  --scan-i2c ADDRESS  list the I2C devices behind the network device at ADDRESS\n"
             "  --targets FILE    with --scan: ask each address, range or CIDR block of FILE\n"
             "                    directly (reaches routed networks)\n"
             "  --help, -h, -?    print this text\n"
             "  --version         print the program's version\n"
             "Options are case-sensitive.\n"
             "\n"
             "Exit codes:\n"
             "  0  done, or nothing to do\n"
             "  1  the upgrade failed\n"
             "  2  the command line was refused, or there is no display for the window\n"
             "  3  the device could not be reached\n"
             "  4  the device and the file are not compatible\n"
             "  5  a file was refused\n"
             "  6  activated but the new version was not confirmed (--verify: mismatch)\n"
             "  130  a fleet run was stopped by Ctrl-C before every device was done\n"
             "  A fleet run exits with the code of its worst device (6, 1, 130, 3, 4, 5, 2).\n"
             "\n"
             "A refused command line is explained in one line on standard error.\n"
             "Problems are written to ~/Orvane_Data/Error_Orvane - Firmware upgrader.log.\n")
      .arg(orvane::proto::kI2cAddressMin)
      .arg(orvane::proto::kI2cAddressMax)
      .arg(kFleetJobsMax)
      .arg(kFleetJobsDefault);
}
