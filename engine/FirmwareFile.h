#pragma once

#include "engine/IpPacket.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Firmware files: .bin (network device), .bi2 (I2C device), .web (web content).
// .bin and .bi2 carry an 18-byte identification block at file offset 16:
//   "Orvane", type (32-bit BE), new-version word, minimum-version word.
namespace orvane {

enum class FirmwareKind { Bin, Bi2, Web };

// The five file fields of one version set of the upgrade engine.
struct FileIdentification {
  qint32 fileFirmwareType = 0;
  proto::PackedVersion fileFirmwareVersion = 0;
  proto::PackedVersion fileMaxHardware = proto::kNoVersion;
  proto::PackedVersion fileMinDeviceFirmware = 0;
  proto::PackedVersion fileMinHardware = proto::kNoVersion;
};

struct LoadedFirmware {
  QByteArray content;               // the whole file
  FileIdentification identification;  // .bin and .bi2 only
  QString nameText;                 // file name without its directory
  QString lengthText;               // "N Bytes"
  QString newVersionText;           // .bin and .bi2 only: "2.15" or "2.15  (For Hw 1.0 to 3.2)"
};

// Parses the identification block; nullopt when the content is shorter than 34 bytes
// or the magic is not exactly "Orvane".
std::optional<FileIdentification> parseIdentificationBlock(const QByteArray& content);

// The new-version label: the version alone unless both hardware bounds are present.
QString newVersionLabel(const FileIdentification& identification);

// Checks and loads one file. On refusal writes the error entry of the refusal
// (source "Mainform", function label of the window's loader) and returns nullopt.
// The path "0" means no file is chosen: it is not given to this function.
std::optional<LoadedFirmware> loadFirmwareFile(const QString& path, FirmwareKind kind);

}  // namespace orvane
