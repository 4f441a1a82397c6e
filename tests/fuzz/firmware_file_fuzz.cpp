// The firmware file loader on arbitrary file contents, names and kinds of path. Input:
// the kind (.bin, .bi2, .web), the name ending, a byte of flags (bit 0: no file at the
// path, bit 1: a directory there, bit 2: the file is made larger than any image allows),
// then the file contents, written to a private temporary directory for each run.
// Whether the file loads, and why it is refused, follow the loader's order of checks;
// a loaded file's fields agree with its bytes, a refusal always carries its text.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace orvane;

namespace {

const QDir& workDirectory() {
  static QTemporaryDir dir;
  static const QDir path(dir.path());
  return path;
}

struct Case {
  FirmwareKind kind;
  QString path;
  bool missing, directory, oversize;
  QByteArray content;
};

const char* extensionOf(FirmwareKind kind) {
  return kind == FirmwareKind::Bin ? ".bin" : kind == FirmwareKind::Bi2 ? ".bi2" : ".web";
}

// Puts at the path what the case asks for: nothing, a directory, or the file (sparse
// beyond the largest image when oversize, so nothing that large is read).
void prepare(const Case& c) {
  QFile::remove(c.path);
  QDir(c.path).removeRecursively();
  if (c.missing) return;
  if (c.directory) {
    QDir().mkpath(c.path);
    return;
  }
  QFile file(c.path);
  FUZZ_REQUIRE(file.open(QIODevice::WriteOnly));
  FUZZ_REQUIRE(file.write(c.content) == c.content.size());
  if (c.oversize) FUZZ_REQUIRE(file.resize(proto::kMaxImageSize + c.content.size()));
}

// The refusal the loader must give, in its order of checks; nullopt: it loads.
std::optional<FileRefusal> expectedRefusal(const Case& c) {
  if (c.missing) return FileRefusal::Missing;
  if (!c.path.endsWith(QLatin1String(extensionOf(c.kind)))) return FileRefusal::WrongExtension;
  if (c.directory) return FileRefusal::NotRegular;
  if (c.oversize) return FileRefusal::TooLarge;
  if (c.kind == FirmwareKind::Web) {
    if (c.content.isEmpty()) return FileRefusal::Empty;
    return std::nullopt;
  }
  if (!parseIdentificationBlock(c.content)) return FileRefusal::Invalid;
  return std::nullopt;
}

void checkRefusal(const Case& c, const FirmwareRefusal& refusal) {
  FUZZ_REQUIRE(!refusal.text.isEmpty());
  const QString kindName = QString::fromLatin1(extensionOf(c.kind) + 1);
  switch (refusal.kind) {
    case FileRefusal::Missing:
      FUZZ_REQUIRE(refusal.text == QStringLiteral("The *.%1 file does not exist.").arg(kindName));
      break;
    case FileRefusal::WrongExtension: FUZZ_REQUIRE(refusal.text == QStringLiteral("Wrong file extension.")); break;
    case FileRefusal::Empty: FUZZ_REQUIRE(refusal.text == QStringLiteral("The *.web file is empty.")); break;
    case FileRefusal::Invalid: FUZZ_REQUIRE(refusal.text == QStringLiteral("This file is not valid !")); break;
    default: FUZZ_REQUIRE(refusal.text.contains(c.path)); break;
  }
}

void checkLoaded(const Case& c, const LoadedFirmware& loaded) {
  FUZZ_REQUIRE(loaded.content == c.content);
  FUZZ_REQUIRE(loaded.nameText == QFileInfo(c.path).fileName());
  FUZZ_REQUIRE(loaded.lengthText == QString::number(c.content.size()) + QStringLiteral(" Bytes"));
  if (c.kind == FirmwareKind::Web) {
    FUZZ_REQUIRE(loaded.newVersionText.isEmpty());
    return;
  }
  const FileIdentification& id = loaded.identification;
  const auto* b = reinterpret_cast<const quint8*>(c.content.constData());
  FUZZ_REQUIRE(c.content.mid(16, 6) == "Orvane");
  FUZZ_REQUIRE(id.fileFirmwareType == qint32(proto::readBigEndian32(b + 22)));
  const proto::VersionWord newWord = proto::decodeVersionWord(b + 26);
  const proto::VersionWord minWord = proto::decodeVersionWord(b + 30);
  FUZZ_REQUIRE(id.fileFirmwareVersion == newWord.firmware && id.fileMaxHardware == newWord.hardware);
  FUZZ_REQUIRE(id.fileMinDeviceFirmware == minWord.firmware && id.fileMinHardware == minWord.hardware);
  FUZZ_REQUIRE(loaded.newVersionText == newVersionLabel(id));
  FUZZ_REQUIRE(loaded.newVersionText.startsWith(proto::versionText(id.fileFirmwareVersion)));
}

}  // namespace

int orvane::fuzz::fuzzOneFirmwareFile(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const char* const kEndings[] = {".bin", ".bi2", ".web", ".BIN", ".Web", "", ".bin.bak", ".", ".bi2 "};
  const auto kind = FirmwareKind(data[0] % 3);
  // Mostly the kind's own extension, else one of the endings.
  const QString ending = QString::fromLatin1(data[1] < 128 ? extensionOf(kind) : kEndings[(data[1] - 128) % 9]);
  Case c{kind, workDirectory().filePath(QStringLiteral("firmware") + ending), (data[2] & 1) != 0,
         (data[2] & 2) != 0, (data[2] & 4) != 0,
         QByteArray(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3))};
  prepare(c);

  const FirmwareLoad load = loadFirmwareFile(c.path, c.kind);
  const std::optional<FileRefusal> expected = expectedRefusal(c);
  FUZZ_REQUIRE(load.has_value() == !expected.has_value());
  if (load) {
    checkLoaded(c, *load);
  } else {
    FUZZ_REQUIRE(load.refusal().kind == *expected);
    checkRefusal(c, load.refusal());
  }
  return 0;
}
