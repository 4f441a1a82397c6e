// A device that answers with a frame of another shape than the one awaited, answers twice,
// or answers the version read after flashing with something else: every wait ends, with a
// failure that names the invalid answer, and a failed upgrade never reports success. Against
// a scripted device on loopback (127.0.0.1 only).
#include "support/FakeDevice.h"

#include "engine/IpPacket.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;
using Reply = FakeDevice::Reply;
using orvane::proto::deviceVersionRequest;
using orvane::proto::i2cVersionRequest;

const QByteArray kBin = firmwareFile(1000, 0x00010001, 0x00010005);   // 1.5
const QByteArray kBi2 = firmwareFile(100, 0x00050001, 0x00010003);    // 1.3, two I2C blocks
const QByteArray kWeb(130, 'w');                                       // three upload chunks

const QString kInvalid = QStringLiteral("M:Error. Invalid answer from device !");
const QString kInvalidI2c = QStringLiteral("M:Error. Invalid answer from I2C device !");
const QString kInvalidUpload = QStringLiteral("M:File upload error. Invalid answer from device !");

QByteArray readBackAnswer() {
  QByteArray hex = "00 08 00 00 00 46 87 87";
  for (char window : {'a', 'b', 'c', 'd'}) hex += " " + QByteArray(16, window).toHex(' ') + " 87";
  return answerFrame(hex.constData());
}

QByteArray uploadAnswer(const QByteArray& text) {
  return answerFrame(("00 33 00 00 00 " + QByteArray(1, char(text.size())).toHex() + " " + text.toHex()).constData());
}

// The shapes a device may send on the common port. Each names the wait it answers; an
// incomplete version answer answers none.
struct Shape {
  const char* name;
  QByteArray bytes;
  const char* answers;
  QString message;   // the failure where it is not awaited
};

const QList<Shape>& shapes() {
  static const QList<Shape> all = {
      {"flash_started", answerFrame("00 08 00 00 00 02 87 87"), "", kInvalidI2c},
      {"i2c_version", answerFrame("00 08 00 00 00 0A 00 05 00 01 87 00 01 00 03 87"), "i2c_version", kInvalidI2c},
      {"variables", answerFrame("00 23 00 00 00 0A 00 00 01 00 01 01 00 01 00 05"), "version", kInvalid},
      {"variables_type_only", answerFrame("00 23 00 00 00 05 00 00 01 00 01"), "", kInvalid},
      {"variables_version_only", answerFrame("00 23 00 00 00 05 01 00 01 00 05"), "", kInvalid},
      {"block_written", answerFrame("00 08 00 00 00 06 87 87 87 87 87 87"), "block_write", kInvalidI2c},
      {"read_back", readBackAnswer(), "read_back", kInvalidI2c},
  };
  return all;
}

// A request on the common port that waits for one answer (of the shape `awaits`): the n-th
// time these bytes come.
struct WaitPoint {
  const char* name;
  const char* awaits;
  bool bin;   // else the .bi2
  QByteArray request;
  int occurrence;
};

const QByteArray kFirstBlock = orvane::proto::i2cImage(kBi2, 0xFF).left(orvane::proto::kChunkSize);

class EngineStrayAnswers : public ::testing::TestWithParam<WaitPoint> {};

// The device already runs the files' versions: a stray answer that were taken for the
// version read after flashing would compare the values read before and report success.
TEST_P(EngineStrayAnswers, EveryShapeButTheAwaitedOneEndsTheWaitAsInvalid) {
  const WaitPoint& point = GetParam();
  for (const Shape& shape : shapes()) {
    if (QByteArray(shape.answers) == point.awaits) continue;
    SCOPED_TRACE(shape.name);
    int seen = 0;   // declared before the rig: the device's script counts into it
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = 1000; });
    rig.device.versionWord = QByteArray::fromHex("00010005");
    rig.device.i2cVersionWord = QByteArray::fromHex("00010003");
    const QByteArray stray = shape.bytes;
    rig.device.script = [&seen, &point, stray](Port port, int, const QByteArray& request) {
      if (port == Port::Common && request == point.request && ++seen == point.occurrence)
        return Reply{Reply::Bytes, stray, {}};
      return Reply{};
    };
    ASSERT_TRUE(rig.start(point.bin ? &kBin : nullptr, point.bin ? nullptr : &kBi2, nullptr));
    ASSERT_TRUE(rig.runToEnd(5000)) << rig.probe.transcript().join('\n').toStdString();
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - 2), QStringList({shape.message, "F"})) << t.join('\n').toStdString();
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 0);
    EXPECT_EQ(rig.probe.count(StatusFailed), 1);
    EXPECT_TRUE(waitUntil([&] { return rig.device.openConnections(Port::Common) == 0; }, 2000));
  }
}

INSTANTIATE_TEST_SUITE_P(
    WaitingStates, EngineStrayAnswers,
    ::testing::Values(
        WaitPoint{"version", "version", true, deviceVersionRequest(), 1},
        WaitPoint{"version_after_flashing", "version", true, deviceVersionRequest(), 2},
        WaitPoint{"i2c_version", "i2c_version", false, i2cVersionRequest(80), 1},
        WaitPoint{"i2c_version_after_flashing", "i2c_version", false, i2cVersionRequest(80), 2},
        WaitPoint{"block_write", "block_write", false, orvane::proto::i2cBlockWriteRequest(80, 0, kFirstBlock), 1},
        WaitPoint{"read_back", "read_back", false, orvane::proto::i2cBlockReadBackRequest(80, 0), 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Answers on the file port, each matched to the one request in flight.
TEST(EngineUploadLockStep, AnAnswerThatNoRequestWaitsForIsInvalid) {
  struct Case {
    const char* name;
    bool bin;   // else the .web
    int index;  // the request on the file port whose answer is replaced
    QByteArray answer;
    QList<int> cuts;
  };
  const QByteArray erased = uploadAnswer("MemoryErased");
  const Case cases[] = {
      {"bin start acknowledged twice", true, 1, erased + erased, {}},
      {"web start acknowledged twice", false, 1, erased + erased, {}},
      {"chunk answered as a start", false, 2, erased, {}},
      {"last chunk answered as a start", false, 4, erased, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig;
    const Case k = c;
    rig.device.script = [k](Port port, int index, const QByteArray&) {
      return port == Port::File && index == k.index ? Reply{Reply::Bytes, k.answer, k.cuts} : Reply{};
    };
    ASSERT_TRUE(rig.start(c.bin ? &kBin : nullptr, nullptr, c.bin ? nullptr : &kWeb));
    ASSERT_TRUE(rig.runToEnd(5000));
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - 2), QStringList({kInvalidUpload, "F"})) << t.join('\n').toStdString();
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 0);
  }
}

TEST(EngineUploadLockStep, RefusedLastChunkAfterADoubleStartAcknowledgementFails) {
  LoopbackRig rig;
  const QByteArray erased = uploadAnswer("MemoryErased");
  rig.device.script = [erased](Port port, int index, const QByteArray&) {
    if (port == Port::File && index == 1) return Reply{Reply::Bytes, erased + erased, {}};
    if (port == Port::File && index == 4) return Reply{Reply::Bytes, uploadAnswer("WriteError"), {}};
    return Reply{};
  };
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd(5000));
  // Long enough for any step that a stray success would still run.
  waitUntil([] { return false; }, 10 * rig.settings.stepMs);
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 0) << rig.probe.transcript().join('\n').toStdString();
  EXPECT_GE(rig.probe.count(StatusFailed), 1);
  EXPECT_TRUE(rig.probe.noSuccessAfterFailure());
}

// Failures at every stage, each followed by time enough for the steps that a success
// would take: no StatusSucceeded comes after a StatusFailed.
TEST(EngineOutcome, AFailureIsNeverFollowedBySuccess) {
  struct Case {
    const char* name;
    bool bin, bi2, web;
    Port port;
    int index;
    Reply reply;
  };
  const Case cases[] = {
      {"version read silent", false, false, true, Port::Common, 1, Reply{Reply::Silent, {}, {}}},
      {"version read closed", true, false, false, Port::Common, 1, Reply{Reply::Close, {}, {}}},
      {"bin chunk refused", true, false, true, Port::File, 3, Reply{Reply::Bytes, uploadAnswer("WriteError"), {}}},
      {"web start twice", true, false, true, Port::File, 19, Reply{Reply::Bytes, uploadAnswer("MemoryErased") +
                                                                                     uploadAnswer("MemoryErased"), {}}},
      {"stray during the I2C transfer", false, true, false, Port::Common, 3,
       Reply{Reply::Bytes, answerFrame("00 08 00 00 00 02 87 87"), {}}},
      {"i2c version after flashing stale", true, true, true, Port::Common, 10,
       Reply{Reply::Bytes, answerFrame("00 23 00 00 00 0A 00 00 01 00 01 01 00 01 00 05"), {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = 400; });
    const Case k = c;
    rig.device.script = [k](Port port, int index, const QByteArray&) {
      return port == k.port && index == k.index ? k.reply : Reply{};
    };
    ASSERT_TRUE(rig.start(c.bin ? &kBin : nullptr, c.bi2 ? &kBi2 : nullptr, c.web ? &kWeb : nullptr));
    ASSERT_TRUE(rig.runToEnd(8000));
    waitUntil([] { return false; }, 10 * rig.settings.stepMs);
    EXPECT_GE(rig.probe.count(StatusFailed), 1) << rig.probe.transcript().join('\n').toStdString();
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 0) << rig.probe.transcript().join('\n').toStdString();
    EXPECT_TRUE(rig.probe.noSuccessAfterFailure());
    EXPECT_EQ(rig.engine->currentState(), kTerminalState);
  }
}

// The answer deadline never ends before its time (a coarse timer may fire up to 5 % early;
// the direction of its error changes from one wait to the next, so several are timed).
TEST(EngineDeadlines, AnAnswerWaitNeverEndsBeforeItsTime) {
  constexpr int kTimeoutMs = 400;
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE(run);
    std::chrono::steady_clock::time_point asked;   // set by the device's script
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = kTimeoutMs; });
    rig.device.script = [&asked](Port port, int index, const QByteArray&) {
      if (port != Port::Common || index != 1) return Reply{};
      // The engine armed its deadline before this request went out.
      asked = std::chrono::steady_clock::now();
      return Reply{Reply::Silent, {}, {}};
    };
    ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
    ASSERT_TRUE(rig.runToEnd(5000));
    ASSERT_EQ(rig.probe.count(StatusFailed), 1);
    const qsizetype failedAt = rig.probe.reports.indexOf(StatusReport{StatusFailed, -1, "0"});
    const auto waited = rig.probe.reportTimes.at(size_t(failedAt)) - asked;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), kTimeoutMs);
  }
}

}  // namespace
