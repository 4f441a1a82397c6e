#include "app/RunReport.h"

#include "app/ExitCodes.h"
#include "common/Version.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

using orvane::engine::UpgradeResult;
using orvane::proto::kNoVersion;
using orvane::proto::PackedVersion;

namespace {

QJsonValue textOrNull(const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); }

QJsonValue numberText(qint32 number) {
  return QJsonObject{{QStringLiteral("number"), number}, {QStringLiteral("text"), orvane::proto::versionText(number)}};
}

// Whether the run had anything to say about the device: it was read, or had a file.
bool isKnown(const DeviceFacts& d) { return d.read || d.fileType != 0 || d.fileVersion != 0 || !d.relation.isEmpty(); }

QJsonObject deviceJson(const DeviceFacts& d) {
  const bool hasFile = d.fileType != 0 || d.fileVersion != 0;
  return QJsonObject{
      {QStringLiteral("type"), deviceTypeJson(d)},
      {QStringLiteral("from"), deviceFromJson(d)},
      {QStringLiteral("to"), deviceToJson(d)},
      {QStringLiteral("hardware"), d.read ? versionJson(d.hardware) : QJsonValue()},
      {QStringLiteral("fileType"), hasFile ? typeJson(d.fileType) : QJsonValue()},
      {QStringLiteral("fileVersion"), hasFile ? versionJson(d.fileVersion) : QJsonValue()},
      {QStringLiteral("relation"), textOrNull(d.relation)},
  };
}

QJsonValue networkJson(const RunSummary& s) {
  return isKnown(s.network) ? QJsonValue(deviceJson(s.network)) : QJsonValue();
}

QJsonValue i2cJson(const RunSummary& s) {
  if (s.i2cAddress < 0) return QJsonValue();
  QJsonObject o = deviceJson(s.i2c);
  o.insert(QStringLiteral("address"), s.i2cAddress);
  return o;
}

QJsonArray filesJson(const QList<RunFile>& files) {
  QJsonArray array;
  for (const RunFile& f : files) {
    array.append(QJsonObject{{QStringLiteral("kind"), f.kind},
                             {QStringLiteral("name"), f.name},
                             {QStringLiteral("path"), f.path},
                             {QStringLiteral("size"), f.size},
                             {QStringLiteral("sha256"), f.sha256}});
  }
  return array;
}

}  // namespace

const DeviceFacts& reportedDevice(const RunSummary& s) {
  return (!s.network.read && s.i2cAddress >= 0) ? s.i2c : s.network;
}

QJsonValue deviceTypeJson(const DeviceFacts& d) { return d.read ? typeJson(d.type) : QJsonValue(); }
QJsonValue deviceFromJson(const DeviceFacts& d) { return d.read ? versionJson(d.from) : QJsonValue(); }
QJsonValue deviceToJson(const DeviceFacts& d) { return d.toKnown ? versionJson(d.to) : QJsonValue(); }

QString utcTimeText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODate); }

QString relationText(const DeviceFacts& d) {
  using orvane::proto::versionText;
  if (d.relation == QLatin1String("upgrade")) return versionText(d.from) + QStringLiteral(" → ") + versionText(d.fileVersion);
  if (d.relation == QLatin1String("same")) return QStringLiteral("already at ") + versionText(d.from);
  if (d.relation == QLatin1String("downgrade"))
    return QStringLiteral("downgrade ") + versionText(d.from) + QStringLiteral(" → ") + versionText(d.fileVersion);
  if (d.type != d.fileType)
    return QStringLiteral("incompatible: file is for type ") + versionText(d.fileType) + QStringLiteral(", device is ") +
           versionText(d.type);
  return QStringLiteral("incompatible: ") + d.reason;
}

RunFile unhashedRunFile(const QString& kind, const QString& path, const QByteArray& content) {
  return RunFile{kind, QFileInfo(path).fileName(), path, content.size(), QString(), content};
}

void hashRunFile(RunFile& file) {
  if (!file.sha256.isEmpty()) return;
  file.sha256 = QString::fromLatin1(QCryptographicHash::hash(file.content, QCryptographicHash::Sha256).toHex());
  file.content = QByteArray();
}

RunFile runFile(const QString& kind, const QString& path, const QByteArray& content) {
  RunFile file = unhashedRunFile(kind, path, content);
  hashRunFile(file);
  return file;
}

QString resultName(UpgradeResult result) {
  switch (result) {
    case UpgradeResult::Upgraded:
      return QStringLiteral("upgraded");
    case UpgradeResult::Current:
      return QStringLiteral("current");
    case UpgradeResult::Checked:
      return QStringLiteral("checked");
    case UpgradeResult::Unreachable:
      return QStringLiteral("unreachable");
    case UpgradeResult::Incompatible:
      return QStringLiteral("incompatible");
    case UpgradeResult::Unconfirmed:
      return QStringLiteral("unconfirmed");
    case UpgradeResult::Running:
    case UpgradeResult::Failed:
      break;
  }
  return QStringLiteral("failed");
}

int exitCodeFor(const QString& result) {
  static const QHash<QString, int> codes{
      {QStringLiteral("upgraded"), kExitDone},
      {QStringLiteral("current"), kExitDone},
      {QStringLiteral("checked"), kExitDone},
      {QStringLiteral("match"), kExitDone},
      {QStringLiteral("failed"), kExitFailed},
      {QStringLiteral("refused"), kExitRefused},
      {QStringLiteral("unreachable"), kExitUnreachable},
      {QStringLiteral("incompatible"), kExitIncompatible},
      {QStringLiteral("file-refused"), kExitFileRefused},
      {QStringLiteral("unconfirmed"), kExitUnconfirmed},
      {QStringLiteral("mismatch"), kExitUnconfirmed},
      {QStringLiteral("cancelled"), kExitInterrupted},
  };
  return codes.value(result, kExitFailed);
}

QJsonValue versionJson(PackedVersion version) { return version == kNoVersion ? QJsonValue() : numberText(version); }

QJsonValue typeJson(qint32 type) { return numberText(type); }

QJsonObject stageEvent(const QString& stage, double seconds) {
  return QJsonObject{{QStringLiteral("event"), QStringLiteral("stage")},
                     {QStringLiteral("stage"), stage},
                     {QStringLiteral("seconds"), seconds}};
}

QJsonObject progressEvent(const QString& stage, int percent, qint64 bytes, qint64 total) {
  return QJsonObject{{QStringLiteral("event"), QStringLiteral("progress")},
                     {QStringLiteral("stage"), stage},
                     {QStringLiteral("percent"), percent},
                     {QStringLiteral("bytes"), bytes},
                     {QStringLiteral("total"), total}};
}

QJsonObject messageEvent(const QString& text) {
  return QJsonObject{{QStringLiteral("event"), QStringLiteral("message")}, {QStringLiteral("text"), text}};
}

QJsonObject resultEvent(const RunSummary& s) {
  return QJsonObject{
      {QStringLiteral("event"), QStringLiteral("result")},
      {QStringLiteral("mode"), s.mode},
      {QStringLiteral("ip"), s.ip},
      {QStringLiteral("mac"), textOrNull(s.mac)},
      {QStringLiteral("name"), textOrNull(s.name)},
      {QStringLiteral("result"), s.result},
      {QStringLiteral("exitCode"), s.exitCode},
      {QStringLiteral("reason"), s.reason},
      {QStringLiteral("stage"), s.stage},
      {QStringLiteral("written"), s.written},
      {QStringLiteral("activated"), s.activated},
      {QStringLiteral("from"), deviceFromJson(reportedDevice(s))},
      {QStringLiteral("to"), deviceToJson(reportedDevice(s))},
      {QStringLiteral("network"), networkJson(s)},
      {QStringLiteral("i2c"), i2cJson(s)},
      {QStringLiteral("files"), filesJson(s.files)},
      {QStringLiteral("seconds"), s.seconds},
      {QStringLiteral("started"), utcTimeText(s.started)},
      {QStringLiteral("program"), QString::fromLatin1(orvane::kProgramVersion)},
  };
}

QJsonObject historyRecord(const RunSummary& s) {
  const DeviceFacts& d = reportedDevice(s);
  return QJsonObject{
      {QStringLiteral("time"), utcTimeText(s.started)},
      {QStringLiteral("mode"), s.mode},
      {QStringLiteral("ip"), s.ip},
      {QStringLiteral("mac"), textOrNull(s.mac)},
      {QStringLiteral("name"), textOrNull(s.name)},
      {QStringLiteral("type"), deviceTypeJson(d)},
      {QStringLiteral("from"), deviceFromJson(d)},
      {QStringLiteral("to"), deviceToJson(d)},
      {QStringLiteral("hardware"), d.read ? versionJson(d.hardware) : QJsonValue()},
      {QStringLiteral("i2cAddress"), s.i2cAddress < 0 ? QJsonValue() : QJsonValue(s.i2cAddress)},
      {QStringLiteral("i2c"), i2cJson(s)},
      {QStringLiteral("files"), filesJson(s.files)},
      {QStringLiteral("result"), s.result},
      {QStringLiteral("exitCode"), s.exitCode},
      {QStringLiteral("reason"), s.reason},
      {QStringLiteral("stage"), s.stage},
      {QStringLiteral("written"), s.written},
      {QStringLiteral("activated"), s.activated},
      {QStringLiteral("seconds"), s.seconds},
      {QStringLiteral("program"), QString::fromLatin1(orvane::kProgramVersion)},
  };
}

void printJsonLine(const QJsonObject& object) {
  const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
  std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
  std::fflush(stdout);
}

ProgressThrottle::ProgressThrottle(int maxPerSecond) : intervalMs_(1000 / qMax(1, maxPerSecond)) {}

bool ProgressThrottle::shouldEmit(qint64 nowMs, int percent, bool stageChanged) {
  const bool first = stageChanged || !emitted_;
  const bool pass = first || percent == 100 || (percent != lastPercent_ && nowMs - lastMs_ >= intervalMs_);
  if (!pass) return false;
  emitted_ = true;
  lastMs_ = nowMs;
  lastPercent_ = percent;
  return true;
}
