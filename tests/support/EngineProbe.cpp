#include "EngineProbe.h"

#include "engine/IpPacket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace orvane::test {

void ensureApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "orvane-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}

void EngineProbe::callback(void* owner, int kind, int value, const QString& text) {
  auto* probe = static_cast<EngineProbe*>(owner);
  probe->reports.append({kind, value, text});
  probe->reportTimes.push_back(std::chrono::steady_clock::now());
}

QStringList EngineProbe::messages() const {
  QStringList out;
  for (const auto& r : reports)
    if (r.kind == StatusMessage) out << r.text;
  return out;
}

QList<int> EngineProbe::progressValues() const {
  QList<int> out;
  for (const auto& r : reports)
    if (r.kind == StatusProgress) out << r.value;
  return out;
}

int EngineProbe::count(int kind) const {
  int n = 0;
  for (const auto& r : reports) n += r.kind == kind;
  return n;
}

bool EngineProbe::finished() const { return count(StatusSucceeded) + count(StatusFailed) > 0; }

QStringList EngineProbe::transcript() const {
  QStringList out;
  for (const auto& r : reports) {
    switch (r.kind) {
      case StatusMessage: out << QStringLiteral("M:") + r.text; break;
      case StatusProgress: out << QStringLiteral("P:%1").arg(r.value); break;
      case StatusSucceeded: out << QStringLiteral("S"); break;
      case StatusFailed: out << QStringLiteral("F"); break;
      default: out << QStringLiteral("?%1").arg(r.kind); break;
    }
  }
  return out;
}

bool EngineProbe::noSuccessAfterFailure() const {
  bool failed = false;
  for (const auto& r : reports) {
    if (r.kind == StatusSucceeded && failed) return false;
    failed |= r.kind == StatusFailed;
  }
  return true;
}

QByteArray answerFrame(const char* hexText) {
  QByteArray f = QByteArray::fromHex(QByteArray(hexText).replace(' ', ""));
  f.append(2, '\0');
  orvane::proto::appendChecksum(reinterpret_cast<quint8*>(f.data()), int(f.size()) - 2);
  return f;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
  ensureApplication();
  QDeadlineTimer deadline(timeoutMs);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!pred()) QThread::msleep(1);
  }
  return true;
}

bool waitForEnd(const ORVCRoVivazava& engine, const EngineProbe& probe, int timeoutMs, int settleMs) {
  const bool ended =
      waitUntil([&] { return probe.finished() && engine.currentState() == kTerminalState; }, timeoutMs);
  // Let late events (a second failure report, a disconnect) arrive before the checks.
  QDeadlineTimer settle(settleMs);
  while (!settle.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return ended;
}

QByteArray firmwareFile(int size, quint32 type, quint32 newVersionWord, quint32 minimumWord) {
  QByteArray file(size, '\0');
  for (int i = 0; i < size; ++i) file[i] = char((i * 7 + 3) & 0xFF);
  if (size < 34) return file;
  const char magic[] = "Orvane";
  for (int i = 0; i < 6; ++i) file[16 + i] = magic[i];
  auto put = [&](int at, quint32 v) {
    file[at] = char(v >> 24);
    file[at + 1] = char(v >> 16);
    file[at + 2] = char(v >> 8);
    file[at + 3] = char(v);
  };
  put(22, type);
  put(26, newVersionWord);
  put(30, minimumWord);
  return file;
}

EngineSettings quickSettings(quint16 commonPort, quint16 filePort, quint16 httpPort) {
  EngineSettings s;
  s.commonPort = commonPort;
  s.filePort = filePort;
  s.httpPort = httpPort;
  s.stepMs = 20;
  s.flashWaitMs = 600;
  s.answerTimeoutMs = 2000;
  s.httpTimeoutMs = 2000;
  // One attempt after flashing: the loopback device is back at once, and a device that
  // stays silent ends the run at the first reconnection, as with a deadline that has passed.
  s.restartTimeoutMs = s.flashWaitMs;
  // The loopback device answers on the engine's own thread.
  s.lockStepWaitMs = 0;
  return s;
}

QStringList flashingCountdown() {
  QStringList out;
  for (int v : {96, 93, 90, 86, 83, 80, 76, 73, 70, 66, 63, 60, 56, 53, 50, 46, 43, 40, 36, 33, 30, 26, 23, 20, 16,
                13, 10, 6, 3, 0})
    out << QStringLiteral("P:%1").arg(v);
  out << QStringLiteral("P:0");
  return out;
}

QStringList binUploadProgress1000() {
  return {"P:0",  "P:6",  "P:12", "P:18", "P:25", "P:31", "P:37", "P:44",
          "P:50", "P:56", "P:62", "P:69", "P:75", "P:81", "P:88", "P:100"};
}

QStringList binStageTranscript(const QStringList& uploadProgress) {
  QStringList out = {"M:Upload bin file."};
  out += uploadProgress;
  out += QStringList{"M:Bin file uploaded succesfully.", "P:0", "M:Uploaded bin file check.", "M:Test => OK",
                     "M:Activating bin file.", "M:Reseting processor.", "M:Flashing."};
  out += flashingCountdown();
  out << "M:Read new firmware version.";
  return out;
}

QStringList webStageTranscript() {
  return {"M:Uploading web file.", "P:0", "P:49", "P:100", "M:Web file uploaded succesfully.", "P:0"};
}

QStringList i2cStageTranscript() {
  QStringList out = {"M:Check actual firmware version on I2C device.", "P:50", "P:100",
                     "M:Bi2 file uploaded succesfully.", "P:0", "M:Flashing I2C device."};
  out += flashingCountdown();
  out << "M:Read new firmware I2C version.";
  return out;
}

QStringList pathTranscript(bool bin, bool web, bool bi2) {
  QStringList expected = {"M:Check actual firmware version."};
  if (bin) expected += binStageTranscript();
  if (web) expected += webStageTranscript();
  if (bi2) expected += i2cStageTranscript();
  expected << "S";
  return expected;
}

const std::vector<PathCase>& pathCases() {
  static const std::vector<PathCase> cases{{"bin", true, false, false},    {"web", false, false, true},
                                           {"bi2", false, true, false},    {"bin_web", true, false, true},
                                           {"bin_bi2", true, true, false}, {"web_bi2", false, true, true},
                                           {"all", true, true, true}};
  return cases;
}

const QByteArray& pathBin() {
  static const QByteArray file = firmwareFile(1000, 0x00010001, 0x00010005);
  return file;
}

const QByteArray& pathWeb() {
  static const QByteArray file(130, 'w');
  return file;
}

const QByteArray& pathBi2() {
  static const QByteArray file = firmwareFile(100, 0x00050001, 0x00010003);
  return file;
}

}  // namespace orvane::test
