#include "app/CheckRun.h"

#include "app/BatchOutput.h"
#include "app/ExitCodes.h"
#include "app/RunRecorder.h"
#include "common/Globalfunctions.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/FirmwareFile.h"

#include <QEventLoop>
#include <QJsonObject>
#include <cstdio>
#include <optional>

using orvane::FirmwareKind;
using orvane::proto::versionText;

namespace {

// One selected file, loaded.
struct CheckedFile {
  FirmwareKind kind;
  QString path;
  orvane::LoadedFirmware firmware;
};

const char* kindName(FirmwareKind kind) {
  return kind == FirmwareKind::Bin ? "bin" : kind == FirmwareKind::Bi2 ? "bi2" : "web";
}

// Loads the selected files; a refusal is logged, said on standard error and ends the load.
std::optional<QList<CheckedFile>> loadFiles(const GlobalSelection& selection, const ScriptOptions& options) {
  QList<CheckedFile> files;
  const std::pair<FirmwareKind, QString> chosen[] = {
      {FirmwareKind::Bin, selection.BinFileName}, {FirmwareKind::Web, selection.WebFileName},
      {FirmwareKind::Bi2, selection.Bi2FileName}};
  for (const auto& [kind, path] : chosen) {
    if (path == QLatin1String("0")) continue;
    orvane::FirmwareLoad loaded = orvane::loadFirmwareFile(path, kind);
    if (!loaded) {
      const QString text = options.refusalLine(loaded.refusal().text, kind, path);
      writeLogEntry(QStringLiteral("CheckRun"), __LINE__, QStringLiteral("loadFiles"), UseConfiguredOutputs,
                    LogLevelError, text);
      printProgramError(text);
      return std::nullopt;
    }
    files.append({kind, path, std::move(*loaded)});
  }
  return files;
}

QList<RunFile> runFiles(const QList<CheckedFile>& files) {
  QList<RunFile> out;
  for (const CheckedFile& f : files) out.append(runFile(QString::fromLatin1(kindName(f.kind)), f.path, f.firmware.content));
  return out;
}

const CheckedFile* fileOf(const QList<CheckedFile>& files, FirmwareKind kind) {
  for (const CheckedFile& f : files)
    if (f.kind == kind) return &f;
  return nullptr;
}

}  // namespace

namespace {

// One checking run of the upgrade engine: reachability, the devices' types and versions,
// the comparisons with the files; nothing is written to the device.
class DeviceReading {
 public:
  DeviceReading(const QString& mode, const ScriptOptions& options) : mode_(mode), options_(options) {}

  // The summary of the run, or nullopt when the engine could not be created.
  std::optional<RunSummary> run(const GlobalSelection& selection, const QList<CheckedFile>& files) {
    bool created = false;
    ORVCRoVivazava engine(created, &DeviceReading::status, this,
                          [&discovery = discovery_](const QString& ip) { return discovery.testPing(ip); });
    if (!created) return std::nullopt;
    engine_ = &engine;
    const CheckedFile* bin = fileOf(files, FirmwareKind::Bin);
    const CheckedFile* bi2 = fileOf(files, FirmwareKind::Bi2);
    if (bin) ORVCRoVivazava::storeFileIdentification(engine.network, bin->firmware.identification);
    if (bi2) ORVCRoVivazava::storeFileIdentification(engine.i2c, bi2->firmware.identification);
    bool i2cOk = false;
    const int i2c = selection.I2CAddress.toInt(&i2cOk);
    recorder_.begin(mode_, selection.IPAddress, i2cOk ? i2c : -1, runFiles(files));
    engine.setStageObserver([this](orvane::engine::UpgradeStage s) { recorder_.stageChanged(s, *engine_); });
    orvane::engine::UpgradeOptions checkOnly;
    checkOnly.checkOnly = true;
    const QByteArray* web = fileOf(files, FirmwareKind::Web) ? &fileOf(files, FirmwareKind::Web)->firmware.content : nullptr;
    // A .web alone still needs a file to start: the engine then reads the device's version.
    engine.startUpgrade(selection.IPAddress, i2cOk ? i2c : -1, bin ? &bin->firmware.content : nullptr,
                        bi2 ? &bi2->firmware.content : nullptr, web, true, checkOnly);
    if (recorder_.running()) loop_.exec();
    engine_ = nullptr;
    return recorder_.summary();
  }

 private:
  static void status(void* owner, int kind, int /*value*/, const QString& text) {
    auto* self = static_cast<DeviceReading*>(owner);
    if (kind == StatusMessage) {
      if (self->options_.json && text != QLatin1String("0")) printJsonLine(messageEvent(text));
      return;
    }
    if (kind == StatusProgress || !self->recorder_.running()) return;
    self->recorder_.end(*self->engine_);
    self->loop_.quit();
  }

  QString mode_;
  const ScriptOptions& options_;
  ORVCScanOrvaneDevice discovery_{kDiscoveryReplyWaitMs};
  ORVCRoVivazava* engine_ = nullptr;
  RunRecorder recorder_;
  QEventLoop loop_;
};

// The label of one device in the printed lines: "10.77.1.1 .bin", "10.77.1.1 I2C 80 .bi2".
QString deviceLabel(const RunSummary& s, bool i2c) {
  return i2c ? s.ip + QStringLiteral(" I2C %1 .bi2").arg(s.i2cAddress) : s.ip + QStringLiteral(" .bin");
}

// The run could not compare: unreachable, or another failure. Its exit code.
int endWithoutComparison(RunSummary& s, const ScriptOptions& options) {
  if (options.json) printJsonLine(resultEvent(s));
  printProgramError(failureLine(s, options.restartTimeoutS));
  return s.exitCode;
}

}  // namespace

int runCheck(const GlobalSelection& selection, const ScriptOptions& options) {
  const std::optional<QList<CheckedFile>> files = loadFiles(selection, options);
  if (!files) return kExitFileRefused;
  DeviceReading reading(QStringLiteral("check"), options);
  std::optional<RunSummary> summary = reading.run(selection, *files);
  if (!summary) return kExitFailed;
  RunSummary& s = *summary;
  if (s.result != QLatin1String("checked")) return endWithoutComparison(s, options);
  const bool incompatible = s.network.relation == QLatin1String("incompatible") ||
                            s.i2c.relation == QLatin1String("incompatible");
  if (incompatible) {
    s.result = QStringLiteral("incompatible");
    s.exitCode = kExitIncompatible;
    s.reason = s.network.relation == QLatin1String("incompatible") ? s.network.reason : s.i2c.reason;
  }
  if (options.json) {
    printJsonLine(resultEvent(s));
    return s.exitCode;
  }
  if (s.network.read && fileOf(*files, FirmwareKind::Bin)) printOutputLine(deviceLabel(s, false) + QStringLiteral(": ") + relationText(s.network));
  if (const CheckedFile* web = fileOf(*files, FirmwareKind::Web))
    printOutputLine(s.ip + QStringLiteral(" .web: %1 bytes would be uploaded").arg(web->firmware.content.size()));
  if (s.i2c.read) printOutputLine(deviceLabel(s, true) + QStringLiteral(": ") + relationText(s.i2c));
  return s.exitCode;
}

namespace {

// Whether a device runs exactly its file's type and version; the line that says so.
bool verifyDevice(const DeviceFacts& d, const QString& label, bool json) {
  const bool match = d.read && d.type == d.fileType && d.from == d.fileVersion;
  QString line = label + QStringLiteral(": ");
  if (!d.read) line += QStringLiteral("not read: mismatch");
  else if (d.type != d.fileType)
    line += QStringLiteral("device is type ") + versionText(d.type) + QStringLiteral(", the file is for type ") +
            versionText(d.fileType) + QStringLiteral(": mismatch");
  else if (!match)
    line += QStringLiteral("runs ") + versionText(d.from) + QStringLiteral(", the file is ") +
            versionText(d.fileVersion) + QStringLiteral(": mismatch");
  else line += QStringLiteral("runs ") + versionText(d.from) + QStringLiteral(" as the file: match");
  if (!json) printOutputLine(line);
  return match;
}

}  // namespace

int runVerify(const GlobalSelection& selection, const ScriptOptions& options) {
  const std::optional<QList<CheckedFile>> files = loadFiles(selection, options);
  if (!files) return kExitFileRefused;
  DeviceReading reading(QStringLiteral("verify"), options);
  std::optional<RunSummary> summary = reading.run(selection, *files);
  if (!summary) return kExitFailed;
  RunSummary& s = *summary;
  if (s.result != QLatin1String("checked")) return endWithoutComparison(s, options);
  bool match = true;
  if (fileOf(*files, FirmwareKind::Bin)) match = verifyDevice(s.network, deviceLabel(s, false), options.json) && match;
  if (fileOf(*files, FirmwareKind::Bi2)) match = verifyDevice(s.i2c, deviceLabel(s, true), options.json) && match;
  s.result = match ? QStringLiteral("match") : QStringLiteral("mismatch");
  s.exitCode = exitCodeFor(s.result);
  if (!match) s.reason = QStringLiteral("the device does not run the file's type and version");
  if (options.json) printJsonLine(resultEvent(s));
  return s.exitCode;
}

namespace {

QString boundsText(const orvane::FileIdentification& id) {
  auto bound = [](orvane::proto::PackedVersion v) {
    return v == orvane::proto::kNoVersion ? QStringLiteral("any") : versionText(v);
  };
  if (id.fileMinHardware == orvane::proto::kNoVersion && id.fileMaxHardware == orvane::proto::kNoVersion)
    return QStringLiteral("any hardware");
  return QStringLiteral("hardware %1 to %2").arg(bound(id.fileMinHardware), bound(id.fileMaxHardware));
}

QJsonObject fileObject(const CheckedFile& f) {
  const RunFile facts = runFile(QString::fromLatin1(kindName(f.kind)), f.path, f.firmware.content);
  QJsonObject o{{QStringLiteral("event"), QStringLiteral("file")}, {QStringLiteral("kind"), facts.kind},
                {QStringLiteral("name"), facts.name},      {QStringLiteral("path"), facts.path},
                {QStringLiteral("size"), facts.size},      {QStringLiteral("sha256"), facts.sha256}};
  if (f.kind == FirmwareKind::Web) return o;
  const orvane::FileIdentification& id = f.firmware.identification;
  o.insert(QStringLiteral("type"), typeJson(id.fileFirmwareType));
  o.insert(QStringLiteral("version"), versionJson(id.fileFirmwareVersion));
  o.insert(QStringLiteral("minFirmware"), versionJson(id.fileMinDeviceFirmware));
  o.insert(QStringLiteral("minHardware"), versionJson(id.fileMinHardware));
  o.insert(QStringLiteral("maxHardware"), versionJson(id.fileMaxHardware));
  return o;
}

QString fileLine(const CheckedFile& f) {
  const RunFile facts = runFile(QString::fromLatin1(kindName(f.kind)), f.path, f.firmware.content);
  const QString tail = QStringLiteral(", %1 bytes, sha256 %2").arg(facts.size).arg(facts.sha256);
  if (f.kind == FirmwareKind::Web) return facts.name + QStringLiteral(": .web content") + tail;
  const orvane::FileIdentification& id = f.firmware.identification;
  return facts.name + QStringLiteral(": .%1 for type %2, version %3, minimum firmware %4, %5")
                          .arg(QString::fromLatin1(kindName(f.kind)), versionText(id.fileFirmwareType),
                               versionText(id.fileFirmwareVersion), versionText(id.fileMinDeviceFirmware),
                               boundsText(id)) +
         tail;
}

}  // namespace

int runFileCheck(const GlobalSelection& selection, const ScriptOptions& options) {
  const std::optional<QList<CheckedFile>> files = loadFiles(selection, options);
  if (!files) return kExitFileRefused;
  for (const CheckedFile& f : *files) {
    if (options.json) printJsonLine(fileObject(f));
    else printOutputLine(fileLine(f));
  }
  return kExitDone;
}
