#pragma once

// The inside of the upgrade engine, shared by its source files: the engine object
// (ORVCRoVivazava.cpp), the sequencer (UpgradeSequencer.cpp) and the exchanges with the
// device (EngineExchanges.cpp). Nothing outside engine/ includes it.

#include "engine/BlockingReads.h"
#include "engine/ORVCRoVivazava.h"
#include "engine/Readback.h"
#include "engine/VersionChecks.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <optional>

// Everything the engine owns. The socket and the timers report through lambdas bound to
// `context`; the destructor unbinds them first, so that nothing reaches a half-destroyed
// engine.
class ORVCRoVivazavaPrivate {
 public:
  // The sequencer's states, in the order an upgrade passes them; the stages of files
  // that are not selected are skipped. The numbers are those that currentState() reports.
  enum class State : int {
    OpenCommon = 0,            // start: connect to the common port
    AskVersion = 1,            // connected: read the device's version
    CheckVersion = 2,          // answer: does the .bin suit the device?
    VersionRead = 3,           // closed: on to the .bin, or past it
    OpenBinUpload = 4,         // timer: connect to the file port
    StartBinUpload = 5,        // connected: UploadStart
    BinUploading = 6,          // answers: until the whole image is acknowledged
    BinUploaded = 7,           // closed
    ReadBack = 8,              // timer: fetch /hex.hex and compare
    Activate = 9,              // connected (file port): ActivateFirmware, then close
    Activated = 10,            // closed
    OpenReset = 11,            // timer: connect to the common port
    Reset = 12,                // connected: the reset request, then close
    ResetSent = 13,            // closed
    BeginFlashWait = 14,       // timer: "Flashing."
    FlashWait = 15,            // timer: count down, then reconnect
    AskNewVersion = 16,        // connected: read the flashed version
    VerifyNewVersion = 17,     // answer: does the device run the file's version?
    BinDone = 18,              // closed
    WebOrNext = 19,            // timer: the .web, or past it
    StartWebUpload = 20,       // connected: UploadStart
    WebUploading = 21,         // answers: until the whole file is acknowledged
    WebUploaded = 22,          // closed: on to the .bi2, or done
    I2cOrDone = 23,            // timer: connect for the .bi2, or done
    AskI2cVersion = 24,        // connected: read the I2C device's version
    CheckI2cVersion = 25,      // answer: does the .bi2 suit the I2C device?
    StartI2cTransfer = 26,     // timer (the connection stays open): first block write
    I2cTransferring = 27,      // answers: blocks written and read back; then start flashing
    I2cFlashStarting = 28,     // while the start request goes out; no step runs here
    I2cFlashWait = 29,         // closed, then timer: count down, then reconnect
    AskNewI2cVersion = 30,     // connected: read the flashed I2C version
    VerifyNewI2cVersion = 31,  // answer: does the I2C device run the file's version?
    I2cDone = 32,              // closed: success
    Terminal = 33,             // no upgrade running
  };
  static constexpr int kStateCount = 34;

  // The event after which a state's step is expected (every event runs a step, whatever
  // the state).
  enum class Event { Start, Connect, Disconnect, Read, Timer, None };

  // What became of a call that can end the upgrade inside it (a question to the operator,
  // a message box, a send that meets a socket error).
  enum class Outcome {
    Done,      // it did its part; the step moves on
    Refused,   // it declined; the step fails with its own message
    Ended,     // the upgrade ended meanwhile; nothing more happens
  };

  // One row of the sequencer's table.
  struct StateRow {
    State state;
    Event runsOn;
    void (ORVCRoVivazavaPrivate::*step)();
    // The stage a run is in while in this state; nullopt: the stage before goes on (the
    // states between two stages, which a run passes whatever files it has).
    std::optional<orvane::engine::UpgradeStage> stage;
  };

  // The end both halves share: wait while the device flashes, reconnect, read the new
  // version and compare it with the file's.
  struct FlashStage {
    State wait, ask, verify, done;
    const char* flashing;       // announced when the wait starts
    const char* reading;        // announced with the version request
    const char* mismatch;       // the failure when the versions differ
    const char* restarting;     // announced before another attempt; %1: seconds left
    VersionSet ORVCRoVivazava::*versions;
    void (ORVCRoVivazavaPrivate::*request)();
  };

  // An upload through the file port, of the .bin or of the .web.
  struct UploadStage {
    State start, uploading, uploaded;
    const QByteArray* ORVCRoVivazavaPrivate::*file;
    bool isBin;
    const char* opening;    // announced with the connect to the file port
    const char* refusal;    // the failure when the upload does not start
    const char* finished;   // announced when the whole image is acknowledged
  };

  // The answer the one request in flight waits for. A frame of another shape, or a frame
  // while no request is in flight, is an invalid answer: it never ends a wait by itself.
  enum class Awaited {
    None,           // no request in flight
    AnyAnswer,      // the first version read without a .bin: its values are not examined
    DeviceVersion,  // a VariablesAnswer holding the firmware type and the version word
    I2cVersion,     // the I2C device's type and version
    BlockWritten,   // the acknowledgement of an I2C block write
    BlockReadBack,  // the 64 bytes of the I2C block written last
    UploadStarted,  // the device's success text for UploadStart
    ChunkWritten,   // "BytesWritten" for the upload chunk last sent
  };
  // Which transfer transferBuffer holds.
  enum class Transfer { None, Upload, I2c };

  ORVCRoVivazavaPrivate(ORVCRoVivazava& engine, UpgradeStatusCallback callback, void* owner,
                        ORVCRoVivazava::ReachabilityTest reachability, EngineSettings settings);
  ~ORVCRoVivazavaPrivate();

  // --- Engine object (ORVCRoVivazava.cpp) ---
  bool startUpgrade(const QString& ip, int i2cAddr, const QByteArray* bin, const QByteArray* bi2,
                    const QByteArray* web, bool batch, const orvane::engine::UpgradeOptions& options);
  bool refuseStart(const QString& ip, const QString& message);
  // What a run reports about itself, back to nothing known.
  void forgetLastRun();
  // The state changes here (or to Terminal in fail()); the stage observer follows.
  void enter(State s);
  void tellStage(orvane::engine::UpgradeStage s);
  // Records how the run ended, once: the first call of a run counts.
  void endRun(orvane::engine::UpgradeResult result);
  // The written/activated marks of the run's end report.
  void markWritten(bool activation = false);
  void openConnection(const QString& ip, quint16 port);
  void closeConnection();
  void closeAndContinue();
  // Ends the upgrade: the operator sees `message`; the error log gets it with `context`.
  void fail(const QString& message, const QString& context, bool close);
  // fail() with the context of the current connection and `detail`.
  void reportFailure(const QString& message, bool close, const QString& detail = {});
  // A reason given to the operator and logged with its context; the caller decides what follows.
  void complain(const QString& message, const QString& detail = {});
  QString logContext(const QString& detail) const;
  QString transferDetail() const;
  void report(int kind, int value, const QString& text);
  void announce(const QString& text) { report(StatusMessage, -1, text); }
  void progress(int value) { report(StatusProgress, value, QStringLiteral("0")); }
  // A transfer's progress, reported only when the percentage changed: thousands of
  // exchanges share a hundred values, and each report reaches the window and the lines.
  void transferProgress(int percent);
  void armStepTimer();
  void armConnectWait();
  // Sets the deadline of the answer (or connect) awaited from now on.
  void armDeadline();
  // The wait is over and its timer stopped.
  void stopWait();
  // The wait is over; its timer may still fire, and then finds nothing awaited.
  void endWait();
  // True, and the wait ended, when an answer of this shape is what the request in flight
  // waits for; false leaves everything as it is.
  bool takeAnswer(Awaited shape);
  bool connected() const { return connection.state() == QAbstractSocket::ConnectedState; }
  void send(const QByteArray& packet, Awaited answer);
  void endTransfer();
  bool loadIphlpapiDll();
  bool freeIphlpapiDll();

  // --- Event handlers (ORVCRoVivazava.cpp) ---
  void onConnected();
  void onDisconnected();
  void onSocketError(QAbstractSocket::SocketError error);
  void connectionLost(const QString& reason);
  void onSocketRead();
  // A transfer's following answers, awaited on the socket itself for a short slice.
  void keepExchanging();
  // The socket back to non-blocking reads, unless it was closed meanwhile.
  void leaveBlockingReads();
  // A transfer in lock step: a request of it is in flight on an open connection.
  bool inLockStep() const;
  // What a read event delivered: cut into answers, each handled for the connection's port.
  void takeBytes(const QByteArray& bytes);
  void onStepTimer();
  void onWaitExpired();
  // A connection that failed or an answer that never came. True when the device restarts
  // and gets another attempt; false when the failure goes on (its end result is noted).
  bool retriedNoAnswer();
  bool inRestart() const;
  void retryAfterRestart();

  // --- Sequencer (UpgradeSequencer.cpp) ---
  static const StateRow& rowOf(State s);
  static bool waitsForAnswer(State s);
  void sequencerStep();
  // The one way a step moves on: only from the state it ran in.
  bool advance(State from, State to);
  static const std::optional<orvane::engine::UpgradeStage>& stageOf(State s);
  Outcome outcomeAfter(State during, bool ok) const;
  bool settle(Outcome outcome, State from, State to, const QString& refusal, bool close);
  void succeed(State from);
  void ask(State from, State to, const char* announcement, void (ORVCRoVivazavaPrivate::*request)());
  const FlashStage& flashStage() const;
  const UploadStage& uploadStage() const;
  void openUpload(State from, const UploadStage& stage);
  void startUploadStep();
  void uploading();
  bool flashingWaitStep();
  void beginFlashWait(const FlashStage& stage);

  void openCommon();
  void askVersion();
  void checkVersion();
  State afterVersionRead() const;
  void versionRead();
  void openBinUpload();
  void binUploaded();
  void readBack();
  void activate();
  void activated();
  void openReset();
  void reset();
  void resetSent();
  void startFlashWait();
  void flashWait();
  void askNewVersion();
  void verifyNewVersion();
  void binDone();
  void webOrNext();
  void webUploaded();
  void i2cOrDone();
  void askI2cVersion();
  void checkI2cVersion();
  bool skipsTransfer(const orvane::engine::SetComparison& comparison) const;
  void startI2cTransferStep();
  void i2cTransferring();
  void i2cDone();
  void nothing() {}

  // --- Exchanges with the device (EngineExchanges.cpp) ---
  void requestDeviceVersion();
  void requestReset();
  void requestActivation();
  void requestI2cVersion();
  void dispatchCommonAnswer(const QByteArray& answer);
  void storeVariables(const QByteArray& answer);
  void handleI2cTransferAnswer(const QByteArray& answer);
  void failTransfer(const QString& message, bool close, const QString& detail = {});

  Outcome checkCompatibility(orvane::engine::CheckTarget target, State during);
  void announceComparison(orvane::engine::CheckTarget target);
  Outcome refuseDowngradeOf(orvane::engine::CheckTarget target, State during);
  Outcome verifyVersion(const VersionSet& set);

  Outcome startUpload(const QByteArray* file, bool isBin, State during);
  void handleUploadAnswer(const QByteArray& answer);
  void sendNextChunk();
  QByteArray chunkAt(qint64 offset) const;

  int readBackCheck();

  Outcome startI2cTransfer(State during);
  void sendBlockWrite(int block);
  void onBlockWritten();
  void onBlockReadBack(const QByteArray& block);
  Outcome startI2cFlashing(State during);

  ORVCRoVivazava& q;
  EngineSettings settings;
  QObject context;
  QTimer stepTimer;
  QTimer answerTimer;
  QDeadlineTimer answerDeadline;   // of the connect or answer awaited; the timer may run ahead of it
  // The answer timer guards either a connect or the answer `awaited` names, never both.
  bool connecting = false;
  Awaited awaited = Awaited::None;
  QTcpSocket connection;
  QByteArray readBuffer;     // what keepExchanging() receives, reused from answer to answer
  bool exchanging = false;   // keepExchanging() is running
  std::optional<orvane::engine::BlockingReads> blockingReads;   // while keepExchanging() waits
  quint16 connectionPort = 0;   // of the current or last connection of this upgrade; 0 before
  orvane::proto::FrameSplitter splitter;   // the byte stream of the current connection, cut into answers
  orvane::engine::ReadbackClient readbackClient;
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
  orvane::engine::UpgradeOptions options;
  orvane::engine::UpgradeEnd end;
  orvane::engine::SetComparison networkComparison, i2cComparison;
  QString firstFailure;   // the first failure given to the operator in this run
  // How the next failure ends the run, when its call site knows better than Failed.
  orvane::engine::UpgradeResult failureResult = orvane::engine::UpgradeResult::Failed;
  std::function<void(orvane::engine::UpgradeStage)> stageObserver;
  orvane::engine::UpgradeStage stage = orvane::engine::UpgradeStage::Done;
  QDeadlineTimer restartDeadline;   // from the start of the flashing wait
  int restartAttempts = 0;          // attempts after the flashing wait that found no device
  bool questionOpen = false;   // a modal question runs its own event loop inside a step
  int blockIndex = 0;
  int transferPercent = -1;   // the last progress reported for the transfer in progress
  int flashCountdown = 0;
  State state = State::Terminal;
  bool icmpLibrary = false;
};

static_assert(int(ORVCRoVivazavaPrivate::State::Terminal) == kTerminalState);
static_assert(ORVCRoVivazavaPrivate::kStateCount == kTerminalState + 1);
