// Benchmark of the real upgrader against the smallest honest client (prints figures; not
// a test). Runs inside a network lab made by scripts/bench-upload (tests/lab/netlab): one
// simulator in the device namespace, then N interleaved rounds of
//   minimal_client (.bin upload, .bi2 flashing),
//   orvane-upgrader in batch mode (-B file.bin, then -B2 file.bi2 -I2CA 80),
//   the same batch runs with a real display (Xvfb), where the window shows itself,
//   orvane-upgrader --scan,
// and a table of the minimum and median of each figure with the ratios program/minimal.
// How each figure is taken is printed with the table and described in the README.
#include "BenchFirmware.h"
#include "BenchProcess.h"
#include "support/Lab.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kDevice = "10.77.1.1";
const char* const kI2cAddress = "80";
const char* const kInterface = "up0";   // the upgrader's side of the lab link
constexpr int kCommonPort = 8010;
constexpr int kRunTimeoutMs = 120000;
// The head of an I2C block write request (code 07, payload 94 bytes): its first segment
// on the wire starts the "blocks" span of a .bi2 run.
const std::string kBlockWriteHead{"\x00\x07\x00\x00\x00\x5E", 6};

// The lines of a batch run that frame each timed transfer, and where a run is stopped.
const std::string kBinFrom = "Upload bin file.";
const std::string kBinTo = "Bin file uploaded succesfully.";
const std::string kBinStop = "Test => OK";   // the read-back of the upload passed
const std::string kBi2From = "Check actual firmware version on I2C device.";
const std::string kBi2To = "Bi2 file uploaded succesfully.";

std::string writeFile(const QString& dir, const char* name, const QByteArray& bytes) {
  const QString path = dir + u'/' + QLatin1String(name);
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return {};
  return path.toStdString();
}

// Every figure of one kind, one value per round.
struct Figures {
  std::map<std::string, std::vector<double>> values;
  void add(const std::string& name, double value) {
    if (value >= 0) values[name].push_back(value);
  }
  void merge(const Figures& other) {
    for (const auto& [name, list] : other.values) values[name].insert(values[name].end(), list.begin(), list.end());
  }
  // The one value of a round's figures; -1 when it was not measured.
  double only(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() || it->second.empty() ? -1 : it->second.front();
  }
  // min and median; -1 when nothing was measured.
  std::pair<double, double> summary(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end() || it->second.empty()) return {-1, -1};
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {v.front(), n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2};
  }
};

struct Setup {
  std::string program, minimal, bin, bi2, errLog;
  std::vector<std::string> batchEnv, windowEnv;   // windowEnv empty: no display
};

std::vector<std::string> programEnvironment(const orvane::test::TempHome& home, const std::string& display) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                                  "HOME=" + home.homePath().toStdString(),
                                  "TMPDIR=" + home.tempPath().toStdString(),
                                  "XDG_RUNTIME_DIR=" + home.runtimePath().toStdString()};
  if (!display.empty()) env.push_back("DISPLAY=" + display);
  return env;
}

// An X server of its own (Xvfb picks a free display number and tells it through -displayfd).
struct VirtualDisplay {
  bench::Child x;
  std::string name;   // ":N", empty when none could be started
  VirtualDisplay() {
    int fds[2];
    if (::access("/usr/bin/Xvfb", X_OK) != 0 || ::pipe2(fds, O_CLOEXEC) != 0) return;
    x = bench::spawn({"/usr/bin/Xvfb", "-displayfd", "9", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
                     {"PATH=/usr/bin:/bin"}, "", fds[1]);
    ::close(fds[1]);
    char number[32] = {};
    size_t have = 0;
    for (ssize_t n; have + 1 < sizeof number && (n = ::read(fds[0], number + have, sizeof number - 1 - have)) > 0;) {
      have += size_t(n);
      if (std::memchr(number, '\n', have)) break;
    }
    ::close(fds[0]);
    if (x.pid > 0 && have > 0 && number[0] >= '0' && number[0] <= '9') name = ":" + std::to_string(std::atoi(number));
  }
  ~VirtualDisplay() {
    if (x.pid <= 0) return;
    ::kill(x.pid, SIGTERM);
    ::waitpid(x.pid, nullptr, 0);
    ::close(x.out);
  }
};

void minimalRound(const Setup& s, Figures& f) {
  bench::Child c = bench::spawn({s.minimal, kDevice, s.bin, s.bi2, kI2cAddress}, {}, s.errLog);
  const bench::Followed run = bench::follow(c, "", {}, kRunTimeoutMs);
  double bin = -1, bi2 = -1, blocks = -1;
  for (const bench::TimedLine& l : run.lines) {
    std::sscanf(l.text.c_str(), "bin_ms %lf", &bin);
    std::sscanf(l.text.c_str(), "bi2_ms %lf", &bi2);
    std::sscanf(l.text.c_str(), "bi2_blocks_ms %lf", &blocks);
  }
  if (run.exitCode != 0) bin = bi2 = blocks = -1;
  f.add("minimal .bin", bin);
  f.add("minimal .bi2", bi2);
  f.add("minimal .bi2 blocks", blocks);
  std::printf("  minimal client      .bin %8.1f ms   .bi2 %8.1f ms (blocks %8.1f ms)\n", bin, bi2, blocks);
}

struct ProgramRun {
  bench::Followed run;
  double firstBlockAtMono = -1;   // when its first I2C block write left (-1: none seen)
};

// One run of the program stopped at `stop` ("" = until it ends); watches its first
// packet and, with watchBlocks, its first I2C block write. Only a .bi2 run watches for
// blocks: a watch still open during an upload would wake this process for every frame.
ProgramRun programRun(const Setup& s, const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::string& stop, bool watchBlocks = false) {
  std::vector<std::string> argv = {s.program};
  argv.insert(argv.end(), args.begin(), args.end());
  bench::PacketWatch first(kInterface);
  std::vector<bench::PacketWatch*> watches = {&first};
  std::optional<bench::PacketWatch> block;
  if (watchBlocks) watches.push_back(&block.emplace(kInterface, bench::FrameMatch{kCommonPort, kBlockWriteHead}));
  for (bench::PacketWatch* w : watches) w->drain();
  bench::Child c = bench::spawn(argv, env, s.errLog);
  ProgramRun out{bench::follow(c, stop, watches, kRunTimeoutMs)};
  if (block && block->seenAtRealMs() >= 0)
    out.firstBlockAtMono = block->seenAtRealMs() - c.startedReal + c.startedMono;
  if (!out.run.stopLineSeen && !stop.empty()) {
    std::printf("  (%s did not reach \"%s\"; its last line: \"%s\")\n", args.front().c_str(), stop.c_str(),
                out.run.lines.empty() ? "" : out.run.lines.back().text.c_str());
  }
  return out;
}

// From the first block write on the wire to the line after the last block.
double blocksSpan(const ProgramRun& p) {
  for (const bench::TimedLine& line : p.run.lines)
    if (p.firstBlockAtMono >= 0 && line.text == kBi2To) return line.atMono - p.firstBlockAtMono;
  return -1;
}

void programRound(const Setup& s, const std::string& mode, const std::vector<std::string>& env, Figures& f) {
  const bench::Followed bin = programRun(s, {"-IP", kDevice, "-B", s.bin}, env, kBinStop).run;
  const double binMs = bench::span(bin, kBinFrom, kBinTo);
  f.add(mode + " .bin", binMs);
  f.add(mode + " start-up", bin.firstPacketAfterMs);
  f.add(mode + " RSS", double(bin.maxRssKiB));
  const ProgramRun bi2 = programRun(s, {"-IP", kDevice, "-B2", s.bi2, "-I2CA", kI2cAddress}, env, kBi2To, true);
  const double bi2Ms = bench::span(bi2.run, kBi2From, kBi2To), blocksMs = blocksSpan(bi2);
  f.add(mode + " .bi2", bi2Ms);
  f.add(mode + " .bi2 blocks", blocksMs);
  std::printf("  program %-11s .bin %8.1f ms   .bi2 %8.1f ms (blocks %8.1f ms)   start-up %6.1f ms (first packet: %s)"
              "   peak RSS %ld KiB\n",
              mode.c_str(), binMs, bi2Ms, blocksMs, bin.firstPacketAfterMs, bin.firstPacketProtocol.c_str(),
              bin.maxRssKiB);
}

void scanRound(const Setup& s, Figures& f) {
  const bench::Followed run = programRun(s, {"--scan"}, s.batchEnv, "").run;
  f.add("scan start-up", run.firstPacketAfterMs);
  f.add("scan RSS", double(run.maxRssKiB));
  f.add("scan whole", run.exited ? run.durationMs : -1);
  std::printf("  program --scan      whole run %6.1f ms (exit %d, %zu lines)   start-up %6.1f ms (first packet: %s)   "
              "peak RSS %ld KiB\n",
              run.durationMs, run.exitCode, run.lines.size(), run.firstPacketAfterMs, run.firstPacketProtocol.c_str(),
              run.maxRssKiB);
}

void row(const Figures& f, const char* label, const std::string& key, const char* unit) {
  const auto [min, median] = f.summary(key);
  if (min < 0) {
    std::printf("  %-48s %10s %10s\n", label, "-", "-");
    return;
  }
  const int digits = std::strcmp(unit, "ms") == 0 ? 1 : 0;
  std::printf("  %-48s %10.*f %10.*f %s\n", label, digits, min, digits, median, unit);
}

std::string pairKey(const std::string& program, const std::string& minimal) {
  return "ratio " + program + " / " + minimal;
}

// Ratio of the minimums, of the medians, and the median of the rounds' own ratios: each
// round runs both clients one after the other, so its ratio is the least disturbed by
// what else the machine does at the time.
void ratio(const Figures& f, const char* label, const std::string& program, const std::string& minimal) {
  const auto [pMin, pMedian] = f.summary(program);
  const auto [mMin, mMedian] = f.summary(minimal);
  if (pMin <= 0 || mMin <= 0) {
    std::printf("  %-48s %10s %10s %10s\n", label, "-", "-", "-");
    return;
  }
  std::printf("  %-48s %10.2f %10.2f %10.2f\n", label, pMin / mMin, pMedian / mMedian,
              f.summary(pairKey(program, minimal)).second);
}

// Keeps a round's ratio of `program` to `minimal`, for the table's last column.
void addRoundRatio(Figures& r, const std::string& program, const std::string& minimal) {
  const double p = r.only(program), m = r.only(minimal);
  if (p > 0 && m > 0) r.add(pairKey(program, minimal), p / m);
}

// The ratios program / minimal client of one round (-1: a figure is missing).
void printRoundRatios(const Figures& r) {
  auto q = [&r](const std::string& program, const std::string& minimal) {
    const double p = r.only(program), m = r.only(minimal);
    return p > 0 && m > 0 ? p / m : -1.0;
  };
  std::printf("  ratio program/minimal  .bin batch %.2f window %.2f   .bi2 batch %.2f window %.2f   "
              ".bi2 blocks batch %.2f window %.2f\n",
              q("batch .bin", "minimal .bin"), q("window .bin", "minimal .bin"), q("batch .bi2", "minimal .bi2"),
              q("window .bi2", "minimal .bi2"), q("batch .bi2 blocks", "minimal .bi2 blocks"),
              q("window .bi2 blocks", "minimal .bi2 blocks"));
}

void printTable(const Figures& f, int rounds) {
  const std::string title = "Summary of " + std::to_string(rounds) + " rounds";
  std::printf("\n%-50s %10s %10s\n", title.c_str(), "min", "median");
  row(f, ".bin upload, minimal client", "minimal .bin", "ms");
  row(f, ".bin upload, program batch", "batch .bin", "ms");
  row(f, ".bin upload, program window (Xvfb)", "window .bin", "ms");
  row(f, ".bi2 flashing, minimal client", "minimal .bi2", "ms");
  row(f, ".bi2 flashing, program batch", "batch .bi2", "ms");
  row(f, ".bi2 flashing, program window (Xvfb)", "window .bi2", "ms");
  row(f, ".bi2 blocks only, minimal client", "minimal .bi2 blocks", "ms");
  row(f, ".bi2 blocks only, program batch", "batch .bi2 blocks", "ms");
  row(f, ".bi2 blocks only, program window (Xvfb)", "window .bi2 blocks", "ms");
  row(f, "start-up to first packet, batch -B", "batch start-up", "ms");
  row(f, "start-up to first packet, window -B", "window start-up", "ms");
  row(f, "start-up to first packet, --scan", "scan start-up", "ms");
  row(f, "--scan, whole run", "scan whole", "ms");
  row(f, "peak RSS, batch -B 1 MiB (to its read-back)", "batch RSS", "KiB");
  row(f, "peak RSS, window -B 1 MiB (to its read-back)", "window RSS", "KiB");
  row(f, "peak RSS, --scan", "scan RSS", "KiB");
  std::printf("\n%-50s %10s %10s %10s\n", "Ratio program / minimal client", "mins", "medians", "paired");
  ratio(f, ".bin upload, batch", "batch .bin", "minimal .bin");
  ratio(f, ".bin upload, window", "window .bin", "minimal .bin");
  ratio(f, ".bi2 flashing, batch", "batch .bi2", "minimal .bi2");
  ratio(f, ".bi2 flashing, window", "window .bi2", "minimal .bi2");
  ratio(f, ".bi2 blocks only, batch", "batch .bi2 blocks", "minimal .bi2 blocks");
  ratio(f, ".bi2 blocks only, window", "window .bi2 blocks", "minimal .bi2 blocks");
}

// One complete batch run of the .bin, with the shipped flashing wait: its exit code, its
// whole duration and its peak RSS.
void completeRun(const Setup& s) {
  const bench::Followed run = programRun(s, {"-IP", kDevice, "-B", s.bin}, s.batchEnv, "").run;
  std::printf("\nComplete batch run -B (shipped 15 s flashing wait): exit %d, %.1f ms, peak RSS %ld KiB, last line "
              "\"%s\"\n",
              run.exited ? run.exitCode : -1, run.durationMs, run.maxRssKiB,
              run.lines.empty() ? "" : run.lines.back().text.c_str());
}

int envInt(const char* name, int fallback) {
  const int value = qEnvironmentVariableIntValue(name);
  return value > 0 ? value : fallback;
}

void printMethod(const Setup& s) {
  std::printf("Program benchmark: %s against %s\n", s.program.c_str(), s.minimal.c_str());
  std::printf("  .bin: 1 MiB through the file port; program: from \"%s\" to \"%s\" as the lines arrive\n",
              kBinFrom.c_str(), kBinTo.c_str());
  std::printf("  .bi2: 256 KiB to I2C address %s; program: from \"%s\" to \"%s\"\n", kI2cAddress, kBi2From.c_str(),
              kBi2To.c_str());
  std::printf("  both .bi2 spans hold the I2C version question and one 500 ms step (the program's step timer)"
              " before\n  the first block. \"blocks only\": from the first block write leaving %s (kernel timestamp;"
              "\n  the minimal client's own clock) to the end\n",
              kInterface);
  std::printf("  start-up: from posix_spawn to the kernel timestamp of the first IPv4 frame leaving %s\n", kInterface);
  std::printf("  window runs: %s\n", s.windowEnv.empty() ? "none (no Xvfb)" : "Xvfb, DISPLAY set, batch mode");
  std::printf("  ratios: of the minimums, of the medians, and paired: the median of the rounds' own ratios\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!orvane::test::inLab()) {
    std::fprintf(stderr, "program_bench: run me through scripts/bench-upload (inside a network lab)\n");
    return 77;
  }
  const int rounds = envInt("PROGRAM_BENCH_ROUNDS", 5);
  const QJsonObject i2c{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010000"}};
  const QJsonObject device{{"address", kDevice}, {"type", "00010001"}, {"versionWord", "00010000"},
                           {"flashTimeMs", 200},  {"i2c", QJsonArray{i2c}}};
  orvane::test::Simulator sim(QJsonObject{{"devices", QJsonArray{device}}}, {.record = false});
  orvane::test::TempHome home;
  if (!sim.started() || !home.isValid()) {
    std::fprintf(stderr, "program_bench: the simulator or the temporary home did not start\n");
    return 1;
  }
  VirtualDisplay display;
  Setup s;
  s.program = orvane::test::builtProgram().toStdString();
  s.minimal = orvane::test::builtProgram(QStringLiteral("minimal_client")).toStdString();
  s.bin = writeFile(home.tempPath(), "bench.bin", benchFirmware(1 << 20, 0x00010001, 0x00010001));
  s.bi2 = writeFile(home.tempPath(), "bench.bi2", benchFirmware(256 << 10, 0x00050001, 0x00010001));
  s.errLog = home.tempPath().toStdString() + "/stderr.txt";
  s.batchEnv = programEnvironment(home, "");
  if (!display.name.empty()) s.windowEnv = programEnvironment(home, display.name);
  printMethod(s);
  Figures f;
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d\n", round);
    Figures r;
    minimalRound(s, r);
    programRound(s, "batch", s.batchEnv, r);
    if (!s.windowEnv.empty()) programRound(s, "window", s.windowEnv, r);
    scanRound(s, r);
    printRoundRatios(r);
    for (const char* mode : {"batch", "window"})
      for (const char* span : {" .bin", " .bi2", " .bi2 blocks"})
        addRoundRatio(r, std::string(mode) + span, std::string("minimal") + span);
    f.merge(r);
    std::fflush(stdout);
  }
  printTable(f, rounds);
  if (qEnvironmentVariable("PROGRAM_BENCH_COMPLETE_RUN") != QLatin1String("0")) completeRun(s);
  return 0;
}
