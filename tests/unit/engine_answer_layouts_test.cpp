// The decoders of the device's answers, fed whole frames written out byte by byte
// (checksums included), and cut short to show that they read only what a frame has.
#include "engine/IpPacket.h"

#include <gtest/gtest.h>

namespace {

using namespace orvane::proto;

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

TEST(CommonAnswerKind, ByCodeAndSize) {
  struct Case {
    const char* frame;
    CommonAnswerKind kind;
  };
  const Case cases[] = {
      {"00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03 F9 CC", CommonAnswerKind::Variables},
      {"00 23 00 00 00 00 FF DC", CommonAnswerKind::Unknown},   // no entries: 8 bytes
      {"00 08 00 00 00 02 87 87 78 6E", CommonAnswerKind::I2cTransfer},
      {"00 08 00 00 00 00 FF F7", CommonAnswerKind::Unknown},
      {"00 09 00 00 00 01 03 FC F5", CommonAnswerKind::I2cError},
      {"00 09 00 00 00 02 03 00 FC F4", CommonAnswerKind::Unknown},   // code 9, but 10 bytes
      {"00 21 00 00 00 02 00 01 FF DB", CommonAnswerKind::Unknown},
      {"01 23 00 00 00 01 00 FE DB", CommonAnswerKind::Unknown},
      {"00", CommonAnswerKind::Unknown},
      {"", CommonAnswerKind::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    EXPECT_EQ(commonAnswerKind(hex(c.frame)), c.kind);
  }
}

TEST(DecodeVariablesAnswer, EntriesUpToTheChecksum) {
  struct Case {
    const char* frame;
    DecodedVariables::Status status;
    std::optional<qint32> type;
    std::optional<PackedVersion> firmware, hardware;
  };
  const Case cases[] = {
      // Version word with a hardware version: 1.2, firmware 0.3.
      {"00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03 F9 CC", DecodedVariables::Complete, 5, 3, 0x10002},
      // Old layout: the whole word is the firmware version, no hardware version.
      {"00 23 00 00 00 0A 00 00 00 00 05 01 00 00 02 07 F8 CA", DecodedVariables::Complete, 5, 0x207, kNoVersion},
      // The second entry has id 3: the first is kept.
      {"00 23 00 00 00 0A 00 00 00 00 05 03 00 00 00 00 FA CF", DecodedVariables::UnknownVariable, 5, {}, {}},
      // The second entry does not fit before the checksum.
      {"00 23 00 00 00 07 00 00 00 00 05 01 00 FA D4", DecodedVariables::EntryCutShort, 5, {}, {}},
      {"00 23 00 00 00 00 FF DC", DecodedVariables::Complete, {}, {}, {}},
      // Cut inside the header or the first entry: nothing is read past the end.
      {"00 23 00", DecodedVariables::Complete, {}, {}, {}},
      {"00 23 00 00 00 0A 00 00 00", DecodedVariables::EntryCutShort, {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const DecodedVariables v = decodeVariablesAnswer(hex(c.frame));
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.firmwareType, c.type);
    EXPECT_EQ(v.versionWord.has_value(), c.firmware.has_value());
    if (v.versionWord && c.firmware) {
      EXPECT_EQ(v.versionWord->firmware, *c.firmware);
      EXPECT_EQ(v.versionWord->hardware, *c.hardware);
    }
  }
}

TEST(ClassifyI2cTransferAnswer, KindsByPayloadLengthAndStatusBytes) {
  using K = DecodedI2cTransfer;
  struct Case {
    const char* name;
    const char* frame;
    K::Kind kind;
  };
  const Case cases[] = {
      {"version", "00 08 00 00 00 0A 00 05 00 01 87 00 01 00 02 87 75 60", K::I2cVersion},
      {"version, byte 15 not 87", "00 08 00 00 00 0A 00 05 00 01 87 00 01 00 02 00 75 E7", K::Invalid},
      {"block written", "00 08 00 00 00 06 87 87 87 87 87 87 69 5B", K::BlockWritten},
      {"flash started", "00 08 00 00 00 02 87 87 78 6E", K::FlashStarted},
      {"byte 4 not 0", "00 08 00 00 01 02 87 87 77 6E", K::Invalid},
      {"payload longer than the frame", "00 08 00 00 00 0A 87 87 78 66", K::Invalid},
      {"no known length", "00 08 00 00 00 03 87 87 87 F1 6C", K::Invalid},
      {"another code", "00 23 00 00 00 02 87 87 78 53", K::Invalid},
      {"cut in the header", "00 08 00 00", K::Invalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classifyI2cTransferAnswer(hex(c.frame)).kind, c.kind);
  }
  const DecodedI2cTransfer version = classifyI2cTransferAnswer(hex(cases[0].frame));
  EXPECT_EQ(version.firmwareType, 0x00050001);
  EXPECT_EQ(version.versionWord.firmware, 0x00010002);
  EXPECT_EQ(version.versionWord.hardware, kNoVersion);
}

TEST(ClassifyI2cTransferAnswer, ReadBackWindowsComeBackLastByteFirst) {
  // Windows 24..27 carry image bytes 00..0F, 10..1F, 20..2F, 30..3F, each reversed and
  // followed by its status byte.
  const QByteArray frame = hex(
      "00 08 00 00 00 46 87 87"
      " 0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00 87"
      " 1F 1E 1D 1C 1B 1A 19 18 17 16 15 14 13 12 11 10 87"
      " 2F 2E 2D 2C 2B 2A 29 28 27 26 25 24 23 22 21 20 87"
      " 3F 3E 3D 3C 3B 3A 39 38 37 36 35 34 33 32 31 30 87"
      " 75 27");
  const DecodedI2cTransfer answer = classifyI2cTransferAnswer(frame);
  ASSERT_EQ(answer.kind, DecodedI2cTransfer::BlockReadBack);
  EXPECT_EQ(answer.block, hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
                              "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F"));
  // A window status that is not 87 (byte 41), or a frame cut before its last window.
  QByteArray badStatus = frame;
  badStatus[41] = 0;
  EXPECT_EQ(classifyI2cTransferAnswer(badStatus).kind, DecodedI2cTransfer::Invalid);
  EXPECT_EQ(classifyI2cTransferAnswer(frame.left(60)).kind, DecodedI2cTransfer::Invalid);
}

TEST(I2cErrorAnswer, CodeAndText) {
  EXPECT_EQ(i2cErrorCode(hex("00 09 00 00 00 01 03 FC F5")), 3);
  EXPECT_EQ(i2cErrorCode(hex("00 09 00 00 00 01")), -1);
  EXPECT_EQ(i2cErrorText(1), "I2C bus not ready");
  EXPECT_EQ(i2cErrorText(2), "I2C bus timeout");
  EXPECT_EQ(i2cErrorText(3), "I2C message too long");
  EXPECT_EQ(i2cErrorText(0), "I2C unknown error");
}

TEST(DecodeUploadAnswer, StatusTexts) {
  struct Case {
    const char* name;
    QByteArray frame;
    bool isUploadAnswer;
    QString text;
    bool success;
  };
  const Case cases[] = {
      {"bytes written", hex("00 33 00 00 00 0C") + "BytesWritten" + hex("89 3E"), true, "BytesWritten", true},
      {"memory erased", hex("00 33 00 00 00 0C") + "MemoryErased" + hex("C6 28"), true, "MemoryErased", true},
      {"device text", hex("00 33 00 00 00 0A") + "MemoryFull" + hex("1F 93"), true, "MemoryFull", false},
      {"lower case", hex("00 33 00 00 00 0C") + "byteswritten" + hex("69 1E"), true, "byteswritten", false},
      {"empty text", hex("00 33 00 00 00 00 FF CC"), true, "", false},
      {"another code", hex("00 23 00 00 00 00 FF DC"), false, "", false},
      {"one byte", hex("00"), false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedUpload answer = decodeUploadAnswer(c.frame);
    EXPECT_EQ(answer.isUploadAnswer, c.isUploadAnswer);
    EXPECT_EQ(answer.text, c.text);
    EXPECT_EQ(answer.success, c.success);
  }
}

TEST(FrameExcerpt, AtMostSixteenBytes) {
  EXPECT_EQ(frameExcerpt(hex("00 23 00 00 00 00 FF DC")), "00 23 00 00 00 00 ff dc");
  EXPECT_EQ(frameExcerpt(hex("00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03 F9 CC")),
            "00 23 00 00 00 0a 00 00 00 00 05 01 01 02 00 03 ...");
  EXPECT_EQ(frameExcerpt({}), "");
}

}  // namespace
