#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away user home and temporary directory for running the real upgrader, so that
// its error log and its LOG_FILE lock never touch the developer's own. Nothing here opens a
// socket: callers must only run command lines that end before any network access (or run
// inside a network lab).
namespace orvane::test {

struct ProgramRun {
  int exitCode = -1;
  bool finished = false;  // false: it could not start, crashed or ran past the deadline (then killed)
  QByteArray standardOutput;
  QByteArray standardError;
};

// Path of a program built into the build's bin directory (ORVANE_BIN_DIR).
QString builtProgram(const QString& name = QStringLiteral("orvane-upgrader"));

class TempHome {
 public:
  TempHome();
  bool isValid() const;

  QString homePath() const;    // HOME of the runs
  QString tempPath() const;     // TMPDIR of the runs
  QString runtimePath() const;  // XDG_RUNTIME_DIR of the runs (where the LOG_FILE lock lives)
  QString logDirectory() const;  // homePath() + "/Orvane_Data"
  QString errorLogPath() const;  // the error file of "Orvane - Firmware upgrader"

  // The environment of a run: this process's, with HOME, TMPDIR and XDG_RUNTIME_DIR replaced,
  // QT_QPA_PLATFORM=offscreen and DISPLAY/WAYLAND_DISPLAY removed.
  QProcessEnvironment environment() const;

  // Runs `program` (default: the upgrader) with the arguments; `extraEnvironment` entries
  // ("NAME=value", or "NAME" alone to remove it) adjust environment(). Waits at most
  // timeoutMs, then kills it.
  ProgramRun run(const QStringList& arguments, const QStringList& extraEnvironment = {}, int timeoutMs = 30000,
                 const QString& program = QString()) const;

  // The error log as text (BOM removed, empty when missing) and as raw bytes.
  QString errorLogText() const;
  QByteArray errorLogBytes() const;

 private:
  QTemporaryDir dir_;
};

// While it lives, the process's error entries go to a file of a temporary directory; then
// back to the console.
class ErrorLogFile {
 public:
  ErrorLogFile();
  ~ErrorLogFile();
  ErrorLogFile(const ErrorLogFile&) = delete;
  ErrorLogFile& operator=(const ErrorLogFile&) = delete;
  QString text() const;

 private:
  QTemporaryDir dir_;
};

// A file's raw bytes (empty when it cannot be read).
QByteArray readFileBytes(const QString& path);
// A log file as text: UTF-8, with a leading byte-order mark removed.
QString readLogFileText(const QString& path);
// Files in `directory` whose names match the wildcard, full paths, sorted.
QStringList filesMatching(const QString& directory, const QString& wildcard);

}  // namespace orvane::test
