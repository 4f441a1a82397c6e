#pragma once

#include "engine/IpPacket.h"
#include "engine/UpgradeReport.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// What a run from the command line reports to scripts: the JSON events on standard output
// (stage, progress, message, result) and the record it leaves in the upgrade history.
// Everything here but printJsonLine is a pure function of its arguments.

// One file of the run.
struct RunFile {
  QString kind;  // "bin" | "web" | "bi2"
  QString name;  // the file name alone
  QString path;  // as it was opened
  qint64 size = 0;
  QString sha256;  // lower-case hex; empty until hashRunFile()
  QByteArray content;  // the bytes still to be hashed (shared, not copied); empty once hashed
};
// A file's record with its digest.
RunFile runFile(const QString& kind, const QString& path, const QByteArray& content);
// The same without the digest yet: hashing a large file costs more than the rest of the
// program's start, so a run that starts at once hashes its files at its end.
RunFile unhashedRunFile(const QString& kind, const QString& path, const QByteArray& content);
void hashRunFile(RunFile& file);

// One device of the run: the network device, or the I2C device behind it.
struct DeviceFacts {
  bool read = false;  // its type and version were read
  qint32 type = 0;
  orvane::proto::PackedVersion from = 0, to = 0, hardware = orvane::proto::kNoVersion;
  bool toKnown = false;  // `to` was read after flashing (or equals from when nothing was flashed)
  // The identification of its file; both 0 when the run had no file for it.
  qint32 fileType = 0;
  orvane::proto::PackedVersion fileVersion = 0;
  QString relation;  // "upgrade" | "same" | "downgrade" | "incompatible" | "" (not checked)
  QString reason;    // "incompatible": why the checks refuse the file
};

struct RunSummary {
  QString mode;           // "upgrade" | "check" | "verify"
  QString ip, mac, name;  // mac and name empty when unknown
  int i2cAddress = -1;    // -1: no I2C device in the run
  QString result;         // see resultName and exitCodeFor
  int exitCode = 0;
  QString reason;  // empty on success
  QString stage;   // the stage name where the run ended ("done" on success)
  bool written = false, activated = false;
  DeviceFacts network, i2c;
  QList<RunFile> files;
  double seconds = 0;
  QDateTime started;  // UTC
};

// The result vocabulary, fixed for scripts: "upgraded", "current", "checked", "match",
// "mismatch", "failed", "refused", "unreachable", "incompatible", "file-refused",
// "unconfirmed"; a fleet run adds "cancelled" (stopped by Ctrl-C before anything was
// activated, or never started).
QString resultName(orvane::engine::UpgradeResult result);  // Running gives "failed"
// The exit code of a result (app/ExitCodes.h); an unknown result is a failure.
int exitCodeFor(const QString& result);

// {"number": v, "text": "3.11"}; null for kNoVersion.
QJsonValue versionJson(orvane::proto::PackedVersion version);
// {"number": t, "text": "18.3"}: a firmware type reads like a version.
QJsonValue typeJson(qint32 type);

// The device that "from" and "to" of a run speak of: the network device when it was read,
// else the I2C device of the run.
const DeviceFacts& reportedDevice(const RunSummary& summary);
// A device's type, its version before and after the run as JSON: null when not read (the
// type and "from") or not read after flashing ("to").
QJsonValue deviceTypeJson(const DeviceFacts& device);
QJsonValue deviceFromJson(const DeviceFacts& device);
QJsonValue deviceToJson(const DeviceFacts& device);
// A time as the events and the history write it: ISO 8601 in UTC, whole seconds.
QString utcTimeText(const QDateTime& time);

// How a device compares with its file, as a person reads it: "3.10 → 3.11",
// "already at 3.11", "downgrade 3.13 → 3.12", "incompatible: file is for type 18.4,
// device is 18.3", "incompatible: <reason>". For a device whose relation was checked.
QString relationText(const DeviceFacts& device);

// The events of a run, one JSON object per line.
QJsonObject stageEvent(const QString& stage, double seconds);
// bytes and total are 0 when the progress is not that of a transfer.
QJsonObject progressEvent(const QString& stage, int percent, qint64 bytes, qint64 total);
QJsonObject messageEvent(const QString& text);
// The last event: the outcome, both devices ("network"/"i2c", null when not in the
// run), "from"/"to" of the network device when it was read (else of the I2C device), the
// files, the duration, the start (ISO 8601, UTC) and the program's version.
QJsonObject resultEvent(const RunSummary& summary);
// The run's line in the upgrade history: the device's type and versions at the top level
// (as "from"/"to" of the result event), the I2C device's in "i2c".
QJsonObject historyRecord(const RunSummary& summary);

// Writes `object` as compact JSON and '\n' to standard output and flushes it.
void printJsonLine(const QJsonObject& object);

// Keeps progress events few enough for a script to read: the first report of a stage and
// the end of a transfer (100%) always pass; otherwise at most maxPerSecond, and only when
// the percentage changed.
class ProgressThrottle {
 public:
  explicit ProgressThrottle(int maxPerSecond = 4);
  bool shouldEmit(qint64 nowMs, int percent, bool stageChanged);

 private:
  qint64 intervalMs_;
  bool emitted_ = false;
  qint64 lastMs_ = 0;
  int lastPercent_ = -1;
};
