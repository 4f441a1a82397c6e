#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <optional>
#include <vector>

// The framed message of every exchange with an Orvane device, on every port:
//   command (16 bits) | auxiliary word (16 bits) | payload length N (16 bits) |
//   N payload bytes | checksum (16 bits), all big-endian.
// Everything here is a pure function over bytes; the engines own the sockets.
namespace orvane::proto {

// Command and answer codes.
enum Code : quint16 {
  I2cScan = 0x05,
  I2cScanAnswer = 0x06,
  I2cTransfer = 0x07,
  I2cTransferAnswer = 0x08,
  I2cError = 0x09,
  ReadVariables = 0x21,
  VariablesAnswer = 0x23,
  UploadStart = 0x31,
  UploadData = 0x32,
  UploadAnswer = 0x33,
  ActivateFirmware = 0x3A,
};

// Variable ids of ReadVariables / VariablesAnswer.
enum Variable : quint8 {
  VarFirmwareType = 0,   // 4 bytes, big-endian
  VarVersionWord = 1,    // 4 bytes, see decodeVersionWord
  VarReset = 2,          // asking for it resets the device
  VarMacAddress = 17,    // 6 bytes
  VarDeviceName = 21,    // 16 bytes
};

// Registers of an I2C device behind a network device.
enum I2cRegister : quint8 {
  RegFirmwareType = 0,   // read 4
  RegVersionWord = 1,    // read 4
  RegDeviceName = 21,    // read 16
  RegWindow0 = 24,       // 24..27: the four 16-byte data windows of a 64-byte block
  RegCommand = 28,       // write AA 55 + 32-bit address word
  RegTrigger = 29,       // write nothing: ends every flashing operation
};

// Low bits of the command register's address word.
enum I2cOperation : quint32 {
  I2cOpReadBack = 1,
  I2cOpWriteBlock = 2,
  I2cOpFlashImage = 6,
};

inline constexpr quint8 kI2cStatusOk = 0x87;
inline constexpr int kHeaderSize = 6;
inline constexpr int kFrameOverhead = 8;   // header + checksum
inline constexpr int kChunkSize = 64;      // upload chunk and I2C block size
inline constexpr int kWindowSize = 16;
inline constexpr quint16 kCommonPort = 8010;
inline constexpr quint16 kFilePort = 8004;
inline constexpr quint16 kDiscoveryPort = 7010;
inline constexpr quint16 kHttpPort = 80;
// The 7-bit I2C addresses a device behind a gateway may have.
inline constexpr int kI2cAddressMin = 8, kI2cAddressMax = 119;
// The 24-bit offset and size fields of uploads and I2C address words cannot address
// images of this size or more.
inline constexpr qint64 kMaxImageSize = 1 << 24;

// Checksum of n bytes: sum of the ones' complements of the big-endian 16-bit words
// (an odd last byte is the high byte of a word), folded twice, no final complement.
quint16 packetChecksum(const quint8* data, int n);
// Stores packetChecksum(buffer, n) at buffer[n] (high) and buffer[n + 1] (low).
void appendChecksum(quint8* buffer, int n);

// A whole frame: code, auxiliary word, payload length, payload, checksum.
QByteArray buildPacket(quint16 code, quint16 auxiliary, const QByteArray& payload);

// --- Requests of the upgrader -------------------------------------------------------
QByteArray readVariablesRequest(const QByteArray& variableIds);
QByteArray deviceVersionRequest();        // 00 21 00 00 00 02 00 01 FF DB
QByteArray resetRequest();                // 00 21 00 00 00 01 02 FD DD
QByteArray activationRequest(qint64 binFileSize);   // length least significant byte first
QByteArray discoveryRequest();            // variables 0, 17, 1, 21
QByteArray uploadStartRequest();          // 00 31 00 00 00 00 FF CE
// One 64-byte chunk at image offset `offset`; `data` holds at most 64 bytes, the rest
// of the data field is zero filler. The byte-count field always says 64.
QByteArray uploadDataRequest(quint32 offset, const QByteArray& data);
QByteArray i2cVersionRequest(quint8 i2cAddress);
QByteArray i2cScanRequest();              // 00 05 00 00 00 00 FF FA
QByteArray i2cIdentificationRequest(quint8 i2cAddress);
// Block write of one 64-byte block (image order); each 16-byte window goes out reversed.
QByteArray i2cBlockWriteRequest(quint8 i2cAddress, quint32 blockOffset, const QByteArray& block64);
QByteArray i2cBlockReadBackRequest(quint8 i2cAddress, quint32 blockOffset);
QByteArray i2cStartFlashingRequest(quint8 i2cAddress, quint32 imageLength);
// The six command-register bytes AA 55 + big-endian address word.
QByteArray i2cCommandBytes(quint32 addressWord);

// --- Images -------------------------------------------------------------------------
// The upload image of a .bin: "/hex.hex " 00 0F, (S+2) mod 65536, 24 24, 55 AA, file.
QByteArray binUploadImage(const QByteArray& binFile);
// What the device must serve as /hex.hex afterwards: 55 AA followed by the file.
QByteArray binReadbackExpected(const QByteArray& binFile);
// I2C image length L = ((S + 2) / 64) * 64 + 64.
qint64 i2cImageLength(qint64 bi2FileSize);
// 55 AA, the file, then filler up to i2cImageLength.
QByteArray i2cImage(const QByteArray& bi2File, quint8 filler = 0xFF);

// --- Versions -----------------------------------------------------------------------
// Major in the high 16 bits, minor in the low 16 bits; -1 = none.
using PackedVersion = qint32;
inline constexpr PackedVersion kNoVersion = -1;

struct VersionWord {
  PackedVersion firmware = 0;
  PackedVersion hardware = kNoVersion;
};
// b0 = 0: firmware = the four bytes big-endian, hardware none.
// b0 != 0: hardware = b0.b1, firmware = b2.b3.
VersionWord decodeVersionWord(const quint8* fourBytes);
// major "." minor in decimal; the major keeps its sign (-1 prints as -1.65535).
QString versionText(PackedVersion version);
quint32 readBigEndian32(const quint8* bytes);

// --- Answers ------------------------------------------------------------------------
// Each decoder takes one whole frame (see FrameSplitter), reads only the bytes the frame
// has, and never looks at the checksum.

// Which answer of the common port a frame is, by its code and size alone.
enum class CommonAnswerKind {
  Variables,     // code 0x23, more than 8 bytes
  I2cTransfer,   // code 0x08, more than 8 bytes
  I2cError,      // code 0x09, exactly 9 bytes
  Unknown,
};
CommonAnswerKind commonAnswerKind(const QByteArray& frame);

// A VariablesAnswer on the common port: from byte 6 up to the checksum, entries of an id
// byte and four value bytes. Only variables 0 and 1 are known there.
struct DecodedVariables {
  enum Status { Complete, UnknownVariable, EntryCutShort };
  Status status = Complete;
  std::optional<qint32> firmwareType;       // variable 0, big-endian
  std::optional<VersionWord> versionWord;   // variable 1
};
// Entries are taken in order (a later one overrides an earlier one of the same id);
// decoding stops at the first unknown id or at an entry that does not fit before the
// checksum, keeping the entries before it.
DecodedVariables decodeVariablesAnswer(const QByteArray& frame);

// An I2cTransferAnswer: for each sub-message of the request, its read bytes and the
// status byte 0x87. Byte 4 must be 0 and the frame must hold the payload its byte 5 says.
struct DecodedI2cTransfer {
  enum Kind {
    Invalid,
    I2cVersion,      // payload 10: register 0 (4 bytes) 87, register 1 (4 bytes) 87
    BlockWritten,    // payload 6: 87 x 6, one per sub-message of a block write
    BlockReadBack,   // payload 70: 87 87, then each window (16 bytes, last byte first) 87
    FlashStarted,    // payload 2: 87 87
  };
  Kind kind = Invalid;
  qint32 firmwareType = 0;   // I2cVersion
  VersionWord versionWord;   // I2cVersion
  QByteArray block;          // BlockReadBack: the 64 bytes of the block in image order
};
DecodedI2cTransfer classifyI2cTransferAnswer(const QByteArray& frame);

// The code byte of an I2cError answer (byte 6); -1 when the frame has none.
int i2cErrorCode(const QByteArray& frame);
QString i2cErrorText(int code);   // "I2C bus not ready", ... "I2C unknown error"

// An UploadAnswer on the file port: code 0x33, then an ASCII status text from byte 6 up
// to the checksum.
struct DecodedUpload {
  bool isUploadAnswer = false;   // bytes 0-1 are 00 33
  QString text;                  // empty when the frame has 8 bytes or less
  bool success = false;          // the text holds "BytesWritten" or "MemoryErased"
};
DecodedUpload decodeUploadAnswer(const QByteArray& frame);

// The first bytes of a frame in hex for a log entry: "00 23 00 00 ..." (at most maxBytes).
QString frameExcerpt(const QByteArray& frame, int maxBytes = 16);

// Cuts a TCP byte stream into frames by the payload-length field. Push what a read
// event delivered; take whole frames out.
class FrameSplitter {
 public:
  void push(const QByteArray& bytes);
  // True and the next whole frame when one is complete.
  bool next(QByteArray& frame);
  // Bytes of an incomplete frame still held.
  int pending() const { return int(buffer_.size()); }
  void clear() { buffer_.clear(); }

 private:
  QByteArray buffer_;
};

}  // namespace orvane::proto
