// Discovery benchmark: one broadcast discovery (replyWaitMs 500) against as many simulated
// devices as the lab carries, several rounds; prints how many were listed and how long
// each scan took. Runs only inside a network lab (scripts/bench-discovery makes one).
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"
#include "support/Lab.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!orvane::test::inLab()) {
    std::fprintf(stderr, "discovery_bench: run it inside a network lab: tests/lab/netlab run --devices 1000 -- %s\n",
                 argv[0]);
    return 77;
  }
  const int devices = qEnvironmentVariableIntValue("ORV_LAB_DEVICES");
  const int rounds = std::max(1, qEnvironmentVariableIntValue("DISCOVERY_BENCH_ROUNDS") > 0
                                     ? qEnvironmentVariableIntValue("DISCOVERY_BENCH_ROUNDS")
                                     : 3);
  constexpr int kReplyWaitMs = 500;

  // No record file: it would cost more than the scan itself.
  orvane::test::Simulator sim(orvane::test::labDevicesConfig(devices), {.record = false, .readyTimeoutMs = 20000});
  if (!sim.started()) {
    std::fprintf(stderr, "discovery_bench: the simulator did not become ready\n");
    return 1;
  }

  configureErrorLog(LogToConsole, QString(), QStringLiteral("discovery_bench"));
  configureGeneralLog(0, 255, false, false, QStringLiteral("discovery_bench"));

  std::printf("devices in the lab: %d, replyWaitMs %d, interfaces %zu\n", devices, kReplyWaitMs,
              ORVCScanOrvaneDevice::broadcastInterfaces().size());
  std::vector<qint64> times;
  int worst = devices;
  for (int round = 1; round <= rounds; ++round) {
    ORVCScanOrvaneDevice scanner(kReplyWaitMs);
    QElapsedTimer timer;
    timer.start();
    const bool sent = scanner.scanOrvaneDevice();
    const qint64 ms = timer.elapsed();
    const int listed = int(scanner.networkDevices().size());
    times.push_back(ms);
    worst = std::min(worst, listed);
    std::printf("round %d: listed %d of %d, scan took %lld ms (of which %d ms fixed wait), request %s\n", round, listed,
                devices, static_cast<long long>(ms), kReplyWaitMs, sent ? "sent" : "NOT sent");
    std::fflush(stdout);
  }
  std::sort(times.begin(), times.end());
  std::printf("summary: fewest listed %d of %d; scan time min %lld ms, median %lld ms, max %lld ms\n", worst, devices,
              static_cast<long long>(times.front()), static_cast<long long>(times[times.size() / 2]),
              static_cast<long long>(times.back()));
  return 0;
}
