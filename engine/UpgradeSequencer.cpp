// The upgrade sequencer: one step per event, one short step function per state, all
// listed in one table with the event each state waits for.
#include "engine/ORVCRoVivazavaPrivate.h"

using namespace orvane::proto;
using orvane::engine::CheckTarget;
using orvane::engine::SetComparison;
using orvane::engine::UpgradeResult;
using P = ORVCRoVivazavaPrivate;
using State = P::State;
using Event = P::Event;
using Outcome = P::Outcome;
using Stage = orvane::engine::UpgradeStage;

namespace {

constexpr std::optional<Stage> kSameStage = std::nullopt;

constexpr P::StateRow kStates[] = {
    {State::OpenCommon, Event::Start, &P::openCommon, Stage::Starting},
    {State::AskVersion, Event::Connect, &P::askVersion, Stage::Starting},
    {State::CheckVersion, Event::Read, &P::checkVersion, Stage::Checking},
    {State::VersionRead, Event::Disconnect, &P::versionRead, kSameStage},
    {State::OpenBinUpload, Event::Timer, &P::openBinUpload, Stage::UploadingBin},
    {State::StartBinUpload, Event::Connect, &P::startUploadStep, Stage::UploadingBin},
    {State::BinUploading, Event::Read, &P::uploading, Stage::UploadingBin},
    {State::BinUploaded, Event::Disconnect, &P::binUploaded, kSameStage},
    {State::ReadBack, Event::Timer, &P::readBack, Stage::ReadingBack},
    {State::Activate, Event::Connect, &P::activate, Stage::Activating},
    {State::Activated, Event::Disconnect, &P::activated, Stage::Activating},
    {State::OpenReset, Event::Timer, &P::openReset, Stage::Activating},
    {State::Reset, Event::Connect, &P::reset, Stage::Activating},
    {State::ResetSent, Event::Disconnect, &P::resetSent, Stage::Activating},
    {State::BeginFlashWait, Event::Timer, &P::startFlashWait, Stage::Restarting},
    {State::FlashWait, Event::Timer, &P::flashWait, Stage::Restarting},
    {State::AskNewVersion, Event::Connect, &P::askNewVersion, Stage::Restarting},
    {State::VerifyNewVersion, Event::Read, &P::verifyNewVersion, Stage::VerifyingBin},
    {State::BinDone, Event::Disconnect, &P::binDone, kSameStage},
    {State::WebOrNext, Event::Timer, &P::webOrNext, kSameStage},
    {State::StartWebUpload, Event::Connect, &P::startUploadStep, Stage::UploadingWeb},
    {State::WebUploading, Event::Read, &P::uploading, Stage::UploadingWeb},
    {State::WebUploaded, Event::Disconnect, &P::webUploaded, kSameStage},
    {State::I2cOrDone, Event::Timer, &P::i2cOrDone, kSameStage},
    {State::AskI2cVersion, Event::Connect, &P::askI2cVersion, Stage::CheckingI2c},
    {State::CheckI2cVersion, Event::Read, &P::checkI2cVersion, Stage::CheckingI2c},
    {State::StartI2cTransfer, Event::Timer, &P::startI2cTransferStep, Stage::TransferringI2c},
    {State::I2cTransferring, Event::Read, &P::i2cTransferring, Stage::TransferringI2c},
    {State::I2cFlashStarting, Event::None, &P::nothing, kSameStage},
    // Its first step runs inside the close of state 27, the others on the timer.
    {State::I2cFlashWait, Event::Timer, &P::flashWait, Stage::RestartingI2c},
    {State::AskNewI2cVersion, Event::Connect, &P::askNewVersion, Stage::RestartingI2c},
    {State::VerifyNewI2cVersion, Event::Read, &P::verifyNewVersion, Stage::VerifyingI2c},
    {State::I2cDone, Event::Disconnect, &P::i2cDone, kSameStage},
    {State::Terminal, Event::None, &P::nothing, Stage::Done},
};

constexpr bool rowsInStateOrder() {
  int i = 0;
  for (const P::StateRow& row : kStates)
    if (int(row.state) != i++) return false;
  return i == P::kStateCount;
}
static_assert(rowsInStateOrder(), "one row per state, in the order of the states");

const P::UploadStage kBinUpload{State::StartBinUpload, State::BinUploading, State::BinUploaded, &P::binFile, true,
                                "Upload bin file.", "Bin file upload error !", "Bin file uploaded succesfully."};
const P::UploadStage kWebUpload{State::StartWebUpload, State::WebUploading, State::WebUploaded, &P::webFile, false,
                                "Uploading web file.", "Web file upload error !", "Web file uploaded succesfully."};

const P::FlashStage kNetworkFlash{State::FlashWait,
                                  State::AskNewVersion,
                                  State::VerifyNewVersion,
                                  State::BinDone,
                                  "Flashing.",
                                  "Read new firmware version.",
                                  "Version error after upgrade.",
                                  "Device still restarting, trying again (%1 s left).",
                                  &ORVCRoVivazava::network,
                                  &P::requestDeviceVersion};
const P::FlashStage kI2cFlash{State::I2cFlashWait,
                              State::AskNewI2cVersion,
                              State::VerifyNewI2cVersion,
                              State::I2cDone,
                              "Flashing I2C device.",
                              "Read new firmware I2C version.",
                              "Version I2C error after upgrade.",
                              "I2C device still restarting, trying again (%1 s left).",
                              &ORVCRoVivazava::i2c,
                              &P::requestI2cVersion};

}  // namespace

// ====================================================================================
// Stepping and moving on
// ====================================================================================

const P::StateRow& P::rowOf(State s) { return kStates[int(s)]; }

const std::optional<Stage>& P::stageOf(State s) { return rowOf(s).stage; }

bool P::waitsForAnswer(State s) { return rowOf(s).runsOn == Event::Read; }

void P::sequencerStep() { (this->*rowOf(state).step)(); }

bool P::advance(State from, State to) {
  // A call inside the step may have ended the upgrade (or let another step run): a state
  // that is no longer `from` stays as it is.
  if (state != from) return false;
  enter(to);
  return true;
}

Outcome P::outcomeAfter(State during, bool ok) const {
  if (state != during) return Outcome::Ended;
  return ok ? Outcome::Done : Outcome::Refused;
}

// The end of a step whose call could end the upgrade; true when it moved on.
bool P::settle(Outcome outcome, State from, State to, const QString& refusal, bool close) {
  switch (outcome) {
    case Outcome::Done:
      return advance(from, to);
    case Outcome::Refused:
      reportFailure(refusal, close);
      return false;
    case Outcome::Ended:
      return false;
  }
  return false;
}

// Connected: announce (unless null), then send the request whose answer the next state waits for.
void P::ask(State from, State to, const char* announcement, void (P::*request)()) {
  if (!advance(from, to)) return;
  if (announcement) announce(QString::fromLatin1(announcement));
  (this->*request)();
}

void P::succeed(State from) {
  if (state != from) return;
  // A run that wrote nothing skipped every firmware: the device was already current.
  endRun(options.checkOnly ? UpgradeResult::Checked
                           : end.written ? UpgradeResult::Upgraded : UpgradeResult::Current);
  // Terminal before the report: an owner that closes on success must find no upgrade running.
  if (advance(from, State::Terminal)) report(StatusSucceeded, -1, QStringLiteral("0"));
}

// ====================================================================================
// The device's version and the .bin
// ====================================================================================

void P::openCommon() {
  if (advance(State::OpenCommon, State::AskVersion)) openConnection(ipAddress, settings.commonPort);
}

void P::askVersion() {
  ask(State::AskVersion, State::CheckVersion, "Check actual firmware version.", &P::requestDeviceVersion);
}

void P::checkVersion() {
  // Without a .bin the answer is not examined.
  const Outcome outcome =
      binFile ? checkCompatibility(CheckTarget::Network, State::CheckVersion) : Outcome::Done;
  if (settle(outcome, State::CheckVersion, State::VersionRead, QStringLiteral("Type or version error."), true))
    closeAndContinue();
}

// A check goes on to the I2C device's version only; a .bin that the device already runs
// may be left out.
State P::afterVersionRead() const {
  if (options.checkOnly) return State::I2cOrDone;
  if (binFile && !skipsTransfer(networkComparison)) return State::OpenBinUpload;
  return State::WebOrNext;
}

void P::versionRead() {
  if (advance(State::VersionRead, afterVersionRead())) armStepTimer();
}

void P::openBinUpload() { openUpload(State::OpenBinUpload, kBinUpload); }

void P::binUploaded() {
  if (advance(State::BinUploaded, State::ReadBack)) armStepTimer();
}

void P::readBack() {
  announce(QStringLiteral("Uploaded bin file check."));
  const int result = readBackCheck();
  if (result == -1) {
    if (!advance(State::ReadBack, State::Activate)) return;
    announce(QStringLiteral("Test => OK"));
    openConnection(ipAddress, settings.filePort);
  } else if (result == 0) {
    reportFailure(QStringLiteral("Test => ERROR : File length incorrect or connection problem."), false);
  } else {
    reportFailure(QStringLiteral("Test => ERROR @ pos %1").arg(result), false);
  }
}

void P::activate() {
  if (!advance(State::Activate, State::Activated)) return;
  announce(QStringLiteral("Activating bin file."));
  requestActivation();
  closeAndContinue();
}

void P::activated() {
  if (advance(State::Activated, State::OpenReset)) armStepTimer();
}

void P::openReset() {
  if (!advance(State::OpenReset, State::Reset)) return;
  announce(QStringLiteral("Reseting processor."));
  openConnection(ipAddress, settings.commonPort);
}

void P::reset() {
  if (!advance(State::Reset, State::ResetSent)) return;
  requestReset();
  closeAndContinue();
}

void P::resetSent() {
  if (advance(State::ResetSent, State::BeginFlashWait)) armStepTimer();
}

void P::startFlashWait() {
  if (!advance(State::BeginFlashWait, kNetworkFlash.wait)) return;
  beginFlashWait(kNetworkFlash);
  armStepTimer();
}

void P::binDone() {
  if (advance(State::BinDone, State::WebOrNext)) armStepTimer();
}

// ====================================================================================
// The .web
// ====================================================================================

void P::webOrNext() {
  if (!webFile) {
    if (advance(State::WebOrNext, State::I2cOrDone)) armStepTimer();
    return;
  }
  openUpload(State::WebOrNext, kWebUpload);
}

void P::webUploaded() {
  if (bi2File)
    advance(State::WebUploaded, State::I2cOrDone);
  else
    succeed(State::WebUploaded);
  armStepTimer();
}

// ====================================================================================
// The .bi2
// ====================================================================================

void P::i2cOrDone() {
  if (!bi2File) {
    succeed(State::I2cOrDone);
    armStepTimer();
    return;
  }
  if (advance(State::I2cOrDone, State::AskI2cVersion)) openConnection(ipAddress, settings.commonPort);
}

void P::askI2cVersion() {
  ask(State::AskI2cVersion, State::CheckI2cVersion, "Check actual firmware version on I2C device.",
      &P::requestI2cVersion);
}

bool P::skipsTransfer(const SetComparison& comparison) const {
  return options.skipCurrent && comparison.relation == SetComparison::Same;
}

void P::checkI2cVersion() {
  const Outcome outcome = checkCompatibility(CheckTarget::I2c, State::CheckI2cVersion);
  // Without a transfer the run ends with the close of this connection.
  const bool transfers = !options.checkOnly && !skipsTransfer(i2cComparison);
  if (!settle(outcome, State::CheckI2cVersion, transfers ? State::StartI2cTransfer : State::I2cDone,
              QStringLiteral("I2C device type or version error."), true))
    return;
  if (transfers)
    armStepTimer();
  else
    closeAndContinue();
}

void P::startI2cTransferStep() {
  settle(startI2cTransfer(State::StartI2cTransfer), State::StartI2cTransfer, State::I2cTransferring,
         QStringLiteral("Bi2 file upload error !"), false);
}

void P::i2cTransferring() {
  if (transfer != Transfer::None) return;
  announce(QStringLiteral("Bi2 file uploaded succesfully."));
  progress(0);
  if (!advance(State::I2cTransferring, State::I2cFlashStarting)) return;
  if (!settle(startI2cFlashing(State::I2cFlashStarting), State::I2cFlashStarting, kI2cFlash.wait,
              QStringLiteral("Error while start flashing on I2C device !"), false))
    return;
  beginFlashWait(kI2cFlash);
  closeAndContinue();
}

void P::i2cDone() { succeed(State::I2cDone); }

// ====================================================================================
// Uploads, .bin and .web: connect to the file port, start, wait for the last acknowledgement
// ====================================================================================

const P::UploadStage& P::uploadStage() const { return state >= kWebUpload.start ? kWebUpload : kBinUpload; }

void P::openUpload(State from, const UploadStage& stage) {
  if (!advance(from, stage.start)) return;
  announce(QString::fromLatin1(stage.opening));
  openConnection(ipAddress, settings.filePort);
}

void P::startUploadStep() {
  const UploadStage& stage = uploadStage();
  settle(startUpload(this->*stage.file, stage.isBin, stage.start), stage.start, stage.uploading,
         QString::fromLatin1(stage.refusal), false);
}

void P::uploading() {
  if (transfer != Transfer::None) return;
  const UploadStage& stage = uploadStage();
  if (!advance(stage.uploading, stage.uploaded)) return;
  announce(QString::fromLatin1(stage.finished));
  progress(0);
  closeAndContinue();
}

// ====================================================================================
// After flashing, both halves: wait, reconnect, read the new version, compare
// ====================================================================================

const P::FlashStage& P::flashStage() const { return state >= kI2cFlash.wait ? kI2cFlash : kNetworkFlash; }

void P::beginFlashWait(const FlashStage& stage) {
  announce(QString::fromLatin1(stage.flashing));
  flashCountdown = settings.flashWaitMs;
  restartDeadline.setRemainingTime(settings.restartTimeoutMs, Qt::PreciseTimer);
  restartAttempts = 0;
}

// One step of a flashing wait; true when the wait is over.
bool P::flashingWaitStep() {
  if (flashCountdown <= 0) return true;
  flashCountdown -= settings.stepMs;
  armStepTimer();
  progress(std::max(0, int(qint64(flashCountdown) * 100 / settings.flashWaitMs)));
  return false;
}

void P::flashWait() {
  const FlashStage& stage = flashStage();
  // Between two attempts only the step timer moves on, not a late event of the dropped
  // connection.
  if (restartAttempts > 0 && stepTimer.isActive()) return;
  if (!flashingWaitStep() || !advance(stage.wait, stage.ask)) return;
  if (restartAttempts == 0) progress(0);
  openConnection(ipAddress, settings.commonPort);
}

void P::askNewVersion() {
  const FlashStage& stage = flashStage();
  // Announced once: a later attempt follows its "still restarting" line.
  ask(stage.ask, stage.verify, restartAttempts == 0 ? stage.reading : nullptr, stage.request);
}

void P::verifyNewVersion() {
  const FlashStage& stage = flashStage();
  if (settle(verifyVersion(q.*stage.versions), stage.verify, stage.done, QString::fromLatin1(stage.mismatch), true))
    closeAndContinue();
}

bool P::inRestart() const {
  const FlashStage& stage = flashStage();
  return state == stage.ask || state == stage.verify;
}

bool P::retriedNoAnswer() {
  if (inRestart()) {
    // A flashed device that does not answer yet may still be restarting.
    if (settings.restartTimeoutMs > settings.flashWaitMs && !restartDeadline.hasExpired()) {
      retryAfterRestart();
      return true;
    }
    failureResult = UpgradeResult::Unconfirmed;
  } else if (!end.written && (state == State::AskVersion || state == State::CheckVersion)) {
    failureResult = UpgradeResult::Unreachable;
  }
  return false;
}

// Back to the end of the flashing wait: the next step timer connects again.
void P::retryAfterRestart() {
  const FlashStage& stage = flashStage();
  const qint64 secondsLeft = (restartDeadline.remainingTime() + 999) / 1000;
  stopWait();
  endTransfer();
  {
    // Its events would step the sequencer before the step timer.
    const QSignalBlocker quiet(connection);
    connection.abort();
  }
  enter(stage.wait);
  flashCountdown = 0;
  ++restartAttempts;
  armStepTimer();
  announce(QString::fromLatin1(stage.restarting).arg(secondsLeft));
}
