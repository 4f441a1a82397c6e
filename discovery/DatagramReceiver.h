#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <vector>

#include <netinet/in.h>

// Receiving on the discovery sockets: the replies to a broadcast and the answers of an
// I2C bus scan. Both take one datagram at a time without waiting.
namespace orvane::discovery {

enum class ReceiveResult {
  Datagram,   // a whole datagram is in the buffer
  Truncated,  // a datagram longer than the buffer was taken off the socket; its end is lost
  Nothing,    // nothing is waiting
  Failed,     // the receive failed; errno tells why
};

// Takes one datagram from `fd` without waiting into `buffer` (interrupted calls are
// retried); `length` and `from` are set for a whole datagram.
ReceiveResult receiveDatagram(int fd, std::vector<quint8>& buffer, int& length, sockaddr_in& from);

using DatagramHandler = std::function<void(const quint8* bytes, int length, const sockaddr_in& from)>;

// Hands each waiting datagram to `handle` until none is left or `deadline` has passed
// (one receive is always tried), so that a sender that never stops cannot keep the
// caller here. Truncated datagrams are skipped: no frame in them can be trusted. False
// when a receive failed (errno tells why).
bool drainDatagrams(int fd, std::vector<quint8>& buffer, std::chrono::steady_clock::time_point deadline,
                    const DatagramHandler& handle);

}  // namespace orvane::discovery
