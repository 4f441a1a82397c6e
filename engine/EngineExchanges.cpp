// The engine's exchanges with the device: the requests and answers of the common port,
// the version checks, the uploads of the file port, the readback and the I2C flashing
// through the gateway.
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "engine/ORVCRoVivazavaPrivate.h"

#include <string_view>

using namespace orvane::proto;
using orvane::engine::CheckTarget;
using orvane::engine::CompatibilityVerdict;
using orvane::engine::SetComparison;
using orvane::engine::UpgradeResult;
using P = ORVCRoVivazavaPrivate;
using Outcome = P::Outcome;
using Awaited = P::Awaited;
using State = P::State;

namespace {
// An UploadAnswer whose status text holds "BytesWritten": what decodeUploadAnswer makes a
// successful chunk acknowledgement of.
bool chunkAcknowledged(const QByteArray& answer) {
  if (answer.size() <= kFrameOverhead || answer.at(0) != 0 || quint8(answer.at(1)) != UploadAnswer) return false;
  const std::string_view text(answer.constData() + kHeaderSize, size_t(answer.size() - kFrameOverhead));
  return text.find("BytesWritten") != std::string_view::npos;
}

QString answerDetail(const QByteArray& answer) { return QStringLiteral("answer ") + frameExcerpt(answer); }

QString versionsDetail(const VersionSet& s) {
  return QStringLiteral("device type %1 firmware %2, file type %3 firmware %4")
      .arg(s.deviceFirmwareType)
      .arg(versionText(s.deviceFirmwareVersion))
      .arg(s.fileFirmwareType)
      .arg(versionText(s.fileFirmwareVersion));
}
}  // namespace

// ====================================================================================
// Common port
// ====================================================================================

// The device's values are cleared before each version read: a comparison never falls back
// on what an earlier read stored.
void P::requestDeviceVersion() {
  q.network.clearDeviceValues();
  // Without a .bin the first read is not examined, and any answer will do.
  send(deviceVersionRequest(), binFile ? Awaited::DeviceVersion : Awaited::AnyAnswer);
}
void P::requestReset() {
  markWritten();
  send(resetRequest(), Awaited::None);
}
void P::requestActivation() {
  markWritten(true);
  send(activationRequest(binFile ? binFile->size() : 0), Awaited::None);
}
void P::requestI2cVersion() {
  q.i2c.clearDeviceValues();
  send(i2cVersionRequest(quint8(i2cAddress)), Awaited::I2cVersion);
}

// Ends the transfer in progress (if any) and the upgrade; the log says where it stood.
void P::failTransfer(const QString& message, bool close, const QString& detail) {
  const QString where = transferDetail();
  endTransfer();
  reportFailure(message, close, where.isEmpty() ? detail : where + QStringLiteral(", ") + detail);
}

void P::dispatchCommonAnswer(const QByteArray& answer) {
  if (!connected()) {
    failTransfer(QStringLiteral("Socket error on common port !"), false, answerDetail(answer));
    return;
  }
  switch (commonAnswerKind(answer)) {
    case CommonAnswerKind::Variables:
      storeVariables(answer);
      return;
    case CommonAnswerKind::I2cTransfer:
      handleI2cTransferAnswer(answer);
      return;
    case CommonAnswerKind::I2cError: {
      // The I2C device does not answer on its bus while it restarts after flashing.
      if (state == State::VerifyNewI2cVersion && retriedNoAnswer()) return;
      const int code = i2cErrorCode(answer);
      failTransfer(i2cErrorText(code) + QStringLiteral(" (error = %1).").arg(code), true, answerDetail(answer));
      return;
    }
    case CommonAnswerKind::Unknown:
      failTransfer(QStringLiteral("Error. Invalid answer from device !"), true, answerDetail(answer));
      return;
  }
}

void P::storeVariables(const QByteArray& answer) {
  const bool examined = awaited == Awaited::DeviceVersion;
  if (!takeAnswer(Awaited::DeviceVersion)) {
    failTransfer(QStringLiteral("Error. Invalid answer from device !"), true, answerDetail(answer));
    return;
  }
  const DecodedVariables values = decodeVariablesAnswer(answer);
  // The entries before a bad one are kept.
  if (values.firmwareType) q.network.deviceFirmwareType = *values.firmwareType;
  if (values.versionWord) {
    q.network.deviceFirmwareVersion = values.versionWord->firmware;
    q.network.deviceHardwareVersion = values.versionWord->hardware;
  }
  switch (values.status) {
    case DecodedVariables::Complete:
      // A version that is compared needs both of its values from this answer.
      if (examined && !(values.firmwareType && values.versionWord))
        failTransfer(QStringLiteral("Error. Invalid answer from device !"), true,
                     answerDetail(answer) + QStringLiteral(", firmware type or version word missing"));
      return;
    case DecodedVariables::UnknownVariable:
      // The transfer (if any) and the connection are left as they are.
      reportFailure(QStringLiteral("IP Packet error : Unknown variable"), false, answerDetail(answer));
      return;
    case DecodedVariables::EntryCutShort:
      failTransfer(QStringLiteral("Error. Invalid answer from device !"), true, answerDetail(answer));
      return;
  }
}

void P::handleI2cTransferAnswer(const QByteArray& answer) {
  const DecodedI2cTransfer decoded = classifyI2cTransferAnswer(answer);
  switch (decoded.kind) {
    case DecodedI2cTransfer::I2cVersion:
      if (!takeAnswer(Awaited::I2cVersion)) break;
      q.i2c.deviceFirmwareType = decoded.firmwareType;
      q.i2c.deviceFirmwareVersion = decoded.versionWord.firmware;
      q.i2c.deviceHardwareVersion = decoded.versionWord.hardware;
      return;
    case DecodedI2cTransfer::BlockWritten:
      if (takeAnswer(Awaited::BlockWritten)) return onBlockWritten();
      break;
    case DecodedI2cTransfer::BlockReadBack:
      if (takeAnswer(Awaited::BlockReadBack)) return onBlockReadBack(decoded.block);
      break;
    case DecodedI2cTransfer::FlashStarted:
      // The start-flashing request waits for nothing: only a read that takes any answer
      // takes this one.
      if (takeAnswer(Awaited::AnyAnswer)) return;
      break;
    case DecodedI2cTransfer::Invalid:
      break;
  }
  failTransfer(QStringLiteral("Error. Invalid answer from I2C device !"), true, answerDetail(answer));
}

// ====================================================================================
// Version checks
// ====================================================================================

// Compares the device with its file and applies the checks. A check only compares; a
// downgrade may be refused without a question.
Outcome P::checkCompatibility(CheckTarget target, State during) {
  const VersionSet& set = target == CheckTarget::Network ? q.network : q.i2c;
  SetComparison& comparison = target == CheckTarget::Network ? networkComparison : i2cComparison;
  comparison = orvane::engine::compareSet(set, target);
  if (options.checkOnly) return outcomeAfter(during, true);
  announceComparison(target);
  if (options.refuseDowngrade && comparison.relation == SetComparison::Downgrade)
    return refuseDowngradeOf(target, during);
  const CompatibilityVerdict verdict = orvane::engine::evaluateCompatibility(set, target, batchMode);
  switch (verdict.kind) {
    case CompatibilityVerdict::Accept:
      return outcomeAfter(during, true);
    case CompatibilityVerdict::Refuse:
      failureResult = UpgradeResult::Incompatible;
      complain(verdict.text, versionsDetail(set));
      return outcomeAfter(during, false);
    case CompatibilityVerdict::AskDowngrade: {
      questionOpen = true;
      const bool yes = orvane::ui::askYesNo(QStringLiteral("Warning"), verdict.text);
      questionOpen = false;
      if (!yes) failureResult = UpgradeResult::Incompatible;
      return outcomeAfter(during, yes);
    }
  }
  return outcomeAfter(during, false);
}

// In batch mode: a device that already runs its file's version, or a downgrade, is said.
void P::announceComparison(CheckTarget target) {
  if (!batchMode) return;
  const bool i2c = target == CheckTarget::I2c;
  const VersionSet& set = i2c ? q.i2c : q.network;
  const QString device = i2c ? QStringLiteral("I2C device ") : QString();
  switch ((i2c ? i2cComparison : networkComparison).relation) {
    case SetComparison::Same:
      announce(device + QStringLiteral("already at %1: %2")
                            .arg(versionText(set.deviceFirmwareVersion),
                                 options.skipCurrent ? QStringLiteral("skipped") : QStringLiteral("flashing it again")));
      return;
    case SetComparison::Downgrade:
      announce(device + QStringLiteral("downgrade %1 \u2192 %2")
                            .arg(versionText(set.deviceFirmwareVersion), versionText(set.fileFirmwareVersion)));
      return;
    default:
      return;
  }
}

Outcome P::refuseDowngradeOf(CheckTarget target, State during) {
  const bool i2c = target == CheckTarget::I2c;
  const VersionSet& set = i2c ? q.i2c : q.network;
  failureResult = UpgradeResult::Incompatible;
  complain((i2c ? QStringLiteral("I2C device: ") : QString()) +
               QStringLiteral("Downgrade from %1 to %2 refused.")
                   .arg(versionText(set.deviceFirmwareVersion), versionText(set.fileFirmwareVersion)),
           versionsDetail(set));
  return outcomeAfter(during, false);
}

// After flashing. A mismatch is reported here first; the sequencer then adds its own.
Outcome P::verifyVersion(const VersionSet& set) {
  if (orvane::engine::deviceRunsFileVersion(set)) return Outcome::Done;
  reportFailure(orvane::engine::kVersionAfterFlashMismatch, false, versionsDetail(set));
  return Outcome::Refused;
}

// ====================================================================================
// File port: uploads of .bin and .web
// ====================================================================================

Outcome P::startUpload(const QByteArray* fileData, bool isBin, State during) {
  if (!fileData) return outcomeAfter(during, false);
  transferBuffer = isBin ? binUploadImage(*fileData) : *fileData;
  if (transferBuffer.size() >= kMaxImageSize) {
    // The 24-bit offsets would wrap and overwrite the start of the device's memory.
    const QString detail = QStringLiteral("image %1 bytes").arg(transferBuffer.size());
    endTransfer();
    complain(QStringLiteral("%1 file too large: an upload holds at most %2 bytes.")
                 .arg(isBin ? QStringLiteral("Bin") : QStringLiteral("Web"))
                 .arg(kMaxImageSize - 1),
             detail);
    return outcomeAfter(during, false);
  }
  if (!connected()) {
    endTransfer();
    complain(isBin ? QStringLiteral("Load bin files error. Socket not active !")
                   : QStringLiteral("Load web files error. Socket not active !"));
    return outcomeAfter(during, false);
  }
  transfer = Transfer::Upload;
  blockIndex = 0;
  transferPercent = -1;
  markWritten();
  send(uploadStartRequest(), Awaited::UploadStarted);
  return outcomeAfter(during, true);
}

void P::handleUploadAnswer(const QByteArray& answer) {
  if (!connected()) {
    failTransfer(QStringLiteral("File upload error. Socket error !"), false, answerDetail(answer));
    return;
  }
  // The answer of nearly every exchange: the chunk in flight acknowledged. Taken from the
  // bytes as they are, without decoding the text; everything else goes the long way.
  if (transfer == Transfer::Upload && awaited == Awaited::ChunkWritten && chunkAcknowledged(answer)) {
    endWait();
    sendNextChunk();
    return;
  }
  const DecodedUpload decoded = decodeUploadAnswer(answer);
  const QString invalid = QStringLiteral("File upload error. Invalid answer from device !");
  // Lock-step: each answer belongs to the one request in flight; an answer that nothing
  // waits for would otherwise be counted for a request that has not been answered yet.
  if (!decoded.isUploadAnswer || transfer != Transfer::Upload || awaited == Awaited::None) {
    failTransfer(invalid, true, answerDetail(answer));
    return;
  }
  if (!decoded.success) {
    failTransfer(QStringLiteral("File upload error : ") + decoded.text, true, answerDetail(answer));
    return;
  }
  // A chunk is acknowledged with "BytesWritten" only: a second acknowledgement of the start
  // ("MemoryErased") is no answer to the chunk in flight.
  const bool chunkWritten = decoded.text.contains(QLatin1String("BytesWritten"));
  if (!takeAnswer(Awaited::UploadStarted) && !(chunkWritten && takeAnswer(Awaited::ChunkWritten))) {
    failTransfer(invalid, true, answerDetail(answer));
    return;
  }
  sendNextChunk();
}

// One chunk per acknowledgement; the acknowledgement of the last one ends the upload.
void P::sendNextChunk() {
  const qint64 total = transferBuffer.size();
  const qint64 offset = qint64(kChunkSize) * blockIndex;
  const qint64 remaining = total - offset;
  if (remaining <= 0) {
    endTransfer();
    return;
  }
  send(uploadDataRequest(quint32(offset), chunkAt(offset)), Awaited::ChunkWritten);
  transferProgress(remaining > kChunkSize ? int(offset * 100 / total) : 100);
  ++blockIndex;
}

// The chunk of the transfer at `offset` (shorter at the end), without a copy: the request
// is built from it at once, while transferBuffer stays untouched.
QByteArray P::chunkAt(qint64 offset) const {
  const qint64 length = std::min<qint64>(kChunkSize, std::max<qint64>(0, transferBuffer.size() - offset));
  return QByteArray::fromRawData(transferBuffer.constData() + offset, length);
}

void P::transferProgress(int percent) {
  if (percent == transferPercent) return;
  transferPercent = percent;
  progress(percent);
}

// ====================================================================================
// Readback
// ====================================================================================

int P::readBackCheck() {
  const orvane::engine::ReadbackResponse response =
      readbackClient.fetch(ipAddress, settings.httpPort, settings.httpTimeoutMs);
  if (!response.succeeded) {
    // A redirection is left to the sequencer's own report.
    if (response.status != 302)
      fail(QStringLiteral("HTTP connection Failed !"),
           QStringLiteral(" [device %1, HTTP port %2, %3]").arg(ipAddress).arg(settings.httpPort).arg(response.failure),
           false);
    return 0;
  }
  if (!binFile) return 0;
  return orvane::engine::compareReadback(response.body, binReadbackExpected(*binFile));
}

// ====================================================================================
// I2C flashing through the gateway
// ====================================================================================

Outcome P::startI2cTransfer(State during) {
  if (!bi2File) return outcomeAfter(during, false);
  transferBuffer = i2cImage(*bi2File, 0xFF);
  blockIndex = 0;
  transferPercent = -1;
  if (!connected()) {
    endTransfer();
    complain(QStringLiteral("Load bi2 files error. Socket not active !"));
    return outcomeAfter(during, false);
  }
  transfer = Transfer::I2c;
  sendBlockWrite(0);
  return outcomeAfter(during, true);
}

void P::sendBlockWrite(int block) {
  markWritten();
  const qint64 offset = qint64(kChunkSize) * block;
  send(i2cBlockWriteRequest(quint8(i2cAddress), quint32(offset), chunkAt(offset)), Awaited::BlockWritten);
}

void P::onBlockWritten() {
  send(i2cBlockReadBackRequest(quint8(i2cAddress), quint32(qint64(kChunkSize) * blockIndex)), Awaited::BlockReadBack);
}

void P::onBlockReadBack(const QByteArray& block) {
  const qint64 start = qint64(kChunkSize) * blockIndex;
  for (int i = 0; i < kChunkSize; ++i) {
    if (transferBuffer.at(start + i) != block.at(i)) {
      const QString detail = QStringLiteral("written %1, read back %2")
                                 .arg(quint8(transferBuffer.at(start + i)), 2, 16, QLatin1Char('0'))
                                 .arg(quint8(block.at(i)), 2, 16, QLatin1Char('0'));
      failTransfer(QStringLiteral("Writing ERROR @ pos %1").arg(start + i), false, detail);
      return;
    }
  }
  ++blockIndex;
  const qint64 length = transferBuffer.size();
  const qint64 done = qint64(kChunkSize) * blockIndex;
  if (length - done <= 0) {
    transferProgress(100);
    endTransfer();
    return;
  }
  transferProgress(int(done * 100 / length));
  sendBlockWrite(blockIndex);
}

Outcome P::startI2cFlashing(State during) {
  if (!connected() || !bi2File) {
    endTransfer();
    complain(QStringLiteral("Start I2C device flashing error. Socket not active !"));
    return outcomeAfter(during, false);
  }
  markWritten(true);
  send(i2cStartFlashingRequest(quint8(i2cAddress), quint32(i2cImageLength(bi2File->size()))), Awaited::None);
  return outcomeAfter(during, true);
}
