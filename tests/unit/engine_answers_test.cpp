// The answer handlers of both ports, fed the literal answers of the protocol through a
// scripted device on loopback (127.0.0.1 only), cut and joined in awkward places; the
// start checks, socket errors and every time-out.
#include "support/FakeDevice.h"
#include "support/GlobalStateGuard.h"

#include "common/UiHooks.h"
#include "engine/IpPacket.h"

#include <QTcpServer>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;
using Reply = FakeDevice::Reply;

// Answers the first request on the common port (the version read) with these bytes.
FakeDevice::Script firstCommonAnswer(const QByteArray& bytes, QList<int> cuts = {}) {
  return [bytes, cuts](Port port, int index, const QByteArray&) {
    if (port == Port::Common && index == 1) return Reply{Reply::Bytes, bytes, cuts};
    return Reply{};
  };
}

const QByteArray kWeb(100, 'w');
const QByteArray kBin = firmwareFile(1000, 0x00010001, 0x00010005);

struct FailureCase {
  const char* name;
  QByteArray answer;
  QString message;
};

TEST(EngineCommonAnswers, StoresTheValuesOfAVariablesAnswer) {
  struct Case {
    QByteArray answer;
    qint32 type, firmware, hardware;
  };
  const QByteArray first = answerFrame("00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03");
  QByteArray wrongChecksum = first;
  wrongChecksum[16] = 0;
  wrongChecksum[17] = 0;
  const Case cases[] = {
      {first, 5, 3, 0x10002},
      {answerFrame("00 23 00 00 00 0A 00 00 00 00 05 01 00 00 02 07"), 5, 0x207, -1},
      {wrongChecksum, 5, 3, 0x10002},   // the checksum of an answer is not verified
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.toHex(' ').toStdString());
    LoopbackRig rig;
    rig.device.script = firstCommonAnswer(c.answer);
    ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
    EXPECT_EQ(rig.engine->network.deviceFirmwareType, c.type);
    EXPECT_EQ(rig.engine->network.deviceFirmwareVersion, c.firmware);
    EXPECT_EQ(rig.engine->network.deviceHardwareVersion, c.hardware);
  }
}

TEST(EngineCommonAnswers, RefusedAnswersEndTheUpgrade) {
  const QString invalid = "Error. Invalid answer from device !";
  const QString invalidI2c = "Error. Invalid answer from I2C device !";
  const FailureCase cases[] = {
      {"unknown variable", answerFrame("00 23 00 00 00 0A 00 00 00 00 05 03 00 00 00 00"), "IP Packet error : Unknown variable"},
      {"no entries", answerFrame("00 23 00 00 00 00"), invalid},
      {"last entry cut short", answerFrame("00 23 00 00 00 07 00 00 00 00 05 01 00"), invalid},
      {"i2c error 3", answerFrame("00 09 00 00 00 01 03"), "I2C message too long (error = 3)."},
      {"i2c error 0", answerFrame("00 09 00 00 00 01 00"), "I2C unknown error (error = 0)."},
      {"i2c error 1", answerFrame("00 09 00 00 00 01 01"), "I2C bus not ready (error = 1)."},
      {"code 9, ten bytes", answerFrame("00 09 00 00 00 02 03 00"), invalid},
      {"i2c version without status", answerFrame("00 08 00 00 00 0A 00 05 00 01 87 00 01 00 02 00"), invalidI2c},
      {"block acknowledgement without a transfer", answerFrame("00 08 00 00 00 06 87 87 87 87 87 87"), invalidI2c},
      {"read-back answer without a transfer",
       answerFrame(("00 08 00 00 00 46 87 87 " + QByteArray(16, 'a').toHex() + " 87 " + QByteArray(16, 'b').toHex() +
              " 87 " + QByteArray(16, 'c').toHex() + " 87 " + QByteArray(16, 'd').toHex() + " 87")
                 .constData()),
       invalidI2c},
      {"i2c answer of no known shape", answerFrame("00 08 00 00 00 03 87 87 87"), invalidI2c},
      {"unknown code", answerFrame("00 44 00 00 00 00"), invalid},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig;
    rig.device.script = firstCommonAnswer(c.answer);
    ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(rig.probe.transcript(), QStringList({"M:Check actual firmware version.", "M:" + c.message, "F"}));
    // Whatever the rule said about the connection, the ended upgrade leaves none open.
    EXPECT_TRUE(waitUntil([&] { return rig.device.openConnections(Port::Common) == 0; }, 2000));
    EXPECT_TRUE(rig.device.received(Port::File).isEmpty());
  }
}

TEST(EngineCommonAnswers, UnknownVariableKeepsTheEntriesBeforeIt) {
  LoopbackRig rig;
  rig.device.script = firstCommonAnswer(answerFrame("00 23 00 00 00 0A 00 00 00 00 05 03 00 00 00 00"));
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.engine->network.deviceFirmwareType, 5);
}

TEST(EngineCommonAnswers, StartFlashingAcknowledgementIsIgnored) {
  // 87 87 read in state 2 changes nothing and the upgrade goes on.
  LoopbackRig rig;
  rig.device.script = firstCommonAnswer(answerFrame("00 08 00 00 00 02 87 87"));
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
}

TEST(EngineCommonAnswers, OutcomeDoesNotDependOnHowTcpCutsTheBytes) {
  const QByteArray answer = answerFrame("00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03");
  QList<QList<int>> cutSets;
  for (int cut = 1; cut < answer.size(); ++cut) cutSets << QList<int>{cut};
  QList<int> everyByte;
  for (int cut = 1; cut < answer.size(); ++cut) everyByte << cut;
  cutSets << everyByte;
  for (const QList<int>& cuts : cutSets) {
    SCOPED_TRACE(cuts.size() == 1 ? cuts.first() : -1);
    LoopbackRig rig;
    rig.device.script = firstCommonAnswer(answer, cuts);
    ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
    EXPECT_EQ(rig.engine->network.deviceHardwareVersion, 0x10002);
  }
}

TEST(EngineCommonAnswers, TwoAnswersInOneReadAreHandledOneByOne) {
  LoopbackRig rig;
  // The version answer and a start-flashing acknowledgement in one piece: the first is the
  // answer state 2 waits for, the second goes with the closed connection.
  rig.device.script = firstCommonAnswer(answerFrame("00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03") +
                                        answerFrame("00 08 00 00 00 02 87 87"));
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
  EXPECT_EQ(rig.engine->network.deviceFirmwareType, 5);
}

TEST(EngineCommonAnswers, DeviceClosingBeforeItAnswersFailsInsteadOfUsingOldValues) {
  LoopbackRig rig;
  rig.device.script = [](Port port, int index, const QByteArray&) {
    return port == Port::Common && index == 1 ? Reply{Reply::Close, {}, {}} : Reply{};
  };
  ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.transcript(),
            QStringList({"M:Check actual firmware version.",
                         QStringLiteral("M:Error of connection on TCP port %1")
                             .arg(rig.device.commonPort()),
                         "F"}));
  EXPECT_TRUE(rig.device.received(Port::File).isEmpty());
}

TEST(EngineUploadAnswers, StatusTextsAndInvalidAnswers) {
  struct Case {
    const char* name;
    int index;   // answer on the file port that is replaced
    QByteArray answer;
    QStringList tail;   // expected end of the transcript; empty: success
  };
  const Case cases[] = {
      {"not an upload answer", 2, answerFrame("00 23 00 00 00 00"), {"M:File upload error. Invalid answer from device !", "F"}},
      {"two bytes only", 2, answerFrame("00 33 00 00 00 00").left(2) /* cut before its header ends */, {}},
      {"device text", 3, answerFrame(("00 33 00 00 00 0A " + QByteArray("MemoryFull").toHex()).constData()),
       {"M:File upload error : MemoryFull", "F"}},
      {"empty text", 1, answerFrame("00 33 00 00 00 00"), {"M:File upload error : ", "F"}},
      {"lower case", 2, answerFrame(("00 33 00 00 00 0C " + QByteArray("byteswritten").toHex()).constData()),
       {"M:File upload error : byteswritten", "F"}},
      {"inside a longer text", 2,
       answerFrame(("00 33 00 00 00 10 " + QByteArray("okBytesWrittenok").toHex()).constData()), {"S"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = 400; });
    const QByteArray answer = c.answer;
    const int index = c.index;
    rig.device.script = [answer, index](Port port, int i, const QByteArray&) {
      return port == Port::File && i == index ? Reply{Reply::Bytes, answer, {}} : Reply{};
    };
    ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
    ASSERT_TRUE(rig.runToEnd());
    const QStringList t = rig.probe.transcript();
    if (c.tail.isEmpty()) {
      // Two bytes are no whole answer: the engine waits for the rest, then gives up.
      EXPECT_EQ(t.mid(t.size() - 2),
                QStringList({QStringLiteral("M:No answer from device on TCP port %1 within 0.4 s.")
                                 .arg(rig.device.filePort()),
                             "F"}));
    } else {
      EXPECT_EQ(t.mid(t.size() - c.tail.size()), c.tail) << t.join('\n').toStdString();
    }
  }
}

TEST(EngineStart, RefusalsInOrder) {
  const QByteArray bi2 = firmwareFile(100, 0x00050001, 0x00010003);
  struct Case {
    const char* name;
    QString ip;
    bool reachable;
    int i2c;
    bool withBi2, withWeb;
    QString message;
    bool pinged;
  };
  const Case cases[] = {
      {"bad text", "192.168.16.300", true, -1, false, true, "IP address 192.168.16.300 not valid.", false},
      {"no echo before i2c check", "127.0.0.1", false, 5, true, false, "No device connected at IP address: 127.0.0.1",
       true},
      {"i2c 7", "127.0.0.1", true, 7, true, false, "I2C address 7 not valid.", true},
      {"i2c 120", "127.0.0.1", true, 120, true, false, "I2C address 120 not valid.", true},
      {"no file", "127.0.0.1", true, -1, false, false, "No bin, nor bi2, nor web file has been selected.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig;
    rig.reachable = c.reachable;
    EXPECT_FALSE(rig.engine->startUpgrade(c.ip, c.i2c, nullptr, c.withBi2 ? &bi2 : nullptr, c.withWeb ? &kWeb : nullptr,
                                          true));
    EXPECT_EQ(rig.probe.reports, (QList<StatusReport>{{StatusMessage, -1, c.message}, {StatusFailed, -1, "0"}}));
    EXPECT_EQ(rig.engine->currentState(), kTerminalState);
    EXPECT_EQ(!rig.pinged.isEmpty(), c.pinged);
    EXPECT_EQ(rig.device.connectionsAccepted(Port::Common), 0);
  }
}

TEST(EngineStart, I2cAddressBoundsAndNoBi2) {
  const QByteArray bi2 = firmwareFile(100, 0x00050001, 0x00010003);
  for (int address : {8, 119}) {
    LoopbackRig rig;
    EXPECT_TRUE(rig.engine->startUpgrade("127.0.0.1", address, nullptr, &bi2, nullptr, true));
    rig.runToEnd();
  }
  LoopbackRig rig;
  EXPECT_TRUE(rig.engine->startUpgrade("127.0.0.1", -1, nullptr, nullptr, &kWeb, true));
  EXPECT_EQ(rig.engine->currentState(), 1);   // connecting to the common port
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 1);
}

TEST(EngineConnection, RefusedPortsGiveTheSocketError) {
  for (Port refused : {Port::Common, Port::File}) {
    LoopbackRig rig;
    rig.device.refuse(refused);
    const quint16 port = refused == Port::Common ? rig.settings.commonPort : rig.settings.filePort;
    ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
    ASSERT_TRUE(rig.runToEnd());
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - 2), QStringList({QStringLiteral("M:Error of connection on TCP port %1").arg(port), "F"}));
    EXPECT_EQ(rig.probe.count(StatusFailed), 1);
  }
}

TEST(EngineTimeouts, EveryWaitForTheDeviceEnds) {
  struct Case {
    const char* name;
    Port port;
    int index;
    bool bi2;
  };
  const Case cases[] = {
      {"version answer", Port::Common, 1, false},
      {"upload start", Port::File, 1, false},
      {"upload chunk", Port::File, 3, false},
      {"i2c version", Port::Common, 2, true},
      {"i2c block", Port::Common, 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig([](EngineSettings& s) { s.answerTimeoutMs = 300; });
    const Case k = c;
    rig.device.script = [k](Port port, int index, const QByteArray&) {
      return port == k.port && index == k.index ? Reply{Reply::Silent, {}, {}} : Reply{};
    };
    const QByteArray bi2 = firmwareFile(300, 0x00050001, 0x00010003);
    const QByteArray web(1000, 'w');
    ASSERT_TRUE(rig.start(nullptr, c.bi2 ? &bi2 : nullptr, c.bi2 ? nullptr : &web));
    ASSERT_TRUE(rig.runToEnd(5000));
    const quint16 port = c.port == Port::Common ? rig.settings.commonPort : rig.settings.filePort;
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - 2),
              QStringList({QStringLiteral("M:No answer from device on TCP port %1 within 0.3 s.").arg(port), "F"}));
    EXPECT_TRUE(waitUntil([&] { return rig.device.openConnections(c.port) == 0; }, 2000));
  }
}

TEST(EngineTimeouts, ConnectThatNeverCompletes) {
  // A listener whose accept queue is full drops further connection requests: the
  // connect neither succeeds nor fails.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t n = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  const quint16 port = ntohs(a.sin_port);
  LoopbackRig rig([port](EngineSettings& s) {
    s.commonPort = port;
    s.answerTimeoutMs = 300;
  });
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd(5000));
  const QStringList t = rig.probe.transcript();
  EXPECT_TRUE(t == QStringList({QStringLiteral("M:Connection to TCP port %1 timed out after 0.3 s.").arg(port), "F"}))
      << t.join('\n').toStdString();
  for (int f : fillers) ::close(f);
  ::close(listener);
}

// The version checks before and after an upgrade, each with the questions it asked.
struct VersionCase {
  const char* name;
  const char* deviceWord;            // what the device reports first; nullptr: its default 1.0
  const char* versionAfterFlash;     // nullptr: the flashed file's version
  const char* i2cVersionAfterFlash;  // nullptr: the flashed image's version
  quint32 bi2Type;                   // 0: the 1.5 .bin alone; else a 1.3 .bi2 of this type alone
  bool batch;
  bool answerYes;
  QStringList asked;
  QStringList end;   // the end of the transcript
  bool whole;        // `end` is the whole transcript
};

class EngineVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(EngineVersions, DowngradeQuestionAndVersionAfterFlashing) {
  const VersionCase& c = GetParam();
  GlobalStateGuard globals;
  QStringList asked;
  orvane::ui::setQuestionHandler([&](const QString& caption, const QString& text) {
    asked << caption + "|" + text;
    return c.answerYes;
  });
  LoopbackRig rig;
  if (c.deviceWord) rig.device.versionWord = QByteArray::fromHex(c.deviceWord);
  if (c.versionAfterFlash) rig.device.versionAfterFlash = QByteArray::fromHex(c.versionAfterFlash);
  if (c.i2cVersionAfterFlash) rig.device.i2cVersionAfterFlash = QByteArray::fromHex(c.i2cVersionAfterFlash);
  const QByteArray bi2 = firmwareFile(100, c.bi2Type, 0x00010003);
  ASSERT_TRUE(rig.start(c.bi2Type ? nullptr : &kBin, c.bi2Type ? &bi2 : nullptr, nullptr, c.batch));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(asked, c.asked);
  const QStringList t = rig.probe.transcript();
  if (c.whole) {
    EXPECT_EQ(t, c.end);
  } else {
    EXPECT_EQ(t.mid(t.size() - c.end.size()), c.end) << t.join('\n').toStdString();
  }
  EXPECT_EQ(rig.probe.count(StatusSucceeded), c.end.constLast() == "S" ? 1 : 0);
}

const QString kDowngradeQuestion = "Warning|You are downgrading ! Continue?";
const QStringList kTypeOrVersionError = {"M:Check actual firmware version.", "M:Type or version error.", "F"};

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineVersions,
    ::testing::Values(
        VersionCase{"downgrade_declined", "00010007", nullptr, nullptr, 0, false, false, {kDowngradeQuestion},
                    kTypeOrVersionError, true},
        VersionCase{"downgrade_accepted", "00010007", nullptr, nullptr, 0, false, true, {kDowngradeQuestion}, {"S"},
                    false},
        // Batch mode: no question.
        VersionCase{"downgrade_in_batch", "00010007", nullptr, nullptr, 0, true, false, {}, {"S"}, false},
        VersionCase{"bin_version_after_flash", nullptr, "00010004", nullptr, 0, true, false, {},
                    {"M:Read new firmware version.", "M:Device version not equal to the file version.", "F",
                     "M:Version error after upgrade.", "F"},
                    false},
        VersionCase{"bi2_version_after_flash", nullptr, nullptr, "00010009", 0x00050001, true, false, {},
                    {"M:Read new firmware I2C version.", "M:Device version not equal to the file version.", "F",
                     "M:Version I2C error after upgrade.", "F"},
                    false},
        // Refused I2C file: the check's reason, then the sequencer's.
        VersionCase{"bi2_type_refused", nullptr, nullptr, nullptr, 0x00060001, true, false, {},
                    {"M:Type mismatch. This firmware file is not for this I2C device !",
                     "M:I2C device type or version error.", "F"},
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineI2cAnswers, GatewayErrorDuringTheTransfer) {
  LoopbackRig rig;
  rig.device.script = [](Port port, int index, const QByteArray&) {
    return port == Port::Common && index == 4 ? Reply{Reply::Bytes, answerFrame("00 09 00 00 00 01 02"), {}} : Reply{};
  };
  const QByteArray bi2 = firmwareFile(300, 0x00050001, 0x00010003);
  ASSERT_TRUE(rig.start(nullptr, &bi2, nullptr));
  ASSERT_TRUE(rig.runToEnd());
  const QStringList t = rig.probe.transcript();
  EXPECT_EQ(t.mid(t.size() - 2), QStringList({"M:I2C bus timeout (error = 2).", "F"}));
  EXPECT_EQ(rig.device.i2cFlashCount(), 0);
}

TEST(EngineLifecycle, NewUpgradeAfterAFailureConnectsAgainAndSucceeds) {
  LoopbackRig rig;
  int run = 0;
  rig.device.script = [&run](Port port, int index, const QByteArray&) {
    if (run == 0 && port == Port::Common && index == 1)
      return Reply{Reply::Bytes, answerFrame("00 23 00 00 00 0A 00 00 00 00 05 03 00 00 00 00"), {}};
    return Reply{};
  };
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.count(StatusFailed), 1);
  const int accepted = rig.device.connectionsAccepted(Port::Common);
  run = 1;
  rig.probe.clear();
  ASSERT_TRUE(rig.start(nullptr, nullptr, &kWeb));
  ASSERT_TRUE(rig.runToEnd());
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
  EXPECT_GT(rig.device.connectionsAccepted(Port::Common), accepted);
}

TEST(EngineLifecycle, DestroyingARunningEngineReportsNothingMore) {
  auto rig = std::make_unique<LoopbackRig>();
  ASSERT_TRUE(rig->start(&kBin, nullptr, nullptr));
  ASSERT_TRUE(waitUntil([&] { return rig->engine->currentState() >= 6; }, 3000));
  const qsizetype before = rig->probe.reports.size();
  rig->engine.reset();
  waitUntil([] { return false; }, 100);
  EXPECT_EQ(rig->probe.reports.size(), before);
}

}  // namespace
