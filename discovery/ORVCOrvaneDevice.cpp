#include "discovery/ORVCOrvaneDevice.h"

#include <QStringList>

namespace {
QString hexByte(quint8 value) { return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper(); }
}  // namespace

void ORVCOrvaneDevice::applyType(const quint8* b) {
  typeHigh = quint16(b[0] << 8 | b[1]);
  typeLow = quint16(b[2] << 8 | b[3]);
  typeText = QString::number(typeHigh) + QLatin1Char('.') + QString::number(typeLow);
  typeRead = true;
}

void ORVCOrvaneDevice::applyVersions(const quint8* b) {
  versionsRead = true;
  if (b[0] != 0) {
    hwVersionMajor = b[0];
    hwVersionMinor = b[1];
    fwVersionMajor = b[2];
    fwVersionMinor = b[3];
    hwVersionText = QString::number(b[0]) + QLatin1Char('.') + QString::number(b[1]);
    fwVersionText = QString::number(b[2]) + QLatin1Char('.') + QString::number(b[3]);
  } else {
    // Two big-endian 16-bit words, firmware major and minor; the record keeps the low
    // byte of each, and no hardware version.
    fwVersionMajor = b[1];
    fwVersionMinor = b[3];
    hwVersionMajor = 0;
    hwVersionMinor = 0;
    fwVersionText = QString::number(b[1]) + QLatin1Char('.') + QString::number(b[3]);
    hwVersionText = QStringLiteral("-.-");
  }
}

void ORVCOrvaneDevice::applyMacAddress(const quint8* b) {
  QStringList parts;
  for (int i = 0; i < 6; ++i) {
    macAddress[size_t(i)] = b[i];
    parts << hexByte(b[i]);
  }
  macAddressText = parts.join(QLatin1Char('-'));
}

void ORVCOrvaneDevice::applyName(const quint8* b) {
  // The device sends 16 bytes; a zero byte ends the name. Bytes outside printable
  // ASCII come from a device we do not control and are shown as '?', so that control
  // characters never reach the lists.
  QString name;
  for (int i = 0; i < 16 && b[i] != 0; ++i) name.append(b[i] >= 0x20 && b[i] <= 0x7E ? QChar(b[i]) : QChar('?'));
  deviceName = name;
  nameRead = true;
}

void ORVCOrvaneDevice::applyI2cAddress(quint8 address) {
  i2cAddress = address;
  i2cAddressText = QStringLiteral("0x") + hexByte(address) + QStringLiteral(" (") + QString::number(address) +
                   QStringLiteral(")");
}

QString ORVCOrvaneDevice::versionPairText() const {
  if (hwVersionMajor != 0) return fwVersionText + QStringLiteral(" / ") + hwVersionText;
  return fwVersionText + QStringLiteral(" / NA");
}

std::optional<quint32> ORVCOrvaneDevice::typeNumber() const {
  if (!typeRead) return std::nullopt;
  return quint32(typeHigh) << 16 | typeLow;
}

std::optional<quint32> ORVCOrvaneDevice::fwVersionNumber() const {
  if (!versionsRead) return std::nullopt;
  return quint32(fwVersionMajor) << 16 | fwVersionMinor;
}

std::optional<quint32> ORVCOrvaneDevice::hwVersionNumber() const {
  if (!versionsRead || hwVersionMajor == 0) return std::nullopt;
  return quint32(hwVersionMajor) << 16 | hwVersionMinor;
}
