// The identification block parser and the images built from a file, on arbitrary
// file contents.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>

using namespace orvane;

int orvane::fuzz::fuzzOneIdentification(const uint8_t* data, size_t size) {
  const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
  const std::optional<FileIdentification> id = parseIdentificationBlock(content);
  if (id) {
    FUZZ_REQUIRE(size >= 34);
    FUZZ_REQUIRE(content.mid(16, 6) == "Orvane");
    FUZZ_REQUIRE(id->fileFirmwareType == qint32(proto::readBigEndian32(data + 22)));
    FUZZ_REQUIRE((data[26] == 0) == (id->fileMaxHardware == proto::kNoVersion));
    FUZZ_REQUIRE((data[30] == 0) == (id->fileMinHardware == proto::kNoVersion));
    const QString label = newVersionLabel(*id);
    FUZZ_REQUIRE(label.startsWith(proto::versionText(id->fileFirmwareVersion)));
  } else {
    FUZZ_REQUIRE(size < 34 || content.mid(16, 6) != "Orvane");
  }

  const QByteArray upload = proto::binUploadImage(content);
  FUZZ_REQUIRE(upload.size() == content.size() + 17);
  FUZZ_REQUIRE(upload.endsWith(proto::binReadbackExpected(content)));

  const QByteArray i2c = proto::i2cImage(content);
  FUZZ_REQUIRE(i2c.size() == proto::i2cImageLength(content.size()));
  FUZZ_REQUIRE(i2c.mid(2, content.size()) == content);
  for (qsizetype k = 0; k * 64 < i2c.size(); ++k) {
    const QByteArray packet = proto::i2cBlockWriteRequest(0x50, quint32(k * 64), i2c.mid(k * 64, 64));
    FUZZ_REQUIRE(packet.size() == 102);
  }
  return 0;
}
