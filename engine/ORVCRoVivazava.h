#pragma once

#include "engine/IpPacket.h"
#include "engine/UpgradeReport.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// Kinds of the UpgradeStatusCallback.
enum UpgradeStatusKind : int {
  StatusMessage = 0,    // value -1, one line for the operator
  StatusProgress = 1,   // value 0..100, text "0"
  StatusSucceeded = 2,  // value -1, text "0"
  StatusFailed = 3,     // value -1, text "0"; may come more than once per upgrade
};

using UpgradeStatusCallback = void (*)(void* owner, int kind, int value, const QString& text);

// Ports and waits of the upgrade engine. The defaults are the shipped ones; tests
// inject shorter waits (and, on loopback, other ports).
struct EngineSettings {
  quint16 commonPort = orvane::proto::kCommonPort;
  quint16 filePort = orvane::proto::kFilePort;
  quint16 httpPort = orvane::proto::kHttpPort;
  int stepMs = 500;            // the step timer between connections
  int flashWaitMs = 15000;     // each flashing wait, counted down in steps of stepMs
  int answerTimeoutMs = 10000; // connect, answer, acknowledgement, reconnection after flashing
  int httpTimeoutMs = 10000;   // the whole readback request
  // How long a flashed device has to answer again, counted from the start of its flashing
  // wait: until then a failed reconnection or version read is tried again after stepMs.
  // At or below flashWaitMs: one attempt only.
  int restartTimeoutMs = 60000;
  // During a transfer, how long the engine waits on the socket itself for the next answer
  // before it lets its event loop run (the kernel rounds it up to its clock tick); a slower
  // answer comes through the event loop. 0: every answer comes through the event loop (a
  // device served by the engine's own thread needs that).
  int lockStepWaitMs = 2;
};

// One version set: the device's values (from its answers) and the file's (from the
// identification block), for the network device (.bin) or the I2C device (.bi2).
struct VersionSet {
  qint32 deviceFirmwareType = 0;
  qint32 fileFirmwareType = 0;
  orvane::proto::PackedVersion deviceFirmwareVersion = 0;
  orvane::proto::PackedVersion fileFirmwareVersion = 0;
  orvane::proto::PackedVersion fileMinDeviceFirmware = 0;
  orvane::proto::PackedVersion deviceHardwareVersion = 0;
  orvane::proto::PackedVersion fileMaxHardware = 0;
  orvane::proto::PackedVersion fileMinHardware = 0;

  // Forgets what the device said, before it is asked again.
  void clearDeviceValues() {
    deviceFirmwareType = 0;
    deviceFirmwareVersion = 0;
    deviceHardwareVersion = 0;
  }
};

namespace orvane { struct FileIdentification; }

class ORVCRoVivazavaPrivate;

// The upgrade engine: one upgrade at a time of one network device and, optionally,
// one I2C device behind it. Runs on the user-interface thread, one sequencer step per
// event of its single TCP connection or of its step timer; reports only through the
// status callback.
class ORVCRoVivazava {
 public:
  // Asked by startUpgrade whether the device answers an ICMP echo.
  using ReachabilityTest = std::function<bool(const QString& ipAddress)>;

  ORVCRoVivazava(bool& success, UpgradeStatusCallback callback, void* owner,
                 ReachabilityTest reachability, EngineSettings settings = {});
  ~ORVCRoVivazava();
  ORVCRoVivazava(const ORVCRoVivazava&) = delete;
  ORVCRoVivazava& operator=(const ORVCRoVivazava&) = delete;

  // The file contents are owned by the caller and must outlive the upgrade.
  // A null pointer means that no file of that kind is selected.
  bool startUpgrade(const QString& ipAddress, int i2cAddress, const QByteArray* binFile,
                    const QByteArray* bi2File, const QByteArray* webFile, bool batchMode,
                    const orvane::engine::UpgradeOptions& options = {});

  // How the last run ended: Running until it ends, set before its StatusSucceeded or its
  // first StatusFailed (also when startUpgrade itself refuses).
  const orvane::engine::UpgradeEnd& lastEnd() const;
  // How the network device (resp. the I2C device) compares with its file: NotChecked from
  // startUpgrade until its type and version were read and compared.
  const orvane::engine::SetComparison& networkComparison() const;
  const orvane::engine::SetComparison& i2cComparison() const;
  // Told each time the run enters another stage (never the same twice in a row); a run
  // ends with Done, whether it succeeded or failed.
  void setStageObserver(std::function<void(orvane::engine::UpgradeStage)> observer);

  // The sequencer's state, 0..33; kTerminalState (33): no upgrade running.
  int currentState() const;

  // Stores the file fields of the identification block into a set.
  static void storeFileIdentification(VersionSet& set, const orvane::FileIdentification& identification);

  VersionSet network;   // network device and its .bin file
  VersionSet i2c;       // I2C device and its .bi2 file

 private:
  friend class ORVCRoVivazavaTestSeam;   // engine/EngineTestSeam.h: drives the answer handling directly
  std::unique_ptr<ORVCRoVivazavaPrivate> d;
};

inline constexpr int kTerminalState = 33;
