#include "engine/BlockingReads.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace orvane::engine {

namespace {
bool setReceiveTimeout(int fd, int timeoutMs) {
  const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}
}  // namespace

BlockingReads::BlockingReads(int fd, int timeoutMs) {
  // A zero timeout would mean "wait for ever".
  if (fd < 0 || timeoutMs <= 0) return;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || !setReceiveTimeout(fd, timeoutMs)) return;
  if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    setReceiveTimeout(fd, 0);
    return;
  }
  fd_ = fd;
  flags_ = flags;
}

void BlockingReads::restore() {
  if (fd_ < 0) return;
  ::fcntl(fd_, F_SETFL, flags_);
  setReceiveTimeout(fd_, 0);
  fd_ = -1;
}

}  // namespace orvane::engine
