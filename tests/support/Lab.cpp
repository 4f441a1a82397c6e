#include "support/Lab.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace orvane::test {

QJsonObject labMeterDevice(int index, const char* mac, const char* name) {
  return QJsonObject{{"address", labDeviceAddress(index)}, {"type", "00120003"}, {"versionWord", "0201030A"},
                     {"mac", mac}, {"name", name}};
}

QStringList outputLines(const QByteArray& out) {
  QStringList l = QString::fromUtf8(out).split('\n');
  if (!l.isEmpty() && l.last().isEmpty()) l.removeLast();
  return l;
}

QList<QJsonObject> jsonLines(const QByteArray& out) {
  QList<QJsonObject> objects;
  for (const QString& line : outputLines(out)) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
    objects << (doc.isObject() ? doc.object() : QJsonObject{{"unparsed", line}});
  }
  return objects;
}

QJsonObject gatewayConfig(int flashTimeMs, const QJsonObject& faults) {
  QJsonObject device{{"address", labDeviceAddress(0)},
                     {"type", "00010003"},
                     {"versionWord", "0201030A"},
                     {"mac", "00-1A-2B-3C-4D-01"},
                     {"name", "Gateway one"},
                     {"flashTimeMs", flashTimeMs}};
  if (!faults.isEmpty()) device.insert("faults", faults);
  return QJsonObject{{"devices", QJsonArray{device}}};
}

QJsonObject labDevicesConfig(int count) {
  QJsonArray devices;
  for (int i = 0; i < count; ++i) devices.append(QJsonObject{{"address", labDeviceAddress(i)}});
  return QJsonObject{{"devices", devices}};
}

namespace {

constexpr int kStopTimeoutMs = 5000;

QString binDir() {
  const QByteArray env = qgetenv("ORVANE_BIN_DIR");
  return env.isEmpty() ? QStringLiteral(ORVANE_BIN_DIR) : QString::fromLocal8Bit(env);
}

// Lets queued events run while waiting, without a fixed sleep.
void pause(int ms) {
  if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
  QThread::msleep(ulong(ms));
}

}  // namespace

bool inLab() { return !qEnvironmentVariableIsEmpty("ORV_LAB_DEVNS"); }

bool labRequired() { return qEnvironmentVariable("ORVANE_LAB_REQUIRED") == QLatin1String("1"); }

QString labUpgraderAddress(int interfaceIndex) {
  return interfaceIndex == 0 ? QStringLiteral("10.77.0.1") : QStringLiteral("10.78.0.1");
}

QString labDeviceAddress(int index) {
  return QStringLiteral("10.77.%1.%2").arg(1 + index / 254).arg(1 + index % 254);
}

QString labAbsentAddress() { return QStringLiteral("10.77.250.250"); }

int labRoutedDeviceCount() { return qEnvironmentVariableIntValue("ORV_LAB_ROUTED"); }

QString labRoutedDeviceAddress(int index) {
  return QStringLiteral("10.80.%1.%2").arg(1 + index / 254).arg(1 + index % 254);
}

QString labRoutedNamespace() { return qEnvironmentVariable("ORV_LAB_ROUTEDNS"); }

struct Simulator::Impl {
  QTemporaryDir dir;
  QProcess process;
  QString recordPath;
  bool started = false;
  qint64 readyAfterMs = -1;
  mutable qint64 readOffset = 0;
  mutable QList<QJsonObject> records;

  // Starts the process and waits until it has created the ready file.
  bool start(const QStringList& arguments, const QString& readyPath, int readyTimeoutMs) {
    QElapsedTimer clock;
    clock.start();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForStarted(readyTimeoutMs)) {
      std::fprintf(stderr, "Simulator: cannot start orvane-devsim: %s\n", qPrintable(process.errorString()));
      return false;
    }
    const QDeadlineTimer deadline(readyTimeoutMs);
    while (!QFile::exists(readyPath)) {
      if (process.state() == QProcess::NotRunning) {
        std::fprintf(stderr, "Simulator: orvane-devsim ended before it was ready (exit code %d)\n", process.exitCode());
        return false;
      }
      if (deadline.hasExpired()) {
        std::fprintf(stderr, "Simulator: orvane-devsim not ready within %d ms\n", readyTimeoutMs);
        process.kill();
        process.waitForFinished(kStopTimeoutMs);
        return false;
      }
      process.waitForFinished(5);  // returns after 5 ms while it runs
    }
    readyAfterMs = clock.elapsed();
    return true;
  }

  // Reads the lines completed since the last call; a line still being written stays for later.
  void refresh() const {
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly)) return;
    if (!file.seek(readOffset)) return;
    const QByteArray data = file.readAll();
    const qsizetype end = data.lastIndexOf('\n');
    if (end < 0) return;
    readOffset += end + 1;
    for (const QByteArray& line : data.left(end).split('\n')) {
      if (line.trimmed().isEmpty()) continue;
      const QJsonDocument doc = QJsonDocument::fromJson(line);
      if (doc.isObject()) records.append(doc.object());
    }
  }
};

Simulator::Simulator(const QJsonObject& config, const SimulatorOptions& options) : d(std::make_unique<Impl>()) {
  if (!inLab()) {
    std::fprintf(stderr, "Simulator: not inside a network lab; the simulator is not started\n");
    return;
  }
  if (!d->dir.isValid()) {
    std::fprintf(stderr, "Simulator: cannot create a temporary directory\n");
    return;
  }
  const QString configPath = d->dir.filePath(QStringLiteral("devices.json"));
  const QString readyPath = d->dir.filePath(QStringLiteral("ready"));
  QFile configFile(configPath);
  if (!configFile.open(QIODevice::WriteOnly) || configFile.write(QJsonDocument(config).toJson()) < 0) {
    std::fprintf(stderr, "Simulator: cannot write %s\n", qPrintable(configPath));
    return;
  }
  configFile.close();

  const QString netns = options.netns.isEmpty() ? qEnvironmentVariable("ORV_LAB_DEVNS") : options.netns;
  QStringList arguments{QStringLiteral("netns"), QStringLiteral("exec"), netns,
                        binDir() + QStringLiteral("/orvane-devsim"), QStringLiteral("--config"), configPath,
                        QStringLiteral("--ready-file"), readyPath};
  if (options.record) {
    d->recordPath = d->dir.filePath(QStringLiteral("record.jsonl"));
    arguments << QStringLiteral("--record") << d->recordPath;
  }
  d->started = d->start(arguments, readyPath, options.readyTimeoutMs);
}

Simulator::~Simulator() {
  if (d->process.state() != QProcess::NotRunning) {
    d->process.terminate();
    if (!d->process.waitForFinished(kStopTimeoutMs)) {
      std::fprintf(stderr, "Simulator: orvane-devsim did not stop on SIGTERM; killed\n");
      d->process.kill();
      d->process.waitForFinished(kStopTimeoutMs);
    }
  }
}

bool Simulator::started() const { return d->started; }
qint64 Simulator::readyAfterMs() const { return d->readyAfterMs; }
qint64 Simulator::processId() const { return d->process.processId(); }

QList<QJsonObject> Simulator::records() const {
  d->refresh();
  return d->records;
}

QList<QByteArray> Simulator::received(const QString& device, int port) const {
  QList<QByteArray> out;
  for (const QJsonObject& r : records()) {
    if (r.value(QLatin1String("device")).toString() != device || r.value(QLatin1String("port")).toInt() != port ||
        r.value(QLatin1String("dir")).toString() != QLatin1String("in"))
      continue;
    if (r.contains(QLatin1String("hex")))
      out.append(QByteArray::fromHex(r.value(QLatin1String("hex")).toString().toLatin1()));
    else
      out.append(r.value(QLatin1String("text")).toString().toLatin1());
  }
  return out;
}

QStringList Simulator::violations() const {
  QStringList out;
  for (const QJsonObject& r : records()) {
    if (r.value(QLatin1String("event")).toString() == QLatin1String("violation"))
      out.append(QStringLiteral("%1 port %2: %3")
                     .arg(r.value(QLatin1String("device")).toString())
                     .arg(r.value(QLatin1String("port")).toInt())
                     .arg(r.value(QLatin1String("detail")).toString()));
  }
  return out;
}

bool Simulator::waitForRecord(const std::function<bool(const QJsonObject&)>& pred, int timeoutMs) const {
  const QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    for (const QJsonObject& r : records())
      if (pred(r)) return true;
    if (deadline.hasExpired()) return false;
    pause(10);
  }
}

}  // namespace orvane::test
