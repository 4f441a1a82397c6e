// The identification block parser and the images built from a file, on arbitrary
// file contents.
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace orvane;

namespace {
void require(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
  const std::optional<FileIdentification> id = parseIdentificationBlock(content);
  if (id) {
    require(size >= 34);
    require(content.mid(16, 6) == "Orvane");
    require(id->fileFirmwareType == qint32(proto::readBigEndian32(data + 22)));
    require((data[26] == 0) == (id->fileMaxHardware == proto::kNoVersion));
    require((data[30] == 0) == (id->fileMinHardware == proto::kNoVersion));
    const QString label = newVersionLabel(*id);
    require(label.startsWith(proto::versionText(id->fileFirmwareVersion)));
  } else {
    require(size < 34 || content.mid(16, 6) != "Orvane");
  }

  const QByteArray upload = proto::binUploadImage(content);
  require(upload.size() == content.size() + 17);
  require(upload.endsWith(proto::binReadbackExpected(content)));

  const QByteArray i2c = proto::i2cImage(content);
  require(i2c.size() == proto::i2cImageLength(content.size()));
  require(i2c.mid(2, content.size()) == content);
  for (qsizetype k = 0; k * 64 < i2c.size(); ++k) {
    const QByteArray packet = proto::i2cBlockWriteRequest(0x50, quint32(k * 64), i2c.mid(k * 64, 64));
    require(packet.size() == 102);
  }
  return 0;
}
