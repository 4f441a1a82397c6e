// The log facility: entry layout byte for byte, outputs and levels, the console form, the
// message-box form, the cross-process lock with its fallback file, and writers in several
// processes at once.

#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using orvane::test::filesMatching;
using orvane::test::GlobalStateGuard;
using orvane::test::readFileBytes;

namespace {

const QString kApp = QStringLiteral("Orvane - Firmware upgrader");
const QByteArray kBom = QByteArrayLiteral("\xEF\xBB\xBF");

QByteArray fileHeader(const QString& kind) {
  return kBom + (kind + QStringLiteral("\t\t") + kApp +
                 QStringLiteral("\t\tOrvane firmware upgrader log\r\n\r\nDate Hour File Function Line Error description\r\n\r\n"))
                    .toUtf8();
}

// The entry header in the C locale: "9 Dec 2024 14:05:09:042 ".
const QString kHeaderTime = QStringLiteral(R"(\d{1,2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2}:\d{3})");

// Every test binary gets its own TMPDIR and XDG_RUNTIME_DIR, so its LOG_FILE lock is not
// shared with other test runs on the same machine (a test here holds it for seconds).
// Dates are written in the C locale unless a test chooses another.
class PrivateTempEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(runtime_.isValid());
    qputenv("TMPDIR", dir_.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
    QLocale::setDefault(QLocale::c());
  }

 private:
  QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/orvane-logtest-XXXXXX")};
  QTemporaryDir runtime_{QDir::tempPath() + QStringLiteral("/orvane-logrun-XXXXXX")};
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new PrivateTempEnvironment);

struct Box {
  QString caption, text;
  orvane::ui::BoxIcon icon;
};

class LogFacility : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    boxes_.clear();
    orvane::ui::setMessageBoxHandler(
        [this](const QString& c, const QString& t, orvane::ui::BoxIcon i) { boxes_.push_back({c, t, i}); });
    configureStartup(LogToFile, 0);
    setLogLockWaitMs(kLogLockWaitMs);
  }
  // The configuration the entry point sets.
  void configureStartup(int errorOutputs, int generalOutputs) {
    configureErrorLog(errorOutputs, dir_.path(), kApp);
    configureGeneralLog(generalOutputs, 255, false, true, kApp);
  }
  QString errorFile() const { return dir_.path() + QStringLiteral("/Error_") + kApp + QStringLiteral(".log"); }
  QStringList logFiles() const { return filesMatching(dir_.path(), QStringLiteral("*.log")); }

  orvane::test::GlobalStateGuard globals_;
  QTemporaryDir dir_;
  std::vector<Box> boxes_;
};

// Runs `body` with standard error sent to a file; returns what was written.
template <typename F>
QByteArray captureStderr(F body) {
  QTemporaryFile capture;
  EXPECT_TRUE(capture.open());
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(capture.handle(), STDERR_FILENO);
  body();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  return readFileBytes(capture.fileName());
}

// The US header as the installed Qt's locale data writes 14:05:09 on 9 Dec 2024 (the
// space before "PM" differs between versions of that data): its short time with the seconds.
QString usHeaderAt140509(const char* rest) {
  const QLocale us(QLocale::English, QLocale::UnitedStates);
  QString time = us.toString(QTime(14, 5, 9), QLocale::ShortFormat);
  time.replace(QStringLiteral("2:05"), QStringLiteral("2:05:09"));
  return us.toString(QDate(2024, 12, 9), QLocale::ShortFormat) + u' ' + time + QString::fromLatin1(rest);
}

TEST(LogEntryHeader, MillisecondsAlwaysThreeDigitsAndLocaleDateTime) {
  struct Case {
    QLocale locale;
    int ms;
    QString expected;
  };
  const QLocale german(QLocale::German, QLocale::Germany);
  const QLocale us(QLocale::English, QLocale::UnitedStates);
  const Case cases[] = {
      {german, 42, "09.12.24 14:05:09:042 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {german, 7, "09.12.24 14:05:09:007 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {german, 70, "09.12.24 14:05:09:070 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {german, 700, "09.12.24 14:05:09:700 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {german, 0, "09.12.24 14:05:09:000 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {german, 999, "09.12.24 14:05:09:999 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      // No time-zone name in the long time, whatever the locale's format carries.
      {QLocale::c(), 7, "9 Dec 2024 14:05:09:007 ----LOG_FILE 0 ---LOG_FILE\r\n"},
      {us, 70, usHeaderAt140509(":070 ----LOG_FILE 0 ---LOG_FILE\r\n")},
  };
  GlobalStateGuard globals;
  for (const Case& c : cases) {
    globals.setLocale(c.locale);
    const QDateTime when(QDate(2024, 12, 9), QTime(14, 5, 9, c.ms));
    EXPECT_EQ(logEntryHeader(when, QStringLiteral("----LOG_FILE"), 0, QStringLiteral("---LOG_FILE")).toStdString(),
              c.expected.toStdString())
        << c.locale.name().toStdString() << " " << c.ms;
  }
  globals.setLocale(QLocale::c());
  EXPECT_EQ(logEntryHeader(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6)), QStringLiteral("RoVivazava"), 107,
                           QStringLiteral("wWinMain")),
            QStringLiteral("2 Jan 2024 03:04:05:006 RoVivazava 107 wWinMain\r\n"));
}

TEST_F(LogFacility, FirstEntryGetsBomAndFileHeaderSecondIsAppended) {
  logEngineError(QStringLiteral("Socket error on common port !"));
  writeLogEntry(QStringLiteral("ScanOrvaneModule"), 12, QStringLiteral("scanOrvaneDevice"), UseConfiguredOutputs,
                LogLevelError, QStringLiteral("Zweite Meldung äöü"));
  ASSERT_EQ(logFiles(), QStringList{errorFile()});
  const QByteArray bytes = readFileBytes(errorFile());
  const QByteArray header = fileHeader(QStringLiteral("Error Log File"));
  ASSERT_TRUE(bytes.startsWith(header)) << bytes.left(200).toStdString();
  const QString rest = QString::fromUtf8(bytes.mid(header.size()));
  const QRegularExpression entries(QStringLiteral("\\A") + kHeaderTime +
                                   QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nSocket error on common port !\\r\\n\\r\\n") +
                                   kHeaderTime +
                                   QStringLiteral(" ScanOrvaneModule 12 scanOrvaneDevice\\r\\nZweite Meldung äöü\\r\\n\\r\\n\\z"));
  EXPECT_TRUE(entries.match(rest).hasMatch()) << rest.toStdString();
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(LogFacility, OutputsAndLevelsDecideWhereAnEntryGoes) {
  // With the start-up configuration a general entry goes nowhere.
  writeLogEntry(QStringLiteral("S"), 1, QStringLiteral("f"), UseConfiguredOutputs, LogLevelGeneral, QStringLiteral("g"));
  // Above the highest level nothing happens, whatever the outputs.
  writeLogEntry(QStringLiteral("S"), 1, QStringLiteral("f"), LogToFile | LogToMessageBox, 256, QStringLiteral("h"));
  EXPECT_TRUE(logFiles().isEmpty());
  EXPECT_TRUE(boxes_.empty());

  // Outputs 4: a box only, never a file.
  writeLogEntry(QStringLiteral("S"), 3, QStringLiteral("f"), LogToMessageBox, LogLevelError, QStringLiteral("box only"));
  EXPECT_TRUE(logFiles().isEmpty());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].caption, kApp + QStringLiteral(" error"));
  EXPECT_EQ(boxes_[0].icon, orvane::ui::BoxIcon::None);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A") + kHeaderTime + QStringLiteral(" S 3 f\\r\\nbox only\\z"))
                  .match(boxes_[0].text)
                  .hasMatch())
      << boxes_[0].text.toStdString();

  // A general entry in a box: the plain caption and, without headerOnGeneral, no header.
  writeLogEntry(QStringLiteral("S"), 4, QStringLiteral("f"), LogToMessageBox, LogLevelGeneral, QStringLiteral("note"));
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[1].caption, kApp);
  EXPECT_EQ(boxes_[1].text, QStringLiteral("note"));
}

TEST_F(LogFacility, DebugMsgConfigurationAddsTheBoxToErrorEntries) {
  configureStartup(LogToFile | LogToMessageBox, 0);
  logEngineError(QStringLiteral("Upgrade failed."));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].caption, QStringLiteral("Orvane - Firmware upgrader error"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A") + kHeaderTime +
                                 QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nUpgrade failed\\.\\z"))
                  .match(boxes_[0].text)
                  .hasMatch());
  // The file holds the same header and text as the box.
  const QByteArray file = readFileBytes(errorFile());
  EXPECT_TRUE(file.endsWith((boxes_[0].text + QStringLiteral("\r\n\r\n")).toUtf8()));
}

TEST_F(LogFacility, SeparateFilesForGeneralEntriesWhenNotSingleErrorFile) {
  configureErrorLog(LogToFile, dir_.path(), kApp);
  configureGeneralLog(LogToFile, 255, true, false, kApp);
  writeLogEntry(QStringLiteral("S"), 5, QStringLiteral("f"), UseConfiguredOutputs, LogLevelGeneral, QStringLiteral("general"));
  writeLogEntry(QStringLiteral("S"), 6, QStringLiteral("f"), UseConfiguredOutputs, LogLevelError, QStringLiteral("error"));
  const QString generalFile = dir_.path() + QStringLiteral("/Log_") + kApp + QStringLiteral(".log");
  EXPECT_EQ(logFiles(), (QStringList{errorFile(), generalFile}));
  const QByteArray general = readFileBytes(generalFile);
  ASSERT_TRUE(general.startsWith(fileHeader(QStringLiteral("Log File"))));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A") + kHeaderTime + QStringLiteral(" S 5 f\\r\\ngeneral\\r\\n\\r\\n\\z"))
                  .match(QString::fromUtf8(general.mid(fileHeader(QStringLiteral("Log File")).size())))
                  .hasMatch());
  EXPECT_TRUE(readFileBytes(errorFile()).startsWith(fileHeader(QStringLiteral("Error Log File"))));

  // Without the header on general entries, a general entry is the bare text.
  configureGeneralLog(LogToFile, 255, false, false, kApp);
  writeLogEntry(QStringLiteral("S"), 7, QStringLiteral("f"), UseConfiguredOutputs, LogLevelGeneral, QStringLiteral("bare"));
  EXPECT_TRUE(readFileBytes(generalFile).endsWith("general\r\n\r\nbare\r\n\r\n"));
}

TEST_F(LogFacility, ConsoleFormGoesToStandardErrorAsUtf8) {
  const QByteArray out = captureStderr([] {
    writeLogEntry(QStringLiteral("S"), 8, QStringLiteral("f"), LogToConsole, LogLevelError, QStringLiteral("kaputt ß"));
    writeLogEntry(QStringLiteral("S"), 9, QStringLiteral("f"), LogToConsole, LogLevelGeneral, QStringLiteral("info"));
  });
  const QRegularExpression expected(QStringLiteral("\\A") + kHeaderTime +
                                    QStringLiteral(" S 8 f\\r\\nerror:kaputt ß\\r\\ninfo\\r\\n\\z"));
  EXPECT_TRUE(expected.match(QString::fromUtf8(out)).hasMatch()) << out.toStdString();
  EXPECT_TRUE(logFiles().isEmpty());
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(LogFacility, MissingLogDirectoryWritesNothingAndSaysSoOnStandardError) {
  configureErrorLog(LogToFile, dir_.path() + QStringLiteral("/missing"), kApp);
  const QByteArray err = captureStderr([] { logEngineError(QStringLiteral("lost")); });
  EXPECT_TRUE(err.startsWith("Unable to open the log file ")) << err.toStdString();
  // The entry itself follows in its console form: the reason is not lost.
  EXPECT_TRUE(QRegularExpression(kHeaderTime + QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nerror:lost\\r\\n\\z"))
                  .match(QString::fromUtf8(err))
                  .hasMatch())
      << err.toStdString();
  EXPECT_TRUE(boxes_.empty());
  EXPECT_FALSE(QFileInfo::exists(dir_.path() + QStringLiteral("/missing")));
}

// Holds the LOG_FILE lock through a descriptor of its own, as another process would.
class LockHolder {
 public:
  LockHolder() {
    fd_ = ::open(QFile::encodeName(logLockFilePath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~LockHolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

TEST_F(LogFacility, LockNotFreeInTimeSendsTheEntryToAFallbackFile) {
  setLogLockWaitMs(200);
  {
    LockHolder holder;
    ASSERT_TRUE(holder.locked());
    logEngineError(QStringLiteral("written while locked"));
  }
  const QStringList files = logFiles();
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("/Error_Orvane - Firmware upgrader_[1-9]\\d{6}\\.log\\z"))
                  .match(files[0])
                  .hasMatch())
      << files[0].toStdString();
  const QByteArray bytes = readFileBytes(files[0]);
  const QByteArray start = fileHeader(QStringLiteral("Error Log File")) + "Unable to write the log file (Mutex Timeout)\r\n\r\n";
  ASSERT_TRUE(bytes.startsWith(start)) << bytes.toStdString();
  EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A") + kHeaderTime +
                                 QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nwritten while locked\\r\\n\\r\\n\\z"))
                  .match(QString::fromUtf8(bytes.mid(start.size())))
                  .hasMatch());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].caption, kApp);
  EXPECT_EQ(boxes_[0].text, QStringLiteral("Unable to release Mutex for Log File writing"));
  EXPECT_EQ(boxes_[0].icon, orvane::ui::BoxIcon::Warning);

  // Once the holder lets go, entries go to the normal file again.
  logEngineError(QStringLiteral("after"));
  EXPECT_TRUE(QFileInfo::exists(errorFile()));
  EXPECT_EQ(boxes_.size(), 1u);
}

TEST_F(LogFacility, HolderThatDiesFreesTheLock) {
  // flock is released by the kernel when its holder ends: no "abandoned" state exists.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open(QFile::encodeName(logLockFilePath()).constData(), O_RDWR | O_CREAT, 0666);
    const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 1 : 0;
    (void)!::write(ready[1], &ok, 1);
    _exit(0);  // dies holding the lock
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
  setLogLockWaitMs(200);
  logEngineError(QStringLiteral("after a dead holder"));
  EXPECT_EQ(logFiles(), QStringList{errorFile()});
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(LogFacility, WritersInSeveralProcessesNeverInterleave) {
  constexpr int kWriters = 3;
  constexpr int kEntries = 300;
  // A long text makes a torn write visible.
  const QString filler(300, u'x');
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEntries; ++i) {
        logEngineError(QStringLiteral("writer %1 entry %2 ").arg(w).arg(i) + filler);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_EQ(logFiles(), QStringList{errorFile()}) << "a writer fell back: the lock was held too long";
  const QByteArray bytes = readFileBytes(errorFile());
  const QByteArray header = fileHeader(QStringLiteral("Error Log File"));
  ASSERT_TRUE(bytes.startsWith(header));
  EXPECT_EQ(bytes.count(kBom), 1);
  EXPECT_EQ(bytes.count("Error Log File"), 1);

  const QRegularExpression entry(QStringLiteral("\\G") + kHeaderTime +
                                 QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nwriter (\\d) entry (\\d+) ") + filler +
                                 QStringLiteral("\\r\\n\\r\\n"));
  const QString rest = QString::fromUtf8(bytes.mid(header.size()));
  int next[kWriters] = {};
  qsizetype pos = 0;
  int count = 0;
  while (pos < rest.size()) {
    const auto m = entry.match(rest, pos, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
    ASSERT_TRUE(m.hasMatch()) << "torn entry at " << pos << ": " << rest.mid(pos, 120).toStdString();
    const int w = m.captured(1).toInt();
    ASSERT_LT(w, kWriters);
    EXPECT_EQ(m.captured(2).toInt(), next[w]++) << "writer " << w << " out of order";
    pos = m.capturedEnd();
    ++count;
  }
  EXPECT_EQ(count, kWriters * kEntries);
}

// Runs `body` in a child process with standard error sent through a pipe (not a file: a
// file size limit of the child must not apply to it); returns the wait status and what
// the child wrote there. A child still busy after 60 s is ended by SIGALRM, so a writer
// that blocks shows as a failed test instead of a hang.
template <typename F>
std::pair<int, QByteArray> runInChild(F body) {
  int out[2];
  if (pipe(out) != 0) return {-1, QByteArray()};
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    dup2(out[1], STDERR_FILENO);
    alarm(60);
    body();
    fflush(stderr);
    _exit(0);
  }
  close(out[1]);
  QByteArray written;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) written.append(buffer, n);
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  int status = -1;
  if (child > 0) waitpid(child, &status, 0);
  return {status, written};
}

bool exitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// The console form of an engine error entry with this text, at the end of `out`.
bool endsWithConsoleEntry(const QByteArray& out, const QString& text) {
  return QRegularExpression(kHeaderTime + QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nerror:") +
                            QRegularExpression::escape(text) + QStringLiteral("\\r\\n\\z"))
      .match(QString::fromUtf8(out))
      .hasMatch();
}

// A file that cannot take a whole entry (a full disk; here the file size limit) keeps
// none of it: the next entry that fits starts where the last whole one ended.
TEST_F(LogFacility, ShortWriteIsCutBackSoTheNextEntryStartsClean) {
  logEngineError(QStringLiteral("first"));
  const qint64 before = QFileInfo(errorFile()).size();
  ASSERT_GT(before, 0);
  const QString longText = QStringLiteral("long ") + QString(300, u'x');
  const auto [status, err] = runInChild([&] {
    // Room for 100 more bytes: the long entry fits only in part, the short one whole.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{rlim_t(before + 100), rlim_t(before + 100)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    logEngineError(longText);
    logEngineError(QStringLiteral("short"));
  });
  ASSERT_TRUE(exitedCleanly(status)) << status;
  const QByteArray bytes = readFileBytes(errorFile());
  const QByteArray header = fileHeader(QStringLiteral("Error Log File"));
  ASSERT_TRUE(bytes.startsWith(header));
  const QRegularExpression entries(QStringLiteral("\\A") + kHeaderTime +
                                   QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nfirst\\r\\n\\r\\n") + kHeaderTime +
                                   QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nshort\\r\\n\\r\\n\\z"));
  EXPECT_TRUE(entries.match(QString::fromUtf8(bytes.mid(header.size()))).hasMatch()) << bytes.toStdString();
  // The entry that did not fit is on standard error, after the reason.
  EXPECT_TRUE(err.startsWith("Unable to write the log file " + QFile::encodeName(errorFile()) + ": "))
      << err.toStdString();
  EXPECT_TRUE(err.contains("error:" + longText.toUtf8() + "\r\n")) << err.toStdString();
}

// A lock file made by someone else, as this user could see it.
bool lockIsFree() {
  const int fd = ::open(QFile::encodeName(logLockFilePath()).constData(), O_RDWR | O_CLOEXEC);
  const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

// Something other than a regular file in place of the log file is refused at once: it is
// not written through, it does not hold up the writer, and the entry goes to standard
// error. The symbolic link's target and the FIFO's reader receive nothing.
TEST_F(LogFacility, LogPathThatIsNotARegularFileIsRefused) {
  const QByteArray path = QFile::encodeName(errorFile());
  const QString target = dir_.filePath(QStringLiteral("target.txt"));
  int reader = -1;
  struct Case {
    const char* what;
    std::function<bool()> make;
  };
  const Case cases[] = {
      {"FIFO with a reader",
       [&] {
         if (::mkfifo(path.constData(), 0600) != 0) return false;
         reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         return reader >= 0;
       }},
      {"symbolic link", [&] { return QFile::link(target, errorFile()); }},
      {"directory", [&] { return QDir().mkdir(errorFile()); }},
  };
  {
    QFile t(target);
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write("kept");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.make());
    const QByteArray err = captureStderr([] { logEngineError(QStringLiteral("refused")); });
    EXPECT_TRUE(err.startsWith("Unable to open the log file " + path + ": ")) << err.toStdString();
    EXPECT_TRUE(endsWithConsoleEntry(err, QStringLiteral("refused"))) << err.toStdString();
    EXPECT_TRUE(lockIsFree());
    EXPECT_TRUE(boxes_.empty());
    if (reader >= 0) {
      char byte = 0;
      EXPECT_LE(::read(reader, &byte, 1), 0) << "the entry went into the FIFO";
      ::close(reader);
      reader = -1;
    }
    EXPECT_EQ(readFileBytes(target), QByteArray("kept"));
    EXPECT_TRUE(filesMatching(dir_.path(), QStringLiteral("Error_*_*.log")).isEmpty());
    ASSERT_TRUE(::unlink(path.constData()) == 0 || ::rmdir(path.constData()) == 0);
  }
}

// A FIFO that nobody reads would block a plain open for writing for ever, with the lock
// held: every other writer would then wait in vain.
TEST_F(LogFacility, FifoWithoutReaderDoesNotBlockTheWriter) {
  ASSERT_EQ(::mkfifo(QFile::encodeName(errorFile()).constData(), 0600), 0);
  const auto [status, err] = runInChild([] { logEngineError(QStringLiteral("nobody reads this")); });
  EXPECT_TRUE(exitedCleanly(status)) << "the writer blocked on the FIFO (status " << status << ")";
  EXPECT_TRUE(err.startsWith("Unable to open the log file ")) << err.toStdString();
  EXPECT_TRUE(endsWithConsoleEntry(err, QStringLiteral("nobody reads this"))) << err.toStdString();
  EXPECT_TRUE(lockIsFree());
}

// The lock is this user's: in a runtime directory only this user can enter, or else under
// a name of this user's own in the temporary folder. The lock file is closed to others.
TEST_F(LogFacility, LockLivesInTheRuntimeDirectoryOrUnderAPerUserName) {
  QTemporaryDir base;
  ASSERT_TRUE(base.isValid());
  const QString fallback = QDir::tempPath() + QStringLiteral("/LOG_FILE-") + QString::number(::geteuid());
  const QString own = base.filePath(QStringLiteral("own"));
  const QString open = base.filePath(QStringLiteral("open"));
  const QString plainFile = base.filePath(QStringLiteral("file"));
  const QString foreign = base.filePath(QStringLiteral("foreign"));
  ASSERT_EQ(::mkdir(QFile::encodeName(own).constData(), 0700), 0);
  ASSERT_EQ(::mkdir(QFile::encodeName(open).constData(), 0700), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
  ASSERT_EQ(::mkdir(QFile::encodeName(foreign).constData(), 0700), 0);
  const bool asRoot = ::geteuid() == 0;
  if (asRoot) {
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
  }
  ASSERT_TRUE(QFile(plainFile).open(QIODevice::WriteOnly));
  struct Case {
    const char* what;
    std::optional<QString> runtime;
    QString lock;
  };
  std::vector<Case> cases = {
      {"runtime directory", own, own + QStringLiteral("/LOG_FILE")},
      {"no runtime directory", std::nullopt, fallback},
      {"empty", QString(), fallback},
      {"relative", QStringLiteral("own"), fallback},
      {"others may enter it", open, fallback},
      {"missing", base.filePath(QStringLiteral("missing")), fallback},
      {"not a directory", plainFile, fallback},
  };
  if (asRoot) cases.push_back({"another user's directory", foreign, fallback});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.runtime) {
      globals_.setEnv("XDG_RUNTIME_DIR", QFile::encodeName(*c.runtime));
    } else {
      globals_.unsetEnv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(logLockFilePath(), c.lock);
    logEngineError(QString::fromLatin1(c.what));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(c.lock).constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(readFileBytes(errorFile()).endsWith(QByteArray(c.what) + "\r\n\r\n"));
  }
  EXPECT_EQ(logFiles(), QStringList{errorFile()});
  EXPECT_TRUE(boxes_.empty());
}

// Another user on the machine can neither open this user's lock file nor make this
// user's writers wait by holding a lock of the same name in the shared temporary folder.
TEST_F(LogFacility, AnotherUserCannotHoldTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  // A shared folder like /tmp (sticky, open to all), reachable by the other user.
  QTemporaryDir shared(QStringLiteral("/tmp/orvane-shared-XXXXXX"));
  ASSERT_TRUE(shared.isValid());
  ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
  globals_.setEnv("TMPDIR", QFile::encodeName(shared.path()));
  globals_.unsetEnv("XDG_RUNTIME_DIR");
  // The entries are written by fresh processes, as by separate runs of a program: the
  // first one makes this user's lock file.
  ASSERT_TRUE(exitedCleanly(runInChild([] { logEngineError(QStringLiteral("before")); }).first));
  const QByteArray candidates[] = {QFile::encodeName(logLockFilePath()),
                                   QFile::encodeName(shared.path() + QStringLiteral("/LOG_FILE"))};
  int go[2], ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other user locks whatever it can open or make under either name, then waits.
    close(go[1]);
    close(ready[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(3);
    for (const QByteArray& path : candidates) {
      int fd = ::open(path.constData(), O_RDONLY);
      if (fd < 0) fd = ::open(path.constData(), O_RDWR | O_CREAT, 0666);
      if (fd >= 0) (void)::flock(fd, LOCK_EX | LOCK_NB);
    }
    const char ok = 1;
    (void)!::write(ready[1], &ok, 1);
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    _exit(0);
  }
  close(go[0]);
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  setLogLockWaitMs(200);
  const auto [writer, err] =
      runInChild([] { logEngineError(QStringLiteral("while another user holds what it can")); });
  EXPECT_TRUE(exitedCleanly(writer)) << writer;
  EXPECT_TRUE(err.isEmpty()) << err.toStdString();
  close(go[1]);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(exitedCleanly(status)) << status;
  EXPECT_EQ(logFiles(), QStringList{errorFile()}) << "the entry fell back: the other user held the lock";
  const QByteArray bytes = readFileBytes(errorFile());
  EXPECT_FALSE(bytes.contains("Mutex Timeout"));
  EXPECT_TRUE(bytes.endsWith("while another user holds what it can\r\n\r\n"));
}

// A lock file that is not this user's own regular file is refused without any wait: the
// operator is warned that there is no lock, and the entry goes to standard error.
TEST_F(LogFacility, LockFileThatIsNotTheUsersOwnIsRefused) {
  globals_.unsetEnv("XDG_RUNTIME_DIR");
  const QByteArray lock = QFile::encodeName(logLockFilePath());
  const QByteArray elsewhere = QFile::encodeName(dir_.filePath(QStringLiteral("elsewhere")));
  struct Case {
    const char* what;
    std::function<bool()> plant;
  };
  std::vector<Case> cases = {
      {"symbolic link", [&] { return ::close(::open(elsewhere.constData(), O_RDWR | O_CREAT, 0600)) == 0 &&
                                     ::symlink(elsewhere.constData(), lock.constData()) == 0; }},
      {"directory", [&] { return ::mkdir(lock.constData(), 0700) == 0; }},
  };
  if (::geteuid() == 0) {
    cases.push_back({"another user's file", [&] {
                       const int fd = ::open(lock.constData(), O_RDWR | O_CREAT | O_EXCL, 0666);
                       return fd >= 0 && ::fchown(fd, 65534, 65534) == 0 && ::close(fd) == 0;
                     }});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)!(::unlink(lock.constData()) == 0 || ::rmdir(lock.constData()) == 0);
    ASSERT_TRUE(c.plant());
    boxes_.clear();
    const QByteArray err = captureStderr([] { logEngineError(QStringLiteral("no lock")); });
    EXPECT_TRUE(endsWithConsoleEntry(err, QStringLiteral("no lock"))) << err.toStdString();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, QStringLiteral("Unable to Create Mutex for Log File writing"));
    EXPECT_EQ(boxes_[0].icon, orvane::ui::BoxIcon::Warning);
    EXPECT_TRUE(logFiles().isEmpty());
  }
  (void)!(::unlink(lock.constData()) == 0 || ::rmdir(lock.constData()) == 0);
  boxes_.clear();
  logEngineError(QStringLiteral("own lock again"));
  EXPECT_EQ(logFiles(), QStringList{errorFile()});
  EXPECT_TRUE(boxes_.empty());
}

// Before the entry point configures anything, error and general entries go to the console
// and the files would be named after "My ORV Application" in the working directory. Runs
// in a child process of its own, so that no earlier test has configured the facility.
TEST(LogDefaults, BeforeAnyConfigurationEntriesGoToTheConsole) {
  if (qEnvironmentVariableIsSet("ORVANE_LOG_DEFAULTS_CHILD")) {
    EXPECT_EQ(errorLogFilePath(), QStringLiteral("./Error_My ORV Application.log"));
    logEngineError(QStringLiteral("default error"));
    writeLogEntry(QStringLiteral("S"), 1, QStringLiteral("f"), UseConfiguredOutputs, LogLevelGeneral,
                  QStringLiteral("default general"));
    EXPECT_FALSE(QFileInfo::exists(errorLogFilePath()));
    return;
  }
  QTemporaryDir work;
  ASSERT_TRUE(work.isValid());
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("ORVANE_LOG_DEFAULTS_CHILD"), QStringLiteral("1"));
  child.setProcessEnvironment(env);
  child.setWorkingDirectory(work.path());
  child.start(QStringLiteral("/proc/self/exe"),
              {QStringLiteral("--gtest_filter=LogDefaults.BeforeAnyConfigurationEntriesGoToTheConsole")});
  ASSERT_TRUE(child.waitForFinished(30000));
  EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString();
  const QString err = QString::fromUtf8(child.readAllStandardError());
  EXPECT_TRUE(QRegularExpression(kHeaderTime + QStringLiteral(" ----LOG_FILE 0 ---LOG_FILE\\r\\nerror:default error\\r\\n"
                                                              "default general\\r\\n"))
                  .match(err)
                  .hasMatch())
      << err.toStdString();
  EXPECT_TRUE(filesMatching(work.path(), QStringLiteral("*.log")).isEmpty());
}

}  // namespace
