#include "app/TerminalProgress.h"

#include <QElapsedTimer>

#include <memory>

namespace {

QString estimateText(qint64 bytes, qint64 total, qint64 elapsedMs) {
  if (elapsedMs < TerminalProgress::kEstimateAfterMs || bytes <= 0 || bytes >= total) return QString();
  const qint64 leftMs = elapsedMs * (total - bytes) / bytes;
  const qint64 seconds = (leftMs + 999) / 1000;
  if (seconds < 100) return QStringLiteral("about %1 s left").arg(seconds);
  return QStringLiteral("about %1 min left").arg((seconds + 59) / 60);
}

}  // namespace

QString byteText(qint64 bytes) {
  if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
  static const char* const units[] = {"KiB", "MiB", "GiB"};
  double value = double(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 2) {
    value /= 1024;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString transferLine(const QString& label, int percent, qint64 bytes, qint64 total, qint64 elapsedMs) {
  QString line = label + QStringLiteral("  %1%").arg(percent, 3);
  if (total <= 0) return line;
  line += QStringLiteral("  %1 of %2").arg(byteText(bytes), byteText(total));
  const QString estimate = estimateText(bytes, total, elapsedMs);
  if (!estimate.isEmpty()) line += QStringLiteral("  ") + estimate;
  return line;
}

QString restartLine(int upToSeconds, int elapsedSeconds) {
  return QStringLiteral("Device restarting, up to %1 s (%2 s)").arg(upToSeconds).arg(elapsedSeconds);
}

TerminalProgress::TerminalProgress(FILE* out, std::function<qint64()> clockMs)
    : out_(out), clockMs_(std::move(clockMs)) {
  if (!clockMs_) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    clockMs_ = [timer] { return timer->elapsed(); };
  }
}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::stage(const QString& label) {
  endLine();
  label_ = label;
  stageStartMs_ = clockMs_();
}

void TerminalProgress::progress(int percent, qint64 bytes, qint64 total) {
  show(transferLine(label_, percent, bytes, total, clockMs_() - stageStartMs_));
}

void TerminalProgress::restarting(int upToSeconds, int elapsedSeconds) {
  show(restartLine(upToSeconds, elapsedSeconds));
}

// The live line steps aside for the message and comes back under it.
void TerminalProgress::message(const QString& line) {
  const QString current = wanted_;
  if (!drawn_.isEmpty()) write(QStringLiteral("\r\x1b[K"));
  drawn_.clear();
  write(line + u'\n');
  if (!current.isEmpty()) draw(current);
}

void TerminalProgress::refresh() { show(wanted_); }

void TerminalProgress::finish() { endLine(); }

// Redraws the line when its text changed, unless the last redraw is too recent; the text
// left waiting is drawn by a later report or when the line ends.
void TerminalProgress::show(const QString& text) {
  wanted_ = text;
  if (text == drawn_) return;
  if (!drawn_.isEmpty() && clockMs_() - lastDrawMs_ < kRedrawIntervalMs) return;
  draw(text);
}

void TerminalProgress::draw(const QString& text) {
  write(u'\r' + text + QStringLiteral("\x1b[K"));
  wanted_ = drawn_ = text;
  lastDrawMs_ = clockMs_();
}

void TerminalProgress::endLine() {
  if (wanted_ != drawn_ && !wanted_.isEmpty()) draw(wanted_);
  if (!drawn_.isEmpty()) write(QStringLiteral("\n"));
  wanted_.clear();
  drawn_.clear();
}

void TerminalProgress::write(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out_);
  std::fflush(out_);
}
