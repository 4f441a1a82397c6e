// A fleet run of the real program against twenty simulated devices inside the network
// lab: each device ends with its own outcome, the summary and the exit code name the
// worst one, and the simulator's record shows what each device received: its own image
// exactly once, at most one activation, never more than --jobs devices uploading at once,
// and nothing at all for the devices that were skipped or refused.
#include "support/FleetRecord.h"
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <map>

using namespace orvane::test;

namespace {

constexpr int kDevices = 20;
constexpr int kJobs = 8;
constexpr int kRunTimeoutMs = 300000;
// A flashed device has one attempt to answer again after the shipped 15 s flashing wait;
// the device that goes silent after its reset is then "unconfirmed" without a longer wait.
const QString kRestartTimeout = QStringLiteral("15");

// The devices run firmware 3.10 on hardware 2.1 (type 1.3) unless the table says otherwise.
// default.bin carries 3.11, group-b.bin 3.12 with other bytes.
enum class File { Default, GroupB };

struct Device {
  const char* type;
  const char* versionWord;
  QJsonObject faults;
  File file;
  const char* upgradeResult;  // what the fleet run ends with
  const char* checkResult;    // what --check ends with
};

const char* const kType = "00010003";
const char* const kAt310 = "0201030A";

// The table of the twenty devices, by index (address labDeviceAddress(index)).
std::vector<Device> fleet() {
  std::vector<Device> d;
  // A plan says "current" for a device it would skip, "checked" for one it would upgrade.
  for (int i = 0; i < 3; ++i) d.push_back({kType, "0201030B", {}, File::Default, "current", "current"});
  d.push_back({"00120003", kAt310, {}, File::Default, "incompatible", "incompatible"});            // another type
  d.push_back({kType, "0201030C", {}, File::Default, "incompatible", "incompatible"});              // a downgrade
  d.push_back({kType, kAt310, {{"silentPorts", QJsonArray{8010}}}, File::Default, "unreachable", "unreachable"});
  d.push_back({kType, kAt310, {{"corruptReadback", 2}}, File::Default, "failed", "checked"});
  d.push_back({kType, kAt310, {{"silentAfterReset", true}}, File::Default, "unconfirmed", "checked"});
  for (int i = 0; i < 6; ++i) d.push_back({kType, kAt310, {}, File::Default, "upgraded", "checked"});
  for (int i = 0; i < 6; ++i) d.push_back({kType, kAt310, {}, File::GroupB, "upgraded", "checked"});
  return d;
}

QJsonObject simulatorConfig(const std::vector<Device>& devices) {
  QJsonArray list;
  for (size_t i = 0; i < devices.size(); ++i) {
    QJsonObject o{{"address", labDeviceAddress(int(i))}, {"type", devices[i].type},
                  {"versionWord", devices[i].versionWord}, {"flashTimeMs", 1000}};
    if (!devices[i].faults.isEmpty()) o.insert("faults", devices[i].faults);
    list.append(o);
  }
  return QJsonObject{{"devices", list}};
}

// The counts of a summary without the zero ones.
std::map<QString, int> nonZero(const QJsonObject& counts) {
  std::map<QString, int> out;
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it.value().toInt() != 0) out[it.key()] = it.value().toInt();
  return out;
}

std::map<QString, int> expectedCounts(const std::vector<Device>& devices, bool check) {
  std::map<QString, int> out;
  for (const Device& d : devices) ++out[QString::fromLatin1(check ? d.checkResult : d.upgradeResult)];
  return out;
}

class FleetLab : public ::testing::Test {
 public:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    ASSERT_TRUE(home.isValid());
    // 32 KiB: 512 chunks, long enough that uploads of devices started together overlap.
    defaultBin = windowkit::firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00", QByteArray(32 << 10, '\x42'));
    groupBBin = windowkit::firmwareImage("00 01 00 03", "00 03 00 0C", "00 00 00 00", QByteArray((32 << 10) + 100, '\x43'));
    defaultPath = windowkit::writeFile(home.tempPath(), "default.bin", defaultBin);
    windowkit::writeFile(home.tempPath(), "group-b.bin", groupBBin);
  }

  // The targets file of the table: one address a line, the group-b devices with bin=.
  QString writeTargets(const std::vector<Device>& devices) {
    QByteArray text = "# fleet lab: " + QByteArray::number(int(devices.size())) + " devices\n";
    for (size_t i = 0; i < devices.size(); ++i) {
      text += labDeviceAddress(int(i)).toLatin1();
      if (devices[i].file == File::GroupB) text += "  bin=group-b.bin  # the second group";
      text += '\n';
    }
    return windowkit::writeFile(home.tempPath(), "targets.txt", text);
  }

  const QByteArray& fileOf(const Device& d) const { return d.file == File::GroupB ? groupBBin : defaultBin; }

  TempHome home;
  QByteArray defaultBin, groupBBin;
  QString defaultPath;
};

// Every JSON line parses, carries an "ip" (but the summary, which comes last) and each
// device has exactly one result line; returns the results by address.
std::map<QString, QString> resultsByAddress(const QList<QJsonObject>& lines) {
  std::map<QString, QString> results;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QJsonObject& o = lines[i];
    EXPECT_FALSE(o.contains("unparsed")) << o.value("unparsed").toString().toStdString();
    if (i == lines.size() - 1) break;
    EXPECT_TRUE(o.value("ip").isString()) << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
    if (o.value("event") != "result") continue;
    const QString ip = o.value("ip").toString();
    EXPECT_EQ(results.count(ip), 0u) << ip.toStdString() << ": a second result line";
    results[ip] = o.value("result").toString();
  }
  return results;
}

// Each device's result line against the table; `context` follows a mismatch.
void expectDeviceResults(const QList<QJsonObject>& lines, const std::vector<Device>& devices, bool check,
                         const std::string& context) {
  const std::map<QString, QString> results = resultsByAddress(lines);
  for (size_t i = 0; i < devices.size(); ++i) {
    const QString ip = labDeviceAddress(int(i));
    EXPECT_EQ(results.count(ip) ? results.at(ip) : QString("(none)"),
              QString::fromLatin1(check ? devices[i].checkResult : devices[i].upgradeResult))
        << ip.toStdString() << "\n" << context;
  }
}

// The summary (the last line) against the table.
void expectSummary(const QJsonObject& summary, const std::vector<Device>& devices, bool check, int exitCode) {
  ASSERT_EQ(summary.value("event"), "summary");
  EXPECT_EQ(summary.value("mode"), check ? "check" : "upgrade");
  EXPECT_EQ(summary.value("devices").toInt(), int(devices.size()));
  EXPECT_EQ(summary.value("exitCode").toInt(-1), exitCode);
  EXPECT_EQ(nonZero(summary.value("counts").toObject()), expectedCounts(devices, check));
  EXPECT_TRUE(summary.value("seconds").isDouble());
  EXPECT_FALSE(summary.value("started").toString().isEmpty());
  const QJsonArray results = summary.value("results").toArray();
  ASSERT_EQ(results.size(), qsizetype(devices.size()));
  std::map<QString, QString> byAddress;
  for (const QJsonValue& v : results) {
    const QJsonObject r = v.toObject();
    for (const char* key : {"ip", "name", "mac", "type", "from", "to", "result", "reason", "seconds"})
      EXPECT_TRUE(r.contains(key)) << key;
    byAddress[r.value("ip").toString()] = r.value("result").toString();
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const QString ip = labDeviceAddress(int(i));
    EXPECT_EQ(byAddress[ip], QString::fromLatin1(check ? devices[i].checkResult : devices[i].upgradeResult))
        << ip.toStdString() << " in the summary";
  }
}

TEST_F(FleetLab, TwentyDevicesEachEndWithTheirOwnOutcome) {
  const std::vector<Device> devices = fleet();
  Simulator sim(simulatorConfig(devices));
  ASSERT_TRUE(sim.started());
  const QString targets = writeTargets(devices);
  const ProgramRun run = home.run({"--fleet", targets, "-B", defaultPath, "--jobs", QString::number(kJobs), "--json",
                                   "--restart-timeout", kRestartTimeout},
                                  {}, kRunTimeoutMs);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  // The worst outcome: the device that went silent after its reset is unconfirmed (6),
  // which ranks before failed (1), unreachable (3) and incompatible (4).
  EXPECT_EQ(run.exitCode, 6) << run.standardError.toStdString();

  const QList<QJsonObject> lines = jsonLines(run.standardOutput);
  ASSERT_FALSE(lines.isEmpty());
  expectDeviceResults(lines, devices, false, run.standardError.toStdString());
  expectSummary(lines.last(), devices, false, 6);

  // What each device received, from the simulator's record.
  const QMap<QString, DeviceUpload> uploads = deviceUploads(sim.records());
  for (size_t i = 0; i < devices.size(); ++i) {
    const Device& d = devices[i];
    const QString ip = labDeviceAddress(int(i));
    SCOPED_TRACE(ip.toStdString() + " " + d.upgradeResult);
    const DeviceUpload u = uploads.value(ip);
    EXPECT_EQ(u.badFrames, 0);
    EXPECT_LE(u.activations, 1) << "activated twice";
    const QByteArray result(d.upgradeResult);
    if (result == "current" || result == "incompatible" || result == "unreachable") {
      EXPECT_EQ(u.uploadStarts, 0);
      EXPECT_EQ(u.activations, 0);
      EXPECT_EQ(u.resets, 0);
      continue;
    }
    EXPECT_EQ(u.uploadStarts, 1);
    EXPECT_TRUE(u.image == expectedBinUpload(fileOf(d))) << "not exactly its own image, once (" << u.image.size()
                                                          << " bytes received)";
    // A read-back that does not match stops the run before the activation.
    EXPECT_EQ(u.activations, result == "failed" ? 0 : 1);
  }
  const int most = maxConcurrentUploads(uploads);
  EXPECT_LE(most, kJobs);
  // Twelve devices upload, eight at a time: several of them do so together.
  EXPECT_GT(most, 1) << "the devices were upgraded one after the other";
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();

  // The history holds one record per device of the run.
  const ProgramRun history = home.run({"--history", "--json"}, {}, 30000);
  ASSERT_TRUE(history.finished);
  EXPECT_EQ(history.exitCode, 0) << history.standardError.toStdString();
  std::map<QString, QStringList> recorded;
  for (const QJsonObject& r : jsonLines(history.standardOutput))
    recorded[r.value("ip").toString()] << r.value("result").toString();
  EXPECT_EQ(recorded.size(), devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    const QString ip = labDeviceAddress(int(i));
    EXPECT_EQ(recorded[ip], QStringList{QString::fromLatin1(devices[i].upgradeResult)}) << ip.toStdString();
  }
}

// --check reads every device and writes nothing. Its exit code follows the same ranking as
// an upgrade: the devices that would be upgraded are "checked" (counted like "upgraded"),
// the ones it would skip "current", and the worst of the rest is the unreachable device (3, before
// the incompatible ones' 4). The devices already at the file's version were read as such.
TEST_F(FleetLab, CheckWritesNothing) {
  const std::vector<Device> devices = fleet();
  Simulator sim(simulatorConfig(devices));
  ASSERT_TRUE(sim.started());
  const QString targets = writeTargets(devices);
  const ProgramRun run = home.run({"--fleet", targets, "-B", defaultPath, "--check", "--json"}, {}, kRunTimeoutMs);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 3) << run.standardError.toStdString();
  const QList<QJsonObject> lines = jsonLines(run.standardOutput);
  ASSERT_FALSE(lines.isEmpty());
  expectDeviceResults(lines, devices, true, std::string());
  expectSummary(lines.last(), devices, true, 3);
  for (const QJsonObject& o : lines) {
    const QString ip = o.value("ip").toString();
    if (o.value("event") == "result" && (ip == labDeviceAddress(0) || ip == labDeviceAddress(1) || ip == labDeviceAddress(2))) {
      EXPECT_EQ(o.value("from").toObject().value("text"), "3.11") << ip.toStdString();
    }
  }
  for (const auto& [ip, u] : deviceUploads(sim.records()).asKeyValueRange()) {
    EXPECT_EQ(u.uploadStarts, 0) << ip.toStdString();
    EXPECT_EQ(u.uploadData, 0) << ip.toStdString();
    EXPECT_EQ(u.activations, 0) << ip.toStdString();
    EXPECT_EQ(u.resets, 0) << ip.toStdString();
  }
  EXPECT_TRUE(readFileBytes(home.logDirectory() + "/history.jsonl").isEmpty()) << "a check is not an upgrade";
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

// A line of the targets file that does not read refuses the whole run before any device
// is asked anything.
TEST_F(FleetLab, BadTargetsLineRefusesTheRunBeforeAnyExchange) {
  Simulator sim(labDevicesConfig(3));
  ASSERT_TRUE(sim.started());
  const QString targets = windowkit::writeFile(
      home.tempPath(), "targets.txt",
      labDeviceAddress(0).toLatin1() + "\n" + labDeviceAddress(1).toLatin1() + "\n10.77.1.300\n");
  const QString bin = windowkit::writeFile(home.tempPath(), "device.bin",
                                           windowkit::firmwareImage("00 01 00 01", "00 01 00 01", "00 00 00 00"));
  const ProgramRun run = home.run({"--fleet", targets, "-B", bin, "--json"}, {}, 60000);
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  EXPECT_EQ(run.exitCode, 2);
  const QString err = QString::fromLocal8Bit(run.standardError);
  EXPECT_TRUE(err.contains("line 3")) << err.toStdString();
  EXPECT_TRUE(err.contains("10.77.1.300")) << err.toStdString();
  for (const QJsonObject& r : sim.records()) {
    EXPECT_NE(r.value("event"), "connection") << r.value("device").toString().toStdString();
    EXPECT_FALSE(r.contains("proto")) << r.value("device").toString().toStdString();
  }
  EXPECT_TRUE(readFileBytes(home.logDirectory() + "/history.jsonl").isEmpty());
}

}  // namespace
