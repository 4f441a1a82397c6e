// Engine upload benchmark (prints figures; not a test). Runs inside a network lab made
// by scripts/bench-upload with ENGINE_BENCH=1 (tests/lab/netlab): starts the device
// simulator in the device namespace, then uploads a 1 MiB .bin through the file port
// and flashes a 256 KiB .bi2 through the I2C gateway, first with the upgrade engine in
// this process, then with a plain client on blocking sockets doing the same lock-step
// exchanges on the same link.
#include "BenchFirmware.h"
#include "common/Version.h"
#include "engine/ORVCRoVivazava.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"
#include "support/Lab.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

using namespace orvane::proto;

namespace {

const char* kDevice = "10.77.1.1";

long peakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// --- The engine -------------------------------------------------------------------
struct Timeline {
  QElapsedTimer clock;
  qint64 begin = -1, end = -1;
  bool done = false, failed = false;
  QString beginText, endText;
};

void record(void* owner, int kind, int, const QString& text) {
  auto* t = static_cast<Timeline*>(owner);
  if (kind == StatusMessage && text == t->beginText) t->begin = t->clock.elapsed();
  if (kind == StatusMessage && text == t->endText) t->end = t->clock.elapsed();
  if (kind == StatusSucceeded) t->done = true;
  if (kind == StatusFailed) t->done = t->failed = true;
}

// Milliseconds between the two announcements that frame the transfer; -1 on failure.
qint64 engineRun(const QByteArray* bin, const QByteArray* bi2) {
  Timeline t;
  t.beginText = bin ? "Upload bin file." : "Check actual firmware version on I2C device.";
  t.endText = bin ? "Bin file uploaded succesfully." : "Bi2 file uploaded succesfully.";
  EngineSettings s;
  s.stepMs = 20;
  s.flashWaitMs = 600;
  bool ok = false;
  ORVCRoVivazava engine(ok, &record, &t, [](const QString&) { return true; }, s);
  if (!ok) return -1;
  if (bin) ORVCRoVivazava::storeFileIdentification(engine.network, *orvane::parseIdentificationBlock(*bin));
  if (bi2) ORVCRoVivazava::storeFileIdentification(engine.i2c, *orvane::parseIdentificationBlock(*bi2));
  t.clock.start();
  if (!engine.startUpgrade(kDevice, 80, bin, bi2, nullptr, true)) return -1;
  QDeadlineTimer deadline(300000);
  while (!t.done && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  if (t.failed || t.begin < 0 || t.end < 0) return -1;
  return t.end - t.begin;
}

// --- The plain client -------------------------------------------------------------
class PlainConnection {
 public:
  explicit PlainConnection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    ::inet_pton(AF_INET, kDevice, &a.sin_addr);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~PlainConnection() { ::close(fd_); }
  bool ok() const { return ok_; }
  // Sends one request and reads its whole answer frame (one answer per request: the
  // device never sends ahead, so nothing beyond the frame is read).
  bool exchange(const QByteArray& request, QByteArray& answer) {
    if (::send(fd_, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) return false;
    answer.clear();
    char buffer[4096];
    for (;;) {
      if (answer.size() >= 6 && answer.size() >= (quint8(answer[4]) << 8 | quint8(answer[5])) + 8) return true;
      const ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
      if (r <= 0) return false;
      answer.append(buffer, r);
    }
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

qint64 plainUpload(const QByteArray& bin) {
  PlainConnection c(kFilePort);
  if (!c.ok()) return -1;
  QElapsedTimer clock;
  clock.start();
  const QByteArray image = binUploadImage(bin);
  QByteArray answer;
  if (!c.exchange(uploadStartRequest(), answer)) return -1;
  for (qsizetype offset = 0; offset < image.size(); offset += kChunkSize)
    if (!c.exchange(uploadDataRequest(quint32(offset), image.mid(offset, kChunkSize)), answer)) return -1;
  return clock.elapsed();
}

qint64 plainI2c(const QByteArray& bi2) {
  PlainConnection c(kCommonPort);
  if (!c.ok()) return -1;
  QElapsedTimer clock;
  clock.start();
  const QByteArray image = i2cImage(bi2);
  QByteArray answer;
  for (qsizetype offset = 0; offset < image.size(); offset += kChunkSize) {
    if (!c.exchange(i2cBlockWriteRequest(80, quint32(offset), image.mid(offset, kChunkSize)), answer)) return -1;
    if (!c.exchange(i2cBlockReadBackRequest(80, quint32(offset)), answer)) return -1;
    if (answer.size() != 78) return -1;
  }
  return clock.elapsed();
}

void line(const char* what, qint64 ms, qint64 exchanges) {
  if (ms < 0) {
    std::printf("  %-34s FAILED\n", what);
    return;
  }
  std::printf("  %-34s %7lld ms  %9.0f exchanges/s  peak RSS %ld KiB\n", what, static_cast<long long>(ms),
              ms > 0 ? exchanges * 1000.0 / double(ms) : 0.0, peakKiB());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (!orvane::test::inLab()) {
    std::fprintf(stderr, "upload_bench: run me through scripts/bench-upload (inside a network lab)\n");
    return 77;
  }
  const QJsonObject i2c{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010000"}};
  const QJsonObject device{{"address", kDevice}, {"type", "00010001"}, {"versionWord", "00010000"},
                           {"flashTimeMs", 200},  {"i2c", QJsonArray{i2c}}};
  orvane::test::Simulator sim(QJsonObject{{"devices", QJsonArray{device}}}, {.record = false});
  if (!sim.started()) {
    std::fprintf(stderr, "upload_bench: the simulator did not start\n");
    return 1;
  }

  const QByteArray bin = benchFirmware(1 << 20, 0x00010001, 0x00010001);
  const QByteArray bi2 = benchFirmware(256 << 10, 0x00050001, 0x00010001);
  const qint64 binChunks = (binUploadImage(bin).size() + kChunkSize - 1) / kChunkSize + 1;
  const qint64 i2cExchanges = 2 * i2cImageLength(bi2.size()) / kChunkSize;

  std::printf("Upload benchmark (%s, simulator at %s)\n", orvane::kProgramVersionText, kDevice);
  std::printf(".bin of 1 MiB through the file port: %lld lock-step exchanges\n", static_cast<long long>(binChunks));
  // The order of the two clients can be swapped (UPLOAD_BENCH_PLAIN_FIRST=1) to see
  // that neither profits from running second.
  const bool plainFirst = qEnvironmentVariableIntValue("UPLOAD_BENCH_PLAIN_FIRST") == 1;
  qint64 engineBin = -1, plainBin = -1, engineI2c = -1, plainI2cMs = -1;
  if (plainFirst) {
    plainBin = plainUpload(bin);
    line("plain blocking client", plainBin, binChunks);
  }
  engineBin = engineRun(&bin, nullptr);
  line("engine", engineBin, binChunks);
  if (!plainFirst) {
    plainBin = plainUpload(bin);
    line("plain blocking client", plainBin, binChunks);
  }
  std::printf(".bi2 of 256 KiB through the I2C gateway: %lld lock-step exchanges\n",
              static_cast<long long>(i2cExchanges));
  if (plainFirst) {
    plainI2cMs = plainI2c(bi2);
    line("plain blocking client", plainI2cMs, i2cExchanges);
  }
  engineI2c = engineRun(nullptr, &bi2);
  line("engine", engineI2c, i2cExchanges);
  if (!plainFirst) {
    plainI2cMs = plainI2c(bi2);
    line("plain blocking client", plainI2cMs, i2cExchanges);
  }
  if (engineBin > 0 && plainBin > 0 && engineI2c > 0 && plainI2cMs > 0)
    std::printf("engine / plain time: .bin %.2f, .bi2 %.2f (target: within 1.20)\n",
                double(engineBin) / double(plainBin), double(engineI2c) / double(plainI2cMs));
  return 0;
}
