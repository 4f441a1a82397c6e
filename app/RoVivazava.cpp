#include "app/RoVivazava.h"

#include "app/AppWindows.h"
#include "app/HeadlessScan.h"
#include "common/FileNames.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "common/Utilsfunctions.h"
#include "common/Version.h"
#include "engine/IpPacket.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>

#include <unistd.h>

namespace {

const QString kSource = QStringLiteral("RoVivazava");
const QString kFunction = QStringLiteral("wWinMain");

void logStartupError(int line, const QString& text) {
  writeLogEntry(kSource, line, kFunction, UseConfiguredOutputs, LogLevelError, text);
}

// A file value: an absolute path stands as it is, anything else is taken from the
// executable's directory (an empty value therefore names that directory itself).
QString fileFromValue(const QString& executableDir, const QString& value) {
  if (!value.isEmpty() && QDir::isAbsolutePath(value)) return value;
  return executableDir + u'/' + value;
}

// "-I2CA": plain decimal from 8 to 119; anything else (a sign, hex, blanks inside) is
// refused like an address out of range.
bool isValidI2cAddressText(const QString& text) {
  if (text.isEmpty() || text.size() > 3) return false;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return false;
  }
  const int value = text.toInt();
  return value >= orvane::proto::kI2cAddressMin && value <= orvane::proto::kI2cAddressMax;
}

void configureLog(int errorOutputs, int generalOutputs, const QString& logDirectory) {
  const QString name = QString::fromLatin1(orvane::kApplicationName);
  configureErrorLog(errorOutputs, logDirectory, name);
  configureGeneralLog(generalOutputs, 255, false, true, name);
}

bool hasArgument(const QStringList& arguments, const QString& option) {
  for (const QString& a : arguments) {
    if (a.trimmed() == option) return true;
  }
  return false;
}

// Message boxes and questions of the core go to real dialogs, except on a platform with
// no screen (offscreen, minimal): there nobody could press a button, so the hooks stay
// unbound and write to standard error instead of waiting for ever.
void bindUiHooks() {
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return;
  orvane::ui::setMessageBoxHandler([](const QString& caption, const QString& text, orvane::ui::BoxIcon icon) {
    QMessageBox box(icon == orvane::ui::BoxIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
                    QMessageBox::Ok);
    box.exec();
  });
  orvane::ui::setQuestionHandler([](const QString& caption, const QString& text) {
    return QMessageBox::question(nullptr, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  });
}

}  // namespace

CommandLineOutcome parseCommandLine(const QStringList& arguments, const QString& executableDir) {
  CommandLineOutcome out;
  if (arguments.isEmpty()) return out;

  auto refuse = [&out](int line, const QString& text) {
    out.messages.append({line, text});
    out.result = CommandLineResult::Refused;
    return out;
  };

  GlobalSelection& sel = out.selection;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString arg = arguments[i].trimmed();
    // A value option as the last argument takes an empty value.
    auto takeValue = [&]() -> QString {
      if (i + 1 >= arguments.size()) return QString();
      return arguments[++i].trimmed();
    };
    if (arg == QLatin1String("-IP")) {
      const QString value = takeValue();
      if (!isValidIpText(value)) return refuse(kInvalidIpLogLine, QStringLiteral("Invalid IP address with -IP !"));
      sel.IPAddress = value;
    } else if (arg == QLatin1String("-I2CA")) {
      const QString value = takeValue();
      if (!isValidI2cAddressText(value)) return refuse(__LINE__, QStringLiteral("Invalid I2C address with -I2CA !"));
      sel.I2CAddress = QString::number(value.toInt());
    } else if (arg == QLatin1String("-B")) {
      sel.BinFileName = fileFromValue(executableDir, takeValue());
    } else if (arg == QLatin1String("-B2")) {
      sel.Bi2FileName = fileFromValue(executableDir, takeValue());
    } else if (arg == QLatin1String("-W")) {
      sel.WebFileName = fileFromValue(executableDir, takeValue());
    } else if (arg == QLatin1String("-DebugMsg")) {
      out.errorOutputs |= LogToMessageBox;
    } else if (arg == QLatin1String("-NoLogFile")) {
      out.generalOutputs &= ~LogToFile;
    } else {
      out.messages.append({__LINE__, QStringLiteral("Bad executable argument\t") + arg});
    }
  }

  const QString none = QStringLiteral("0");
  const bool ipSet = sel.IPAddress != none;
  const bool fileNamed = sel.BinFileName != none || sel.Bi2FileName != none || sel.WebFileName != none;
  const bool i2cGiven = sel.I2CAddress != QLatin1String("-1");
  const bool bi2Named = sel.Bi2FileName != none;
  const QString notEnough = QStringLiteral("Not enough parameters for batch mode !");

  if (!ipSet && !fileNamed) return out;
  if (!ipSet) return refuse(__LINE__, notEnough + QStringLiteral(" -B and/or -B2 and/or -W must be used with -IP !"));
  if (!fileNamed) return refuse(__LINE__, notEnough + QStringLiteral(" -IP must be used with -B and/or -B2 and/or -W !"));
  if (i2cGiven != bi2Named) return refuse(__LINE__, notEnough + QStringLiteral(" -I2CA must be used with -B2 !"));

  sel.BatchMode = true;
  out.result = CommandLineResult::Batch;
  out.messages.append({__LINE__, QStringLiteral("Batch mode started on IP ") + sel.IPAddress});
  return out;
}

QStringList argumentsFromArgv(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments.append(orvane::decodeFileName(QByteArray(argv[i])));
  return arguments;
}

QString executableDirectory(const char* argv0) {
  // The link's bytes, so that a directory whose name is not valid UTF-8 stays usable.
  char target[4096];
  const ssize_t n = ::readlink("/proc/self/exe", target, sizeof target);
  QString exe = n > 0 && n < ssize_t(sizeof target) ? orvane::decodeFileName(QByteArray(target, n)) : QString();
  if (exe.isEmpty() && argv0 != nullptr) exe = QFileInfo(orvane::decodeFileName(QByteArray(argv0))).absoluteFilePath();
  QString dir = exe.left(exe.lastIndexOf(u'/'));
  while (dir.size() > 1 && dir.endsWith(u'/')) dir.chop(1);
  return dir.isEmpty() ? QStringLiteral("/") : dir;
}

QString prepareLogDirectory(const QString& executableDir) {
  const QString home = qEnvironmentVariable("HOME");
  if (home.isEmpty()) return executableDir;
  const QString dir = QDir::cleanPath(QDir(home).absolutePath() + QStringLiteral("/Orvane_Data"));
  // A failure to create it shows later: the log facility reports on standard error that
  // it cannot open the file.
  QDir().mkpath(dir);
  return dir;
}

bool batchNeedsOffscreenPlatform() {
  return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
         !qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
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
      "  A relative FILE is taken from the directory of the executable.\n"
      "\n"
      "Other options:\n"
      "  -DebugMsg         also show every error entry in a message box\n"
      "  -NoLogFile        write no general entries to a log file\n"
      "  --scan            list the Orvane devices on the local networks, no window\n"
      "  --scan-i2c ADDRESS  list the I2C devices behind the network device at ADDRESS\n"
      "  --json            with --scan or --scan-i2c: print a JSON array\n"
      "  --help            print this text\n"
      "  --version         print the program's version\n"
      "\n"
      "Problems are written to ~/Orvane_Data/Error_Orvane - Firmware upgrader.log.\n"
      "Exit code 2: the command line was refused (the reason is in that log).\n")
      .arg(orvane::proto::kI2cAddressMin)
      .arg(orvane::proto::kI2cAddressMax);
}

int runRoVivazava(int argc, char** argv) {
  const QStringList arguments = argumentsFromArgv(argc, argv);

  if (hasArgument(arguments, QStringLiteral("--help"))) {
    std::fputs(usageText().toLocal8Bit().constData(), stdout);
    return 0;
  }
  if (hasArgument(arguments, QStringLiteral("--version"))) {
    std::printf("%s\n", orvane::kProgramVersionText);
    return 0;
  }

  const QString executableDir = executableDirectory(argc > 0 ? argv[0] : nullptr);
  const QString logDirectory = prepareLogDirectory(executableDir);
  configureLog(LogToFile, 0, logDirectory);

  // Qt gets the program name only: the command line belongs to the upgrader, so an
  // argument such as "-platform" is reported as a bad argument, not acted on.
  int qtArgc = 1;
  char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("orvane-upgrader"), nullptr};

  if (isHeadlessScanRequest(arguments)) {
    QCoreApplication app(qtArgc, qtArgv);
    return runHeadlessScan(arguments);
  }

  GlobalSelection& selection = globalSelection();
  selection = GlobalSelection{};
  const CommandLineOutcome outcome = parseCommandLine(arguments, executableDir);
  // Written before the final configuration: these entries go to the error file only.
  for (const CommandLineMessage& m : outcome.messages) logStartupError(m.line, m.text);
  if (outcome.result == CommandLineResult::Refused) return kExitRefusedCommandLine;
  selection = outcome.selection;

  configureLog(outcome.errorOutputs, outcome.generalOutputs, logDirectory);

  // A batch run must work on a machine without a display.
  if (selection.BatchMode && batchNeedsOffscreenPlatform()) qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationDisplayName(QString::fromLatin1(orvane::kPlatformTitle));
  bindUiHooks();

  QString failure;
  try {
    return runWindows(app);
  } catch (const std::exception& e) {
    failure = QString::fromLocal8Bit(e.what());
  } catch (...) {
    failure = QString();
  }
  // An exception escaped the windows or the event loop: the run did not end normally.
  logStartupError(__LINE__, QStringLiteral("Unexpected failure, the program ends: ") + failure);
  orvane::ui::showMessageBox(QString::fromLatin1(orvane::kPlatformTitle), failure, orvane::ui::BoxIcon::Warning);
  return 1;
}
