#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <functional>

// The live view of a run on a terminal: one line per stage, redrawn in place ("\r", the
// text, then "erase to the end of the line") while its progress changes, and ended with
// '\n' when the next stage starts or a message is printed.

// "440.0 KiB": bytes below 1 KiB as "N B", then KiB, MiB and GiB with one decimal.
QString byteText(qint64 bytes);
// "Uploading .bin   42%  440.0 KiB of 1.0 MiB  about 1 s left". The bytes are left out
// when `total` is 0, the estimate (from the stage's elapsed time) for the first
// kEstimateAfterMs of the stage, before the first byte and once all bytes are through.
QString transferLine(const QString& label, int percent, qint64 bytes, qint64 total, qint64 elapsedMs);
// "Device restarting, up to 60 s (12 s)".
QString restartLine(int upToSeconds, int elapsedSeconds);

class TerminalProgress {
 public:
  static constexpr qint64 kRedrawIntervalMs = 100;  // at most about ten redraws a second
  static constexpr qint64 kEstimateAfterMs = 500;

  // `clockMs` gives a monotonic time in milliseconds; by default the time since construction.
  explicit TerminalProgress(FILE* out, std::function<qint64()> clockMs = {});
  ~TerminalProgress();  // ends the current line, as finish() does
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  // Ends the current line and starts one for the stage `label`.
  void stage(const QString& label);
  void progress(int percent, qint64 bytes, qint64 total);
  void restarting(int upToSeconds, int elapsedSeconds);
  // A line of its own between the stage lines; the current stage line is drawn again below it.
  void message(const QString& line);
  // Draws the text left waiting by a report that came too soon after the last redraw, once
  // kRedrawIntervalMs have passed; for a caller that ticks while no report comes.
  void refresh();
  // Draws what is still pending and ends the current line.
  void finish();

 private:
  void show(const QString& text);
  void draw(const QString& text);
  void endLine();
  void write(const QString& text);

  FILE* out_;
  std::function<qint64()> clockMs_;
  QString label_;
  qint64 stageStartMs_ = 0;
  QString wanted_;  // the text the line should show
  QString drawn_;   // the text it shows; empty when no line is open
  qint64 lastDrawMs_ = 0;
};
