#include "app/FleetRun.h"

#include "app/ExitCodes.h"
#include "app/FleetJobs.h"
#include "app/FleetOutput.h"
#include "app/FleetReport.h"
#include "app/FleetWorker.h"
#include "app/RunTracker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <map>
#include <optional>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Ctrl-C (SIGINT) and SIGTERM during a fleet run. The first one is handed to the event
// loop through a pipe; the second ends the process at once, from the handler itself.
int gSignalPipe[2] = {-1, -1};
volatile std::sig_atomic_t gSignals = 0;

void onStopSignal(int) {
  gSignals = gSignals + 1;
  if (gSignals >= 2) {
    static const char kAbort[] = "\norvane-upgrader: aborted at once (second Ctrl-C); devices that were running "
                                 "may be left mid-upgrade\n";
    (void)!::write(STDERR_FILENO, kAbort, sizeof kAbort - 1);
    ::_exit(kExitInterrupted);
  }
  const char byte = 1;
  (void)!::write(gSignalPipe[1], &byte, 1);
}

// Installs the handlers for the run's lifetime and restores the previous ones after it.
class StopSignals {
 public:
  StopSignals() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
    installed_ = true;
  }
  ~StopSignals() {
    if (!installed_) return;
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int readEnd() const { return installed_ ? gSignalPipe[0] : -1; }

 private:
  bool installed_ = false;
  struct sigaction oldInt_ {}, oldTerm_ {};
};

// Runs the devices, `jobs` at a time, each on a thread of its own; collects their
// summaries in the order of the jobs.
class FleetRunner {
 public:
  FleetRunner(const QList<FleetJob>& jobs, const FleetPolicy& policy, const ScriptOptions& options)
      : jobs_(jobs), policy_(policy), maxRunning_(options.jobs),
        output_(BatchOutput::chosenFormat(options.json), policy.checkOnly, int(jobs.size())),
        results_(jobs.size()) {}

  // The summaries once every device ended (or was never started after a stop).
  QList<RunSummary> run(int stopSignalFd);
  FleetOutput& output() { return output_; }

 private:
  struct Running {
    std::unique_ptr<FleetWorker> worker;
    QThread* thread = nullptr;
  };
  void startMore();
  void start(qsizetype index);
  void finished(qsizetype index, const RunSummary& summary);
  void stopRequested();
  // Runs `call` on the runner's (main) thread.
  template <typename F>
  void post(F call) {
    QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
  }

  const QList<FleetJob>& jobs_;
  const FleetPolicy& policy_;
  const int maxRunning_;
  FleetOutput output_;
  QList<std::optional<RunSummary>> results_;
  std::map<qsizetype, Running> running_;
  qsizetype next_ = 0;
  bool stopping_ = false;
  QObject context_;
  QEventLoop loop_;
};

QList<RunSummary> FleetRunner::run(int stopSignalFd) {
  std::unique_ptr<QSocketNotifier> notifier;
  if (stopSignalFd >= 0) {
    notifier = std::make_unique<QSocketNotifier>(stopSignalFd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &context_, [this, stopSignalFd] {
      char bytes[16];
      while (::read(stopSignalFd, bytes, sizeof bytes) > 0) {
      }
      stopRequested();
    });
  }
  startMore();
  if (!running_.empty()) loop_.exec();
  QList<RunSummary> summaries;
  for (const std::optional<RunSummary>& s : results_) summaries.append(*s);
  return summaries;
}

void FleetRunner::startMore() {
  while (int(running_.size()) < maxRunning_ && next_ < jobs_.size()) start(next_++);
  if (running_.empty()) loop_.quit();
}

void FleetRunner::start(qsizetype index) {
  const FleetJob& job = jobs_[index];
  FleetEvents events;
  events.stage = [this, index](orvane::engine::UpgradeStage s) { post([this, index, s] { output_.stage(jobs_[index], s); }); };
  events.progress = [this, index](int p) { post([this, index, p] { output_.progress(jobs_[index], p); }); };
  events.message = [this, index](const QString& t) { post([this, index, t] { output_.message(jobs_[index], t); }); };
  Running& r = running_[index];
  r.worker = std::make_unique<FleetWorker>(job, policy_, std::move(events));
  FleetWorker* worker = r.worker.get();
  r.thread = QThread::create([this, index, worker] {
    const RunSummary summary = worker->run();
    post([this, index, summary] { finished(index, summary); });
  });
  output_.started(job);
  r.thread->start();
}

void FleetRunner::finished(qsizetype index, const RunSummary& summary) {
  auto it = running_.find(index);
  it->second.thread->wait();
  delete it->second.thread;
  running_.erase(it);
  results_[index] = summary;
  // A check writes nothing and leaves no record; every upgrade attempt does.
  if (!policy_.checkOnly) appendRunToHistory(summary);
  output_.finished(jobs_[index], summary, policy_.force, policy_.allowDowngrade);
  if (!stopping_) {
    startMore();
  } else if (running_.empty()) {
    loop_.quit();
  }
}

// The first Ctrl-C: no device starts any more; running ones stop at their next safe point.
void FleetRunner::stopRequested() {
  if (stopping_) return;
  stopping_ = true;
  output_.note(QStringLiteral("stopping: no further device starts; running devices stop at a safe point "
                              "(Ctrl-C again aborts at once)"));
  for (auto& [index, r] : running_) r.worker->requestStop();
  for (qsizetype i = next_; i < jobs_.size(); ++i) {
    RunSummary s;
    s.mode = policy_.checkOnly ? QStringLiteral("check") : QStringLiteral("upgrade");
    s.ip = jobs_[i].ip;
    s.name = jobs_[i].name;
    s.mac = jobs_[i].mac;
    s.i2cAddress = jobs_[i].i2cAddress;
    s.files = jobs_[i].files;
    s.result = QStringLiteral("cancelled");
    s.exitCode = exitCodeFor(s.result);
    s.reason = QStringLiteral("not started (stopped by Ctrl-C)");
    s.stage = QString::fromLatin1(orvane::engine::stageName(orvane::engine::UpgradeStage::Starting));
    s.started = QDateTime::currentDateTimeUtc();
    results_[i] = s;
  }
  next_ = jobs_.size();
  if (running_.empty()) loop_.quit();
}

}  // namespace

int runFleet(const GlobalSelection& selection, const ScriptOptions& options) {
  const QDateTime started = QDateTime::currentDateTimeUtc();
  QElapsedTimer clock;
  clock.start();
  const FleetJobList list = buildFleetJobs(selection, options);
  if (!list.ok()) {
    printProgramError(list.error);
    return list.exitCode;
  }
  FleetPolicy policy;
  policy.checkOnly = options.check;
  policy.force = options.force;
  policy.allowDowngrade = options.allowDowngrade;
  policy.engine.restartTimeoutMs = options.restartTimeoutS * 1000;
  StopSignals stopSignals;
  FleetRunner runner(list.jobs, policy, options);
  const QList<RunSummary> results = runner.run(stopSignals.readEnd());
  runner.output().summary(results, clock.elapsed() / 1000.0, started);
  return fleetExitCode(results);
}
