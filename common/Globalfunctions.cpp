#include "common/Globalfunctions.h"

#include "common/UiHooks.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Process-wide configuration, set twice by the entry point and then only read.
struct LogConfiguration {
  // Until the entry point configures the facility, files land in the working directory.
  QString logDirectory = QStringLiteral(".");
  QString applicationName = QStringLiteral("My ORV Application");
  int errorOutputs = LogToConsole;
  int generalOutputs = LogToConsole;
  int highestLevel = 255;
  bool headerOnGeneral = false;
  bool singleErrorFile = false;
};

LogConfiguration& config() {
  static LogConfiguration c;
  return c;
}

// Serialises the facility between threads of this process; the flock below serialises
// it between processes.
std::mutex& facilityMutex() {
  static std::mutex m;
  return m;
}

int& lockWaitMs() {
  static int ms = kLogLockWaitMs;
  return ms;
}

constexpr int kLockPollMs = 10;

// The cross-process lock "LOG_FILE": flock on a file of that name in the temporary
// directory, shared by every program that uses this facility whatever its application
// name. The descriptor is opened on first use and kept for the life of the process. A
// child made by fork() shares the parent's open file description (and with it the lock),
// so a process that finds a descriptor opened by another pid opens its own.
struct LockFile {
  int fd = -1;
  pid_t owner = 0;
};

LockFile& lockFile() {
  static LockFile l;
  return l;
}

bool openLockFile() {
  LockFile& l = lockFile();
  if (l.fd >= 0 && l.owner == ::getpid()) return true;
  if (l.fd >= 0) ::close(l.fd);  // inherited across fork: not ours to lock with
  l.fd = -1;
  const QByteArray path = QFile::encodeName(logLockFilePath());
  int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);  // made by another user
  if (fd < 0) return false;
  l.fd = fd;
  l.owner = ::getpid();
  return true;
}

enum class LockResult { Acquired, TimedOut, Failed };

// Polls the lock until the deadline. The kernel drops a flock when its holder dies, so the
// "abandoned" outcome of a named mutex cannot happen here: a dead writer simply frees it.
LockResult acquireLock() {
  const int fd = lockFile().fd;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockWaitMs());
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Acquired;
    if (errno != EWOULDBLOCK && errno != EINTR) return LockResult::Failed;
    if (std::chrono::steady_clock::now() >= deadline) return LockResult::TimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(kLockPollMs));
  }
}

bool releaseLock(bool held) {
  if (!held) return false;  // after a failed wait this process does not own the lock
  return ::flock(lockFile().fd, LOCK_UN) == 0;
}

// The locale's long time format may carry a time-zone name ("t"); the entry header leaves
// it out so that the time reads like 14:05:09. Quoted literals are kept as they are.
QString timeFormatWithoutZone(const QString& format) {
  QString out;
  bool quoted = false;
  for (QChar c : format) {
    if (c == u'\'') quoted = !quoted;
    if (!quoted && c == u't') continue;
    out += c;
  }
  return out.simplified();
}

QString logFileName(bool isError, bool fallback) {
  const LogConfiguration& c = config();
  QString name = c.logDirectory + ((isError || c.singleErrorFile) ? QStringLiteral("/Error_") : QStringLiteral("/Log_")) +
                 c.applicationName;
  if (fallback) {
    // At least 1000000 and below 9999999: always seven digits.
    name += u'_' + QString::number(QRandomGenerator::global()->bounded(1000000, 9999999));
  }
  return name + QStringLiteral(".log");
}

QString fileHeader(bool isError) {
  const LogConfiguration& c = config();
  return (isError ? QStringLiteral("Error Log File\t\t") : QStringLiteral("Log File\t\t")) + c.applicationName +
         QStringLiteral("\t\t") + QStringLiteral("Orvane firmware upgrader log") + QStringLiteral("\r\n\r\n") +
         QStringLiteral("Date Hour File Function Line Error description\r\n\r\n");
}

void showWarning(const QString& text) {
  orvane::ui::showMessageBox(config().applicationName, text, orvane::ui::BoxIcon::Warning);
}

// Standard error stands in for the console window: it needs no opening, but once a write
// to it fails the facility stops trying, as it would after a console that cannot be made.
bool& consolePossible() {
  static bool possible = true;
  return possible;
}

}  // namespace

void configureErrorLog(int errorOutputs, const QString& logDirectory, const QString& applicationName) {
  std::lock_guard guard(facilityMutex());
  LogConfiguration& c = config();
  c.errorOutputs = errorOutputs;
  QString dir = logDirectory;
  while (dir.size() > 1 && dir.endsWith(u'/')) dir.chop(1);
  c.logDirectory = dir;
  c.applicationName = applicationName;
}

void configureGeneralLog(int generalOutputs, int highestLevel, bool headerOnGeneral, bool singleErrorFile,
                         const QString& applicationName) {
  std::lock_guard guard(facilityMutex());
  LogConfiguration& c = config();
  c.generalOutputs = generalOutputs;
  c.highestLevel = highestLevel;
  c.headerOnGeneral = headerOnGeneral;
  c.singleErrorFile = singleErrorFile;
  c.applicationName = applicationName;
}

QString logEntryHeader(const QDateTime& when, const QString& source, int line, const QString& function) {
  // QLocale() is the system locale unless a test has set another default.
  const QLocale locale;
  const QString date = locale.toString(when.date(), QLocale::ShortFormat);
  const QString time = when.time().toString(timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
  const int ms = when.time().msec();
  const QString msText = (ms >= 100 ? QStringLiteral(":") : ms >= 10 ? QStringLiteral(":0") : QStringLiteral(":00")) +
                         QString::number(ms);
  return date + u' ' + time + msText + u' ' + source + u' ' + QString::number(line) + u' ' + function +
         QStringLiteral("\r\n");
}

void writeLogEntry(const QString& source, int line, const QString& function, int outputs, int level,
                   const QString& text) {
  LogConfiguration c;
  {
    std::lock_guard guard(facilityMutex());
    c = config();
  }
  if (level > c.highestLevel) return;
  const bool isError = level == LogLevelError;
  const QString header =
      (isError || c.headerOnGeneral) ? logEntryHeader(QDateTime::currentDateTime(), source, line, function) : QString();
  if (outputs == UseConfiguredOutputs) outputs = isError ? c.errorOutputs : c.generalOutputs;

  if (outputs & LogToFile) appendToLogFile(header + text + QStringLiteral("\r\n\r\n"), isError);
  if (outputs & LogToConsole) writeConsole(header + (isError ? QStringLiteral("error:") : QString()) + text + QStringLiteral("\r\n"));
  if (outputs & LogToMessageBox) {
    const QString caption = c.applicationName + (isError ? QStringLiteral(" error") : QString());
    orvane::ui::showMessageBox(caption, header + text, orvane::ui::BoxIcon::None);
  }
}

void logEngineError(const QString& text) {
  writeLogEntry(QStringLiteral("----LOG_FILE"), 0, QStringLiteral("---LOG_FILE"), UseConfiguredOutputs, LogLevelError,
                text);
}

void appendToLogFile(const QString& entry, bool isError) {
  // Warnings are shown after the facility's own lock is given up: a message box may wait
  // for the operator, and other threads must still be able to log meanwhile.
  QString warning;
  {
    std::lock_guard guard(facilityMutex());
    if (!openLockFile()) {
      warning = QStringLiteral("Unable to Create Mutex for Log File writing");
    } else {
      const LockResult lock = acquireLock();
      const bool held = lock == LockResult::Acquired;
      QString problemLine;
      if (lock == LockResult::TimedOut) problemLine = QStringLiteral("Unable to write the log file (Mutex Timeout)\r\n\r\n");
      if (lock == LockResult::Failed) problemLine = QStringLiteral("Unable to write the log file (Mutex Unknown error)\r\n\r\n");

      const QString path = logFileName(isError, !held);
      // Existence is checked under the lock, so only one writer ever puts the header in.
      const bool isNew = !QFileInfo::exists(path);
      QByteArray bytes;
      if (isNew) bytes = QByteArrayLiteral("\xEF\xBB\xBF") + fileHeader(isError).toUtf8();
      bytes += problemLine.toUtf8();
      bytes += entry.toUtf8();

      QFile file(path);
      if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        // One write call: the entry reaches the file in one piece.
        if (file.write(bytes) != bytes.size() || !file.flush()) {
          std::fprintf(stderr, "Unable to write the log file %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                       qPrintable(file.errorString()));
        }
        file.close();
      } else {
        // Nothing is shown to the operator for this (a missing directory must not stop the
        // program), but standard error tells where the log could not go.
        std::fprintf(stderr, "Unable to open the log file %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                     qPrintable(file.errorString()));
      }
      if (!releaseLock(held)) warning = QStringLiteral("Unable to release Mutex for Log File writing");
    }
  }
  if (!warning.isEmpty()) showWarning(warning);
}

void writeConsole(const QString& text) {
  QString warning;
  {
    std::lock_guard guard(facilityMutex());
    if (!consolePossible()) return;
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(STDERR_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        consolePossible() = false;
        warning = QStringLiteral("Unable to open output console (error 0x%1)")
                      .arg(QString::number(n < 0 ? errno : EIO, 16).toUpper(), 4, u'0');
        break;
      }
      done += n;
    }
  }
  if (!warning.isEmpty()) showWarning(warning);
}

QString errorLogFilePath() {
  std::lock_guard guard(facilityMutex());
  return logFileName(true, false);
}

QString logLockFilePath() { return QDir::tempPath() + QStringLiteral("/LOG_FILE"); }

void setLogLockWaitMs(int milliseconds) {
  std::lock_guard guard(facilityMutex());
  lockWaitMs() = milliseconds;
}
