#include "app/FleetReport.h"

#include "app/ExitCodes.h"
#include "app/TerminalProgress.h"
#include "common/Version.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QSet>

#include <array>
#include <cmath>
#include <memory>

#include <unistd.h>

using orvane::proto::kNoVersion;
using orvane::proto::versionText;

namespace {

// --- Device lines ---------------------------------------------------------------------

// A text on one line: line breaks and tabs as spaces, other control characters as '?'.
QString singleLine(const QString& text) {
  QString out = text;
  for (QChar& c : out)
    if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
      c = u' ';
  return printableText(out);
}

QString oneLine(const QString& text) { return singleLine(text).trimmed(); }

// --- The summary line -----------------------------------------------------------------

// A plan: every device was only checked.
bool isPlan(const QList<RunSummary>& devices) {
  if (devices.isEmpty()) return false;
  for (const RunSummary& d : devices)
    if (d.mode != QLatin1String("check")) return false;
  return true;
}


struct Outcome {
  const char* result;
  const char* words;  // how the line counts it
};

// The outcomes that follow "failed" when there are any, in their order.
constexpr std::array<Outcome, 10> kLaterOutcomes{{
    {"incompatible", "incompatible"},
    {"unconfirmed", "unconfirmed"},
    {"file-refused", "file refused"},
    {"refused", "refused"},
    {"cancelled", "cancelled"},
    {"checked", "checked"},
    {"upgraded", "upgraded"},
    {"current", "already current"},
    {"match", "match"},
    {"mismatch", "mismatch"},
}};

// How many devices ended with each result; a result outside the vocabulary as "failed".
QHash<QString, int> lineCounts(const QList<RunSummary>& devices) {
  QHash<QString, int> counts;
  for (const RunSummary& d : devices) {
    bool known = d.result == QLatin1String("failed") || d.result == QLatin1String("unreachable");
    for (const Outcome& o : kLaterOutcomes) known = known || d.result == QLatin1String(o.result);
    ++counts[known ? d.result : QStringLiteral("failed")];
  }
  return counts;
}

// "41 s", "2.5 s": one decimal below 10 s.
QString durationText(double seconds) {
  const double s = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
  if (std::round(s * 10) < 100) return QString::number(s, 'f', 1) + QStringLiteral(" s");
  return QString::number(std::llround(s)) + QStringLiteral(" s");
}

// --- The summary table ----------------------------------------------------------------

QString dashIfEmpty(const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; }

QString versionsText(const RunSummary& s) {
  const DeviceFacts& d = reportedDevice(s);
  if (!d.read || d.from == kNoVersion) return QStringLiteral("-");
  const QString from = versionText(d.from);
  if (!d.toKnown) return s.activated ? from + QStringLiteral(" → ?") : from;
  if (d.to == d.from || d.to == kNoVersion) return from;
  return from + QStringLiteral(" → ") + versionText(d.to);
}

QStringList tableRow(const RunSummary& s) {
  const DeviceFacts& d = reportedDevice(s);
  return {s.ip,
          dashIfEmpty(printableText(s.name).trimmed()),
          d.read ? versionText(d.type) : QStringLiteral("-"),
          versionsText(s),
          s.result,
          QString::number(s.seconds, 'f', 1),
          oneLine(s.reason)};
}

QString padded(const QString& text, int width, bool right) {
  const QString fill(qMax(0, width - displayWidth(text)), u' ');
  return right ? fill + text : text + fill;
}

// The rows' cells aligned: two spaces between columns, `rightColumn` aligned right, the
// last column as it is.
QStringList alignedRows(const QList<QStringList>& rows, int rightColumn) {
  QList<int> widths(rows.first().size(), 0);
  for (const QStringList& row : rows)
    for (int i = 0; i < row.size(); ++i) widths[i] = qMax(widths[i], displayWidth(row[i]));
  QStringList lines;
  for (const QStringList& row : rows) {
    QString line;
    for (int i = 0; i < row.size(); ++i) {
      if (i > 0) line += QStringLiteral("  ");
      line += i + 1 == row.size() ? row[i] : padded(row[i], widths[i], i == rightColumn);
    }
    while (line.endsWith(u' ')) line.chop(1);
    lines.append(line);
  }
  return lines;
}

// --- The plan -------------------------------------------------------------------------

QString planPart(const DeviceFacts& d, bool force, bool allowDowngrade) {
  const QString relation = relationText(d);
  if (d.relation == QLatin1String("upgrade")) return QStringLiteral("would upgrade ") + relation;
  if (d.relation == QLatin1String("same"))
    return relation + (force ? QStringLiteral(": would flash again (--force)") : QStringLiteral(": skip"));
  if (d.relation == QLatin1String("downgrade"))
    return allowDowngrade ? QStringLiteral("would ") + relation
                          : relation + QStringLiteral(": refused (--allow-downgrade to flash it)");
  return relation;
}

bool hasWebFile(const RunSummary& s) {
  for (const RunFile& f : s.files)
    if (f.kind == QLatin1String("web")) return true;
  return false;
}

}  // namespace

QString fleetDeviceLabel(const RunSummary& device) {
  const QString name = printableText(device.name).trimmed();
  return name.isEmpty() ? device.ip : device.ip + u' ' + name;
}

QString fleetDeviceLine(const RunSummary& device, const QString& text) {
  return fleetDeviceLabel(device) + QStringLiteral(": ") + printableText(text);
}

QString fleetSummaryLine(const QList<RunSummary>& devices, double seconds) {
  const QHash<QString, int> counts = lineCounts(devices);
  const bool plan = isPlan(devices);
  QStringList parts;
  if (plan) parts << QStringLiteral("%1 checked").arg(counts.value(QStringLiteral("checked")));
  else
    parts << QStringLiteral("%1 upgraded").arg(counts.value(QStringLiteral("upgraded")))
          << QStringLiteral("%1 already current").arg(counts.value(QStringLiteral("current")));
  parts << QStringLiteral("%1 unreachable").arg(counts.value(QStringLiteral("unreachable")))
        << QStringLiteral("%1 failed").arg(counts.value(QStringLiteral("failed")));
  for (const Outcome& o : kLaterOutcomes) {
    const QString result = QLatin1String(o.result);
    const bool shownFirst = plan ? result == QLatin1String("checked")
                                 : result == QLatin1String("upgraded") || result == QLatin1String("current");
    const int count = counts.value(result);
    if (count > 0 && !shownFirst) parts << QStringLiteral("%1 %2").arg(count).arg(QLatin1String(o.words));
  }
  return parts.join(QStringLiteral(", ")) +
         QStringLiteral(" (of %1) in %2").arg(devices.size()).arg(durationText(seconds));
}

QStringList fleetSummaryTable(const QList<RunSummary>& devices) {
  QList<QStringList> rows{{QStringLiteral("Address"), QStringLiteral("Name"), QStringLiteral("Type"),
                           QStringLiteral("Version"), QStringLiteral("Result"), QStringLiteral("Seconds"),
                           QStringLiteral("Reason")}};
  for (const RunSummary& d : devices) rows.append(tableRow(d));
  return alignedRows(rows, 5);
}

int fleetExitCode(const QList<RunSummary>& devices) {
  // The codes from the worst outcome down; 0 (done) is none of them.
  static constexpr std::array<int, 7> kWorstFirst{kExitUnconfirmed, kExitFailed,        kExitInterrupted,
                                                  kExitUnreachable, kExitIncompatible, kExitFileRefused,
                                                  kExitRefused};
  QSet<int> codes;
  for (const RunSummary& d : devices) codes.insert(exitCodeFor(d.result));
  for (int code : kWorstFirst)
    if (codes.contains(code)) return code;
  return kExitDone;
}

QJsonObject fleetSummaryEvent(const QList<RunSummary>& devices, const QString& mode, double seconds,
                              const QDateTime& started) {
  QJsonObject counts;
  QJsonArray results;
  for (const RunSummary& s : devices) {
    counts.insert(s.result, counts.value(s.result).toInt() + 1);
    const DeviceFacts& d = reportedDevice(s);
    results.append(QJsonObject{
        {QStringLiteral("ip"), s.ip},
        {QStringLiteral("name"), s.name.isEmpty() ? QJsonValue() : QJsonValue(s.name)},
        {QStringLiteral("mac"), s.mac.isEmpty() ? QJsonValue() : QJsonValue(s.mac)},
        {QStringLiteral("type"), deviceTypeJson(d)},
        {QStringLiteral("from"), deviceFromJson(d)},
        {QStringLiteral("to"), deviceToJson(d)},
        {QStringLiteral("result"), s.result},
        {QStringLiteral("reason"), s.reason},
        {QStringLiteral("seconds"), s.seconds},
    });
  }
  return QJsonObject{
      {QStringLiteral("event"), QStringLiteral("summary")},
      {QStringLiteral("mode"), mode},
      {QStringLiteral("devices"), int(devices.size())},
      {QStringLiteral("counts"), counts},
      {QStringLiteral("exitCode"), fleetExitCode(devices)},
      {QStringLiteral("seconds"), seconds},
      {QStringLiteral("started"), utcTimeText(started)},
      {QStringLiteral("results"), results},
      {QStringLiteral("program"), QString::fromLatin1(orvane::kProgramVersion)},
  };
}

QString fleetPlanText(const RunSummary& checked, bool force, bool allowDowngrade) {
  const RunSummary& s = checked;
  // A device that was not read, or whose check ended early, has its outcome instead of a plan.
  const bool compared = exitCodeFor(s.result) == kExitDone || s.result == QLatin1String("incompatible");
  if (!s.network.read || !compared) {
    const QString outcome = QString(s.result).replace(u'-', u' ');
    return s.reason.isEmpty() ? outcome : outcome + QStringLiteral(": ") + s.reason;
  }
  QStringList parts;
  if (!s.network.relation.isEmpty()) parts << planPart(s.network, force, allowDowngrade);
  if (s.i2cAddress >= 0 && !s.i2c.relation.isEmpty())
    parts << QStringLiteral("I2C %1: ").arg(s.i2cAddress) + planPart(s.i2c, force, allowDowngrade);
  if (parts.isEmpty() && hasWebFile(s)) parts << QStringLiteral("would upload the .web file");
  if (parts.isEmpty()) parts << QStringLiteral("runs ") + versionText(s.network.from) + QStringLiteral(", no file to compare");
  return parts.join(QStringLiteral("; "));
}

// --- The live table ---------------------------------------------------------------------

namespace {

struct LiveRow {
  QString ip, label, stage;
  int percent = -1;  // -1: no progress in this stage yet
};

// "10.77.1.3 Gateway roof  bin-upload  42%": labels and stages aligned over `rows`.
QStringList deviceLines(const QList<LiveRow>& rows) {
  int labelWidth = 0, stageWidth = 0;
  for (const LiveRow& r : rows) {
    labelWidth = qMax(labelWidth, displayWidth(r.label));
    stageWidth = qMax(stageWidth, displayWidth(r.stage));
  }
  QStringList lines;
  for (const LiveRow& r : rows) {
    QString line = padded(r.label, labelWidth, false) + QStringLiteral("  ") + padded(r.stage, stageWidth, false);
    if (r.percent >= 0) line += QStringLiteral("  %1%").arg(r.percent);
    while (line.endsWith(u' ')) line.chop(1);
    lines.append(line);
  }
  return lines;
}

// Goes back to the start of a table of `height` rows whose last row holds the cursor.
QString toTableTop(int height) {
  if (height <= 0) return QString();
  return height > 1 ? QStringLiteral("\r\x1b[%1A").arg(height - 1) : QStringLiteral("\r");
}

const QString kEraseLine = QStringLiteral("\x1b[K");
const QString kEraseBelow = QStringLiteral("\x1b[J");

}  // namespace

struct FleetLiveTable::Private {
  int total = 0;
  FILE* out = nullptr;
  std::function<qint64()> clockMs;
  std::function<QSize()> size;
  bool terminal = true;  // false: never drawn, lines printed plain
  QList<LiveRow> running;  // in the order the devices started
  QSet<QString> ended;
  int drawnHeight = 0;  // rows of the table on the terminal; 0: none drawn
  bool hidden = false;  // cleared, until the next device report
  bool pending = false; // a change not drawn yet
  qint64 lastDrawMs = 0;

  LiveRow* row(const QString& ip) {
    for (LiveRow& r : running)
      if (r.ip == ip) return &r;
    return nullptr;
  }
  QStringList tableLines(QSize terminal) const;
  void changed(bool now);
  void draw(const QString& above);
};

// What fits: at most all rows but one, each cut to the width less one column.
QStringList FleetLiveTable::Private::tableLines(QSize terminal) const {
  const int columns = qMax(1, terminal.width() - 1);
  const int maxRows = qMax(1, terminal.height() - 1);
  QList<LiveRow> shown = running;
  QString more;
  if (running.size() + 1 > maxRows) {
    shown = running.mid(0, qMax(0, maxRows - 2));
    if (maxRows >= 2) more = QStringLiteral("+%1 more running").arg(running.size() - shown.size());
  }
  QStringList lines = deviceLines(shown);
  if (!more.isEmpty()) lines.append(more);
  lines.append(QStringLiteral("%1 of %2 done").arg(ended.size()).arg(total));
  for (QString& line : lines) line = cutToWidth(line, columns);
  return lines;
}

// A device report: drawn now when `now` or when the last redraw is old enough.
void FleetLiveTable::Private::changed(bool now) {
  if (!terminal) return;
  hidden = false;
  pending = true;
  if (!now && drawnHeight > 0 && clockMs() - lastDrawMs < kRedrawIntervalMs) return;
  draw(QString());
}

// Overwrites the drawn table, after `above` when it is not null, in one write; the rows
// the new table no longer needs are erased.
void FleetLiveTable::Private::draw(const QString& above) {
  const QStringList lines = tableLines(size());
  QString text = toTableTop(drawnHeight);
  if (!above.isNull()) text += above + kEraseLine + u'\n';
  text += lines.join(kEraseLine + u'\n') + kEraseBelow;
  writeToTerminal(out, text);
  drawnHeight = int(lines.size());
  lastDrawMs = clockMs();
  pending = false;
}

FleetLiveTable::FleetLiveTable(int total)
    : FleetLiveTable(total, stdout, {}, [] { return terminalSize(stdout); }) {
  d->terminal = ::isatty(STDOUT_FILENO) == 1;
}

FleetLiveTable::FleetLiveTable(int total, FILE* out, std::function<qint64()> clockMs, std::function<QSize()> size)
    : d(new Private) {
  d->total = total;
  d->out = out;
  d->clockMs = std::move(clockMs);
  d->size = std::move(size);
  if (!d->clockMs) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    d->clockMs = [timer] { return timer->elapsed(); };
  }
  if (!d->size) d->size = [] { return QSize(80, 24); };
}

FleetLiveTable::~FleetLiveTable() {
  clear();
  delete d;
}

void FleetLiveTable::deviceStarted(const QString& ip, const QString& label) {
  d->ended.remove(ip);
  if (LiveRow* r = d->row(ip)) r->label = singleLine(label);
  else d->running.append(LiveRow{ip, singleLine(label), QString(), -1});
  d->changed(true);
}

void FleetLiveTable::deviceStage(const QString& ip, const QString& stage) {
  LiveRow* r = d->row(ip);
  if (!r) return;
  r->stage = singleLine(stage);
  r->percent = -1;
  d->changed(false);
}

void FleetLiveTable::deviceProgress(const QString& ip, int percent) {
  LiveRow* r = d->row(ip);
  const int p = qBound(0, percent, 100);
  if (!r || r->percent == p) return;
  r->percent = p;
  d->changed(false);
}

void FleetLiveTable::deviceEnded(const QString& ip) {
  d->running.removeIf([&ip](const LiveRow& r) { return r.ip == ip; });
  d->ended.insert(ip);
  d->changed(true);
}

void FleetLiveTable::printLine(const QString& line) {
  const QString text = singleLine(line);
  if (!d->terminal || d->hidden) {
    writeToTerminal(d->out, text + u'\n');
    return;
  }
  d->draw(text);
}

void FleetLiveTable::refresh() {
  if (d->pending && !d->hidden) d->changed(false);
}

void FleetLiveTable::clear() {
  if (d->terminal && d->drawnHeight > 0) writeToTerminal(d->out, toTableTop(d->drawnHeight) + kEraseBelow);
  d->drawnHeight = 0;
  d->hidden = true;
  d->pending = false;
}
