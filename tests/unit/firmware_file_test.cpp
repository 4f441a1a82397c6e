// Firmware files: the identification block, the new-version label, and the loader's
// checks with the refusal (kind and operator text) it returns. The loader itself writes
// nothing into the error log: the window writes the entry (window_main_test).
#include "common/FileNames.h"
#include "common/Globalfunctions.h"
#include "engine/FirmwareFile.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using orvane::FileIdentification;
using orvane::FileRefusal;
using orvane::FirmwareKind;
using orvane::loadFirmwareFile;
using orvane::proto::kNoVersion;

namespace {

constexpr char kApplication[] = "Orvane - Firmware upgrader";

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }

// A .bin / .bi2 image: 16 bytes the upgrader never reads, the identification block,
// then `size` - 34 bytes of firmware.
QByteArray firmwareFile(const char* type, const char* newWord, const char* minWord, int size = 100,
                        const QByteArray& magic = "Orvane") {
  QByteArray content(16, '\x5A');
  content += magic + hex(type) + hex(newWord) + hex(minWord);
  for (int i = int(content.size()); i < size; ++i) content.append(char(i * 7));
  content.truncate(size);
  return content;
}

class FirmwareFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files_.isValid());
    ASSERT_TRUE(logs_.isValid());
    // The start-up configuration of the program: error entries to the error file only.
    configureErrorLog(LogToFile, logs_.path(), QString::fromLatin1(kApplication));
    configureGeneralLog(0, 255, false, true, QString::fromLatin1(kApplication));
  }

  QString path(const QString& name) const { return files_.filePath(name); }

  QString write(const QString& name, const QByteArray& content) const {
    QFile f(path(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly)) << name.toStdString();
    f.write(content);
    return f.fileName();
  }

  // A file of `size` bytes whose first bytes are `head`; the rest is a hole.
  QString writeSparse(const QString& name, const QByteArray& head, qint64 size) const {
    QFile f(path(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(head);
    EXPECT_TRUE(f.resize(size));
    return f.fileName();
  }

  QString logText() const { return orvane::test::readLogFileText(errorLogFilePath()); }
  void clearLog() const { QFile::remove(errorLogFilePath()); }

  // Loads and expects this refusal, and no entry in the error log.
  void expectRefused(const QString& file, FirmwareKind kind, FileRefusal reason, const QString& text) const {
    clearLog();
    const orvane::FirmwareLoad loaded = loadFirmwareFile(file, kind);
    ASSERT_FALSE(loaded.has_value()) << file.toStdString();
    EXPECT_EQ(loaded.refusal().kind, reason) << file.toStdString() << ": " << text.toStdString();
    EXPECT_EQ(loaded.refusal().text.toStdString(), text.toStdString()) << file.toStdString();
    EXPECT_TRUE(logText().isEmpty()) << "the loader writes no entry itself:\n" << logText().toStdString();
  }

  orvane::test::GlobalStateGuard globals_;
  QTemporaryDir files_;
  QTemporaryDir logs_;
};

}  // namespace

// --- Identification block -------------------------------------------------------------

TEST(IdentificationBlock, BothVersionWordLayouts) {
  struct Case {
    const char* what;
    const char* type;
    const char* newWord;
    const char* minWord;
    FileIdentification expected;
  };
  const std::vector<Case> cases = {
      {"no hardware bounds", "00120003", "0002000F", "00010005", {0x120003, 0x2000F, kNoVersion, 0x10005, kNoVersion}},
      {"both hardware bounds", "00120003", "0302020F", "01000105", {0x120003, 0x2000F, 0x30002, 0x10005, 0x10000}},
      {"upper bound only", "00010001", "0302020F", "00010005", {0x10001, 0x2000F, 0x30002, 0x10005, kNoVersion}},
      {"lower bound only", "00010001", "0002000F", "01000105", {0x10001, 0x2000F, kNoVersion, 0x10005, 0x10000}},
      {"one-value words", "00000005", "00000207", "00000000", {5, 0x207, kNoVersion, 0, kNoVersion}},
      {"type keeps all 32 bits", "FFFFFFFF", "0002000F", "0002000F", {-1, 0x2000F, kNoVersion, 0x2000F, kNoVersion}},
  };
  for (const Case& c : cases) {
    const auto id = orvane::parseIdentificationBlock(firmwareFile(c.type, c.newWord, c.minWord));
    ASSERT_TRUE(id.has_value()) << c.what;
    EXPECT_EQ(id->fileFirmwareType, c.expected.fileFirmwareType) << c.what;
    EXPECT_EQ(id->fileFirmwareVersion, c.expected.fileFirmwareVersion) << c.what;
    EXPECT_EQ(id->fileMaxHardware, c.expected.fileMaxHardware) << c.what;
    EXPECT_EQ(id->fileMinDeviceFirmware, c.expected.fileMinDeviceFirmware) << c.what;
    EXPECT_EQ(id->fileMinHardware, c.expected.fileMinHardware) << c.what;
  }
}

TEST(IdentificationBlock, RefusedContents) {
  struct Case {
    const char* what;
    QByteArray content;
  };
  const std::vector<Case> cases = {
      {"empty", QByteArray()},
      {"33 bytes", firmwareFile("00010001", "0002000F", "00010005", 33)},
      {"magic in capitals", firmwareFile("00010001", "0002000F", "00010005", 100, "ORVANE")},
      {"magic one letter off", firmwareFile("00010001", "0002000F", "00010005", 100, "Orvano")},
      {"magic at offset 0", QByteArray("Orvane") + QByteArray(94, '\0')},
  };
  for (const Case& c : cases) EXPECT_FALSE(orvane::parseIdentificationBlock(c.content).has_value()) << c.what;
  // Exactly 34 bytes hold the whole block.
  EXPECT_TRUE(orvane::parseIdentificationBlock(firmwareFile("00010001", "0002000F", "00010005", 34)).has_value());
}

TEST(NewVersionLabel, VersionAloneUnlessBothHardwareBoundsArePresent) {
  struct Case {
    FileIdentification id;
    const char* label;
  };
  const std::vector<Case> cases = {
      {{0, 0x2000F, kNoVersion, 0, kNoVersion}, "2.15"},
      {{0, 0x2000F, 0x30002, 0x10005, 0x10000}, "2.15  (For Hw 1.0 to 3.2)"},
      {{0, 0x2000F, 0x30002, 0x10005, kNoVersion}, "2.15"},
      {{0, 0x2000F, kNoVersion, 0x10005, 0x10000}, "2.15"},
      {{0, 0x207, 0x10000, 0, 0x10000}, "0.519  (For Hw 1.0 to 1.0)"},
  };
  for (const Case& c : cases) EXPECT_EQ(orvane::newVersionLabel(c.id).toStdString(), c.label);
}

// --- Loading: accepted files ----------------------------------------------------------

TEST_F(FirmwareFileTest, LoadsBinAndBi2WithLabelsAndFields) {
  struct Case {
    const char* name;
    FirmwareKind kind;
    const char* newWord;
    const char* minWord;
    const char* label;
    FileIdentification expected;
  };
  const std::vector<Case> cases = {
      {"fw.bin", FirmwareKind::Bin, "0002000F", "00010005", "2.15", {0x120003, 0x2000F, kNoVersion, 0x10005, kNoVersion}},
      {"fw.bi2", FirmwareKind::Bi2, "0302020F", "01000105", "2.15  (For Hw 1.0 to 3.2)",
       {0x120003, 0x2000F, 0x30002, 0x10005, 0x10000}},
      // One hardware bound: the label shows the version alone, the bound is kept.
      {"one.bin", FirmwareKind::Bin, "0302020F", "00010005", "2.15", {0x120003, 0x2000F, 0x30002, 0x10005, kNoVersion}},
      {"archive.tar.bin", FirmwareKind::Bin, "0002000F", "00010005", "2.15",
       {0x120003, 0x2000F, kNoVersion, 0x10005, kNoVersion}},
  };
  for (const Case& c : cases) {
    clearLog();
    const QByteArray content = firmwareFile("00120003", c.newWord, c.minWord, 1000);
    const auto loaded = loadFirmwareFile(write(QString::fromLatin1(c.name), content), c.kind);
    ASSERT_TRUE(loaded.has_value()) << c.name << "\n" << logText().toStdString();
    EXPECT_EQ(loaded->content, content) << c.name;
    EXPECT_EQ(loaded->nameText.toStdString(), c.name);
    EXPECT_EQ(loaded->lengthText.toStdString(), "1000 Bytes");
    EXPECT_EQ(loaded->newVersionText.toStdString(), c.label);
    EXPECT_EQ(loaded->identification.fileFirmwareType, c.expected.fileFirmwareType) << c.name;
    EXPECT_EQ(loaded->identification.fileFirmwareVersion, c.expected.fileFirmwareVersion) << c.name;
    EXPECT_EQ(loaded->identification.fileMaxHardware, c.expected.fileMaxHardware) << c.name;
    EXPECT_EQ(loaded->identification.fileMinDeviceFirmware, c.expected.fileMinDeviceFirmware) << c.name;
    EXPECT_EQ(loaded->identification.fileMinHardware, c.expected.fileMinHardware) << c.name;
    EXPECT_TRUE(logText().isEmpty()) << "an accepted file writes no entry";
  }
}

TEST_F(FirmwareFileTest, LoadsWebContentAsItIs) {
  const QByteArray content("<html>not an identification block</html>");
  const auto loaded = loadFirmwareFile(write(QStringLiteral("site.web"), content), FirmwareKind::Web);
  ASSERT_TRUE(loaded.has_value()) << logText().toStdString();
  EXPECT_EQ(loaded->content, content);
  EXPECT_EQ(loaded->nameText.toStdString(), "site.web");
  EXPECT_EQ(loaded->lengthText.toStdString(), "40 Bytes");
  EXPECT_TRUE(loaded->newVersionText.isEmpty());
}

// A file whose name is not valid UTF-8 (the byte 0xE9 is "é" in Latin-1) is found by
// that very name, and its name is shown as it is. The UTF-8 spelling of "é" is another
// name, which does not exist here.
TEST_F(FirmwareFileTest, NameThatIsNotUtf8IsLoadedByItsOwnBytes) {
  const QByteArray directory = QFile::encodeName(files_.path());
  const QByteArray content = firmwareFile("00120003", "0002000F", "00010005", 200);
  const QByteArray latin1 = directory + "/caf\xE9.bin";
  const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
  ::close(fd);

  const auto loaded = loadFirmwareFile(orvane::decodeFileName(latin1), FirmwareKind::Bin);
  ASSERT_TRUE(loaded.has_value()) << loaded.refusal().text.toStdString();
  EXPECT_EQ(loaded->content, content);
  EXPECT_EQ(orvane::encodeFileName(loaded->nameText), QByteArray("caf\xE9.bin"));
  EXPECT_EQ(loaded->lengthText.toStdString(), "200 Bytes");

  expectRefused(orvane::decodeFileName(directory + "/caf\xC3\xA9.bin"), FirmwareKind::Bin, FileRefusal::Missing,
                QStringLiteral("The *.bin file does not exist."));
  expectRefused(orvane::decodeFileName(directory + "/absent\xE9.bin"), FirmwareKind::Bin, FileRefusal::Missing,
                QStringLiteral("The *.bin file does not exist."));
}

// --- File names -------------------------------------------------------------------------

TEST(FileNames, EveryByteSurvivesDecodingAndEncoding) {
  struct Case {
    const char* what;
    QByteArray bytes;
    bool utf8;  // valid UTF-8: decoded as usual
  };
  const std::vector<Case> cases = {
      {"ASCII", "fw.bin", true},
      {"UTF-8 e acute", "caf\xC3\xA9.bin", true},
      {"four-byte character", "\xF0\x9F\x98\x80.bin", true},
      {"character whose low surrogate looks like an escape", "\xF0\x90\x82\x80", true},
      {"Latin-1 e acute", "caf\xE9.bin", false},
      {"lone continuation byte", "\x80x", false},
      {"sequence cut at the end", "x\xC3", false},
      {"overlong slash", "\xC0\xAF", false},
      {"encoded surrogate", "\xED\xA0\x80", false},
      {"encoded escape", "\xED\xB3\xA9", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"every high byte", QByteArray::fromHex("80818283fefff5c1"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString name = orvane::decodeFileName(c.bytes);
    EXPECT_EQ(orvane::encodeFileName(name), c.bytes);
    if (c.utf8) {
      EXPECT_EQ(name, QFile::decodeName(c.bytes));
    } else {
      EXPECT_FALSE(name.contains(QChar::ReplacementCharacter));
      EXPECT_NE(orvane::encodeFileName(name), QFile::encodeName(QFile::decodeName(c.bytes)));
    }
  }
  // A byte that is not UTF-8 stands for itself only: "é" in Latin-1 and in UTF-8 differ.
  EXPECT_NE(orvane::decodeFileName("\xE9"), orvane::decodeFileName("\xC3\xA9"));
}

TEST_F(FirmwareFileTest, ShortestValidBinIsThirtyFourBytes) {
  const auto loaded =
      loadFirmwareFile(write(QStringLiteral("tiny.bin"), firmwareFile("00010001", "0002000F", "00010005", 34)),
                       FirmwareKind::Bin);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->lengthText.toStdString(), "34 Bytes");
}

// --- Loading: refusals ----------------------------------------------------------------

TEST_F(FirmwareFileTest, MissingFiles) {
  struct Case {
    const char* name;
    FirmwareKind kind;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"absent.bin", FirmwareKind::Bin, "The *.bin file does not exist."},
      {"absent.bi2", FirmwareKind::Bi2, "The *.bi2 file does not exist."},
      {"absent.web", FirmwareKind::Web, "The *.web file does not exist."},
      // Existence is checked before the extension.
      {"absent.txt", FirmwareKind::Bin, "The *.bin file does not exist."},
  };
  for (const Case& c : cases)
    expectRefused(path(QString::fromLatin1(c.name)), c.kind, FileRefusal::Missing, QString::fromLatin1(c.text));
}

TEST_F(FirmwareFileTest, ExtensionIsExactAndCaseSensitive) {
  const QByteArray valid = firmwareFile("00010001", "0002000F", "00010005");
  struct Case {
    const char* name;
    FirmwareKind kind;
  };
  const std::vector<Case> cases = {
      {"FIRMWARE.BIN", FirmwareKind::Bin}, {"fw.Bin", FirmwareKind::Bin}, {"fw.bin.txt", FirmwareKind::Bin},
      {"fwbin", FirmwareKind::Bin},        {"fw.bi2", FirmwareKind::Bin}, {"fw.bin", FirmwareKind::Bi2},
      {"fw.BI2", FirmwareKind::Bi2},       {"site.WEB", FirmwareKind::Web}, {"site.bin", FirmwareKind::Web},
      {"fw.bin ", FirmwareKind::Bin},
  };
  for (const Case& c : cases)
    expectRefused(write(QString::fromLatin1(c.name), valid), c.kind, FileRefusal::WrongExtension,
                  QStringLiteral("Wrong file extension."));

  // The dot of a directory name does not make an extension.
  ASSERT_TRUE(QDir(files_.path()).mkpath(QStringLiteral("release.bin")));
  expectRefused(write(QStringLiteral("release.bin/firmware"), valid), FirmwareKind::Bin,
                FileRefusal::WrongExtension, QStringLiteral("Wrong file extension."));
}

TEST_F(FirmwareFileTest, InvalidIdentificationBlocks) {
  struct Case {
    const char* name;
    FirmwareKind kind;
    QByteArray content;
  };
  const std::vector<Case> cases = {
      {"caps.bin", FirmwareKind::Bin, firmwareFile("00010001", "0002000F", "00010005", 100, "ORVANE")},
      {"caps.bi2", FirmwareKind::Bi2, firmwareFile("00010001", "0002000F", "00010005", 100, "ORVANE")},
      {"short.bin", FirmwareKind::Bin, firmwareFile("00010001", "0002000F", "00010005", 33)},
      {"short.bi2", FirmwareKind::Bi2, firmwareFile("00010001", "0002000F", "00010005", 20)},
      {"empty.bin", FirmwareKind::Bin, QByteArray()},
  };
  for (const Case& c : cases)
    expectRefused(write(QString::fromLatin1(c.name), c.content), c.kind, FileRefusal::Invalid,
                  QStringLiteral("This file is not valid !"));
}

TEST_F(FirmwareFileTest, EmptyWebIsRefused) {
  expectRefused(write(QStringLiteral("empty.web"), QByteArray()), FirmwareKind::Web, FileRefusal::Empty,
                QStringLiteral("The *.web file is empty."));
}

TEST_F(FirmwareFileTest, FilesThatCannotBeReadAreRefusedWithTheirPath) {
  // Tests may run as root, where permissions do not stop reading: use things that
  // really cannot be read as a file.
  const QString directory = path(QStringLiteral("folder.bin"));
  ASSERT_TRUE(QDir().mkpath(directory));
  expectRefused(directory, FirmwareKind::Bin, FileRefusal::NotRegular,
                QStringLiteral("Cannot read the file ") + directory + QStringLiteral(" : it is not a regular file."));

  // A named pipe would block a plain read until a writer comes.
  const QString pipe = path(QStringLiteral("pipe.bi2"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
  expectRefused(pipe, FirmwareKind::Bi2, FileRefusal::NotRegular,
                QStringLiteral("Cannot read the file ") + pipe + QStringLiteral(" : it is not a regular file."));

  // A regular file whose read fails: the memory file of this process cannot be read
  // from offset 0.
  if (QFileInfo(QStringLiteral("/proc/self/mem")).isFile()) {
    const QString mem = path(QStringLiteral("mem.bin"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/proc/self/mem"), mem));
    clearLog();
    const orvane::FirmwareLoad loaded = loadFirmwareFile(mem, FirmwareKind::Bin);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.refusal().kind, FileRefusal::Unreadable);
    EXPECT_TRUE(loaded.refusal().text.startsWith(QStringLiteral("Cannot read the file ") + mem + QStringLiteral(" : ")))
        << loaded.refusal().text.toStdString();
    EXPECT_GT(loaded.refusal().text.size(), (QStringLiteral("Cannot read the file ") + mem + QStringLiteral(" : ")).size())
        << "the reason of the failed read follows";
    EXPECT_TRUE(logText().isEmpty());
  }

  if (::geteuid() != 0) {
    const QString locked = write(QStringLiteral("locked.web"), QByteArray("content"));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0), 0);
    clearLog();
    const orvane::FirmwareLoad loaded = loadFirmwareFile(locked, FirmwareKind::Web);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.refusal().kind, FileRefusal::Unreadable);
    EXPECT_TRUE(loaded.refusal().text.startsWith(QStringLiteral("Cannot read the file ") + locked + QStringLiteral(" : ")))
        << loaded.refusal().text.toStdString();
    EXPECT_TRUE(logText().isEmpty());
  }
}

TEST_F(FirmwareFileTest, ImagesOfSixteenMebibytesAreRefused) {
  // The upload offsets and the I2C address words have 24 bits: the image built from the
  // file must stay below 2^24 bytes. Sparse files keep this cheap.
  constexpr qint64 k16M = qint64(1) << 24;
  const QByteArray head = firmwareFile("00010001", "0002000F", "00010005", 34);
  struct Case {
    const char* name;
    FirmwareKind kind;
    qint64 size;
    bool accepted;
    const char* imageWord;
  };
  const std::vector<Case> cases = {
      {"largest.bin", FirmwareKind::Bin, k16M - 18, true, ""},       // image 2^24 - 1
      {"toolarge.bin", FirmwareKind::Bin, k16M - 17, false, "upload"},
      {"largest.bi2", FirmwareKind::Bi2, k16M - 67, true, ""},       // image 2^24 - 64
      {"toolarge.bi2", FirmwareKind::Bi2, k16M - 66, false, "I2C"},  // image 2^24
      {"largest.web", FirmwareKind::Web, k16M - 1, true, ""},
      {"toolarge.web", FirmwareKind::Web, k16M, false, "upload"},
  };
  for (const Case& c : cases) {
    const QString file = writeSparse(QString::fromLatin1(c.name), head, c.size);
    if (c.accepted) {
      clearLog();
      const auto loaded = loadFirmwareFile(file, c.kind);
      ASSERT_TRUE(loaded.has_value()) << c.name << "\n" << logText().toStdString();
      EXPECT_EQ(loaded->content.size(), c.size) << c.name;
      EXPECT_EQ(loaded->lengthText, QString::number(c.size) + QStringLiteral(" Bytes"));
    } else {
      expectRefused(file, c.kind, FileRefusal::TooLarge,
                    QStringLiteral("The file %1 is too large (%2 Bytes): its %3 image must stay below 16777216 Bytes.")
                        .arg(file)
                        .arg(c.size)
                        .arg(QString::fromLatin1(c.imageWord)));
    }
    QFile::remove(file);
  }
}
