// What a fleet run prints: device labels, the end line and table, the exit code of the
// whole run, the summary event, the plan of a --check run, and the live table on a
// terminal (read back through a small screen model under a clock the test moves).

#include "app/ExitCodes.h"
#include "app/FleetReport.h"
#include "common/Version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using orvane::proto::kNoVersion;

namespace {

constexpr qint32 packed(int major, int minor) { return (major << 16) | minor; }

RunSummary device(const char* ip, const QString& name, const char* result, double seconds = 1) {
  RunSummary s;
  s.mode = QStringLiteral("upgrade");
  s.ip = QLatin1String(ip);
  s.name = name;
  s.result = QLatin1String(result);
  s.exitCode = exitCodeFor(s.result);
  s.seconds = seconds;
  return s;
}

// The network device read at `from`; after the run at `to` (read again).
RunSummary readDevice(const char* ip, const QString& name, const char* result, qint32 from, qint32 to, double seconds) {
  RunSummary s = device(ip, name, result, seconds);
  s.network.read = true;
  s.network.type = packed(18, 3);
  s.network.from = from;
  s.network.to = to;
  s.network.toKnown = true;
  return s;
}

QList<RunSummary> withResults(const std::vector<const char*>& results, const char* mode = "upgrade") {
  QList<RunSummary> devices;
  int host = 1;
  for (const char* r : results) {
    devices.append(device(QStringLiteral("10.77.1.%1").arg(host++).toLatin1().constData(), QString(), r));
    devices.last().mode = QLatin1String(mode);
  }
  return devices;
}

}  // namespace

TEST(FleetLabels, NameAfterTheAddressWithControlCharactersShownAsQuestionMarks) {
  const std::pair<QString, const char*> cases[] = {
      {QStringLiteral("Gateway roof"), "10.77.1.3 Gateway roof"},
      {QString(), "10.77.1.3"},
      {QStringLiteral("   "), "10.77.1.3"},
      {QStringLiteral(" Gateway "), "10.77.1.3 Gateway"},
      {QStringLiteral("Pump\x01" "3"), "10.77.1.3 Pump?3"},
      {QStringLiteral("a\x1b[2Jb"), "10.77.1.3 a?[2Jb"},
      {QStringLiteral("two\nlines\r"), "10.77.1.3 two?lines?"},
      {QString(QChar(0x85)) + QStringLiteral("x") + QChar(0x7f), "10.77.1.3 ?x?"},
      {QStringLiteral("Dach ") + QChar(0x2028) + QStringLiteral("Süd"), "10.77.1.3 Dach ?Süd"},
      {QStringLiteral("屋顶"), "10.77.1.3 屋顶"},
  };
  for (const auto& [name, label] : cases) {
    const RunSummary s = device("10.77.1.3", name, "upgraded");
    EXPECT_EQ(fleetDeviceLabel(s), QString::fromUtf8(label)) << label;
  }
  EXPECT_EQ(fleetDeviceLine(device("10.77.1.3", QStringLiteral("Gateway roof"), "upgraded"), QStringLiteral("activated")),
            QStringLiteral("10.77.1.3 Gateway roof: activated"));
  EXPECT_EQ(fleetDeviceLine(device("10.77.1.4", QString(), "failed"), QStringLiteral("said \x1b[31mno")),
            QStringLiteral("10.77.1.4: said ?[31mno"));
}

TEST(FleetSummaryLine, CountsEveryOutcome) {
  struct Case {
    std::vector<const char*> results;
    double seconds;
    const char* line;
  };
  std::vector<const char*> example(7, "upgraded");
  example.insert(example.end(), {"current", "current", "unreachable"});
  const Case cases[] = {
      {example, 41.3, "7 upgraded, 2 already current, 1 unreachable, 0 failed (of 10) in 41 s"},
      {{"upgraded", "failed"}, 12.4, "1 upgraded, 0 already current, 0 unreachable, 1 failed (of 2) in 12 s"},
      {{}, 0, "0 upgraded, 0 already current, 0 unreachable, 0 failed (of 0) in 0.0 s"},
      // The other outcomes after "failed", in their fixed order whatever the devices' order.
      {{"checked", "cancelled", "cancelled", "refused", "file-refused", "unconfirmed", "incompatible"}, 9.5,
       "0 upgraded, 0 already current, 0 unreachable, 0 failed, 1 incompatible, 1 unconfirmed, 1 file refused, "
       "1 refused, 2 cancelled, 1 checked (of 7) in 9.5 s"},
      // A result outside the vocabulary is a failure.
      {{"exploded", "failed", "upgraded"}, 70, "1 upgraded, 0 already current, 0 unreachable, 2 failed (of 3) in 70 s"},
      {{"mismatch", "match"}, 3, "0 upgraded, 0 already current, 0 unreachable, 0 failed, 1 match, 1 mismatch (of 2) in 3.0 s"},
  };
  for (const Case& c : cases) EXPECT_EQ(fleetSummaryLine(withResults(c.results), c.seconds), QLatin1String(c.line)) << c.line;
}

TEST(FleetSummaryLine, PlanRunsCountCheckedDevices) {
  EXPECT_EQ(fleetSummaryLine(withResults({"checked", "checked", "unreachable", "checked"}, "check"), 2.54),
            QStringLiteral("3 checked, 1 unreachable, 0 failed (of 4) in 2.5 s"));
  EXPECT_EQ(fleetSummaryLine(withResults({"checked", "incompatible", "failed"}, "check"), 31),
            QStringLiteral("1 checked, 0 unreachable, 1 failed, 1 incompatible (of 3) in 31 s"));
  // A plan device that came back "current" is counted after the others.
  EXPECT_EQ(fleetSummaryLine(withResults({"checked", "current"}, "check"), 1),
            QStringLiteral("1 checked, 0 unreachable, 0 failed, 1 already current (of 2) in 1.0 s"));
}

TEST(FleetSummaryLine, OneDecimalBelowTenSecondsElseWholeSeconds) {
  const std::pair<double, const char*> cases[] = {
      {0, "0.0 s"},  {0.04, "0.0 s"}, {3.46, "3.5 s"},  {9.94, "9.9 s"},  {9.96, "10 s"},
      {10, "10 s"},  {40.6, "41 s"},  {41.4, "41 s"},   {3725, "3725 s"}, {-2, "0.0 s"},
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(fleetSummaryLine({}, seconds), QStringLiteral("0 upgraded, 0 already current, 0 unreachable, 0 failed (of 0) in ") +
                                                 QLatin1String(text))
        << seconds;
  }
}

TEST(FleetExitCode, TheWorstOutcomeDecides) {
  struct Case {
    std::vector<const char*> results;
    int code;
  };
  const Case cases[] = {
      {{}, kExitDone},
      {{"upgraded", "current", "checked"}, kExitDone},
      {{"match"}, kExitDone},
      {{"upgraded", "refused"}, kExitRefused},
      {{"refused", "file-refused"}, kExitFileRefused},
      {{"file-refused", "incompatible", "refused"}, kExitIncompatible},
      {{"incompatible", "unreachable"}, kExitUnreachable},
      {{"unreachable", "cancelled", "incompatible"}, kExitInterrupted},
      {{"cancelled", "failed"}, kExitFailed},
      {{"failed", "unconfirmed", "cancelled"}, kExitUnconfirmed},
      {{"failed", "mismatch"}, kExitUnconfirmed},
      {{"exploded"}, kExitFailed},
      {{"cancelled", "exploded"}, kExitFailed},
  };
  for (const Case& c : cases) {
    std::string names;
    for (const char* r : c.results) names += std::string(r) + " ";
    EXPECT_EQ(fleetExitCode(withResults(c.results)), c.code) << names;
  }
}

TEST(FleetSummaryTable, ColumnsAlignedWithTheReasonLast) {
  RunSummary unreachable = device("10.77.1.200", QString(), "unreachable", 3);
  unreachable.reason = QStringLiteral("no answer to ping\nafter 3 tries");
  const QList<RunSummary> devices{
      readDevice("10.77.1.3", QStringLiteral("Gateway roof"), "upgraded", packed(3, 10), packed(3, 11), 41.2),
      readDevice("10.77.1.14", QStringLiteral("Pump\x01" "3"), "current", packed(3, 11), packed(3, 11), 2),
      unreachable,
  };
  const QStringList expected{
      QStringLiteral("Address      Name          Type  Version      Result       Seconds  Reason"),
      QStringLiteral("10.77.1.3    Gateway roof  18.3  3.10 → 3.11  upgraded        41.2"),
      QStringLiteral("10.77.1.14   Pump?3        18.3  3.11         current          2.0"),
      QStringLiteral("10.77.1.200  -             -     -            unreachable      3.0  no answer to ping after 3 tries"),
  };
  EXPECT_EQ(fleetSummaryTable(devices), expected) << fleetSummaryTable(devices).join(u'\n').toStdString();
}

TEST(FleetSummaryTable, WideCharactersTakeTwoColumns) {
  const QList<RunSummary> devices{
      readDevice("10.0.0.1", QStringLiteral("屋顶"), "current", packed(3, 11), packed(3, 11), 1),
      readDevice("10.0.0.2", QStringLiteral("Gateway"), "upgraded", packed(3, 10), packed(3, 11), 12.5),
  };
  const QStringList expected{
      QStringLiteral("Address   Name     Type  Version      Result    Seconds  Reason"),
      QStringLiteral("10.0.0.1  屋顶     18.3  3.11         current       1.0"),
      QStringLiteral("10.0.0.2  Gateway  18.3  3.10 → 3.11  upgraded     12.5"),
  };
  EXPECT_EQ(fleetSummaryTable(devices), expected) << fleetSummaryTable(devices).join(u'\n').toStdString();
}

TEST(FleetSummaryTable, VersionsAndReasons) {
  struct Case {
    RunSummary summary;
    const char* version;
    const char* reason;
  };
  RunSummary unconfirmed = readDevice("10.0.0.1", QStringLiteral("n"), "unconfirmed", packed(3, 10), 0, 60);
  unconfirmed.network.toKnown = false;
  unconfirmed.activated = true;
  unconfirmed.reason = QStringLiteral("no answer\tafter restart");
  RunSummary failedEarly = readDevice("10.0.0.1", QStringLiteral("n"), "failed", packed(3, 10), 0, 4);
  failedEarly.network.toKnown = false;
  failedEarly.reason = QStringLiteral("device said \x1b[2J");
  RunSummary typeOnly = readDevice("10.0.0.1", QStringLiteral("n"), "failed", kNoVersion, kNoVersion, 4);
  typeOnly.reason = QStringLiteral("  spaced  ");
  const Case cases[] = {
      {readDevice("10.0.0.1", QStringLiteral("n"), "upgraded", packed(3, 10), packed(3, 11), 1), "3.10 → 3.11", ""},
      {readDevice("10.0.0.1", QStringLiteral("n"), "current", packed(3, 11), packed(3, 11), 1), "3.11", ""},
      {unconfirmed, "3.10 → ?", "no answer after restart"},
      {failedEarly, "3.10", "device said ?[2J"},
      {typeOnly, "-", "spaced"},
  };
  for (const Case& c : cases) {
    const QStringList table = fleetSummaryTable({c.summary});
    ASSERT_EQ(table.size(), 2);
    const QStringList cells = table[1].split(QRegularExpression(QStringLiteral("  +")));
    ASSERT_GE(cells.size(), 6) << table[1].toStdString();
    EXPECT_EQ(cells[3], QString::fromUtf8(c.version)) << table[1].toStdString();
    EXPECT_EQ(cells.size() > 6 ? cells[6] : QString(), QString::fromUtf8(c.reason)) << table[1].toStdString();
  }
}

namespace {

QJsonObject literal(const QString& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " at " << error.offset;
  return doc.object();
}

QJsonObject reparsed(const QJsonObject& object) {
  return QJsonDocument::fromJson(QJsonDocument(object).toJson(QJsonDocument::Compact)).object();
}

}  // namespace

TEST(FleetSummaryEvent, CountsResultsAndEachDevice) {
  RunSummary upgraded = readDevice("10.77.1.3", QStringLiteral("Gateway roof"), "upgraded", packed(3, 10), packed(3, 11), 41.25);
  upgraded.mac = QStringLiteral("00:50:C2:00:00:01");
  RunSummary unreachable = device("10.77.1.4", QString(), "unreachable", 3);
  unreachable.reason = QStringLiteral("no answer to ping");
  RunSummary cancelled = device("10.77.1.5", QStringLiteral("Pump\x01" "3"), "cancelled", 0);
  cancelled.reason = QStringLiteral("stopped before it started");
  const QDateTime started(QDate(2026, 12, 10), QTime(15, 4, 5, 600), Qt::UTC);
  const QJsonObject event = fleetSummaryEvent({upgraded, unreachable, cancelled}, QStringLiteral("upgrade"), 44.5, started);
  const QJsonObject expected = literal(
      QStringLiteral(
          R"({"event":"summary","mode":"upgrade","devices":3,)"
          R"("counts":{"upgraded":1,"unreachable":1,"cancelled":1},"exitCode":130,"seconds":44.5,)"
          R"("started":"2026-12-10T15:04:05Z","program":"%1","results":[)"
          R"({"ip":"10.77.1.3","name":"Gateway roof","mac":"00:50:C2:00:00:01",)"
          R"("type":{"number":1179651,"text":"18.3"},"from":{"number":196618,"text":"3.10"},)"
          R"("to":{"number":196619,"text":"3.11"},"result":"upgraded","reason":"","seconds":41.25},)"
          R"({"ip":"10.77.1.4","name":null,"mac":null,"type":null,"from":null,"to":null,)"
          R"("result":"unreachable","reason":"no answer to ping","seconds":3},)"
          R"({"ip":"10.77.1.5","name":"Pump\u00013","mac":null,"type":null,"from":null,"to":null,)"
          R"("result":"cancelled","reason":"stopped before it started","seconds":0}]})")
          .arg(QString::fromLatin1(orvane::kProgramVersion)));
  EXPECT_EQ(reparsed(event), expected) << QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString();
}

TEST(FleetSummaryEvent, PlanModeAndNothingToDo) {
  const QJsonObject event = fleetSummaryEvent({}, QStringLiteral("check"), 0.5, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
  EXPECT_EQ(event.value(QStringLiteral("mode")).toString(), QStringLiteral("check"));
  EXPECT_EQ(event.value(QStringLiteral("devices")).toInt(), 0);
  EXPECT_EQ(event.value(QStringLiteral("counts")).toObject(), QJsonObject());
  EXPECT_EQ(event.value(QStringLiteral("exitCode")).toInt(-1), 0);
  EXPECT_EQ(event.value(QStringLiteral("results")).toArray(), QJsonArray());
  EXPECT_EQ(event.value(QStringLiteral("started")).toString(), QStringLiteral("2026-01-02T03:04:05Z"));
}

namespace {

// A device read at `from` with a file at `file`, compared as `relation`.
DeviceFacts compared(qint32 from, qint32 file, const char* relation, qint32 fileType = packed(18, 3)) {
  DeviceFacts d;
  d.read = true;
  d.type = packed(18, 3);
  d.from = d.to = from;
  d.toKnown = true;
  d.fileType = fileType;
  d.fileVersion = file;
  d.relation = QLatin1String(relation);
  return d;
}

RunSummary planned(const DeviceFacts& network, const char* result = "checked") {
  RunSummary s = device("10.77.1.3", QStringLiteral("Gateway roof"), result);
  s.mode = QStringLiteral("check");
  s.network = network;
  return s;
}

}  // namespace

TEST(FleetPlan, SaysWhatARunWouldDo) {
  struct Case {
    RunSummary summary;
    bool force, allowDowngrade;
    const char* text;
  };
  DeviceFacts needsNewer = compared(packed(2, 9), packed(3, 11), "incompatible");
  needsNewer.reason = QStringLiteral("the file needs firmware 3.0 or later");
  RunSummary withI2c = planned(compared(packed(3, 10), packed(3, 11), "upgrade"));
  withI2c.i2cAddress = 80;
  withI2c.i2c = compared(packed(2, 1), packed(2, 2), "upgrade", packed(7, 1));
  withI2c.i2c.type = packed(7, 1);
  RunSummary webOnly = planned(compared(packed(3, 11), 0, "", 0));
  webOnly.files = {runFile(QStringLiteral("web"), QStringLiteral("/fw/site.web"), "x")};
  RunSummary unreachable = planned(DeviceFacts{}, "unreachable");
  unreachable.reason = QStringLiteral("no answer to ping");
  RunSummary failed = planned(compared(packed(3, 10), packed(3, 11), "upgrade"), "failed");
  failed.reason = QStringLiteral("the I2C device did not answer");
  const Case cases[] = {
      {planned(compared(packed(3, 10), packed(3, 11), "upgrade")), false, false, "would upgrade 3.10 → 3.11"},
      {planned(compared(packed(3, 11), packed(3, 11), "same")), false, false, "already at 3.11: skip"},
      {planned(compared(packed(3, 11), packed(3, 11), "same")), true, false,
       "already at 3.11: would flash again (--force)"},
      {planned(compared(packed(3, 13), packed(3, 12), "downgrade")), false, false,
       "downgrade 3.13 → 3.12: refused (--allow-downgrade to flash it)"},
      {planned(compared(packed(3, 13), packed(3, 12), "downgrade")), false, true, "would downgrade 3.13 → 3.12"},
      {planned(compared(packed(3, 10), packed(3, 11), "incompatible", packed(18, 4)), "incompatible"), false, false,
       "incompatible: file is for type 18.4, device is 18.3"},
      {planned(needsNewer, "incompatible"), true, true, "incompatible: the file needs firmware 3.0 or later"},
      {withI2c, false, false, "would upgrade 3.10 → 3.11; I2C 80: would upgrade 2.1 → 2.2"},
      {webOnly, false, false, "would upload the .web file"},
      {planned(compared(packed(3, 11), 0, "", 0)), false, false, "runs 3.11, no file to compare"},
      {unreachable, false, false, "unreachable: no answer to ping"},
      {failed, false, false, "failed: the I2C device did not answer"},
      {planned(DeviceFacts{}, "cancelled"), false, false, "cancelled"},
      {planned(DeviceFacts{}, "file-refused"), false, false, "file refused"},
  };
  for (const Case& c : cases) EXPECT_EQ(fleetPlanText(c.summary, c.force, c.allowDowngrade), QString::fromUtf8(c.text)) << c.text;
}

// --- The live table -------------------------------------------------------------------

namespace {

// A terminal in memory: each flush is one write; the screen is what the writes leave,
// for the sequences the table uses (CR, LF, cursor up, erase line, erase below).
class Screen {
 public:
  Screen() {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* data, size_t size) -> ssize_t {
      static_cast<Screen*>(self)->writes_.emplace_back(data, size);
      return ssize_t(size);
    };
    stream_ = fopencookie(this, "w", io);
    std::setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
  }
  ~Screen() { std::fclose(stream_); }
  FILE* stream() const { return stream_; }

  // The writes since the last call.
  std::vector<std::string> fresh() {
    std::vector<std::string> newer(writes_.begin() + long(seen_), writes_.end());
    seen_ = writes_.size();
    return newer;
  }
  // The screen's lines after every write so far.
  std::vector<std::string> lines() const {
    std::vector<std::string> rows{""};
    size_t row = 0, col = 0;
    std::string all;
    for (const std::string& w : writes_) all += w;
    for (size_t i = 0; i < all.size(); ++i) {
      const char c = all[i];
      if (c == '\r') col = 0;
      else if (c == '\n') {
        col = 0;
        if (++row == rows.size()) rows.emplace_back();
      } else if (c == '\x1b') {
        size_t end = i + 2;
        while (end < all.size() && std::isdigit(static_cast<unsigned char>(all[end]))) ++end;
        const int n = end > i + 2 ? std::stoi(all.substr(i + 2, end - i - 2)) : 1;
        if (all[end] == 'A') row = row >= size_t(n) ? row - size_t(n) : 0;
        if (all[end] == 'K') rows[row].resize(std::min(rows[row].size(), col));
        if (all[end] == 'J') {
          rows[row].resize(std::min(rows[row].size(), col));
          rows.resize(row + 1);
        }
        i = end;
      } else {
        if (rows[row].size() < col) rows[row].resize(col, ' ');
        if (col < rows[row].size()) rows[row][col] = c;
        else rows[row] += c;
        ++col;
      }
    }
    while (rows.size() > 1 && rows.back().empty()) rows.pop_back();
    return rows;
  }

 private:
  FILE* stream_ = nullptr;
  std::vector<std::string> writes_;
  size_t seen_ = 0;
};

using Lines = std::vector<std::string>;

}  // namespace

class FleetLiveTableTest : public ::testing::Test {
 protected:
  std::unique_ptr<FleetLiveTable> table(int total) {
    return std::make_unique<FleetLiveTable>(total, screen_.stream(), [this] { return now_; }, [this] { return size_; });
  }

  Screen screen_;
  qint64 now_ = 1000;
  QSize size_{80, 24};
};

TEST_F(FleetLiveTableTest, DevicesAndTheCountBelowThePrintedLines) {
  auto live = table(3);
  live->deviceStarted(QStringLiteral("10.77.1.3"), QStringLiteral("10.77.1.3 Gateway roof"));
  EXPECT_EQ(screen_.fresh(), Lines{"10.77.1.3 Gateway roof\x1b[K\n0 of 3 done\x1b[J"});
  live->deviceStage(QStringLiteral("10.77.1.3"), QStringLiteral("bin-upload"));
  EXPECT_EQ(screen_.fresh(), Lines{}) << "within 100 ms of the last redraw";
  now_ += 100;
  live->deviceProgress(QStringLiteral("10.77.1.3"), 42);
  EXPECT_EQ(screen_.fresh(), Lines{"\r\x1b[1A10.77.1.3 Gateway roof  bin-upload  42%\x1b[K\n0 of 3 done\x1b[J"});

  live->deviceStarted(QStringLiteral("10.77.1.4"), QStringLiteral("10.77.1.4"));
  EXPECT_EQ(screen_.fresh().size(), 1u) << "a start is drawn at once, in one write";
  live->printLine(QStringLiteral("10.77.1.4: checking"));
  EXPECT_EQ(screen_.fresh().size(), 1u) << "the line and the table again, in one write";
  EXPECT_EQ(screen_.lines(), (Lines{"10.77.1.4: checking", "10.77.1.3 Gateway roof  bin-upload  42%",
                                    "10.77.1.4", "0 of 3 done"}));

  live->deviceEnded(QStringLiteral("10.77.1.3"));
  live->printLine(QStringLiteral("10.77.1.3 Gateway roof: upgraded 3.10 → 3.11"));
  now_ += 100;
  live->deviceStage(QStringLiteral("10.77.1.4"), QStringLiteral("checking"));
  EXPECT_EQ(screen_.lines(), (Lines{"10.77.1.4: checking", "10.77.1.3 Gateway roof: upgraded 3.10 → 3.11",
                                    "10.77.1.4  checking", "1 of 3 done"}));

  live->deviceEnded(QStringLiteral("10.77.1.4"));
  live->deviceEnded(QStringLiteral("10.77.1.4"));
  live->deviceEnded(QStringLiteral("10.77.1.5"));  // never started: still one more done
  EXPECT_EQ(screen_.lines().back(), "3 of 3 done");
  screen_.fresh();
  live->clear();
  live->printLine(QStringLiteral("3 upgraded"));
  EXPECT_EQ(screen_.lines(), (Lines{"10.77.1.4: checking", "10.77.1.3 Gateway roof: upgraded 3.10 → 3.11",
                                    "3 upgraded"}));
  live.reset();
  EXPECT_EQ(screen_.fresh().size(), 2u) << "clear and the plain line; nothing is left to erase at the end";
}

TEST_F(FleetLiveTableTest, ChangesWithinATenthOfASecondWaitForTheNextRedraw) {
  auto live = table(1);
  live->deviceStarted(QStringLiteral("a"), QStringLiteral("a"));
  live->deviceStage(QStringLiteral("a"), QStringLiteral("bin-upload"));
  now_ += 50;
  live->deviceProgress(QStringLiteral("a"), 10);
  live->deviceProgress(QStringLiteral("a"), 20);
  screen_.fresh();
  now_ += 49;
  live->refresh();
  EXPECT_EQ(screen_.fresh(), Lines{});
  now_ += 1;
  live->refresh();
  EXPECT_EQ(screen_.fresh().size(), 1u);
  EXPECT_EQ(screen_.lines(), (Lines{"a  bin-upload  20%", "0 of 1 done"}));
  live->refresh();
  live->deviceProgress(QStringLiteral("a"), 20);
  live->deviceProgress(QStringLiteral("nobody"), 30);
  live->deviceStage(QStringLiteral("nobody"), QStringLiteral("x"));
  EXPECT_EQ(screen_.fresh(), Lines{}) << "nothing changed";
}

TEST_F(FleetLiveTableTest, NeverTallerOrWiderThanTheTerminal) {
  size_ = QSize(30, 5);  // four rows for the table
  auto live = table(9);
  for (int i = 1; i <= 6; ++i)
    live->deviceStarted(QStringLiteral("10.77.1.%1").arg(i), QStringLiteral("10.77.1.%1 Gateway on the roof").arg(i));
  EXPECT_EQ(screen_.lines(), (Lines{"10.77.1.1 Gateway on the roof", "10.77.1.2 Gateway on the roof",
                                    "+4 more running", "0 of 9 done"}));
  size_ = QSize(20, 3);
  live->deviceEnded(QStringLiteral("10.77.1.1"));
  EXPECT_EQ(screen_.lines(), (Lines{"+5 more running", "1 of 9 done"}));
  size_ = QSize(16, 1);
  live->deviceEnded(QStringLiteral("10.77.1.2"));
  EXPECT_EQ(screen_.lines(), (Lines{"2 of 9 done"}));
  size_ = QSize(12, 24);
  live->deviceEnded(QStringLiteral("10.77.1.3"));
  EXPECT_EQ(screen_.lines(), (Lines{"10.77.1.4 G", "10.77.1.5 G", "10.77.1.6 G", "3 of 9 done"}));
}

TEST_F(FleetLiveTableTest, TextsFromTheNetworkCannotMoveTheCursor) {
  auto live = table(1);
  live->deviceStarted(QStringLiteral("a"), QStringLiteral("a \x1b[2Aup"));
  live->printLine(QStringLiteral("said\x1b[J\r\nbye"));
  EXPECT_EQ(screen_.lines(), (Lines{"said?[J  bye", "a ?[2Aup", "0 of 1 done"}));
}

// Standard output that is no terminal (a pipe, a log file) gets the printed lines alone.
TEST(FleetLiveTableOnStandardOutput, PlainLinesWhenNotATerminal) {
  FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(::fileno(capture), STDOUT_FILENO), 0);
  {
    FleetLiveTable live(2);
    live.deviceStarted(QStringLiteral("10.77.1.3"), QStringLiteral("10.77.1.3 Gateway roof"));
    live.deviceProgress(QStringLiteral("10.77.1.3"), 42);
    live.printLine(QStringLiteral("10.77.1.3 Gateway roof: upgraded 3.10 → 3.11"));
    live.deviceEnded(QStringLiteral("10.77.1.3"));
    live.refresh();
  }
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string written(4096, '\0');
  std::rewind(capture);
  written.resize(std::fread(written.data(), 1, written.size(), capture));
  std::fclose(capture);
  EXPECT_EQ(written, "10.77.1.3 Gateway roof: upgraded 3.10 → 3.11\n");
}
