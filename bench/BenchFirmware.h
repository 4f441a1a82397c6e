#pragma once

#include <QByteArray>
#include <cstring>

// A firmware file of `size` bytes for the benchmarks: a fixed byte pattern with an
// identification block of this type and version (minimum firmware 0).
inline QByteArray benchFirmware(int size, quint32 type, quint32 version) {
  QByteArray f(size, '\0');
  for (int i = 0; i < size; ++i) f[i] = char((i * 13 + 5) & 0xFF);
  std::memcpy(f.data() + 16, "Orvane", 6);
  for (int k = 0; k < 4; ++k) {
    f[22 + k] = char(type >> (24 - 8 * k));
    f[26 + k] = char(version >> (24 - 8 * k));
    f[30 + k] = 0;
  }
  return f;
}
