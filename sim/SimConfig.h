#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// The simulator's configuration (sim/README.md): the devices, their I2C devices and the
// faults each device plays.
namespace orvane::sim {

struct I2cDeviceConfig {
  int address = 0;
  QByteArray type;         // 4 bytes
  QByteArray versionWord;  // 4 bytes
  QByteArray name;         // 16 bytes, zero padded
};

// A request counted per port over the simulator's life (1-based).
struct PortIndex {
  int port = 0;
  int index = 0;
};

struct RawTcpAnswer {
  int port = 0;
  int index = 0;
  QByteArray bytes;
  QList<int> split;  // offsets where the answer is cut into pieces
};

// A flood of discovery replies with unique MACs from one device (fault udpFlood).
struct UdpFlood {
  int records = 0;         // per round; 0 = no flood
  int perDatagram = 1000;  // records per VariablesAnswer datagram
  int forMs = 0;           // 0: one round; otherwise rounds every everyMs until forMs passed
  int everyMs = 20;
};

// Sends the udpRaw answer again and again (fault udpRawRepeat).
struct UdpRawRepeat {
  int everyMs = 0;  // 0 = no repeat
  int times = 0;    // repeats after the first answer
};

struct Faults {
  QList<int> silentPorts;
  QList<int> refusePorts;
  std::optional<PortIndex> closeAtRequest;
  QList<RawTcpAnswer> tcpRaw;
  QList<PortIndex> repeatAnswer;   // these requests are answered twice
  int uploadStatusIndex = 0;  // 0 = none
  QString uploadStatusText;
  int i2cErrorIndex = 0;      // 0 = none
  int i2cErrorCode = 2;
  int corruptReadback = -1;
  int corruptI2cReadback = -1;
  QString http = QStringLiteral("ok");
  QByteArray versionAfterFlash;     // empty = from the file
  QByteArray i2cVersionAfterFlash;  // empty = from the file
  int udpReplyDelayMs = 0;
  bool udpBadChecksum = false;
  bool udpSplitReply = false;
  bool udpDoubleReply = false;
  int udpUnknownVariable = -1;
  QList<int> udpOmitVariables;
  QHash<int, QList<QByteArray>> udpRaw;  // request code -> datagrams
  UdpRawRepeat udpRawRepeat;
  UdpFlood udpFlood;
  bool silentAfterReset = false;  // after its next reset the device never answers again

  bool silent(int port) const { return silentPorts.contains(port); }
  bool refuses(int port) const { return refusePorts.contains(port); }
};

struct DeviceConfig {
  QString address;
  quint32 address4 = 0;
  QByteArray type;         // 4 bytes
  QByteArray versionWord;  // 4 bytes
  QByteArray mac;          // 6 bytes
  QByteArray name;         // 16 bytes
  int flashTimeMs = 1000;
  int replyDelayMs = 0;
  QList<I2cDeviceConfig> i2c;
  Faults faults;
};

// Reads the configuration; on a mistake returns false with the reason in `error`.
bool parseConfig(const QJsonObject& root, QList<DeviceConfig>& devices, QString& error);

}  // namespace orvane::sim
