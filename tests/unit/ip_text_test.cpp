// The IP address text check and the ARP reset. The ARP reset runs stand-in "ip" and "arp"
// programs from a temporary PATH that only record their arguments: the real ARP cache is
// never touched.

#include "common/Globalfunctions.h"
#include "common/Utilsfunctions.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

TEST(IsValidIpText, Table) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"192.168.1.10", true},
      {"0.0.0.0", true},
      {"255.255.255.255", true},
      {"10.77.1.1", true},
      {"192.168.16.100", true},
      {"192.168.1", false},         // two dots
      {"192.168.1.10.", false},     // four dots, the last part empty
      {"1.2.3.4.5", false},
      {"192.168.1.256", false},
      {"256.1.1.1", false},
      {"192.168..10", false},       // an empty part
      {".1.2.3", false},
      {"1.2.3.", false},
      {"192.168.1.x", false},
      {"", false},
      {"...", false},
      {"+1.2.3.4", false},          // signs
      {"1.2.3.-4", false},
      {"-0.0.0.0", false},
      {" 1.2.3.4", false},          // blanks: callers pass trimmed text
      {"1.2.3.4 ", false},
      {"1. 2.3.4", false},
      {"0x1.2.3.4", false},         // hexadecimal
      {"1.2.3.0xA", false},
      {"010.0.0.1", false},         // leading zero: other parsers read it as octal
      {"1.2.3.04", false},
      {"1.2.3.00", false},
      {"99999999999999999999.1.1.1", false},  // no overflow into range
      {"１.2.3.4", false},           // full-width digit
      {"1,2,3,4", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isValidIpText(QString::fromUtf8(c.text)), c.valid) << '"' << c.text << '"';
  }
}

// A PATH holding only the stand-ins asked for; each run of one appends its arguments, one
// per line, and the line "<end>" to "<name>.args", so that the record shows every run.
class ArpReset : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bin_.isValid());
    ASSERT_TRUE(logs_.isValid());
    globals_.setEnv("PATH", bin_.path().toLocal8Bit());
    configureErrorLog(LogToFile, logs_.path(), QStringLiteral("Orvane - Firmware upgrader"));
    configureGeneralLog(0, 255, false, true, QStringLiteral("Orvane - Firmware upgrader"));
  }

  void addStandIn(const QString& name) {
    const QString path = bin_.path() + u'/' + name;
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    // One append of the whole run, so a reader never sees half of it.
    f.write(QStringLiteral("#!/bin/sh\nrun=$(printf '%s\\n' \"$@\"; echo '<end>')\nprintf '%s\\n' \"$run\" >> '%1'\n")
                .arg(recordPath(name))
                .toUtf8());
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  QString recordPath(const QString& name) const { return bin_.path() + u'/' + name + QStringLiteral(".args"); }

  // The detached stand-in finishes on its own; wait with a deadline until the record holds
  // `runs` whole runs, and return all of it.
  QString waitForRecord(const QString& name, int runs = 1) const {
    QDeadlineTimer deadline(10000);
    QString record;
    do {
      record = QString::fromUtf8(orvane::test::readFileBytes(recordPath(name)));
      if (record.count(QStringLiteral("<end>\n")) >= runs) break;
      QThread::msleep(10);
    } while (!deadline.hasExpired());
    return record;
  }
  QString errorLog() const {
    return orvane::test::readLogFileText(logs_.path() + QStringLiteral("/Error_Orvane - Firmware upgrader.log"));
  }

  QTemporaryDir bin_;
  QTemporaryDir logs_;
  orvane::test::GlobalStateGuard globals_;
};

TEST_F(ArpReset, UsesIpNeighFlushWhenIpExists) {
  addStandIn(QStringLiteral("ip"));
  addStandIn(QStringLiteral("arp"));
  resetArpEntry(QStringLiteral("192.168.1.10"));
  EXPECT_EQ(waitForRecord(QStringLiteral("ip")), QStringLiteral("neigh\nflush\nto\n192.168.1.10\n<end>\n"));
  EXPECT_FALSE(QFileInfo::exists(recordPath(QStringLiteral("arp"))));
  EXPECT_TRUE(errorLog().isEmpty());
}

TEST_F(ArpReset, FallsBackToArpWhereIpIsMissing) {
  addStandIn(QStringLiteral("arp"));
  resetArpEntry(QStringLiteral("192.168.1.10"));
  EXPECT_EQ(waitForRecord(QStringLiteral("arp")), QStringLiteral("-d\n192.168.1.10\n<end>\n"));
  EXPECT_TRUE(errorLog().isEmpty());
}

TEST_F(ArpReset, NoToolIsLoggedNotIgnored) {
  resetArpEntry(QStringLiteral("192.168.1.10"));
  EXPECT_TRUE(errorLog().contains(QStringLiteral(
      "Reset ARP: neither \"ip\" nor \"arp\" was found on the PATH; the ARP entry of 192.168.1.10 was not reset.")))
      << errorLog().toStdString();
}

TEST_F(ArpReset, TextThatIsNoAddressIsNeverPassedToATool) {
  addStandIn(QStringLiteral("ip"));
  for (const char* text : {"-a", "1.2.3.4; reboot", "", "all"}) {
    resetArpEntry(QString::fromUtf8(text));
  }
  // A valid one afterwards proves the stand-in works and is the only run.
  resetArpEntry(QStringLiteral("10.77.1.1"));
  EXPECT_EQ(waitForRecord(QStringLiteral("ip")), QStringLiteral("neigh\nflush\nto\n10.77.1.1\n<end>\n"));
  EXPECT_EQ(errorLog().count(QStringLiteral("is not an IP address; nothing was reset.")), 4);
}

}  // namespace
