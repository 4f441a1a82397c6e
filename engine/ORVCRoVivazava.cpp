#include "engine/ORVCRoVivazava.h"

#include "common/Globalfunctions.h"
#include "common/IcmpEcho.h"
#include "common/Utilsfunctions.h"
#include "engine/FirmwareFile.h"
#include "engine/ORVCRoVivazavaPrivate.h"

#include <QHostAddress>
#include <QScopedValueRollback>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

using namespace orvane;
using namespace orvane::proto;
using State = ORVCRoVivazavaPrivate::State;
using orvane::engine::UpgradeResult;
using orvane::engine::UpgradeStage;

namespace {
// How long a lock-step transfer keeps the event loop waiting: the window repaints and
// the timers run at least this often during a transfer.
constexpr int kExchangeSliceMs = 10;
// The most keepExchanging() takes from the socket at once; answers are far smaller.
constexpr int kReadChunk = 4096;

// "10" for whole seconds, "0.3" for the short waits of tests.
QString secondsText(int ms) {
  return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'g', 3);
}

// Hands a whole request to the kernel with one send(); false when it did not take all of
// it. A buffered QTcpSocket write switches the socket's write notifier on and off again
// for every request, and each switch wakes the event loop up (two wake-ups, a poll and a
// read of the wake-up descriptor per exchange). What is left over goes through the
// socket's own write, which buffers it or reports the error with its usual signals.
qint64 sendToKernel(QTcpSocket& socket, const QByteArray& packet) {
  // Behind bytes the socket still holds, a request would overtake them.
  if (socket.bytesToWrite() > 0) return 0;
  const qintptr fd = socket.socketDescriptor();
  if (fd < 0) return 0;
  ssize_t sent;
  do {
    sent = ::send(int(fd), packet.constData(), size_t(packet.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? 0 : qint64(sent);
}

// " [device 10.77.1.1, TCP port 8010, ...]": the parts that are not empty.
QString bracketed(const QStringList& parts) {
  QStringList kept;
  for (const QString& part : parts)
    if (!part.isEmpty()) kept << part;
  return QStringLiteral(" [") + kept.join(QStringLiteral(", ")) + QLatin1Char(']');
}
}  // namespace

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
  // Precise: a coarse timer may fire up to 5 % early, and a deadline must not end before
  // its time.
  stepTimer.setSingleShot(true);
  stepTimer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&stepTimer, &QTimer::timeout, &context, [this] { onStepTimer(); });
  answerTimer.setSingleShot(true);
  answerTimer.setTimerType(Qt::PreciseTimer);
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

void ORVCRoVivazavaPrivate::fail(const QString& message, const QString& context, bool close) {
  // What follows may run an event loop (a message box), whose socket reads must not block.
  leaveBlockingReads();
  if (firstFailure.isEmpty()) firstFailure = message;
  endRun(failureResult);
  // The terminal state is entered before anything is reported: a message box of the log
  // facility or of the owner runs an event loop, and no event may step the sequencer.
  enter(State::Terminal);
  stepTimer.stop();
  stopWait();
  logEngineError(message + context);
  report(StatusMessage, -1, message);
  if (close) closeConnection();
  report(StatusFailed, -1, QStringLiteral("0"));
  // A connection that the failure left open would turn the next upgrade's first connect
  // into nothing: the upgrade is over, so it goes now.
  closeConnection();
}

void ORVCRoVivazavaPrivate::reportFailure(const QString& message, bool close, const QString& detail) {
  fail(message, logContext(detail), close);
}

void ORVCRoVivazavaPrivate::complain(const QString& message, const QString& detail) {
  leaveBlockingReads();   // as in fail()
  if (firstFailure.isEmpty()) firstFailure = message;
  logEngineError(message + logContext(detail));
  announce(message);
}

// What a support engineer needs beside the operator's text: the device, the port of the
// connection, and what went wrong there.
QString ORVCRoVivazavaPrivate::logContext(const QString& detail) const {
  const QString port = connectionPort ? QStringLiteral("TCP port %1").arg(connectionPort) : QString();
  return bracketed({QStringLiteral("device ") + ipAddress, port, detail});
}

// Where the transfer in progress stood: the upload packet or the I2C block last sent.
QString ORVCRoVivazavaPrivate::transferDetail() const {
  switch (transfer) {
    case Transfer::None:
      return {};
    case Transfer::Upload:
      // blockIndex counts the chunks sent; 0: only the start request has gone out.
      if (blockIndex == 0) return QStringLiteral("upload start");
      return QStringLiteral("upload chunk %1 (offset %2)")
          .arg(blockIndex - 1)
          .arg(qint64(kChunkSize) * (blockIndex - 1));
    case Transfer::I2c:
      return QStringLiteral("I2C block %1 (offset %2)").arg(blockIndex).arg(qint64(kChunkSize) * blockIndex);
  }
  return {};
}

void ORVCRoVivazavaPrivate::enter(State s) {
  state = s;
  if (const auto& next = stageOf(s)) tellStage(*next);
}

void ORVCRoVivazavaPrivate::tellStage(UpgradeStage s) {
  if (s == stage) return;
  stage = s;
  if (stageObserver) stageObserver(s);
}

void ORVCRoVivazavaPrivate::endRun(UpgradeResult result) {
  if (end.result != UpgradeResult::Running) return;
  end.result = result;
  end.stage = stage;
  const bool success =
      result == UpgradeResult::Upgraded || result == UpgradeResult::Current || result == UpgradeResult::Checked;
  end.reason = success ? QString() : firstFailure;
}

void ORVCRoVivazavaPrivate::markWritten(bool activation) {
  end.written = true;
  end.activated = end.activated || activation;
}

void ORVCRoVivazavaPrivate::armStepTimer() { stepTimer.start(settings.stepMs); }

void ORVCRoVivazavaPrivate::armConnectWait() {
  connecting = true;
  armDeadline();
}

// The deadline moves with every request; the timer is only started when it is not running.
// Restarting it per request would take a timer out of the event loop and register a new
// one thousands of times a second during a transfer. A timer that fires before the
// current deadline starts again for what is left (onWaitExpired).
void ORVCRoVivazavaPrivate::armDeadline() {
  answerDeadline = QDeadlineTimer(settings.answerTimeoutMs, Qt::PreciseTimer);
  if (!answerTimer.isActive()) answerTimer.start(settings.answerTimeoutMs);
}

void ORVCRoVivazavaPrivate::stopWait() {
  endWait();
  answerTimer.stop();
}

void ORVCRoVivazavaPrivate::endWait() {
  connecting = false;
  awaited = Awaited::None;
}

bool ORVCRoVivazavaPrivate::takeAnswer(Awaited shape) {
  // A version read that is not examined takes whatever the dispatcher lets pass, except
  // the acknowledgements of a block transfer.
  const bool anyWillDo = awaited == Awaited::AnyAnswer &&
                         (shape == Awaited::AnyAnswer || shape == Awaited::DeviceVersion || shape == Awaited::I2cVersion);
  if (awaited == Awaited::None || (shape != awaited && !anyWillDo)) return false;
  // The timer keeps running: the next request, sent at once, moves the deadline on; when
  // none follows it fires once with nothing awaited and does nothing.
  endWait();
  return true;
}

void ORVCRoVivazavaPrivate::endTransfer() {
  transferBuffer.clear();
  transfer = Transfer::None;
}

void ORVCRoVivazavaPrivate::send(const QByteArray& packet, Awaited answer) {
  if (!connected()) return;
  // Armed first: a reset noticed while the bytes go out must find the answer awaited.
  // The deadline stays until that answer arrives; nothing else stops it but the end.
  if (answer != Awaited::None) {
    awaited = answer;
    armDeadline();
  }
  // Handed to the kernel at once, so that a close right after it finds nothing buffered
  // and raises the disconnect event before it returns.
  const qint64 sent = sendToKernel(connection, packet);
  if (sent == packet.size()) return;
  connection.write(packet.constData() + sent, packet.size() - sent);
  connection.flush();
}

void ORVCRoVivazavaPrivate::openConnection(const QString& ip, quint16 port) {
  const std::optional<quint32> address = parseIpv4Text(ip);
  if (!address) {
    complain(QStringLiteral("Invalid IP Address : ") + ip);
    return;
  }
  if (connection.state() != QAbstractSocket::UnconnectedState) return;
  splitter.clear();
  connectionPort = port;
  armConnectWait();
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

void ORVCRoVivazavaPrivate::forgetLastRun() {
  end = {};
  networkComparison = {};
  i2cComparison = {};
  firstFailure.clear();
  failureResult = UpgradeResult::Failed;
  restartDeadline = QDeadlineTimer();   // expired: no flashing wait has begun
  restartAttempts = 0;
}

// startUpgrade's refusal of `message`, before anything reaches the device.
bool ORVCRoVivazavaPrivate::refuseStart(const QString& ip, const QString& message) {
  fail(message, bracketed({QStringLiteral("device ") + ip}), false);
  return false;
}

bool ORVCRoVivazavaPrivate::startUpgrade(const QString& ip, int i2cAddr, const QByteArray* bin,
                                         const QByteArray* bi2, const QByteArray* web, bool batch,
                                         const orvane::engine::UpgradeOptions& runOptions) {
  forgetLastRun();
  tellStage(UpgradeStage::Starting);
  if (!isValidIpText(ip)) return refuseStart(ip, QStringLiteral("IP address ") + ip + QStringLiteral(" not valid."));
  if (reachability && !reachability(ip)) {
    failureResult = UpgradeResult::Unreachable;
    return refuseStart(ip, QStringLiteral("No device connected at IP address: ") + ip);
  }
  if (bi2 && (i2cAddr < kI2cAddressMin || i2cAddr > kI2cAddressMax))
    return refuseStart(ip, QStringLiteral("I2C address %1 not valid.").arg(i2cAddr));
  if (!bin && !bi2 && !web) return refuseStart(ip, QStringLiteral("No bin, nor bi2, nor web file has been selected."));

  // Nothing of an earlier upgrade may reach this one.
  state = State::Terminal;
  stepTimer.stop();
  stopWait();
  connection.abort();
  endTransfer();
  connectionPort = 0;

  ipAddress = ip;
  i2cAddress = i2cAddr;
  binFile = bin;
  bi2File = bi2;
  webFile = web;
  batchMode = batch;
  options = runOptions;
  enter(State::OpenCommon);
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
  const bool answerPending = awaited != Awaited::None || waitsForAnswer(state);
  stopWait();
  if (questionOpen || state == State::Terminal) return;
  if (answerPending) {
    // The device went away in the middle of an exchange: going on would decide on values
    // that it never sent. A reset and a close look alike here; both are connection errors.
    connectionLost(QStringLiteral("closed while an answer was awaited"));
    return;
  }
  sequencerStep();
}

void ORVCRoVivazavaPrivate::onSocketError(QAbstractSocket::SocketError error) {
  if (state == State::Terminal) return;
  // The device closing its end (or resetting it: the socket layer reports both alike) is
  // an error only while the engine waits for its answer; otherwise the disconnect event
  // runs the next step.
  if (error == QAbstractSocket::RemoteHostClosedError && awaited == Awaited::None && !waitsForAnswer(state)) return;
  connectionLost(QStringLiteral("socket: ") + connection.errorString());
}

void ORVCRoVivazavaPrivate::connectionLost(const QString& reason) {
  if (retriedNoAnswer()) return;
  const QString detail = reason + (transfer == Transfer::None ? QString() : QStringLiteral(", ") + transferDetail());
  endTransfer();
  reportFailure(QStringLiteral("Error of connection on TCP port %1").arg(connectionPort),
                connection.state() != QAbstractSocket::UnconnectedState, detail);
}

void ORVCRoVivazavaPrivate::onSocketRead() {
  const QByteArray bytes = connection.readAll();
  if (bytes.isEmpty()) return;
  takeBytes(bytes);
  keepExchanging();
}

bool ORVCRoVivazavaPrivate::inLockStep() const {
  const bool transferring =
      state == State::BinUploading || state == State::WebUploading || state == State::I2cTransferring;
  return transferring && awaited != Awaited::None && !questionOpen && connected() &&
         connection.bytesAvailable() == 0;
}

// A transfer is thousands of lock-step exchanges, and one through the event loop costs
// more than the engine's own work on it: a poll of every source, the socket's buffered
// read (its size, then the bytes) and a signal. So once the event loop has delivered an
// answer of a transfer, the next ones are awaited here, each with one blocking receive of
// at most lockStepWaitMs, for up to kExchangeSliceMs; then the event loop has its turn again
// (repaints, timers, a stop request). An answer slower than that, a close or an error ends
// the slice: the socket's own events take them from there. No receive here reaches past
// the answer's deadline; the answer timer reports it.
void ORVCRoVivazavaPrivate::keepExchanging() {
  const int waitMs = settings.lockStepWaitMs;
  if (exchanging || waitMs <= 0 || !inLockStep()) return;
  const QScopedValueRollback guard(exchanging, true);
  const int fd = int(connection.socketDescriptor());
  blockingReads.emplace(fd, waitMs);
  const QDeadlineTimer slice(kExchangeSliceMs, Qt::PreciseTimer);
  while (blockingReads && blockingReads->active() && inLockStep() && !slice.hasExpired() &&
         answerDeadline.remainingTime() > waitMs) {
    readBuffer.resize(kReadChunk);
    const ssize_t got = ::recv(fd, readBuffer.data(), size_t(kReadChunk), 0);
    if (got <= 0) break;
    readBuffer.resize(qsizetype(got));
    takeBytes(readBuffer);
  }
  leaveBlockingReads();
}

void ORVCRoVivazavaPrivate::leaveBlockingReads() {
  if (!blockingReads) return;
  // A descriptor the socket no longer holds was closed; its number may be another's now.
  if (blockingReads->fd() != int(connection.socketDescriptor())) blockingReads->forget();
  blockingReads.reset();
}

void ORVCRoVivazavaPrivate::takeBytes(const QByteArray& bytes) {
  splitter.push(bytes);
  if (questionOpen) return;   // handled after the question, or dropped with the connection
  // Each whole answer is handled on its own, however TCP cut or joined the bytes. The
  // handlers end the wait only for the answer awaited (and may send the next request);
  // the state's step runs once no request is in flight any more.
  QByteArray answer;
  while (state != State::Terminal && connected() && splitter.next(answer)) {
    if (connectionPort == settings.filePort)
      handleUploadAnswer(answer);
    else if (connectionPort == settings.commonPort)
      dispatchCommonAnswer(answer);
    if (state != State::Terminal && awaited == Awaited::None && waitsForAnswer(state)) sequencerStep();
  }
}

void ORVCRoVivazavaPrivate::onStepTimer() {
  stepTimer.stop();
  sequencerStep();
}

void ORVCRoVivazavaPrivate::onWaitExpired() {
  if ((connecting || awaited != Awaited::None) && !answerDeadline.hasExpired()) {
    // Started for an earlier request: the wait of the current one goes on.
    const qint64 leftMs = (answerDeadline.remainingTimeNSecs() + 999'999) / 1'000'000;
    answerTimer.start(int(std::max<qint64>(leftMs, 1)));
    return;
  }
  const bool wasConnecting = connecting;
  const bool wasAwaiting = awaited != Awaited::None;
  stopWait();
  if (state == State::Terminal || (!wasConnecting && !wasAwaiting)) return;
  if (retriedNoAnswer()) return;
  const QString detail = transferDetail();
  endTransfer();
  const QString text = wasConnecting ? QStringLiteral("Connection to TCP port %1 timed out after %2 s.")
                                             : QStringLiteral("No answer from device on TCP port %1 within %2 s.");
  reportFailure(text.arg(connectionPort).arg(secondsText(settings.answerTimeoutMs)), true, detail);
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
                                  const QByteArray* bi2File, const QByteArray* webFile, bool batchMode,
                                  const orvane::engine::UpgradeOptions& options) {
  return d->startUpgrade(ipAddress, i2cAddress, binFile, bi2File, webFile, batchMode, options);
}

const orvane::engine::UpgradeEnd& ORVCRoVivazava::lastEnd() const { return d->end; }

const orvane::engine::SetComparison& ORVCRoVivazava::networkComparison() const { return d->networkComparison; }

const orvane::engine::SetComparison& ORVCRoVivazava::i2cComparison() const { return d->i2cComparison; }

void ORVCRoVivazava::setStageObserver(std::function<void(orvane::engine::UpgradeStage)> observer) {
  d->stageObserver = std::move(observer);
}

int ORVCRoVivazava::currentState() const { return int(d->state); }

void ORVCRoVivazava::storeFileIdentification(VersionSet& set, const orvane::FileIdentification& identification) {
  set.fileFirmwareType = identification.fileFirmwareType;
  set.fileFirmwareVersion = identification.fileFirmwareVersion;
  set.fileMaxHardware = identification.fileMaxHardware;
  set.fileMinDeviceFirmware = identification.fileMinDeviceFirmware;
  set.fileMinHardware = identification.fileMinHardware;
}
