#pragma once

#include "app/RunReport.h"
#include "engine/ORVCRoVivazava.h"

#include <QElapsedTimer>
#include <QString>

// Collects what one run of the upgrade engine did — the target, the files, the devices'
// versions before and after, where and how it ended — into the summary that the result
// line, the history and the check report are made of. The window records every upgrade
// with it; a batch run, a check and a verification too.
class RunRecorder {
 public:
  // A new run: forgets the previous one and starts the clock.
  void begin(const QString& mode, const QString& ip, int i2cAddress, QList<RunFile> files);
  // The engine moved on to `stage`: the versions read so far are kept as "before".
  void stageChanged(orvane::engine::UpgradeStage stage, const ORVCRoVivazava& engine);
  // The engine ended the run: fills in the result, the versions after and the time.
  // Only the first call of a run counts (the engine may report a failure twice).
  const RunSummary& end(const ORVCRoVivazava& engine);
  // The run ended before the engine was started: a file was refused.
  const RunSummary& fileRefused(const QString& reason);

  bool running() const { return running_; }
  const RunSummary& summary() const { return summary_; }
  orvane::engine::UpgradeStage stage() const { return stage_; }

 private:
  void capture(const ORVCRoVivazava& engine);
  void finishDevice(DeviceFacts& facts, const VersionSet& set, bool flashedAndConfirmed) const;
  void close(const QString& result, const QString& reason);

  RunSummary summary_;
  QElapsedTimer clock_;
  orvane::engine::UpgradeStage stage_ = orvane::engine::UpgradeStage::Starting;
  bool running_ = false;
  bool networkVerified_ = false;  // the network device's version after flashing was asked
  bool i2cVerified_ = false;
};

// "upgrade", "same"... for a comparison; empty when the device was not compared.
QString relationName(orvane::engine::SetComparison::Relation relation);
