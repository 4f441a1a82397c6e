#include "app/BatchOutput.h"

#include "app/TerminalProgress.h"

#include <QElapsedTimer>
#include <cstdio>

#include <unistd.h>

using orvane::engine::UpgradeStage;

namespace {

// What a person reads on the live line of each stage.
QString stageLabel(UpgradeStage stage) {
  switch (stage) {
    case UpgradeStage::Starting: return QStringLiteral("Reaching the device");
    case UpgradeStage::Checking: return QStringLiteral("Checking the device");
    case UpgradeStage::UploadingBin: return QStringLiteral("Uploading .bin");
    case UpgradeStage::ReadingBack: return QStringLiteral("Reading .bin back");
    case UpgradeStage::Activating: return QStringLiteral("Activating");
    case UpgradeStage::Restarting: return QStringLiteral("Device restarting");
    case UpgradeStage::VerifyingBin: return QStringLiteral("Verifying the new version");
    case UpgradeStage::UploadingWeb: return QStringLiteral("Uploading .web");
    case UpgradeStage::CheckingI2c: return QStringLiteral("Checking the I2C device");
    case UpgradeStage::TransferringI2c: return QStringLiteral("Writing .bi2");
    case UpgradeStage::RestartingI2c: return QStringLiteral("I2C device restarting");
    case UpgradeStage::VerifyingI2c: return QStringLiteral("Verifying the I2C device");
    case UpgradeStage::Done: return QStringLiteral("Done");
  }
  return {};
}

bool isRestart(UpgradeStage stage) { return stage == UpgradeStage::Restarting || stage == UpgradeStage::RestartingI2c; }

bool isVerify(UpgradeStage stage) { return stage == UpgradeStage::VerifyingBin || stage == UpgradeStage::VerifyingI2c; }

}  // namespace

BatchOutput::Format BatchOutput::chosenFormat(bool json) {
  if (json) return Format::Json;
  return ::isatty(STDOUT_FILENO) ? Format::Terminal : Format::Plain;
}

BatchOutput::BatchOutput(Format format, int restartTimeoutS)
    : format_(format), restartTimeoutS_(restartTimeoutS), lastPercent_(format == Format::Plain ? 0 : -1) {
  if (format_ == Format::Terminal) terminal_ = std::make_unique<TerminalProgress>(stdout);
  clock_.start();
}

BatchOutput::~BatchOutput() = default;

void BatchOutput::setFileSizes(qint64 bin, qint64 web, qint64 bi2) {
  binSize_ = bin;
  webSize_ = web;
  bi2Size_ = bi2;
}

qint64 BatchOutput::stageTotal() const {
  switch (stage_) {
    case UpgradeStage::UploadingBin:
    case UpgradeStage::ReadingBack: return binSize_;
    case UpgradeStage::UploadingWeb: return webSize_;
    case UpgradeStage::TransferringI2c: return bi2Size_;
    default: return 0;
  }
}

void BatchOutput::message(const QString& text) {
  switch (format_) {
    case Format::Plain: printOutputLine(text); return;
    case Format::Terminal: terminal_->message(text); return;
    case Format::Json: printJsonLine(messageEvent(text)); return;
  }
}

void BatchOutput::stage(UpgradeStage stage, double seconds) {
  const UpgradeStage previous = stage_;
  stage_ = stage;
  stageFresh_ = true;
  stagePercent_ = -1;
  if (format_ == Format::Json) printJsonLine(stageEvent(QString::fromLatin1(orvane::engine::stageName(stage)), seconds));
  if (format_ != Format::Terminal) return;
  if (stage == UpgradeStage::Done) {
    terminal_->finish();
    return;
  }
  terminal_->stage(stageLabel(stage));
  if (!isRestart(stage)) return;
  // A restart that failed to answer and goes on waiting keeps counting from its start.
  if (!isVerify(previous)) restartSinceMs_ = clock_.elapsed();
  terminal_->restarting(restartTimeoutS_, restartSeconds());
}

int BatchOutput::restartSeconds() const { return int((clock_.elapsed() - restartSinceMs_) / 1000); }

void BatchOutput::progress(int percent) {
  if (format_ == Format::Plain) {
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    printOutputLine(QStringLiteral("progress %1").arg(percent));
    return;
  }
  // During a restart the engine counts its wait down: the live line shows the time instead.
  const qint64 total = stageTotal();
  const qint64 bytes = total * percent / 100;
  if (format_ == Format::Terminal) {
    // The engine counts a restart's wait down; the live line shows the time instead.
    if (isRestart(stage_)) {
      terminal_->restarting(restartTimeoutS_, restartSeconds());
      return;
    }
    // A transfer's bar going back to 0 at its end is not news.
    if (percent == 0 && stagePercent_ > 0) return;
    stagePercent_ = percent;
    terminal_->progress(percent, bytes, total);
    return;
  }
  const bool fresh = stageFresh_;
  stageFresh_ = false;
  if (!throttle_.shouldEmit(clock_.elapsed(), percent, fresh)) return;
  printJsonLine(progressEvent(QString::fromLatin1(orvane::engine::stageName(stage_)), percent, bytes, total));
}

void BatchOutput::finish(const RunSummary& summary) {
  if (terminal_) terminal_->finish();
  if (format_ == Format::Json) printJsonLine(resultEvent(summary));
  const QString line = failureLine(summary, restartTimeoutS_);
  if (!line.isEmpty()) printProgramError(line);
}

void printProgramError(const QString& text) {
  const QByteArray bytes = QStringLiteral("orvane-upgrader: ").toLocal8Bit() + text.toLocal8Bit() + '\n';
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
  std::fflush(stderr);
}

namespace {
// The device's text as a sentence of the line: it ends with a full stop.
QString asSentence(const QString& text) {
  const QString t = text.trimmed().isEmpty() ? QStringLiteral("no reason given") : text.trimmed();
  return t.endsWith(u'.') || t.endsWith(u'!') || t.endsWith(u'?') ? t : t + u'.';
}
}  // namespace

QString failureLine(const RunSummary& s, int restartTimeoutS) {
  const QString reason = asSentence(s.reason);
  const QString& r = s.result;
  if (r == QLatin1String("unreachable"))
    return s.ip + QStringLiteral(" is unreachable: ") + reason + QStringLiteral(" Nothing was written.");
  if (r == QLatin1String("incompatible"))
    return s.ip + QStringLiteral(" is not compatible with the file: ") + reason + QStringLiteral(" Nothing was written.");
  if (r == QLatin1String("unconfirmed"))
    return s.ip + QStringLiteral(": the new firmware was activated but the device did not answer within %1 s (")
                      .arg(restartTimeoutS) +
           s.reason.trimmed() + QStringLiteral("). Check it later with --verify.");
  if (r == QLatin1String("failed")) {
    // A check or a verification writes nothing: only an upgrade can have activated anything.
    const QString run = s.mode == QLatin1String("upgrade") ? QStringLiteral("upgrade") : s.mode;
    const QString where = s.ip + QStringLiteral(": the ") + run + QStringLiteral(" failed at ") + s.stage +
                          QStringLiteral(": ") + reason;
    if (s.activated) return where + QStringLiteral(" The new firmware was activated: check the device with --verify.");
    return where + QStringLiteral(" Nothing was activated; a retry is safe.");
  }
  return {};
}

void printOutputLine(const QString& line) {
  // Texts from a device (an upload's status text, a name) may hold control characters: a
  // line break would forge a line of its own, an escape sequence would drive the terminal.
  std::fputs(printableText(line).toLocal8Bit().constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
