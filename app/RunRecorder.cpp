#include "app/RunRecorder.h"

using orvane::engine::SetComparison;
using orvane::engine::UpgradeResult;
using orvane::engine::UpgradeStage;

QString relationName(SetComparison::Relation relation) {
  switch (relation) {
    case SetComparison::Upgrade: return QStringLiteral("upgrade");
    case SetComparison::Same: return QStringLiteral("same");
    case SetComparison::Downgrade: return QStringLiteral("downgrade");
    case SetComparison::Incompatible: return QStringLiteral("incompatible");
    case SetComparison::NotChecked: break;
  }
  return {};
}

namespace {

// The device's values as they were read before anything was written to it.
void takeBefore(DeviceFacts& facts, const VersionSet& set, const SetComparison& comparison) {
  if (facts.read || comparison.relation == SetComparison::NotChecked) return;
  facts.read = true;
  facts.type = set.deviceFirmwareType;
  facts.from = set.deviceFirmwareVersion;
  facts.hardware = set.deviceHardwareVersion;
  facts.fileType = set.fileFirmwareType;
  facts.fileVersion = set.fileFirmwareVersion;
  facts.relation = relationName(comparison.relation);
  facts.reason = comparison.reason;
}

}  // namespace

void RunRecorder::begin(const QString& mode, const QString& ip, int i2cAddress, QList<RunFile> files) {
  summary_ = RunSummary{};
  summary_.mode = mode;
  summary_.ip = ip;
  summary_.i2cAddress = i2cAddress;
  summary_.files = std::move(files);
  summary_.started = QDateTime::currentDateTimeUtc();
  summary_.stage = QString::fromLatin1(orvane::engine::stageName(UpgradeStage::Starting));
  stage_ = UpgradeStage::Starting;
  networkVerified_ = false;
  i2cVerified_ = false;
  running_ = true;
  clock_.start();
}

void RunRecorder::capture(const ORVCRoVivazava& engine) {
  takeBefore(summary_.network, engine.network, engine.networkComparison());
  takeBefore(summary_.i2c, engine.i2c, engine.i2cComparison());
}

void RunRecorder::stageChanged(UpgradeStage stage, const ORVCRoVivazava& engine) {
  if (!running_) return;
  capture(engine);
  if (stage == UpgradeStage::VerifyingBin) networkVerified_ = true;
  if (stage == UpgradeStage::VerifyingI2c) i2cVerified_ = true;
  stage_ = stage;
}

// After the run: the version the device runs now, when it is known.
void RunRecorder::finishDevice(DeviceFacts& facts, const VersionSet& set, bool flashedAndConfirmed) const {
  if (!facts.read) return;
  if (flashedAndConfirmed) {
    facts.to = set.deviceFirmwareVersion;
    facts.toKnown = true;
  } else if (!summary_.activated || facts.relation == QLatin1String("incompatible")) {
    facts.to = facts.from;
    facts.toKnown = true;
  }
}

const RunSummary& RunRecorder::end(const ORVCRoVivazava& engine) {
  if (!running_) return summary_;
  capture(engine);
  const orvane::engine::UpgradeEnd& end = engine.lastEnd();
  summary_.written = end.written;
  summary_.activated = end.activated;
  const bool success = end.result == UpgradeResult::Upgraded || end.result == UpgradeResult::Current ||
                       end.result == UpgradeResult::Checked;
  // A run that succeeded went all the way; a failed one names the stage it ended in.
  summary_.stage = QString::fromLatin1(orvane::engine::stageName(success ? UpgradeStage::Done : end.stage));
  finishDevice(summary_.network, engine.network, success && networkVerified_);
  finishDevice(summary_.i2c, engine.i2c, success && i2cVerified_);
  close(resultName(end.result), success ? QString() : end.reason);
  return summary_;
}

const RunSummary& RunRecorder::fileRefused(const QString& reason) {
  summary_.stage = QString::fromLatin1(orvane::engine::stageName(UpgradeStage::Starting));
  close(QStringLiteral("file-refused"), reason);
  return summary_;
}

void RunRecorder::close(const QString& result, const QString& reason) {
  for (RunFile& file : summary_.files) hashRunFile(file);
  summary_.result = result;
  summary_.exitCode = exitCodeFor(result);
  summary_.reason = reason;
  summary_.seconds = clock_.isValid() ? double(clock_.elapsed()) / 1000.0 : 0.0;
  running_ = false;
}
