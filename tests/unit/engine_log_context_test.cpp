// The error log's entry of a failed upgrade: the operator's text, then in brackets what a
// support engineer needs (the device, the port, the system's reason for a socket failure,
// the block of a transfer, the first bytes of an unexpected answer). Against a scripted
// device on loopback (127.0.0.1 only).
#include "support/FakeDevice.h"
#include "support/TempHome.h"


#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;
using Reply = FakeDevice::Reply;

const QByteArray kBin = firmwareFile(1000, 0x00010001, 0x00010005);
const QByteArray kBi2 = firmwareFile(100, 0x00050001, 0x00010003);
const QByteArray kWeb(130, 'w');

// Replies to the request `index` on `port` with `reply`.
FakeDevice::Script replyAt(Port port, int index, Reply reply) {
  return [=](Port p, int i, const QByteArray&) { return p == port && i == index ? reply : Reply{}; };
}

struct Row {
  const char* name;
  bool bin, bi2;
  std::function<void(LoopbackRig&)> arrange;
  std::function<QString(const LoopbackRig&)> entry;   // the entry's text, one line
};

QString common(const LoopbackRig& rig) { return QString::number(rig.settings.commonPort); }
QString file(const LoopbackRig& rig) { return QString::number(rig.settings.filePort); }

const Row kRows[] = {
    {"unexpected answer", true, false,
     [](LoopbackRig& rig) {
       rig.device.script = replyAt(Port::Common, 1, {Reply::Bytes, QByteArray::fromHex("004400000000ffbb"), {}});
     },
     [](const LoopbackRig& rig) {
       return "Error. Invalid answer from device ! [device 127.0.0.1, TCP port " + common(rig) +
              ", answer 00 44 00 00 00 00 ff bb]";
     }},
    {"refused connection", true, false, [](LoopbackRig& rig) { rig.device.refuse(Port::File); },
     [](const LoopbackRig& rig) {
       return "Error of connection on TCP port " + file(rig) + " [device 127.0.0.1, TCP port " + file(rig) +
              ", socket: Connection refused]";
     }},
    {"device closes during the upload", true, false,
     [](LoopbackRig& rig) { rig.device.script = replyAt(Port::File, 3, {Reply::Close, {}, {}}); },
     [](const LoopbackRig& rig) {
       return "Error of connection on TCP port " + file(rig) + " [device 127.0.0.1, TCP port " + file(rig) +
              ", socket: The remote host closed the connection, upload chunk 1 (offset 64)]";
     }},
    {"upload refused by the device", true, false,
     [](LoopbackRig& rig) {
       const QByteArray memoryFull = QByteArray::fromHex("00330000000A") + "MemoryFull" + QByteArray::fromHex("1F93");
       rig.device.script = replyAt(Port::File, 3, {Reply::Bytes, memoryFull, {}});
     },
     [](const LoopbackRig& rig) {
       return "File upload error : MemoryFull [device 127.0.0.1, TCP port " + file(rig) +
              ", upload chunk 1 (offset 64), answer 00 33 00 00 00 0a 4d 65 6d 6f 72 79 46 75 6c 6c ...]";
     }},
    {"i2c block read back wrong", false, true, [](LoopbackRig& rig) { rig.device.corruptI2cReadback = 70; },
     [](const LoopbackRig& rig) {
       // Image byte 70 is byte 68 of the .bi2: 68 * 7 + 3 = 479, 0xdf; read back inverted.
       return "Writing ERROR @ pos 70 [device 127.0.0.1, TCP port " + common(rig) +
              ", I2C block 1 (offset 64), written df, read back 20]";
     }},
    {"stray answer during the i2c transfer", false, true,
     [](LoopbackRig& rig) { rig.device.script = replyAt(Port::Common, 3, {Reply::Bytes, answerFrame("00 08 00 00 00 02 87 87"), {}}); },
     [](const LoopbackRig& rig) {
       return "Error. Invalid answer from I2C device ! [device 127.0.0.1, TCP port " + common(rig) +
              ", I2C block 0 (offset 0), answer 00 08 00 00 00 02 87 87 78 6e]";
     }},
    {"version answer without the version word", true, false,
     [](LoopbackRig& rig) {
       rig.device.script = replyAt(Port::Common, 3, {Reply::Bytes, answerFrame("00 23 00 00 00 05 00 00 01 00 01"), {}});
     },
     [](const LoopbackRig& rig) {
       return "Error. Invalid answer from device ! [device 127.0.0.1, TCP port " + common(rig) +
              ", answer 00 23 00 00 00 05 00 00 01 00 01 fd d7, firmware type or version word missing]";
     }},
    {"readback not found", true, false, [](LoopbackRig& rig) { rig.device.setHttp(FakeDevice::Http::NotFound); },
     [](const LoopbackRig& rig) {
       return "HTTP connection Failed ! [device 127.0.0.1, HTTP port " + QString::number(rig.settings.httpPort) +
              ", status 404]";
     }},
    {"version after flashing", true, false,
     [](LoopbackRig& rig) { rig.device.versionAfterFlash = QByteArray::fromHex("00010004"); },
     [](const LoopbackRig& rig) {
       return "Device version not equal to the file version. [device 127.0.0.1, TCP port " + common(rig) +
              ", device type 65537 firmware 1.4, file type 65537 firmware 1.5]";
     }},
};

TEST(EngineErrorLog, FailureEntriesNameTheDeviceThePortAndWhatWentWrong) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    ErrorLogFile log;
    LoopbackRig rig;
    row.arrange(rig);
    ASSERT_TRUE(rig.start(row.bin ? &kBin : nullptr, row.bi2 ? &kBi2 : nullptr, nullptr));
    ASSERT_TRUE(rig.runToEnd());
    const QString text = log.text();
    EXPECT_TRUE(text.contains("\r\n" + row.entry(rig) + "\r\n\r\n")) << text.toStdString();
  }
}

TEST(EngineErrorLog, RefusedStartNamesTheAddressItWasGiven) {
  ErrorLogFile log;
  LoopbackRig rig;
  EXPECT_FALSE(rig.engine->startUpgrade("192.168.16.300", -1, nullptr, nullptr, &kWeb, true));
  EXPECT_TRUE(log.text().contains("\r\nIP address 192.168.16.300 not valid. [device 192.168.16.300]\r\n\r\n"))
      << log.text().toStdString();
  // The operator's line carries no context.
  EXPECT_EQ(rig.probe.messages(), QStringList{"IP address 192.168.16.300 not valid."});
}

}  // namespace
