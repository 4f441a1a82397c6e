#include "FakeDevice.h"

#include "EngineProbe.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace orvane::test {

using namespace orvane::proto;

namespace {
quint32 be32(const QByteArray& b, int at) {
  return quint32(quint8(b[at])) << 24 | quint32(quint8(b[at + 1])) << 16 | quint32(quint8(b[at + 2])) << 8 |
         quint8(b[at + 3]);
}
QByteArray word32(quint32 v) {
  QByteArray out(4, '\0');
  out[0] = char(v >> 24);
  out[1] = char(v >> 16);
  out[2] = char(v >> 8);
  out[3] = char(v);
  return out;
}
// The firmware version of an identification word, written in the layout of `deviceWord`
// (the device keeps its hardware version).
QByteArray versionInDeviceLayout(const QByteArray& fileWord, const QByteArray& deviceWord) {
  const VersionWord w = decodeVersionWord(reinterpret_cast<const quint8*>(fileWord.constData()));
  if (deviceWord.at(0) == 0) return word32(quint32(w.firmware));
  QByteArray out = deviceWord.left(2);
  out += char(w.firmware >> 16);
  out += char(w.firmware & 0xFF);
  return out;
}
}  // namespace

// --- HTTP responder: a plain blocking server on its own thread -------------------------
class HttpResponder {
 public:
  HttpResponder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~HttpResponder() {
    stop_ = true;
    thread_.join();
    for (int c : held_) ::close(c);
    ::close(fd_);
  }
  quint16 port() const { return port_; }
  void set(FakeDevice::Http mode, int corrupt) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    corrupt_ = corrupt;
  }
  void setBody(const QByteArray& body) {
    std::lock_guard lock(mutex_);
    body_ = body;
  }
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
      serve(c);
    }
  }
  void serve(int c) {
    QByteArray request;
    char buf[4096];
    for (int guard = 0; guard < 200 && !request.contains("\r\n\r\n"); ++guard) {
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, n);
    }
    FakeDevice::Http mode;
    QByteArray body;
    int corrupt;
    {
      std::lock_guard lock(mutex_);
      requests_ << QString::fromLatin1(request);
      mode = mode_;
      body = body_;
      corrupt = corrupt_;
    }
    QByteArray response;
    switch (mode) {
      case FakeDevice::Http::Ok:
        if (corrupt >= 0 && corrupt < body.size()) body[corrupt] = char(~body[corrupt]);
        response = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body;
        break;
      case FakeDevice::Http::NotFound:
        response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        break;
      case FakeDevice::Http::Redirect:
        response = "HTTP/1.1 302 Found\r\nLocation: /\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        break;
      case FakeDevice::Http::Empty:
        response = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        break;
      case FakeDevice::Http::Silent:
        held_.push_back(c);   // never answered; closed when the device goes
        return;
      case FakeDevice::Http::Reset: {
        linger l{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(c);
        return;
      }
    }
    for (qsizetype sent = 0; sent < response.size();) {
      const ssize_t n = ::send(c, response.constData() + sent, size_t(response.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += n;
    }
    ::close(c);
  }

  int fd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> held_;
  mutable std::mutex mutex_;
  FakeDevice::Http mode_ = FakeDevice::Http::Ok;
  int corrupt_ = -1;
  QByteArray body_;
  QStringList requests_;
};

// --- The device ----------------------------------------------------------------------
struct FakeDevice::Impl {
  explicit Impl(FakeDevice& owner) : self(owner) {}
  FakeDevice& self;
  QTcpServer common, file;
  HttpResponder http;
  QMap<Port, QList<QByteArray>> frames;
  QMap<Port, int> open, accepted;
  QByteArray uploaded;
  qint64 activated = -1;
  bool activationPending = false;
  int flashes = 0;
  int i2cFlashes = 0;
  QByteArray i2cImage = QByteArray(1 << 16, char(0xFF));
  QByteArray windows[4] = {QByteArray(16, '\0'), QByteArray(16, '\0'), QByteArray(16, '\0'), QByteArray(16, '\0')};
  quint32 commandWord = 0;

  void accept(QTcpServer& server, Port port) {
    while (QTcpSocket* s = server.nextPendingConnection()) {
      ++open[port];
      ++accepted[port];
      auto splitter = std::make_shared<FrameSplitter>();
      QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, port] {
        --open[port];
        s->deleteLater();
      });
      QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, port, splitter] {
        splitter->push(s->readAll());
        QByteArray frame;
        while (splitter->next(frame)) handle(s, port, frame);
      });
    }
  }

  void handle(QTcpSocket* s, Port port, const QByteArray& frame) {
    frames[port].append(frame);
    const int index = int(frames[port].size());
    Reply reply;
    if (self.script) reply = self.script(port, index, frame);
    switch (reply.kind) {
      case Reply::Silent: return;
      case Reply::Close: s->close(); return;
      case Reply::Bytes: sendPieces(s, reply.bytes, reply.cuts); return;
      case Reply::Normal: break;
    }
    const QByteArray answer = port == Port::Common ? commonAnswer(frame) : fileAnswer(frame);
    if (!answer.isEmpty()) {
      s->write(answer);
      s->flush();
    }
  }

  static void sendPieces(QTcpSocket* s, const QByteArray& bytes, const QList<int>& cuts) {
    int from = 0;
    int delay = 0;
    QList<int> ends = cuts;
    ends.append(int(bytes.size()));
    QPointer<QTcpSocket> guard(s);
    for (int end : ends) {
      const QByteArray piece = bytes.mid(from, end - from);
      from = end;
      QTimer::singleShot(delay, s, [guard, piece] {
        if (guard && guard->state() == QAbstractSocket::ConnectedState) {
          guard->write(piece);
          guard->flush();
        }
      });
      delay += 8;
    }
  }

  QByteArray commonAnswer(const QByteArray& f) {
    const quint8 code = quint8(f[1]);
    const QByteArray payload = f.mid(6, f.size() - 8);
    if (code == ReadVariables) {
      if (payload.contains(char(VarReset))) {
        if (activationPending) {
          activationPending = false;
          ++flashes;
          self.versionWord = !self.versionAfterFlash.isEmpty()
                                 ? self.versionAfterFlash
                                 : versionInDeviceLayout(uploaded.mid(17 + 26, 4), self.versionWord);
        }
        return {};
      }
      QByteArray out;
      for (char id : payload) {
        out += id;
        out += id == VarFirmwareType ? self.type : self.versionWord;
      }
      return buildPacket(VariablesAnswer, 0, out);
    }
    if (code == I2cTransfer) return i2cAnswer(payload);
    return {};
  }

  QByteArray i2cAnswer(const QByteArray& p) {
    QByteArray out;
    int pos = 0;
    while (pos + 2 <= p.size()) {
      const int address = quint8(p[pos]);
      const int w = quint8(p[pos + 1]);
      if (pos + 2 + w + 1 > p.size()) break;
      const QByteArray written = p.mid(pos + 2, w);
      const int r = quint8(p[pos + 2 + w]);
      pos += 3 + w;
      if (address != self.i2cAddress) return buildPacket(I2cError, 0, QByteArray(1, 2));
      const int reg = w > 0 ? quint8(written[0]) : -1;
      if (reg >= RegWindow0 && reg < RegWindow0 + 4 && w == 17) windows[reg - RegWindow0] = written.mid(1);
      if (reg == RegCommand && w == 7) commandWord = be32(written, 3);
      if (reg == RegTrigger && w == 1) execute();
      QByteArray read;
      if (r > 0) {
        if (reg == RegFirmwareType) read = self.i2cType;
        else if (reg == RegVersionWord) read = self.i2cVersionWord;
        else if (reg >= RegWindow0 && reg < RegWindow0 + 4) read = windows[reg - RegWindow0];
        read = read.leftJustified(r, '\0', true);
      }
      out += read;
      out += char(kI2cStatusOk);
    }
    return buildPacket(I2cTransferAnswer, 0, out);
  }

  void execute() {
    const quint32 op = commandWord % 64;
    const quint32 base = commandWord - op;
    if (op == I2cOpWriteBlock && base + 64 <= quint32(i2cImage.size())) {
      for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 16; ++i) i2cImage[int(base) + 16 * j + i] = windows[j][15 - i];
    } else if (op == I2cOpReadBack && base + 64 <= quint32(i2cImage.size())) {
      for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 16; ++i) {
          const int index = int(base) + 16 * j + i;
          char b = i2cImage[index];
          if (index == self.corruptI2cReadback) b = char(~b);
          windows[j][15 - i] = b;
        }
    } else if (op == I2cOpFlashImage) {
      ++i2cFlashes;
      if (!self.i2cVersionAfterFlash.isEmpty()) {
        self.i2cVersionWord = self.i2cVersionAfterFlash;
      } else {
        self.i2cType = i2cImage.mid(2 + 22, 4);
        self.i2cVersionWord = versionInDeviceLayout(i2cImage.mid(2 + 26, 4), self.i2cVersionWord);
      }
    }
  }

  QByteArray fileAnswer(const QByteArray& f) {
    const quint8 code = quint8(f[1]);
    if (code == UploadStart) {
      uploaded.clear();
      return buildPacket(UploadAnswer, 0, "MemoryErased");
    }
    if (code == UploadData && f.size() == 78) {
      const int offset = int(quint32(quint8(f[6])) << 16 | quint32(quint8(f[7])) << 8 | quint8(f[8]));
      if (uploaded.size() < offset + 64) uploaded.resize(offset + 64);
      uploaded.replace(offset, 64, f.mid(12, 64));
      // What the device serves afterwards: the bytes the image's length field counts.
      if (uploaded.size() >= 15 && uploaded.startsWith("/hex.hex ")) {
        const int counted = quint8(uploaded[11]) << 8 | quint8(uploaded[12]);
        http.setBody(uploaded.mid(15, counted));
      }
      return buildPacket(UploadAnswer, 0, "BytesWritten");
    }
    if (code == ActivateFirmware && f.size() == 11) {
      activated = quint8(f[6]) | quint8(f[7]) << 8 | quint8(f[8]) << 16;
      activationPending = true;
    }
    return {};
  }
};

FakeDevice::FakeDevice() {
  ensureApplication();
  d = std::make_unique<Impl>(*this);
  d->common.listen(QHostAddress::LocalHost, 0);
  d->file.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&d->common, &QTcpServer::newConnection, &d->common, [this] { d->accept(d->common, Port::Common); });
  QObject::connect(&d->file, &QTcpServer::newConnection, &d->file, [this] { d->accept(d->file, Port::File); });
}

FakeDevice::~FakeDevice() = default;

bool FakeDevice::listening() const { return d->common.isListening() && d->file.isListening() && d->http.port(); }
quint16 FakeDevice::commonPort() const { return d->common.serverPort(); }
quint16 FakeDevice::filePort() const { return d->file.serverPort(); }
quint16 FakeDevice::httpPort() const { return d->http.port(); }

void FakeDevice::refuse(Port port) {
  // Keep the port number: a fresh listener would take another one.
  (port == Port::Common ? d->common : d->file).pauseAccepting();
  (port == Port::Common ? d->common : d->file).close();
}

void FakeDevice::setHttp(Http mode, int corruptIndex) { d->http.set(mode, corruptIndex); }
QList<QByteArray> FakeDevice::received(Port port) const { return d->frames.value(port); }
QByteArray FakeDevice::uploadedImage() const { return d->uploaded; }
qint64 FakeDevice::activatedLength() const { return d->activated; }
int FakeDevice::flashCount() const { return d->flashes; }
int FakeDevice::i2cFlashCount() const { return d->i2cFlashes; }
QByteArray FakeDevice::i2cImage() const { return d->i2cImage; }
int FakeDevice::openConnections(Port port) const { return d->open.value(port); }
int FakeDevice::connectionsAccepted(Port port) const { return d->accepted.value(port); }
QStringList FakeDevice::httpRequests() const { return d->http.requests(); }

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
