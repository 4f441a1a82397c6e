#include "app/FleetOutput.h"

#include <QJsonObject>
#include <cstdio>

using orvane::engine::UpgradeStage;

namespace {

QJsonObject withIp(QJsonObject event, const QString& ip) {
  event.insert(QStringLiteral("ip"), ip);
  return event;
}

// The facts that name a device on its lines: its address and its name.
RunSummary namedDevice(const FleetJob& job) {
  RunSummary named;
  named.ip = job.ip;
  named.name = job.name;
  return named;
}

qint64 sizeOf(const std::shared_ptr<const orvane::LoadedFirmware>& file) { return file ? file->content.size() : 0; }

// The bytes a stage's percentage counts, when the stage is a transfer.
qint64 transferTotal(const FleetJob& job, UpgradeStage stage) {
  switch (stage) {
    case UpgradeStage::UploadingBin:
    case UpgradeStage::ReadingBack: return sizeOf(job.bin);
    case UpgradeStage::UploadingWeb: return sizeOf(job.web);
    case UpgradeStage::TransferringI2c: return sizeOf(job.bi2);
    default: return 0;
  }
}

// How a finished device reads on its line: "upgraded 3.10 → 3.11 in 18.4 s",
// "failed: <reason>".
QString outcomeText(const RunSummary& s) {
  QString text = s.result;
  const DeviceFacts& d = reportedDevice(s);
  if (s.result == QLatin1String("upgraded") && d.read && d.toKnown)
    text += u' ' + orvane::proto::versionText(d.from) + QStringLiteral(" → ") + orvane::proto::versionText(d.to);
  else if (s.result == QLatin1String("current") && d.read)
    text = QStringLiteral("already at ") + orvane::proto::versionText(d.from) + QStringLiteral(": skipped");
  if (!s.reason.isEmpty()) text += QStringLiteral(": ") + s.reason;
  return text + QStringLiteral(" (%1 s)").arg(s.seconds, 0, 'f', 1);
}

}  // namespace

FleetOutput::FleetOutput(BatchOutput::Format format, bool plan, int devices) : format_(format), plan_(plan) {
  if (format_ == BatchOutput::Format::Terminal) table_ = std::make_unique<FleetLiveTable>(devices);
  clock_.start();
}

FleetOutput::~FleetOutput() = default;

FleetOutput::Device& FleetOutput::device(const FleetJob& job) {
  auto it = devices_.find(job.ip);
  if (it == devices_.end())
    it = devices_.insert(job.ip, Device{fleetDeviceLabel(namedDevice(job)), QString(), 0, ProgressThrottle(), true});
  return *it;
}

void FleetOutput::printDeviceLine(const FleetJob& job, const QString& text) {
  const QString line = fleetDeviceLine(namedDevice(job), text);
  if (table_) table_->printLine(line);
  else printOutputLine(line);
}

void FleetOutput::started(const FleetJob& job) {
  Device& d = device(job);
  if (table_) table_->deviceStarted(job.ip, d.label);
}

void FleetOutput::stage(const FleetJob& job, UpgradeStage stage) {
  Device& d = device(job);
  d.stage = QString::fromLatin1(orvane::engine::stageName(stage));
  d.total = transferTotal(job, stage);
  d.stageFresh = true;
  if (format_ == BatchOutput::Format::Json && stage != UpgradeStage::Done)
    printJsonLine(withIp(stageEvent(d.stage, clock_.elapsed() / 1000.0), job.ip));
  if (table_) table_->deviceStage(job.ip, d.stage);
}

void FleetOutput::progress(const FleetJob& job, int percent) {
  Device& d = device(job);
  if (table_) table_->deviceProgress(job.ip, percent);
  if (format_ != BatchOutput::Format::Json) return;
  const bool fresh = d.stageFresh;
  d.stageFresh = false;
  if (!d.throttle.shouldEmit(clock_.elapsed(), percent, fresh)) return;
  printJsonLine(withIp(progressEvent(d.stage, percent, d.total * percent / 100, d.total), job.ip));
}

void FleetOutput::message(const FleetJob& job, const QString& text) {
  if (format_ == BatchOutput::Format::Json) printJsonLine(withIp(messageEvent(text), job.ip));
  else if (!plan_) printDeviceLine(job, text);
}

void FleetOutput::finished(const FleetJob& job, const RunSummary& summary, bool force, bool allowDowngrade) {
  if (table_) table_->deviceEnded(job.ip);
  if (format_ == BatchOutput::Format::Json) {
    printJsonLine(resultEvent(summary));
    return;
  }
  printDeviceLine(job, plan_ ? fleetPlanText(summary, force, allowDowngrade) : outcomeText(summary));
}

void FleetOutput::note(const QString& text) {
  if (table_) table_->clear();
  printProgramError(text);
}

void FleetOutput::summary(const QList<RunSummary>& devices, double seconds, const QDateTime& started) {
  if (format_ == BatchOutput::Format::Json) {
    printJsonLine(fleetSummaryEvent(devices, plan_ ? QStringLiteral("check") : QStringLiteral("upgrade"), seconds,
                                    started));
    return;
  }
  if (table_) table_->clear();
  printOutputLine(QString());
  for (const QString& line : fleetSummaryTable(devices)) printOutputLine(line);
  printOutputLine(fleetSummaryLine(devices, seconds));
}
