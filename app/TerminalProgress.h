#pragma once

#include <QSize>
#include <QString>
#include <QStringView>
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

// Helpers of every live view on a terminal.
// The columns a text takes on a terminal: East Asian wide characters and most emoji take
// two, combining marks and format characters none, everything else one ("→" is one).
int displayWidth(QStringView text);
// The longest start of `text` that fits in `columns`; a wide character that would straddle
// the edge is left out.
QString cutToWidth(const QString& text, int columns);
// `text` with every control character (C0, DEL, C1, line and paragraph separators) shown
// as '?', so that a text from the network cannot move the cursor or break a line.
QString printableText(const QString& text);
// The terminal's columns and rows behind `out`; 80 x 24 when it has none or says 0.
QSize terminalSize(FILE* out);
// Writes `text` as UTF-8 with one fwrite and flushes.
void writeToTerminal(FILE* out, const QString& text);

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
  // A line of its own between the stage lines (control characters as '?'); the current stage
  // line is drawn again below it.
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

  FILE* out_;
  std::function<qint64()> clockMs_;
  QString label_;
  qint64 stageStartMs_ = 0;
  QString wanted_;  // the text the line should show
  QString drawn_;   // the text it shows; empty when no line is open
  qint64 lastDrawMs_ = 0;
};
