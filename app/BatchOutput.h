#pragma once

#include "app/RunReport.h"
#include "engine/UpgradeReport.h"

#include <QElapsedTimer>
#include <QString>
#include <memory>

class TerminalProgress;

// What a batch run prints while it runs and when it ends, in one of three forms:
// - Plain: the lines it has always printed (each status line, "progress N"), for logs and
//   pipes that read them;
// - Terminal: one live line per stage with percentage, bytes and an estimate;
// - Json: one JSON object per line (stage changes, progress, messages, the result).
// Whatever the form, a failure ends with one line on standard error that says what
// happened and whether a retry is safe.
class BatchOutput {
 public:
  enum class Format { Plain, Terminal, Json };
  // --json wins; otherwise a terminal on standard output gets the live lines.
  static Format chosenFormat(bool json);

  // `restartTimeoutS`: how long a restarting device may take, shown during the wait.
  BatchOutput(Format format, int restartTimeoutS);
  ~BatchOutput();
  BatchOutput(const BatchOutput&) = delete;
  BatchOutput& operator=(const BatchOutput&) = delete;

  // The sizes of the files, for the bytes of a transfer.
  void setFileSizes(qint64 bin, qint64 web, qint64 bi2);
  Format format() const { return format_; }

  void message(const QString& text);
  void stage(orvane::engine::UpgradeStage stage, double seconds);
  // A progress report of the engine (0..100) in the current stage.
  void progress(int percent);
  // The run is over: the result object (Json) and, on failure, the reason on stderr.
  void finish(const RunSummary& summary);

 private:
  qint64 stageTotal() const;
  int restartSeconds() const;

  Format format_;
  int restartTimeoutS_;
  std::unique_ptr<TerminalProgress> terminal_;
  ProgressThrottle throttle_;
  QElapsedTimer clock_;
  orvane::engine::UpgradeStage stage_ = orvane::engine::UpgradeStage::Starting;
  bool stageFresh_ = true;
  int stagePercent_ = -1;     // the last progress drawn in this stage
  qint64 restartSinceMs_ = 0; // when the device's restart began (clock_)
  int lastPercent_ = -1;
  qint64 binSize_ = 0, webSize_ = 0, bi2Size_ = 0;
};

// The line on standard error that ends a failed run: what happened, and whether trying
// again is safe. Empty for a success.
QString failureLine(const RunSummary& summary, int restartTimeoutS);

// Writes one line on standard error, prefixed with the program's name.
void printProgramError(const QString& text);

// Writes one line on standard output, control characters shown as '?' (printableText),
// and flushes it.
void printOutputLine(const QString& line);
