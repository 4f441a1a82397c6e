// The upgrade history: where it lives, appending one whole line at a time (also from
// several processes at once), the tolerant reader, and the history command's table,
// JSON lines and --since values.

#include "common/History.h"
#include "app/HistoryCommand.h"
#include "app/RunReport.h"
#include "common/Globalfunctions.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using orvane::test::readFileBytes;

namespace {

const QString kApp = QStringLiteral("Orvane - Firmware upgrader");

// This binary's LOG_FILE lock lives in its own runtime directory: a test here holds it.
class PrivateRuntimeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(runtime_.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
  }

 private:
  QTemporaryDir runtime_{QDir::tempPath() + QStringLiteral("/orvane-historyrun-XXXXXX")};
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeEnvironment);

QByteArray recordLine(const QString& utcTime, const QString& extra = QString()) {
  return QStringLiteral(R"({"time":"%1"%2})").arg(utcTime, extra).toUtf8();
}

QByteArray jsonText(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// Runs `body` with one of the standard streams sent to a file; returns what was written.
template <typename F>
QByteArray capture(FILE* stream, F body) {
  QTemporaryFile file;
  EXPECT_TRUE(file.open());
  std::fflush(stream);
  const int fd = fileno(stream);
  const int saved = dup(fd);
  dup2(file.handle(), fd);
  body();
  std::fflush(stream);
  dup2(saved, fd);
  close(saved);
  return readFileBytes(file.fileName());
}

class History : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    configureErrorLog(LogToFile, dir_.path(), kApp);
  }
  QString path() const { return dir_.path() + QStringLiteral("/history.jsonl"); }
  void writeFile(const QByteArray& bytes) {
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }

  orvane::test::GlobalStateGuard globals_;
  QTemporaryDir dir_;
};

TEST_F(History, FileLivesBesideTheErrorLog) {
  EXPECT_EQ(historyFilePath(), path());
  configureErrorLog(LogToFile, dir_.path() + QStringLiteral("//"), kApp);
  EXPECT_EQ(historyFilePath(), path());
}

TEST_F(History, AppendAddsWholeLinesAndCreatesTheFileReadableByAll) {
  const mode_t savedMask = ::umask(0);
  QString error;
  const bool first = appendHistoryLine(recordLine(QStringLiteral("2026-12-10T15:04:05Z")), &error);
  const bool second = appendHistoryLine(R"({"b":2})", &error);
  ::umask(savedMask);
  ASSERT_TRUE(first && second) << error.toStdString();
  EXPECT_EQ(readFileBytes(path()), QByteArray(R"({"time":"2026-12-10T15:04:05Z"})"
                                              "\n"
                                              R"({"b":2})"
                                              "\n"));
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(History, EmptyLineOrLineBreakIsRefusedAndNothingIsWritten) {
  const std::pair<QByteArray, const char*> cases[] = {
      {QByteArray("{}\n{}"), "the record holds a line break"},
      {QByteArray("{}\r"), "the record holds a line break"},
      {QByteArray("{}\n"), "the record holds a line break"},
      {QByteArray(), "the record is empty"},
  };
  for (const auto& [bad, reason] : cases) {
    QString error;
    EXPECT_FALSE(appendHistoryLine(bad, &error));
    EXPECT_EQ(error, QLatin1String(reason));
  }
  EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(History, FailureSaysWhy) {
  configureErrorLog(LogToFile, dir_.path() + QStringLiteral("/missing"), kApp);
  QString error;
  EXPECT_FALSE(appendHistoryLine("{}", &error));
  EXPECT_EQ(error, QStringLiteral("No such file or directory"));
}

// A symbolic link or a FIFO in place of the file is never followed or waited for.
TEST_F(History, PathThatIsNotARegularFileIsRefused) {
  const QString target = dir_.path() + QStringLiteral("/elsewhere");
  writeFile(QByteArray());
  QFile::remove(path());
  ASSERT_TRUE(QFile::link(target, path()));
  QString error;
  EXPECT_FALSE(appendHistoryLine("{}", &error));
  EXPECT_FALSE(QFile::exists(target)) << "the link was followed";
  QFile::remove(path());
  ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
  EXPECT_FALSE(appendHistoryLine("{}", &error));
  EXPECT_EQ(error, QStringLiteral("it is not a regular file"));
}

TEST_F(History, AppendWaitsForTheLogLockAndGivesUpWithAReason) {
  const int holder = ::open(QFile::encodeName(logLockFilePath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  setLogLockWaitMs(100);
  QString error;
  EXPECT_FALSE(appendHistoryLine("{}", &error));
  EXPECT_TRUE(error.contains(QStringLiteral("was not free within 100 ms"))) << error.toStdString();
  EXPECT_FALSE(QFile::exists(path()));
  ::flock(holder, LOCK_UN);
  ::close(holder);
  EXPECT_TRUE(appendHistoryLine("{}", &error)) << error.toStdString();
  EXPECT_EQ(readFileBytes(path()), QByteArray("{}\n"));
}

// A lock that cannot be opened (here a directory in its place) stops the append too.
TEST_F(History, AppendWithoutAUsableLockFails) {
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  ASSERT_TRUE(QDir(runtime.path()).mkdir(QStringLiteral("LOG_FILE")));
  globals_.setEnv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  ASSERT_EQ(logLockFilePath(), runtime.path() + QStringLiteral("/LOG_FILE"));
  QString error;
  EXPECT_FALSE(appendHistoryLine("{}", &error));
  EXPECT_EQ(error, QStringLiteral("the lock file %1/LOG_FILE could not be opened").arg(runtime.path()));
  EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(History, TwoProcessesAppendingAtOnceLeaveEveryLineWhole) {
  constexpr int kWriters = 2;
  constexpr int kLines = 400;
  // Long lines make a torn or interleaved write visible.
  const QString pad(3000, u'x');
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kLines; ++i) {
        const QString extra = QStringLiteral(R"(,"writer":%1,"i":%2,"pad":"%3")").arg(w).arg(i).arg(pad);
        ok = appendHistoryLine(recordLine(QStringLiteral("2026-12-10T15:04:05Z"), extra)) && ok;
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer could not append";
  }
  const QList<QByteArray> lines = readFileBytes(path()).split('\n');
  ASSERT_EQ(lines.size(), kWriters * kLines + 1);
  EXPECT_TRUE(lines.last().isEmpty());
  int next[kWriters] = {};
  for (int n = 0; n < kWriters * kLines; ++n) {
    const QJsonObject o = QJsonDocument::fromJson(lines[n]).object();
    ASSERT_EQ(o.value(QStringLiteral("pad")).toString(), pad) << "line " << n << " is torn";
    const int w = o.value(QStringLiteral("writer")).toInt();
    EXPECT_EQ(o.value(QStringLiteral("i")).toInt(), next[w]++) << "writer " << w << " out of order";
  }
  int skipped = -1;
  EXPECT_EQ(readHistory(path(), QDateTime(), &skipped).size(), kWriters * kLines);
  EXPECT_EQ(skipped, 0);
}

// A record of exactly `size` bytes (without its '\n'), padded with 'p'.
QByteArray recordOfSize(int size) {
  const QByteArray base = recordLine(QStringLiteral("2026-12-10T12:00:00Z"), QStringLiteral(R"(,"pad":"")"));
  QByteArray line = base;
  return line.insert(base.size() - 2, QByteArray(size - base.size(), 'p'));
}

TEST_F(History, ReaderSkipsAndCountsWhatIsNotARecord) {
  const int limit = kHistoryMaxLineBytes;
  ASSERT_EQ(recordOfSize(limit).size(), limit);
  const QByteArrayList lines{
      recordLine(QStringLiteral("2026-12-10T10:00:00Z"), QStringLiteral(R"(,"n":1)")),
      "not json",
      "[1,2]",
      "",
      R"({"n":"no time"})",
      R"({"time":"yesterday"})",
      recordOfSize(limit),      // just fits
      recordOfSize(limit + 1),  // one byte too many
      recordOfSize(3 * limit),
      R"({"time":"2026-12-10T11:00:00.250Z","n":2)",  // cut short
      recordLine(QStringLiteral("2026-12-10T13:00:00+01:00"), QStringLiteral(R"(,"n":3)")),
  };
  writeFile(lines.join('\n'));  // the last line without its '\n'
  int skipped = -1;
  const QList<QJsonObject> records = readHistory(path(), QDateTime(), &skipped);
  ASSERT_EQ(records.size(), 3);
  EXPECT_EQ(records[0].value(QStringLiteral("n")).toInt(), 1);
  EXPECT_TRUE(records[1].value(QStringLiteral("pad")).toString().startsWith(QStringLiteral("ppp")));
  EXPECT_EQ(records[2].value(QStringLiteral("n")).toInt(), 3);
  EXPECT_EQ(skipped, 8);
}

TEST_F(History, SinceKeepsRecordsFromThatInstantOn) {
  writeFile(recordLine(QStringLiteral("2026-12-10T09:00:00Z"), QStringLiteral(R"(,"n":1)")) + "\n" +
            recordLine(QStringLiteral("2026-12-10T10:00:00Z"), QStringLiteral(R"(,"n":2)")) + "\n" +
            recordLine(QStringLiteral("2026-12-10T12:00:00+01:00"), QStringLiteral(R"(,"n":3)")) + "\n");
  const auto numbers = [&](const QDateTime& since) {
    QList<int> n;
    for (const QJsonObject& r : readHistory(path(), since)) n.append(r.value(QStringLiteral("n")).toInt());
    return n;
  };
  const QDateTime ten(QDate(2026, 12, 10), QTime(10, 0), Qt::UTC);
  EXPECT_EQ(numbers(QDateTime()), (QList<int>{1, 2, 3}));
  EXPECT_EQ(numbers(ten), (QList<int>{2, 3}));
  EXPECT_EQ(numbers(ten.addMSecs(1)), (QList<int>{3}));
  EXPECT_EQ(numbers(QDateTime(QDate(2026, 12, 10), QTime(9, 30), QTimeZone(3600))), (QList<int>{1, 2, 3}));
  EXPECT_EQ(numbers(QDateTime(QDate(2026, 12, 10), QTime(11, 0, 1), Qt::UTC)), QList<int>{});
}

TEST_F(History, MissingFileHasNoRecords) {
  int skipped = -1;
  EXPECT_TRUE(readHistory(path(), QDateTime(), &skipped).isEmpty());
  EXPECT_EQ(skipped, 0);
}

// Only the last 100,000 lines are read: lines before them are neither records nor counted.
TEST_F(History, ReaderReadsOnlyTheLastLines) {
  const int limit = kHistoryMaxLines;
  for (const bool finalNewline : {true, false}) {
    QByteArray bytes = "bad\nbad\n";
    for (int i = 0; i < limit + 1; ++i) {
      bytes += recordLine(QStringLiteral("2026-12-10T10:00:00Z"), QStringLiteral(R"(,"i":%1)").arg(i));
      if (i < limit || finalNewline) bytes += '\n';
    }
    writeFile(bytes);
    int skipped = -1;
    const QList<QJsonObject> records = readHistory(path(), QDateTime(), &skipped);
    ASSERT_EQ(records.size(), limit) << "final newline " << finalNewline;
    EXPECT_EQ(records.first().value(QStringLiteral("i")).toInt(), 1);
    EXPECT_EQ(records.last().value(QStringLiteral("i")).toInt(), limit);
    EXPECT_EQ(skipped, 0);
  }
}

// --- The history command -------------------------------------------------------------

QDateTime local(int day, int hour, int minute, int second = 0) {
  return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second));
}

constexpr qint32 packed(int major, int minor) { return (major << 16) | minor; }

// Three runs: a network upgrade, an I2C flash that was not confirmed, an unreachable device.
QList<RunSummary> threeRuns() {
  RunSummary a;
  a.mode = QStringLiteral("upgrade");
  a.ip = QStringLiteral("192.168.10.20");
  a.name = QStringLiteral("Pump 3");
  a.result = QStringLiteral("upgraded");
  a.stage = QStringLiteral("done");
  a.network = DeviceFacts{true,          packed(18, 3), packed(3, 11),
                          packed(3, 12), packed(1, 2),  true,
                          packed(18, 3), packed(3, 12), QStringLiteral("upgrade"), QString()};
  a.files = {runFile(QStringLiteral("bin"), QStringLiteral("/fw/dev.bin"), "abc")};
  a.seconds = 42.5;
  a.started = local(9, 8, 30, 10).toUTC();

  RunSummary b = a;
  b.ip = QStringLiteral("192.168.10.21");
  b.name.clear();
  b.i2cAddress = 80;
  b.network = DeviceFacts{};
  b.i2c = DeviceFacts{true,
                      packed(7, 1),
                      packed(1, 4),
                      0,
                      orvane::proto::kNoVersion,
                      false,
                      packed(7, 1),
                      packed(1, 5),
                      QStringLiteral("upgrade"),
                      QString()};
  b.result = QStringLiteral("unconfirmed");
  b.exitCode = 6;
  b.stage = QStringLiteral("i2c-verify");
  b.files = {runFile(QStringLiteral("bi2"), QStringLiteral("/fw/i2c.bi2"), "x")};
  b.seconds = 75.3;
  b.started = local(10, 15, 4, 59).toUTC();

  RunSummary c;
  c.mode = QStringLiteral("upgrade");
  c.ip = QStringLiteral("10.0.0.9");
  c.result = QStringLiteral("unreachable");
  c.exitCode = 3;
  c.stage = QStringLiteral("starting");
  c.files = {runFile(QStringLiteral("bin"), QStringLiteral("dev.bin"), "abc"),
             runFile(QStringLiteral("web"), QStringLiteral("site.web"), "w")};
  c.seconds = 3;
  c.started = local(10, 16, 0).toUTC();
  return {a, b, c};
}

// The table of all three, then of the last two, the last one and the first one: each
// column is as wide as its widest cell among the rows shown.
const char kTableOfAll[] =
    "Time              Address               Name    Type  From \u2192 to    Result       Stage       Seconds  Files\n"
    "2026-12-09 08:30  192.168.10.20         Pump 3  18.3  3.11 \u2192 3.12  upgraded     done        42.5     "
    "dev.bin\n"
    "2026-12-10 15:04  192.168.10.21 I2C 80  -       7.1   1.4 \u2192 ?      unconfirmed  i2c-verify  75.3     "
    "i2c.bi2\n"
    "2026-12-10 16:00  10.0.0.9              -       -     -            unreachable  starting    3.0      dev.bin, "
    "site.web\n";
const char kTableOfTheLastTwo[] =
    "Time              Address               Name  Type  From \u2192 to  Result       Stage       Seconds  Files\n"
    "2026-12-10 15:04  192.168.10.21 I2C 80  -     7.1   1.4 \u2192 ?    unconfirmed  i2c-verify  75.3     i2c.bi2\n"
    "2026-12-10 16:00  10.0.0.9              -     -     -          unreachable  starting    3.0      dev.bin, "
    "site.web\n";
const char kTableOfTheLast[] =
    "Time              Address   Name  Type  From \u2192 to  Result       Stage     Seconds  Files\n"
    "2026-12-10 16:00  10.0.0.9  -     -     -          unreachable  starting  3.0      dev.bin, site.web\n";
const char kTableOfTheFirst[] =
    "Time              Address        Name    Type  From \u2192 to    Result    Stage  Seconds  Files\n"
    "2026-12-09 08:30  192.168.10.20  Pump 3  18.3  3.11 \u2192 3.12  upgraded  done   42.5     dev.bin\n";

class HistoryCommand : public History {
 protected:
  void record(const QList<RunSummary>& runs) {
    for (const RunSummary& run : runs) {
      QString error;
      ASSERT_TRUE(appendHistoryLine(jsonText(historyRecord(run)), &error)) << error.toStdString();
    }
  }
  // Runs the command; its exit code, standard output and standard error.
  struct Outcome {
    int code = -1;
    QByteArray out, err;
  };
  Outcome run(const QString& since, bool json) {
    Outcome o;
    o.err = capture(stderr, [&] { o.out = capture(stdout, [&] { o.code = runHistoryCommand(since, json); }); });
    return o;
  }
};

TEST_F(HistoryCommand, TableOfEveryRecord) {
  record(threeRuns());
  const Outcome o = run(QString(), false);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out.toStdString(), kTableOfAll);
  EXPECT_EQ(o.err, QByteArray());
}

TEST_F(HistoryCommand, SinceADateStartsAtLocalMidnight) {
  record(threeRuns());
  Outcome o = run(QStringLiteral("2026-12-10"), false);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out.toStdString(), kTableOfTheLastTwo);
  o = run(QStringLiteral("2026-12-10T15:05"), false);
  EXPECT_EQ(o.out.toStdString(), kTableOfTheLast);
  o = run(QStringLiteral("2026-12-11"), false);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out,
            QStringLiteral("No upgrade recorded since 2026-12-11 00:00 (history file %1).\n").arg(path()).toUtf8());
}

TEST_F(HistoryCommand, JsonPrintsEachRecordAsOneLine) {
  const QList<RunSummary> runs = threeRuns();
  record(runs);
  const Outcome o = run(QStringLiteral("2026-12-10T00:00"), true);
  EXPECT_EQ(o.code, 0);
  const QList<QByteArray> lines = o.out.split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0], jsonText(historyRecord(runs[1])));
  EXPECT_EQ(lines[1], jsonText(historyRecord(runs[2])));
  EXPECT_EQ(lines[2], QByteArray());
}

TEST_F(HistoryCommand, BadSinceIsRefused) {
  record(threeRuns());
  for (const char* bad : {"12/10", "yesterday", "2026-13-01", "2026-12-10 15:04", "2026-12-10T25:00", "2026-12-1"}) {
    const Outcome o = run(QLatin1String(bad), false);
    EXPECT_EQ(o.code, 2) << bad;
    EXPECT_EQ(o.out, QByteArray()) << bad;
    EXPECT_EQ(o.err,
              QByteArray("orvane-upgrader: --since ") + bad + ": expected a date YYYY-MM-DD or YYYY-MM-DDTHH:MM\n");
  }
}

TEST_F(HistoryCommand, MissingFileSaysNothingWasRecorded) {
  const QByteArray said = QStringLiteral("No upgrade recorded yet (history file %1).\n").arg(path()).toUtf8();
  Outcome o = run(QString(), false);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, said);
  // JSON lines on standard output stay records only.
  o = run(QString(), true);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, QByteArray());
  EXPECT_EQ(o.err, said);
}

TEST_F(HistoryCommand, UnreadableLinesAreLeftOutAndCounted) {
  writeFile("garbage\n{\"time\":\"2026-12-10T15:04\"\n");
  record(threeRuns().mid(0, 1));
  const Outcome o = run(QString(), false);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out.toStdString(), kTableOfTheFirst);
  EXPECT_EQ(
      o.err,
      QStringLiteral("orvane-upgrader: 2 line(s) of %1 could not be read and were left out.\n").arg(path()).toUtf8());
}

// A FIFO in place of the file is not opened (it would wait for a writer for ever).
TEST_F(HistoryCommand, HistoryThatCannotBeReadIsReported) {
  ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
  int skipped = -1;
  EXPECT_TRUE(readHistory(path(), QDateTime(), &skipped).isEmpty());
  EXPECT_EQ(skipped, 0);
  const Outcome o = run(QString(), false);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out, QByteArray());
  EXPECT_EQ(o.err.toStdString(),
            QStringLiteral("orvane-upgrader: the history file %1 cannot be read: it is not a regular file\n")
                .arg(path())
                .toStdString());
}

TEST(HistorySince, AcceptedValues) {
  const std::pair<const char*, QDateTime> cases[] = {
      {"2026-12-10", local(10, 0, 0)},
      {"2026-12-10T15:04", local(10, 15, 4)},
      {"2026-12-10T15:04:05", local(10, 15, 4, 5)},
      {"2026-12-10T15:04:05.250", local(10, 15, 4, 5).addMSecs(250)},
      {"2026-12-10T15:04Z", QDateTime(QDate(2026, 12, 10), QTime(15, 4), Qt::UTC)},
      {"2026-12-10T15:04:05+02:00", QDateTime(QDate(2026, 12, 10), QTime(13, 4, 5), Qt::UTC)},
  };
  for (const auto& [text, expected] : cases) {
    const std::optional<QDateTime> since = parseSince(QLatin1String(text));
    ASSERT_TRUE(since.has_value()) << text;
    EXPECT_EQ(*since, expected) << text;
  }
  const std::optional<QDateTime> none = parseSince(QString());
  ASSERT_TRUE(none.has_value());
  EXPECT_FALSE(none->isValid());
  for (const char* bad : {"12/10", "2026-02-30", "2026-12-10T15", "2026-12-10T15:04:05.1234", "2026-12-10T15:04+2",
                          " 2026-12-10", "2026-12-10T15:60"}) {
    EXPECT_FALSE(parseSince(QLatin1String(bad)).has_value()) << bad;
  }
}

}  // namespace
