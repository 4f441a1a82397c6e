#include "TempHome.h"

#include "common/Globalfunctions.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace orvane::test {

QString builtProgram(const QString& name) {
  QString dir = qEnvironmentVariable("ORVANE_BIN_DIR");
  if (dir.isEmpty()) dir = QStringLiteral(ORVANE_BIN_DIR);
  return dir + u'/' + name;
}

TempHome::TempHome() : dir_(QDir::tempPath() + QStringLiteral("/orvane-home-XXXXXX")) {
  if (dir_.isValid()) {
    QDir(dir_.path()).mkpath(QStringLiteral("home"));
    QDir(dir_.path()).mkpath(QStringLiteral("tmp"));
    // A runtime directory must be closed to everyone else, or the log facility does not
    // use it.
    QDir(dir_.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(runtimePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
}

bool TempHome::isValid() const { return dir_.isValid(); }
QString TempHome::homePath() const { return dir_.path() + QStringLiteral("/home"); }
QString TempHome::tempPath() const { return dir_.path() + QStringLiteral("/tmp"); }
QString TempHome::runtimePath() const { return dir_.path() + QStringLiteral("/runtime"); }
QString TempHome::logDirectory() const { return homePath() + QStringLiteral("/Orvane_Data"); }
QString TempHome::errorLogPath() const {
  return logDirectory() + QStringLiteral("/Error_Orvane - Firmware upgrader.log");
}

QProcessEnvironment TempHome::environment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), homePath());
  env.insert(QStringLiteral("TMPDIR"), tempPath());
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimePath());
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  return env;
}

ProgramRun TempHome::run(const QStringList& arguments, const QStringList& extraEnvironment, int timeoutMs,
                         const QString& program) const {
  QProcessEnvironment env = environment();
  for (const QString& e : extraEnvironment) {
    const qsizetype eq = e.indexOf(u'=');
    if (eq < 0) {
      env.remove(e);
    } else {
      env.insert(e.left(eq), e.mid(eq + 1));
    }
  }
  QProcess p;
  p.setProcessEnvironment(env);
  p.setWorkingDirectory(homePath());
  p.start(program.isEmpty() ? builtProgram() : program, arguments);
  ProgramRun r;
  if (!p.waitForStarted(timeoutMs)) {
    r.standardError = p.errorString().toUtf8();
    return r;
  }
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished(5000);
  } else {
    r.finished = p.exitStatus() == QProcess::NormalExit;
    r.exitCode = p.exitCode();
  }
  r.standardOutput = p.readAllStandardOutput();
  r.standardError = p.readAllStandardError();
  return r;
}

QString TempHome::errorLogText() const { return readLogFileText(errorLogPath()); }
QByteArray TempHome::errorLogBytes() const { return readFileBytes(errorLogPath()); }

ErrorLogFile::ErrorLogFile() {
  configureErrorLog(LogToFile, dir_.path(), QStringLiteral("Orvane - Firmware upgrader"));
}

ErrorLogFile::~ErrorLogFile() {
  configureErrorLog(LogToConsole, QStringLiteral("."), QStringLiteral("My ORV Application"));
}

QString ErrorLogFile::text() const { return readLogFileText(errorLogFilePath()); }

QByteArray readFileBytes(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

QString readLogFileText(const QString& path) {
  QByteArray bytes = readFileBytes(path);
  if (bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
  return QString::fromUtf8(bytes);
}

QStringList filesMatching(const QString& directory, const QString& wildcard) {
  QStringList out;
  const QDir dir(directory);
  for (const QString& name : dir.entryList({wildcard}, QDir::Files, QDir::Name)) out.append(dir.filePath(name));
  return out;
}

}  // namespace orvane::test
