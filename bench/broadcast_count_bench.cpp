// Starts the device simulator with ORV_LAB_DEVICES devices inside the lab's device
// namespace, sends ONE discovery broadcast from the upgrader side with a plain socket and
// counts the distinct devices that answer within 2 s. Prints the figures; asserts nothing.
// Runs only inside a lab: scripts/lab-broadcast starts it through tests/lab/netlab.

#include "support/Lab.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSet>
#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (!orvane::test::inLab()) {
    std::fprintf(stderr, "broadcast_count_bench: not inside a network lab; run scripts/lab-broadcast\n");
    return 77;
  }
  const int devices = qEnvironmentVariableIntValue("ORV_LAB_DEVICES");
  orvane::test::Simulator sim(orvane::test::labDevicesConfig(devices), {.record = false, .readyTimeoutMs = 30000});
  if (!sim.started()) {
    std::fprintf(stderr, "broadcast_count_bench: the simulator did not become ready\n");
    return 1;
  }
  const qint64 simReadyMs = sim.readyAfterMs();

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  const int buffer = 16 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, "10.77.0.1", &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "broadcast_count_bench: cannot bind 10.77.0.1\n");
    return 1;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(7010);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  const unsigned char request[] = {0x00, 0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x11, 0x01, 0x15, 0xFE, 0xB4};
  QElapsedTimer replyClock;
  replyClock.start();
  if (::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != sizeof request) {
    std::fprintf(stderr, "broadcast_count_bench: the broadcast was not sent\n");
    return 1;
  }
  QSet<quint32> sources;
  int datagrams = 0;
  qint64 lastReplyMs = 0;
  const QDeadlineTimer window(2000);
  while (sources.size() < devices && !window.hasExpired()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(window.remainingTime())) <= 0) break;
    char data[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (::recvfrom(fd, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &len) < 0) break;
    ++datagrams;
    sources.insert(ntohl(from.sin_addr.s_addr));
    lastReplyMs = replyClock.elapsed();
  }
  ::close(fd);

  std::printf("devices configured:          %d\n", devices);
  std::printf("lab start (namespaces+addr): %s ms\n", qEnvironmentVariable("ORV_LAB_SETUP_MS", QStringLiteral("?")).toLocal8Bit().constData());
  std::printf("simulator ready after:       %lld ms\n", static_cast<long long>(simReadyMs));
  std::printf("datagrams received:          %d\n", datagrams);
  std::printf("distinct devices answering:  %lld of %d\n", static_cast<long long>(sources.size()), devices);
  std::printf("last reply after:            %lld ms\n", static_cast<long long>(lastReplyMs));
  return 0;
}
