// The real upgrader run by a user whom the system does not let open an ICMP echo socket:
// the lab's own network namespace gets the range "1 0" (nobody may ping) for the run, and
// the program runs as "nobody" (no CAP_NET_RAW). Nothing is sent: the program ends when
// its start-up check finds no echo socket.
#include "support/Lab.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace orvane::test;

namespace {

const char* const kRangeFile = "/proc/sys/net/ipv4/ping_group_range";

QByteArray readRange() {
  QFile f(QString::fromLatin1(kRangeFile));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeRange(const QByteArray& range) {
  QFile f(QString::fromLatin1(kRangeFile));
  return f.open(QIODevice::WriteOnly) && f.write(range) == range.size();
}

class PingPermissionLab : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_TRUE(home.isValid());
    savedRange_ = readRange();
    ASSERT_FALSE(savedRange_.isEmpty());
    ASSERT_TRUE(writeRange("1 0"));
    // The runs' directories must be the unprivileged user's to write in.
    const QString root = QFileInfo(home.homePath()).absolutePath();
    for (const QString& dir : {root, home.homePath(), home.tempPath(), home.runtimePath()})
      ASSERT_TRUE(QFile::setPermissions(dir, QFileDevice::Permissions(0x7777))) << dir.toStdString();
  }
  void TearDown() override {
    if (!savedRange_.isEmpty()) writeRange(savedRange_);
  }

  TempHome home;

 private:
  QByteArray savedRange_;
};

TEST_F(PingPermissionLab, AnUnprivilegedBatchRunSaysWhatToAllowOnce) {
  const QString web = QDir(home.tempPath()).filePath(QStringLiteral("pages.web"));
  QFile file(web);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(64, 'w')) == 64);
  file.close();
  ASSERT_TRUE(QFile::setPermissions(web, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
  const ProgramRun run = home.run({"--reuid=65534", "--regid=65534", "--clear-groups", builtProgram(), "-IP",
                                   labDeviceAddress(0), "-W", web},
                                  {}, 30000, QStringLiteral("/usr/bin/setpriv"));
  ASSERT_TRUE(run.finished) << run.standardError.toStdString();
  const QString expected =
      QStringLiteral("ICMP echo is not permitted for this user (group 65534 is outside net.ipv4.ping_group_range "
                     "\"1 0\"): allow it with \"sysctl -w net.ipv4.ping_group_range='0 2147483647'\" or give the "
                     "program CAP_NET_RAW (\"setcap cap_net_raw+ep ") +
      QFileInfo(builtProgram()).canonicalFilePath() + QStringLiteral("\")");
  const QString err = QString::fromLocal8Bit(run.standardError);
  EXPECT_EQ(err.count(expected), 1) << err.toStdString();
  const QString log = home.errorLogText();
  EXPECT_EQ(log.count(expected), 1) << log.toStdString();
  // The existing entry of the start-up check is still written.
  EXPECT_TRUE(log.contains(QStringLiteral("Function for Icmp echo cannot be found in iphlpapi.dll or Icmp.dll.")))
      << log.toStdString();
}

}  // namespace
