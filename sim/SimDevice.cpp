#include "sim/SimDevice.h"

#include <QTimer>

namespace orvane::sim {
namespace {

constexpr quint16 kI2cScan = 0x05;
constexpr quint16 kI2cScanAnswer = 0x06;
constexpr quint16 kI2cTransfer = 0x07;
constexpr quint16 kI2cTransferAnswer = 0x08;
constexpr quint16 kI2cError = 0x09;
constexpr quint16 kReadVariables = 0x21;
constexpr quint16 kVariablesAnswer = 0x23;
constexpr quint16 kUploadStart = 0x31;
constexpr quint16 kUploadData = 0x32;
constexpr quint16 kUploadAnswer = 0x33;
constexpr quint16 kActivateFirmware = 0x3A;
constexpr char kStatusOk = char(0x87);
constexpr int kI2cAbsentErrorCode = 2;  // "I2C bus timeout": nobody acknowledged the address
const QByteArray kImageHeader("/hex.hex ");
const QByteArray kMagic("Orvane");

QString codeText(quint16 code) { return QString::asprintf("0x%02X", unsigned(code)); }

// The size of each register as read, for the layout checks.
int registerReadSize(int reg) {
  switch (reg) {
    case 0: case 1: return 4;
    case 21: return 16;
    case 24: case 25: case 26: case 27: return 16;
    default: return -1;
  }
}

}  // namespace

SimDevice::SimDevice(const DeviceConfig& config, Recorder& recorder, QObject* parent)
    : QObject(parent), config_(config), recorder_(recorder) {
  for (const I2cDeviceConfig& c : config_.i2c) {
    I2cDevice dev;
    dev.state = c;
    i2c_.insert(c.address, dev);
  }
}

I2cDeviceConfig* SimDevice::i2cState(int address) {
  auto it = i2c_.find(address);
  return it == i2c_.end() ? nullptr : &it->state;
}

void SimDevice::event(QJsonObject line) { recorder_.write(config_.address, std::move(line)); }

void SimDevice::violation(int port, const QString& detail) { recorder_.violation(config_.address, port, detail); }

// --- Variables ---------------------------------------------------------------------

bool SimDevice::checkVariableIds(const QByteArray& ids, int port) {
  if (ids.isEmpty()) {
    violation(port, QStringLiteral("ReadVariables without any variable id"));
    return false;
  }
  for (char c : ids) {
    const int id = quint8(c);
    if (id != 0 && id != 1 && id != 17 && id != 21) {
      violation(port, QStringLiteral("ReadVariables asks for unknown variable id %1").arg(id));
      return false;
    }
  }
  return true;
}

QByteArray SimDevice::variablesAnswer(const QByteArray& ids, bool discovery) const {
  const Faults& f = config_.faults;
  QByteArray payload;
  for (char c : ids) {
    const int id = quint8(c);
    if (discovery && f.udpOmitVariables.contains(id)) continue;
    payload.append(char(id));
    switch (id) {
      case 0: payload.append(config_.type); break;
      case 1: payload.append(config_.versionWord); break;
      case 17: payload.append(config_.mac); break;
      case 21: payload.append(config_.name); break;
      default: break;
    }
    if (discovery && id == 0 && f.udpUnknownVariable >= 0) {
      payload.append(char(f.udpUnknownVariable)).append(QByteArray(4, '\0'));
    }
  }
  return wireFrame(kVariablesAnswer, payload);
}

// --- UDP 7010 ----------------------------------------------------------------------

QList<QByteArray> SimDevice::handleUdp(const QByteArray& datagram, int& delayMs) {
  const Faults& f = config_.faults;
  delayMs = f.udpReplyDelayMs;
  WireFrame frame;
  QString problem;
  if (!readWireFrame(datagram, frame, problem)) {
    violation(kUdpPort, problem);
    return {};
  }
  if (frame.auxiliary != 0) {
    violation(kUdpPort, QStringLiteral("auxiliary word %1 in a %2 request, expected 0").arg(frame.auxiliary).arg(codeText(frame.code)));
    return {};
  }
  if (f.silent(kUdpPort) || silenced_) return {};
  if (f.udpRaw.contains(frame.code)) return f.udpRaw.value(frame.code);

  switch (frame.code) {
    case kReadVariables: {
      if (!checkVariableIds(frame.payload, kUdpPort)) return {};
      QByteArray answer = variablesAnswer(frame.payload, true);
      if (f.udpBadChecksum) answer[answer.size() - 1] = char(quint8(answer.back()) ^ 0x5A);
      QList<QByteArray> out;
      if (f.udpSplitReply) {
        const int cut = int(answer.size() / 2);
        out << answer.left(cut) << answer.mid(cut);
      } else {
        out << answer;
      }
      if (f.udpDoubleReply) out += QList<QByteArray>(out);
      return out;
    }
    case kI2cScan: {
      if (!frame.payload.isEmpty()) {
        violation(kUdpPort, QStringLiteral("I2cScan with %1 payload bytes, expected none").arg(frame.payload.size()));
        return {};
      }
      // A bus without devices is answered with an empty list.
      QByteArray list;
      for (auto it = i2c_.cbegin(); it != i2c_.cend(); ++it)
        if (!it->flashing) list.append(char(it.key()));
      return {wireFrame(kI2cScanAnswer, list)};
    }
    case kI2cTransfer: {
      QByteArray answer;
      int absent = -1;
      switch (runI2cTransfer(frame.payload, kUdpPort, answer, absent)) {
        case I2cResult::Ok: return {wireFrame(kI2cTransferAnswer, answer)};
        case I2cResult::Absent:
          // The gateway gets no acknowledge from the address; on the discovery port it stays quiet.
          event({{QStringLiteral("event"), QStringLiteral("i2cAbsent")}, {QStringLiteral("port"), kUdpPort},
                 {QStringLiteral("i2c"), absent}});
          return {};
        case I2cResult::Violation: return {};
      }
      return {};
    }
    default:
      violation(kUdpPort, QStringLiteral("code %1 is not served on the discovery port").arg(codeText(frame.code)));
      return {};
  }
}

// --- UDP floods and repeats ---------------------------------------------------------

namespace {

int requestCode(const QByteArray& datagram) {
  return datagram.size() < 2 ? -1 : quint8(datagram[0]) * 256 + quint8(datagram[1]);
}

}  // namespace

int SimDevice::rawRepeats(const QByteArray& datagram) const {
  const Faults& f = config_.faults;
  if (f.udpRawRepeat.everyMs <= 0 || !f.udpRaw.contains(requestCode(datagram))) return 0;
  return f.udpRawRepeat.times;
}

int SimDevice::floodRounds(const QByteArray& datagram) const {
  const UdpFlood& flood = config_.faults.udpFlood;
  if (flood.records <= 0 || requestCode(datagram) != kReadVariables) return 0;
  return flood.forMs > 0 ? std::max(1, flood.forMs / flood.everyMs) : 1;
}

QList<QByteArray> SimDevice::floodRound() {
  const UdpFlood& flood = config_.faults.udpFlood;
  QList<QByteArray> datagrams;
  QByteArray payload;
  for (int i = 0; i < flood.records; ++i) {
    // The entries in the order the upgrader asks: type, MAC, versions, name.
    payload.append(char(0)).append(config_.type);
    payload.append(char(17)).append("\x02\xFE", 2).append(bigEndianBytes32(floodSerial_++));
    payload.append(char(1)).append(config_.versionWord);
    payload.append(char(21)).append(config_.name);
    if ((i + 1) % flood.perDatagram == 0 || i + 1 == flood.records) {
      datagrams.append(wireFrame(kVariablesAnswer, payload));
      payload.clear();
    }
  }
  return datagrams;
}

// --- I2C gateway -------------------------------------------------------------------

SimDevice::I2cResult SimDevice::runI2cTransfer(const QByteArray& payload, int port, QByteArray& answer,
                                                int& absent) {
  // Parse every sub-message first, so that a request with a broken layout changes nothing.
  QList<SubMessage> subs;
  int pos = 0;
  while (pos < payload.size()) {
    if (payload.size() - pos < 2) {
      violation(port, QStringLiteral("I2C sub-message at payload byte %1 is cut short").arg(pos));
      return I2cResult::Violation;
    }
    SubMessage s;
    s.address = quint8(payload[pos]);
    const int w = quint8(payload[pos + 1]);
    if (w < 1) {
      violation(port, QStringLiteral("I2C sub-message at payload byte %1 writes no register number").arg(pos));
      return I2cResult::Violation;
    }
    if (payload.size() - pos < 2 + w + 1) {
      violation(port, QStringLiteral("I2C sub-message at payload byte %1 announces %2 bytes to write but the payload ends")
                          .arg(pos).arg(w));
      return I2cResult::Violation;
    }
    s.reg = quint8(payload[pos + 2]);
    s.data = payload.mid(pos + 3, w - 1);
    s.readCount = quint8(payload[pos + 2 + w]);
    pos += 3 + w;
    subs.append(s);
  }
  if (subs.isEmpty()) {
    violation(port, QStringLiteral("I2cTransfer without any sub-message"));
    return I2cResult::Violation;
  }
  for (int i = 0; i < subs.size(); ++i) {
    const SubMessage& s = subs[i];
    const QString where = QStringLiteral("I2C sub-message %1 (register %2)").arg(i + 1).arg(s.reg);
    const int size = registerReadSize(s.reg);
    bool ok = false;
    if (s.reg == 28) {
      ok = s.data.size() == 6 && s.readCount == 0 && quint8(s.data[0]) == 0xAA && quint8(s.data[1]) == 0x55;
    } else if (s.reg == 29) {
      ok = s.data.isEmpty() && s.readCount == 0;
    } else if (s.reg >= 24 && s.reg <= 27) {
      ok = (s.data.size() == 16 && s.readCount == 0) || (s.data.isEmpty() && s.readCount == 16);
    } else if (size > 0) {
      ok = s.data.isEmpty() && s.readCount == size;
    } else {
      violation(port, where + QStringLiteral(": register not served"));
      return I2cResult::Violation;
    }
    if (!ok) {
      violation(port, where + QStringLiteral(": writes %1 data bytes and reads %2, which this register does not take")
                                  .arg(s.data.size()).arg(s.readCount));
      return I2cResult::Violation;
    }
  }
  for (const SubMessage& s : subs) {
    auto it = i2c_.find(s.address);
    if (it == i2c_.end() || it->flashing) {
      absent = s.address;
      return I2cResult::Absent;
    }
  }

  answer.clear();
  for (const SubMessage& s : subs) {
    I2cDevice& dev = i2c_[s.address];
    switch (s.reg) {
      case 0: answer.append(dev.state.type); break;
      case 1: answer.append(dev.state.versionWord); break;
      case 21: answer.append(dev.state.name); break;
      case 24: case 25: case 26: case 27: {
        // Window bytes travel last byte first in both directions.
        const int base = (s.reg - 24) * 16;
        if (s.readCount == 16) {
          for (int i = 15; i >= 0; --i) answer.append(dev.block[base + i]);
        } else {
          for (int i = 0; i < 16; ++i) dev.block[base + i] = s.data[15 - i];
        }
        break;
      }
      case 28: dev.pendingWord = bigEndian32(s.data, 2); break;
      case 29:
        if (!executeTrigger(dev, port)) return I2cResult::Violation;
        break;
      default: break;
    }
    answer.append(kStatusOk);
  }
  return I2cResult::Ok;
}

bool SimDevice::executeTrigger(I2cDevice& dev, int port) {
  if (!dev.pendingWord) {
    violation(port, QStringLiteral("I2C trigger (register 29) without a command in register 28"));
    return false;
  }
  const quint32 word = *dev.pendingWord;
  dev.pendingWord.reset();
  const quint32 op = word & 0x3F;
  const qint64 base = qint64(word & ~quint32(0x3F));
  switch (op) {
    case 2: {  // write the block buffer into image memory
      if (dev.memory.size() < base + 64) dev.memory.append(QByteArray(base + 64 - dev.memory.size(), char(0xFF)));
      dev.memory.replace(base, 64, dev.block);
      return true;
    }
    case 1: {  // load a block of image memory into the windows
      QByteArray block = dev.memory.mid(base, 64);
      block.append(QByteArray(64 - block.size(), char(0xFF)));
      const int corrupt = config_.faults.corruptI2cReadback;
      if (corrupt >= base && corrupt < base + 64) block[corrupt - base] = char(~quint8(block[corrupt - base]));
      dev.block = block;
      return true;
    }
    case 6: {  // flash the image of length `base`
      const QByteArray image = dev.memory.left(base);
      if (image.size() < base || base < 34 + 2) {
        violation(port, QStringLiteral("I2C flash command for an image of %1 bytes, but %2 bytes were written")
                            .arg(base).arg(dev.memory.size()));
        return false;
      }
      if (quint8(image[0]) != 0x55 || quint8(image[1]) != 0xAA || image.mid(18, 6) != kMagic) {
        violation(port, QStringLiteral("I2C flash command: the image does not start with 55 AA and a .bi2 identification block"));
        return false;
      }
      const QByteArray newType = image.mid(24, 4);
      const QByteArray newWord = config_.faults.i2cVersionAfterFlash.isEmpty()
                                     ? versionWordAfterFlash(dev.state.versionWord, image.mid(28, 4))
                                     : config_.faults.i2cVersionAfterFlash;
      const int address = dev.state.address;
      dev.flashing = true;
      event({{QStringLiteral("event"), QStringLiteral("flashing")}, {QStringLiteral("i2c"), address},
             {QStringLiteral("length"), double(base)}});
      QTimer::singleShot(config_.flashTimeMs, this, [this, address, newType, newWord] {
        I2cDevice& d = i2c_[address];
        d.flashing = false;
        d.state.type = newType;
        d.state.versionWord = newWord;
        event({{QStringLiteral("event"), QStringLiteral("flashed")}, {QStringLiteral("i2c"), address},
               {QStringLiteral("type"), hexText(newType)}, {QStringLiteral("versionWord"), hexText(newWord)}});
      });
      return true;
    }
    default:
      violation(port, QString::asprintf("I2C command word 0x%08X has no known operation", unsigned(word)));
      return false;
  }
}

// --- TCP ---------------------------------------------------------------------------

TcpOutcome SimDevice::handleTcp(int port, const QByteArray& bytes) {
  const Faults& f = config_.faults;
  const int n = ++requestCount_[port];
  if (silenced_) return {};
  if (f.closeAtRequest && f.closeAtRequest->port == port && f.closeAtRequest->index == n) {
    TcpOutcome out;
    out.close = true;
    return out;
  }
  TcpOutcome out;
  WireFrame frame;
  QString problem;
  if (!readWireFrame(bytes, frame, problem)) {
    violation(port, problem);
  } else if (frame.code != kUploadData && frame.auxiliary != 0) {
    violation(port, QStringLiteral("auxiliary word %1 in a %2 request, expected 0").arg(frame.auxiliary).arg(codeText(frame.code)));
  } else if (port == kCommonPort) {
    out = handleCommon(frame);
  } else {
    out = handleFile(frame);
  }
  if (f.silent(port)) {
    out.answer.clear();
    out.split.clear();
  }
  for (const RawTcpAnswer& raw : f.tcpRaw) {
    if (raw.port == port && raw.index == n) {
      out.answer = raw.bytes;
      out.split = raw.split;
    }
  }
  for (const PortIndex& repeat : f.repeatAnswer) {
    // The same answer again, in the same piece: it reaches the upgrader in one read.
    if (repeat.port == port && repeat.index == n) {
      const QByteArray once = out.answer;
      out.answer += once;
      out.split.clear();
    }
  }
  return out;
}

TcpOutcome SimDevice::handleCommon(const WireFrame& frame) {
  TcpOutcome out;
  switch (frame.code) {
    case kReadVariables:
      if (frame.payload.contains(char(2))) {
        if (frame.payload.size() != 1) {
          violation(kCommonPort, QStringLiteral("ReadVariables mixes the reset variable 2 with others"));
          return out;
        }
        startReset();
        out.close = true;
        return out;
      }
      if (checkVariableIds(frame.payload, kCommonPort)) out.answer = variablesAnswer(frame.payload, false);
      return out;
    case kI2cTransfer: {
      const int n = ++commonI2cCount_;
      if (config_.faults.i2cErrorIndex == n) {
        out.answer = wireFrame(kI2cError, QByteArray(1, char(config_.faults.i2cErrorCode)));
        return out;
      }
      QByteArray answer;
      int absent = -1;
      switch (runI2cTransfer(frame.payload, kCommonPort, answer, absent)) {
        case I2cResult::Ok: out.answer = wireFrame(kI2cTransferAnswer, answer); break;
        case I2cResult::Absent:
          event({{QStringLiteral("event"), QStringLiteral("i2cAbsent")}, {QStringLiteral("port"), kCommonPort},
                 {QStringLiteral("i2c"), absent}});
          out.answer = wireFrame(kI2cError, QByteArray(1, char(kI2cAbsentErrorCode)));
          break;
        case I2cResult::Violation: break;
      }
      return out;
    }
    default:
      violation(kCommonPort, QStringLiteral("code %1 is not served on the common port").arg(codeText(frame.code)));
      return out;
  }
}

QByteArray SimDevice::uploadAnswer(const char* text) {
  const int n = ++fileAnswerCount_;
  QByteArray status(text);
  if (config_.faults.uploadStatusIndex == n) status = config_.faults.uploadStatusText.toLatin1();
  return wireFrame(kUploadAnswer, status);
}

const QByteArray& SimDevice::binImage() const {
  return currentImage_.startsWith(kImageHeader) ? currentImage_ : lastBinImage_;
}

TcpOutcome SimDevice::handleFile(const WireFrame& frame) {
  TcpOutcome out;
  switch (frame.code) {
    case kUploadStart:
      if (!frame.payload.isEmpty()) {
        violation(kFilePort, QStringLiteral("UploadStart with %1 payload bytes, expected none").arg(frame.payload.size()));
        return out;
      }
      if (currentImage_.startsWith(kImageHeader)) lastBinImage_ = currentImage_;
      currentImage_.clear();
      uploading_ = true;
      expectedOffset_ = 0;
      out.answer = uploadAnswer("MemoryErased");
      return out;
    case kUploadData: {
      if (frame.auxiliary != 1) {
        violation(kFilePort, QStringLiteral("UploadData with auxiliary word %1, expected 1").arg(frame.auxiliary));
        return out;
      }
      if (frame.payload.size() != 70) {
        violation(kFilePort, QStringLiteral("UploadData with %1 payload bytes, expected 70").arg(frame.payload.size()));
        return out;
      }
      const auto b = [&](int i) { return quint32(quint8(frame.payload[i])); };
      const qint64 offset = (b(0) << 16) | (b(1) << 8) | b(2);
      const quint32 count = (b(3) << 16) | (b(4) << 8) | b(5);
      if (count != 64) {
        violation(kFilePort, QStringLiteral("UploadData byte count %1, expected 64").arg(count));
        return out;
      }
      if (!uploading_) {
        violation(kFilePort, QStringLiteral("UploadData before UploadStart"));
        return out;
      }
      if (offset != (expectedOffset_ & 0xFFFFFF)) {
        violation(kFilePort, QStringLiteral("UploadData at offset %1, expected the next offset %2").arg(offset).arg(expectedOffset_));
        return out;
      }
      currentImage_.append(frame.payload.mid(6, 64));
      expectedOffset_ += 64;
      out.answer = uploadAnswer("BytesWritten");
      return out;
    }
    case kActivateFirmware: {
      if (frame.payload.size() != 3) {
        violation(kFilePort, QStringLiteral("ActivateFirmware with %1 payload bytes, expected 3").arg(frame.payload.size()));
        return out;
      }
      // The one field that is least significant byte first.
      const qint64 length = quint8(frame.payload[0]) | (quint8(frame.payload[1]) << 8) | (quint8(frame.payload[2]) << 16);
      const QByteArray& image = binImage();
      if (image.isEmpty()) {
        violation(kFilePort, QStringLiteral("ActivateFirmware without an uploaded .bin image"));
        return out;
      }
      const int headerLength = (quint8(image[11]) << 8) | quint8(image[12]);
      if (image.size() < 17 + length || ((length + 2) & 0xFFFF) != headerLength) {
        violation(kFilePort, QStringLiteral("ActivateFirmware for %1 bytes, but the upload image holds %2 bytes with length field %3")
                                 .arg(length).arg(image.size() - 17).arg(headerLength));
        return out;
      }
      const QByteArray file = image.mid(17, length);
      if (file.mid(16, 6) != kMagic) {
        violation(kFilePort, QStringLiteral("ActivateFirmware: the uploaded file has no identification block"));
        return out;
      }
      activatedFile_ = file;
      event({{QStringLiteral("event"), QStringLiteral("activated")}, {QStringLiteral("length"), double(length)}});
      return out;
    }
    default:
      violation(kFilePort, QStringLiteral("code %1 is not served on the file port").arg(codeText(frame.code)));
      return out;
  }
}

void SimDevice::startReset() {
  rebooting_ = true;
  const QByteArray file = activatedFile_;
  activatedFile_.clear();
  event({{QStringLiteral("event"), QStringLiteral("reset")}, {QStringLiteral("flashing"), !file.isEmpty()}});
  if (onReboot) onReboot(this);
  QTimer::singleShot(config_.flashTimeMs, this, [this, file] {
    rebooting_ = false;
    if (config_.faults.silentAfterReset) {
      // Accepts connections from now on but answers nothing, on every port.
      silenced_ = true;
      event({{QStringLiteral("event"), QStringLiteral("silent")}});
      return;
    }
    if (file.isEmpty()) {
      event({{QStringLiteral("event"), QStringLiteral("restarted")}});
      return;
    }
    config_.versionWord = config_.faults.versionAfterFlash.isEmpty()
                              ? versionWordAfterFlash(config_.versionWord, file.mid(26, 4))
                              : config_.faults.versionAfterFlash;
    event({{QStringLiteral("event"), QStringLiteral("flashed")}, {QStringLiteral("versionWord"), hexText(config_.versionWord)}});
  });
}

// --- HTTP 80 -----------------------------------------------------------------------

HttpOutcome SimDevice::handleHttp(const QByteArray& request) {
  HttpOutcome out;
  if (silenced_) {
    out.silent = true;
    return out;
  }
  const QList<QByteArray> lines = request.split('\n');
  const QByteArray first = lines.value(0).trimmed();
  const QByteArray second = lines.value(1).trimmed();
  // Either the conventional request line, or "GET /hex.hex" with the protocol name at the
  // end of the user-agent line that follows it.
  const bool conventional = first == "GET /hex.hex HTTP/1.1" || first == "GET /hex.hex HTTP/1.0";
  const bool folded = first == "GET /hex.hex" && second.startsWith("User-Agent:") &&
                      (second.endsWith(" HTTP/1.1") || second.endsWith(" HTTP/1.0"));
  const QString mode = config_.faults.http;
  auto respond = [&out](int status, const char* reason, const QByteArray& body, const QByteArray& extra = {}) {
    out.status = status;
    out.bodyLength = int(body.size());
    out.response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n" + extra +
                   "Content-Type: application/octet-stream\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body;
  };
  if (!conventional && !folded) {
    violation(kHttpPort, QStringLiteral("HTTP request line \"%1\" is not a GET of /hex.hex").arg(QString::fromLatin1(first)));
    respond(404, "Not Found", {});
    return out;
  }
  if (mode == QLatin1String("silent")) {
    out.silent = true;
    return out;
  }
  if (mode == QLatin1String("404")) {
    respond(404, "Not Found", {});
  } else if (mode == QLatin1String("302")) {
    respond(302, "Found", {}, "Location: http://" + config_.address.toLatin1() + "/index.html\r\n");
  } else if (mode == QLatin1String("empty")) {
    respond(200, "OK", {});
  } else {
    const QByteArray& image = binImage();
    if (image.size() < 17) {
      respond(404, "Not Found", {});
      return out;
    }
    // The image's length field counts the bytes served: 55 AA and the file.
    // The field holds the count modulo 65536; the image ends at most 63 filler bytes later.
    qint64 length = (quint8(image[11]) << 8) | quint8(image[12]);
    while (15 + length + 65536 <= image.size()) length += 65536;
    QByteArray body = image.mid(15, length);
    const int corrupt = config_.faults.corruptReadback;
    if (corrupt >= 0 && corrupt < body.size()) body[corrupt] = char(~quint8(body[corrupt]));
    respond(200, "OK", body);
  }
  return out;
}

}  // namespace orvane::sim
