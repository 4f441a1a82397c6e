// orvane-devsim: plays Orvane network devices and their I2C devices for tests and manual
// runs inside a lab network namespace (tests/lab/netlab). See sim/README.md.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/SimConfig.h"
#include "sim/SimRecord.h"
#include "sim/SimServer.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// A thousand devices with a few connections each need more descriptors than the default.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int fail(const QString& message) {
  std::fprintf(stderr, "orvane-devsim: %s\n", message.toLocal8Bit().constData());
  return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("orvane-devsim"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Simulated Orvane devices; run only inside a lab network namespace."));
  parser.addHelpOption();
  const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("Device configuration (JSON)."), QStringLiteral("file"));
  const QCommandLineOption recordOption(QStringLiteral("record"), QStringLiteral("Record file (JSON lines)."), QStringLiteral("file"));
  const QCommandLineOption readyOption(QStringLiteral("ready-file"), QStringLiteral("Created once every socket is bound."), QStringLiteral("file"));
  parser.addOptions({configOption, recordOption, readyOption});
  parser.process(app);

  if (!parser.isSet(configOption)) return fail(QStringLiteral("--config is required"));
  QFile configFile(parser.value(configOption));
  if (!configFile.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("cannot read the configuration %1").arg(configFile.fileName()));
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(configFile.readAll(), &parseError);
  if (!doc.isObject())
    return fail(QStringLiteral("configuration %1 is not a JSON object: %2").arg(configFile.fileName(), parseError.errorString()));
  QList<orvane::sim::DeviceConfig> devices;
  QString error;
  if (!orvane::sim::parseConfig(doc.object(), devices, error))
    return fail(QStringLiteral("configuration %1: %2").arg(configFile.fileName(), error));

  raiseDescriptorLimit();
  orvane::sim::Recorder recorder;
  if (!recorder.open(parser.value(recordOption), error)) return fail(error);

  orvane::sim::SimServer server(devices, recorder);
  if (!server.start(error)) return fail(error);

  // SIGTERM and SIGINT end the event loop through a pipe, so that the record is closed cleanly.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return fail(QStringLiteral("cannot create the signal pipe"));
  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
  struct sigaction action{};
  action.sa_handler = onSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  if (parser.isSet(readyOption)) {
    QFile ready(parser.value(readyOption));
    if (!ready.open(QIODevice::WriteOnly | QIODevice::Truncate))
      return fail(QStringLiteral("cannot create the ready file %1").arg(ready.fileName()));
    ready.write("ready\n");
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
