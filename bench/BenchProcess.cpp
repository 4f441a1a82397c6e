#include "BenchProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace bench {

namespace {

double clockMs(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

const char* protocolName(int number) {
  switch (number) {
    case IPPROTO_ICMP: return "icmp";
    case IPPROTO_UDP: return "udp";
    case IPPROTO_TCP: return "tcp";
    default: return "ip";
  }
}

}  // namespace

double monotonicMs() { return clockMs(CLOCK_MONOTONIC); }
double realtimeMs() { return clockMs(CLOCK_REALTIME); }

Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& errPath,
            int extraFd) {
  Child child;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.empty() ? "/dev/null" : errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 9);
  std::vector<char*> args = pointers(argv), envp = pointers(env);
  child.startedMono = monotonicMs();
  child.startedReal = realtimeMs();
  const int rc = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    child.pid = -1;
    return child;
  }
  child.out = pipeFds[0];
  return child;
}

PacketWatch::PacketWatch(const char* interface, FrameMatch match) : match_(std::move(match)) {
  fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd_ < 0) return;
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_ALL);
  where.sll_ifindex = int(if_nametoindex(interface));
  const int one = 1;
  if (where.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

PacketWatch::~PacketWatch() {
  if (fd_ >= 0) ::close(fd_);
}

void PacketWatch::drain() {
  char frame[2048];
  while (fd_ >= 0 && ::recv(fd_, frame, sizeof frame, 0) > 0) {
  }
}

// An IPv4 frame (after its 14-byte Ethernet header); with a TCP port, a segment to that
// port whose payload starts with the prefix.
bool PacketWatch::matches(const unsigned char* frame, size_t n) const {
  if (n < 14 + 20) return false;
  if (match_.tcpPort == 0) return true;
  const unsigned char* ip = frame + 14;
  const size_t ipHeader = size_t(ip[0] & 0x0F) * 4;
  if (ip[9] != IPPROTO_TCP || n < 14 + ipHeader + 20) return false;
  const unsigned char* tcp = ip + ipHeader;
  const size_t tcpHeader = size_t(tcp[12] >> 4) * 4;
  const size_t payloadAt = 14 + ipHeader + tcpHeader;
  const size_t prefix = match_.payloadPrefix.size();
  return (tcp[2] << 8 | tcp[3]) == match_.tcpPort && n >= payloadAt + prefix &&
         std::memcmp(frame + payloadAt, match_.payloadPrefix.data(), prefix) == 0;
}

bool PacketWatch::read() {
  unsigned char frame[2048];
  char control[256];
  while (fd_ >= 0) {
    sockaddr_ll from{};
    iovec io{frame, sizeof frame};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &message, 0);
    if (n <= 0) return false;
    if (from.sll_pkttype != PACKET_OUTGOING || ntohs(from.sll_protocol) != ETH_P_IP) continue;
    if (!matches(frame, size_t(n))) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPNS) continue;
      timespec at{};
      std::memcpy(&at, CMSG_DATA(c), sizeof at);
      seenAt_ = double(at.tv_sec) * 1e3 + double(at.tv_nsec) / 1e6;
    }
    // The IPv4 header's byte 9 names the protocol.
    protocol_ = protocolName(frame[14 + 9]);
    ::close(fd_);
    fd_ = -1;
    return true;
  }
  return false;
}

namespace {

// Appends the complete lines of `pending` to run.lines; true when stopLine was among them.
bool takeLines(std::string& pending, double at, Followed& run, const std::string& stopLine) {
  bool stop = false;
  for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
    run.lines.push_back({at, pending.substr(0, end)});
    pending.erase(0, end + 1);
    if (!stopLine.empty() && run.lines.back().text == stopLine) stop = true;
  }
  return stop;
}

void reap(Child& child, Followed& run, bool kill) {
  if (child.pid <= 0) return;   // never signal a pid of 0 or -1 (a group, or every process)
  if (kill) ::kill(child.pid, SIGKILL);
  int status = 0;
  rusage usage{};
  if (::wait4(child.pid, &status, 0, &usage) == child.pid) {
    run.maxRssKiB = usage.ru_maxrss;
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    run.exited = WIFEXITED(status);
    if (run.exited) run.exitCode = WEXITSTATUS(status);
  }
  ::close(child.out);
  child.out = -1;
}

// Reads what the watches saw; the first watch's frame is the child's first packet.
void readWatches(const std::vector<PacketWatch*>& watches, const pollfd* fds, const Child& child, Followed& run) {
  for (size_t i = 0; i < watches.size() && i < 2; ++i) {
    if (!fds[i].revents || !watches[i]->read() || i != 0) continue;
    run.firstPacketAfterMs = watches[i]->seenAtRealMs() - child.startedReal;
    run.firstPacketProtocol = watches[i]->protocol();
  }
}

}  // namespace

Followed follow(Child& child, const std::string& stopLine, const std::vector<PacketWatch*>& watches, int timeoutMs) {
  Followed run;
  if (child.pid <= 0) return run;   // it did not start
  std::string pending;
  bool open = true;
  const double deadline = child.startedMono + timeoutMs;
  while (open && !run.stopLineSeen) {
    const double left = deadline - monotonicMs();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    pollfd fds[3] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}, {child.out, POLLIN, 0}};
    for (size_t i = 0; i < watches.size() && i < 2; ++i) fds[i].fd = watches[i]->fd();
    if (::poll(fds, 3, int(left) + 1) < 0) continue;
    readWatches(watches, fds, child, run);
    if (!fds[2].revents) continue;
    char buffer[4096];
    const ssize_t n = ::read(child.out, buffer, sizeof buffer);
    const double at = monotonicMs();
    if (n <= 0) {
      open = false;
      continue;
    }
    pending.append(buffer, size_t(n));
    run.stopLineSeen = takeLines(pending, at, run, stopLine);
  }
  reap(child, run, open);
  run.durationMs = monotonicMs() - child.startedMono;
  return run;
}

double span(const Followed& run, const std::string& from, const std::string& to) {
  double begin = -1;
  for (const TimedLine& line : run.lines) {
    if (begin < 0 && line.text == from) begin = line.atMono;
    else if (begin >= 0 && line.text == to) return line.atMono - begin;
  }
  return -1;
}

}  // namespace bench
