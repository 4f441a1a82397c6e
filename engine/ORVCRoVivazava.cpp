#include "engine/ORVCRoVivazava.h"

#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "common/Utilsfunctions.h"
#include "common/IcmpEcho.h"
#include "engine/FirmwareFile.h"
#include "engine/Readback.h"
#include "engine/VersionChecks.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

using namespace orvane;
using namespace orvane::proto;
using engine::CheckTarget;
using engine::CompatibilityVerdict;

namespace {
// "10" for whole seconds, "0.3" for the short waits of tests.
QString secondsText(int ms) {
  return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'g', 3);
}
}  // namespace

// Everything the engine owns. The socket and the timers report through lambdas bound to
// `context`; the destructor unbinds them first, so that nothing reaches a half-destroyed
// engine.
class ORVCRoVivazavaPrivate {
 public:
  // What the answer timer is guarding: a connect or the device's answer to a request.
  enum class Wait { None, Connect, Answer };
  // Which transfer transferBuffer holds.
  enum class Transfer { None, Upload, I2c };

  ORVCRoVivazavaPrivate(ORVCRoVivazava& engine, UpgradeStatusCallback callback, void* owner,
                        ORVCRoVivazava::ReachabilityTest reachability, EngineSettings settings);
  ~ORVCRoVivazavaPrivate();

  // --- Part of the engine object ---
  bool startUpgrade(const QString& ip, int i2cAddr, const QByteArray* bin, const QByteArray* bi2,
                    const QByteArray* web, bool batch);
  void openConnection(const QString& ip, quint16 port);
  void closeConnection();
  void closeAndContinue();
  void reportFailure(const QString& message, bool close);
  void report(int kind, int value, const QString& text);
  void announce(const QString& text) { report(StatusMessage, -1, text); }
  void progress(int value) { report(StatusProgress, value, QStringLiteral("0")); }
  void succeed();
  void armStepTimer();
  void armWait(Wait what, int ms);
  void stopWait();
  bool connected() const { return connection.state() == QAbstractSocket::ConnectedState; }
  void send(const QByteArray& packet, bool expectAnswer);
  void endTransfer();
  bool loadIphlpapiDll();
  bool freeIphlpapiDll();

  // --- Event handlers ---
  void onConnected();
  void onDisconnected();
  void onSocketError(QAbstractSocket::SocketError error);
  void connectionLost();
  void onSocketRead();
  void onStepTimer();
  void onWaitExpired();

  // --- Sequencer ---
  void sequencerStep();
  bool flashingWaitStep();
  static bool waitsForAnswer(int state);

  // --- Common port ---
  void requestDeviceVersion() { send(deviceVersionRequest(), true); }
  void requestReset() { send(resetRequest(), false); }
  void requestActivation() { send(activationRequest(binFile ? binFile->size() : 0), false); }
  void requestI2cVersion() { send(i2cVersionRequest(quint8(i2cAddress)), true); }
  void dispatchCommonAnswer(const QByteArray& answer);

  // --- Version checks ---
  bool checkCompatibility(CheckTarget target);
  bool verifyVersion(const VersionSet& set);

  // --- File port ---
  bool startUpload(const QByteArray* file, bool isBin);
  void handleUploadAnswer(const QByteArray& answer);

  // --- Readback ---
  int readBackCheck();

  // --- I2C flashing ---
  bool startI2cTransfer();
  void sendBlockWrite(int block);
  void onBlockWritten();
  void onBlockReadBack(const QByteArray& answer);
  bool startI2cFlashing();

  ORVCRoVivazava& q;
  EngineSettings settings;
  QObject context;
  QTimer stepTimer;
  QTimer answerTimer;
  Wait waitingFor = Wait::None;
  QTcpSocket connection;
  quint16 connectionPort = 0;
  FrameSplitter splitter;   // the byte stream of the current connection, cut into answers
  engine::ReadbackClient readbackClient;
  const QByteArray* binFile = nullptr;
  const QByteArray* bi2File = nullptr;
  const QByteArray* webFile = nullptr;
  QByteArray transferBuffer;
  Transfer transfer = Transfer::None;
  QString ipAddress;
  int i2cAddress = 0;
  UpgradeStatusCallback statusCallback = nullptr;
  void* statusOwner = nullptr;
  ORVCRoVivazava::ReachabilityTest reachability;
  bool batchMode = false;
  bool questionOpen = false;   // a modal question runs its own event loop inside a step
  int blockIndex = 0;
  int flashCountdown = 0;
  int state = kTerminalState;
  bool icmpLibrary = false;
};

// ====================================================================================
// Engine object
// ====================================================================================

ORVCRoVivazavaPrivate::ORVCRoVivazavaPrivate(ORVCRoVivazava& engine, UpgradeStatusCallback callback, void* owner,
                                             ORVCRoVivazava::ReachabilityTest test, EngineSettings s)
    : q(engine), settings(s), statusCallback(callback), statusOwner(callback ? owner : nullptr),
      reachability(std::move(test)) {
  connection.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  QObject::connect(&connection, &QTcpSocket::connected, &context, [this] { onConnected(); });
  QObject::connect(&connection, &QTcpSocket::disconnected, &context, [this] { onDisconnected(); });
  QObject::connect(&connection, &QTcpSocket::errorOccurred, &context,
                   [this](QAbstractSocket::SocketError e) { onSocketError(e); });
  QObject::connect(&connection, &QTcpSocket::readyRead, &context, [this] { onSocketRead(); });
  stepTimer.setSingleShot(true);
  QObject::connect(&stepTimer, &QTimer::timeout, &context, [this] { onStepTimer(); });
  answerTimer.setSingleShot(true);
  QObject::connect(&answerTimer, &QTimer::timeout, &context, [this] { onWaitExpired(); });
}

ORVCRoVivazavaPrivate::~ORVCRoVivazavaPrivate() {
  // An open connection is dropped without any event reaching the engine.
  QObject::disconnect(&connection, nullptr, &context, nullptr);
  QObject::disconnect(&stepTimer, nullptr, &context, nullptr);
  QObject::disconnect(&answerTimer, nullptr, &context, nullptr);
  stepTimer.stop();
  answerTimer.stop();
  connection.abort();
}

void ORVCRoVivazavaPrivate::report(int kind, int value, const QString& text) {
  if (statusCallback) statusCallback(statusOwner, kind, value, text);
}

void ORVCRoVivazavaPrivate::reportFailure(const QString& message, bool close) {
  // The terminal state is entered before anything is reported: a message box of the log
  // facility or of the owner runs an event loop, and no event may step the sequencer.
  state = kTerminalState;
  stepTimer.stop();
  stopWait();
  logEngineError(message);
  report(StatusMessage, -1, message);
  if (close) closeConnection();
  report(StatusFailed, -1, QStringLiteral("0"));
  // A connection that the failure left open would turn the next upgrade's first connect
  // into nothing: the upgrade is over, so it goes now.
  closeConnection();
}

void ORVCRoVivazavaPrivate::succeed() {
  // Terminal before the report: an owner that closes on success must find no upgrade running.
  state = kTerminalState;
  report(StatusSucceeded, -1, QStringLiteral("0"));
}

void ORVCRoVivazavaPrivate::armStepTimer() { stepTimer.start(settings.stepMs); }

void ORVCRoVivazavaPrivate::armWait(Wait what, int ms) {
  waitingFor = what;
  answerTimer.start(ms);
}

void ORVCRoVivazavaPrivate::stopWait() {
  waitingFor = Wait::None;
  answerTimer.stop();
}

void ORVCRoVivazavaPrivate::endTransfer() {
  transferBuffer.clear();
  transfer = Transfer::None;
}

void ORVCRoVivazavaPrivate::send(const QByteArray& packet, bool expectAnswer) {
  if (!connected()) return;
  // Armed first: a reset noticed while the bytes go out must find the answer awaited.
  if (expectAnswer) armWait(Wait::Answer, settings.answerTimeoutMs);
  // Handed to the kernel at once, so that a close right after it finds nothing buffered
  // and raises the disconnect event before it returns.
  connection.write(packet);
  connection.flush();
}

void ORVCRoVivazavaPrivate::openConnection(const QString& ip, quint16 port) {
  const std::optional<quint32> address = parseIpv4Text(ip);
  if (!address) {
    const QString message = QStringLiteral("Invalid IP Address : ") + ip;
    logEngineError(message);
    announce(message);
    return;
  }
  if (connection.state() != QAbstractSocket::UnconnectedState) return;
  splitter.clear();
  connectionPort = port;
  armWait(Wait::Connect, settings.answerTimeoutMs);
  connection.connectToHost(QHostAddress(*address), port);
}

void ORVCRoVivazavaPrivate::closeConnection() {
  if (connection.state() != QAbstractSocket::UnconnectedState) connection.close();
}

// A close whose disconnect event runs the next step. Should the connection already be
// gone (the device closed it while a question was open), the step runs directly.
void ORVCRoVivazavaPrivate::closeAndContinue() {
  if (connection.state() == QAbstractSocket::UnconnectedState)
    sequencerStep();
  else
    connection.close();
}

bool ORVCRoVivazavaPrivate::loadIphlpapiDll() {
  icmpLibrary = icmp::echoSocketAvailable();
  if (!icmpLibrary)
    logEngineError(QStringLiteral(
        "Function for Icmp echo cannot be found in iphlpapi.dll or Icmp.dll.\r\nORVCRoVivazava::loadIphlpapiDll"));
  return icmpLibrary;
}

bool ORVCRoVivazavaPrivate::freeIphlpapiDll() {
  // Nothing stays open between echoes: each one opens and closes its own socket.
  icmpLibrary = false;
  return true;
}

bool ORVCRoVivazavaPrivate::startUpgrade(const QString& ip, int i2cAddr, const QByteArray* bin,
                                         const QByteArray* bi2, const QByteArray* web, bool batch) {
  auto refuse = [this](const QString& message) {
    reportFailure(message, false);
    return false;
  };
  if (!isValidIpText(ip)) return refuse(QStringLiteral("IP address ") + ip + QStringLiteral(" not valid."));
  if (reachability && !reachability(ip)) return refuse(QStringLiteral("No device connected at IP address: ") + ip);
  if (bi2 && (i2cAddr < 8 || i2cAddr > 119))
    return refuse(QStringLiteral("I2C address %1 not valid.").arg(i2cAddr));
  if (!bin && !bi2 && !web) return refuse(QStringLiteral("No bin, nor bi2, nor web file has been selected."));

  // Nothing of an earlier upgrade may reach this one.
  state = kTerminalState;
  stepTimer.stop();
  stopWait();
  connection.abort();
  endTransfer();

  ipAddress = ip;
  i2cAddress = i2cAddr;
  binFile = bin;
  bi2File = bi2;
  webFile = web;
  batchMode = batch;
  state = 0;
  sequencerStep();
  return true;
}

// ====================================================================================
// Events
// ====================================================================================

void ORVCRoVivazavaPrivate::onConnected() {
  stopWait();
  sequencerStep();
}

void ORVCRoVivazavaPrivate::onDisconnected() {
  const bool answerPending = waitingFor == Wait::Answer || waitsForAnswer(state);
  stopWait();
  if (questionOpen || state == kTerminalState) return;
  if (answerPending) {
    // The device went away in the middle of an exchange: going on would decide on values
    // that it never sent. A reset and a close look alike here; both are connection errors.
    connectionLost();
    return;
  }
  sequencerStep();
}

void ORVCRoVivazavaPrivate::onSocketError(QAbstractSocket::SocketError error) {
  if (state == kTerminalState) return;
  // The device closing its end (or resetting it: the socket layer reports both alike) is
  // an error only while the engine waits for its answer; otherwise the disconnect event
  // runs the next step.
  if (error == QAbstractSocket::RemoteHostClosedError && waitingFor != Wait::Answer && !waitsForAnswer(state)) return;
  connectionLost();
}

void ORVCRoVivazavaPrivate::connectionLost() {
  endTransfer();
  reportFailure(QStringLiteral("Error of connection on TCP port %1").arg(connectionPort),
                connection.state() != QAbstractSocket::UnconnectedState);
}

void ORVCRoVivazavaPrivate::onSocketRead() {
  const QByteArray bytes = connection.readAll();
  if (bytes.isEmpty()) return;
  splitter.push(bytes);
  if (questionOpen) return;   // handled after the question, or dropped with the connection
  // Each whole answer is handled on its own, however TCP cut or joined the bytes.
  QByteArray answer;
  while (state != kTerminalState && connected() && splitter.next(answer)) {
    stopWait();
    if (connectionPort == settings.filePort)
      handleUploadAnswer(answer);
    else if (connectionPort == settings.commonPort)
      dispatchCommonAnswer(answer);
    if (waitsForAnswer(state)) sequencerStep();
  }
}

void ORVCRoVivazavaPrivate::onStepTimer() {
  stepTimer.stop();
  sequencerStep();
}

void ORVCRoVivazavaPrivate::onWaitExpired() {
  const Wait what = waitingFor;
  waitingFor = Wait::None;
  if (state == kTerminalState || what == Wait::None) return;
  endTransfer();
  if (what == Wait::Connect)
    reportFailure(QStringLiteral("Connection to TCP port %1 timed out after %2 s.")
                      .arg(connectionPort)
                      .arg(secondsText(settings.answerTimeoutMs)),
                  true);
  else
    reportFailure(QStringLiteral("No answer from device on TCP port %1 within %2 s.")
                      .arg(connectionPort)
                      .arg(secondsText(settings.answerTimeoutMs)),
                  true);
}

// ====================================================================================
// Sequencer: one step per event, one case per state.
// ====================================================================================

bool ORVCRoVivazavaPrivate::waitsForAnswer(int s) {
  switch (s) {
    case 2: case 6: case 17: case 21: case 25: case 27: case 31: return true;
    default: return false;
  }
}

// One step of a flashing wait; true when the wait is over.
bool ORVCRoVivazavaPrivate::flashingWaitStep() {
  if (flashCountdown <= 0) return true;
  flashCountdown -= settings.stepMs;
  armStepTimer();
  progress(std::max(0, int(qint64(flashCountdown) * 100 / settings.flashWaitMs)));
  return false;
}

void ORVCRoVivazavaPrivate::sequencerStep() {
  const quint16 common = settings.commonPort;
  const quint16 file = settings.filePort;
  switch (state) {
    case 0:
      state = 1;
      openConnection(ipAddress, common);
      break;
    case 1:
      state = 2;
      announce(QStringLiteral("Check actual firmware version."));
      requestDeviceVersion();
      break;
    case 2:
      if (binFile && !checkCompatibility(CheckTarget::Network)) {
        if (state == 2) reportFailure(QStringLiteral("Type or version error."), true);
        break;
      }
      if (state != 2) break;   // ended while the operator was asked
      state = 3;
      closeAndContinue();
      break;
    case 3:
      state = binFile ? 4 : 19;
      armStepTimer();
      break;
    case 4:
      state = 5;
      announce(QStringLiteral("Upload bin file."));
      openConnection(ipAddress, file);
      break;
    case 5:
      // A socket error while the first packet goes out ends the upgrade inside the call.
      if (startUpload(binFile, true)) {
        if (state == 5) state = 6;
      } else if (state == 5)
        reportFailure(QStringLiteral("Bin file upload error !"), false);
      break;
    case 6:
      if (transfer != Transfer::None) break;
      state = 7;
      announce(QStringLiteral("Bin file uploaded succesfully."));
      progress(0);
      closeAndContinue();
      break;
    case 7:
      state = 8;
      armStepTimer();
      break;
    case 8: {
      announce(QStringLiteral("Uploaded bin file check."));
      const int result = readBackCheck();
      if (result == -1) {
        state = 9;
        announce(QStringLiteral("Test => OK"));
        openConnection(ipAddress, file);
      } else if (result == 0) {
        reportFailure(QStringLiteral("Test => ERROR : File length incorrect or connection problem."), false);
      } else {
        reportFailure(QStringLiteral("Test => ERROR @ pos %1").arg(result), false);
      }
      break;
    }
    case 9:
      state = 10;
      announce(QStringLiteral("Activating bin file."));
      requestActivation();
      closeAndContinue();
      break;
    case 10:
      state = 11;
      armStepTimer();
      break;
    case 11:
      state = 12;
      announce(QStringLiteral("Reseting processor."));
      openConnection(ipAddress, common);
      break;
    case 12:
      state = 13;
      requestReset();
      closeAndContinue();
      break;
    case 13:
      state = 14;
      armStepTimer();
      break;
    case 14:
      state = 15;
      announce(QStringLiteral("Flashing."));
      flashCountdown = settings.flashWaitMs;
      armStepTimer();
      break;
    case 15:
      if (!flashingWaitStep()) break;
      state = 16;
      progress(0);
      openConnection(ipAddress, common);
      break;
    case 16:
      state = 17;
      announce(QStringLiteral("Read new firmware version."));
      requestDeviceVersion();
      break;
    case 17:
      if (verifyVersion(q.network)) {
        state = 18;
        closeAndContinue();
      } else {
        reportFailure(QStringLiteral("Version error after upgrade."), true);
      }
      break;
    case 18:
      state = 19;
      armStepTimer();
      break;
    case 19:
      if (webFile) {
        state = 20;
        announce(QStringLiteral("Uploading web file."));
        openConnection(ipAddress, file);
      } else {
        state = 23;
        armStepTimer();
      }
      break;
    case 20:
      if (startUpload(webFile, false)) {
        if (state == 20) state = 21;
      } else if (state == 20)
        reportFailure(QStringLiteral("Web file upload error !"), false);
      break;
    case 21:
      if (transfer != Transfer::None) break;
      announce(QStringLiteral("Web file uploaded succesfully."));
      progress(0);
      state = 22;
      closeAndContinue();
      break;
    case 22:
      if (bi2File)
        state = 23;
      else
        succeed();
      armStepTimer();
      break;
    case 23:
      if (bi2File) {
        state = 24;
        openConnection(ipAddress, common);
      } else {
        succeed();
        armStepTimer();
      }
      break;
    case 24:
      state = 25;
      announce(QStringLiteral("Check actual firmware version on I2C device."));
      requestI2cVersion();
      break;
    case 25:
      if (checkCompatibility(CheckTarget::I2c)) {
        if (state != 25) break;   // ended while the operator was asked
        state = 26;
        armStepTimer();
      } else if (state == 25) {
        reportFailure(QStringLiteral("I2C device type or version error."), true);
      }
      break;
    case 26:
      if (startI2cTransfer()) {
        if (state == 26) state = 27;
      } else if (state == 26)
        reportFailure(QStringLiteral("Bi2 file upload error !"), false);
      break;
    case 27:
      if (transfer != Transfer::None) break;
      announce(QStringLiteral("Bi2 file uploaded succesfully."));
      progress(0);
      state = 28;
      if (startI2cFlashing()) {
        if (state != 28) break;
        state = 29;
        announce(QStringLiteral("Flashing I2C device."));
        flashCountdown = settings.flashWaitMs;
        closeAndContinue();
      } else if (state == 28) {
        reportFailure(QStringLiteral("Error while start flashing on I2C device !"), false);
      }
      break;
    case 28:
      break;
    case 29:
      if (!flashingWaitStep()) break;
      state = 30;
      progress(0);
      openConnection(ipAddress, common);
      break;
    case 30:
      state = 31;
      announce(QStringLiteral("Read new firmware I2C version."));
      requestI2cVersion();
      break;
    case 31:
      if (verifyVersion(q.i2c)) {
        state = 32;
        closeAndContinue();
      } else {
        reportFailure(QStringLiteral("Version I2C error after upgrade."), true);
      }
      break;
    case 32:
      succeed();
      break;
    default:   // 33 and anything out of range: no upgrade running
      break;
  }
}

// ====================================================================================
// Common port answers
// ====================================================================================

void ORVCRoVivazavaPrivate::dispatchCommonAnswer(const QByteArray& answer) {
  const int L = int(answer.size());
  const auto* b = reinterpret_cast<const quint8*>(answer.constData());
  auto invalidAnswer = [this] {
    endTransfer();
    reportFailure(QStringLiteral("Error. Invalid answer from device !"), true);
  };
  auto invalidI2cAnswer = [this] {
    endTransfer();
    reportFailure(QStringLiteral("Error. Invalid answer from I2C device !"), true);
  };

  if (!connected()) {
    endTransfer();
    reportFailure(QStringLiteral("Socket error on common port !"), false);
    return;
  }

  if (L > 8 && b[0] == 0 && b[1] == VariablesAnswer) {
    // Entries of one id byte and four value bytes, up to the checksum.
    for (int pos = kHeaderSize; pos < L - 2; pos += 5) {
      const quint8 id = b[pos];
      if (id != VarFirmwareType && id != VarVersionWord) {
        reportFailure(QStringLiteral("IP Packet error : Unknown variable"), false);
        return;
      }
      if (pos + 5 > L - 2) {
        invalidAnswer();
        return;
      }
      if (id == VarFirmwareType) {
        q.network.deviceFirmwareType = qint32(readBigEndian32(b + pos + 1));
      } else {
        const VersionWord word = decodeVersionWord(b + pos + 1);
        q.network.deviceFirmwareVersion = word.firmware;
        q.network.deviceHardwareVersion = word.hardware;
      }
    }
    return;
  }

  if (L > 8 && b[0] == 0 && b[1] == I2cTransferAnswer) {
    const int payload = b[5];
    auto allOk = [b](std::initializer_list<int> positions) {
      for (int p : positions)
        if (b[p] != kI2cStatusOk) return false;
      return true;
    };
    if (b[4] != 0 || L < payload + kFrameOverhead) {
      invalidI2cAnswer();
    } else if (payload == 10 && allOk({10, 15})) {
      // Registers 0 and 1 of the I2C device.
      q.i2c.deviceFirmwareType = qint32(readBigEndian32(b + 6));
      const VersionWord word = decodeVersionWord(b + 11);
      q.i2c.deviceFirmwareVersion = word.firmware;
      q.i2c.deviceHardwareVersion = word.hardware;
    } else if (payload == 6 && allOk({6, 7, 8, 9, 10, 11})) {
      if (transfer == Transfer::I2c)
        onBlockWritten();
      else
        invalidI2cAnswer();   // an acknowledgement with no block written
    } else if (payload == 70 && allOk({6, 7, 24, 41, 58, 75})) {
      if (transfer == Transfer::I2c)
        onBlockReadBack(answer);
      else
        invalidI2cAnswer();
    } else if (payload == 2 && allOk({6, 7})) {
      // The start-flashing acknowledgement: nothing to do.
    } else {
      invalidI2cAnswer();
    }
    return;
  }

  if (L == 9 && b[0] == 0 && b[1] == I2cError) {
    endTransfer();
    reportFailure(i2cErrorText(b[6]) + QStringLiteral(" (error = %1).").arg(b[6]), true);
    return;
  }

  invalidAnswer();
}

// ====================================================================================
// Version checks
// ====================================================================================

bool ORVCRoVivazavaPrivate::checkCompatibility(CheckTarget target) {
  const VersionSet& set = target == CheckTarget::Network ? q.network : q.i2c;
  const CompatibilityVerdict verdict = engine::evaluateCompatibility(set, target, batchMode);
  switch (verdict.kind) {
    case CompatibilityVerdict::Accept:
      return true;
    case CompatibilityVerdict::Refuse:
      logEngineError(verdict.text);
      announce(verdict.text);
      return false;
    case CompatibilityVerdict::AskDowngrade: {
      questionOpen = true;
      const bool yes = ui::askYesNo(QStringLiteral("Warning"), verdict.text);
      questionOpen = false;
      return yes;
    }
  }
  return false;
}

bool ORVCRoVivazavaPrivate::verifyVersion(const VersionSet& set) {
  if (engine::deviceRunsFileVersion(set)) return true;
  reportFailure(engine::kVersionAfterFlashMismatch, false);
  return false;
}

// ====================================================================================
// File port: uploads of .bin and .web
// ====================================================================================

bool ORVCRoVivazavaPrivate::startUpload(const QByteArray* fileData, bool isBin) {
  if (!fileData) return false;
  transferBuffer = isBin ? binUploadImage(*fileData) : *fileData;
  if (transferBuffer.size() >= kMaxImageSize) {
    // The 24-bit offsets would wrap and overwrite the start of the device's memory.
    const QString message = QStringLiteral("%1 file too large: an upload holds at most %2 bytes.")
                                .arg(isBin ? QStringLiteral("Bin") : QStringLiteral("Web"))
                                .arg(kMaxImageSize - 1);
    endTransfer();
    logEngineError(message);
    announce(message);
    return false;
  }
  if (!connected()) {
    endTransfer();
    const QString message = isBin ? QStringLiteral("Load bin files error. Socket not active !")
                                  : QStringLiteral("Load web files error. Socket not active !");
    logEngineError(message);
    announce(message);
    return false;
  }
  transfer = Transfer::Upload;
  blockIndex = 0;
  send(uploadStartRequest(), true);
  return true;
}

void ORVCRoVivazavaPrivate::handleUploadAnswer(const QByteArray& answer) {
  const int L = int(answer.size());
  if (!connected()) {
    endTransfer();
    reportFailure(QStringLiteral("File upload error. Socket error !"), false);
    return;
  }
  if (L < 2 || answer.at(0) != 0 || quint8(answer.at(1)) != UploadAnswer || transfer != Transfer::Upload) {
    endTransfer();
    reportFailure(QStringLiteral("File upload error. Invalid answer from device !"), true);
    return;
  }
  const QString text = L > kFrameOverhead ? QString::fromLatin1(answer.mid(kHeaderSize, L - kFrameOverhead))
                                          : QString();
  if (!text.contains(QLatin1String("BytesWritten")) && !text.contains(QLatin1String("MemoryErased"))) {
    endTransfer();
    reportFailure(QStringLiteral("File upload error : ") + text, true);
    return;
  }
  const qint64 total = transferBuffer.size();
  const qint64 offset = qint64(kChunkSize) * blockIndex;
  const qint64 remaining = total - offset;
  if (remaining > kChunkSize) {
    send(uploadDataRequest(quint32(offset), transferBuffer.mid(offset, kChunkSize)), true);
    progress(int(offset * 100 / total));
    ++blockIndex;
  } else if (remaining > 0) {
    send(uploadDataRequest(quint32(offset), transferBuffer.mid(offset)), true);
    progress(100);
    ++blockIndex;
  } else {
    endTransfer();
  }
}

// ====================================================================================
// Readback
// ====================================================================================

int ORVCRoVivazavaPrivate::readBackCheck() {
  const engine::ReadbackResponse response =
      readbackClient.fetch(ipAddress, settings.httpPort, settings.httpTimeoutMs);
  if (!response.succeeded) {
    // A redirection is left to the sequencer's own report.
    if (response.status != 302) reportFailure(QStringLiteral("HTTP connection Failed !"), false);
    return 0;
  }
  if (!binFile) return 0;
  return engine::compareReadback(response.body, binReadbackExpected(*binFile));
}

// ====================================================================================
// I2C flashing through the gateway
// ====================================================================================

bool ORVCRoVivazavaPrivate::startI2cTransfer() {
  if (!bi2File) return false;
  transferBuffer = i2cImage(*bi2File, 0xFF);
  blockIndex = 0;
  if (!connected()) {
    endTransfer();
    const QString message = QStringLiteral("Load bi2 files error. Socket not active !");
    logEngineError(message);
    announce(message);
    return false;
  }
  transfer = Transfer::I2c;
  sendBlockWrite(0);
  return true;
}

void ORVCRoVivazavaPrivate::sendBlockWrite(int block) {
  const qint64 offset = qint64(kChunkSize) * block;
  send(i2cBlockWriteRequest(quint8(i2cAddress), quint32(offset), transferBuffer.mid(offset, kChunkSize)), true);
}

void ORVCRoVivazavaPrivate::onBlockWritten() {
  send(i2cBlockReadBackRequest(quint8(i2cAddress), quint32(qint64(kChunkSize) * blockIndex)), true);
}

void ORVCRoVivazavaPrivate::onBlockReadBack(const QByteArray& answer) {
  const int k = blockIndex;
  const auto* image = reinterpret_cast<const quint8*>(transferBuffer.constData());
  const auto* b = reinterpret_cast<const quint8*>(answer.constData());
  // Each window comes back last byte first, after its register's status byte.
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < kWindowSize; ++i) {
      const int index = kChunkSize * k + kWindowSize * j + i;
      if (image[index] != b[23 + 17 * j - i]) {
        reportFailure(QStringLiteral("Writing ERROR @ pos %1").arg(index), false);
        endTransfer();
        return;
      }
    }
  }
  blockIndex = k + 1;
  const qint64 length = transferBuffer.size();
  if (length - qint64(kChunkSize) * (k + 1) <= 0) {
    progress(100);
    endTransfer();
    return;
  }
  progress(int(qint64(kChunkSize) * (k + 1) * 100 / length));
  sendBlockWrite(k + 1);
}

bool ORVCRoVivazavaPrivate::startI2cFlashing() {
  if (!connected() || !bi2File) {
    endTransfer();
    const QString message = QStringLiteral("Start I2C device flashing error. Socket not active !");
    logEngineError(message);
    announce(message);
    return false;
  }
  send(i2cStartFlashingRequest(quint8(i2cAddress), quint32(i2cImageLength(bi2File->size()))), false);
  return true;
}

// ====================================================================================
// Public face
// ====================================================================================

ORVCRoVivazava::ORVCRoVivazava(bool& success, UpgradeStatusCallback callback, void* owner,
                               ReachabilityTest reachability, EngineSettings settings)
    : d(std::make_unique<ORVCRoVivazavaPrivate>(*this, callback, owner, std::move(reachability), settings)) {
  success = true;
  if (!d->loadIphlpapiDll()) {
    success = false;
    logEngineError(QStringLiteral("loadIphlpapiDll failed\tORVCRoVivazava::ORVCRoVivazava"));
  }
}

ORVCRoVivazava::~ORVCRoVivazava() { d->freeIphlpapiDll(); }

bool ORVCRoVivazava::startUpgrade(const QString& ipAddress, int i2cAddress, const QByteArray* binFile,
                                  const QByteArray* bi2File, const QByteArray* webFile, bool batchMode) {
  return d->startUpgrade(ipAddress, i2cAddress, binFile, bi2File, webFile, batchMode);
}

int ORVCRoVivazava::currentState() const { return d->state; }

void ORVCRoVivazava::storeFileIdentification(VersionSet& set, const orvane::FileIdentification& identification) {
  set.fileFirmwareType = identification.fileFirmwareType;
  set.fileFirmwareVersion = identification.fileFirmwareVersion;
  set.fileMaxHardware = identification.fileMaxHardware;
  set.fileMinDeviceFirmware = identification.fileMinDeviceFirmware;
  set.fileMinHardware = identification.fileMinHardware;
}
