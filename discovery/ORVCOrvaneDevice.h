#pragma once

#include <QString>
#include <QtGlobal>
#include <array>
#include <optional>

// The record of one device found by a scan: a network device that answered the
// broadcast discovery, or an I2C device found behind one. The decoding rules turn
// the value bytes of one variable (or register) into fields and display texts.
class ORVCOrvaneDevice {
 public:
  QString ipAddressText = QStringLiteral("0.0.0.0");
  QString macAddressText = QStringLiteral("00.00.00.00.00.00");
  std::array<quint8, 6> macAddress{};
  QString typeText = QStringLiteral("Not defined");
  quint16 typeHigh = 0;
  quint16 typeLow = 0;
  QString deviceName = QStringLiteral("Not defined");
  QString hwVersionText = QStringLiteral("Not defined");
  quint8 hwVersionMajor = 0;
  quint8 hwVersionMinor = 0;
  QString fwVersionText = QStringLiteral("Not defined");
  quint8 fwVersionMajor = 0;
  quint8 fwVersionMinor = 0;
  QString i2cAddressText = QStringLiteral("Not defined");
  quint8 i2cAddress = 0;
  // Which values a device actually sent; the texts above keep "Not defined" otherwise.
  bool typeRead = false;
  bool versionsRead = false;
  bool nameRead = false;

  // Variable 0 / register 0: four bytes.
  void applyType(const quint8* bytes);
  // Variable 1 / register 1: four bytes.
  void applyVersions(const quint8* bytes);
  // Variable 17: six bytes.
  void applyMacAddress(const quint8* bytes);
  // Variable 21 / register 21: sixteen bytes; a zero byte ends the visible name.
  void applyName(const quint8* bytes);
  // I2C address as listed by the gateway: "0x50 (80)".
  void applyI2cAddress(quint8 address);

  // "fw / hw", or "fw / NA" when the device reports no hardware version.
  QString versionPairText() const;

  // The values as numbers, each two 16-bit halves packed as high << 16 | low, the way
  // the texts show them ("18.3" is 18 << 16 | 3); empty when the device sent no such value.
  std::optional<quint32> typeNumber() const;
  std::optional<quint32> fwVersionNumber() const;
  // Also empty when the device reports no hardware version (the text "-.-").
  std::optional<quint32> hwVersionNumber() const;

  // Gateways (types 1.x and 8.x) are the network devices that can have I2C devices
  // behind them.
  bool isGateway() const { return typeHigh == 1 || typeHigh == 8; }
};
