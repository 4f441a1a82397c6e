// Discovery benchmark: one broadcast discovery (replyWaitMs 500) against as many simulated
// devices as the lab carries, several rounds; prints how many were listed and how long
// each scan took. Runs only inside a network lab (scripts/bench-discovery makes one).
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The lab's device addresses: 10.77.(1 + i / 254).(1 + i % 254).
QString deviceAddress(int i) { return QStringLiteral("10.77.%1.%2").arg(1 + i / 254).arg(1 + i % 254); }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString devns = qEnvironmentVariable("ORV_LAB_DEVNS");
  if (devns.isEmpty()) {
    std::fprintf(stderr, "discovery_bench: run it inside a network lab: tests/lab/netlab run --devices 1000 -- %s\n",
                 argv[0]);
    return 77;
  }
  const int devices = qEnvironmentVariableIntValue("ORV_LAB_DEVICES");
  const int rounds = std::max(1, qEnvironmentVariableIntValue("DISCOVERY_BENCH_ROUNDS") > 0
                                     ? qEnvironmentVariableIntValue("DISCOVERY_BENCH_ROUNDS")
                                     : 3);
  constexpr int kReplyWaitMs = 500;

  QTemporaryDir dir;
  if (!dir.isValid()) {
    std::fprintf(stderr, "discovery_bench: cannot create a temporary directory\n");
    return 1;
  }
  QJsonArray list;
  for (int i = 0; i < devices; ++i)
    list.append(QJsonObject{{"address", deviceAddress(i)},
                            {"mac", QStringLiteral("02-00-00-00-%1-%2")
                                        .arg(i / 256, 2, 16, QLatin1Char('0'))
                                        .arg(i % 256, 2, 16, QLatin1Char('0'))
                                        .toUpper()}});
  const QString configPath = dir.filePath("devices.json");
  const QString readyPath = dir.filePath("ready");
  {
    QFile f(configPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(QJsonObject{{"devices", list}}).toJson()) < 0) {
      std::fprintf(stderr, "discovery_bench: cannot write %s\n", qPrintable(configPath));
      return 1;
    }
  }

  // The simulator lives in the lab's device namespace; no record file (it would cost
  // more than the scan itself).
  QProcess sim;
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim.start("ip", {"netns", "exec", devns, QCoreApplication::applicationDirPath() + "/orvane-devsim", "--config",
                   configPath, "--ready-file", readyPath});
  const QDeadlineTimer ready(20000);
  while (!QFile::exists(readyPath)) {
    if (sim.state() == QProcess::NotRunning || ready.hasExpired()) {
      std::fprintf(stderr, "discovery_bench: the simulator did not become ready\n");
      sim.kill();
      sim.waitForFinished(5000);
      return 1;
    }
    sim.waitForFinished(10);
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

  sim.terminate();
  if (!sim.waitForFinished(5000)) {
    sim.kill();
    sim.waitForFinished(5000);
  }
  return 0;
}
