#include "engine/FirmwareFile.h"

#include "common/FileNames.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

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
  const char* extension;  // exact, case-sensitive
  const char* missingText;
};

KindTraits traitsOf(FirmwareKind kind) {
  switch (kind) {
    case FirmwareKind::Bin: return {".bin", "The *.bin file does not exist."};
    case FirmwareKind::Bi2: return {".bi2", "The *.bi2 file does not exist."};
    case FirmwareKind::Web: return {".web", "The *.web file does not exist."};
  }
  return {".bin", "The *.bin file does not exist."};
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

// The file name without its directory.
QString fileNameOf(const QString& path) { return path.mid(path.lastIndexOf(u'/') + 1); }

// The extension is the text from the last "." of the file name (not of the directory).
QString extensionOf(const QString& path) {
  const QString name = fileNameOf(path);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : name.mid(dot);
}

// The checks that need only the path and what stat() tells of it (`info`, null when
// nothing is there): existence first, then the extension, the kind of file and its size.
std::optional<FirmwareRefusal> checkPath(const QString& path, const struct stat* info, FirmwareKind kind) {
  const KindTraits traits = traitsOf(kind);
  if (!info) return FirmwareRefusal{FileRefusal::Missing, QString::fromLatin1(traits.missingText)};
  if (extensionOf(path) != QLatin1String(traits.extension))
    return FirmwareRefusal{FileRefusal::WrongExtension, QStringLiteral("Wrong file extension.")};
  // A directory, a device or a pipe under a firmware name would fail or block in the
  // read; only regular files are loaded.
  if (!S_ISREG(info->st_mode))
    return FirmwareRefusal{FileRefusal::NotRegular,
                           QStringLiteral("Cannot read the file %1 : it is not a regular file.").arg(path)};
  if (!fitsDevice(kind, info->st_size))
    return FirmwareRefusal{FileRefusal::TooLarge, tooLargeText(kind, path, info->st_size)};
  return std::nullopt;
}

FirmwareRefusal unreadable(const QString& path, const QString& reason) {
  return {FileRefusal::Unreadable, QStringLiteral("Cannot read the file %1 : %2").arg(path, reason)};
}

// Reads the whole file named by the bytes `name` into `content`. It reads in pieces and
// stops one byte beyond the largest size any image allows, so that a file that grows
// while it is read cannot make the load unbounded. The open does not wait: a pipe put in
// the file's place since the check cannot block it.
std::optional<FirmwareRefusal> readWhole(const QByteArray& name, const QString& path, qint64 expectedSize,
                                         QByteArray& content) {
  const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return unreadable(path, qt_error_string(errno));
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return unreadable(path, file.errorString());
  }
  content.reserve(expectedSize);
  char piece[64 * 1024];
  for (;;) {
    const qint64 n = file.read(piece, sizeof piece);
    if (n < 0) return unreadable(path, file.errorString());
    if (n == 0) return std::nullopt;
    content.append(piece, n);
    if (content.size() > proto::kMaxImageSize) return std::nullopt;
  }
}

// The checks of what was read: its size again, then the content of its kind. Fills the
// identification and the new-version label of a .bin or .bi2.
std::optional<FirmwareRefusal> checkContent(FirmwareKind kind, const QString& path, LoadedFirmware& loaded) {
  const qint64 size = loaded.content.size();
  if (!fitsDevice(kind, size)) return FirmwareRefusal{FileRefusal::TooLarge, tooLargeText(kind, path, size)};
  if (kind == FirmwareKind::Web) {
    // An empty image has no chunk to send: the device would never be asked to store
    // anything, yet the upload would look complete.
    if (size == 0) return FirmwareRefusal{FileRefusal::Empty, QStringLiteral("The *.web file is empty.")};
    return std::nullopt;
  }
  const std::optional<FileIdentification> id = parseIdentificationBlock(loaded.content);
  if (!id) return FirmwareRefusal{FileRefusal::Invalid, QStringLiteral("This file is not valid !")};
  loaded.identification = *id;
  loaded.newVersionText = newVersionLabel(*id);
  return std::nullopt;
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

FirmwareLoad loadFirmwareFile(const QString& path, FirmwareKind kind) {
  // The path goes to the system byte for byte, also when its name is not valid UTF-8.
  const QByteArray name = encodeFileName(path);
  struct stat info {};
  const bool exists = ::stat(name.constData(), &info) == 0;
  if (std::optional<FirmwareRefusal> refusal = checkPath(path, exists ? &info : nullptr, kind)) return *refusal;
  LoadedFirmware loaded;
  if (std::optional<FirmwareRefusal> refusal = readWhole(name, path, info.st_size, loaded.content)) return *refusal;
  if (std::optional<FirmwareRefusal> refusal = checkContent(kind, path, loaded)) return *refusal;
  loaded.nameText = fileNameOf(path);
  loaded.lengthText = QString::number(loaded.content.size()) + QStringLiteral(" Bytes");
  return loaded;
}

}  // namespace orvane
