#pragma once

#include "app/FleetJob.h"
#include "app/RunReport.h"
#include "engine/UpgradeReport.h"

#include <QDateTime>
#include <QString>
#include <atomic>
#include <functional>

// One device of a fleet run, on a thread of its own: the device is read and compared with
// its files first (nothing written); unless the policy or the comparison says no, it is
// then upgraded by its own engine. Blocking work of one device (its ICMP echo, the HTTP
// readback) never holds another device's exchanges.
//
// Everything the run reports goes through FleetEvents, called on the device's thread;
// the receiver hands it over to its own thread.
struct FleetEvents {
  std::function<void(orvane::engine::UpgradeStage)> stage;
  std::function<void(int percent)> progress;  // only when the percentage changed
  std::function<void(const QString& text)> message;
};

class FleetWorker {
 public:
  FleetWorker(const FleetJob& job, const FleetPolicy& policy, FleetEvents events);

  // Runs the device to its end (or to a safe stop) on the calling thread, which needs no
  // event loop of its own: the run makes one. Returns the device's summary.
  RunSummary run();

  // From any thread: stop at the next safe point. Before anything was activated the run
  // ends as "cancelled" (an uploaded image that was not activated leaves the device's
  // firmware as it was); once an activation was sent the run goes on to its end, so a
  // device is never left between activation and reset.
  void requestStop() { stopRequested_.store(true); }

 private:
  // The upgrade itself, with the policy's options; the summary counts from `started`.
  RunSummary upgradeRun(const QDateTime& started, const orvane::engine::UpgradeOptions& upgrade);

  const FleetJob& job_;
  const FleetPolicy& policy_;
  FleetEvents events_;
  std::atomic<bool> stopRequested_{false};
};

// What a fleet run does with a device once it was read: "" to upgrade it, otherwise the
// result that ends it ("current", "incompatible", or the check's own failure) — with
// `reason` filled in for a refusal. Pure: the check's summary and the policy decide.
QString fleetVerdict(const RunSummary& checked, const FleetPolicy& policy, QString* reason);
