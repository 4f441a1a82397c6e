#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <functional>
#include <optional>

#include "sim/SimConfig.h"
#include "sim/SimRecord.h"
#include "sim/SimWire.h"

// One simulated Orvane network device with the I2C devices behind it. It knows nothing of
// sockets: the server hands it each request (one datagram, one TCP frame or one HTTP
// request) and sends what comes back. The device records its own events and violations.
namespace orvane::sim {

inline constexpr int kUdpPort = 7010;
inline constexpr int kCommonPort = 8010;
inline constexpr int kFilePort = 8004;
inline constexpr int kHttpPort = 80;

// What to do with one TCP request.
struct TcpOutcome {
  QByteArray answer;        // empty: nothing is sent
  QList<int> split;         // offsets where the answer is cut, pieces 30 ms apart
  bool close = false;       // close the connection (after the answer, if any)
};

struct HttpOutcome {
  bool silent = false;      // keep the connection and never answer
  int status = 200;
  QByteArray response;      // status line, headers and body
  int bodyLength = 0;
};

class SimDevice : public QObject {
 public:
  SimDevice(const DeviceConfig& config, Recorder& recorder, QObject* parent = nullptr);

  const DeviceConfig& config() const { return config_; }
  const QString& address() const { return config_.address; }
  // True while the device restarts after a reset: its TCP ports refuse connections.
  bool rebooting() const { return rebooting_; }
  // Called when a reset begins, so that the server drops the device's connections.
  std::function<void(SimDevice*)> onReboot;

  // Datagrams to send back to the requester (empty: no answer). `delayMs` is set to the
  // wait before they go.
  QList<QByteArray> handleUdp(const QByteArray& datagram, int& delayMs);
  TcpOutcome handleTcp(int port, const QByteArray& frame);
  HttpOutcome handleHttp(const QByteArray& request);

  // UDP faults that follow the answer to `datagram`: how many times the udpRaw answer is
  // sent again (udpRawRepeat), and how many rounds of udpFlood follow a discovery answer.
  int rawRepeats(const QByteArray& datagram) const;
  int floodRounds(const QByteArray& datagram) const;
  // The datagrams of the next udpFlood round: VariablesAnswer frames listing devices
  // whose MACs (02-FE and a counter kept over the simulator's life) are all new.
  QList<QByteArray> floodRound();

  // For a caller that drives the device in-process (the loopback test device): the reported
  // identity and the faults may be changed between requests, and what the device holds
  // can be read.
  DeviceConfig& settings() { return config_; }
  // The I2C device at `address` as it now reports itself; nullptr when there is none.
  I2cDeviceConfig* i2cState(int address);
  // The image memory written into the I2C device at `address`.
  QByteArray i2cMemory(int address) const { return i2c_.value(address).memory; }
  // The image of the upload in progress or last completed on the file port.
  const QByteArray& uploadImage() const { return currentImage_; }

 private:
  struct I2cDevice {
    I2cDeviceConfig state;               // type, version word and name as now reported
    QByteArray block = QByteArray(64, char(0xFF));  // the four data windows
    QByteArray memory;                   // image memory written block by block
    std::optional<quint32> pendingWord;  // command register, executed by the trigger
    bool flashing = false;
  };
  struct SubMessage {
    int address = 0;
    int reg = 0;
    QByteArray data;  // bytes written after the register number
    int readCount = 0;
  };
  enum class I2cResult { Ok, Absent, Violation };

  QByteArray variablesAnswer(const QByteArray& ids, bool discovery) const;
  bool checkVariableIds(const QByteArray& ids, int port);
  I2cResult runI2cTransfer(const QByteArray& payload, int port, QByteArray& answer, int& absent);
  bool executeTrigger(I2cDevice& dev, int port);
  QByteArray uploadAnswer(const char* text);
  TcpOutcome handleCommon(const WireFrame& frame);
  TcpOutcome handleFile(const WireFrame& frame);
  void startReset();
  void event(QJsonObject line);
  void violation(int port, const QString& detail);
  const QByteArray& binImage() const;

  DeviceConfig config_;
  Recorder& recorder_;
  QMap<int, I2cDevice> i2c_;
  QHash<int, int> requestCount_;  // per port, over the simulator's life
  int fileAnswerCount_ = 0;
  int commonI2cCount_ = 0;
  bool rebooting_ = false;
  bool silenced_ = false;  // fault silentAfterReset has struck: nothing is answered any more
  quint32 floodSerial_ = 0;

  // File port: the image being uploaded, the last complete .bin upload image, and the
  // firmware that the next reset installs.
  QByteArray currentImage_;
  QByteArray lastBinImage_;
  bool uploading_ = false;
  qint64 expectedOffset_ = 0;
  QByteArray activatedFile_;
};

}  // namespace orvane::sim
