#include "FakeDevice.h"

#include "EngineProbe.h"
#include "LoopbackSocket.h"
#include "engine/FirmwareFile.h"
#include "sim/SimDevice.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

namespace orvane::test {

namespace {

constexpr int kPieceGapMs = 8;
const QString kAddress = QStringLiteral("127.0.0.1");

QString hexText(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

int simPort(FakeDevice::Port port) { return port == FakeDevice::Port::Common ? sim::kCommonPort : sim::kFilePort; }

QString simHttpMode(FakeDevice::Http mode) {
  switch (mode) {
    case FakeDevice::Http::NotFound: return QStringLiteral("404");
    case FakeDevice::Http::Redirect: return QStringLiteral("302");
    case FakeDevice::Http::Empty: return QStringLiteral("empty");
    case FakeDevice::Http::Silent: return QStringLiteral("silent");
    case FakeDevice::Http::Ok:
    case FakeDevice::Http::Reset: break;
  }
  return QStringLiteral("ok");
}

// The device in the simulator's configuration terms (sim/README.md), so that what the
// loopback device leaves open (MAC, name) takes the simulator's defaults. Its restart
// lasts restartMs (push() hands it to the model): by default the loopback tests do not
// wait for a reboot.
sim::DeviceConfig simConfig(const FakeDevice& d) {
  const QJsonObject i2c{{"address", d.i2cAddress}, {"type", hexText(d.i2cType)}, {"versionWord", hexText(d.i2cVersionWord)}};
  const QJsonObject device{{"address", kAddress},     {"type", hexText(d.type)}, {"versionWord", hexText(d.versionWord)},
                           {"flashTimeMs", 0},        {"i2c", QJsonArray{i2c}}};
  QList<sim::DeviceConfig> devices;
  QString error;
  if (!sim::parseConfig(QJsonObject{{"devices", QJsonArray{device}}}, devices, error))
    std::fprintf(stderr, "FakeDevice: %s\n", qPrintable(error));
  return devices.value(0);
}

}  // namespace

// --- HTTP responder: a plain blocking server on its own thread -------------------------
class HttpResponder {
 public:
  // Gives the device's outcome for one request; called on the responder's thread.
  using Answer = std::function<sim::HttpOutcome(const QByteArray& request)>;

  explicit HttpResponder(Answer answer) : answer_(std::move(answer)) {
    fd_ = bindLoopback(SOCK_STREAM, port_);
    thread_ = std::thread([this] { run(); });
  }
  ~HttpResponder() {
    stop_ = true;
    thread_.join();
    for (int c : held_) ::close(c);
    ::close(fd_);
  }
  quint16 port() const { return fd_ >= 0 ? port_ : 0; }
  // Reset: every request is answered by a reset of the connection.
  void setReset(bool reset) { reset_ = reset; }
  QStringList requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      serve(c, readRequest(c));
    }
  }
  static QByteArray readRequest(int c) {
    QByteArray request;
    char buf[4096];
    for (int guard = 0; guard < 200 && !request.contains("\r\n\r\n"); ++guard) {
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, n);
    }
    return request;
  }
  void serve(int c, const QByteArray& request) {
    {
      std::lock_guard lock(mutex_);
      requests_ << QString::fromLatin1(request);
    }
    if (reset_) {
      linger l{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(c);
      return;
    }
    const sim::HttpOutcome out = answer_(request);
    if (out.silent) {
      held_.push_back(c);  // never answered; closed when the device goes
      return;
    }
    for (qsizetype sent = 0; sent < out.response.size();) {
      const ssize_t n = ::send(c, out.response.constData() + sent, size_t(out.response.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += n;
    }
    ::close(c);
  }

  Answer answer_;
  int fd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reset_{false};
  std::thread thread_;
  std::vector<int> held_;
  mutable std::mutex mutex_;
  QStringList requests_;
};

// --- The device ----------------------------------------------------------------------
struct FakeDevice::Impl {
  explicit Impl(FakeDevice& owner) : self(owner) {
    recorder.onLine = [this](const QJsonObject& line) { observe(line); };
    push();
    http.emplace([this](const QByteArray& request) { return httpAnswer(request); });
  }
  ~Impl() {
    // The responder's thread asks the model: stop it before the model goes.
    http.reset();
    // The servers are destroyed after the counters below them; a connection still open
    // (a test that ended early) must not reach them from its disconnect.
    for (QTcpSocket* s : std::as_const(sockets)) QObject::disconnect(s, nullptr, nullptr, nullptr);
  }

  FakeDevice& self;
  // The model is also asked by the HTTP thread; the lock is taken again by observe().
  mutable std::recursive_mutex mutex;
  sim::Recorder recorder;
  std::unique_ptr<sim::SimDevice> model;
  QString httpMode = QStringLiteral("ok");
  int corruptReadback = -1;
  QTcpServer common, file;
  QMap<Port, QList<QByteArray>> frames;
  QMap<Port, int> open, accepted;
  QSet<QTcpSocket*> sockets;
  qint64 activated = -1;
  int flashes = 0;
  int i2cFlashes = 0;
  QStringList violations;
  std::optional<HttpResponder> http;

  void push();
  void pull();
  void observe(const QJsonObject& line);
  sim::HttpOutcome httpAnswer(const QByteArray& request);
  sim::TcpOutcome modelAnswer(Port port, const QByteArray& frame);
  void accept(QTcpServer& server, Port port);
  void read(QTcpSocket* s, Port port, QByteArray& buffer);
  bool handle(QTcpSocket* s, Port port, const QByteArray& frame);
  void dropConnections();
  static void send(QTcpSocket* s, const QByteArray& bytes, const QList<int>& cuts, bool close);
};

// Hands the fields of the device to the model: a test may have changed them since the
// last request. A new I2C address needs a new model.
void FakeDevice::Impl::push() {
  std::lock_guard lock(mutex);
  if (!model || !model->i2cState(self.i2cAddress)) {
    model = std::make_unique<sim::SimDevice>(simConfig(self), recorder);
    model->onReboot = [this](sim::SimDevice*) { dropConnections(); };
  }
  sim::DeviceConfig& c = model->settings();
  c.type = self.type;
  c.versionWord = self.versionWord;
  c.flashTimeMs = self.restartMs;
  c.faults.versionAfterFlash = self.versionAfterFlash;
  c.faults.i2cVersionAfterFlash = self.i2cVersionAfterFlash;
  c.faults.corruptI2cReadback = self.corruptI2cReadback;
  c.faults.http = httpMode;
  c.faults.corruptReadback = corruptReadback;
  sim::I2cDeviceConfig* i2c = model->i2cState(self.i2cAddress);
  i2c->type = self.i2cType;
  i2c->versionWord = self.i2cVersionWord;
}

// Takes back what the model changed: a flashing gives new versions.
void FakeDevice::Impl::pull() {
  std::lock_guard lock(mutex);
  self.versionWord = model->settings().versionWord;
  if (const sim::I2cDeviceConfig* i2c = model->i2cState(self.i2cAddress)) {
    self.i2cType = i2c->type;
    self.i2cVersionWord = i2c->versionWord;
  }
}

// Every event the model records, as the simulator would write it to its record.
void FakeDevice::Impl::observe(const QJsonObject& line) {
  std::lock_guard lock(mutex);
  const QString event = line.value(QLatin1String("event")).toString();
  if (event == QLatin1String("violation")) {
    violations << QStringLiteral("port %1: %2")
                      .arg(line.value(QLatin1String("port")).toInt())
                      .arg(line.value(QLatin1String("detail")).toString());
  } else if (event == QLatin1String("activated")) {
    activated = line.value(QLatin1String("length")).toInteger();
  } else if (event == QLatin1String("flashed")) {
    ++(line.contains(QLatin1String("i2c")) ? i2cFlashes : flashes);
    pull();
  }
}

sim::HttpOutcome FakeDevice::Impl::httpAnswer(const QByteArray& request) {
  std::lock_guard lock(mutex);
  return model->handleHttp(request);
}

sim::TcpOutcome FakeDevice::Impl::modelAnswer(Port port, const QByteArray& frame) {
  std::lock_guard lock(mutex);
  push();
  const sim::TcpOutcome out = model->handleTcp(simPort(port), frame);
  pull();
  return out;
}

void FakeDevice::Impl::accept(QTcpServer& server, Port port) {
  while (QTcpSocket* s = server.nextPendingConnection()) {
    if (model->rebooting()) {  // a restarting device refuses its ports
      s->abort();
      s->deleteLater();
      continue;
    }
    ++open[port];
    ++accepted[port];
    sockets.insert(s);
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, port] {
      --open[port];
      sockets.remove(s);
      s->deleteLater();
    });
    QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, port, buffer] { read(s, port, *buffer); });
  }
}

// Cuts the stream into frames by their payload-length field, as the simulator's server does.
void FakeDevice::Impl::read(QTcpSocket* s, Port port, QByteArray& buffer) {
  buffer.append(s->readAll());
  while (buffer.size() >= sim::kFrameHeader) {
    if (buffer[0] != 0) {
      recorder.violation(kAddress, simPort(port),
                         QStringLiteral("stream out of step: %1 bytes dropped").arg(buffer.size()));
      buffer.clear();
      return;
    }
    const int length = sim::wireFrameLength(buffer);
    if (buffer.size() < length) return;
    const QByteArray frame = buffer.left(length);
    buffer.remove(0, length);
    if (!handle(s, port, frame)) return;
  }
}

// One request: the script's reply or the model's answer. False when the connection closes.
bool FakeDevice::Impl::handle(QTcpSocket* s, Port port, const QByteArray& frame) {
  frames[port].append(frame);
  const int index = int(frames[port].size());
  const Reply reply = self.script ? self.script(port, index, frame) : Reply{};
  if (reply.kind == Reply::Close) {
    s->close();
    return false;
  }
  sim::TcpOutcome out = modelAnswer(port, frame);
  if (reply.kind == Reply::Silent) {
    out.answer.clear();
    out.split.clear();
  } else if (reply.kind == Reply::Bytes) {
    out.answer = reply.bytes;
    out.split = reply.cuts;
  } else if (!reply.cuts.isEmpty()) {
    out.split = reply.cuts;
  }
  send(s, out.answer, out.split, out.close);
  return !out.close;
}

// A reset closes every connection of the device.
void FakeDevice::Impl::dropConnections() {
  const QSet<QTcpSocket*> all = sockets;
  for (QTcpSocket* s : all) s->disconnectFromHost();
}

void FakeDevice::Impl::send(QTcpSocket* s, const QByteArray& bytes, const QList<int>& cuts, bool close) {
  if (cuts.isEmpty()) {
    if (!bytes.isEmpty() && s->state() == QAbstractSocket::ConnectedState) {
      s->write(bytes);
      s->flush();
    }
    if (close) s->disconnectFromHost();
    return;
  }
  QList<int> ends = cuts;
  ends.append(int(bytes.size()));
  QPointer<QTcpSocket> guard(s);
  int from = 0;
  for (int i = 0; i < ends.size(); ++i) {
    const QByteArray piece = bytes.mid(from, ends[i] - from);
    const bool last = i == ends.size() - 1;
    from = ends[i];
    QTimer::singleShot(i * kPieceGapMs, s, [guard, piece, last, close] {
      if (!guard || guard->state() != QAbstractSocket::ConnectedState) return;
      guard->write(piece);
      guard->flush();
      if (last && close) guard->disconnectFromHost();
    });
  }
}

FakeDevice::FakeDevice() {
  ensureApplication();
  d = std::make_unique<Impl>(*this);
  d->common.listen(QHostAddress::LocalHost, 0);
  d->file.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&d->common, &QTcpServer::newConnection, &d->common, [this] { d->accept(d->common, Port::Common); });
  QObject::connect(&d->file, &QTcpServer::newConnection, &d->file, [this] { d->accept(d->file, Port::File); });
}

FakeDevice::~FakeDevice() = default;

bool FakeDevice::listening() const { return d->common.isListening() && d->file.isListening() && d->http->port(); }
quint16 FakeDevice::commonPort() const { return d->common.serverPort(); }
quint16 FakeDevice::filePort() const { return d->file.serverPort(); }
quint16 FakeDevice::httpPort() const { return d->http->port(); }

void FakeDevice::refuse(Port port) {
  // Keep the port number: a fresh listener would take another one.
  (port == Port::Common ? d->common : d->file).pauseAccepting();
  (port == Port::Common ? d->common : d->file).close();
}

void FakeDevice::setHttp(Http mode, int corruptIndex) {
  std::lock_guard lock(d->mutex);
  d->http->setReset(mode == Http::Reset);
  d->httpMode = simHttpMode(mode);
  d->corruptReadback = corruptIndex;
  d->push();
}

QList<QByteArray> FakeDevice::received(Port port) const { return d->frames.value(port); }
QByteArray FakeDevice::uploadedImage() const {
  std::lock_guard lock(d->mutex);
  return d->model->uploadImage();
}
qint64 FakeDevice::activatedLength() const {
  std::lock_guard lock(d->mutex);
  return d->activated;
}
int FakeDevice::flashCount() const {
  std::lock_guard lock(d->mutex);
  return d->flashes;
}
int FakeDevice::i2cFlashCount() const {
  std::lock_guard lock(d->mutex);
  return d->i2cFlashes;
}
QByteArray FakeDevice::i2cImage() const {
  std::lock_guard lock(d->mutex);
  return d->model->i2cMemory(i2cAddress);
}
int FakeDevice::openConnections(Port port) const { return d->open.value(port); }
int FakeDevice::connectionsAccepted(Port port) const { return d->accepted.value(port); }
QStringList FakeDevice::httpRequests() const { return d->http->requests(); }
QStringList FakeDevice::violations() const {
  std::lock_guard lock(d->mutex);
  return d->violations;
}

LoopbackRig::LoopbackRig(const std::function<void(EngineSettings&)>& adjust) {
  settings = quickSettings(device.commonPort(), device.filePort(), device.httpPort());
  if (adjust) adjust(settings);
  engine = std::make_unique<ORVCRoVivazava>(
      constructed, &EngineProbe::callback, &probe,
      [this](const QString& ip) {
        pinged << ip;
        return reachable;
      },
      settings);
}

LoopbackRig::~LoopbackRig() { engine.reset(); }

bool LoopbackRig::start(const QByteArray* bin, const QByteArray* bi2, const QByteArray* web, bool batch,
                        int i2cAddress) {
  if (bin)
    if (auto id = parseIdentificationBlock(*bin)) ORVCRoVivazava::storeFileIdentification(engine->network, *id);
  if (bi2)
    if (auto id = parseIdentificationBlock(*bi2)) ORVCRoVivazava::storeFileIdentification(engine->i2c, *id);
  return engine->startUpgrade(QStringLiteral("127.0.0.1"), i2cAddress, bin, bi2, web, batch);
}

}  // namespace orvane::test
