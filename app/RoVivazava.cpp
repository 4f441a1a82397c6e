#include "app/RoVivazava.h"

#include "app/AppWindows.h"
#include "app/CheckRun.h"
#include "app/FleetRun.h"
#include "app/HistoryCommand.h"
#include "app/RunReport.h"
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
#include <initializer_list>

#include <unistd.h>

namespace {

const QString kSource = QStringLiteral("RoVivazava");
const QString kFunction = QStringLiteral("wWinMain");

// Line numbers of this source's own entries; they stay as older logs know them.
constexpr int kLineNoDisplay = 142;
constexpr int kLineQtMessage = 143;
constexpr int kLineUnexpectedFailure = 256;

const QString kNoDisplayAdvice =
    QStringLiteral("; for a batch run use -IP ADDRESS with -B/-W/-B2, see --help");

void logStartupError(int line, const QString& text) {
  writeLogEntry(kSource, line, kFunction, UseConfiguredOutputs, LogLevelError, text);
}

void configureLog(int errorOutputs, int generalOutputs, const QString& logDirectory) {
  const QString name = QString::fromLatin1(orvane::kApplicationName);
  configureErrorLog(errorOutputs, logDirectory, name);
  configureGeneralLog(generalOutputs, 255, false, true, name);
}

bool hasArgument(const QStringList& arguments, std::initializer_list<const char*> options) {
  for (const QString& a : arguments) {
    for (const char* option : options) {
      if (a.trimmed() == QLatin1String(option)) return true;
    }
  }
  return false;
}

// One line on standard error, file names in it byte-exact.
void printErrorLine(const QString& line) {
  std::fputs((orvane::encodeFileName(line) + '\n').constData(), stderr);
  std::fflush(stderr);
}

// The entries go to the error log (before the final configuration: to the file only);
// the warnings and the reasons of a refusal go to standard error.
void reportCommandLine(const CommandLineOutcome& outcome) {
  for (const CommandLineMessage& m : outcome.messages) logStartupError(m.line, m.text);
  for (const QString& line : terminalLines(outcome)) printErrorLine(line);
}

// The local X display number of a DISPLAY value such as ":0" or ":1.0", or -1 for any
// other form (a remote display, a path).
int localX11Display(const QString& display) {
  if (!display.startsWith(u':')) return -1;
  const QString number = display.mid(1).section(u'.', 0, 0);
  bool ok = false;
  const int n = number.toInt(&ok);
  return ok && n >= 0 && number.size() <= 5 && number.front().isDigit() ? n : -1;
}

void qtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& text) {
  // A message of the log facility itself must not come back here.
  static thread_local bool inside = false;
  if (inside) return;
  inside = true;
  const char* kind = type == QtDebugMsg ? "debug" : type == QtInfoMsg ? "info" : "warning";
  writeLogEntry(kSource, kLineQtMessage, kFunction, LogToFile, LogLevelGeneral,
                QStringLiteral("Qt %1: %2").arg(QLatin1String(kind), text));
  inside = false;
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

QString missingDisplayLine(const QString& x11SocketDirectory) {
  if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return {};
  const QString display = qEnvironmentVariable("DISPLAY");
  QString reason;
  if (display.isEmpty()) {
    reason = QStringLiteral("DISPLAY is not set");
  } else {
    const int n = localX11Display(display);
    if (n < 0) return {};
    const QString socket = x11SocketDirectory + QStringLiteral("/X") + QString::number(n);
    if (QFileInfo::exists(socket)) return {};
    reason = QStringLiteral("DISPLAY is %1 but %2 does not exist").arg(display, socket);
  }
  return QLatin1String(kProgramPrefix) + QStringLiteral("no display to open the window on (") + reason +
         QStringLiteral(")") + kNoDisplayAdvice;
}

QtMessageHandler routeQtMessagesToLog() { return qInstallMessageHandler(qtMessageToLog); }

namespace {

// The arguments Qt gets: the program name only. The command line belongs to the
// upgrader, so an argument such as "-platform" is reported as a bad argument, not acted on.
struct QtArguments {
  explicit QtArguments(char* programName) : argv{programName, nullptr} {}
  int argc = 1;
  char* argv[2];
};

// The windows and the event loop; an exception that escapes them ends the run.
int runWindowsGuarded(QApplication& app) {
  QString failure;
  try {
    return runWindows(app);
  } catch (const std::exception& e) {
    failure = QString::fromLocal8Bit(e.what());
  } catch (...) {
    failure = QString();
  }
  // An exception escaped the windows or the event loop: the run did not end normally.
  logStartupError(kLineUnexpectedFailure, QStringLiteral("Unexpected failure, the program ends: ") + failure);
  orvane::ui::showMessageBox(QString::fromLatin1(orvane::kPlatformTitle), failure, orvane::ui::BoxIcon::Warning);
  return kExitFailed;
}

// The windows, for the operator or for one batch upgrade.
int runWithWindows(bool batch, QtArguments& qt) {
  if (!batch) {
    const QString missing = missingDisplayLine();
    if (!missing.isEmpty()) {
      // To the file only: with -DebugMsg and no display, a box could not show either.
      writeLogEntry(kSource, kLineNoDisplay, kFunction, LogToFile, LogLevelError,
                    missing.mid(qsizetype(sizeof kProgramPrefix) - 1));
      printErrorLine(missing);
      return kExitRefused;
    }
  } else {
    routeQtMessagesToLog();
    // A batch run must work on a machine without a display, or with a stale local one
    // (Qt would abort on it).
    if (batchNeedsOffscreenPlatform() || !missingDisplayLine().isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(qt.argc, qt.argv);
  QApplication::setApplicationDisplayName(QString::fromLatin1(orvane::kPlatformTitle));
  bindUiHooks();
  return runWindowsGuarded(app);
}

// A script that asked for JSON gets its result line for a refused command line too.
void printRefusalResult(const CommandLineOutcome& outcome) {
  RunSummary summary;
  summary.mode = outcome.script.check ? QStringLiteral("check")
                 : outcome.script.verify ? QStringLiteral("verify")
                                         : QStringLiteral("upgrade");
  if (outcome.selection.IPAddress != QLatin1String("0")) summary.ip = outcome.selection.IPAddress;
  summary.result = QStringLiteral("refused");
  summary.exitCode = kExitRefused;
  summary.stage = QStringLiteral("starting");
  summary.started = QDateTime::currentDateTimeUtc();
  for (const CommandLineMessage& m : outcome.messages) {
    if (m.terminal.isEmpty()) continue;
    summary.reason = m.terminal.mid(qsizetype(sizeof kProgramPrefix) - 1);
    break;
  }
  printJsonLine(resultEvent(summary));
}

// ---- The runs for scripts ----------------------------------------------------------

// The one dispatch point of the runs for scripts (no window).
int runScriptMode(const CommandLineOutcome& outcome) {
  const ScriptOptions& options = outcome.script;
  switch (outcome.result) {
    case CommandLineResult::Check: return runCheck(outcome.selection, options);
    case CommandLineResult::FileCheck: return runFileCheck(outcome.selection, options);
    case CommandLineResult::Verify: return runVerify(outcome.selection, options);
    case CommandLineResult::History: return runHistoryCommand(options.since, options.json);
    case CommandLineResult::Fleet: return runFleet(outcome.selection, options);
    case CommandLineResult::Interactive:
    case CommandLineResult::Batch:
    case CommandLineResult::Refused: break;  // never sent here
  }
  return kExitFailed;
}

// The current directory, byte-exact like the arguments.
QString currentDirectory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return QDir::currentPath();
  return orvane::decodeFileName(QByteArray(buffer));
}

}  // namespace

int runRoVivazava(int argc, char** argv) {
  const QStringList arguments = argumentsFromArgv(argc, argv);

  if (hasArgument(arguments, {"--help", "-h", "-?"})) {
    std::fputs(usageText().toLocal8Bit().constData(), stdout);
    return kExitDone;
  }
  if (hasArgument(arguments, {"--version"})) {
    std::printf("%s\n", orvane::kProgramVersionText);
    return kExitDone;
  }

  const QString executableDir = executableDirectory(argc > 0 ? argv[0] : nullptr);
  const QString logDirectory = prepareLogDirectory(executableDir);
  configureLog(LogToFile, 0, logDirectory);
  QtArguments qt(argc > 0 ? argv[0] : const_cast<char*>("orvane-upgrader"));

  if (isHeadlessScanRequest(arguments)) {
    routeQtMessagesToLog();
    QCoreApplication app(qt.argc, qt.argv);
    return runHeadlessScan(arguments);
  }

  GlobalSelection& selection = globalSelection();
  selection = GlobalSelection{};
  const CommandLineOutcome outcome = parseCommandLine(arguments, executableDir, currentDirectory());
  // Written before the final configuration: these entries go to the error file only.
  reportCommandLine(outcome);
  if (outcome.result == CommandLineResult::Refused) {
    if (hasArgument(arguments, {"--json"})) printRefusalResult(outcome);
    return kExitRefusedCommandLine;
  }
  selection = outcome.selection;
  globalScriptOptions() = outcome.script;

  configureLog(outcome.errorOutputs, outcome.generalOutputs, logDirectory);

  if (outcome.result == CommandLineResult::Interactive || outcome.result == CommandLineResult::Batch) {
    return runWithWindows(outcome.result == CommandLineResult::Batch, qt);
  }
  routeQtMessagesToLog();
  QCoreApplication app(qt.argc, qt.argv);
  return runScriptMode(outcome);
}
