#include "sim/SimWire.h"

namespace orvane::sim {

quint16 wireChecksum(const QByteArray& bytes, int n) {
  quint32 sum = 0;
  int i = 0;
  for (; i + 1 < n; i += 2) {
    const quint32 word = (quint32(quint8(bytes[i])) << 8) | quint8(bytes[i + 1]);
    sum += word ^ 0xFFFFu;
  }
  if (i < n) sum += (quint32(quint8(bytes[i])) << 8) ^ 0xFFFFu;
  quint32 t = (sum >> 16) + (sum & 0xFFFFu);
  t = (t >> 16) + (t & 0xFFFFu);
  return quint16(t & 0xFFFFu);
}

QByteArray wireFrame(quint16 code, const QByteArray& payload, quint16 auxiliary) {
  QByteArray out;
  out.reserve(payload.size() + kFrameOverhead);
  out.append(char(code >> 8)).append(char(code & 0xFF));
  out.append(char(auxiliary >> 8)).append(char(auxiliary & 0xFF));
  const int n = int(payload.size());
  out.append(char((n >> 8) & 0xFF)).append(char(n & 0xFF));
  out.append(payload);
  const quint16 sum = wireChecksum(out, int(out.size()));
  out.append(char(sum >> 8)).append(char(sum & 0xFF));
  return out;
}

int wireFrameLength(const QByteArray& bytes) {
  if (bytes.size() < kFrameHeader) return 0;
  const int n = (quint8(bytes[4]) << 8) | quint8(bytes[5]);
  return n + kFrameOverhead;
}

bool readWireFrame(const QByteArray& bytes, WireFrame& frame, QString& problem) {
  if (bytes.size() < kFrameOverhead) {
    problem = QStringLiteral("frame of %1 bytes is shorter than 8").arg(bytes.size());
    return false;
  }
  const int total = wireFrameLength(bytes);
  if (total != bytes.size()) {
    problem = QStringLiteral("payload length field %1 does not match the %2 payload bytes received")
                  .arg(total - kFrameOverhead)
                  .arg(bytes.size() - kFrameOverhead);
    return false;
  }
  const quint16 stored = quint16((quint8(bytes[total - 2]) << 8) | quint8(bytes[total - 1]));
  const quint16 expected = wireChecksum(bytes, total - 2);
  if (stored != expected) {
    problem = QString::asprintf("checksum 0x%04X, expected 0x%04X", unsigned(stored), unsigned(expected));
    return false;
  }
  frame.code = quint16((quint8(bytes[0]) << 8) | quint8(bytes[1]));
  frame.auxiliary = quint16((quint8(bytes[2]) << 8) | quint8(bytes[3]));
  frame.payload = bytes.mid(kFrameHeader, total - kFrameOverhead);
  frame.raw = bytes;
  return true;
}

quint32 bigEndian32(const QByteArray& bytes, int offset) {
  quint32 v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | quint8(bytes.at(offset + i));
  return v;
}

QByteArray bigEndianBytes32(quint32 value) {
  QByteArray out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = char((value >> (24 - 8 * i)) & 0xFF);
  return out;
}

QByteArray versionWordAfterFlash(const QByteArray& deviceWord, const QByteArray& fileWord) {
  // Firmware major/minor of the file's word, in either of its layouts.
  quint32 major = 0;
  quint32 minor = 0;
  if (quint8(fileWord[0]) == 0) {
    const quint32 packed = bigEndian32(fileWord, 0);
    major = packed >> 16;
    minor = packed & 0xFFFF;
  } else {
    major = quint8(fileWord[2]);
    minor = quint8(fileWord[3]);
  }
  if (quint8(deviceWord[0]) != 0) {
    QByteArray out = deviceWord.left(2);
    out.append(char(major & 0xFF)).append(char(minor & 0xFF));
    return out;
  }
  return bigEndianBytes32((major << 16) | minor);
}

QString hexText(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

}  // namespace orvane::sim
