// The command line as scripts use it, run for real against the device simulator inside the
// network lab: for each outcome the exit code, the reason on standard error and the JSON
// result line (--json) that a script reads.
#include "support/EngineProbe.h"
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

// The gateway of gatewayConfig: type 1.3, firmware 3.10, hardware 2.1; with an I2C device
// at 80 of type 5.1 running 1.2.
QJsonObject gatewayWithSensor(int flashTimeMs, const QJsonObject& faults = {}) {
  QJsonObject config = gatewayConfig(flashTimeMs, faults);
  QJsonArray devices = config.value("devices").toArray();
  QJsonObject gateway = devices.at(0).toObject();
  gateway.insert("i2c", QJsonArray{QJsonObject{
                            {"address", 80}, {"type", "00050001"}, {"versionWord", "00010002"}, {"name", "Sensor"}}});
  devices[0] = gateway;
  config.insert("devices", devices);
  return config;
}

QJsonObject resultOf(const QList<QJsonObject>& lines) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (it->value("event") == "result") return *it;
  return {};
}

bool saidMessage(const QList<QJsonObject>& lines, const QString& text) {
  for (const QJsonObject& o : lines)
    if (o.value("event") == "message" && o.value("text").toString().contains(text)) return true;
  return false;
}

class ScriptContractLab : public ::testing::Test {
 public:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
  }
  // A .bin for the gateway (type 1.3 unless given) with the new-version word, hex.
  QString bin(const char* newWord, const char* type = "00 01 00 03", const char* name = "gateway.bin") {
    return windowkit::writeFile(home.tempPath(), QString::fromLatin1(name),
                                windowkit::firmwareImage(type, newWord, "00 00 00 00", QByteArray(900, '\x42')));
  }
  QString bi2(const QByteArray& content) { return windowkit::writeFile(home.tempPath(), "sensor.bi2", content); }
  QString web() { return windowkit::writeFile(home.tempPath(), "site.web", QByteArray(300, 'w')); }

  TempHome home;
};

// One outcome: the simulator's device, the command line, and what the script sees.
struct Outcome {
  const char* name;
  int flashTimeMs;
  QJsonObject faults;
  QStringList arguments;
  int exitCode;
  const char* stderrHas;   // "" when standard error must stay empty
  const char* result;      // the result line's "result"; null when no result line is printed
  const char* messageHas;  // a message event that must appear; null for none
};

const QString kDevice = labDeviceAddress(0);

// Runs one outcome against a fresh simulator and checks what a script sees.
void expectOutcome(TempHome& home, const Outcome& c, int timeoutMs = 120000) {
  SCOPED_TRACE(c.name);
  Simulator sim(gatewayWithSensor(c.flashTimeMs, c.faults));
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run(c.arguments, {}, timeoutMs);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  const QString err = QString::fromLocal8Bit(run.standardError);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.standardOutput.toStdString() << err.toStdString();
  if (*c.stderrHas) {
    EXPECT_TRUE(err.contains(QString::fromUtf8(c.stderrHas))) << err.toStdString();
  } else {
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
  }
  const QList<QJsonObject> lines = jsonLines(run.standardOutput);
  for (const QJsonObject& line : lines) EXPECT_FALSE(line.contains("unparsed")) << line.value("unparsed").toString().toStdString();
  if (c.result) {
    const QJsonObject result = resultOf(lines);
    EXPECT_EQ(result.value("result").toString(), QString::fromLatin1(c.result)) << run.standardOutput.toStdString();
    EXPECT_EQ(result.value("exitCode").toInt(-1), c.exitCode);
    if (c.exitCode != 2) {
      EXPECT_EQ(result.value("ip").toString(), c.arguments.at(c.arguments.indexOf("-IP") + 1));
    }
  }
  if (c.messageHas) {
    EXPECT_TRUE(saidMessage(lines, QString::fromUtf8(c.messageHas))) << run.standardOutput.toStdString();
  }
}

// Runs that end before anything is flashed, or with a short flash: one per outcome.
TEST_F(ScriptContractLab, QuickOutcomes) {
  const QString newer = bin("00 03 00 0B");
  const QString same = bin("00 03 00 0A", "00 01 00 03", "same.bin");
  const QString older = bin("00 03 00 09", "00 01 00 03", "older.bin");
  const QString otherType = bin("00 03 00 0B", "00 01 00 04", "other.bin");
  const QString missing = home.tempPath() + QStringLiteral("/missing.bin");
  const QStringList json{"--json"};
  const Outcome cases[] = {
      {"bad address", 1000, {}, QStringList{"-IP", "10.77.1.256", "-B", newer} + json, 2, "-IP 10.77.1.256: not an IPv4 address", "refused", nullptr},
      {"bad I2C address", 1000, {}, QStringList{"-IP", kDevice, "-B2", newer, "-I2CA", "0x50"} + json, 2, "-I2CA 0x50: expected a decimal I2C address", "refused", nullptr},
      {"-B2 without -I2CA", 1000, {}, QStringList{"-IP", kDevice, "-B2", newer} + json, 2, "-B2 needs -I2CA", "refused", nullptr},
      {"-IP without a file", 1000, {}, QStringList{"-IP", kDevice} + json, 2, "-IP needs at least one file", "refused", nullptr},
      {"case typo", 1000, {}, QStringList{"-ip", kDevice, "-B", newer} + json, 2, "did you mean -IP?", "refused", nullptr},
      {"file refused", 1000, {}, QStringList{"-IP", kDevice, "-B", missing} + json, 5, "does not exist", "file-refused", nullptr},
      {"unreachable", 1000, {}, QStringList{"-IP", labAbsentAddress(), "-B", newer} + json, 3, "unreachable", "unreachable", nullptr},
      {"refused common port", 1000, {{"refusePorts", QJsonArray{8010}}}, QStringList{"-IP", kDevice, "-B", newer} + json, 3, "unreachable", "unreachable", nullptr},
      {"incompatible type", 1000, {}, QStringList{"-IP", kDevice, "-B", otherType} + json, 4, "not compatible", "incompatible", nullptr},
      {"current skipped", 1000, {}, QStringList{"-IP", kDevice, "-B", same, "--skip-current"} + json, 0, "", "current", "already at 3.10: skipped"},
      {"downgrade refused", 1000, {}, QStringList{"-IP", kDevice, "-B", older, "--no-downgrade"} + json, 4, "not compatible", "incompatible", nullptr},
      {"failure before activation", 1000, {{"http", "404"}}, QStringList{"-IP", kDevice, "-B", newer} + json, 1, "Nothing was activated; a retry is safe", "failed", nullptr},
      {"check", 1000, {}, QStringList{"--check", "-IP", kDevice, "-B", newer} + json, 0, "", "checked", nullptr},
      {"check incompatible", 1000, {}, QStringList{"--check", "-IP", kDevice, "-B", otherType} + json, 4, "", "incompatible", nullptr},
      {"verify match", 1000, {}, QStringList{"--verify", "-IP", kDevice, "-B", same} + json, 0, "", "match", nullptr},
      {"verify mismatch", 1000, {}, QStringList{"--verify", "-IP", kDevice, "-B", newer} + json, 6, "", "mismatch", nullptr},
      {"verify unreachable", 1000, {}, QStringList{"--verify", "-IP", labAbsentAddress(), "-B", newer} + json, 3, "unreachable", "unreachable", nullptr},
  };
  for (const Outcome& c : cases) expectOutcome(home, c);
}

// Runs that go through the shipped flashing wait of 15 s (and more).
TEST_F(ScriptContractLab, OutcomesAfterFlashing) {
  const QString same = bin("00 03 00 0A", "00 01 00 03", "same.bin");
  const QString older = bin("00 03 00 09", "00 01 00 03", "older.bin");
  const QString newer = bin("00 03 00 0B");
  const QStringList json{"--json"};
  const Outcome cases[] = {
      {"current flashed again", 1000, {}, QStringList{"-IP", kDevice, "-B", same} + json, 0, "", "upgraded", "already at 3.10: flashing it again"},
      {"downgrade accepted", 1000, {}, QStringList{"-IP", kDevice, "-B", older} + json, 0, "", "upgraded", "downgrade 3.10 → 3.9"},
      {"back after 25 s", 25000, {}, QStringList{"-IP", kDevice, "-B", newer} + json, 0, "", "upgraded", "still restarting"},
      {"never back", 600000, {}, QStringList{"-IP", kDevice, "-B", newer, "--restart-timeout", "20"} + json, 6, "activated but the device did not answer", "unconfirmed", nullptr},
  };
  for (const Outcome& c : cases) expectOutcome(home, c);
}

// A gateway that does not run the I2C service does not answer the bus scan at all.
TEST_F(ScriptContractLab, SilentI2cScanIsUnreachable) {
  Simulator sim(gatewayWithSensor(1000, QJsonObject{{"silentPorts", QJsonArray{7010}}}));
  ASSERT_TRUE(sim.started());
  const ProgramRun run = home.run({"--scan-i2c", kDevice, "--json"}, {}, 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_TRUE(QString::fromLocal8Bit(run.standardError).contains("did not answer")) << run.standardError.toStdString();
}

// A whole .bin + .web + .bi2 run: every line parses and carries the documented fields.
TEST_F(ScriptContractLab, WholeRunJsonLinesCarryTheDocumentedFields) {
  Simulator sim(gatewayWithSensor(1000));
  ASSERT_TRUE(sim.started());
  const QString bi2File = bi2(pathBi2());
  const ProgramRun run = home.run({"-IP", kDevice, "-B", bin("00 03 00 0B"), "-W", web(), "-B2", bi2File, "-I2CA", "80",
                                   "--json"}, {}, 120000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  const QList<QJsonObject> lines = jsonLines(run.standardOutput);
  QStringList stages;
  for (const QJsonObject& o : lines) {
    ASSERT_FALSE(o.contains("unparsed")) << o.value("unparsed").toString().toStdString();
    const QString event = o.value("event").toString();
    ASSERT_TRUE(QStringList({"stage", "progress", "message", "result"}).contains(event)) << event.toStdString();
    if (event == "stage") stages << o.value("stage").toString();
    if (event == "progress") {
      EXPECT_TRUE(o.value("percent").isDouble());
    }
  }
  EXPECT_EQ(stages, QStringList({"starting", "checking", "bin-upload", "readback", "activating", "restarting", "bin-verify",
                                 "web-upload", "i2c-check", "i2c-transfer", "i2c-restarting", "i2c-verify", "done"}));
  const QJsonObject result = resultOf(lines);
  EXPECT_EQ(result.value("result"), "upgraded");
  EXPECT_EQ(result.value("from").toObject().value("text"), "3.10");
  EXPECT_EQ(result.value("to").toObject().value("text"), "3.11");
  EXPECT_EQ(result.value("i2c").toObject().value("address"), 80);
  EXPECT_EQ(result.value("i2c").toObject().value("to").toObject().value("text"), "1.3");
  const QJsonArray files = result.value("files").toArray();
  ASSERT_EQ(files.size(), 3);
  for (const QJsonValue& f : files) {
    EXPECT_EQ(f.toObject().value("sha256").toString().size(), 64);
    EXPECT_GT(f.toObject().value("size").toInteger(), 0);
  }
  EXPECT_TRUE(result.value("seconds").isDouble());
  // The history holds the same run.
  const QByteArray history = readFileBytes(home.logDirectory() + "/history.jsonl");
  EXPECT_EQ(history.count('\n'), 1);
  EXPECT_EQ(QJsonDocument::fromJson(history.trimmed()).object().value("result"), "upgraded");
}

// Two processes upgrading two devices at the same time each append one whole history line.
TEST_F(ScriptContractLab, TwoRunsAtOnceAppendTwoWholeHistoryLines) {
  Simulator sim(labDevicesConfig(2));
  ASSERT_TRUE(sim.started());
  // The simulator's default device: type 1.1, firmware 1.0.
  const QString file = bin("00 01 00 01", "00 01 00 01", "device.bin");
  QProcess runs[2];
  for (int i = 0; i < 2; ++i) {
    runs[i].setProcessEnvironment(home.environment());
    runs[i].start(builtProgram(), {"-IP", labDeviceAddress(i), "-B", file});
  }
  for (QProcess& p : runs) {
    ASSERT_TRUE(p.waitForFinished(90000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  }
  const QList<QByteArray> lines = readFileBytes(home.logDirectory() + "/history.jsonl").split('\n');
  ASSERT_EQ(lines.size(), 3);  // two lines and the empty rest after the last newline
  EXPECT_TRUE(lines.at(2).isEmpty());
  QStringList addresses;
  for (int i = 0; i < 2; ++i) {
    const QJsonObject record = QJsonDocument::fromJson(lines.at(i)).object();
    EXPECT_EQ(record.value("result"), "upgraded") << lines.at(i).toStdString();
    addresses << record.value("ip").toString();
  }
  addresses.sort();
  EXPECT_EQ(addresses, QStringList({labDeviceAddress(0), labDeviceAddress(1)}));
}

}  // namespace
