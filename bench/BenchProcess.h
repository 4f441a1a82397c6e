#pragma once

// Child processes for the program benchmark: started with posix_spawn, their standard
// output followed line by line with the time each line arrived, their first packet on
// the wire seen through a packet socket, their peak resident set taken from wait4.
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

double monotonicMs();
double realtimeMs();

struct Child {
  pid_t pid = -1;
  int out = -1;             // read end of its standard output (-1 when not piped)
  double startedMono = 0;   // monotonicMs() just before it was spawned
  double startedReal = 0;   // realtimeMs() at the same moment
};

// Starts argv[0] (a path) with exactly this environment ("NAME=value" entries). Standard
// output goes into a pipe, standard error is appended to errPath ("" for /dev/null).
// extraFd >= 0 is handed to the child as file descriptor 9. pid -1 on failure.
Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& errPath,
            int extraFd = -1);

// Which outgoing frame a PacketWatch waits for: any IPv4 frame, or a TCP segment to this
// port whose payload starts with these bytes.
struct FrameMatch {
  int tcpPort = 0;             // 0: any IPv4 frame
  std::string payloadPrefix;   // with tcpPort: the first bytes of the segment's payload
};

// Watches one interface of this network namespace for the first frame that leaves it and
// matches; the kernel's timestamp of that frame is taken, not the time it was read.
class PacketWatch {
 public:
  PacketWatch(const char* interface, FrameMatch match = {});
  ~PacketWatch();
  PacketWatch(const PacketWatch&) = delete;
  PacketWatch& operator=(const PacketWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Forgets every frame queued so far (call just before the child starts).
  void drain();
  // Reads what is queued; true once the frame has been seen (the socket is then closed,
  // so that the transfer that follows costs nothing more).
  bool read();
  double seenAtRealMs() const { return seenAt_; }
  const std::string& protocol() const { return protocol_; }  // "icmp", "udp", "tcp", ...

 private:
  bool matches(const unsigned char* frame, size_t n) const;

  int fd_ = -1;
  FrameMatch match_;
  double seenAt_ = -1;
  std::string protocol_;
};

struct TimedLine {
  double atMono;  // monotonicMs() when the line arrived
  std::string text;
};

struct Followed {
  std::vector<TimedLine> lines;
  bool stopLineSeen = false;
  bool timedOut = false;
  bool exited = false;   // it ended by itself (then exitCode holds its code)
  int exitCode = -1;
  long maxRssKiB = -1;   // ru_maxrss of the child, alive until it was reaped
  double cpuMs = -1;      // its user + system CPU time (ru_utime + ru_stime)
  double durationMs = -1;   // from the spawn until it was reaped
  double firstPacketAfterMs = -1;   // from the spawn to its first packet (-1: none seen)
  std::string firstPacketProtocol;
};

// Reads the child's standard output until stopLine arrives (then kills it: SIGKILL),
// until it ends by itself (stopLine "") or until timeoutMs have passed (killed), and reaps
// it with wait4. The watches (none, one or two) see the child's frames; the first one's
// is reported as firstPacketAfterMs.
Followed follow(Child& child, const std::string& stopLine, const std::vector<PacketWatch*>& watches, int timeoutMs);

// Milliseconds between the arrival of the first line `from` and of the first line `to`
// after it; -1 when either is missing.
double span(const Followed& run, const std::string& from, const std::string& to);

}  // namespace bench
