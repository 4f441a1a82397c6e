#include "app/FleetWorker.h"

#include "app/RunRecorder.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/ORVCRoVivazava.h"

#include <QEventLoop>
#include <QTimer>
#include <optional>

using orvane::engine::UpgradeOptions;
using orvane::engine::UpgradeStage;

namespace {

// How often a running engine looks whether it was asked to stop.
constexpr int kStopPollMs = 50;

const QByteArray* contentOf(const std::shared_ptr<const orvane::LoadedFirmware>& file) {
  return file ? &file->content : nullptr;
}

// One run of the engine for the device, a check or an upgrade, on the calling thread.
class EngineRun {
 public:
  EngineRun(const FleetJob& job, const FleetPolicy& policy, const FleetEvents& events,
            const std::atomic<bool>& stop)
      : job_(job), policy_(policy), events_(events), stop_(stop) {}

  // The run's summary, or nullopt when the engine could not be created.
  std::optional<RunSummary> run(const QString& mode, const UpgradeOptions& options);

 private:
  static void status(void* owner, int kind, int value, const QString& text);
  void stageChanged(UpgradeStage stage);
  bool safeToStop() const;
  void pollStop();
  RunSummary cancelled();

  const FleetJob& job_;
  const FleetPolicy& policy_;
  const FleetEvents& events_;
  const std::atomic<bool>& stop_;
  ORVCScanOrvaneDevice discovery_{kDiscoveryReplyWaitMs};
  ORVCRoVivazava* engine_ = nullptr;
  RunRecorder recorder_;
  QEventLoop loop_;
  UpgradeStage stage_ = UpgradeStage::Starting;
  int lastPercent_ = -1;
  bool checkOnly_ = false;
  bool cancelled_ = false;
};

std::optional<RunSummary> EngineRun::run(const QString& mode, const UpgradeOptions& options) {
  bool created = false;
  ORVCRoVivazava engine(created, &EngineRun::status, this,
                        [this](const QString& ip) { return discovery_.testPing(ip); }, policy_.engine);
  if (!created) return std::nullopt;
  engine_ = &engine;
  checkOnly_ = options.checkOnly;
  if (job_.bin) ORVCRoVivazava::storeFileIdentification(engine.network, job_.bin->identification);
  if (job_.bi2) ORVCRoVivazava::storeFileIdentification(engine.i2c, job_.bi2->identification);
  recorder_.begin(mode, job_.ip, job_.i2cAddress, job_.files);
  engine.setStageObserver([this](UpgradeStage s) { stageChanged(s); });
  QTimer poll;
  poll.setInterval(kStopPollMs);
  QObject::connect(&poll, &QTimer::timeout, [this] { pollStop(); });
  poll.start();
  engine.startUpgrade(job_.ip, job_.i2cAddress, contentOf(job_.bin), contentOf(job_.bi2), contentOf(job_.web), true,
                      options);
  if (recorder_.running()) loop_.exec();
  engine_ = nullptr;
  // Leaving this scope destroys the engine: a cancelled run's connection closes here.
  RunSummary summary = cancelled_ ? cancelled() : recorder_.summary();
  summary.name = job_.name;
  summary.mac = job_.mac;
  return summary;
}

void EngineRun::status(void* owner, int kind, int value, const QString& text) {
  auto* self = static_cast<EngineRun*>(owner);
  if (kind == StatusMessage) {
    if (text != QLatin1String("0") && self->events_.message) self->events_.message(text);
    return;
  }
  if (kind == StatusProgress) {
    if (value == self->lastPercent_) return;
    self->lastPercent_ = value;
    if (self->events_.progress) self->events_.progress(value);
    return;
  }
  if (!self->recorder_.running()) return;
  self->recorder_.end(*self->engine_);
  self->loop_.quit();
}

void EngineRun::stageChanged(UpgradeStage stage) {
  recorder_.stageChanged(stage, *engine_);
  stage_ = stage;
  lastPercent_ = -1;
  if (events_.stage) events_.stage(stage);
}

// Nothing was activated yet and nothing will be between here and the next exchange: a
// check, the reading of the devices, the upload of an image and its readback.
bool EngineRun::safeToStop() const {
  if (checkOnly_) return true;
  switch (stage_) {
    case UpgradeStage::Starting:
    case UpgradeStage::Checking:
    case UpgradeStage::UploadingBin:
    case UpgradeStage::ReadingBack: return true;
    case UpgradeStage::CheckingI2c: return !job_.bin && !job_.web;
    default: return false;
  }
}

void EngineRun::pollStop() {
  if (cancelled_ || !recorder_.running() || !stop_.load() || !safeToStop()) return;
  cancelled_ = true;
  loop_.quit();
}

RunSummary EngineRun::cancelled() {
  RunSummary summary = recorder_.summary();
  summary.result = QStringLiteral("cancelled");
  summary.exitCode = exitCodeFor(summary.result);
  summary.stage = QString::fromLatin1(orvane::engine::stageName(stage_));
  summary.written = stage_ == UpgradeStage::UploadingBin || stage_ == UpgradeStage::ReadingBack;
  summary.activated = false;
  summary.reason = summary.written ? QStringLiteral("stopped (Ctrl-C) before activation: the uploaded image was not "
                                                    "activated, the device keeps its firmware")
                                   : QStringLiteral("stopped (Ctrl-C) before anything was written");
  summary.network.to = summary.network.from;
  summary.network.toKnown = summary.network.read;
  summary.i2c.to = summary.i2c.from;
  summary.i2c.toKnown = summary.i2c.read;
  summary.seconds = summary.started.msecsTo(QDateTime::currentDateTimeUtc()) / 1000.0;
  return summary;
}

// Why a downgrade is refused, and what would let it through.
QString downgradeRefusal(const DeviceFacts& d) {
  return relationText(d) + QStringLiteral(" refused (--allow-downgrade flashes it)");
}

// A device that never got as far as its engine: the summary says why.
RunSummary notStarted(const FleetJob& job, const QString& result, const QString& reason) {
  RunSummary s;
  s.mode = QStringLiteral("upgrade");
  s.ip = job.ip;
  s.name = job.name;
  s.mac = job.mac;
  s.i2cAddress = job.i2cAddress;
  s.files = job.files;
  s.result = result;
  s.exitCode = exitCodeFor(result);
  s.reason = reason;
  s.stage = QString::fromLatin1(orvane::engine::stageName(UpgradeStage::Starting));
  s.started = QDateTime::currentDateTimeUtc();
  return s;
}

}  // namespace

FleetWorker::FleetWorker(const FleetJob& job, const FleetPolicy& policy, FleetEvents events)
    : job_(job), policy_(policy), events_(std::move(events)) {}

RunSummary FleetWorker::run() {
  const QDateTime started = QDateTime::currentDateTimeUtc();
  if (stopRequested_.load())
    return notStarted(job_, QStringLiteral("cancelled"), QStringLiteral("stopped (Ctrl-C) before it started"));
  UpgradeOptions upgrade;
  upgrade.skipCurrent = !policy_.force;
  upgrade.refuseDowngrade = !policy_.allowDowngrade;
  // Without an I2C device the engine itself reads and compares the network device before it
  // writes anything, with the same rules: one run does it. With one, the I2C device is
  // read only after the .bin was flashed, so both devices are read first.
  if (!job_.bi2 && !policy_.checkOnly) return upgradeRun(started, upgrade);
  UpgradeOptions checkOnly;
  checkOnly.checkOnly = true;
  std::optional<RunSummary> checked = EngineRun(job_, policy_, events_, stopRequested_)
                                          .run(policy_.checkOnly ? QStringLiteral("check") : QStringLiteral("upgrade"),
                                               checkOnly);
  if (!checked) return notStarted(job_, QStringLiteral("failed"), QStringLiteral("the upgrade engine could not start"));
  QString reason;
  const QString verdict = fleetVerdict(*checked, policy_, &reason);
  // A plan ends every device here: "checked" for one it would upgrade, otherwise the
  // result an upgrade would end with ("current", "incompatible", "unreachable"...).
  const bool ends = !verdict.isEmpty();
  if (ends && verdict != checked->result) {
    checked->result = verdict;
    checked->exitCode = exitCodeFor(verdict);
    checked->reason = reason;
  }
  if (ends || policy_.checkOnly) return *checked;
  if (stopRequested_.load())
    return notStarted(job_, QStringLiteral("cancelled"), QStringLiteral("stopped (Ctrl-C) before anything was written"));
  return upgradeRun(started, upgrade);
}

RunSummary FleetWorker::upgradeRun(const QDateTime& started, const UpgradeOptions& upgrade) {
  std::optional<RunSummary> done = EngineRun(job_, policy_, events_, stopRequested_).run(QStringLiteral("upgrade"), upgrade);
  if (!done) return notStarted(job_, QStringLiteral("failed"), QStringLiteral("the upgrade engine could not start"));
  if (done->result == QLatin1String("incompatible") && !policy_.allowDowngrade) {
    for (const DeviceFacts* d : {&done->network, &done->i2c})
      if (d->relation == QLatin1String("downgrade")) done->reason = downgradeRefusal(*d);
  }
  done->started = started;
  done->seconds = started.msecsTo(QDateTime::currentDateTimeUtc()) / 1000.0;
  return *done;
}

namespace {

QString incompatibility(const DeviceFacts& d) {
  if (!d.reason.isEmpty()) return d.reason;
  return QStringLiteral("the file is for type ") + orvane::proto::versionText(d.fileType) +
         QStringLiteral(", the device is type ") + orvane::proto::versionText(d.type);
}

}  // namespace

QString fleetVerdict(const RunSummary& checked, const FleetPolicy& policy, QString* reason) {
  if (checked.result != QLatin1String("checked")) return checked.result;
  bool toDo = false;
  for (const RunFile& f : checked.files)
    if (f.kind == QLatin1String("web")) toDo = true;  // a .web file has no version: always uploaded
  for (const DeviceFacts* d : {&checked.network, &checked.i2c}) {
    if (d->relation.isEmpty()) continue;
    if (d->relation == QLatin1String("incompatible")) {
      *reason = incompatibility(*d);
      return QStringLiteral("incompatible");
    }
    if (d->relation == QLatin1String("downgrade") && !policy.allowDowngrade) {
      *reason = downgradeRefusal(*d);
      return QStringLiteral("incompatible");
    }
    if (d->relation != QLatin1String("same") || policy.force) toDo = true;
  }
  return toDo ? QString() : QStringLiteral("current");
}
