#include "common/Globalfunctions.h"

#include "common/FileNames.h"
#include "common/UiHooks.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRandomGenerator>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// The cross-process lock "LOG_FILE": flock on a file of that name (see logLockFilePath),
// shared by every program of this user that uses this facility whatever its application
// name. The descriptor is opened on first use and kept while the lock's path stays the
// same. A child made by fork() shares the parent's open file description (and with it the
// lock), so a process that finds a descriptor opened by another pid opens its own.
struct LockFile {
  int fd = -1;
  pid_t owner = 0;
  QByteArray path;
};

LockFile& lockFile() {
  static LockFile l;
  return l;
}

// The lock file must be this user's own regular file, readable by nobody else: a name
// that another user made first, or a symbolic link planted there, would let that user
// hold up every writer. Such a file is refused.
int openOwnLockFile(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  const bool own = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                   ((st.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0);
  if (own) return fd;
  ::close(fd);
  return -1;
}

// True while `fd` is still the file named `path` (a cleaner of the temporary folder may
// have removed it, and another writer made a new one in its place).
bool isStillAt(int fd, const QByteArray& path) {
  struct stat held {}, named {};
  return ::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

bool openLockFile() {
  LockFile& l = lockFile();
  const QByteArray path = orvane::encodeFileName(logLockFilePath());
  if (l.fd >= 0 && l.owner == ::getpid() && l.path == path && isStillAt(l.fd, path)) return true;
  if (l.fd >= 0) ::close(l.fd);  // inherited across fork, moved or replaced
  l.fd = openOwnLockFile(path);
  if (l.fd < 0) return false;
  l.owner = ::getpid();
  l.path = path;
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

// A log file opened for appending, with its size at opening (taken under the lock).
struct AppendTarget {
  int fd = -1;
  off_t size = 0;
  QString error;  // why it could not be opened
};

// Opens a log file for appending. It never follows a symbolic link in place of the file
// and never waits for a reader of a FIFO: anything that is not a regular file is refused.
AppendTarget openForAppend(const QString& path, mode_t createMode = 0666) {
  AppendTarget target;
  const QByteArray name = orvane::encodeFileName(path);
  const int fd =
      ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, createMode);
  if (fd < 0) {
    // A FIFO without a reader (or a device without its hardware) answers ENXIO.
    target.error = errno == ENXIO ? QStringLiteral("it is not a regular file") : qt_error_string(errno);
    return target;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    target.error = QStringLiteral("it is not a regular file");
    ::close(fd);
    return target;
  }
  target.fd = fd;
  target.size = st.st_size;
  return target;
}

// One write call per entry, so that writers never interleave. A short write (a full
// disk, a file size limit) is cut off again: the file keeps only whole entries, and the
// next entry does not start in the middle of a torn one. Returns why it failed, or an
// empty text.
QString appendWhole(const AppendTarget& target, const QByteArray& bytes) {
  ssize_t n = 0;
  do {
    n = ::write(target.fd, bytes.constData(), size_t(bytes.size()));
  } while (n < 0 && errno == EINTR);
  if (n == ssize_t(bytes.size())) return QString();
  const QString reason = n < 0 ? qt_error_string(errno)
                               : QStringLiteral("only %1 of %2 bytes could be written").arg(n).arg(bytes.size());
  if (n > 0) (void)!::ftruncate(target.fd, target.size);
  return reason;
}

// Appends `text` to the log file at `path`, after the BOM and the file header when the
// file is empty (its size is read under the lock, so only one writer puts them in).
// Problems go to standard error: nothing is shown to the operator for them (a missing
// directory must not stop the program). Returns true when the text is in the file.
bool writeToLogFile(const QString& path, const QString& text, bool isError) {
  const AppendTarget target = openForAppend(path);
  if (target.fd < 0) {
    std::fprintf(stderr, "Unable to open the log file %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                 qPrintable(target.error));
    return false;
  }
  QByteArray bytes;
  if (target.size == 0) bytes = QByteArrayLiteral("\xEF\xBB\xBF") + fileHeader(isError).toUtf8();
  bytes += text.toUtf8();
  const QString failure = appendWhole(target, bytes);
  ::close(target.fd);
  if (failure.isEmpty()) return true;
  std::fprintf(stderr, "Unable to write the log file %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
               qPrintable(failure));
  return false;
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

  // An entry that no log file could take goes to standard error instead (in its console
  // form), so that the reason of a refusal is not lost.
  if ((outputs & LogToFile) && !appendToLogFile(header + text + QStringLiteral("\r\n\r\n"), isError)) {
    outputs |= LogToConsole;
  }
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

bool appendToLogFile(const QString& entry, bool isError) {
  // Warnings are shown after the facility's own lock is given up: a message box may wait
  // for the operator, and other threads must still be able to log meanwhile.
  QString warning;
  bool written = false;
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
      written = writeToLogFile(logFileName(isError, !held), problemLine + entry, isError);
      if (!releaseLock(held)) warning = QStringLiteral("Unable to release Mutex for Log File writing");
    }
  }
  if (!warning.isEmpty()) showWarning(warning);
  return written;
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

QString logLockFilePath() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  struct stat st {};
  const bool usable = runtime.startsWith('/') && ::stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                      st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
  if (usable) return orvane::decodeFileName(runtime) + QStringLiteral("/LOG_FILE");
  return QDir::tempPath() + QStringLiteral("/LOG_FILE-") + QString::number(::geteuid());
}

void setLogLockWaitMs(int milliseconds) {
  std::lock_guard guard(facilityMutex());
  lockWaitMs() = milliseconds;
}

bool runUnderLogLock(const std::function<void()>& write, QString* error) {
  QString reason;
  {
    std::lock_guard guard(facilityMutex());
    const QString lockPath = QDir::toNativeSeparators(logLockFilePath());
    if (!openLockFile()) {
      reason = QStringLiteral("the lock file %1 could not be opened").arg(lockPath);
    } else {
      const LockResult lock = acquireLock();
      const int lockError = errno;
      if (lock == LockResult::Acquired) {
        write();
        releaseLock(true);
        return true;
      }
      reason = lock == LockResult::TimedOut
                   ? QStringLiteral("the lock %1 was not free within %2 ms").arg(lockPath).arg(lockWaitMs())
                   : QStringLiteral("the lock %1 could not be taken: %2").arg(lockPath, qt_error_string(lockError));
    }
  }
  if (error) *error = reason;
  return false;
}

QString appendWholeToFile(const QString& path, const QByteArray& bytes, mode_t createMode) {
  const AppendTarget target = openForAppend(path, createMode);
  if (target.fd < 0) return target.error;
  const QString failure = appendWhole(target, bytes);
  ::close(target.fd);
  return failure;
}

QString logDirectoryPath() {
  std::lock_guard guard(facilityMutex());
  return config().logDirectory;
}
