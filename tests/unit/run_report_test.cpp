// What a run reports to scripts: the file facts, the result vocabulary and its exit
// codes, the JSON events and the history record, and the throttle of progress events.

#include "app/ExitCodes.h"
#include "app/RunReport.h"
#include "common/Version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <unistd.h>

using orvane::engine::UpgradeResult;
using orvane::proto::kNoVersion;

namespace {

constexpr qint32 packed(int major, int minor) { return (major << 16) | minor; }

// Both sides as the text a script reads, parsed again: a value is compared as JSON.
QJsonObject reparsed(const QJsonObject& object) {
  return QJsonDocument::fromJson(QJsonDocument(object).toJson(QJsonDocument::Compact)).object();
}

QJsonObject literal(const QString& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " at " << error.offset;
  return doc.object();
}

void expectJson(const QJsonObject& actual, const QString& expectedText) {
  const QJsonObject expected = literal(expectedText);
  EXPECT_EQ(reparsed(actual), expected) << "actual:   "
                                        << QJsonDocument(actual).toJson(QJsonDocument::Compact).toStdString()
                                        << "\nexpected: "
                                        << QJsonDocument(expected).toJson(QJsonDocument::Compact).toStdString();
}

const char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A .bin and .bi2 upgrade of a network device with an I2C device at 80, both confirmed.
RunSummary fullUpgrade() {
  RunSummary s;
  s.mode = QStringLiteral("upgrade");
  s.ip = QStringLiteral("192.168.10.20");
  s.mac = QStringLiteral("00:50:C2:00:00:01");
  s.name = QStringLiteral("Pump 3");
  s.i2cAddress = 80;
  s.result = QStringLiteral("upgraded");
  s.exitCode = 0;
  s.stage = QStringLiteral("done");
  s.written = s.activated = true;
  s.network = DeviceFacts{true,          packed(18, 3), packed(3, 11),
                          packed(3, 12), packed(1, 2),  true,
                          packed(18, 3), packed(3, 12), QStringLiteral("upgrade"), QString()};
  s.i2c = DeviceFacts{true,         packed(7, 1), packed(1, 4),
                      packed(1, 5), kNoVersion,   true,
                      packed(7, 1), packed(1, 5), QStringLiteral("upgrade"), QString()};
  s.files = {runFile(QStringLiteral("bin"), QStringLiteral("/data/fw/dev.bin"), "abc"),
             runFile(QStringLiteral("bi2"), QStringLiteral("/data/fw/i2c.bi2"), QByteArray())};
  s.seconds = 42.5;
  s.started = QDateTime(QDate(2026, 12, 10), QTime(15, 4, 5), Qt::UTC);
  return s;
}

const QString kFiles =
    QStringLiteral(R"([{"kind":"bin","name":"dev.bin","path":"/data/fw/dev.bin","size":3,"sha256":"%1"},)"
                   R"({"kind":"bi2","name":"i2c.bi2","path":"/data/fw/i2c.bi2","size":0,"sha256":"%2"}])")
        .arg(QLatin1String(kAbcSha), QLatin1String(kEmptySha));

const QString kNetworkDevice = QStringLiteral(
    R"({"type":{"number":1179651,"text":"18.3"},"from":{"number":196619,"text":"3.11"},)"
    R"("to":{"number":196620,"text":"3.12"},"hardware":{"number":65538,"text":"1.2"},)"
    R"("fileType":{"number":1179651,"text":"18.3"},"fileVersion":{"number":196620,"text":"3.12"},"relation":"upgrade"})");

const QString kI2cDevice = QStringLiteral(
    R"({"address":80,"type":{"number":458753,"text":"7.1"},"from":{"number":65540,"text":"1.4"},)"
    R"("to":{"number":65541,"text":"1.5"},"hardware":null,)"
    R"("fileType":{"number":458753,"text":"7.1"},"fileVersion":{"number":65541,"text":"1.5"},"relation":"upgrade"})");

QString program() { return QString::fromLatin1(orvane::kProgramVersion); }

}  // namespace

TEST(RunFile, HoldsTheNameSizeAndLowerCaseSha256) {
  const RunFile f = runFile(QStringLiteral("web"), QStringLiteral("../site/pages.web"), "abc");
  EXPECT_EQ(f.kind, QStringLiteral("web"));
  EXPECT_EQ(f.name, QStringLiteral("pages.web"));
  EXPECT_EQ(f.path, QStringLiteral("../site/pages.web"));
  EXPECT_EQ(f.size, 3);
  EXPECT_EQ(f.sha256, QLatin1String(kAbcSha));
  EXPECT_EQ(runFile(QStringLiteral("bin"), QStringLiteral("x.bin"), QByteArray()).sha256, QLatin1String(kEmptySha));
}

// A run that starts at once records its files unhashed and hashes them at its end.
TEST(RunFile, HashedLaterGivesTheSameRecord) {
  RunFile f = unhashedRunFile(QStringLiteral("bin"), QStringLiteral("/fw/x.bin"), "abc");
  EXPECT_TRUE(f.sha256.isEmpty());
  EXPECT_EQ(f.size, 3);
  hashRunFile(f);
  EXPECT_EQ(f.sha256, QLatin1String(kAbcSha));
  EXPECT_TRUE(f.content.isEmpty());   // the bytes are not held after hashing
  hashRunFile(f);                     // a second call changes nothing
  EXPECT_EQ(f.sha256, QLatin1String(kAbcSha));
  RunFile empty = unhashedRunFile(QStringLiteral("web"), QStringLiteral("e.web"), QByteArray());
  hashRunFile(empty);
  EXPECT_EQ(empty.sha256, QLatin1String(kEmptySha));
}

TEST(ResultVocabulary, EngineResultsHaveTheirNames) {
  const std::pair<UpgradeResult, const char*> cases[] = {
      {UpgradeResult::Upgraded, "upgraded"},       {UpgradeResult::Current, "current"},
      {UpgradeResult::Checked, "checked"},         {UpgradeResult::Failed, "failed"},
      {UpgradeResult::Unreachable, "unreachable"}, {UpgradeResult::Incompatible, "incompatible"},
      {UpgradeResult::Unconfirmed, "unconfirmed"}, {UpgradeResult::Running, "failed"},
  };
  for (const auto& [result, name] : cases) EXPECT_EQ(resultName(result), QLatin1String(name)) << name;
}

TEST(ResultVocabulary, EveryResultHasItsExitCode) {
  const std::pair<const char*, int> cases[] = {
      {"upgraded", 0},     {"current", 0},        {"checked", 0},     {"match", 0},
      {"failed", 1},       {"refused", 2},        {"unreachable", 3}, {"incompatible", 4},
      {"file-refused", 5}, {"unconfirmed", 6},    {"mismatch", 6},    {"", 1},
      {"Upgraded", 1},     {"something else", 1},
  };
  for (const auto& [result, code] : cases) EXPECT_EQ(exitCodeFor(QLatin1String(result)), code) << result;
  EXPECT_EQ(exitCodeFor(QStringLiteral("unreachable")), kExitUnreachable);
  EXPECT_EQ(exitCodeFor(QStringLiteral("mismatch")), kExitUnconfirmed);
}

TEST(VersionValues, NumberAndTextOrNullWhenThereIsNone) {
  EXPECT_TRUE(versionJson(kNoVersion).isNull());
  EXPECT_EQ(versionJson(packed(3, 11)), literal(QStringLiteral(R"({"number":196619,"text":"3.11"})")));
  EXPECT_EQ(versionJson(0), literal(QStringLiteral(R"({"number":0,"text":"0.0"})")));
  EXPECT_EQ(versionJson(packed(2, 65535)), literal(QStringLiteral(R"({"number":196607,"text":"2.65535"})")));
  EXPECT_EQ(typeJson(packed(18, 3)), literal(QStringLiteral(R"({"number":1179651,"text":"18.3"})")));
}

TEST(RunEvents, StageProgressAndMessage) {
  expectJson(stageEvent(QStringLiteral("bin-upload"), 1.25),
             QStringLiteral(R"({"event":"stage","stage":"bin-upload","seconds":1.25})"));
  expectJson(
      progressEvent(QStringLiteral("bin-upload"), 42, 450560, 1048576),
      QStringLiteral(R"({"event":"progress","stage":"bin-upload","percent":42,"bytes":450560,"total":1048576})"));
  expectJson(progressEvent(QStringLiteral("restarting"), 96, 0, 0),
             QStringLiteral(R"({"event":"progress","stage":"restarting","percent":96,"bytes":0,"total":0})"));
  expectJson(messageEvent(QStringLiteral("Test => OK")), QStringLiteral(R"({"event":"message","text":"Test => OK"})"));
}

TEST(RunEvents, ResultOfAFullUpgrade) {
  expectJson(resultEvent(fullUpgrade()),
             QStringLiteral(R"({"event":"result","mode":"upgrade","ip":"192.168.10.20","mac":"00:50:C2:00:00:01",)"
                            R"("name":"Pump 3","result":"upgraded","exitCode":0,"reason":"","stage":"done",)"
                            R"("written":true,"activated":true,"from":{"number":196619,"text":"3.11"},)"
                            R"("to":{"number":196620,"text":"3.12"},"network":%1,"i2c":%2,"files":%3,)"
                            R"("seconds":42.5,"started":"2026-12-10T15:04:05Z","program":"%4"})")
                 .arg(kNetworkDevice, kI2cDevice, kFiles, program()));
}

// Nothing answered: no versions, no MAC or name, only what the .bin file says.
TEST(RunEvents, ResultOfAnUnreachableDevice) {
  RunSummary s;
  s.mode = QStringLiteral("check");
  s.ip = QStringLiteral("10.0.0.9");
  s.result = QStringLiteral("unreachable");
  s.exitCode = kExitUnreachable;
  s.reason = QStringLiteral("Device 10.0.0.9 does not answer.");
  s.stage = QStringLiteral("starting");
  s.network.fileType = packed(18, 3);
  s.network.fileVersion = packed(3, 12);
  s.files = {runFile(QStringLiteral("bin"), QStringLiteral("dev.bin"), "abc")};
  s.seconds = 3;
  s.started = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 600), Qt::UTC);
  expectJson(
      resultEvent(s),
      QStringLiteral(R"({"event":"result","mode":"check","ip":"10.0.0.9","mac":null,"name":null,)"
                     R"("result":"unreachable","exitCode":3,"reason":"Device 10.0.0.9 does not answer.",)"
                     R"("stage":"starting","written":false,"activated":false,"from":null,"to":null,)"
                     R"("network":{"type":null,"from":null,"to":null,"hardware":null,)"
                     R"("fileType":{"number":1179651,"text":"18.3"},"fileVersion":{"number":196620,"text":"3.12"},)"
                     R"("relation":null},"i2c":null,)"
                     R"("files":[{"kind":"bin","name":"dev.bin","path":"dev.bin","size":3,"sha256":"%1"}],)"
                     R"("seconds":3,"started":"2026-01-02T03:04:05Z","program":"%2"})")
          .arg(QLatin1String(kAbcSha), program()));
}

// A .bi2 alone: the network device was not read, so "from" and "to" are the I2C device's;
// the new version was not confirmed.
TEST(RunEvents, ResultOfAnI2cRunTakesTheI2cVersions) {
  RunSummary s = fullUpgrade();
  s.network = DeviceFacts{};
  s.i2c.toKnown = false;
  s.result = QStringLiteral("unconfirmed");
  s.exitCode = kExitUnconfirmed;
  s.reason = QStringLiteral("No answer after flashing.");
  s.stage = QStringLiteral("i2c-verify");
  s.files.removeFirst();
  const QJsonObject event = reparsed(resultEvent(s));
  EXPECT_EQ(event.value(QStringLiteral("from")), literal(QStringLiteral(R"({"number":65540,"text":"1.4"})")));
  EXPECT_TRUE(event.value(QStringLiteral("to")).isNull());
  EXPECT_TRUE(event.value(QStringLiteral("network")).isNull());
  QJsonObject i2c = literal(kI2cDevice);
  i2c.insert(QStringLiteral("to"), QJsonValue());
  EXPECT_EQ(event.value(QStringLiteral("i2c")).toObject(), i2c);
  EXPECT_EQ(event.value(QStringLiteral("files")).toArray().size(), 1);
}

TEST(HistoryRecords, RecordOfAFullUpgrade) {
  expectJson(historyRecord(fullUpgrade()),
             QStringLiteral(R"({"time":"2026-12-10T15:04:05Z","mode":"upgrade","ip":"192.168.10.20",)"
                            R"("mac":"00:50:C2:00:00:01","name":"Pump 3","type":{"number":1179651,"text":"18.3"},)"
                            R"("from":{"number":196619,"text":"3.11"},"to":{"number":196620,"text":"3.12"},)"
                            R"("hardware":{"number":65538,"text":"1.2"},"i2cAddress":80,"i2c":%1,"files":%2,)"
                            R"("result":"upgraded","exitCode":0,"reason":"","stage":"done","written":true,)"
                            R"("activated":true,"seconds":42.5,"program":"%3"})")
                 .arg(kI2cDevice, kFiles, program()));
}

TEST(HistoryRecords, RecordOfAFailedRunWithoutI2cDevice) {
  RunSummary s = fullUpgrade();
  s.i2cAddress = -1;
  s.i2c = DeviceFacts{};
  s.mac.clear();
  s.network.toKnown = false;
  s.result = QStringLiteral("failed");
  s.exitCode = kExitFailed;
  s.reason = QStringLiteral("Upload failed.");
  s.stage = QStringLiteral("bin-upload");
  s.activated = false;
  s.files = {};
  s.seconds = 7.25;
  expectJson(historyRecord(s),
             QStringLiteral(R"({"time":"2026-12-10T15:04:05Z","mode":"upgrade","ip":"192.168.10.20",)"
                            R"("mac":null,"name":"Pump 3","type":{"number":1179651,"text":"18.3"},)"
                            R"("from":{"number":196619,"text":"3.11"},"to":null,)"
                            R"("hardware":{"number":65538,"text":"1.2"},"i2cAddress":null,"i2c":null,"files":[],)"
                            R"("result":"failed","exitCode":1,"reason":"Upload failed.","stage":"bin-upload",)"
                            R"("written":true,"activated":false,"seconds":7.25,"program":"%1"})")
                 .arg(program()));
}

TEST(RunEvents, PrintedAsOneCompactLine) {
  QTemporaryFile capture;
  ASSERT_TRUE(capture.open());
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(capture.handle(), STDOUT_FILENO);
  printJsonLine(messageEvent(QStringLiteral("a\nb")));
  printJsonLine(stageEvent(QStringLiteral("done"), 2));
  dup2(saved, STDOUT_FILENO);
  close(saved);
  capture.seek(0);
  EXPECT_EQ(capture.readAll(), QByteArray("{\"event\":\"message\",\"text\":\"a\\nb\"}\n"
                                          "{\"event\":\"stage\",\"seconds\":2,\"stage\":\"done\"}\n"));
}

// Reports (time in ms, percent, new stage) and whether each passes, at 4 per second.
TEST(ProgressThrottle, FirstOfAStageAndTheEndAlwaysPassOthersAtMostFourASecond) {
  struct Step {
    qint64 ms;
    int percent;
    bool stageChanged;
    bool passes;
  };
  const Step steps[] = {
      {0, 0, true, true},                               // first of the stage
      {10, 1, false, false},                            // too soon
      {249, 2, false, false},                           // still too soon
      {250, 3, false, true},                            // a quarter second after the last that passed
      {600, 3, false, false},                           // unchanged
      {601, 4, false, true},  {602, 100, false, true},  // the end of the transfer, however soon
      {603, 0, true, true},                             // a new stage, however soon
      {700, 0, false, false},                           // unchanged
      {900, 10, false, true},
  };
  ProgressThrottle throttle;
  for (const Step& s : steps)
    EXPECT_EQ(throttle.shouldEmit(s.ms, s.percent, s.stageChanged), s.passes) << "at " << s.ms;
}

TEST(ProgressThrottle, TheVeryFirstReportPassesAndTheRateFollowsTheSetting) {
  ProgressThrottle throttle(10);
  EXPECT_TRUE(throttle.shouldEmit(5000, 7, false));
  EXPECT_FALSE(throttle.shouldEmit(5099, 8, false));
  EXPECT_TRUE(throttle.shouldEmit(5100, 8, false));
}
