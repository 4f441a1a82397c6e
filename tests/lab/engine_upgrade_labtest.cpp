// Whole upgrades by the engine against the device simulator, inside the network lab
// (tests/lab/netlab): the engine in the upgrader namespace, the simulator at 10.77.1.1 in
// the device namespace. Every path of the sequencer, every failure row with its exact
// messages, the reachability test, and one run with the shipped waits.
#include "support/EngineProbe.h"
#include "support/GlobalStateGuard.h"
#include "support/Lab.h"

#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

using namespace orvane::test;

// Device: type 00010001, hardware 1.2, firmware 1.0; I2C device 80: type 00050001, 1.2.
QJsonObject deviceConfig(const QJsonObject& faults = {}, int flashTimeMs = 300) {
  QJsonObject i2c{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010002"}, {"name", "Sensor"}};
  QJsonObject device{{"address", labDeviceAddress(0)}, {"type", "00010001"}, {"versionWord", "01020100"},
                     {"flashTimeMs", flashTimeMs}, {"i2c", QJsonArray{i2c}}, {"faults", faults}};
  return QJsonObject{{"devices", QJsonArray{device}}};
}

QJsonObject json(const char* text) { return QJsonDocument::fromJson(text).object(); }

const QByteArray& kBin = pathBin();
const QByteArray& kWeb = pathWeb();
const QByteArray& kBi2 = pathBi2();

struct LabRig {
  explicit LabRig(const QJsonObject& config, EngineSettings s = quickSettings()) : sim(config), settings(s) {
    ensureApplication();
    engine = std::make_unique<ORVCRoVivazava>(
        constructed, &EngineProbe::callback, &probe,
        [this](const QString& ip) { return scanner.testPing(ip); }, settings);
  }
  bool start(const QByteArray* bin, const QByteArray* bi2, const QByteArray* web, bool batch = true,
             QString ip = labDeviceAddress(0)) {
    if (bin) ORVCRoVivazava::storeFileIdentification(engine->network, *orvane::parseIdentificationBlock(*bin));
    if (bi2) ORVCRoVivazava::storeFileIdentification(engine->i2c, *orvane::parseIdentificationBlock(*bi2));
    return engine->startUpgrade(ip, 80, bin, bi2, web, batch);
  }
  bool runToEnd(int timeoutMs = 20000) { return waitForEnd(*engine, probe, timeoutMs, 100); }
  QList<QByteArray> received(int port) const { return sim.received(labDeviceAddress(0), port); }
  QList<QJsonObject> events(const QString& name) const {
    QList<QJsonObject> out;
    for (const QJsonObject& r : sim.records())
      if (r.value("event").toString() == name) out << r;
    return out;
  }
  // Whether the simulator saw every connection of the upgrader closed again.
  bool allConnectionsClosed() const {
    return waitUntil(
        [&] {
          int open = 0;
          for (const QJsonObject& r : sim.records())
            if (r.value("event").toString() == "connection")
              open += r.value("state").toString() == "open" ? 1 : r.value("state").toString() == "closed" ? -1 : 0;
          return open == 0;
        },
        2000);
  }

  Simulator sim;
  EngineSettings settings;
  ORVCScanOrvaneDevice scanner{500};
  EngineProbe probe;
  bool constructed = false;
  std::unique_ptr<ORVCRoVivazava> engine;
};

class EngineLabPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(EngineLabPaths, RunsThePathAndTheDeviceEndsOnTheFilesVersion) {
  ORVANE_REQUIRE_LAB();
  const PathCase& c = GetParam();
  LabRig rig(deviceConfig());
  ASSERT_TRUE(rig.sim.started());
  ASSERT_TRUE(runWholePath(rig, c.bin, c.bi2, c.web));
  EXPECT_TRUE(rig.sim.violations().isEmpty()) << rig.sim.violations().join('\n').toStdString();
  EXPECT_EQ(rig.received(8010).value(0), orvane::proto::deviceVersionRequest());

  const QList<QByteArray> file = rig.received(8004);
  if (c.bin) {
    ASSERT_GE(file.size(), 18);
    EXPECT_EQ(file[0], orvane::proto::uploadStartRequest());
    EXPECT_EQ(file[1].mid(12, 17).toHex(' '), "2f 68 65 78 2e 68 65 78 20 00 0f 03 ea 24 24 55 aa");
    EXPECT_EQ(file[17], orvane::proto::activationRequest(1000));
    const auto activated = rig.events("activated");
    ASSERT_EQ(activated.size(), 1);
    EXPECT_EQ(activated[0].value("length").toInt(), 1000);
    EXPECT_EQ(rig.engine->network.deviceFirmwareVersion, 0x00010005);
    EXPECT_EQ(rig.engine->network.deviceHardwareVersion, 0x00010002);
  }
  if (c.web) {
    const QByteArray start = orvane::proto::uploadStartRequest();
    EXPECT_EQ(file.count(start), c.bin ? 2 : 1);
    EXPECT_EQ(file.last().mid(12, 2), QByteArray(2, 'w'));
  }
  if (c.bi2) {
    bool flashedI2c = false;
    for (const QJsonObject& r : rig.events("flashed"))
      flashedI2c |= r.value("i2c").toInt() == 80 && r.value("versionWord").toString().toLower() == "00010003";
    EXPECT_TRUE(flashedI2c);
    EXPECT_EQ(rig.engine->i2c.deviceFirmwareVersion, 0x00010003);
  }
  EXPECT_TRUE(rig.allConnectionsClosed());
}

INSTANTIATE_TEST_SUITE_P(AllSelections, EngineLabPaths,
                         ::testing::ValuesIn(pathCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  const char* faults;
  bool bin, bi2, web;
  QStringList tail;   // the end of the transcript
  int failed;         // StatusFailed reports
};

const QString kLength = "M:Test => ERROR : File length incorrect or connection problem.";

class EngineLabFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EngineLabFailures, EndsWithItsMessagesInTheTerminalState) {
  ORVANE_REQUIRE_LAB();
  const FailureCase c = GetParam();
  EngineSettings s = quickSettings();
  s.answerTimeoutMs = 700;
  s.httpTimeoutMs = 700;
  LabRig rig(deviceConfig(json(c.faults)), s);
  ASSERT_TRUE(rig.sim.started());
  ASSERT_TRUE(rig.start(c.bin ? &kBin : nullptr, c.bi2 ? &kBi2 : nullptr, c.web ? &kWeb : nullptr));
  ASSERT_TRUE(rig.runToEnd()) << rig.probe.transcript().join('\n').toStdString();
  const QStringList t = rig.probe.transcript();
  EXPECT_EQ(t.mid(t.size() - c.tail.size()), c.tail) << t.join('\n').toStdString();
  EXPECT_EQ(rig.probe.count(StatusFailed), c.failed);
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 0);
  EXPECT_EQ(rig.engine->currentState(), kTerminalState);
  EXPECT_TRUE(rig.allConnectionsClosed());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EngineLabFailures,
    ::testing::Values(
        FailureCase{"refused_common", R"({"refusePorts":[8010]})", false, false, true,
                    {"M:Check actual firmware version.", "M:Error of connection on TCP port 8010", "F"}, 1},
        FailureCase{"refused_file", R"({"refusePorts":[8004]})", true, false, false,
                    {"M:Upload bin file.", "M:Error of connection on TCP port 8004", "F"}, 1},
        FailureCase{"refused_http", R"({"refusePorts":[80]})", true, false, false,
                    {"M:Uploaded bin file check.", "M:HTTP connection Failed !", "F", kLength, "F"}, 2},
        FailureCase{"unknown_variable", R"({"tcpRaw":[{"port":8010,"index":1,"hex":"00230000000A00000000050300000000facf"}]})",
                    false, false, true, {"M:Check actual firmware version.", "M:IP Packet error : Unknown variable", "F"}, 1},
        FailureCase{"invalid_answer", R"({"tcpRaw":[{"port":8010,"index":1,"hex":"002300000000ffdc"}]})", false, false,
                    true, {"M:Error. Invalid answer from device !", "F"}, 1},
        FailureCase{"split_answer_still_whole", R"({"tcpRaw":[{"port":8010,"index":1,"hex":"00090000000103fcf5","split":[3,5]}]})",
                    false, false, true, {"M:I2C message too long (error = 3).", "F"}, 1},
        FailureCase{"upload_text", R"({"uploadStatusText":{"index":3,"text":"MemoryFull"}})", true, false, false,
                    {"M:File upload error : MemoryFull", "F"}, 1},
        FailureCase{"i2c_error", R"({"i2cError":{"index":2,"code":2}})", false, true, false,
                    {"M:I2C bus timeout (error = 2).", "F"}, 1},
        FailureCase{"i2c_readback", R"({"corruptI2cReadback":99})", false, true, false,
                    {"P:50", "M:Writing ERROR @ pos 99", "F"}, 1},
        FailureCase{"readback_at_0", R"({"corruptReadback":0})", true, false, false, {kLength, "F"}, 1},
        FailureCase{"readback_at_2", R"({"corruptReadback":2})", true, false, false, {"M:Test => ERROR @ pos 2", "F"}, 1},
        FailureCase{"readback_at_last", R"({"corruptReadback":1001})", true, false, false,
                    {"M:Test => ERROR @ pos 1001", "F"}, 1},
        FailureCase{"http_404", R"({"http":"404"})", true, false, false,
                    {"M:HTTP connection Failed !", "F", kLength, "F"}, 2},
        FailureCase{"http_302", R"({"http":"302"})", true, false, false, {"M:Uploaded bin file check.", kLength, "F"}, 1},
        FailureCase{"http_empty", R"({"http":"empty"})", true, false, false,
                    {"M:HTTP connection Failed !", "F", kLength, "F"}, 2},
        FailureCase{"http_silent", R"({"http":"silent"})", true, false, false,
                    {"M:HTTP connection Failed !", "F", kLength, "F"}, 2},
        FailureCase{"version_after_flash", R"({"versionAfterFlash":"01020104"})", true, false, false,
                    {"M:Read new firmware version.", "M:Device version not equal to the file version.", "F",
                     "M:Version error after upgrade.", "F"},
                    2},
        FailureCase{"i2c_version_after_flash", R"({"i2cVersionAfterFlash":"00010009"})", false, true, false,
                    {"M:Read new firmware I2C version.", "M:Device version not equal to the file version.", "F",
                     "M:Version I2C error after upgrade.", "F"},
                    2},
        FailureCase{"silent_common", R"({"silentPorts":[8010]})", false, false, true,
                    {"M:Check actual firmware version.", "M:No answer from device on TCP port 8010 within 0.7 s.", "F"}, 1},
        FailureCase{"silent_file", R"({"silentPorts":[8004]})", false, false, true,
                    {"M:Uploading web file.", "M:No answer from device on TCP port 8004 within 0.7 s.", "F"}, 1},
        // A stray acknowledgement (87 87) instead of the first block write's answer, then silence.
        FailureCase{"stray_during_i2c_transfer", R"({"tcpRaw":[{"port":8010,"index":3,"hex":"0008000000028787786e"}]})",
                    false, true, false, {"M:Error. Invalid answer from I2C device !", "F"}, 1},
        // The same acknowledgement as the answer to the version read after flashing.
        FailureCase{"stray_after_flashing", R"({"tcpRaw":[{"port":8010,"index":3,"hex":"0008000000028787786e"}]})",
                    true, false, false, {"M:Read new firmware version.", "M:Error. Invalid answer from I2C device !", "F"}, 1},
        // The upload start acknowledged twice, the last of the three chunks refused.
        FailureCase{"web_start_acknowledged_twice",
                    R"({"repeatAnswer":[{"port":8004,"index":1}],"uploadStatusText":{"index":4,"text":"WriteError"}})",
                    false, false, true, {"M:File upload error. Invalid answer from device !", "F"}, 1},
        FailureCase{"closed_before_answer", R"({"closeAtRequest":{"port":8010,"index":1}})", true, false, false,
                    {"M:Check actual firmware version.",
                     "M:Error of connection on TCP port 8010", "F"},
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineLab, VersionRefusalsAndDowngrades) {
  ORVANE_REQUIRE_LAB();
  GlobalStateGuard globals;
  QStringList asked;
  orvane::ui::setQuestionHandler([&](const QString&, const QString& text) {
    asked << text;
    return false;
  });
  struct Case {
    const char* name;
    QByteArray bin;
    bool batch;
    QStringList tail;
    int asked;
  };
  const Case cases[] = {
      {"type", firmwareFile(1000, 0x00020001, 0x00010005), true,
       {"M:Type mismatch. This firmware file is not for this device !", "M:Type or version error.", "F"}, 0},
      {"across majors in batch", firmwareFile(1000, 0x00010001, 0x00000009), true,
       {"M:You cannot downgrade to this version !", "M:Type or version error.", "F"}, 0},
      {"hardware maximum", firmwareFile(1000, 0x00010001, 0x01000105), true,
       {"M:This firmware is not compatible with your hardware version.\r\nThe hardware version must be less or "
        "equal than 1.0 to be upgraded with this file !",
        "M:Type or version error.", "F"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LabRig rig(deviceConfig());
    asked.clear();
    ASSERT_TRUE(rig.start(&c.bin, nullptr, nullptr, c.batch));
    ASSERT_TRUE(rig.runToEnd());
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - c.tail.size()), c.tail) << t.join('\n').toStdString();
    EXPECT_EQ(asked.size(), c.asked);
    EXPECT_TRUE(rig.received(8004).isEmpty());
  }
  // Device 1.7 (hardware 1.2), file 1.5: asked when interactive (No ends it), not in batch.
  QJsonObject config = deviceConfig();
  QJsonArray devices = config.value("devices").toArray();
  QJsonObject device = devices[0].toObject();
  device["versionWord"] = "01020107";
  devices[0] = device;
  config["devices"] = devices;
  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch);
    LabRig rig(config);
    asked.clear();
    ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr, batch));
    ASSERT_TRUE(rig.runToEnd());
    if (batch) {
      EXPECT_TRUE(asked.isEmpty());
      EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
      EXPECT_EQ(rig.engine->network.deviceFirmwareVersion, 0x00010005);
    } else {
      EXPECT_EQ(asked, QStringList({"You are downgrading ! Continue?"}));
      EXPECT_EQ(rig.probe.transcript(), QStringList({"M:Check actual firmware version.", "M:Type or version error.", "F"}));
    }
  }
}

TEST(EngineLab, StartRefusedWithoutEchoAndPingResults) {
  ORVANE_REQUIRE_LAB();
  LabRig rig(deviceConfig());
  ASSERT_TRUE(rig.sim.started());
  EXPECT_TRUE(rig.scanner.testPing(labDeviceAddress(0)));
  QElapsedTimer timer;
  timer.start();
  EXPECT_FALSE(rig.scanner.testPing(labAbsentAddress()));
  const qint64 waited = timer.elapsed();
  EXPECT_GE(waited, 900);
  EXPECT_LE(waited, 3000);

  // The echo test comes before the I2C address check.
  EXPECT_FALSE(rig.engine->startUpgrade(labAbsentAddress(), 5, nullptr, &kBi2, nullptr, true));
  EXPECT_EQ(rig.probe.reports,
            (QList<StatusReport>{{StatusMessage, -1, "No device connected at IP address: " + labAbsentAddress()},
                                 {StatusFailed, -1, "0"}}));
  EXPECT_EQ(rig.engine->currentState(), kTerminalState);
}

TEST(EngineLab, ConnectTimeoutToAnAddressThatNeverAnswers) {
  ORVANE_REQUIRE_LAB();
  EngineSettings s = quickSettings();
  s.answerTimeoutMs = 500;
  LabRig rig(deviceConfig(), s);
  // Skip the echo: the connect itself must not hang.
  rig.engine = std::make_unique<ORVCRoVivazava>(rig.constructed, &EngineProbe::callback, &rig.probe,
                                                [](const QString&) { return true; }, s);
  ASSERT_TRUE(rig.engine->startUpgrade(labAbsentAddress(), -1, nullptr, nullptr, &kWeb, true));
  ASSERT_TRUE(rig.runToEnd(5000));
  const QStringList t = rig.probe.transcript();
  EXPECT_EQ(t.mid(t.size() - 2),
            QStringList({"M:Connection to TCP port 8010 timed out after 0.5 s.", "F"}))
      << t.join('\n').toStdString();
}

TEST(EngineLab, ShippedWaitsOneFullBinUpgrade) {
  ORVANE_REQUIRE_LAB();
  LabRig rig(deviceConfig({}, 1000), EngineSettings{});
  ASSERT_TRUE(rig.sim.started());
  QElapsedTimer timer;
  timer.start();
  ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
  ASSERT_TRUE(rig.runToEnd(40000)) << rig.probe.transcript().join('\n').toStdString();
  EXPECT_EQ(rig.probe.transcript(), pathTranscript(true, false, false));
  EXPECT_EQ(rig.engine->network.deviceFirmwareVersion, 0x00010005);
  // 3 timer steps before the flashing, 31 during it, 2 after: about 18 s.
  EXPECT_GE(timer.elapsed(), 15500);
  std::fprintf(stderr, "shipped-waits .bin upgrade took %lld ms\n", static_cast<long long>(timer.elapsed()));
}

// The simulator refuses its ports while it restarts, and its I2C device is absent from the
// bus while it flashes: a restart longer than the flashing wait is waited for until the
// restart deadline, and past it the run ends unconfirmed with the failure of its last attempt.
TEST(EngineLab, ARestartLongerThanTheFlashingWait) {
  ORVANE_REQUIRE_LAB();
  struct Case {
    const char* name;
    int restartTimeoutMs;
    orvane::engine::UpgradeResult result;
  };
  const Case cases[] = {{"back before the deadline", 8000, orvane::engine::UpgradeResult::Upgraded},
                        {"deadline passed", 1200, orvane::engine::UpgradeResult::Unconfirmed}};
  const QRegularExpression still("^Device still restarting, trying again \\(\\d+ s left\\)\\.$");
  const QRegularExpression i2cStill("^I2C device still restarting, trying again \\(\\d+ s left\\)\\.$");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineSettings s = quickSettings();
    s.restartTimeoutMs = c.restartTimeoutMs;
    LabRig rig(deviceConfig({}, 2500), s);
    ASSERT_TRUE(rig.sim.started());
    ASSERT_TRUE(rig.start(&kBin, &kBi2, nullptr));
    ASSERT_TRUE(rig.runToEnd(30000)) << rig.probe.transcript().join('\n').toStdString();
    const QStringList t = rig.probe.transcript();
    const orvane::engine::UpgradeEnd& end = rig.engine->lastEnd();
    EXPECT_EQ(end.result, c.result) << t.join('\n').toStdString();
    EXPECT_TRUE(end.activated);
    EXPECT_FALSE(rig.probe.messages().filter(still).isEmpty());
    // Each version read is announced once, however many attempts it takes.
    EXPECT_EQ(t.count("M:Read new firmware version."), 1);
    if (c.result == orvane::engine::UpgradeResult::Upgraded) {
      EXPECT_FALSE(rig.probe.messages().filter(i2cStill).isEmpty());
      EXPECT_EQ(t.count("M:Read new firmware I2C version."), 1);
      EXPECT_EQ(t.last(), "S");
      EXPECT_EQ(rig.engine->i2c.deviceFirmwareVersion, 0x00010003);
    } else {
      EXPECT_EQ(t.mid(t.size() - 2), QStringList({"M:" + end.reason, "F"}));
      EXPECT_EQ(rig.probe.count(StatusFailed), 1);
    }
    EXPECT_TRUE(rig.allConnectionsClosed());
  }
}

}  // namespace
