// The operator's line when the system does not let this user open an ICMP echo socket:
// the text for each refusal and range, and (as root, in a child process of its own with a
// network namespace of its own, where nothing can be sent) that it is said once.
#include "common/Globalfunctions.h"
#include "common/IcmpEcho.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <grp.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using orvane::icmp::echoPermissionText;

const QString kProgram = QStringLiteral("/opt/orvane/bin/orvane-upgrader");

QString outsideText(const QString& group, const QString& range, const QString& program) {
  return QStringLiteral("ICMP echo is not permitted for this user (group ") + group +
         QStringLiteral(" is outside net.ipv4.ping_group_range \"") + range +
         QStringLiteral("\"): allow it with \"sysctl -w net.ipv4.ping_group_range='0 2147483647'\" or give the "
                        "program CAP_NET_RAW (\"setcap cap_net_raw+ep ") +
         program + QStringLiteral("\")");
}

TEST(IcmpPermission, TextForEachRefusalAndRange) {
  const QString unreadable =
      QStringLiteral("ICMP echo is not permitted for this user (group 1000; net.ipv4.ping_group_range could not be "
                     "read): allow it with \"sysctl -w net.ipv4.ping_group_range='0 2147483647'\" or give the program "
                     "CAP_NET_RAW (\"setcap cap_net_raw+ep /opt/orvane/bin/orvane-upgrader\")");
  const struct {
    int error;
    quint32 group;
    const char* range;
    QString program;
    QString expected;
  } cases[] = {
      // The range as the system writes it: tab-separated, with a line feed.
      {EACCES, 1000, "1\t0\n", kProgram, outsideText("1000", "1 0", kProgram)},
      {EPERM, 1000, "1\t0\n", kProgram, outsideText("1000", "1 0", kProgram)},
      {EACCES, 1000, "100\t999\n", kProgram, outsideText("1000", "100 999", kProgram)},
      {EACCES, 99, "100   999", kProgram, outsideText("99", "100 999", kProgram)},
      {EACCES, 4294967294u, "0\t2147483647\n", kProgram, outsideText("4294967294", "0 2147483647", kProgram)},
      // Inside the range and refused all the same: only the capability helps.
      {EACCES, 100, "100\t999\n", kProgram,
       QStringLiteral("ICMP echo is not permitted for this user (group 100 is inside net.ipv4.ping_group_range "
                      "\"100 999\", yet the system refused the socket): give the program CAP_NET_RAW "
                      "(\"setcap cap_net_raw+ep /opt/orvane/bin/orvane-upgrader\")")},
      {EPERM, 999, "100 999", kProgram,
       QStringLiteral("ICMP echo is not permitted for this user (group 999 is inside net.ipv4.ping_group_range "
                      "\"100 999\", yet the system refused the socket): give the program CAP_NET_RAW "
                      "(\"setcap cap_net_raw+ep /opt/orvane/bin/orvane-upgrader\")")},
      {EACCES, 1000, "", kProgram, unreadable},
      {EACCES, 1000, "1", kProgram, unreadable},
      {EACCES, 1000, "one two", kProgram, unreadable},
      {EACCES, 1000, "1 0 7", kProgram, unreadable},
      // Without a known executable the command names its place.
      {EACCES, 1000, "1\t0\n", QString(), outsideText("1000", "1 0", "PATH")},
      // Not a permission refusal: nothing to say.
      {0, 1000, "1\t0\n", kProgram, QString()},
      {EAFNOSUPPORT, 1000, "1\t0\n", kProgram, QString()},
      {EMFILE, 1000, "1\t0\n", kProgram, QString()},
      {ENOBUFS, 1000, "1\t0\n", kProgram, QString()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(echoPermissionText(c.error, c.group, QString::fromLatin1(c.range), c.program), c.expected)
        << "errno " << c.error << ", group " << c.group << ", range \"" << c.range << '"';
  }
}

// What a child process without the right to open either socket kind writes on standard
// error (into `out`); its exit status says whether the sockets were refused.
int runUnprivilegedChild(int writeFd) {
  ::dup2(writeFd, STDERR_FILENO);
  // A fresh network namespace has the system's default range "1 0" (nobody) and no
  // usable interface; then the process becomes "nobody" without CAP_NET_RAW.
  if (::unshare(CLONE_NEWNET) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
    return 3;
  configureErrorLog(LogToConsole, QString(), QStringLiteral("Orvane - Firmware upgrader"));
  const bool first = orvane::icmp::echoSocketAvailable();
  const bool second = orvane::icmp::echoSocketAvailable();
  const auto echo = orvane::icmp::sendEcho(QStringLiteral("127.0.0.1"), 10);
  return !first && !second && echo.outcome == orvane::icmp::EchoResult::NoSocket ? 0 : 4;
}

TEST(IcmpPermission, AnUnprivilegedUserIsToldOncePerProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user in a namespace of its own";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    ::_exit(runUnprivilegedChild(fds[1]));
  }
  ::close(fds[1]);
  std::string err;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) err.append(buffer, size_t(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "3: could not become nobody, 4: a socket was opened\n" << err;

  const std::string text =
      outsideText("65534", "1 0", QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).toStdString();
  // The line itself, once, then the same text once as an error entry of the log.
  EXPECT_EQ(err.find(text + "\n"), 0u) << err;
  const size_t entry = err.find("error:" + text);
  EXPECT_NE(entry, std::string::npos) << err;
  EXPECT_EQ(err.find(text, err.find(text) + 1), entry + 6) << "said more than once:\n" << err;
  EXPECT_EQ(err.find(text, entry + 7), std::string::npos) << "said more than once:\n" << err;
  EXPECT_NE(err.find(" IcmpEcho "), std::string::npos) << err;
}

}  // namespace
