#include "app/RunTracker.h"

#include "common/Globalfunctions.h"
#include "common/History.h"

#include <QJsonDocument>

void RunTracker::startBatchOutput(const ScriptOptions& options) {
  output_ = std::make_unique<BatchOutput>(BatchOutput::chosenFormat(options.json), options.restartTimeoutS);
}

void RunTracker::begin(const QString& ip, int i2cAddress, const QList<RunFile>& files) {
  recorder_.begin(QStringLiteral("upgrade"), ip, i2cAddress, files);
  if (!output_) return;
  qint64 sizes[3] = {0, 0, 0};
  for (const RunFile& f : files) {
    if (f.kind == QLatin1String("bin")) sizes[0] = f.size;
    if (f.kind == QLatin1String("web")) sizes[1] = f.size;
    if (f.kind == QLatin1String("bi2")) sizes[2] = f.size;
  }
  output_->setFileSizes(sizes[0], sizes[1], sizes[2]);
}

void RunTracker::stage(orvane::engine::UpgradeStage stage) {
  if (!recorder_.running()) return;
  recorder_.stageChanged(stage, engine_);
  if (output_) output_->stage(stage, recorder_.summary().started.msecsTo(QDateTime::currentDateTimeUtc()) / 1000.0);
}

void RunTracker::message(const QString& text) {
  if (output_) output_->message(text);
}

void RunTracker::progress(int percent) {
  if (output_) output_->progress(percent);
}

std::optional<int> RunTracker::end() {
  if (!recorder_.running()) return std::nullopt;
  return finish(recorder_.end(engine_));
}

int RunTracker::fileRefused(const QString& ip, int i2cAddress, const QList<RunFile>& loaded, const QString& reason) {
  recorder_.begin(QStringLiteral("upgrade"), ip, i2cAddress, loaded);
  return finish(recorder_.fileRefused(reason));
}

int RunTracker::finish(const RunSummary& summary) {
  appendRunToHistory(summary);
  if (output_) output_->finish(summary);
  return summary.exitCode;
}

void appendRunToHistory(const RunSummary& summary) {
  QString error;
  const QByteArray line = QJsonDocument(historyRecord(summary)).toJson(QJsonDocument::Compact);
  if (appendHistoryLine(line, &error)) return;
  const QString text = QStringLiteral("The upgrade could not be written to the history file ") + historyFilePath() +
                       QStringLiteral(": ") + error;
  writeLogEntry(QStringLiteral("RunTracker"), __LINE__, QStringLiteral("appendRunToHistory"), UseConfiguredOutputs,
                LogLevelError, text);
  printProgramError(text);
}
