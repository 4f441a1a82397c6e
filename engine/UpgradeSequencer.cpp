// The upgrade sequencer: one step per event, one short step function per state, all
// listed in one table with the event each state waits for.
#include "engine/ORVCRoVivazavaPrivate.h"

using namespace orvane::proto;
using orvane::engine::CheckTarget;
using P = ORVCRoVivazavaPrivate;
using State = P::State;
using Event = P::Event;
using Outcome = P::Outcome;

namespace {

constexpr P::StateRow kStates[] = {
    {State::OpenCommon, Event::Start, &P::openCommon},
    {State::AskVersion, Event::Connect, &P::askVersion},
    {State::CheckVersion, Event::Read, &P::checkVersion},
    {State::VersionRead, Event::Disconnect, &P::versionRead},
    {State::OpenBinUpload, Event::Timer, &P::openBinUpload},
    {State::StartBinUpload, Event::Connect, &P::startUploadStep},
    {State::BinUploading, Event::Read, &P::uploading},
    {State::BinUploaded, Event::Disconnect, &P::binUploaded},
    {State::ReadBack, Event::Timer, &P::readBack},
    {State::Activate, Event::Connect, &P::activate},
    {State::Activated, Event::Disconnect, &P::activated},
    {State::OpenReset, Event::Timer, &P::openReset},
    {State::Reset, Event::Connect, &P::reset},
    {State::ResetSent, Event::Disconnect, &P::resetSent},
    {State::BeginFlashWait, Event::Timer, &P::startFlashWait},
    {State::FlashWait, Event::Timer, &P::flashWait},
    {State::AskNewVersion, Event::Connect, &P::askNewVersion},
    {State::VerifyNewVersion, Event::Read, &P::verifyNewVersion},
    {State::BinDone, Event::Disconnect, &P::binDone},
    {State::WebOrNext, Event::Timer, &P::webOrNext},
    {State::StartWebUpload, Event::Connect, &P::startUploadStep},
    {State::WebUploading, Event::Read, &P::uploading},
    {State::WebUploaded, Event::Disconnect, &P::webUploaded},
    {State::I2cOrDone, Event::Timer, &P::i2cOrDone},
    {State::AskI2cVersion, Event::Connect, &P::askI2cVersion},
    {State::CheckI2cVersion, Event::Read, &P::checkI2cVersion},
    {State::StartI2cTransfer, Event::Timer, &P::startI2cTransferStep},
    {State::I2cTransferring, Event::Read, &P::i2cTransferring},
    {State::I2cFlashStarting, Event::None, &P::nothing},
    // Its first step runs inside the close of state 27, the others on the timer.
    {State::I2cFlashWait, Event::Timer, &P::flashWait},
    {State::AskNewI2cVersion, Event::Connect, &P::askNewVersion},
    {State::VerifyNewI2cVersion, Event::Read, &P::verifyNewVersion},
    {State::I2cDone, Event::Disconnect, &P::i2cDone},
    {State::Terminal, Event::None, &P::nothing},
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
                                  &ORVCRoVivazava::network,
                                  &P::requestDeviceVersion};
const P::FlashStage kI2cFlash{State::I2cFlashWait,
                              State::AskNewI2cVersion,
                              State::VerifyNewI2cVersion,
                              State::I2cDone,
                              "Flashing I2C device.",
                              "Read new firmware I2C version.",
                              "Version I2C error after upgrade.",
                              &ORVCRoVivazava::i2c,
                              &P::requestI2cVersion};

}  // namespace

// ====================================================================================
// Stepping and moving on
// ====================================================================================

const P::StateRow& P::rowOf(State s) { return kStates[int(s)]; }

bool P::waitsForAnswer(State s) { return rowOf(s).runsOn == Event::Read; }

void P::sequencerStep() { (this->*rowOf(state).step)(); }

bool P::advance(State from, State to) {
  // A call inside the step may have ended the upgrade (or let another step run): a state
  // that is no longer `from` stays as it is.
  if (state != from) return false;
  state = to;
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

// Connected: announce, then send the request whose answer the next state waits for.
void P::ask(State from, State to, const char* announcement, void (P::*request)()) {
  if (!advance(from, to)) return;
  announce(QString::fromLatin1(announcement));
  (this->*request)();
}

void P::succeed(State from) {
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

void P::versionRead() {
  if (advance(State::VersionRead, binFile ? State::OpenBinUpload : State::WebOrNext)) armStepTimer();
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

void P::checkI2cVersion() {
  if (settle(checkCompatibility(CheckTarget::I2c, State::CheckI2cVersion), State::CheckI2cVersion,
             State::StartI2cTransfer, QStringLiteral("I2C device type or version error."), true))
    armStepTimer();
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
  if (!flashingWaitStep() || !advance(stage.wait, stage.ask)) return;
  progress(0);
  openConnection(ipAddress, settings.commonPort);
}

void P::askNewVersion() {
  const FlashStage& stage = flashStage();
  ask(stage.ask, stage.verify, stage.reading, stage.request);
}

void P::verifyNewVersion() {
  const FlashStage& stage = flashStage();
  if (settle(verifyVersion(q.*stage.versions), stage.verify, stage.done, QString::fromLatin1(stage.mismatch), true))
    closeAndContinue();
}
