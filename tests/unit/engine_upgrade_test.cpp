// Whole upgrades against the loopback device (127.0.0.1, ephemeral ports):
// every path of the sequencer, the upload and I2C channels, the readback.
#include "support/FakeDevice.h"

#include "engine/IpPacket.h"
#include "engine/Readback.h"

#include <gtest/gtest.h>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;

// Device: type 00010001, firmware 1.0 (old layout); files: same type, version 1.5.
const QByteArray& kBin = pathBin();
const QByteArray& kWeb = pathWeb();
// I2C device: type 00050001, firmware 1.2; file version 1.3.
const QByteArray& kBi2 = pathBi2();

class EnginePaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(EnginePaths, ReportsEveryStepInOrderAndEndsOnTheFilesVersion) {
  const PathCase& c = GetParam();
  LoopbackRig rig;
  ASSERT_TRUE(rig.device.listening());
  ASSERT_TRUE(runWholePath(rig, c.bin, c.bi2, c.web));
  for (const auto& r : rig.probe.reports) {
    if (r.kind != StatusMessage) {
      EXPECT_EQ(r.text, "0");
    }
  }
  EXPECT_EQ(rig.engine->currentState(), kTerminalState);
  // Every request followed the protocol as the device model reads it.
  EXPECT_TRUE(rig.device.violations().isEmpty()) << rig.device.violations().join('\n').toStdString();

  if (c.bin) {
    EXPECT_EQ(rig.device.activatedLength(), 1000);
    EXPECT_EQ(rig.device.flashCount(), 1);
    EXPECT_EQ(rig.engine->network.deviceFirmwareVersion, 0x00010005);
  }
  if (c.bi2) {
    EXPECT_EQ(rig.device.i2cFlashCount(), 1);
    EXPECT_EQ(rig.engine->i2c.deviceFirmwareVersion, 0x00010003);
    EXPECT_EQ(rig.device.i2cImage().left(2 + kBi2.size()), QByteArray("\x55\xAA", 2) + kBi2);
  }
  if (c.web && !c.bin) {
    EXPECT_EQ(rig.device.uploadedImage().left(kWeb.size()), kWeb);
  }
  EXPECT_TRUE(waitUntil([&] { return rig.device.openConnections(Port::Common) + rig.device.openConnections(Port::File) == 0; }, 2000));
  // The common port is used for the first version read in every path.
  EXPECT_EQ(rig.device.received(Port::Common).value(0), orvane::proto::deviceVersionRequest());
}

INSTANTIATE_TEST_SUITE_P(AllSelections, EnginePaths,
                         ::testing::ValuesIn(pathCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EngineUpload, BinImageChunksAndActivationBytes) {
  LoopbackRig rig;
  ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
  ASSERT_TRUE(rig.runToEnd());
  const QList<QByteArray> frames = rig.device.received(Port::File);
  // Upload: start + 16 chunks; then the activation on a new connection.
  ASSERT_EQ(frames.size(), 18);
  EXPECT_EQ(frames[0].toHex(' '), "00 31 00 00 00 00 ff ce");
  EXPECT_EQ(frames[1].mid(12, 17).toHex(' '), "2f 68 65 78 2e 68 65 78 20 00 0f 03 ea 24 24 55 aa");
  EXPECT_EQ(frames[2].left(12).toHex(' '), "00 32 00 01 00 46 00 00 40 00 00 40");
  EXPECT_EQ(frames[16].mid(6, 6).toHex(' '), "00 03 c0 00 00 40");   // chunk 15 at offset 960
  EXPECT_EQ(frames[17].left(9).toHex(' '), "00 3a 00 00 00 03 e8 03 00");
  // Every chunk's checksum covers its first 76 bytes.
  for (int i = 1; i <= 16; ++i) {
    const auto* p = reinterpret_cast<const quint8*>(frames[i].constData());
    EXPECT_EQ(orvane::proto::packetChecksum(p, 76), quint16(p[76] << 8 | p[77])) << i;
  }
  EXPECT_EQ(rig.device.uploadedImage().left(1017), orvane::proto::binUploadImage(kBin));
  const QList<QByteArray> common = rig.device.received(Port::Common);
  ASSERT_EQ(common.size(), 3);
  EXPECT_EQ(common[1].toHex(' '), "00 21 00 00 00 01 02 fd dd");
  // The readback is a conventional GET with the program's user-agent line.
  ASSERT_EQ(rig.device.httpRequests().size(), 1);
  const QString request = rig.device.httpRequests().first();
  EXPECT_TRUE(request.startsWith("GET /hex.hex HTTP/1.1\r\n")) << request.toStdString();
  EXPECT_TRUE(request.contains("\r\nUser-Agent: Orvane - Firmware upgrader Version 2.15 (26.09.18)\r\n"));
}

struct SizeCase {
  int size;
  QStringList progress;
  int answers;   // answers the device gives (start + chunks)
};

TEST(EngineUpload, WebImageProgressBySize) {
  const SizeCase cases[] = {
      {128, {"P:0", "P:100"}, 3},
      {64, {"P:100"}, 2},
      {1, {"P:100"}, 2},
      {0, {}, 1},   // an empty .web completes at the first answer
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.size);
    LoopbackRig rig;
    const QByteArray web(c.size, 'x');
    ASSERT_TRUE(rig.start(nullptr, nullptr, &web));
    ASSERT_TRUE(rig.runToEnd());
    QStringList expected = {"M:Check actual firmware version.", "M:Uploading web file."};
    expected += c.progress;
    expected += QStringList{"M:Web file uploaded succesfully.", "P:0", "S"};
    EXPECT_EQ(rig.probe.transcript(), expected);
    EXPECT_EQ(rig.device.received(Port::File).size(), c.answers);
    if (c.size) {
      EXPECT_EQ(rig.device.received(Port::File).value(1).mid(12, std::min(c.size, 64)), web.left(64));
    }
  }
}

TEST(EngineI2c, ImageBlocksStartWordAndProgress) {
  struct I2cCase {
    int size;
    QStringList progress;
    const char* startWord;
  };
  const I2cCase cases[] = {
      {100, {"P:50", "P:100"}, "00 00 00 86"},
      {126, {"P:33", "P:66", "P:100"}, "00 00 00 c6"},
      {61, {"P:100"}, "00 00 00 46"},
      {316, {"P:20", "P:40", "P:60", "P:80", "P:100"}, "00 00 01 46"},
  };
  for (const I2cCase& c : cases) {
    SCOPED_TRACE(c.size);
    LoopbackRig rig;
    const QByteArray bi2 = firmwareFile(c.size, 0x00050001, 0x00010003);
    ASSERT_TRUE(rig.start(nullptr, &bi2, nullptr));
    ASSERT_TRUE(rig.runToEnd());
    EXPECT_EQ(rig.probe.count(StatusSucceeded), 1) << rig.probe.transcript().join('\n').toStdString();
    QStringList progress;
    for (const QString& t : rig.probe.transcript())
      if (t.startsWith("P:")) progress << t;
    EXPECT_EQ(progress.mid(0, c.progress.size()), c.progress);
    // Frames on the common port: version read, I2C version, per block write + read-back,
    // the start request, then the version read after flashing.
    const QList<QByteArray> frames = rig.device.received(Port::Common);
    const int blocks = int(orvane::proto::i2cImageLength(c.size) / 64);
    ASSERT_EQ(frames.size(), 2 + 2 * blocks + 1 + 1);
    EXPECT_EQ(frames[2].mid(11, 4).toHex(' '), "00 00 00 02");
    EXPECT_EQ(frames[3].mid(11, 4).toHex(' '), "00 00 00 01");
    if (blocks > 1) {
      EXPECT_EQ(frames[4].mid(11, 4).toHex(' '), "00 00 00 42");
    }
    const QByteArray start = frames[2 + 2 * blocks];
    EXPECT_EQ(start.size(), 22);
    EXPECT_EQ(start.mid(11, 4).toHex(' '), c.startWord);
  }
}

TEST(EngineI2c, ReadBackDifferenceNamesTheImageIndex) {
  LoopbackRig rig;
  rig.device.corruptI2cReadback = 64 + 32 + 3;
  const QByteArray bi2 = firmwareFile(126, 0x00050001, 0x00010003);
  ASSERT_TRUE(rig.start(nullptr, &bi2, nullptr));
  ASSERT_TRUE(rig.runToEnd());
  const QStringList t = rig.probe.transcript();
  EXPECT_EQ(t.mid(t.size() - 3), QStringList({"P:33", "M:Writing ERROR @ pos 99", "F"}));
  EXPECT_EQ(rig.device.i2cFlashCount(), 0);
  // The failure leaves the connection open on the device's side only until the upgrade ends.
  EXPECT_TRUE(waitUntil([&] { return rig.device.openConnections(Port::Common) == 0; }, 2000));
}

struct ReadbackCase {
  const char* name;
  FakeDevice::Http mode;
  int corrupt;
  QStringList tail;
};

TEST(EngineReadback, MismatchesAndHttpFailures) {
  const QString lengthMessage = "M:Test => ERROR : File length incorrect or connection problem.";
  const ReadbackCase cases[] = {
      {"55 wrong", FakeDevice::Http::Ok, 0, {lengthMessage, "F"}},
      {"first file byte", FakeDevice::Http::Ok, 2, {"M:Test => ERROR @ pos 2", "F"}},
      {"last byte", FakeDevice::Http::Ok, 1001, {"M:Test => ERROR @ pos 1001", "F"}},
      {"404", FakeDevice::Http::NotFound, -1, {"M:HTTP connection Failed !", "F", lengthMessage, "F"}},
      {"302", FakeDevice::Http::Redirect, -1, {lengthMessage, "F"}},
      {"empty", FakeDevice::Http::Empty, -1, {"M:HTTP connection Failed !", "F", lengthMessage, "F"}},
      {"silent", FakeDevice::Http::Silent, -1, {"M:HTTP connection Failed !", "F", lengthMessage, "F"}},
      {"reset", FakeDevice::Http::Reset, -1, {"M:HTTP connection Failed !", "F", lengthMessage, "F"}},
  };
  for (const ReadbackCase& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackRig rig([](EngineSettings& s) { s.httpTimeoutMs = 300; });
    rig.device.setHttp(c.mode, c.corrupt);
    ASSERT_TRUE(rig.start(&kBin, nullptr, nullptr));
    ASSERT_TRUE(rig.runToEnd());
    const QStringList t = rig.probe.transcript();
    EXPECT_EQ(t.mid(t.size() - c.tail.size()), c.tail) << t.join('\n').toStdString();
    EXPECT_TRUE(t.contains("M:Uploaded bin file check."));
    EXPECT_EQ(rig.device.activatedLength(), -1);
  }
}

TEST(EngineReadback, BodyOneByteLongerOrShorterIsALengthMismatch) {
  EXPECT_EQ(orvane::engine::compareReadback(QByteArray(1003, 'a'), QByteArray(1002, 'a')), 0);
  EXPECT_EQ(orvane::engine::compareReadback(QByteArray(1001, 'a'), QByteArray(1002, 'a')), 0);
  EXPECT_EQ(orvane::engine::compareReadback(QByteArray(1002, 'a'), QByteArray(1002, 'a')), -1);
}

}  // namespace
