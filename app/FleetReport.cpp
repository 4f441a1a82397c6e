#include "app/FleetReport.h"

#include "app/ExitCodes.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

using orvane::proto::versionText;

namespace {

// A text from a device (its name) or a reason on one line: control characters become '?'.
QString oneLine(QString text) {
  for (QChar& c : text)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
  return text;
}

const DeviceFacts& mainDevice(const RunSummary& s) { return s.network.read || !s.i2c.read ? s.network : s.i2c; }

int countOf(const QList<RunSummary>& devices, const char* result) {
  return int(std::count_if(devices.begin(), devices.end(),
                           [result](const RunSummary& s) { return s.result == QLatin1String(result); }));
}

QString secondsText(double seconds) {
  return seconds < 10 ? QString::number(seconds, 'f', 1) : QString::number(qRound64(seconds));
}

}  // namespace

QString fleetDeviceLabel(const RunSummary& device) {
  const QString name = oneLine(device.name).trimmed();
  return name.isEmpty() ? device.ip : device.ip + u' ' + name;
}

QString fleetDeviceLine(const RunSummary& device, const QString& text) {
  return fleetDeviceLabel(device) + QStringLiteral(": ") + text;
}

QString fleetSummaryLine(const QList<RunSummary>& devices, double seconds) {
  QStringList parts{QStringLiteral("%1 upgraded").arg(countOf(devices, "upgraded")),
                    QStringLiteral("%1 already current").arg(countOf(devices, "current")),
                    QStringLiteral("%1 unreachable").arg(countOf(devices, "unreachable")),
                    QStringLiteral("%1 failed").arg(countOf(devices, "failed"))};
  const std::pair<const char*, const char*> others[] = {
      {"incompatible", "incompatible"}, {"unconfirmed", "unconfirmed"}, {"file-refused", "file refused"},
      {"refused", "refused"},           {"cancelled", "cancelled"},     {"checked", "checked"}};
  for (const auto& [result, words] : others) {
    const int n = countOf(devices, result);
    if (n > 0) parts.append(QStringLiteral("%1 ").arg(n) + QLatin1String(words));
  }
  return parts.join(QStringLiteral(", ")) +
         QStringLiteral(" (of %1) in %2 s").arg(devices.size()).arg(secondsText(seconds));
}

namespace {

QString typeCell(const RunSummary& s) {
  const DeviceFacts& d = mainDevice(s);
  return d.read ? versionText(quint32(d.type)) : QStringLiteral("-");
}

QString versionsCell(const RunSummary& s) {
  const DeviceFacts& d = mainDevice(s);
  if (!d.read) return QStringLiteral("-");
  if (!d.toKnown) return versionText(d.from) + QStringLiteral(" → ?");
  if (d.to == d.from) return versionText(d.from);
  return versionText(d.from) + QStringLiteral(" → ") + versionText(d.to);
}

}  // namespace

QStringList fleetSummaryTable(const QList<RunSummary>& devices) {
  std::vector<QStringList> rows{{QStringLiteral("address"), QStringLiteral("name"), QStringLiteral("type"),
                                 QStringLiteral("version"), QStringLiteral("result"), QStringLiteral("seconds"),
                                 QStringLiteral("reason")}};
  for (const RunSummary& s : devices) {
    const QString name = oneLine(s.name).trimmed();
    rows.push_back({s.ip, name.isEmpty() ? QStringLiteral("-") : name, typeCell(s), versionsCell(s), s.result,
                    QString::number(s.seconds, 'f', 1), oneLine(s.reason)});
  }
  std::vector<qsizetype> width(rows[0].size(), 0);
  for (const QStringList& row : rows)
    for (qsizetype c = 0; c < row.size(); ++c) width[size_t(c)] = std::max(width[size_t(c)], row[c].size());
  QStringList lines;
  for (const QStringList& row : rows) {
    QString line;
    for (qsizetype c = 0; c + 1 < row.size(); ++c) {
      const bool right = c == 5;  // seconds
      line += (right ? row[c].rightJustified(width[size_t(c)]) : row[c].leftJustified(width[size_t(c)])) +
              QStringLiteral("  ");
    }
    lines.append((line + row.last()).trimmed());
  }
  return lines;
}

int fleetExitCode(const QList<RunSummary>& devices) {
  // The worst outcome first.
  static const int kRanking[] = {kExitUnconfirmed, kExitFailed,       kExitInterrupted, kExitUnreachable,
                                 kExitIncompatible, kExitFileRefused, kExitRefused};
  int worst = kExitDone;
  auto rank = [](int code) {
    const int* it = std::find(std::begin(kRanking), std::end(kRanking), code);
    return it == std::end(kRanking) ? 0 : int(std::end(kRanking) - it);
  };
  for (const RunSummary& s : devices) {
    const int code = exitCodeFor(s.result);
    if (rank(code) > rank(worst)) worst = code;
  }
  return worst;
}

QJsonObject fleetSummaryEvent(const QList<RunSummary>& devices, const QString& mode, double seconds,
                              const QDateTime& started) {
  std::map<QString, int> counts;
  QJsonArray results;
  for (const RunSummary& s : devices) {
    ++counts[s.result];
    const QJsonObject record = historyRecord(s);
    QJsonObject r;
    for (const char* key : {"ip", "name", "mac", "type", "from", "to", "i2cAddress", "result", "exitCode", "reason",
                            "stage", "written", "activated", "seconds"})
      r.insert(QLatin1String(key), record.value(QLatin1String(key)));
    results.append(r);
  }
  QJsonObject countsObject;
  for (const auto& [result, n] : counts) countsObject.insert(result, n);
  QJsonObject event = resultEvent(RunSummary{});
  const QJsonValue program = event.value(QStringLiteral("program"));
  return QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                     {QStringLiteral("mode"), mode},
                     {QStringLiteral("devices"), int(devices.size())},
                     {QStringLiteral("counts"), countsObject},
                     {QStringLiteral("exitCode"), fleetExitCode(devices)},
                     {QStringLiteral("seconds"), seconds},
                     {QStringLiteral("started"), started.toUTC().toString(Qt::ISODate)},
                     {QStringLiteral("results"), results},
                     {QStringLiteral("program"), program}};
}

namespace {

QString pair(const DeviceFacts& d) { return versionText(d.from) + QStringLiteral(" → ") + versionText(d.fileVersion); }

// One device's part of a plan: what would happen to it.
QString planOf(const DeviceFacts& d, bool force, bool allowDowngrade) {
  if (d.relation == QLatin1String("upgrade")) return QStringLiteral("would upgrade ") + pair(d);
  if (d.relation == QLatin1String("same"))
    return QStringLiteral("already at ") + versionText(d.from) +
           (force ? QStringLiteral(": would flash it again (--force)") : QStringLiteral(": skip"));
  if (d.relation == QLatin1String("downgrade"))
    return QStringLiteral("downgrade ") + pair(d) +
           (allowDowngrade ? QStringLiteral(": would flash it (--allow-downgrade)")
                           : QStringLiteral(": refused (--allow-downgrade to flash it)"));
  if (d.type != d.fileType)
    return QStringLiteral("incompatible: the file is for type ") + versionText(quint32(d.fileType)) +
           QStringLiteral(", the device is type ") + versionText(quint32(d.type));
  return QStringLiteral("incompatible: ") + oneLine(d.reason);
}

}  // namespace

QString fleetPlanText(const RunSummary& checked, bool force, bool allowDowngrade) {
  QStringList parts;
  if (!checked.network.relation.isEmpty()) parts.append(planOf(checked.network, force, allowDowngrade));
  if (!checked.i2c.relation.isEmpty())
    parts.append(QStringLiteral("I2C %1: ").arg(checked.i2cAddress) + planOf(checked.i2c, force, allowDowngrade));
  for (const RunFile& f : checked.files)
    if (f.kind == QLatin1String("web")) parts.append(QStringLiteral(".web: %1 bytes would be uploaded").arg(f.size));
  if (parts.isEmpty() || (checked.result != QLatin1String("checked") && checked.result != QLatin1String("incompatible")))
    return checked.result + (checked.reason.isEmpty() ? QString() : QStringLiteral(": ") + oneLine(checked.reason));
  return parts.join(QStringLiteral("; "));
}

struct FleetLiveTable::Private {
  struct Row {
    QString ip, label, stage;
    int percent = -1;
  };
  FleetTerminal terminal;
  QElapsedTimer clock;
  int total = 0, done = 0;
  std::vector<Row> rows;  // the running devices, in the order they started
  int drawnLines = 0;
  qint64 lastDrawMs = -kRedrawIntervalMs;

  qint64 now() const { return terminal.clockMs ? terminal.clockMs() : clock.elapsed(); }
  Row* find(const QString& ip) {
    for (Row& r : rows)
      if (r.ip == ip) return &r;
    return nullptr;
  }
  QByteArray erase() const {
    return drawnLines > 0 ? "\x1b[" + QByteArray::number(drawnLines) + "A\r\x1b[J" : QByteArray("\r\x1b[J");
  }
  QStringList tableLines() const;
  void draw(bool force, const QByteArray& above = {});
};

QStringList FleetLiveTable::Private::tableLines() const {
  const int height = std::max(2, terminal.rows - 1);
  const int shown = int(rows.size()) + 1 <= height ? int(rows.size()) : height - 2;
  QStringList lines;
  for (int i = 0; i < shown; ++i) {
    const Row& r = rows[size_t(i)];
    lines.append(QStringLiteral("  ") + r.label + QStringLiteral("  ") + r.stage +
                 (r.percent >= 0 ? QStringLiteral("  %1%").arg(r.percent) : QString()));
  }
  if (shown < int(rows.size())) lines.append(QStringLiteral("  +%1 more running").arg(int(rows.size()) - shown));
  lines.append(QStringLiteral("%1 of %2 done").arg(done).arg(total));
  for (QString& line : lines)
    if (line.size() >= terminal.columns) line.truncate(std::max(1, terminal.columns - 1));
  return lines;
}

void FleetLiveTable::Private::draw(bool force, const QByteArray& above) {
  const qint64 t = now();
  if (!force && above.isEmpty() && t - lastDrawMs < kRedrawIntervalMs) return;
  lastDrawMs = t;
  QByteArray out = erase() + above;
  const QStringList lines = tableLines();
  for (const QString& line : lines) out += line.toUtf8() + '\n';
  drawnLines = int(lines.size());
  terminal.write(out);
}

FleetLiveTable::FleetLiveTable(int total, FleetTerminal terminal) : d(new Private) {
  d->terminal = std::move(terminal);
  d->total = total;
  d->clock.start();
  if (!d->terminal.write)
    d->terminal.write = [](const QByteArray& bytes) {
      std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
      std::fflush(stdout);
    };
  winsize size{};
  const bool known = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0;
  if (d->terminal.columns <= 0) d->terminal.columns = known ? size.ws_col : 80;
  if (d->terminal.rows <= 0) d->terminal.rows = known ? size.ws_row : 24;
}

FleetLiveTable::~FleetLiveTable() {
  clear();
  delete d;
}

void FleetLiveTable::deviceStarted(const QString& ip, const QString& label) {
  d->rows.push_back({ip, oneLine(label), QStringLiteral("starting"), -1});
  d->draw(true);
}

void FleetLiveTable::deviceStage(const QString& ip, const QString& stage) {
  Private::Row* r = d->find(ip);
  if (!r) return;
  r->stage = stage;
  r->percent = -1;
  d->draw(false);
}

void FleetLiveTable::deviceProgress(const QString& ip, int percent) {
  Private::Row* r = d->find(ip);
  if (!r || r->percent == percent) return;
  r->percent = percent;
  d->draw(false);
}

void FleetLiveTable::deviceEnded(const QString& ip) {
  d->rows.erase(std::remove_if(d->rows.begin(), d->rows.end(), [&](const Private::Row& r) { return r.ip == ip; }),
                d->rows.end());
  ++d->done;
  d->draw(true);
}

void FleetLiveTable::printLine(const QString& line) { d->draw(true, oneLine(line).toUtf8() + '\n'); }

void FleetLiveTable::clear() {
  if (d->drawnLines == 0) return;
  d->terminal.write(d->erase());
  d->drawnLines = 0;
}
