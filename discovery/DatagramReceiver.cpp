#include "discovery/DatagramReceiver.h"

#include <cerrno>

#include <sys/socket.h>

namespace orvane::discovery {

ReceiveResult receiveDatagram(int fd, std::vector<quint8>& buffer, int& length, sockaddr_in& from) {
  ssize_t n;
  do {
    from = sockaddr_in{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC: the result is the datagram's real length, so a cut one can be seen.
    n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                   &fromLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ReceiveResult::Nothing : ReceiveResult::Failed;
  if (size_t(n) > buffer.size()) return ReceiveResult::Truncated;
  length = int(n);
  return ReceiveResult::Datagram;
}

bool drainDatagrams(int fd, std::vector<quint8>& buffer, std::chrono::steady_clock::time_point deadline,
                    const DatagramHandler& handle) {
  do {
    int length = 0;
    sockaddr_in from{};
    switch (receiveDatagram(fd, buffer, length, from)) {
      case ReceiveResult::Datagram:
        handle(buffer.data(), length, from);
        break;
      case ReceiveResult::Truncated:
        break;
      case ReceiveResult::Nothing:
        return true;
      case ReceiveResult::Failed:
        return false;
    }
  } while (std::chrono::steady_clock::now() < deadline);
  return true;
}

}  // namespace orvane::discovery
