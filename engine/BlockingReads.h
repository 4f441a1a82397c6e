#pragma once

// A non-blocking TCP socket switched to blocking reads with a receive timeout for a while,
// and back. The engine's lock-step transfers wait for each answer with one receive call
// instead of a poll and a receive; everything else keeps the socket non-blocking.
namespace orvane::engine {

class BlockingReads {
 public:
  // Switches `fd` to blocking reads that give up after timeoutMs (EAGAIN); active() says
  // whether that worked. A socket left as it was is not a failure: the caller reads
  // through its event loop instead.
  BlockingReads(int fd, int timeoutMs);
  ~BlockingReads() { restore(); }
  BlockingReads(const BlockingReads&) = delete;
  BlockingReads& operator=(const BlockingReads&) = delete;

  bool active() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The socket's flags as they were, without a receive timeout. Once: later calls and the
  // destructor do nothing.
  void restore();
  // The descriptor was closed (and its number may be reused): nothing is restored.
  void forget() { fd_ = -1; }

 private:
  int fd_ = -1;
  int flags_ = 0;   // the file status flags before
};

}  // namespace orvane::engine
