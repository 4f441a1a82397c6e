#include "common/FileNames.h"

namespace orvane {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // + byte: a byte that is not part of valid UTF-8

// Length of the valid UTF-8 sequence at the start of `p` (`left` bytes available), or 0
// when none starts there: no overlong forms, no surrogates, nothing above U+10FFFF.
int validSequenceLength(const uchar* p, qsizetype left) {
  const uchar lead = p[0];
  if (lead < 0x80) return 1;
  int length = 0;
  char32_t code = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (int k = 1; k < length; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[k] & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool isEscapedByte(char16_t unit) { return unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF; }

}  // namespace

QString decodeFileName(const QByteArray& bytes) {
  const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
  const qsizetype size = bytes.size();
  QString name;
  qsizetype runStart = 0;  // start of the valid UTF-8 not yet decoded
  qsizetype i = 0;
  while (i < size) {
    const int length = validSequenceLength(data + i, size - i);
    if (length > 0) {
      i += length;
      continue;
    }
    name += QString::fromUtf8(bytes.constData() + runStart, i - runStart);
    name += QChar(char16_t(kEscapeBase + data[i]));
    runStart = ++i;
  }
  name += QString::fromUtf8(bytes.constData() + runStart, size - runStart);
  return name;
}

QByteArray encodeFileName(const QString& name) {
  QByteArray bytes;
  qsizetype runStart = 0;  // start of the text not yet encoded
  for (qsizetype i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i].unicode();
    // The low half of a surrogate pair is a character's, not an escaped byte.
    if (QChar::isHighSurrogate(unit) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
      ++i;
      continue;
    }
    if (!isEscapedByte(unit)) continue;
    bytes += QStringView(name).mid(runStart, i - runStart).toUtf8();
    bytes += char(unit - kEscapeBase);
    runStart = i + 1;
  }
  bytes += QStringView(name).mid(runStart).toUtf8();
  return bytes;
}

}  // namespace orvane
