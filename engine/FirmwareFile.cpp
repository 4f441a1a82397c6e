#include "engine/FirmwareFile.h"

#include "common/Globalfunctions.h"

#include <QFile>
#include <QFileInfo>

namespace orvane {

namespace {

// Offsets of the identification block inside a .bin or .bi2 file.
constexpr int kMagicOffset = 16;
constexpr int kTypeOffset = 22;
constexpr int kNewVersionOffset = 26;
constexpr int kMinVersionOffset = 30;
constexpr int kIdentificationEnd = 34;
constexpr char kMagic[] = "Orvane";
constexpr int kMagicLength = 6;

struct KindTraits {
  const char* extension;     // exact, case-sensitive
  const char* functionLabel; // loader of the main window that reports the entry
  const char* missingText;
};

KindTraits traitsOf(FirmwareKind kind) {
  switch (kind) {
    case FirmwareKind::Bin:
      return {".bin", "TFormMain::loadBinFile", "The *.bin file does not exist."};
    case FirmwareKind::Bi2:
      return {".bi2", "TFormMain::loadBi2File", "The *.bi2 file does not exist."};
    case FirmwareKind::Web:
      return {".web", "TFormMain::loadWebFile", "The *.web file does not exist."};
  }
  return {".bin", "TFormMain::loadBinFile", "The *.bin file does not exist."};
}

void reportRefusal(FirmwareKind kind, int line, const QString& text) {
  writeLogEntry(QStringLiteral("Mainform"), line, QString::fromLatin1(traitsOf(kind).functionLabel),
                UseConfiguredOutputs, LogLevelError, text);
}

// Size of the image that the engine builds from a file of `size` bytes: the .bin
// upload image carries a 17-byte header, the .bi2 image is padded to whole 64-byte
// blocks, the .web file travels as it is. Offsets and address words on the wire have
// 24 bits, so every image must stay below 16 MiB.
qint64 imageSizeOf(FirmwareKind kind, qint64 size) {
  switch (kind) {
    case FirmwareKind::Bin: return size + 17;
    case FirmwareKind::Bi2: return proto::i2cImageLength(size);
    case FirmwareKind::Web: return size;
  }
  return size;
}

bool fitsDevice(FirmwareKind kind, qint64 size) { return imageSizeOf(kind, size) < proto::kMaxImageSize; }

QString tooLargeText(FirmwareKind kind, const QString& path, qint64 size) {
  return QStringLiteral("The file %1 is too large (%2 Bytes): its %3 image must stay below %4 Bytes.")
      .arg(path)
      .arg(size)
      .arg(kind == FirmwareKind::Bi2 ? QStringLiteral("I2C") : QStringLiteral("upload"))
      .arg(proto::kMaxImageSize);
}

// The extension is the text from the last "." of the file name (not of the directory).
QString extensionOf(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : name.mid(dot);
}

}  // namespace

std::optional<FileIdentification> parseIdentificationBlock(const QByteArray& content) {
  if (content.size() < kIdentificationEnd) return std::nullopt;
  if (content.mid(kMagicOffset, kMagicLength) != QByteArray(kMagic, kMagicLength)) return std::nullopt;
  const auto* b = reinterpret_cast<const quint8*>(content.constData());

  FileIdentification id;
  id.fileFirmwareType = qint32(proto::readBigEndian32(b + kTypeOffset));
  const proto::VersionWord newWord = proto::decodeVersionWord(b + kNewVersionOffset);
  id.fileFirmwareVersion = newWord.firmware;
  id.fileMaxHardware = newWord.hardware;
  const proto::VersionWord minWord = proto::decodeVersionWord(b + kMinVersionOffset);
  id.fileMinDeviceFirmware = minWord.firmware;
  id.fileMinHardware = minWord.hardware;
  return id;
}

QString newVersionLabel(const FileIdentification& id) {
  const QString version = proto::versionText(id.fileFirmwareVersion);
  if (id.fileMaxHardware == proto::kNoVersion || id.fileMinHardware == proto::kNoVersion) return version;
  return version + QStringLiteral("  (For Hw ") + proto::versionText(id.fileMinHardware) + QStringLiteral(" to ") +
         proto::versionText(id.fileMaxHardware) + QStringLiteral(")");
}

std::optional<LoadedFirmware> loadFirmwareFile(const QString& path, FirmwareKind kind) {
  const KindTraits traits = traitsOf(kind);
  const QFileInfo info(path);

  if (!info.exists()) {
    reportRefusal(kind, __LINE__, QString::fromLatin1(traits.missingText));
    return std::nullopt;
  }
  if (extensionOf(path) != QLatin1String(traits.extension)) {
    reportRefusal(kind, __LINE__, QStringLiteral("Wrong file extension."));
    return std::nullopt;
  }
  // A directory, a device or a pipe under a firmware name would fail or block in the
  // read below; only regular files are loaded.
  if (!info.isFile()) {
    reportRefusal(kind, __LINE__, QStringLiteral("Cannot read the file %1 : it is not a regular file.").arg(path));
    return std::nullopt;
  }
  if (!fitsDevice(kind, info.size())) {
    reportRefusal(kind, __LINE__, tooLargeText(kind, path, info.size()));
    return std::nullopt;
  }

  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    reportRefusal(kind, __LINE__, QStringLiteral("Cannot read the file %1 : %2").arg(path, file.errorString()));
    return std::nullopt;
  }
  // Read in pieces and stop one byte beyond the largest size any image allows, so that
  // a file that grows while it is read cannot make the load unbounded.
  LoadedFirmware loaded;
  loaded.content.reserve(info.size());
  char piece[64 * 1024];
  for (;;) {
    const qint64 n = file.read(piece, sizeof piece);
    if (n < 0) {
      reportRefusal(kind, __LINE__, QStringLiteral("Cannot read the file %1 : %2").arg(path, file.errorString()));
      return std::nullopt;
    }
    if (n == 0) break;
    loaded.content.append(piece, n);
    if (loaded.content.size() > proto::kMaxImageSize) break;
  }
  file.close();
  const qint64 size = loaded.content.size();
  if (!fitsDevice(kind, size)) {
    reportRefusal(kind, __LINE__, tooLargeText(kind, path, size));
    return std::nullopt;
  }

  if (kind == FirmwareKind::Web) {
    // An empty image has no chunk to send: the device would never be asked to store
    // anything, yet the upload would look complete.
    if (size == 0) {
      reportRefusal(kind, __LINE__, QStringLiteral("The *.web file is empty."));
      return std::nullopt;
    }
  } else {
    const std::optional<FileIdentification> id = parseIdentificationBlock(loaded.content);
    if (!id) {
      reportRefusal(kind, __LINE__, QStringLiteral("This file is not valid !"));
      return std::nullopt;
    }
    loaded.identification = *id;
    loaded.newVersionText = newVersionLabel(*id);
  }

  loaded.nameText = info.fileName();
  loaded.lengthText = QString::number(size) + QStringLiteral(" Bytes");
  return loaded;
}

}  // namespace orvane
