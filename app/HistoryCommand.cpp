#include "app/HistoryCommand.h"

#include "app/ExitCodes.h"
#include "app/RunReport.h"
#include "common/History.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>

namespace {

void print(FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
  std::fflush(stream);
}

QString valueText(const QJsonValue& value) {
  return value.isObject() ? value.toObject().value(QStringLiteral("text")).toString() : QString();
}

QString orDash(const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; }

QString addressCell(const QJsonObject& r) {
  QString address = r.value(QStringLiteral("ip")).toString();
  const QJsonValue i2c = r.value(QStringLiteral("i2cAddress"));
  if (i2c.isDouble()) address += QStringLiteral(" I2C %1").arg(i2c.toInt());
  return orDash(address);
}

QString versionsCell(const QJsonObject& r) {
  const QString from = valueText(r.value(QStringLiteral("from")));
  const QString to = valueText(r.value(QStringLiteral("to")));
  if (from.isEmpty() && to.isEmpty()) return QStringLiteral("-");
  return (from.isEmpty() ? QStringLiteral("?") : from) + QStringLiteral(" → ") +
         (to.isEmpty() ? QStringLiteral("?") : to);
}

QString filesCell(const QJsonObject& r) {
  QStringList names;
  for (const QJsonValue& file : r.value(QStringLiteral("files")).toArray()) {
    names.append(file.toObject().value(QStringLiteral("name")).toString());
  }
  return orDash(names.join(QStringLiteral(", ")));
}

QStringList rowOf(const QJsonObject& r) {
  return {historyRecordTime(r).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
          addressCell(r),
          orDash(r.value(QStringLiteral("name")).toString()),
          orDash(valueText(r.value(QStringLiteral("type")))),
          versionsCell(r),
          orDash(r.value(QStringLiteral("result")).toString()),
          orDash(r.value(QStringLiteral("stage")).toString()),
          QString::number(r.value(QStringLiteral("seconds")).toDouble(), 'f', 1),
          filesCell(r)};
}

QString formatRows(const QList<QStringList>& rows) {
  QList<int> widths(rows.first().size(), 0);
  for (const QStringList& row : rows) {
    for (int c = 0; c < row.size(); ++c) widths[c] = qMax(widths[c], int(row[c].size()));
  }
  QString table;
  for (const QStringList& row : rows) {
    QString line;
    for (int c = 0; c < row.size(); ++c) line += row[c].leftJustified(widths[c]) + QStringLiteral("  ");
    while (line.endsWith(u' ')) line.chop(1);
    table += line + u'\n';
  }
  return table;
}

QString nothingRecorded(const QDateTime& since, const QString& path) {
  const QString when = since.isValid()
                           ? QStringLiteral("since ") + since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                           : QStringLiteral("yet");
  return QStringLiteral("No upgrade recorded %1 (history file %2).\n").arg(when, path);
}

void printRecords(const QList<QJsonObject>& records, bool json, const QDateTime& since, const QString& path) {
  if (json) {
    for (const QJsonObject& r : records) printJsonLine(r);
  } else if (records.isEmpty()) {
    print(stdout, nothingRecorded(since, path));
  } else {
    print(stdout, historyTable(records));
  }
}

// Why the history file at `path` cannot be read, or an empty text.
QString unreadableReason(const QString& path) {
  if (!QFileInfo(path).isFile()) return QStringLiteral("it is not a regular file");
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString() : file.errorString();
}

}  // namespace

std::optional<QDateTime> parseSince(const QString& text) {
  if (text.isEmpty()) return QDateTime();
  static const QRegularExpression date(QStringLiteral(R"(^\d{4}-\d{2}-\d{2}$)"));
  static const QRegularExpression dateTime(
      QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?(Z|[+-]\d{2}:\d{2})?$)"));
  QDateTime since;
  if (date.match(text).hasMatch()) {
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid()) since = day.startOfDay();
  } else if (dateTime.match(text).hasMatch()) {
    since = QDateTime::fromString(text, Qt::ISODateWithMs);
  }
  if (!since.isValid()) return std::nullopt;
  return since;
}

QString historyTable(const QList<QJsonObject>& records) {
  QList<QStringList> rows{{QStringLiteral("Time"), QStringLiteral("Address"), QStringLiteral("Name"),
                           QStringLiteral("Type"), QStringLiteral("From → to"), QStringLiteral("Result"),
                           QStringLiteral("Stage"), QStringLiteral("Seconds"), QStringLiteral("Files")}};
  for (const QJsonObject& r : records) rows.append(rowOf(r));
  return formatRows(rows);
}

int runHistoryCommand(const QString& sinceText, bool json) {
  const std::optional<QDateTime> since = parseSince(sinceText);
  if (!since) {
    const QString refusal =
        QStringLiteral("orvane-upgrader: --since %1: expected a date YYYY-MM-DD or YYYY-MM-DDTHH:MM\n");
    print(stderr, refusal.arg(sinceText));
    return kExitRefused;
  }
  const QString path = historyFilePath();
  const QString shown = QDir::toNativeSeparators(path);
  if (!QFileInfo::exists(path)) {
    // With --json standard output carries records only.
    print(json ? stderr : stdout, nothingRecorded(QDateTime(), shown));
    return kExitDone;
  }
  const QString unreadable = unreadableReason(path);
  if (!unreadable.isEmpty()) {
    print(stderr, QStringLiteral("orvane-upgrader: the history file %1 cannot be read: %2\n").arg(shown, unreadable));
    return kExitFailed;
  }
  int skipped = 0;
  const QList<QJsonObject> records = readHistory(path, *since, &skipped);
  if (skipped > 0) {
    print(stderr, QStringLiteral("orvane-upgrader: %1 line(s) of %2 could not be read and were left out.\n")
                      .arg(skipped)
                      .arg(shown));
  }
  printRecords(records, json, *since, shown);
  return kExitDone;
}
