#pragma once

#include "app/BatchOutput.h"
#include "app/RunRecorder.h"
#include "app/ScriptOptions.h"

#include <memory>
#include <optional>

// The reporting side of the upgrades one engine runs for the window: each run is
// recorded and, when it ends, written to the history; in a batch run it is also printed
// for the script or the person watching (BatchOutput).
class RunTracker {
 public:
  explicit RunTracker(const ORVCRoVivazava& engine) : engine_(engine) {}

  // From now on runs are printed in the form the options ask for.
  void startBatchOutput(const ScriptOptions& options);
  bool printing() const { return output_ != nullptr; }

  // A run begins: target and files (paths with their loaded contents; none is "0").
  void begin(const QString& ip, int i2cAddress, const QList<RunFile>& files);
  void stage(orvane::engine::UpgradeStage stage);
  void message(const QString& text);
  void progress(int percent);
  // The engine reported the end of the run: the exit code of its outcome, the first time
  // only (the engine may report a failure twice).
  std::optional<int> end();
  // A file was refused before the engine started: its reason, printed and recorded.
  int fileRefused(const QString& ip, int i2cAddress, const QList<RunFile>& loaded, const QString& reason);

 private:
  int finish(const RunSummary& summary);

  const ORVCRoVivazava& engine_;
  RunRecorder recorder_;
  std::unique_ptr<BatchOutput> output_;
};

// Appends the run to the history file; a failure is logged and said on standard error.
void appendRunToHistory(const RunSummary& summary);
