// Receiving on the discovery sockets, with two UDP sockets on 127.0.0.1 (nothing leaves
// the machine): the drain and its deadline, and truncated datagrams.
#include "discovery/DatagramReceiver.h"
#include "support/LoopbackSocket.h"

#include <QByteArray>
#include <QList>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using orvane::discovery::drainDatagrams;
using orvane::discovery::receiveDatagram;
using orvane::discovery::ReceiveResult;

// A receiving socket and a sending socket on loopback; the sender sends to the receiver.
class DiscoveryDrain : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver = orvane::test::bindLoopback(SOCK_DGRAM, receiverPort);
    sender = orvane::test::bindLoopback(SOCK_DGRAM, senderPort);
    ASSERT_GE(receiver, 0);
    ASSERT_GE(sender, 0);
    // Sent datagrams are queued at the receiver before sendto returns: loopback delivers
    // in the sending call.
  }
  void TearDown() override {
    if (receiver >= 0) ::close(receiver);
    if (sender >= 0) ::close(sender);
  }
  void send(const QByteArray& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(receiverPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(sender, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              bytes.size());
  }

  int receiver = -1, sender = -1;
  quint16 receiverPort = 0, senderPort = 0;
};

TEST_F(DiscoveryDrain, TakesEveryWaitingDatagramWithItsSender) {
  send("one");
  send("two");
  send("three");
  std::vector<quint8> buffer(100);
  QList<QByteArray> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
  EXPECT_TRUE(drainDatagrams(receiver, buffer, deadline, [&](const quint8* bytes, int length, const sockaddr_in& from) {
    got << QByteArray(reinterpret_cast<const char*>(bytes), length);
    EXPECT_EQ(ntohs(from.sin_port), senderPort);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
  }));
  EXPECT_EQ(got, (QList<QByteArray>{"one", "two", "three"}));
}

TEST_F(DiscoveryDrain, SenderThatNeverStopsCannotHoldTheDrainPastItsDeadline) {
  // Every datagram taken puts a new one in the queue before the next receive: the queue
  // is never empty, so only the deadline can end the drain.
  send("0");
  std::vector<quint8> buffer(100);
  int taken = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  EXPECT_TRUE(drainDatagrams(receiver, buffer, deadline, [&](const quint8*, int, const sockaddr_in&) {
    ++taken;
    send(QByteArray::number(taken));
  }));
  EXPECT_GT(taken, 1);
  std::printf("the drain took %d datagrams before its deadline\n", taken);
}

TEST_F(DiscoveryDrain, DeadlineInThePastStillTakesOneDatagram) {
  send("first");
  send("second");
  std::vector<quint8> buffer(100);
  QList<QByteArray> got;
  drainDatagrams(receiver, buffer, std::chrono::steady_clock::now() - std::chrono::seconds(1),
                 [&](const quint8* bytes, int length, const sockaddr_in&) {
                   got << QByteArray(reinterpret_cast<const char*>(bytes), length);
                 });
  EXPECT_EQ(got, QList<QByteArray>{"first"});
}

TEST_F(DiscoveryDrain, DatagramLongerThanTheBufferIsDroppedWhole) {
  send(QByteArray(11, 'x'));
  send(QByteArray(10, 'y'));
  send(QByteArray());
  std::vector<quint8> buffer(10);
  int length = -1;
  sockaddr_in from{};
  EXPECT_EQ(receiveDatagram(receiver, buffer, length, from), ReceiveResult::Truncated);
  ASSERT_EQ(receiveDatagram(receiver, buffer, length, from), ReceiveResult::Datagram);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(buffer.data()), length), QByteArray(10, 'y'));
  ASSERT_EQ(receiveDatagram(receiver, buffer, length, from), ReceiveResult::Datagram);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(receiveDatagram(receiver, buffer, length, from), ReceiveResult::Nothing);
}

TEST_F(DiscoveryDrain, DrainSkipsTruncatedDatagrams) {
  send(QByteArray(200, 'x'));
  send("kept");
  std::vector<quint8> buffer(100);
  QList<QByteArray> got;
  drainDatagrams(receiver, buffer, std::chrono::steady_clock::now() + std::chrono::hours(1),
                 [&](const quint8* bytes, int length, const sockaddr_in&) {
                   got << QByteArray(reinterpret_cast<const char*>(bytes), length);
                 });
  EXPECT_EQ(got, QList<QByteArray>{"kept"});
}

TEST_F(DiscoveryDrain, ReceiveErrorIsReportedWithItsCode) {
  // A socket that is not a socket: the receive fails with ENOTSOCK.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::vector<quint8> buffer(10);
  errno = 0;
  EXPECT_FALSE(drainDatagrams(pipeFds[0], buffer, std::chrono::steady_clock::now() + std::chrono::hours(1),
                              [](const quint8*, int, const sockaddr_in&) {}));
  EXPECT_EQ(errno, ENOTSOCK);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

}  // namespace
