#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// The history command: lists the upgrade history (common/History.h) for a person, as a
// table, or for a script, one JSON record per line.

// The start of a --since value: "YYYY-MM-DD" (local midnight) or an ISO 8601 date and
// time ("YYYY-MM-DDTHH:MM", seconds, milliseconds and a zone may follow; without a zone
// it is local time). An invalid QDateTime for an empty value (no limit); nothing when
// the value is neither.
std::optional<QDateTime> parseSince(const QString& text);

// The table of `records`: a heading line, then one line per record, with the columns
// time (local, "2026-12-10 15:04"), address, name, type, from → to, result, stage,
// seconds and files, each as wide as its widest cell.
QString historyTable(const QList<QJsonObject>& records);

// Prints the records since `sinceText` from the history file on standard output (with
// `json`: one JSON object per line) and returns 0. A --since value that parseSince
// refuses is reported on standard error and gives 2; a history file that cannot be read
// (not a regular file, no permission) is reported there too and gives 1.
int runHistoryCommand(const QString& sinceText, bool json);
