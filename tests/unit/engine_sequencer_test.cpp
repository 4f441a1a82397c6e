// The sequencer never moves on after a call that ended the upgrade: an operator who says
// No, a socket that fails while a request goes out, a device that drops the connection
// while an answer is awaited. One row per state that can end that way, against a
// scripted device on loopback (127.0.0.1 only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>

#include "common/UiHooks.h"
#include "support/FakeDevice.h"

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;
using Reply = FakeDevice::Reply;

// Device: type 00010001, firmware 1.7 (old layout); the .bin carries 1.5: a downgrade
// within one major version, which an operator is asked about.
const QByteArray kOlderBin = firmwareFile(1000, 0x00010001, 0x00010005);
const QByteArray kBin = firmwareFile(1000, 0x00010001, 0x00010008);
const QByteArray kWeb = QByteArray(130, 'w');
// I2C device: type 00050001, firmware 1.2; the older .bi2 carries 1.1.
const QByteArray kBi2 = firmwareFile(100, 0x00050001, 0x00010003);
const QByteArray kOlderBi2 = firmwareFile(100, 0x00050001, 0x00010001);

quint16 portOf(int fd, bool peer) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n)
                     : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return r == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port) : 0;
}

// The descriptor of a connected loopback socket of this process: the engine's end (its
// peer is `devicePort`) or the device's end (it is bound to `devicePort` and has a peer).
int connectedSocket(quint16 devicePort, bool enginesEnd) {
  const QStringList fds =
      QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
  for (const QString& name : fds) {
    const int fd = name.toInt();
    const quint16 peer = portOf(fd, true);
    if (peer == 0) continue;
    if (enginesEnd ? peer == devicePort : portOf(fd, false) == devicePort) return fd;
  }
  return -1;
}

// Binds the operator's question for one test; unbound again when it goes.
class QuestionGuard {
 public:
  explicit QuestionGuard(orvane::ui::QuestionHandler handler) { orvane::ui::setQuestionHandler(std::move(handler)); }
  ~QuestionGuard() { orvane::ui::setQuestionHandler({}); }
  QuestionGuard(const QuestionGuard&) = delete;
  QuestionGuard& operator=(const QuestionGuard&) = delete;
};

// Sees every event of the thread before it is delivered: records the engine's state, and
// runs `beforeEvent` once on the first event that `matches` while the engine is in `state`.
class EventSpy : public QObject {
 public:
  EventSpy(const ORVCRoVivazava& engine, int state) : engine_(engine), state_(state) {
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~EventSpy() override { QCoreApplication::instance()->removeEventFilter(this); }

  std::function<bool(QObject*, QEvent*)> matches;
  std::function<void()> beforeEvent;
  QList<int> statesSeen;  // the engine's state before each event, while it was not terminal

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const int now = engine_.currentState();
    if (now != kTerminalState && (statesSeen.isEmpty() || statesSeen.last() != now)) statesSeen << now;
    if (!fired_ && now == state_ && matches && matches(watched, event)) {
      fired_ = true;
      beforeEvent();
    }
    return false;
  }

 private:
  const ORVCRoVivazava& engine_;
  int state_;
  bool fired_ = false;
};

enum class Fault {
  OperatorSaysNo,      // the downgrade question is answered No
  LostDuringQuestion,  // the device drops the connection while the question is open; then Yes
  SendFails,           // the engine's socket can no longer send when the step's request goes out
  DeviceCloses,        // the device closes the connection at one request instead of answering
};

struct Row {
  const char* name;
  int state;  // the state whose step meets the fault
  Fault fault;
  bool bin, web, bi2;
  bool older;           // older files: the operator is asked
  Port port;            // the port the fault concerns
  int request;          // DeviceCloses: the request on `port` (1-based) that is not answered
  const char* message;  // the last message; %1: the port's number
};

const Row kRows[] = {
    {"version check: No", 2, Fault::OperatorSaysNo, true, false, false, true, Port::Common, 0,
     "Type or version error."},
    {"version check: lost, then Yes", 2, Fault::LostDuringQuestion, true, false, false, true, Port::Common, 0,
     "Error of connection on TCP port %1"},
    {"version read: closed", 2, Fault::DeviceCloses, true, false, false, false, Port::Common, 1,
     "Error of connection on TCP port %1"},
    {"bin upload start: send fails", 5, Fault::SendFails, true, false, false, false, Port::File, 0,
     "Error of connection on TCP port %1"},
    {"bin upload: closed", 6, Fault::DeviceCloses, true, false, false, false, Port::File, 3,
     "Error of connection on TCP port %1"},
    {"new version read: closed", 17, Fault::DeviceCloses, true, false, false, false, Port::Common, 3,
     "Error of connection on TCP port %1"},
    {"web upload start: send fails", 20, Fault::SendFails, false, true, false, false, Port::File, 0,
     "Error of connection on TCP port %1"},
    {"web upload: closed", 21, Fault::DeviceCloses, false, true, false, false, Port::File, 2,
     "Error of connection on TCP port %1"},
    {"i2c check: No", 25, Fault::OperatorSaysNo, false, false, true, true, Port::Common, 0,
     "I2C device type or version error."},
    {"i2c check: lost, then Yes", 25, Fault::LostDuringQuestion, false, false, true, true, Port::Common, 0,
     "Error of connection on TCP port %1"},
    {"i2c version read: closed", 25, Fault::DeviceCloses, false, false, true, false, Port::Common, 2,
     "Error of connection on TCP port %1"},
    {"i2c transfer start: send fails", 26, Fault::SendFails, false, false, true, false, Port::Common, 0,
     "Error of connection on TCP port %1"},
    {"i2c transfer: closed", 27, Fault::DeviceCloses, false, false, true, false, Port::Common, 4,
     "Error of connection on TCP port %1"},
    {"new i2c version read: closed", 31, Fault::DeviceCloses, false, false, true, false, Port::Common, 8,
     "Error of connection on TCP port %1"},
};

quint16 devicePort(const LoopbackRig& rig, Port port) {
  return port == Port::Common ? rig.device.commonPort() : rig.device.filePort();
}

// Arms the fault of the row on the rig; the question guard is returned for the rows that ask.
std::unique_ptr<QuestionGuard> armFault(const Row& row, LoopbackRig& rig, EventSpy& spy) {
  const quint16 port = devicePort(rig, row.port);
  switch (row.fault) {
    case Fault::OperatorSaysNo:
      return std::make_unique<QuestionGuard>([](const QString&, const QString&) { return false; });
    case Fault::LostDuringQuestion:
      return std::make_unique<QuestionGuard>([&rig, port](const QString&, const QString&) {
        ::shutdown(connectedSocket(port, false), SHUT_RDWR);
        waitUntil([&rig] { return rig.probe.count(StatusFailed) > 0; }, 3000);
        return true;
      });
    case Fault::SendFails:
      // Just before the event that runs the step (the connect, or the step timer while
      // the connection is already open), the engine's socket loses its sending side.
      spy.matches = [port](QObject* watched, QEvent* event) {
        if (event->type() == QEvent::Timer) return qobject_cast<QTimer*>(watched) != nullptr;
        const auto* notifier = qobject_cast<QSocketNotifier*>(watched);
        return event->type() == QEvent::SockAct && notifier && notifier->type() == QSocketNotifier::Write &&
               portOf(int(notifier->socket()), true) == port;
      };
      spy.beforeEvent = [port] { ::shutdown(connectedSocket(port, true), SHUT_WR); };
      return {};
    case Fault::DeviceCloses: {
      const Port onPort = row.port;
      const int at = row.request;
      rig.device.script = [onPort, at](Port p, int index, const QByteArray&) {
        return p == onPort && index == at ? Reply{Reply::Close, {}, {}} : Reply{};
      };
      return {};
    }
  }
  return {};
}

// One row; its fatal failures end only the row.
void runRow(const Row& row) {
  LoopbackRig rig;
  rig.device.versionWord = QByteArray::fromHex(row.older ? "00010007" : "00010000");
  EventSpy spy(*rig.engine, row.state);
  const auto question = armFault(row, rig, spy);
  const QByteArray* bin = row.bin ? (row.older ? &kOlderBin : &kBin) : nullptr;
  const QByteArray* bi2 = row.bi2 ? (row.older ? &kOlderBi2 : &kBi2) : nullptr;
  ASSERT_TRUE(rig.start(bin, bi2, row.web ? &kWeb : nullptr, !row.older));
  ASSERT_TRUE(rig.runToEnd(10000)) << "state " << rig.engine->currentState();

  QString message = QString::fromLatin1(row.message);
  if (message.contains(QLatin1String("%1"))) message = message.arg(devicePort(rig, row.port));
  const QStringList t = rig.probe.transcript();
  EXPECT_EQ(t.mid(t.size() - 2), QStringList({"M:" + message, "F"})) << t.join('\n').toStdString();
  EXPECT_EQ(rig.probe.count(StatusFailed), 1);
  EXPECT_EQ(rig.probe.count(StatusSucceeded), 0);
  // The failing step ran in the row's state, and no later state was ever entered.
  ASSERT_FALSE(spy.statesSeen.isEmpty());
  EXPECT_EQ(spy.statesSeen.last(), row.state) << QDebug::toString(spy.statesSeen).toStdString();
  EXPECT_EQ(*std::max_element(spy.statesSeen.cbegin(), spy.statesSeen.cend()), row.state);
  EXPECT_EQ(rig.engine->currentState(), kTerminalState);
  // Only the reads after flashing find a flashed device.
  EXPECT_EQ(rig.device.flashCount(), row.bin && row.state == 17 ? 1 : 0);
  EXPECT_EQ(rig.device.i2cFlashCount(), row.state == 31 ? 1 : 0);
}

TEST(EngineSequencer, NoStepAfterACallThatEndedTheUpgrade) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    runRow(row);
  }
}

}  // namespace
