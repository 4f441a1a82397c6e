#include "app/FleetJobs.h"

#include "app/ExitCodes.h"
#include "app/FleetTargets.h"
#include "discovery/ScanOrvaneModule.h"

#include <QHash>
#include <QHostAddress>
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using orvane::FirmwareKind;
using FirmwarePtr = std::shared_ptr<const orvane::LoadedFirmware>;

namespace {

const QString kNone = QStringLiteral("0");

const char* kindName(FirmwareKind kind) {
  return kind == FirmwareKind::Bin ? "bin" : kind == FirmwareKind::Bi2 ? "bi2" : "web";
}

// Every file of the run, loaded once and shared by the devices that name it.
class FileCache {
 public:
  explicit FileCache(const ScriptOptions& options) : options_(options) {}

  // The loaded file, or nullptr: no path, or refused (then `error` says why).
  FirmwarePtr load(FirmwareKind kind, const QString& path, bool fromCommandLine) {
    if (path.isEmpty() || path == kNone) return {};
    const QString key = QLatin1String(kindName(kind)) + u':' + path;
    if (const auto it = files_.constFind(key); it != files_.constEnd()) return *it;
    orvane::FirmwareLoad loaded = orvane::loadFirmwareFile(path, kind);
    if (!loaded) {
      error = fromCommandLine ? options_.refusalLine(loaded.refusal().text, kind, path)
                              : loaded.refusal().text + QStringLiteral(" (") + path + u')';
      return {};
    }
    auto file = std::make_shared<const orvane::LoadedFirmware>(std::move(*loaded));
    files_.insert(key, file);
    records_.insert(file.get(), runFile(QLatin1String(kindName(kind)), path, file->content));
    return file;
  }
  const RunFile& record(const FirmwarePtr& file) const { return records_.find(file.get()).value(); }

  QString error;

 private:
  const ScriptOptions& options_;
  QHash<QString, FirmwarePtr> files_;
  QHash<const orvane::LoadedFirmware*, RunFile> records_;
};

// The files one device gets.
struct DeviceFiles {
  FirmwarePtr bin, web, bi2;
  int i2cAddress = -1;
  bool any() const { return bin || web || bi2; }
};

FleetJob makeJob(const QString& ip, const DeviceFiles& files, const FileCache& cache) {
  FleetJob job;
  job.ip = ip;
  job.bin = files.bin;
  job.web = files.web;
  job.bi2 = files.bi2;
  job.i2cAddress = files.bi2 ? files.i2cAddress : -1;
  for (const FirmwarePtr& f : {files.bin, files.web, files.bi2})
    if (f) job.files.append(cache.record(f));
  return job;
}

// The command line's files: the defaults of the targets.
bool loadCommandLineFiles(const GlobalSelection& selection, FileCache& cache, DeviceFiles& files) {
  files.bin = cache.load(FirmwareKind::Bin, selection.BinFileName, true);
  if (cache.error.isEmpty()) files.web = cache.load(FirmwareKind::Web, selection.WebFileName, true);
  if (cache.error.isEmpty()) files.bi2 = cache.load(FirmwareKind::Bi2, selection.Bi2FileName, true);
  files.i2cAddress = selection.I2CAddress.toInt();
  return cache.error.isEmpty();
}

FleetJobList refused(const QString& error, int exitCode) {
  FleetJobList list;
  list.error = error;
  list.exitCode = exitCode;
  return list;
}

// What answered the discovery request, by address.
struct Identity {
  QString name, mac;
  std::optional<quint32> type;
};

Identity identityOf(const ORVCOrvaneDevice& d) {
  return {d.nameRead ? d.deviceName : QString(), d.macAddressText, d.typeNumber()};
}

}  // namespace

namespace {

// Asks every address directly for its identity (routed devices too).
QHash<QString, Identity> probe(const std::vector<quint32>& addresses) {
  QHash<QString, Identity> found;
  ORVCScanOrvaneDevice scan(kDiscoveryReplyWaitMs);
  scan.scanAddresses(addresses);
  for (const auto& d : scan.networkDevices()) found.insert(d->ipAddressText, identityOf(*d));
  return found;
}

// A target line's own files, or the command line's when it names none.
bool lineFiles(const FleetTargetLine& line, const DeviceFiles& defaults, FileCache& cache, DeviceFiles& files) {
  const FleetFiles& named = line.files;
  if (named.bin.isEmpty() && named.web.isEmpty() && named.bi2.isEmpty()) {
    files = defaults;
    return true;
  }
  files.bin = cache.load(FirmwareKind::Bin, named.bin, false);
  if (cache.error.isEmpty()) files.web = cache.load(FirmwareKind::Web, named.web, false);
  if (cache.error.isEmpty()) files.bi2 = cache.load(FirmwareKind::Bi2, named.bi2, false);
  files.i2cAddress = named.i2cAddress;
  return cache.error.isEmpty();
}

FleetJobList targetJobs(const QString& path, const DeviceFiles& defaults, FileCache& cache) {
  const FleetTargets targets = readFleetTargetsFile(path);
  if (!targets.ok()) return refused(targets.error, kExitRefused);
  QList<DeviceFiles> filesOfLine;
  for (const FleetTargetLine& line : targets.lines) {
    DeviceFiles files;
    if (!lineFiles(line, defaults, cache, files))
      return refused(path + QStringLiteral(" line %1: ").arg(line.line) + cache.error, kExitFileRefused);
    if (!files.any())
      return refused(path + QStringLiteral(" line %1: no file for %2: name bin=, web= or bi2= with i2ca= on the "
                                           "line, or -B, -W or -B2 with -I2CA on the command line")
                                .arg(line.line)
                                .arg(ipv4Text(line.first)),
                     kExitRefused);
    filesOfLine.append(files);
  }
  const QHash<QString, Identity> found = probe(fleetTargetAddresses(targets));
  FleetJobList list;
  for (qsizetype i = 0; i < targets.lines.size(); ++i) {
    const FleetTargetLine& line = targets.lines[i];
    for (quint64 a = line.first; a <= line.last; ++a) {
      const QString ip = ipv4Text(quint32(a));
      const auto it = found.constFind(ip);
      if (line.block && it == found.constEnd()) continue;
      FleetJob job = makeJob(ip, filesOfLine[i], cache);
      if (it != found.constEnd()) {
        job.name = it->name;
        job.mac = it->mac;
      }
      list.jobs.append(job);
    }
  }
  return list;
}

// The gateways (by index into `gateways`) whose bus holds a device of `type` at `i2c`;
// the buses are scanned `jobs` at a time, each scan on a thread of its own.
std::vector<bool> busesHolding(const QStringList& gateways, int i2c, quint32 type, int jobs) {
  std::vector<char> holds(size_t(gateways.size()), 0);
  std::atomic<qsizetype> next{0};
  auto scanSome = [&] {
    for (qsizetype i = next++; i < gateways.size(); i = next++) {
      ORVCScanOrvaneDevice scan(kDiscoveryReplyWaitMs);
      scan.scanI2CBus(gateways[i]);
      for (const auto& d : scan.i2cDevices())
        if (d->i2cAddress == i2c && d->typeNumber() == type) holds[size_t(i)] = 1;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < std::min<qsizetype>(jobs, gateways.size()); ++t) threads.emplace_back(scanSome);
  for (std::thread& t : threads) t.join();
  return {holds.begin(), holds.end()};
}

// "discover": the devices of the .bin's type, and the gateways with a device of the .bi2's
// type at the I2C address; in the order of their addresses.
FleetJobList discoverJobs(const DeviceFiles& files, const FileCache& cache, int jobs) {
  ORVCScanOrvaneDevice scan(kDiscoveryReplyWaitMs);
  scan.scanOrvaneDevice();
  std::vector<const ORVCOrvaneDevice*> devices;
  for (const auto& d : scan.networkDevices()) devices.push_back(d.get());
  std::sort(devices.begin(), devices.end(), [](const ORVCOrvaneDevice* a, const ORVCOrvaneDevice* b) {
    return QHostAddress(a->ipAddressText).toIPv4Address() < QHostAddress(b->ipAddressText).toIPv4Address();
  });
  QStringList gateways;
  for (const ORVCOrvaneDevice* d : devices)
    if (files.bi2 && d->isGateway()) gateways.append(d->ipAddressText);
  const std::vector<bool> holding =
      files.bi2 ? busesHolding(gateways, files.i2cAddress, quint32(files.bi2->identification.fileFirmwareType), jobs)
                : std::vector<bool>{};
  FleetJobList list;
  for (const ORVCOrvaneDevice* d : devices) {
    DeviceFiles own;
    if (files.bin && d->typeNumber() == quint32(files.bin->identification.fileFirmwareType)) {
      own.bin = files.bin;
      own.web = files.web;
    }
    const qsizetype g = gateways.indexOf(d->ipAddressText);
    if (g >= 0 && holding[size_t(g)]) {
      own.bi2 = files.bi2;
      own.i2cAddress = files.i2cAddress;
    }
    if (!own.any()) continue;
    FleetJob job = makeJob(d->ipAddressText, own, cache);
    const Identity id = identityOf(*d);
    job.name = id.name;
    job.mac = id.mac;
    list.jobs.append(job);
  }
  return list;
}

}  // namespace

FleetJobList buildFleetJobs(const GlobalSelection& selection, const ScriptOptions& options) {
  FileCache cache(options);
  DeviceFiles defaults;
  if (!loadCommandLineFiles(selection, cache, defaults)) return refused(cache.error, kExitFileRefused);
  FleetJobList list = options.fleet == QLatin1String(kFleetDiscover)
                          ? discoverJobs(defaults, cache, options.jobs)
                          : targetJobs(options.fleet, defaults, cache);
  if (list.ok() && list.jobs.isEmpty())
    return refused(options.fleet == QLatin1String(kFleetDiscover)
                       ? QStringLiteral("--fleet discover: no listed device is of the files' type")
                       : QStringLiteral("--fleet: no device answered in the ranges and blocks of ") + options.fleet,
                   kExitUnreachable);
  return list;
}
