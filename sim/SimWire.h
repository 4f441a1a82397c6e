#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The simulator's own reading and writing of the device frame. It deliberately shares no
// code with the upgrader's encoders: a fault there must show up here as a violation, not
// be mirrored by the same mistake on both sides.
//   code (16) | auxiliary word (16) | payload length N (16) | N bytes | checksum (16), big-endian
namespace orvane::sim {

inline constexpr int kFrameHeader = 6;
inline constexpr int kFrameOverhead = 8;

// Sum of the ones' complements of the big-endian 16-bit words of bytes 0..n-1 (an odd last
// byte is the high byte of a word), folded twice, no final complement.
quint16 wireChecksum(const QByteArray& bytes, int n);

// A whole frame with its checksum.
QByteArray wireFrame(quint16 code, const QByteArray& payload, quint16 auxiliary = 0);

struct WireFrame {
  quint16 code = 0;
  quint16 auxiliary = 0;
  QByteArray payload;
  QByteArray raw;
};

// Reads exactly one frame that fills `bytes` completely. On failure returns false and says
// what is wrong in `problem` (length, checksum).
bool readWireFrame(const QByteArray& bytes, WireFrame& frame, QString& problem);

// Number of bytes of the frame that starts `bytes`, or 0 while the header is incomplete.
int wireFrameLength(const QByteArray& bytes);

quint32 bigEndian32(const QByteArray& bytes, int offset);
QByteArray bigEndianBytes32(quint32 value);

// The version word a device reports after taking firmware whose file carries `fileWord`
// (file offset 26), in the layout of the device's current word: a device that reports a
// hardware version (first byte not 0) keeps it and takes the file's firmware major/minor
// as one byte each; otherwise the word is the packed firmware version.
QByteArray versionWordAfterFlash(const QByteArray& deviceWord, const QByteArray& fileWord);

QString hexText(const QByteArray& bytes);

}  // namespace orvane::sim
