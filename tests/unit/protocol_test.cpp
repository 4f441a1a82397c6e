// The device protocol: frame, checksum, every request the upgrader builds, the upload
// and I2C images, the version word and the stream splitter. Expected bytes are written
// out literally, as a device sees them on the wire.
#include "engine/IpPacket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvane::proto;

namespace {

// "00 21 FF" -> bytes. Every character must be a hex digit or a blank, so that a typo
// in an expected string fails loudly instead of being skipped.
QByteArray hex(const char* text) {
  const std::string s(text);
  for (char c : s) {
    const bool ok = c == ' ' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!ok) ADD_FAILURE() << "bad character in expected hex: " << text;
  }
  return QByteArray::fromHex(QByteArray::fromStdString(s));
}

std::string show(const QByteArray& bytes) { return bytes.toHex(' ').toUpper().toStdString(); }

QByteArray counting(int n, int start = 0) {
  QByteArray out;
  for (int i = 0; i < n; ++i) out.append(char(quint8(start + i)));
  return out;
}

const quint8* u8(const QByteArray& bytes) { return reinterpret_cast<const quint8*>(bytes.constData()); }

quint16 storedChecksum(const QByteArray& frame) {
  const int n = int(frame.size());
  return quint16(quint8(frame[n - 2]) << 8 | quint8(frame[n - 1]));
}

}  // namespace

// --- Checksum -------------------------------------------------------------------------

TEST(Checksum, MatchesTheWorkedExamples) {
  struct Case {
    const char* bytes;
    quint16 expected;
  };
  const std::vector<Case> cases = {
      {"00 21 00 00 00 02 00 01", 0xFFDB},  // read variables 0 and 1
      {"00 21 00 00 00 01 02", 0xFDDD},     // reset request: odd count
      {"00 31 00 00 00 00", 0xFFCE},        // upload start header
      {"00 01 FF FE", 0xFFFF},              // sums to 0xFFFF: no final complement, never 0x0000
      {"", 0x0000},                         // empty input
      {"00 05 00 00 00 00", 0xFFFA},        // I2C scan header
      {"FF", 0x00FF},                       // one odd byte: word FF00
      {"FF FF FF FF", 0x0000},              // every complemented word is 0: nothing is added
      {"FF FF 00 00", 0xFFFF},              // RFC 1071 gives 0x0000 here
  };
  for (const Case& c : cases) {
    const QByteArray bytes = hex(c.bytes);
    EXPECT_EQ(packetChecksum(u8(bytes), int(bytes.size())), c.expected) << "bytes: " << c.bytes;
  }
}

// The definition word by word, against every length up to a long datagram and bytes that
// push each partial sum high.
TEST(Checksum, EqualsTheSumOfTheComplementedWords) {
  auto byDefinition = [](const QByteArray& b) {
    const auto* d = reinterpret_cast<const quint8*>(b.constData());
    quint32 sum = 0;
    for (int i = 0; i < b.size(); i += 2)
      sum += ((quint32(d[i]) << 8) | (i + 1 < b.size() ? d[i + 1] : 0)) ^ 0xFFFFu;
    sum = (sum >> 16) + (sum & 0xFFFFu);
    return quint16((sum >> 16) + (sum & 0xFFFFu));
  };
  quint32 seed = 12345;
  for (int length : {1, 2, 3, 7, 8, 78, 263, 264, 1001, 65999, 66000}) {
    for (const char fill : {'\x00', '\xFF', 'r'}) {
      QByteArray bytes(length, fill);
      if (fill == 'r')
        for (char& c : bytes) c = char((seed = seed * 1103515245u + 12345u) >> 24);
      EXPECT_EQ(packetChecksum(u8(bytes), length), byDefinition(bytes)) << length << " bytes of " << int(fill);
    }
  }
}

TEST(Checksum, AppendStoresHighThenLowAfterTheCountedBytes) {
  QByteArray buffer = hex("00 21 00 00 00 01 02 AA BB CC");
  appendChecksum(reinterpret_cast<quint8*>(buffer.data()), 7);
  EXPECT_EQ(show(buffer), show(hex("00 21 00 00 00 01 02 FD DD CC")));
}

// --- Requests -------------------------------------------------------------------------

TEST(Requests, FixedByteStrings) {
  struct Case {
    const char* name;
    QByteArray built;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"device version", deviceVersionRequest(), "00 21 00 00 00 02 00 01 FF DB"},
      {"reset", resetRequest(), "00 21 00 00 00 01 02 FD DD"},
      {"upload start", uploadStartRequest(), "00 31 00 00 00 00 FF CE"},
      {"discovery", discoveryRequest(), "00 21 00 00 00 04 00 11 01 15 FE B4"},
      {"i2c scan", i2cScanRequest(), "00 05 00 00 00 00 FF FA"},
      {"activation 70000", activationRequest(70000), "00 3A 00 00 00 03 70 11 01 8E B1"},
      {"i2c version 0x50", i2cVersionRequest(0x50), "00 07 00 00 00 08 50 01 00 04 50 01 01 04 5E E6"},
      {"identification 0x50", i2cIdentificationRequest(0x50),
       "00 07 00 00 00 0C 50 01 00 04 50 01 01 04 50 01 15 10 F9 D0"},
      {"identification 0x08", i2cIdentificationRequest(0x08),
       "00 07 00 00 00 0C 08 01 00 04 08 01 01 04 08 01 15 10 D1 D1"},
  };
  for (const Case& c : cases) EXPECT_EQ(show(c.built), show(hex(c.expected))) << c.name;
}

TEST(Requests, ActivationSendsTheLowThreeBytesLeastSignificantFirst) {
  struct Case {
    qint64 size;
    const char* payload;
  };
  const std::vector<Case> cases = {
      {70000, "70 11 01"},
      {0, "00 00 00"},
      {1000, "E8 03 00"},
      {0x01ABCDEF, "EF CD AB"},  // bits above 23 are dropped
  };
  for (const Case& c : cases) {
    const QByteArray packet = activationRequest(c.size);
    ASSERT_EQ(packet.size(), 11);
    EXPECT_EQ(show(packet.mid(0, 6)), "00 3A 00 00 00 03");
    EXPECT_EQ(show(packet.mid(6, 3)), show(hex(c.payload))) << c.size;
    EXPECT_EQ(packetChecksum(u8(packet), 9), storedChecksum(packet));
  }
}

TEST(Requests, EveryBuiltPacketHasItsSizeLengthByteAndChecksum) {
  struct Case {
    const char* name;
    QByteArray packet;
    int totalLength;
  };
  const std::vector<Case> cases = {
      {"read variables", deviceVersionRequest(), 10},
      {"discovery", discoveryRequest(), 12},
      {"reset", resetRequest(), 9},
      {"activate", activationRequest(12345), 11},
      {"i2c version", i2cVersionRequest(0x50), 16},
      {"i2c start flashing", i2cStartFlashingRequest(0x50, 128), 22},
      {"i2c block write", i2cBlockWriteRequest(0x50, 64, counting(64)), 102},
      {"i2c read back", i2cBlockReadBackRequest(0x50, 64), 38},
      {"i2c scan", i2cScanRequest(), 8},
      {"i2c identification", i2cIdentificationRequest(0x50), 20},
      {"upload start", uploadStartRequest(), 8},
      {"upload data", uploadDataRequest(0, counting(64)), 78},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.packet.size(), c.totalLength) << c.name;
    EXPECT_EQ(quint8(c.packet[0]), 0) << c.name;
    EXPECT_EQ(quint8(c.packet[4]), 0) << c.name;
    EXPECT_EQ(quint8(c.packet[5]), c.totalLength - 8) << c.name;
    EXPECT_EQ(packetChecksum(u8(c.packet), c.totalLength - 2), storedChecksum(c.packet)) << c.name;
    // Only the upload data packet carries auxiliary word 1.
    const int auxiliary = quint8(c.packet[2]) << 8 | quint8(c.packet[3]);
    EXPECT_EQ(auxiliary, std::string(c.name) == "upload data" ? 1 : 0) << c.name;
  }
}

TEST(Requests, GeneralBuilderWritesTheFullSixteenBitLength) {
  const QByteArray packet = buildPacket(VariablesAnswer, 0, QByteArray(300, '\x11'));
  ASSERT_EQ(packet.size(), 308);
  EXPECT_EQ(show(packet.left(6)), "00 23 00 00 01 2C");
  EXPECT_EQ(packetChecksum(u8(packet), 306), storedChecksum(packet));

  const QByteArray empty = buildPacket(UploadStart, 0, {});
  EXPECT_EQ(show(empty), "00 31 00 00 00 00 FF CE");
}

// --- File upload ----------------------------------------------------------------------

TEST(UploadImage, BinHeaderForThousandBytes) {
  const QByteArray file = counting(1000, 7);
  const QByteArray image = binUploadImage(file);
  ASSERT_EQ(image.size(), 1017);
  EXPECT_EQ(show(image.left(17)), show(hex("2F 68 65 78 2E 68 65 78 20 00 0F 03 EA 24 24 55 AA")));
  EXPECT_EQ(image.mid(17), file);
  // The readback expects exactly the part that the length field counts.
  EXPECT_EQ(binReadbackExpected(file), image.right(1002));
  EXPECT_EQ(show(binReadbackExpected(file).left(3)), "55 AA 07");
}

TEST(UploadImage, LengthFieldKeepsOnlyTheLowSixteenBits) {
  struct Case {
    int size;
    const char* lengthBytes;
  };
  const std::vector<Case> cases = {{70000, "11 72"}, {0, "00 02"}, {65534, "00 00"}, {65533, "FF FF"}};
  for (const Case& c : cases) {
    const QByteArray image = binUploadImage(QByteArray(c.size, '\0'));
    ASSERT_EQ(image.size(), c.size + 17);
    EXPECT_EQ(show(image.mid(11, 2)), show(hex(c.lengthBytes))) << c.size;
  }
}

TEST(UploadData, ChunkOneOfTheThousandByteImage) {
  const QByteArray image = binUploadImage(counting(1000));
  const QByteArray chunk1 = uploadDataRequest(64, image.mid(64, 64));
  EXPECT_EQ(show(chunk1.left(12)), show(hex("00 32 00 01 00 46 00 00 40 00 00 40")));
  EXPECT_EQ(chunk1.mid(12, 64), image.mid(64, 64));
}

TEST(UploadData, WholePacketLiteral) {
  EXPECT_EQ(show(uploadDataRequest(0, counting(64))),
            show(hex("00 32 00 01 00 46 00 00 00 00 00 40 "
                     "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
                     "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F "
                     "1B 43")));
}

TEST(UploadData, OffsetFieldIsTwentyFourBitsBigEndian) {
  struct Case {
    quint32 offset;
    const char* field;
  };
  const std::vector<Case> cases = {
      {64, "00 00 40"}, {300 * 64, "00 4B 00"}, {960, "00 03 C0"}, {0xFFFFC0, "FF FF C0"}};
  for (const Case& c : cases) {
    const QByteArray packet = uploadDataRequest(c.offset, counting(64));
    EXPECT_EQ(show(packet.mid(6, 3)), show(hex(c.field))) << c.offset;
    EXPECT_EQ(show(packet.mid(9, 3)), "00 00 40");
  }
}

TEST(UploadData, LastShortChunkIsFilledWithZerosAndStillSaysSixtyFour) {
  // Chunk 15 of the 1017-byte image: offset 960, 57 image bytes.
  EXPECT_EQ(show(uploadDataRequest(960, counting(57))),
            show(hex("00 32 00 01 00 46 00 03 C0 00 00 40 "
                     "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
                     "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 00 00 00 00 00 00 00 "
                     "10 30")));
}

// --- I2C flashing ---------------------------------------------------------------------

TEST(I2cImage, LengthIsWholeBlocksAlwaysBeyondTheFile) {
  struct Case {
    qint64 fileSize;
    qint64 imageLength;
  };
  const std::vector<Case> cases = {{100, 128}, {126, 192}, {61, 64}, {0, 64}, {62, 128}, {318, 384}};
  for (const Case& c : cases) EXPECT_EQ(i2cImageLength(c.fileSize), c.imageLength) << c.fileSize;
}

TEST(I2cImage, StartsWithMarkerThenTheFileThenFiller) {
  const QByteArray file = counting(100, 1);
  const QByteArray image = i2cImage(file, 0xEE);
  ASSERT_EQ(image.size(), 128);
  EXPECT_EQ(show(image.left(4)), "55 AA 01 02");
  EXPECT_EQ(image.mid(2, 100), file);
  EXPECT_EQ(image.mid(102), QByteArray(26, '\xEE'));
}

TEST(I2cRequests, BlockWriteOfBlockZeroLiteral) {
  // Image bytes 00..3F: every 16-byte window goes out last byte first.
  EXPECT_EQ(show(i2cBlockWriteRequest(0x50, 0, counting(64))),
            show(hex("00 07 00 00 00 5E "
                     "50 07 1C AA 55 00 00 00 02 00 "
                     "50 11 18 0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00 00 "
                     "50 11 19 1F 1E 1D 1C 1B 1A 19 18 17 16 15 14 13 12 11 10 00 "
                     "50 11 1A 2F 2E 2D 2C 2B 2A 29 28 27 26 25 24 23 22 21 20 00 "
                     "50 11 1B 3F 3E 3D 3C 3B 3A 39 38 37 36 35 34 33 32 31 30 00 "
                     "50 01 1D 00 "
                     "44 9E")));
}

TEST(I2cRequests, ReadBackOfBlockOneLiteral) {
  EXPECT_EQ(show(i2cBlockReadBackRequest(0x50, 64)),
            show(hex("00 07 00 00 00 1E "
                     "50 07 1C AA 55 00 00 00 41 00 "
                     "50 01 1D 00 50 01 18 10 50 01 19 10 50 01 1A 10 50 01 1B 10 "
                     "E9 E1")));
}

TEST(I2cRequests, StartFlashingLiterals) {
  EXPECT_EQ(show(i2cStartFlashingRequest(0x50, quint32(i2cImageLength(100)))),
            show(hex("00 07 00 00 00 0E 50 07 1C AA 55 00 00 00 86 00 50 01 1D 00 4B 37")));
  EXPECT_EQ(show(i2cStartFlashingRequest(0x50, quint32(i2cImageLength(126)))),
            show(hex("00 07 00 00 00 0E 50 07 1C AA 55 00 00 00 C6 00 50 01 1D 00 0B 37")));
}

TEST(I2cRequests, AddressWordsOfTheHundredByteExample) {
  // Bytes 11..14 of each request hold the address word of the command register.
  struct Case {
    const char* name;
    QByteArray packet;
    const char* word;
  };
  const std::vector<Case> cases = {
      {"write block 0", i2cBlockWriteRequest(0x08, 0, counting(64)), "00 00 00 02"},
      {"read back block 0", i2cBlockReadBackRequest(0x08, 0), "00 00 00 01"},
      {"write block 1", i2cBlockWriteRequest(0x08, 64, counting(64)), "00 00 00 42"},
      {"read back block 1", i2cBlockReadBackRequest(0x08, 64), "00 00 00 41"},
      {"start flashing", i2cStartFlashingRequest(0x08, 128), "00 00 00 86"},
      {"write block 300", i2cBlockWriteRequest(0x08, 300 * 64, counting(64)), "00 00 4B 02"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(c.packet.mid(6, 5)), "08 07 1C AA 55") << c.name;
    EXPECT_EQ(show(c.packet.mid(11, 4)), show(hex(c.word))) << c.name;
  }
  EXPECT_EQ(show(i2cCommandBytes(0x01020386)), "AA 55 01 02 03 86");
}

TEST(I2cRequests, WindowsOfAnyBlockAreReversedAndCarryTheirRegister) {
  const QByteArray image = i2cImage(counting(126, 0x30));
  for (int k = 0; k < image.size() / 64; ++k) {
    const QByteArray block = image.mid(64 * k, 64);
    const QByteArray packet = i2cBlockWriteRequest(0x50, quint32(64 * k), block);
    for (int j = 0; j < 4; ++j) {
      const int at = 16 + 20 * j;  // window sub-message j
      EXPECT_EQ(show(packet.mid(at, 3)), show(QByteArray("\x50\x11") + char(0x18 + j))) << k << "/" << j;
      for (int i = 0; i < 16; ++i) EXPECT_EQ(packet[at + 3 + i], block[16 * j + 15 - i]) << k << "/" << j << "/" << i;
      EXPECT_EQ(quint8(packet[at + 19]), 0) << "nothing is read back by a window write";
    }
  }
}

// --- Versions -------------------------------------------------------------------------

TEST(VersionWord, BothLayouts) {
  struct Case {
    const char* bytes;
    PackedVersion firmware;
    PackedVersion hardware;
  };
  const std::vector<Case> cases = {
      {"01 02 00 03", 3, 0x10002},          // hw 1.2, fw 0.3
      {"00 00 02 07", 0x207, kNoVersion},   // one big-endian value, no hardware
      {"00 02 00 0F", 0x2000F, kNoVersion}, // 2.15
      {"03 02 02 0F", 0x2000F, 0x30002},    // fw 2.15 for hw 3.2
      {"01 00 01 05", 0x10005, 0x10000},
      {"FF FF FF FF", 0xFF00FF, 0xFF00FF},
      {"00 FF FF FF", 0xFFFFFF, kNoVersion},
      {"00 00 00 00", 0, kNoVersion},
  };
  for (const Case& c : cases) {
    const QByteArray bytes = hex(c.bytes);
    const VersionWord word = decodeVersionWord(u8(bytes));
    EXPECT_EQ(word.firmware, c.firmware) << c.bytes;
    EXPECT_EQ(word.hardware, c.hardware) << c.bytes;
  }
}

TEST(VersionWord, TheVariablesAnswersOfTheCommonPort) {
  // Answers of a device to the version request: entry id 0 at byte 6 with the type in
  // bytes 7..10, entry id 1 at byte 11 with the version word in bytes 12..15.
  struct Case {
    const char* answerWithoutChecksum;
    quint32 type;
    PackedVersion firmware;
    PackedVersion hardware;
  };
  const std::vector<Case> cases = {
      {"00 23 00 00 00 0A 00 00 00 00 05 01 01 02 00 03", 5, 3, 0x10002},
      {"00 23 00 00 00 0A 00 00 00 00 05 01 00 00 02 07", 5, 0x207, kNoVersion},
  };
  for (const Case& c : cases) {
    const QByteArray payload = hex(c.answerWithoutChecksum).mid(6);
    const QByteArray frame = buildPacket(VariablesAnswer, 0, payload);
    EXPECT_EQ(frame.left(16), hex(c.answerWithoutChecksum));
    ASSERT_EQ(frame[6], char(VarFirmwareType));
    ASSERT_EQ(frame[11], char(VarVersionWord));
    EXPECT_EQ(readBigEndian32(u8(frame) + 7), c.type);
    const VersionWord word = decodeVersionWord(u8(frame) + 12);
    EXPECT_EQ(word.firmware, c.firmware);
    EXPECT_EQ(word.hardware, c.hardware);
  }
}

TEST(VersionText, MajorDotMinorInDecimal) {
  struct Case {
    PackedVersion version;
    const char* text;
  };
  const std::vector<Case> cases = {
      {131077, "2.5"}, {65546, "1.10"}, {0x2000F, "2.15"}, {0, "0.0"},
      {0x207, "0.519"}, {0x7FFFFFFF, "32767.65535"}, {kNoVersion, "-1.65535"},
  };
  for (const Case& c : cases) EXPECT_EQ(versionText(c.version).toStdString(), c.text) << c.version;
}

TEST(ReadBigEndian, FourBytesMostSignificantFirst) {
  const QByteArray bytes = hex("00 12 01 00 FF");
  EXPECT_EQ(readBigEndian32(u8(bytes)), 0x00120100u);
  EXPECT_EQ(readBigEndian32(u8(bytes) + 1), 0x120100FFu);
}

// --- Answers --------------------------------------------------------------------------

TEST(I2cErrorText, CodesAndTheRest) {
  struct Case {
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1, "I2C bus not ready"}, {2, "I2C bus timeout"}, {3, "I2C message too long"},
      {0, "I2C unknown error"}, {4, "I2C unknown error"}, {255, "I2C unknown error"}, {-1, "I2C unknown error"},
  };
  for (const Case& c : cases) EXPECT_EQ(i2cErrorText(c.code).toStdString(), c.text) << c.code;
}

// --- Frame splitter -------------------------------------------------------------------

namespace {
std::vector<QByteArray> drain(FrameSplitter& splitter) {
  std::vector<QByteArray> frames;
  QByteArray frame;
  while (splitter.next(frame)) frames.push_back(frame);
  return frames;
}

// Two answers back to back, plus an empty-payload frame, as one TCP stream.
const std::vector<QByteArray>& streamFrames() {
  static const std::vector<QByteArray> frames = {
      buildPacket(VariablesAnswer, 0, hex("00 00 00 00 05 01 01 02 00 03")),
      hex("00 09 00 00 00 01 03 FC F5"),
      uploadStartRequest(),
      buildPacket(I2cTransferAnswer, 0, hex("87 87")),
  };
  return frames;
}

QByteArray joined(const std::vector<QByteArray>& frames) {
  QByteArray out;
  for (const QByteArray& f : frames) out += f;
  return out;
}
}  // namespace

TEST(FrameSplitter, TheI2cErrorLiteralIsAValidFrame) {
  const QByteArray frame = hex("00 09 00 00 00 01 03 FC F5");
  EXPECT_EQ(packetChecksum(u8(frame), 7), storedChecksum(frame));
}

TEST(FrameSplitter, TwoFramesInOnePush) {
  FrameSplitter splitter;
  const QByteArray first = streamFrames()[0];
  const QByteArray second = streamFrames()[1];
  splitter.push(first + second);
  const std::vector<QByteArray> frames = drain(splitter);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], first);
  EXPECT_EQ(frames[1], second);
  EXPECT_EQ(splitter.pending(), 0);
}

TEST(FrameSplitter, StreamCutAtEveryPosition) {
  const QByteArray stream = joined(streamFrames());
  for (int cut = 0; cut <= stream.size(); ++cut) {
    FrameSplitter splitter;
    splitter.push(stream.left(cut));
    std::vector<QByteArray> frames = drain(splitter);
    splitter.push(stream.mid(cut));
    for (const QByteArray& f : drain(splitter)) frames.push_back(f);
    ASSERT_EQ(frames.size(), streamFrames().size()) << "cut at " << cut;
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], streamFrames()[i]) << "cut " << cut << " frame " << i;
    EXPECT_EQ(splitter.pending(), 0) << "cut at " << cut;
  }
}

TEST(FrameSplitter, OneByteAtATime) {
  const QByteArray stream = joined(streamFrames());
  FrameSplitter splitter;
  std::vector<QByteArray> frames;
  for (char byte : stream) {
    splitter.push(QByteArray(1, byte));
    for (const QByteArray& f : drain(splitter)) frames.push_back(f);
  }
  ASSERT_EQ(frames.size(), streamFrames().size());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], streamFrames()[i]);
}

TEST(FrameSplitter, IncompleteFrameIsHeldUntilItsLastByte) {
  FrameSplitter splitter;
  const QByteArray frame = streamFrames()[0];
  QByteArray out;
  splitter.push(frame.left(5));
  EXPECT_FALSE(splitter.next(out));
  EXPECT_EQ(splitter.pending(), 5);
  splitter.push(frame.mid(5, frame.size() - 6));
  EXPECT_FALSE(splitter.next(out));
  splitter.push(frame.right(1));
  ASSERT_TRUE(splitter.next(out));
  EXPECT_EQ(out, frame);
  EXPECT_FALSE(splitter.next(out));
  splitter.push(frame.left(3));
  splitter.clear();
  EXPECT_EQ(splitter.pending(), 0);
}
