// The version word decoder, the version text, the checksum and the image arithmetic on
// arbitrary bytes.
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace orvane::proto;

namespace {
void require(bool condition) {
  if (!condition) std::abort();
}

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const VersionWord word = decodeVersionWord(data + i);
    if (data[i] == 0) {
      require(word.hardware == kNoVersion);
      require(quint32(word.firmware) == readBigEndian32(data + i));
    } else {
      require(word.hardware == PackedVersion(quint32(data[i]) << 16 | data[i + 1]));
      require(word.firmware == PackedVersion(quint32(data[i + 2]) << 16 | data[i + 3]));
    }
    const QString text = versionText(word.firmware);
    require(text == QString::number(word.firmware >> 16) + QLatin1Char('.') + QString::number(word.firmware & 0xFFFF));
    (void)versionText(PackedVersion(readBigEndian32(data + i)));
    require(!i2cErrorText(int(readBigEndian32(data + i))).isEmpty());

    // Image arithmetic for any size below 2^40.
    const qint64 fileSize = qint64(readBigEndian32(data + i)) << (data[i] & 7);
    const qint64 length = i2cImageLength(fileSize);
    require(length % kChunkSize == 0);
    require(length > fileSize + 2 && length - (fileSize + 2) <= kChunkSize);
  }

  // The device checksum adds the complemented words with end-around carry: it is 0 only
  // when every complemented word is 0 (no bytes, or nothing but FF FF words); otherwise
  // it is the Internet checksum with 0x0000 written as 0xFFFF.
  const quint16 sum = packetChecksum(data, int(size));
  bool allOnes = size % 2 == 0;
  for (size_t i = 0; allOnes && i < size; ++i) allOnes = data[i] == 0xFF;
  if (allOnes) {
    require(sum == 0);
  } else {
    const quint16 reference = internetChecksum(data, size);
    require(sum == (reference == 0 ? 0xFFFF : reference));
  }
  return 0;
}
