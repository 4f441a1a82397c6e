// How a run ends, against the loopback device (127.0.0.1, ephemeral ports): the end
// report (result, written, activated, reason), the comparisons of each device with its
// file, the batch lines, the options (check, skip, refused downgrade), the patient wait
// for a flashed device, and the stages a run passes.
#include "support/FakeDevice.h"
#include "support/GlobalStateGuard.h"

#include "common/UiHooks.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"
#include "engine/UpgradeReport.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

using namespace orvane::test;
using orvane::engine::SetComparison;
using orvane::engine::UpgradeOptions;
using orvane::engine::UpgradeResult;
using orvane::engine::UpgradeStage;
using Port = FakeDevice::Port;
using Relation = SetComparison::Relation;

// The files: a .bin of type 00010001 version 1.5, a .bi2 of type 00050001 version 1.3.
const QByteArray& kBin = pathBin();
const QByteArray& kBi2 = pathBi2();
const QByteArray& kWeb = pathWeb();

// Records, beside the probe's reports, the end result as it stood at the first final report.
struct EndWatch {
  LoopbackRig* rig = nullptr;
  QList<UpgradeResult> atEnd;
  QList<UpgradeStage> stages;

  static void callback(void* owner, int kind, int value, const QString& text) {
    auto* w = static_cast<EndWatch*>(owner);
    EngineProbe::callback(&w->rig->probe, kind, value, text);
    if ((kind == StatusSucceeded || kind == StatusFailed) && w->atEnd.isEmpty())
      w->atEnd << w->rig->engine->lastEnd().result;
  }
};

// Binds a new engine of the rig (same settings and reachability test) to the watch.
void watch(LoopbackRig& rig, EndWatch& w) {
  w.rig = &rig;
  rig.engine = std::make_unique<ORVCRoVivazava>(
      rig.constructed, &EndWatch::callback, &w,
      [&rig](const QString& ip) {
        rig.pinged << ip;
        return rig.reachable;
      },
      rig.settings);
  rig.engine->setStageObserver([&w](UpgradeStage s) { w.stages << s; });
}

bool startWith(LoopbackRig& rig, bool bin, bool bi2, bool web, const UpgradeOptions& options, bool batch = true) {
  if (bin) ORVCRoVivazava::storeFileIdentification(rig.engine->network, *orvane::parseIdentificationBlock(kBin));
  if (bi2) ORVCRoVivazava::storeFileIdentification(rig.engine->i2c, *orvane::parseIdentificationBlock(kBi2));
  return rig.engine->startUpgrade(QStringLiteral("127.0.0.1"), 80, bin ? &kBin : nullptr, bi2 ? &kBi2 : nullptr,
                                  web ? &kWeb : nullptr, batch, options);
}

// The lines a run adds in batch mode about how the devices compare with their files.
QStringList comparisonLines(const EngineProbe& probe) {
  static const QRegularExpression line(QStringLiteral("^(I2C device )?(already at |downgrade )|Downgrade from "));
  return probe.messages().filter(line);
}

// Nothing that changes a device arrived: no upload or activation on the file port, and
// only version reads on the common port (no reset, no I2C block write or flash start).
::testing::AssertionResult nothingWritten(const FakeDevice& device) {
  if (!device.received(Port::File).isEmpty())
    return ::testing::AssertionFailure() << device.received(Port::File).size() << " frames on the file port";
  for (const QByteArray& frame : device.received(Port::Common))
    if (frame != orvane::proto::deviceVersionRequest() && frame != orvane::proto::i2cVersionRequest(80))
      return ::testing::AssertionFailure() << "common port frame " << frame.toHex(' ').toStdString();
  if (device.flashCount() || device.i2cFlashCount() || device.activatedLength() != -1)
    return ::testing::AssertionFailure() << "a flashing or activation was seen";
  return ::testing::AssertionSuccess();
}

enum class Reach { Echo, NoEcho, CommonRefused };

struct OutcomeRow {
  const char* name;
  UpgradeOptions options;
  bool batch;
  const char* versionWord;     // the network device's (1.N: 0001000N)
  const char* i2cVersionWord;  // the I2C device's
  const char* type;            // the network device's type
  Reach reach;
  bool bin, bi2, web;
  UpgradeResult result;
  bool written, activated;
  Relation network, i2c;
  QStringList lines;     // comparisonLines(), in order
  const char* reason;    // nullptr: empty; a text ending in '*': a prefix
};

constexpr UpgradeOptions kPlain{};
constexpr UpgradeOptions kCheck{true, false, false};
constexpr UpgradeOptions kSkip{false, true, false};
constexpr UpgradeOptions kNoDowngrade{false, false, true};
constexpr UpgradeOptions kCheckNoDowngrade{true, false, true};

const char* const kTypeOk = "00010001";
const char* const kConnectionError = "Error of connection on TCP port *";

const OutcomeRow kRows[] = {
    {"upgrade_all", kPlain, true, "00010000", "00010002", kTypeOk, Reach::Echo, true, true, true,
     UpgradeResult::Upgraded, true, true, SetComparison::Upgrade, SetComparison::Upgrade, {}, nullptr},
    {"check_bin_bi2", kCheck, true, "00010000", "00010002", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Checked, false, false, SetComparison::Upgrade, SetComparison::Upgrade, {}, nullptr},
    {"check_downgrade_same_says_nothing", kCheckNoDowngrade, true, "00010007", "00010003", kTypeOk, Reach::Echo, true,
     true, true, UpgradeResult::Checked, false, false, SetComparison::Downgrade, SetComparison::Same, {}, nullptr},
    {"check_window_downgrade_asks_nothing", kCheck, false, "00010007", "00010002", kTypeOk, Reach::Echo, true, false,
     false, UpgradeResult::Checked, false, false, SetComparison::Downgrade, SetComparison::NotChecked, {}, nullptr},
    {"check_incompatible_type", kCheck, true, "00010000", "00010002", "00020001", Reach::Echo, true, true, false,
     UpgradeResult::Checked, false, false, SetComparison::Incompatible, SetComparison::Upgrade, {}, nullptr},
    {"skip_current_all", kSkip, true, "00010005", "00010003", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Current, false, false, SetComparison::Same, SetComparison::Same,
     {"already at 1.5: skipped", "I2C device already at 1.3: skipped"}, nullptr},
    {"skip_current_with_web", kSkip, true, "00010005", "00010002", kTypeOk, Reach::Echo, true, false, true,
     UpgradeResult::Upgraded, true, false, SetComparison::Same, SetComparison::NotChecked,
     {"already at 1.5: skipped"}, nullptr},
    {"skip_current_i2c_only", kSkip, true, "00010000", "00010003", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Upgraded, true, true, SetComparison::Upgrade, SetComparison::Same,
     {"I2C device already at 1.3: skipped"}, nullptr},
    {"same_flashed_again", kPlain, true, "00010005", "00010003", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Upgraded, true, true, SetComparison::Same, SetComparison::Same,
     {"already at 1.5: flashing it again", "I2C device already at 1.3: flashing it again"}, nullptr},
    {"window_same_no_lines", kPlain, false, "00010005", "00010002", kTypeOk, Reach::Echo, true, false, false,
     UpgradeResult::Upgraded, true, true, SetComparison::Same, SetComparison::NotChecked, {}, nullptr},
    {"downgrade_accepted", kPlain, true, "00010007", "00010004", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Upgraded, true, true, SetComparison::Downgrade, SetComparison::Downgrade,
     {"downgrade 1.7 \u2192 1.5", "I2C device downgrade 1.4 \u2192 1.3"}, nullptr},
    {"downgrade_refused", kNoDowngrade, true, "00010007", "00010002", kTypeOk, Reach::Echo, true, true, false,
     UpgradeResult::Incompatible, false, false, SetComparison::Downgrade, SetComparison::NotChecked,
     {"downgrade 1.7 \u2192 1.5", "Downgrade from 1.7 to 1.5 refused."}, "Downgrade from 1.7 to 1.5 refused."},
    {"i2c_downgrade_refused", kNoDowngrade, true, "00010000", "00010004", kTypeOk, Reach::Echo, false, true, false,
     UpgradeResult::Incompatible, false, false, SetComparison::NotChecked, SetComparison::Downgrade,
     {"I2C device downgrade 1.4 \u2192 1.3", "I2C device: Downgrade from 1.4 to 1.3 refused."},
     "I2C device: Downgrade from 1.4 to 1.3 refused."},
    {"downgrade_across_major", kPlain, true, "00020000", "00010002", kTypeOk, Reach::Echo, true, false, false,
     UpgradeResult::Incompatible, false, false, SetComparison::Incompatible, SetComparison::NotChecked, {},
     "You cannot downgrade to this version !"},
    {"incompatible_type", kPlain, true, "00010000", "00010002", "00020001", Reach::Echo, true, false, true,
     UpgradeResult::Incompatible, false, false, SetComparison::Incompatible, SetComparison::NotChecked, {},
     "Type mismatch. This firmware file is not for this device !"},
    {"no_echo", kPlain, true, "00010000", "00010002", kTypeOk, Reach::NoEcho, true, true, false,
     UpgradeResult::Unreachable, false, false, SetComparison::NotChecked, SetComparison::NotChecked, {},
     "No device connected at IP address: 127.0.0.1"},
    {"check_no_echo", kCheck, true, "00010000", "00010002", kTypeOk, Reach::NoEcho, true, false, false,
     UpgradeResult::Unreachable, false, false, SetComparison::NotChecked, SetComparison::NotChecked, {},
     "No device connected at IP address: 127.0.0.1"},
    {"common_port_refused", kPlain, true, "00010000", "00010002", kTypeOk, Reach::CommonRefused, false, false, true,
     UpgradeResult::Unreachable, false, false, SetComparison::NotChecked, SetComparison::NotChecked, {},
     kConnectionError},
};

class EngineOutcome : public ::testing::TestWithParam<OutcomeRow> {};

TEST_P(EngineOutcome, EndReportComparisonsAndLines) {
  const OutcomeRow& row = GetParam();
  GlobalStateGuard guard;
  int asked = 0;
  // The window's downgrade question is Yes here; only a plain window run may ask it.
  orvane::ui::setQuestionHandler([&asked](const QString&, const QString&) {
    ++asked;
    return true;
  });
  LoopbackRig rig;
  EndWatch w;
  watch(rig, w);
  rig.device.versionWord = QByteArray::fromHex(row.versionWord);
  rig.device.i2cVersionWord = QByteArray::fromHex(row.i2cVersionWord);
  rig.device.type = QByteArray::fromHex(row.type);
  rig.reachable = row.reach != Reach::NoEcho;
  if (row.reach == Reach::CommonRefused) rig.device.refuse(Port::Common);

  const bool started = startWith(rig, row.bin, row.bi2, row.web, row.options, row.batch);
  EXPECT_EQ(started, row.reach != Reach::NoEcho);
  ASSERT_TRUE(rig.runToEnd());
  const QString transcript = rig.probe.transcript().join('\n');
  const bool success = row.result == UpgradeResult::Upgraded || row.result == UpgradeResult::Current ||
                       row.result == UpgradeResult::Checked;
  EXPECT_EQ(rig.probe.count(success ? StatusSucceeded : StatusFailed) > 0, true) << transcript.toStdString();
  EXPECT_TRUE(rig.probe.noSuccessAfterFailure());

  const orvane::engine::UpgradeEnd& end = rig.engine->lastEnd();
  EXPECT_EQ(w.atEnd, QList<UpgradeResult>{row.result}) << "the result as the first final report found it";
  EXPECT_EQ(end.result, row.result) << transcript.toStdString();
  EXPECT_EQ(end.written, row.written);
  EXPECT_EQ(end.activated, row.activated);
  const QString reason = row.reason ? QString::fromUtf8(row.reason) : QString();
  if (reason.endsWith('*')) {
    EXPECT_TRUE(end.reason.startsWith(reason.chopped(1))) << end.reason.toStdString();
  } else {
    EXPECT_EQ(end.reason, reason);
  }
  EXPECT_EQ(rig.engine->networkComparison().relation, row.network);
  EXPECT_EQ(rig.engine->i2cComparison().relation, row.i2c);
  EXPECT_EQ(comparisonLines(rig.probe), row.lines) << transcript.toStdString();
  if (!row.written) {
    EXPECT_TRUE(nothingWritten(rig.device));
  }
  // A firmware is flashed exactly when the run says it activated one.
  EXPECT_EQ(rig.device.flashCount() + rig.device.i2cFlashCount() > 0, row.activated);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(w.stages.value(w.stages.size() - 1), UpgradeStage::Done);
  EXPECT_EQ(rig.engine->currentState(), kTerminalState);
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineOutcome, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EngineOutcomeDetails, ASkippedBinStillLetsTheWebBeUploaded) {
  LoopbackRig rig;
  rig.device.versionWord = QByteArray::fromHex("00010005");
  ASSERT_TRUE(startWith(rig, true, false, true, kSkip));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.engine->lastEnd().result, UpgradeResult::Upgraded);
  EXPECT_EQ(rig.device.uploadedImage().left(kWeb.size()), kWeb);
  EXPECT_EQ(rig.device.activatedLength(), -1);
  EXPECT_EQ(rig.device.flashCount(), 0);
  EXPECT_TRUE(rig.device.httpRequests().isEmpty());   // no readback of a .bin
  EXPECT_FALSE(rig.probe.messages().contains("Upload bin file."));
  EXPECT_TRUE(rig.probe.messages().contains("Uploading web file."));
}

TEST(EngineOutcomeDetails, AnIncompatibleFileIsNamedInItsComparison) {
  LoopbackRig rig;
  rig.device.type = QByteArray::fromHex("00020001");
  rig.device.i2cType = QByteArray::fromHex("00060001");
  ASSERT_TRUE(startWith(rig, true, true, false, kCheck));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.engine->networkComparison().reason, "Type mismatch. This firmware file is not for this device !");
  EXPECT_EQ(rig.engine->i2cComparison().reason, "Type mismatch. This firmware file is not for this I2C device !");
  EXPECT_EQ(rig.engine->lastEnd().result, UpgradeResult::Checked);
  EXPECT_TRUE(rig.engine->lastEnd().reason.isEmpty());
  // The next run starts from nothing known.
  rig.reachable = false;
  EXPECT_FALSE(startWith(rig, true, true, false, kCheck));
  EXPECT_EQ(rig.engine->networkComparison().relation, SetComparison::NotChecked);
  EXPECT_EQ(rig.engine->i2cComparison().relation, SetComparison::NotChecked);
  EXPECT_EQ(rig.engine->lastEnd().result, UpgradeResult::Unreachable);
}

// The first version read: no answer, or a closed connection, is an unreachable device; an
// answer that makes no sense comes from a device that is there.
TEST(EngineOutcomeDetails, TheFirstVersionReadDecidesReachability) {
  using Reply = FakeDevice::Reply;
  const std::pair<Reply, UpgradeResult> cases[] = {
      {Reply{Reply::Silent, {}, {}}, UpgradeResult::Unreachable},
      {Reply{Reply::Close, {}, {}}, UpgradeResult::Unreachable},
      {Reply{Reply::Bytes, answerFrame("00 7F 00 00 00 01 00"), {}}, UpgradeResult::Failed},
  };
  for (const auto& [reply, result] : cases) {
    SCOPED_TRACE(int(reply.kind));
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = 300; });
    rig.device.script = [reply](Port port, int index, const QByteArray&) {
      return port == Port::Common && index == 1 ? reply : Reply{};
    };
    ASSERT_TRUE(startWith(rig, true, false, true, kPlain));
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(rig.engine->lastEnd().result, result) << rig.probe.transcript().join('\n').toStdString();
    EXPECT_EQ(rig.engine->lastEnd().stage, UpgradeStage::Checking);
    EXPECT_FALSE(rig.engine->lastEnd().written);
    EXPECT_EQ(rig.engine->networkComparison().relation, SetComparison::NotChecked);
  }
}

TEST(EngineOutcomeDetails, AVersionMismatchAfterFlashingIsAFailure) {
  LoopbackRig rig;
  rig.device.versionAfterFlash = QByteArray::fromHex("00010004");
  ASSERT_TRUE(startWith(rig, true, false, false, kPlain));
  ASSERT_TRUE(rig.runToEnd());
  const orvane::engine::UpgradeEnd& end = rig.engine->lastEnd();
  EXPECT_EQ(end.result, UpgradeResult::Failed);
  EXPECT_TRUE(end.written);
  EXPECT_TRUE(end.activated);
  EXPECT_EQ(end.stage, UpgradeStage::VerifyingBin);
  EXPECT_EQ(end.reason, "Device version not equal to the file version.");
}

TEST(EngineOutcomeDetails, TheOperatorsNoToADowngradeIsIncompatible) {
  GlobalStateGuard guard;
  LoopbackRig rig;
  rig.device.versionWord = QByteArray::fromHex("00010007");
  int asked = 0;
  orvane::ui::setQuestionHandler([&asked](const QString&, const QString&) {
    ++asked;
    return false;
  });
  ASSERT_TRUE(startWith(rig, true, false, false, kPlain, false));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(rig.engine->lastEnd().result, UpgradeResult::Incompatible);
  EXPECT_EQ(rig.engine->lastEnd().reason, "Type or version error.");
  EXPECT_EQ(rig.engine->networkComparison().relation, SetComparison::Downgrade);
  EXPECT_TRUE(nothingWritten(rig.device));
}

// --- The restart after flashing ------------------------------------------------------

const QRegularExpression kStillRestarting(QStringLiteral("^Device still restarting, trying again \\(\\d+ s left\\)\\.$"));
const QRegularExpression kI2cStillRestarting(
    QStringLiteral("^I2C device still restarting, trying again \\(\\d+ s left\\)\\.$"));

struct RestartRow {
  const char* name;
  bool bin, bi2;
  int restartMs;          // how long the device restarts
  int restartTimeoutMs;   // the engine's deadline
  UpgradeResult result;
  bool retries;           // "still restarting" lines are seen
};

const RestartRow kRestartRows[] = {
    {"bin_back_before_deadline", true, false, 1200, 8000, UpgradeResult::Upgraded, true},
    {"bi2_back_before_deadline", false, true, 1200, 8000, UpgradeResult::Upgraded, true},
    {"bin_never_back", true, false, 600000, 1500, UpgradeResult::Unconfirmed, true},
    {"bi2_never_back", false, true, 600000, 1500, UpgradeResult::Unconfirmed, true},
    {"bin_single_attempt", true, false, 600000, 600, UpgradeResult::Unconfirmed, false},
};

class EngineRestart : public ::testing::TestWithParam<RestartRow> {};

TEST_P(EngineRestart, WaitsForTheDeviceUntilTheDeadline) {
  const RestartRow& row = GetParam();
  LoopbackRig rig([&row](EngineSettings& s) { s.restartTimeoutMs = row.restartTimeoutMs; });
  EndWatch w;
  watch(rig, w);
  rig.device.restartMs = row.restartMs;
  ASSERT_TRUE(startWith(rig, row.bin, row.bi2, false, kPlain, false));
  ASSERT_TRUE(rig.runToEnd(30000));
  const QStringList t = rig.probe.transcript();
  const orvane::engine::UpgradeEnd& end = rig.engine->lastEnd();
  EXPECT_EQ(end.result, row.result) << t.join('\n').toStdString();
  EXPECT_EQ(w.atEnd, QList<UpgradeResult>{row.result});
  EXPECT_TRUE(end.written);
  EXPECT_TRUE(end.activated);
  const QRegularExpression& still = row.bin ? kStillRestarting : kI2cStillRestarting;
  const QStringList retries = rig.probe.messages().filter(still);
  EXPECT_EQ(!retries.isEmpty(), row.retries) << t.join('\n').toStdString();
  // The lines come only after the flashing wait, never after the end.
  const qsizetype flashing = t.indexOf(row.bin ? "M:Flashing." : "M:Flashing I2C device.");
  for (qsizetype i = 0; i < t.size(); ++i)
    if (t[i].mid(2).contains(still)) {
      EXPECT_GT(i, flashing);
      EXPECT_LT(i, t.indexOf(row.result == UpgradeResult::Upgraded ? "S" : "F"));
    }
  if (row.result == UpgradeResult::Upgraded) {
    EXPECT_EQ(t.last(), "S");
    EXPECT_EQ(rig.probe.count(StatusFailed), 0);
    // The version read is announced once, however many attempts it takes.
    EXPECT_EQ(t.count(row.bin ? "M:Read new firmware version." : "M:Read new firmware I2C version."), 1);
    EXPECT_TRUE(t.value(t.size() - 2).mid(2).contains(still)) << t.join('\n').toStdString();
    EXPECT_EQ(row.bin ? rig.engine->network.deviceFirmwareVersion : rig.engine->i2c.deviceFirmwareVersion,
              row.bin ? 0x00010005 : 0x00010003);
    EXPECT_TRUE(end.reason.isEmpty());
  } else {
    // Past the deadline the run ends as a single attempt always has: the same failure.
    EXPECT_EQ(rig.probe.count(StatusFailed), 1);
    EXPECT_EQ(t.last(), "F");
    EXPECT_EQ("M:" + end.reason, t.value(t.size() - 2));
    if (row.bin) {
      EXPECT_EQ(end.reason, QStringLiteral("Error of connection on TCP port %1").arg(rig.device.commonPort()));
    } else {
      EXPECT_TRUE(end.reason.endsWith(" (error = 2).")) << end.reason.toStdString();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineRestart, ::testing::ValuesIn(kRestartRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Stages --------------------------------------------------------------------------

TEST(EngineStages, AWholeRunPassesEveryStageOnceAndEndsWithDone) {
  LoopbackRig rig;
  EndWatch w;
  watch(rig, w);
  ASSERT_TRUE(startWith(rig, true, true, true, kPlain));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.engine->lastEnd().result, UpgradeResult::Upgraded);
  const QList<UpgradeStage> expected = {
      UpgradeStage::Starting,     UpgradeStage::Checking,        UpgradeStage::UploadingBin,
      UpgradeStage::ReadingBack,  UpgradeStage::Activating,      UpgradeStage::Restarting,
      UpgradeStage::VerifyingBin, UpgradeStage::UploadingWeb,    UpgradeStage::CheckingI2c,
      UpgradeStage::TransferringI2c, UpgradeStage::RestartingI2c, UpgradeStage::VerifyingI2c,
      UpgradeStage::Done};
  EXPECT_EQ(w.stages, expected);
  EXPECT_EQ(rig.engine->lastEnd().stage, UpgradeStage::VerifyingI2c);
}

TEST(EngineStages, FailuresAndSkipsEndWithDone) {
  struct Case {
    const char* name;
    UpgradeOptions options;
    bool reachable;
    const char* versionWord;
    const char* type;
    QList<UpgradeStage> stages;
  };
  const Case cases[] = {
      {"no echo", kPlain, false, "00010000", "00010001", {UpgradeStage::Starting, UpgradeStage::Done}},
      {"incompatible", kPlain, true, "00010000", "00020001",
       {UpgradeStage::Starting, UpgradeStage::Checking, UpgradeStage::Done}},
      {"check", kCheck, true, "00010000", "00010001",
       {UpgradeStage::Starting, UpgradeStage::Checking, UpgradeStage::CheckingI2c, UpgradeStage::Done}},
      {"skip current .bin", kSkip, true, "00010005", "00010001",
       {UpgradeStage::Starting, UpgradeStage::Checking, UpgradeStage::CheckingI2c, UpgradeStage::TransferringI2c,
        UpgradeStage::RestartingI2c, UpgradeStage::VerifyingI2c, UpgradeStage::Done}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig;
    EndWatch w;
    watch(rig, w);
    rig.reachable = c.reachable;
    rig.device.versionWord = QByteArray::fromHex(c.versionWord);
    rig.device.type = QByteArray::fromHex(c.type);
    startWith(rig, true, true, false, c.options);
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(w.stages, c.stages) << rig.probe.transcript().join('\n').toStdString();
  }
}

TEST(EngineStages, StableNames) {
  const std::pair<UpgradeStage, const char*> names[] = {
      {UpgradeStage::Starting, "starting"},         {UpgradeStage::Checking, "checking"},
      {UpgradeStage::UploadingBin, "bin-upload"},   {UpgradeStage::ReadingBack, "readback"},
      {UpgradeStage::Activating, "activating"},     {UpgradeStage::Restarting, "restarting"},
      {UpgradeStage::VerifyingBin, "bin-verify"},   {UpgradeStage::UploadingWeb, "web-upload"},
      {UpgradeStage::CheckingI2c, "i2c-check"},     {UpgradeStage::TransferringI2c, "i2c-transfer"},
      {UpgradeStage::RestartingI2c, "i2c-restarting"}, {UpgradeStage::VerifyingI2c, "i2c-verify"},
      {UpgradeStage::Done, "done"}};
  for (const auto& [stage, name] : names) EXPECT_STREQ(orvane::engine::stageName(stage), name);
}

}  // namespace
