// Benchmark of fleet runs of the real program (prints figures; not a test). Runs inside a
// network lab made by scripts/bench-fleet (tests/lab/netlab, 50 device addresses): for
// each run a fresh simulator (no record, every device flashes in 3 s, so each starts at
// the old version), the shipped engine waits, a 256 KiB .bin, and FLEET_BENCH_ROUNDS
// (default 1) interleaved rounds of
//   orvane-upgrader -IP <one device> -B fw.bin            (the single run: the yardstick)
//   orvane-upgrader --fleet <1 device>  -B fw.bin --json
//   orvane-upgrader --fleet <10 devices> -B fw.bin --json   (default --jobs)
//   orvane-upgrader --fleet <50 devices> -B fw.bin --json --jobs 50
// each timed from posix_spawn to its end, with its peak RSS from wait4; during the 50-device
// run also the simulator's CPU time. A table gives each figure beside the single run.
#include "BenchFirmware.h"
#include "BenchProcess.h"
#include "support/Lab.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kFlashTimeMs = 3000;
constexpr int kRunTimeoutMs = 600000;
constexpr int kBinSize = 256 << 10;
// Targets printed beside the figures.
constexpr double kTargetRatio50 = 1.2;
constexpr long kTargetRssKiB = 150 * 1024;

struct Run {
  std::string name;        // "single", "fleet 1", ...
  int devices = 1;
  std::vector<std::string> args;
};

struct Outcome {
  double wallMs = -1;
  long rssKiB = -1;
  int exitCode = -1;
  int upgraded = -1;       // from the fleet summary; the single run: 1 when it exited 0
  double simCpuPercent = -1;
  double cpuSeconds = -1;  // the program's user + system time
  std::string breakdown;   // a fleet run: where its time went
};

std::string writeFile(const QString& dir, const QString& name, const QByteArray& bytes) {
  const QString path = dir + u'/' + name;
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return {};
  return path.toStdString();
}

std::string targetsFile(const QString& dir, int devices) {
  QByteArray text;
  for (int i = 0; i < devices; ++i) text += orvane::test::labDeviceAddress(i).toLatin1() + '\n';
  return writeFile(dir, QStringLiteral("targets-%1.txt").arg(devices), text);
}

QJsonObject simulatorConfig(int devices) {
  QJsonArray list;
  for (int i = 0; i < devices; ++i)
    list.append(QJsonObject{{"address", orvane::test::labDeviceAddress(i)}, {"flashTimeMs", kFlashTimeMs}});
  return QJsonObject{{"devices", list}};
}

// User plus system CPU time of a process in seconds (-1 when it cannot be read).
double cpuSeconds(qint64 pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = -1, stime = -1;
  for (int i = 3; fields >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::stod(field);
    if (i == 15) {
      stime = std::stod(field);
      break;
    }
  }
  if (utime < 0 || stime < 0) return -1;
  return (utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// The "upgraded" count of a fleet run's summary (its last line); -1 when there is none.
int upgradedCount(const bench::Followed& f) {
  if (f.lines.empty()) return -1;
  const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(f.lines.back().text)).object();
  if (summary.value("event") != QLatin1String("summary")) return -1;
  return summary.value("counts").toObject().value("upgraded").toInt();
}

// Where a fleet run's time went, from its JSON lines as they arrived (seconds after the
// spawn): the first and the last device's first line, the .bin uploads (stage "bin-upload"
// to "readback": median and longest, and from the first upload's start to the last one's
// end), and the first and last result.
std::string breakdown(const bench::Followed& f, double startedMono) {
  struct Device { double first = -1, upload = -1, readback = -1, result = -1; };
  std::map<QString, Device> devices;
  for (const bench::TimedLine& l : f.lines) {
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(l.text)).object();
    const QString ip = o.value("ip").toString();
    if (ip.isEmpty()) continue;
    const double t = (l.atMono - startedMono) / 1000.0;
    Device& d = devices[ip];
    if (d.first < 0) d.first = t;
    const QString stage = o.value("stage").toString();
    if (o.value("event") == QLatin1String("stage") && stage == QLatin1String("bin-upload")) d.upload = t;
    if (o.value("event") == QLatin1String("stage") && stage == QLatin1String("readback")) d.readback = t;
    if (o.value("event") == QLatin1String("result")) d.result = t;
  }
  std::vector<double> firsts, uploads, uploadFrom, uploadTo, results;
  for (const auto& [ip, d] : devices) {
    firsts.push_back(d.first);
    if (d.upload >= 0 && d.readback >= 0) {
      uploads.push_back(d.readback - d.upload);
      uploadFrom.push_back(d.upload);
      uploadTo.push_back(d.readback);
    }
    if (d.result >= 0) results.push_back(d.result);
  }
  if (firsts.empty()) return {};
  auto lo = [](const std::vector<double>& v) { return v.empty() ? -1 : *std::min_element(v.begin(), v.end()); };
  auto hi = [](const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); };
  std::sort(uploads.begin(), uploads.end());
  char text[400];
  std::snprintf(text, sizeof text, "      first line of a device %.2f .. %.2f s; .bin upload median %.2f s, longest %.2f s, all uploads "
              "%.2f .. %.2f s; results %.2f .. %.2f s\n",
              lo(firsts), hi(firsts), uploads.empty() ? -1 : uploads[uploads.size() / 2], hi(uploads), lo(uploadFrom),
              hi(uploadTo), lo(results), hi(results));
  return text;
}

Outcome runOnce(const Run& r, const std::string& program, const std::vector<std::string>& env, const std::string& err) {
  orvane::test::Simulator sim(simulatorConfig(r.devices), {.record = false});
  if (!sim.started()) return {};
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), r.args.begin(), r.args.end());
  const double cpuBefore = cpuSeconds(sim.processId());
  bench::Child child = bench::spawn(argv, env, err);
  const bench::Followed f = bench::follow(child, "", {}, kRunTimeoutMs);
  const double cpuAfter = cpuSeconds(sim.processId());
  Outcome o;
  if (r.name != "single") o.breakdown = breakdown(f, child.startedMono);
  o.wallMs = f.exited ? f.durationMs : -1;
  o.rssKiB = f.maxRssKiB;
  o.cpuSeconds = f.cpuMs / 1000.0;
  o.exitCode = f.exited ? f.exitCode : -1;
  o.upgraded = r.name == "single" ? (o.exitCode == 0 ? 1 : 0) : upgradedCount(f);
  if (cpuBefore >= 0 && cpuAfter >= 0 && f.durationMs > 0)
    o.simCpuPercent = 100.0 * (cpuAfter - cpuBefore) / (f.durationMs / 1000.0);
  return o;
}

double minimum(const std::vector<double>& v) { return v.empty() ? -1 : *std::min_element(v.begin(), v.end()); }
double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Figures {
  std::map<std::string, std::vector<double>> wall, rss, simCpu;
};

void printTable(const std::vector<Run>& runs, const Figures& f, int rounds) {
  const double single = minimum(f.wall.at("single"));
  std::printf("\nSummary of %d round(s)        wall min   median   ratio to single (min)   peak RSS max   simulator CPU\n",
              rounds);
  for (const Run& r : runs) {
    const auto& w = f.wall.at(r.name);
    const double rssMax = f.rss.at(r.name).empty() ? -1 : *std::max_element(f.rss.at(r.name).begin(), f.rss.at(r.name).end());
    const double ratio = single > 0 && minimum(w) > 0 ? minimum(w) / single : -1;
    std::printf("  %-26s %9.1f s %7.1f s   %8.2f               %8.0f KiB", r.name.c_str(), minimum(w) / 1000,
                median(w) / 1000, ratio, rssMax);
    if (!f.simCpu.at(r.name).empty()) std::printf("   %5.1f %% (median)", median(f.simCpu.at(r.name)));
    std::printf("\n");
  }
  const double ratio50 = single > 0 ? minimum(f.wall.at("fleet 50 --jobs 50")) / single : -1;
  double rssMax = -1;
  for (const Run& r : runs)
    if (r.name != "single")
      for (double v : f.rss.at(r.name)) rssMax = std::max(rssMax, v);
  std::printf("\nTargets: 50 devices with --jobs 50 within %.1fx one device: %.2f (%s); fleet peak RSS under %ld KiB: %.0f "
              "KiB (%s)\n",
              kTargetRatio50, ratio50, ratio50 > 0 && ratio50 <= kTargetRatio50 ? "met" : "NOT met", kTargetRssKiB,
              rssMax, rssMax > 0 && rssMax < double(kTargetRssKiB) ? "met" : "NOT met");
}

int envInt(const char* name, int fallback) {
  const int value = qEnvironmentVariableIntValue(name);
  return value > 0 ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!orvane::test::inLab()) {
    std::fprintf(stderr, "fleet_bench: run me through scripts/bench-fleet (inside a network lab)\n");
    return 77;
  }
  const int rounds = envInt("FLEET_BENCH_ROUNDS", 1);
  orvane::test::TempHome home;
  if (!home.isValid()) return 1;
  const QString dir = home.tempPath();
  // The simulator's default device: type 1.1, firmware 1.0; the file carries 1.2.
  const std::string bin = writeFile(dir, QStringLiteral("fw.bin"), benchFirmware(kBinSize, 0x00010001, 0x00010002));
  const std::string program = orvane::test::builtProgram().toStdString();
  const std::string err = dir.toStdString() + "/stderr.txt";
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "HOME=" + home.homePath().toStdString(),
                                        "TMPDIR=" + dir.toStdString(),
                                        "XDG_RUNTIME_DIR=" + home.runtimePath().toStdString()};
  const std::vector<Run> runs = {
      {"single", 1, {"-IP", orvane::test::labDeviceAddress(0).toStdString(), "-B", bin}},
      {"fleet 1", 1, {"--fleet", targetsFile(dir, 1), "-B", bin, "--json"}},
      {"fleet 10", 10, {"--fleet", targetsFile(dir, 10), "-B", bin, "--json"}},
      {"fleet 50 --jobs 50", 50, {"--fleet", targetsFile(dir, 50), "-B", bin, "--json", "--jobs", "50"}},
  };
  std::printf("Fleet benchmark: %s, shipped engine waits (15 s flashing wait), .bin of %d KiB, devices flash in "
              "%d ms, %d round(s)\n  wall time from posix_spawn to the end of the process; peak RSS: ru_maxrss "
              "from wait4; simulator CPU: its user+system time over the run's wall time\n\n",
              program.c_str(), kBinSize >> 10, kFlashTimeMs, rounds);
  Figures f;
  for (const Run& r : runs) {
    f.wall[r.name] = {};
    f.rss[r.name] = {};
    f.simCpu[r.name] = {};
  }
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d\n", round);
    for (const Run& r : runs) {
      const Outcome o = runOnce(r, program, env, err);
      std::printf("  %-20s %3d device(s): %8.1f s  exit %d  upgraded %d  peak RSS %ld KiB  CPU %.2f s", r.name.c_str(),
                  r.devices, o.wallMs / 1000, o.exitCode, o.upgraded, o.rssKiB, o.cpuSeconds);
      if (r.devices == 50) std::printf("  simulator CPU %.1f %%", o.simCpuPercent);
      std::printf("\n%s", o.breakdown.c_str());
      std::fflush(stdout);
      if (o.exitCode != 0 || o.upgraded != r.devices) {
        std::printf("    (not counted: not every device was upgraded; see %s)\n", err.c_str());
        continue;
      }
      f.wall[r.name].push_back(o.wallMs);
      f.rss[r.name].push_back(double(o.rssKiB));
      if (r.devices == 50 && o.simCpuPercent >= 0) f.simCpu[r.name].push_back(o.simCpuPercent);
    }
  }
  printTable(runs, f, rounds);
  return 0;
}
