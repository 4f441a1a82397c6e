#pragma once

#include "app/BatchOutput.h"
#include "app/FleetJob.h"
#include "app/FleetReport.h"
#include "app/RunReport.h"
#include "engine/UpgradeReport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <memory>

// What a fleet run prints while it runs and at its end, in the three forms of a batch run:
// plain lines naming their device; on a terminal the same lines above a live table of the
// running devices; or JSON lines (the events of a single run, each with its device's
// "ip", then the summary object).
class FleetOutput {
 public:
  FleetOutput(BatchOutput::Format format, bool plan, int devices);
  ~FleetOutput();
  FleetOutput(const FleetOutput&) = delete;
  FleetOutput& operator=(const FleetOutput&) = delete;

  void started(const FleetJob& job);
  void stage(const FleetJob& job, orvane::engine::UpgradeStage stage);
  void progress(const FleetJob& job, int percent);
  void message(const FleetJob& job, const QString& text);
  void finished(const FleetJob& job, const RunSummary& summary, bool force, bool allowDowngrade);
  // A line of the run itself (Ctrl-C): on standard error, above the table.
  void note(const QString& text);
  // The end: the table and the summary line, or the summary object.
  void summary(const QList<RunSummary>& devices, double seconds, const QDateTime& started);

 private:
  struct Device {
    QString label;
    QString stage;
    qint64 total = 0;  // bytes of the stage's transfer
    ProgressThrottle throttle;
    bool stageFresh = true;
  };
  Device& device(const FleetJob& job);
  void printDeviceLine(const FleetJob& job, const QString& text);

  BatchOutput::Format format_;
  bool plan_;
  std::unique_ptr<FleetLiveTable> table_;
  QHash<QString, Device> devices_;
  QElapsedTimer clock_;
};
