#include "app/TerminalProgress.h"

#include <QElapsedTimer>

#include <memory>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QString estimateText(qint64 bytes, qint64 total, qint64 elapsedMs) {
  if (elapsedMs < TerminalProgress::kEstimateAfterMs || bytes <= 0 || bytes >= total) return QString();
  const qint64 leftMs = elapsedMs * (total - bytes) / bytes;
  const qint64 seconds = (leftMs + 999) / 1000;
  if (seconds < 100) return QStringLiteral("about %1 s left").arg(seconds);
  return QStringLiteral("about %1 min left").arg((seconds + 59) / 60);
}

// Two columns: the East Asian wide and fullwidth blocks and the emoji pictographs.
bool isWide(char32_t c) {
  static constexpr std::pair<char32_t, char32_t> ranges[] = {
      {0x1100, 0x115F},   {0x2329, 0x232A},   {0x2E80, 0x303E},   {0x3040, 0xA4CF},
      {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
      {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
      {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  for (const auto& [first, last] : ranges)
    if (c >= first && c <= last) return true;
  return false;
}

int charWidth(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_Enclosing:
    case QChar::Other_Format: return 0;
    default: break;
  }
  if (c >= 0x1160 && c <= 0x11FF) return 0;  // Hangul medial vowels and final consonants join the syllable
  return isWide(c) ? 2 : 1;
}

// The code point at `i` and how many UTF-16 units it takes; a lone surrogate stands for itself.
std::pair<char32_t, int> codePointAt(QStringView text, qsizetype i) {
  const QChar c = text[i];
  if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
    return {QChar::surrogateToUcs4(c, text[i + 1]), 2};
  return {c.unicode(), 1};
}

bool isControl(char32_t c) {
  const QChar::Category category = QChar::category(c);
  return category == QChar::Other_Control || category == QChar::Separator_Line ||
         category == QChar::Separator_Paragraph;
}

}  // namespace

int displayWidth(QStringView text) {
  int width = 0;
  for (qsizetype i = 0; i < text.size();) {
    const auto [c, units] = codePointAt(text, i);
    width += charWidth(c);
    i += units;
  }
  return width;
}

QString cutToWidth(const QString& text, int columns) {
  int width = 0;
  for (qsizetype i = 0; i < text.size();) {
    const auto [c, units] = codePointAt(text, i);
    width += charWidth(c);
    if (width > columns) return text.left(i);
    i += units;
  }
  return text;
}

QString printableText(const QString& text) {
  QString out = text;
  for (QChar& c : out)
    if (!c.isSurrogate() && isControl(c.unicode())) c = u'?';
  return out;
}

QSize terminalSize(FILE* out) {
  winsize size{};
  const int fd = out ? ::fileno(out) : -1;
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return QSize(80, 24);
  return QSize(size.ws_col, size.ws_row);
}

void writeToTerminal(FILE* out, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
  std::fflush(out);
}

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
  if (!drawn_.isEmpty()) writeToTerminal(out_, QStringLiteral("\r\x1b[K"));
  drawn_.clear();
  writeToTerminal(out_, printableText(line) + u'\n');
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
  writeToTerminal(out_, u'\r' + text + QStringLiteral("\x1b[K"));
  wanted_ = drawn_ = text;
  lastDrawMs_ = clockMs_();
}

void TerminalProgress::endLine() {
  if (wanted_ != drawn_ && !wanted_.isEmpty()) draw(wanted_);
  if (!drawn_.isEmpty()) writeToTerminal(out_, QStringLiteral("\n"));
  wanted_.clear();
  drawn_.clear();
}

