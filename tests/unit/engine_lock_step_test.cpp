// Transfers in lock step: once the event loop has delivered an answer of an upload or an
// I2C transfer, the engine waits for the next ones on its socket itself for a short
// while. Whatever the device does meanwhile (answers at once, in pieces, too late, not at
// all, closes, talks nonsense), the run must end exactly as when every answer comes
// through the event loop: the same reports, the same log entries, the same bytes on the
// device. The engine runs on a thread of its own so that the loopback device (127.0.0.1
// only), served by this thread, answers while the engine waits.
#include "support/FakeDevice.h"
#include "support/TempHome.h"

#include "engine/BlockingReads.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <QEventLoop>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;
using Reply = FakeDevice::Reply;

// Large enough for many slices of lock-step exchanges: 1024 upload chunks, 256 I2C blocks.
const QByteArray kBin = firmwareFile(64 << 10, 0x00010001, 0x00010005);
const QByteArray kBi2 = firmwareFile(16 << 10, 0x00050001, 0x00010003);

struct Outcome {
  QStringList transcript;   // the engine's reports
  QStringList entries;      // the error log's entries
  QByteArray uploaded;      // the .bin image the device stored
  QByteArray i2cImage;      // what the I2C device holds
};

// The error log's entries that name the device, one line each.
QStringList entries(const ErrorLogFile& log) {
  static const QRegularExpression line(QStringLiteral("^.*\\[device 127\\.0\\.0\\.1.*$"),
                                       QRegularExpression::MultilineOption);
  QStringList out;
  for (auto it = line.globalMatch(log.text()); it.hasNext();) out << it.next().captured().trimmed();
  return out;
}

struct Case {
  const char* name;
  bool bin, bi2;
  Port port;
  int index;   // the request (1-based, per port) that gets `reply`
  Reply reply;
  const char* entry;   // the expected log entry up to its context; "" for a success
};

// The I2C transfer's requests on the common port: 1 and 2 read the network device before
// and after flashing, 3 asks the I2C device's version; blocks from 4 on (write, read-back).
const Case kCases[] = {
    {"upload", true, false, Port::File, 0, {}, ""},
    {"i2c transfer", false, true, Port::Common, 0, {}, ""},
    {"upload answer in pieces", true, false, Port::File, 300, {Reply::Normal, {}, {1, 7}}, ""},
    {"i2c answer in pieces", false, true, Port::Common, 201, {Reply::Normal, {}, {5}}, ""},
    {"upload answer never comes", true, false, Port::File, 400, {Reply::Silent, {}, {}},
     "No answer from device on TCP port"},
    {"device closes during the upload", true, false, Port::File, 500, {Reply::Close, {}, {}},
     "Error of connection on TCP port"},
    {"device closes during the i2c transfer", false, true, Port::Common, 150, {Reply::Close, {}, {}},
     "Error of connection on TCP port"},
    {"nonsense during the upload", true, false, Port::File, 600,
     {Reply::Bytes, answerFrame("00 44 00 00 00 00"), {}}, "File upload error. Invalid answer from device !"},
    {"nonsense during the i2c transfer", false, true, Port::Common, 100,
     {Reply::Bytes, answerFrame("00 08 00 00 00 02 87 87"), {}}, "Error. Invalid answer from I2C device !"},
};

// One whole run of `c` with the engine on a thread of its own.
Outcome run(const Case& c, int lockStepWaitMs) {
  ErrorLogFile log;
  FakeDevice device;
  if (c.index > 0)
    device.script = [&c](Port port, int index, const QByteArray&) {
      return port == c.port && index == c.index ? c.reply : Reply{};
    };
  EngineSettings settings = quickSettings(device.commonPort(), device.filePort(), device.httpPort());
  settings.answerTimeoutMs = 400;
  settings.lockStepWaitMs = lockStepWaitMs;
  EngineProbe probe;
  std::unique_ptr<QThread> thread(QThread::create([&] {
    bool constructed = false;
    ORVCRoVivazava engine(constructed, &EngineProbe::callback, &probe, {}, settings);
    const QByteArray* bin = c.bin ? &kBin : nullptr;
    const QByteArray* bi2 = c.bi2 ? &kBi2 : nullptr;
    if (bin) ORVCRoVivazava::storeFileIdentification(engine.network, *orvane::parseIdentificationBlock(*bin));
    if (bi2) ORVCRoVivazava::storeFileIdentification(engine.i2c, *orvane::parseIdentificationBlock(*bi2));
    if (!engine.startUpgrade(QStringLiteral("127.0.0.1"), 80, bin, bi2, nullptr, true)) return;
    // The thread's event loop until the end (waitUntil would sleep between its rounds).
    QEventLoop events;
    QTimer end;
    QObject::connect(&end, &QTimer::timeout, [&] {
      if (probe.finished() && engine.currentState() == kTerminalState) events.quit();
    });
    end.start(5);
    QTimer::singleShot(30000, &events, &QEventLoop::quit);
    events.exec();
    EXPECT_TRUE(probe.finished());
  }));
  // This thread serves the device until the engine's thread ends.
  QEventLoop loop;
  QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(40000, &loop, &QEventLoop::quit);
  thread->start();
  loop.exec();
  EXPECT_TRUE(thread->wait(5000));
  // The ports of each run's device differ.
  auto portless = [&device](QStringList lines) {
    lines.replaceInStrings(QString::number(device.commonPort()), QStringLiteral("<common>"));
    return lines.replaceInStrings(QString::number(device.filePort()), QStringLiteral("<file>"));
  };
  return {portless(probe.transcript()), portless(entries(log)), device.uploadedImage(), device.i2cImage()};
}

TEST(EngineLockStep, EndsExactlyAsThroughTheEventLoop) {
  ensureApplication();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);

    const Outcome loop = run(c, 0);
    const Outcome lockStep = run(c, EngineSettings{}.lockStepWaitMs);
    EXPECT_EQ(lockStep.transcript, loop.transcript);
    EXPECT_EQ(lockStep.entries, loop.entries);
    EXPECT_EQ(lockStep.uploaded, loop.uploaded);
    EXPECT_EQ(lockStep.i2cImage, loop.i2cImage);
    // And each is the outcome the case calls for.
    const bool success = QByteArray(c.entry).isEmpty();
    EXPECT_EQ(lockStep.transcript.last(), success ? "S" : "F") << lockStep.transcript.join(' ').toStdString();
    if (success) {
      EXPECT_TRUE(lockStep.entries.isEmpty()) << lockStep.entries.join('\n').toStdString();
      EXPECT_TRUE(!c.bin || lockStep.uploaded.startsWith(orvane::proto::binUploadImage(kBin)));
      EXPECT_TRUE(!c.bi2 || lockStep.i2cImage.mid(2).startsWith(kBi2));
    } else {
      ASSERT_EQ(lockStep.entries.size(), 1);
      EXPECT_TRUE(lockStep.entries.first().startsWith(c.entry)) << lockStep.entries.first().toStdString();
    }
  }
}

// The socket's mode while the engine waits on it, and after.
struct SocketMode {
  bool nonBlocking;
  timeval receiveTimeout;
};

SocketMode modeOf(int fd) {
  SocketMode m{(::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, {}};
  socklen_t size = sizeof m.receiveTimeout;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &m.receiveTimeout, &size);
  return m;
}

TEST(BlockingReads, WaitsAtMostItsTimeoutAndLeavesTheSocketAsItWas) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  {
    orvane::engine::BlockingReads reads(pair[0], 30);
    ASSERT_TRUE(reads.active());
    const SocketMode during = modeOf(pair[0]);
    EXPECT_FALSE(during.nonBlocking);
    // The kernel keeps it in clock ticks, rounded up.
    EXPECT_GE(during.receiveTimeout.tv_sec * 1000 + during.receiveTimeout.tv_usec / 1000, 30);
    // Nothing sent: the receive gives up after its timeout instead of waiting for ever.
    char byte;
    EXPECT_EQ(::recv(pair[0], &byte, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    ASSERT_EQ(::send(pair[1], "a", 1, 0), 1);
    EXPECT_EQ(::recv(pair[0], &byte, 1, 0), 1);
  }
  const SocketMode after = modeOf(pair[0]);
  EXPECT_TRUE(after.nonBlocking);
  EXPECT_EQ(after.receiveTimeout.tv_sec, 0);
  EXPECT_EQ(after.receiveTimeout.tv_usec, 0);

  // No descriptor, or no timeout (which would mean waiting for ever): nothing changes.
  for (const auto& [fd, timeoutMs] : {std::pair{-1, 30}, std::pair{pair[0], 0}}) {
    orvane::engine::BlockingReads refused(fd, timeoutMs);
    EXPECT_FALSE(refused.active());
    EXPECT_TRUE(modeOf(pair[0]).nonBlocking);
  }
  // A descriptor the caller reports closed is left alone (its number may be another's).
  {
    orvane::engine::BlockingReads reads(pair[0], 30);
    reads.forget();
  }
  EXPECT_FALSE(modeOf(pair[0]).nonBlocking);
  ::close(pair[0]);
  ::close(pair[1]);
}

}  // namespace
