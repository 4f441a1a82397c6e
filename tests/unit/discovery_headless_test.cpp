// The headless listing's argument handling and the interface selection. Nothing here
// sends a datagram: the scans themselves run in the lab tests.
#include "app/HeadlessScan.h"
#include "discovery/ScanOrvaneModule.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <string>

namespace {

TEST(DiscoveryHeadless, RecognisesTheScanRequests) {
  const struct {
    QStringList args;
    bool headless;
  } cases[] = {
      {{"orvane-upgrader", "--scan"}, true},
      {{"orvane-upgrader", "--scan", "--json"}, true},
      {{"orvane-upgrader", "--scan", "--targets", "t.txt"}, true},
      {{"orvane-upgrader", "--scan-i2c", "10.77.1.1"}, true},
      {{"orvane-upgrader"}, false},
      {{"orvane-upgrader", "-IP", "10.77.1.1"}, false},
      {{"orvane-upgrader", "--json"}, false},
      {{"orvane-upgrader", "--scanner"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(isHeadlessScanRequest(c.args), c.headless) << c.args.join(' ').toStdString();
}

TEST(DiscoveryHeadless, InvalidI2cGatewayAddressIsRefusedWithExitCode2) {
  const QStringList refused[] = {
      {"orvane-upgrader", "--scan-i2c"},
      {"orvane-upgrader", "--scan-i2c", "--json"},
      {"orvane-upgrader", "--scan-i2c", "10.77.1"},
      {"orvane-upgrader", "--scan-i2c", "10.77.1.256"},
      {"orvane-upgrader", "--scan-i2c", "host.example"},
      {"orvane-upgrader", "--json", "--scan-i2c", ""},
  };
  for (const QStringList& args : refused) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int code = runHeadlessScan(args);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 2) << args.join(' ').toStdString();
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_NE(err.find("--scan-i2c"), std::string::npos) << err;
  }
}

// Misused or unreadable targets are refused before any request is sent.
TEST(DiscoveryHeadless, RefusedTargetsEndWithExitCode2AndTheirReason) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString bad = dir.filePath(QStringLiteral("bad.txt"));
  QFile file(bad);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("10.77.1.3\n10.77.1.0/24\n");
  file.close();
  const QString missing = dir.filePath(QStringLiteral("missing.txt"));
  const struct {
    QStringList args;
    QString error;
  } cases[] = {
      {{"orvane-upgrader", "--scan", "--targets"},
       "orvane-upgrader: --targets needs FILE, a targets file (one address, range or CIDR block a line)"},
      {{"orvane-upgrader", "--scan", "--targets", "--json"},
       "orvane-upgrader: --targets needs FILE, a targets file (one address, range or CIDR block a line)"},
      {{"orvane-upgrader", "--scan-i2c", "10.77.1.1", "--targets", bad},
       "orvane-upgrader: --targets FILE goes with --scan (not with --scan-i2c)"},
      {{"orvane-upgrader", "--scan", "--targets", bad, "--json"},
       "orvane-upgrader: " + bad + " line 2: 10.77.1.1-10.77.1.254 overlaps 10.77.1.3 on line 1 (both hold 10.77.1.3)"},
      {{"orvane-upgrader", "--scan", "--targets", missing},
       "orvane-upgrader: " + missing + ": cannot be opened (No such file or directory)"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int code = runHeadlessScan(c.args);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 2) << c.args.join(' ').toStdString();
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err, c.error.toStdString() + "\n");
  }
}

TEST(DiscoveryHeadless, BroadcastInterfacesExcludeLoopbackAndAreStable) {
  // Only reads the interface list.
  const auto first = ORVCScanOrvaneDevice::broadcastInterfaces();
  for (const QHostAddress& a : first) {
    EXPECT_EQ(a.protocol(), QAbstractSocket::IPv4Protocol);
    EXPECT_FALSE(a.isLoopback()) << a.toString().toStdString();
  }
  EXPECT_EQ(ORVCScanOrvaneDevice::broadcastInterfaces(), first);
}

}  // namespace
