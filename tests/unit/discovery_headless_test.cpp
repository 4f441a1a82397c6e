// The headless listing's argument handling and the interface selection. Nothing here
// sends a datagram: the scans themselves run in the lab tests.
#include "app/HeadlessScan.h"
#include "discovery/ScanOrvaneModule.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(DiscoveryHeadless, RecognisesTheScanRequests) {
  const struct {
    QStringList args;
    bool headless;
  } cases[] = {
      {{"orvane-upgrader", "--scan"}, true},
      {{"orvane-upgrader", "--scan", "--json"}, true},
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
