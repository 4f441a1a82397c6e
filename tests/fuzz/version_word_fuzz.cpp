// The version word decoder, the version text, the checksum and the image arithmetic on
// arbitrary bytes.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>

using namespace orvane::proto;

namespace {

// RFC 1071 Internet checksum, the reference the device checksum differs from only where
// the words sum to 0xFFFF.
quint16 internetChecksum(const uint8_t* data, size_t n) {
  quint32 sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += quint32(data[i]) << 8 | data[i + 1];
  if (n % 2) sum += quint32(data[n - 1]) << 8;
  while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
  return quint16(~sum);
}
}  // namespace

int orvane::fuzz::fuzzOneVersionWord(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const VersionWord word = decodeVersionWord(data + i);
    if (data[i] == 0) {
      FUZZ_REQUIRE(word.hardware == kNoVersion);
      FUZZ_REQUIRE(quint32(word.firmware) == readBigEndian32(data + i));
    } else {
      FUZZ_REQUIRE(word.hardware == PackedVersion(quint32(data[i]) << 16 | data[i + 1]));
      FUZZ_REQUIRE(word.firmware == PackedVersion(quint32(data[i + 2]) << 16 | data[i + 3]));
    }
    const QString text = versionText(word.firmware);
    FUZZ_REQUIRE(text == QString::number(word.firmware >> 16) + QLatin1Char('.') + QString::number(word.firmware & 0xFFFF));
    (void)versionText(PackedVersion(readBigEndian32(data + i)));
    FUZZ_REQUIRE(!i2cErrorText(int(readBigEndian32(data + i))).isEmpty());

    // Image arithmetic for any size below 2^40.
    const qint64 fileSize = qint64(readBigEndian32(data + i)) << (data[i] & 7);
    const qint64 length = i2cImageLength(fileSize);
    FUZZ_REQUIRE(length % kChunkSize == 0);
    FUZZ_REQUIRE(length > fileSize + 2 && length - (fileSize + 2) <= kChunkSize);
  }

  // The device checksum adds the complemented words with end-around carry: it is 0 only
  // when every complemented word is 0 (no bytes, or nothing but FF FF words); otherwise
  // it is the Internet checksum with 0x0000 written as 0xFFFF.
  const quint16 sum = packetChecksum(data, int(size));
  bool allOnes = size % 2 == 0;
  for (size_t i = 0; allOnes && i < size; ++i) allOnes = data[i] == 0xFF;
  if (allOnes) {
    FUZZ_REQUIRE(sum == 0);
  } else {
    const quint16 reference = internetChecksum(data, size);
    FUZZ_REQUIRE(sum == (reference == 0 ? 0xFFFF : reference));
  }
  return 0;
}
