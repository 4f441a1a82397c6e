#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/types.h>

class QDateTime;

// The log facility: every part of the system reports problems through writeLogEntry.
// Entries go to a log file (under a cross-process lock), to the console (standard
// error) or to a message box (through orvane::ui), as configured.

enum LogOutput : int {
  LogToFile = 1,
  LogToConsole = 2,
  LogToMessageBox = 4,
  UseConfiguredOutputs = 255,
};

inline constexpr int LogLevelError = -1;
inline constexpr int LogLevelGeneral = 0;

void configureErrorLog(int errorOutputs, const QString& logDirectory, const QString& applicationName);
void configureGeneralLog(int generalOutputs, int highestLevel, bool headerOnGeneral, bool singleErrorFile,
                         const QString& applicationName);

void writeLogEntry(const QString& source, int line, const QString& function, int outputs, int level,
                   const QString& text);

// An error entry of the upgrade engine: source "----LOG_FILE", line 0, label "---LOG_FILE".
void logEngineError(const QString& text);

// Used by writeLogEntry only. appendToLogFile returns false when no log file took the
// entry (writeLogEntry then writes it to standard error).
bool appendToLogFile(const QString& entry, bool isError);
void writeConsole(const QString& text);

// Where error entries (and, with the single-error-file setting, all entries) are written.
QString errorLogFilePath();

// The cross-process lock of the log files, one per user: the file LOG_FILE in
// $XDG_RUNTIME_DIR when that is an absolute path to a directory of this user closed to
// everyone else, otherwise LOG_FILE-<uid> in the temporary directory. A lock file that is
// not this user's own regular file is refused. Every writer waits at most kLogLockWaitMs
// for the lock; after that the entry goes to a new fallback file.
inline constexpr int kLogLockWaitMs = 5000;
QString logLockFilePath();
// Lets tests shorten the wait for the lock; the program itself always waits kLogLockWaitMs.
void setLogLockWaitMs(int milliseconds);

// Runs `write` while this process holds the log files' cross-process lock (and no other
// thread of it writes a log entry), for other files that the program's processes append
// to. Returns false with the reason in `error` when the lock could not be opened or was
// not free within the wait; `write` does not run then. `write` must not log.
bool runUnderLogLock(const std::function<void()>& write, QString* error = nullptr);

// Appends `bytes` to the regular file at `path` with one write(2) on a descriptor opened
// O_APPEND, creating the file with `createMode` (less the umask) when it is missing. A
// symbolic link, FIFO or anything else that is not a regular file is refused. A short
// write is cut back, so the file keeps only whole records. Returns why it failed, or an
// empty text. Call it under runUnderLogLock when other processes append too.
QString appendWholeToFile(const QString& path, const QByteArray& bytes, mode_t createMode);

// The directory the error log was configured with (see configureErrorLog), without a
// trailing '/'.
QString logDirectoryPath();

// The entry header of an entry written at `when`: local short date, long time without a
// zone, milliseconds as three digits, source, line and function, then CR LF.
QString logEntryHeader(const QDateTime& when, const QString& source, int line, const QString& function);
