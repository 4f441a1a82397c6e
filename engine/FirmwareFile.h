#pragma once

#include "engine/IpPacket.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <utility>
#include <variant>

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

// Why a file was not loaded, in the order the loader checks.
enum class FileRefusal {
  Missing,         // nothing at the path
  WrongExtension,  // not exactly the kind's extension
  NotRegular,      // a directory, a device, a pipe...
  TooLarge,        // its image would reach 16 MiB
  Unreadable,      // it could not be opened or read
  Empty,           // an empty .web file
  Invalid,         // a .bin or .bi2 without a valid identification block
};

// A refused file: why, and the operator's text that says it (the text the error entry
// of the window carries, or that a command line prints).
struct FirmwareRefusal {
  FileRefusal kind;
  QString text;
};

// What loading one file gives: the loaded firmware, or its refusal.
class FirmwareLoad {
 public:
  FirmwareLoad(LoadedFirmware firmware) : outcome_(std::move(firmware)) {}
  FirmwareLoad(FirmwareRefusal refusal) : outcome_(std::move(refusal)) {}

  bool has_value() const { return std::holds_alternative<LoadedFirmware>(outcome_); }
  explicit operator bool() const { return has_value(); }

  // The loaded firmware; only when has_value().
  LoadedFirmware& operator*() { return std::get<LoadedFirmware>(outcome_); }
  const LoadedFirmware& operator*() const { return std::get<LoadedFirmware>(outcome_); }
  LoadedFirmware* operator->() { return &**this; }
  const LoadedFirmware* operator->() const { return &**this; }

  // The refusal; only when !has_value().
  const FirmwareRefusal& refusal() const { return std::get<FirmwareRefusal>(outcome_); }

 private:
  std::variant<LoadedFirmware, FirmwareRefusal> outcome_;
};

// Parses the identification block; nullopt when the content is shorter than 34 bytes
// or the magic is not exactly "Orvane".
std::optional<FileIdentification> parseIdentificationBlock(const QByteArray& content);

// The new-version label: the version alone unless both hardware bounds are present.
QString newVersionLabel(const FileIdentification& identification);

// Checks and loads one file. Writes nothing: a refusal comes back to the caller, which
// reports it in its own name. The path "0" means no file is chosen: it is not given
// to this function. A path from orvane::decodeFileName (common/FileNames.h) names its
// file byte for byte, also when the name is not valid UTF-8.
FirmwareLoad loadFirmwareFile(const QString& path, FirmwareKind kind);

}  // namespace orvane
