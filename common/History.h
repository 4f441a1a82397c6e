#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

// The upgrade history: one JSON object per line in "history.jsonl", beside the error log.
// Every run of the program appends its record; records are only ever added (one that
// could be written only partly is cut off again), so that several processes can add to
// it at once and a reader never sees half a record.

inline constexpr int kHistoryMaxLineBytes = 64 * 1024;  // longer lines are left out when reading
inline constexpr int kHistoryMaxLines = 100000;         // only the last lines are read

// "history.jsonl" in the directory the error log was configured with.
QString historyFilePath();

// Appends `jsonLine` and a '\n' to historyFilePath() with one write, under the log files'
// cross-process lock; creates the file with mode 0644 when it is missing. An empty line,
// or one that holds a line break, is refused. On failure returns false with the reason in `error`
// ("No such file or directory", "it is not a regular file"...); the caller names the file.
bool appendHistoryLine(const QByteArray& jsonLine, QString* error = nullptr);

// The records of the history file at `path` whose "time" is at or after `since` (every
// record when `since` is not valid), oldest first. Reading is tolerant: a line that is not
// a JSON object with a readable "time", or that is longer than kHistoryMaxLineBytes, is
// left out and counted in `skippedLines`. Only the last kHistoryMaxLines lines are read.
// A missing file, or anything but a regular file, gives no records.
QList<QJsonObject> readHistory(const QString& path, QDateTime since, int* skippedLines = nullptr);

// The "time" of a record (ISO 8601, UTC); invalid when it has none.
QDateTime historyRecordTime(const QJsonObject& record);
