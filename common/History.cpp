#include "common/History.h"

#include "common/FileNames.h"
#include "common/Globalfunctions.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

constexpr qint64 kTailChunk = 1 << 20;

// The offset of the first of the last `maxLines` lines of `file` (a line ends with '\n';
// a last line without one counts too), found by reading backwards from the end.
qint64 tailStart(QFile& file, int maxLines) {
  const qint64 size = file.size();
  int lineStarts = 0;
  for (qint64 end = size; end > 0;) {
    const qint64 begin = qMax<qint64>(0, end - kTailChunk);
    if (!file.seek(begin)) return 0;
    const QByteArray chunk = file.read(end - begin);
    for (qint64 i = chunk.size() - 1; i >= 0; --i) {
      // Every '\n' but the file's last byte starts a line.
      if (chunk[i] != '\n' || begin + i == size - 1) continue;
      if (++lineStarts == maxLines) return begin + i + 1;
    }
    end = begin;
  }
  return 0;
}

// The next line of `file` without its '\n'; empty and `tooLong` set when it holds more
// than kHistoryMaxLineBytes (the rest of such a line is passed over).
QByteArray nextLine(QFile& file, bool* tooLong) {
  QByteArray line = file.readLine(kHistoryMaxLineBytes + 2);
  const bool whole = line.endsWith('\n') || file.atEnd();
  if (line.endsWith('\n')) line.chop(1);
  *tooLong = !whole || line.size() > kHistoryMaxLineBytes;
  for (QByteArray rest = line; !whole && !rest.isEmpty() && !rest.endsWith('\n');) rest = file.readLine(kTailChunk);
  return *tooLong ? QByteArray() : line;
}

// A record of one line, or an empty object when the line is not one.
QJsonObject parseRecord(const QByteArray& line) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) return QJsonObject();
  QJsonObject record = doc.object();
  if (!historyRecordTime(record).isValid()) return QJsonObject();
  return record;
}

}  // namespace

QString historyFilePath() { return logDirectoryPath() + QStringLiteral("/history.jsonl"); }

bool appendHistoryLine(const QByteArray& jsonLine, QString* error) {
  const QString path = historyFilePath();
  QString reason;
  if (jsonLine.isEmpty()) {
    reason = QStringLiteral("the record is empty");
  } else if (jsonLine.contains('\n') || jsonLine.contains('\r')) {
    reason = QStringLiteral("the record holds a line break");
  } else {
    const QByteArray bytes = jsonLine + '\n';
    QString lockProblem;
    if (!runUnderLogLock([&] { reason = appendWholeToFile(path, bytes, 0644); }, &lockProblem)) reason = lockProblem;
  }
  if (reason.isEmpty()) return true;
  if (error) *error = reason;
  return false;
}

QDateTime historyRecordTime(const QJsonObject& record) {
  const QJsonValue time = record.value(QStringLiteral("time"));
  if (!time.isString()) return QDateTime();
  return QDateTime::fromString(time.toString(), Qt::ISODateWithMs);
}

QList<QJsonObject> readHistory(const QString& path, QDateTime since, int* skippedLines) {
  QList<QJsonObject> records;
  int skipped = 0;
  QFile file(path);
  // A FIFO or device in its place is not opened: reading it could wait for ever.
  if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) && file.seek(tailStart(file, kHistoryMaxLines))) {
    while (!file.atEnd()) {
      bool tooLong = false;
      const QByteArray line = nextLine(file, &tooLong);
      const QJsonObject record = tooLong ? QJsonObject() : parseRecord(line);
      if (record.isEmpty()) {
        ++skipped;
      } else if (!since.isValid() || historyRecordTime(record) >= since) {
        records.append(record);
      }
    }
  }
  if (skippedLines) *skippedLines = skipped;
  return records;
}
