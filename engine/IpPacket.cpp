#include "engine/IpPacket.h"

#include <algorithm>
#include <cstring>

namespace orvane::proto {

quint16 packetChecksum(const quint8* data, int n) {
  // The sum of the complemented words (0xFFFF - w) is words x 0xFFFF minus the sum of the
  // words, and that is 256 x the sum of the high bytes plus the sum of the low ones: two
  // plain byte sums instead of a word built per pair. Equal modulo 2^32 to the sum word
  // by word; every request and answer passes here.
  quint32 high = 0, low = 0;
  int i = 0;
  for (; i + 1 < n; i += 2) {
    high += data[i];
    low += data[i + 1];
  }
  quint32 sum = quint32(i / 2) * 0xFFFFu - (high * 256u + low);
  if (i < n) sum += (quint32(data[i]) << 8) ^ 0xFFFFu;
  quint32 t = (sum >> 16) + (sum & 0xFFFFu);
  t = (t >> 16) + (t & 0xFFFFu);
  return quint16(t & 0xFFFFu);
}

void appendChecksum(quint8* buffer, int n) {
  const quint16 sum = packetChecksum(buffer, n);
  buffer[n] = quint8(sum >> 8);
  buffer[n + 1] = quint8(sum & 0xFF);
}

namespace {
// The frame header: command, auxiliary word, payload length, all big-endian.
void writeHeader(quint8* p, quint16 code, quint16 auxiliary, int payloadLength) {
  p[0] = quint8(code >> 8);
  p[1] = quint8(code);
  p[2] = quint8(auxiliary >> 8);
  p[3] = quint8(auxiliary);
  p[4] = quint8(payloadLength >> 8);
  p[5] = quint8(payloadLength);
}
}  // namespace

QByteArray buildPacket(quint16 code, quint16 auxiliary, const QByteArray& payload) {
  const int n = int(payload.size());
  QByteArray packet(n + kFrameOverhead, '\0');
  auto* p = reinterpret_cast<quint8*>(packet.data());
  writeHeader(p, code, auxiliary, n);
  std::copy(payload.cbegin(), payload.cend(), packet.begin() + kHeaderSize);
  appendChecksum(p, n + kHeaderSize);
  return packet;
}

namespace {
QByteArray bytes(std::initializer_list<quint8> list) {
  QByteArray out;
  out.reserve(int(list.size()));
  for (quint8 b : list) out.append(char(b));
  return out;
}

void appendBigEndian32(QByteArray& out, quint32 value) {
  out.append(char(value >> 24));
  out.append(char(value >> 16));
  out.append(char(value >> 8));
  out.append(char(value));
}

// Sub-message of an I2cTransfer: address, W, the W bytes written, R.
void appendSubMessage(QByteArray& out, quint8 address, const QByteArray& written, quint8 readCount) {
  out.append(char(address));
  out.append(char(written.size()));
  out.append(written);
  out.append(char(readCount));
}

void appendCommand(QByteArray& out, quint8 address, quint32 addressWord) {
  appendSubMessage(out, address, bytes({RegCommand}) + i2cCommandBytes(addressWord), 0);
}

void appendTrigger(QByteArray& out, quint8 address) { appendSubMessage(out, address, bytes({RegTrigger}), 0); }

// In-place writers for the requests sent once per 64 bytes of a transfer.

void writeBigEndian24(quint8* p, quint32 value) {
  p[0] = quint8(value >> 16);
  p[1] = quint8(value >> 8);
  p[2] = quint8(value);
}

// address, 7, RegCommand, AA 55, the address word (big-endian), 0; returns the end.
quint8* writeCommandSubMessage(quint8* out, quint8 address, quint32 addressWord) {
  *out++ = address;
  *out++ = 7;
  *out++ = RegCommand;
  *out++ = 0xAA;
  *out++ = 0x55;
  for (int shift = 24; shift >= 0; shift -= 8) *out++ = quint8(addressWord >> shift);
  *out++ = 0;
  return out;
}

// address, 1, RegTrigger, 0; returns the end.
quint8* writeTriggerSubMessage(quint8* out, quint8 address) {
  *out++ = address;
  *out++ = 1;
  *out++ = RegTrigger;
  *out++ = 0;
  return out;
}
}  // namespace

QByteArray readVariablesRequest(const QByteArray& variableIds) { return buildPacket(ReadVariables, 0, variableIds); }

QByteArray deviceVersionRequest() { return readVariablesRequest(bytes({VarFirmwareType, VarVersionWord})); }

QByteArray resetRequest() { return readVariablesRequest(bytes({VarReset})); }

QByteArray activationRequest(qint64 binFileSize) {
  const auto size = quint32(binFileSize);
  return buildPacket(ActivateFirmware, 0, bytes({quint8(size), quint8(size >> 8), quint8(size >> 16)}));
}

QByteArray discoveryRequest() {
  return readVariablesRequest(bytes({VarFirmwareType, VarMacAddress, VarVersionWord, VarDeviceName}));
}

QByteArray uploadStartRequest() { return buildPacket(UploadStart, 0, {}); }

QByteArray uploadDataRequest(quint32 offset, const QByteArray& data) {
  // Written in place into the one frame: a request goes out per 64 bytes of an upload.
  constexpr int kPayload = 6 + kChunkSize;
  QByteArray packet(kPayload + kFrameOverhead, '\0');
  auto* p = reinterpret_cast<quint8*>(packet.data());
  writeHeader(p, UploadData, 1, kPayload);
  quint8* field = p + kHeaderSize;
  writeBigEndian24(field, offset);
  writeBigEndian24(field + 3, kChunkSize);
  // The rest of the data field stays zero filler.
  std::memcpy(field + 6, data.constData(), size_t(std::min<qsizetype>(data.size(), kChunkSize)));
  appendChecksum(p, kHeaderSize + kPayload);
  return packet;
}

QByteArray i2cVersionRequest(quint8 i2cAddress) {
  QByteArray payload;
  appendSubMessage(payload, i2cAddress, bytes({RegFirmwareType}), 4);
  appendSubMessage(payload, i2cAddress, bytes({RegVersionWord}), 4);
  return buildPacket(I2cTransfer, 0, payload);
}

QByteArray i2cScanRequest() { return buildPacket(I2cScan, 0, {}); }

QByteArray i2cIdentificationRequest(quint8 i2cAddress) {
  QByteArray payload;
  appendSubMessage(payload, i2cAddress, bytes({RegFirmwareType}), 4);
  appendSubMessage(payload, i2cAddress, bytes({RegVersionWord}), 4);
  appendSubMessage(payload, i2cAddress, bytes({RegDeviceName}), 16);
  return buildPacket(I2cTransfer, 0, payload);
}

QByteArray i2cCommandBytes(quint32 addressWord) {
  QByteArray out = bytes({0xAA, 0x55});
  appendBigEndian32(out, addressWord);
  return out;
}

QByteArray i2cBlockWriteRequest(quint8 i2cAddress, quint32 blockOffset, const QByteArray& block64) {
  // The same sub-messages as appendCommand, appendSubMessage and appendTrigger build, written
  // in place into the one frame: a block write goes out per 64 bytes of an I2C image.
  constexpr int kCommand = 4 + 6, kWindow = 4 + kWindowSize, kTrigger = 4;
  constexpr int kPayload = kCommand + 4 * kWindow + kTrigger;
  QByteArray packet(kPayload + kFrameOverhead, '\0');
  auto* p = reinterpret_cast<quint8*>(packet.data());
  writeHeader(p, I2cTransfer, 0, kPayload);
  quint8* out = writeCommandSubMessage(p + kHeaderSize, i2cAddress, blockOffset + I2cOpWriteBlock);
  const auto* block = reinterpret_cast<const quint8*>(block64.constData());
  for (int j = 0; j < 4; ++j) {
    *out++ = i2cAddress;
    *out++ = quint8(1 + kWindowSize);
    *out++ = quint8(RegWindow0 + j);
    // Each window travels last byte first; bytes beyond a short block stay zero.
    for (int i = kWindowSize - 1; i >= 0; --i) {
      const int index = j * kWindowSize + i;
      *out++ = index < block64.size() ? block[index] : 0;
    }
    *out++ = 0;
  }
  writeTriggerSubMessage(out, i2cAddress);
  appendChecksum(p, kHeaderSize + kPayload);
  return packet;
}

QByteArray i2cBlockReadBackRequest(quint8 i2cAddress, quint32 blockOffset) {
  constexpr int kCommand = 4 + 6, kTrigger = 4, kWindow = 4;
  constexpr int kPayload = kCommand + kTrigger + 4 * kWindow;
  QByteArray packet(kPayload + kFrameOverhead, '\0');
  auto* p = reinterpret_cast<quint8*>(packet.data());
  writeHeader(p, I2cTransfer, 0, kPayload);
  quint8* out = writeCommandSubMessage(p + kHeaderSize, i2cAddress, blockOffset + I2cOpReadBack);
  out = writeTriggerSubMessage(out, i2cAddress);
  for (int j = 0; j < 4; ++j) {
    *out++ = i2cAddress;
    *out++ = 1;
    *out++ = quint8(RegWindow0 + j);
    *out++ = quint8(kWindowSize);
  }
  appendChecksum(p, kHeaderSize + kPayload);
  return packet;
}

QByteArray i2cStartFlashingRequest(quint8 i2cAddress, quint32 imageLength) {
  QByteArray payload;
  appendCommand(payload, i2cAddress, imageLength + I2cOpFlashImage);
  appendTrigger(payload, i2cAddress);
  return buildPacket(I2cTransfer, 0, payload);
}

QByteArray binUploadImage(const QByteArray& binFile) {
  const auto counted = quint32(binFile.size() + 2);
  QByteArray image = QByteArrayLiteral("/hex.hex ");
  // Sized once: the image is as large as the file, and a copy of the file on the way (or a
  // growing buffer) would double the memory an upload needs at its start.
  image.reserve(image.size() + 6 + 2 + binFile.size());
  image.append(bytes({0x00, 0x0F, quint8(counted >> 8), quint8(counted), 0x24, 0x24}));
  image.append(bytes({0x55, 0xAA}));
  image.append(binFile);
  return image;
}

QByteArray binReadbackExpected(const QByteArray& binFile) { return bytes({0x55, 0xAA}) + binFile; }

qint64 i2cImageLength(qint64 bi2FileSize) { return ((bi2FileSize + 2) / kChunkSize) * kChunkSize + kChunkSize; }

QByteArray i2cImage(const QByteArray& bi2File, quint8 filler) {
  QByteArray image = bytes({0x55, 0xAA}) + bi2File;
  image.append(QByteArray(int(i2cImageLength(bi2File.size()) - image.size()), char(filler)));
  return image;
}

quint32 readBigEndian32(const quint8* b) {
  return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | quint32(b[3]);
}

VersionWord decodeVersionWord(const quint8* b) {
  VersionWord word;
  if (b[0] == 0) {
    word.firmware = PackedVersion(readBigEndian32(b));
    word.hardware = kNoVersion;
  } else {
    word.hardware = PackedVersion(quint32(b[0]) << 16 | b[1]);
    word.firmware = PackedVersion(quint32(b[2]) << 16 | b[3]);
  }
  return word;
}

QString versionText(PackedVersion version) {
  return QStringLiteral("%1.%2").arg(version >> 16).arg(version & 0xFFFF);
}

namespace {
const quint8* bytesOf(const QByteArray& frame) { return reinterpret_cast<const quint8*>(frame.constData()); }

bool hasCode(const QByteArray& frame, Code code) {
  return frame.size() >= 2 && frame.at(0) == 0 && quint8(frame.at(1)) == code;
}

// The payload as the frame carries it: the length of byte 5, when byte 4 is 0 and the
// frame holds that many bytes; nullopt otherwise.
std::optional<int> checkedPayloadLength(const QByteArray& frame) {
  if (frame.size() < kHeaderSize || frame.at(4) != 0) return std::nullopt;
  const int length = quint8(frame.at(5));
  if (frame.size() < length + kFrameOverhead) return std::nullopt;
  return length;
}

bool statusesOk(const quint8* payload, std::initializer_list<int> positions) {
  for (int p : positions)
    if (payload[p] != kI2cStatusOk) return false;
  return true;
}

// Read-back payload: the command and trigger statuses, then per window its 16 bytes
// (last byte first) and a status.
constexpr int kReadBackWindowsAt = 2;
constexpr int kReadBackWindowStride = kWindowSize + 1;

QByteArray readBackBlock(const quint8* payload) {
  QByteArray block(kChunkSize, '\0');
  for (int j = 0; j < 4; ++j) {
    const quint8* window = payload + kReadBackWindowsAt + kReadBackWindowStride * j;
    for (int i = 0; i < kWindowSize; ++i) block[kWindowSize * j + i] = char(window[kWindowSize - 1 - i]);
  }
  return block;
}
}  // namespace

CommonAnswerKind commonAnswerKind(const QByteArray& frame) {
  const qsizetype L = frame.size();
  if (L > kFrameOverhead && hasCode(frame, VariablesAnswer)) return CommonAnswerKind::Variables;
  if (L > kFrameOverhead && hasCode(frame, I2cTransferAnswer)) return CommonAnswerKind::I2cTransfer;
  if (L == kFrameOverhead + 1 && hasCode(frame, I2cError)) return CommonAnswerKind::I2cError;
  return CommonAnswerKind::Unknown;
}

DecodedVariables decodeVariablesAnswer(const QByteArray& frame) {
  constexpr int kEntrySize = 5;
  DecodedVariables answer;
  const quint8* b = bytesOf(frame);
  const int end = int(frame.size()) - 2;   // the checksum
  for (int pos = kHeaderSize; pos < end; pos += kEntrySize) {
    const quint8 id = b[pos];
    if (id != VarFirmwareType && id != VarVersionWord) {
      answer.status = DecodedVariables::UnknownVariable;
      break;
    }
    if (pos + kEntrySize > end) {
      answer.status = DecodedVariables::EntryCutShort;
      break;
    }
    if (id == VarFirmwareType)
      answer.firmwareType = qint32(readBigEndian32(b + pos + 1));
    else
      answer.versionWord = decodeVersionWord(b + pos + 1);
  }
  return answer;
}

DecodedI2cTransfer classifyI2cTransferAnswer(const QByteArray& frame) {
  DecodedI2cTransfer answer;
  const std::optional<int> length = checkedPayloadLength(frame);
  if (!hasCode(frame, I2cTransferAnswer) || !length) return answer;
  const quint8* p = bytesOf(frame) + kHeaderSize;
  if (*length == 10 && statusesOk(p, {4, 9})) {
    answer.kind = DecodedI2cTransfer::I2cVersion;
    answer.firmwareType = qint32(readBigEndian32(p));
    answer.versionWord = decodeVersionWord(p + 5);
  } else if (*length == 6 && statusesOk(p, {0, 1, 2, 3, 4, 5})) {
    answer.kind = DecodedI2cTransfer::BlockWritten;
  } else if (*length == 70 && statusesOk(p, {0, 1, 18, 35, 52, 69})) {
    answer.kind = DecodedI2cTransfer::BlockReadBack;
    answer.block = readBackBlock(p);
  } else if (*length == 2 && statusesOk(p, {0, 1})) {
    answer.kind = DecodedI2cTransfer::FlashStarted;
  }
  return answer;
}

int i2cErrorCode(const QByteArray& frame) { return frame.size() > kHeaderSize ? quint8(frame.at(kHeaderSize)) : -1; }

DecodedUpload decodeUploadAnswer(const QByteArray& frame) {
  DecodedUpload answer;
  answer.isUploadAnswer = hasCode(frame, UploadAnswer);
  if (frame.size() > kFrameOverhead)
    answer.text = QString::fromLatin1(frame.mid(kHeaderSize, frame.size() - kFrameOverhead));
  answer.success = answer.isUploadAnswer && (answer.text.contains(QLatin1String("BytesWritten")) ||
                                             answer.text.contains(QLatin1String("MemoryErased")));
  return answer;
}

QString frameExcerpt(const QByteArray& frame, int maxBytes) {
  QString text = QString::fromLatin1(frame.left(maxBytes).toHex(' '));
  if (frame.size() > maxBytes) text += QStringLiteral(" ...");
  return text;
}

QString i2cErrorText(int code) {
  switch (code) {
    case 1: return QStringLiteral("I2C bus not ready");
    case 2: return QStringLiteral("I2C bus timeout");
    case 3: return QStringLiteral("I2C message too long");
    default: return QStringLiteral("I2C unknown error");
  }
}

void FrameSplitter::push(const QByteArray& bytes) { buffer_.append(bytes); }

bool FrameSplitter::next(QByteArray& frame) {
  if (buffer_.size() < kHeaderSize) return false;
  const auto* p = reinterpret_cast<const quint8*>(buffer_.constData());
  const int total = (int(p[4]) << 8 | p[5]) + kFrameOverhead;
  if (buffer_.size() < total) return false;
  if (buffer_.size() == total) {
    // The usual case of a lock-step exchange: one read, one whole answer. The bytes pass
    // on as they are, without a copy.
    frame = std::move(buffer_);
    buffer_ = QByteArray();
    return true;
  }
  frame = buffer_.left(total);
  buffer_.remove(0, total);
  return true;
}

}  // namespace orvane::proto
