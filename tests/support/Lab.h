#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// Lab tests run inside the upgrader namespace that tests/lab/netlab made for them; the
// simulated devices live in the device namespace beside it. Nothing here touches the
// machine's real interfaces.
namespace orvane::test {

// True when this process runs inside a lab (netlab exported ORV_LAB_DEVNS).
bool inLab();
// True when the run must prove that the lab tests ran (ORVANE_LAB_REQUIRED=1, set by
// scripts/test): a lab test outside a lab then fails instead of being skipped.
bool labRequired();

// Address of the upgrader's first interface (10.77.0.1) and its second one (10.78.0.1,
// present with `netlab run --interfaces 2`).
QString labUpgraderAddress(int interfaceIndex = 0);
// The i-th device address that netlab put into the device namespace: 10.77.1.(i+1).
QString labDeviceAddress(int index);
// An address inside the lab network that no interface carries: nothing answers there.
QString labAbsentAddress();

// The routed network of `netlab run --routed N`: device addresses behind a router, reached
// by unicast through the route of the upgrader namespace and never by its broadcasts.
// How many routed device addresses the lab has (ORV_LAB_ROUTED; 0 without --routed).
int labRoutedDeviceCount();
// The i-th routed device address: 10.80.1.(i+1), then 10.80.2.1, ...
QString labRoutedDeviceAddress(int index);
// The namespace of the routed devices (ORV_LAB_ROUTEDNS; empty without --routed): give it
// to SimulatorOptions::netns to start a simulator there.
QString labRoutedNamespace();

// A device of type 18.3 (version word 0201030A) at labDeviceAddress(index) with this MAC
// and name; callers add "faults" or "i2c" to it.
QJsonObject labMeterDevice(int index, const char* mac, const char* name);

// The lines a program printed, without the empty one after the last line feed.
QStringList outputLines(const QByteArray& out);
// The JSON objects a --json run printed, one a line; a line that does not parse is kept as
// an object holding only "unparsed".
QList<QJsonObject> jsonLines(const QByteArray& out);

// A simulator configuration with one gateway at labDeviceAddress(0): type 1.3, firmware
// 3.10 on hardware 2.1, MAC 00-1A-2B-3C-4D-01, name "Gateway one", with these faults.
QJsonObject gatewayConfig(int flashTimeMs, const QJsonObject& faults = {});
// A simulator configuration with `count` devices at labDeviceAddress(0 ..), each with the
// simulator's defaults (a MAC derived from its address).
QJsonObject labDevicesConfig(int count);

struct SimulatorOptions {
  // Without a record the simulator costs less than what a benchmark times; records(),
  // received() and violations() are then empty.
  bool record = true;
  int readyTimeoutMs = 10000;
  // The namespace the simulator runs in; empty: the device namespace (ORV_LAB_DEVNS).
  QString netns = QString();
};

// One orvane-devsim process in the device namespace (or the one of the options), started with the given
// configuration (the JSON of sim/README.md) and stopped when the object goes. Tests and
// benchmarks start the simulator only through it.
class Simulator {
 public:
  explicit Simulator(const QJsonObject& config, const SimulatorOptions& options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool started() const;
  // Milliseconds from the start of the process until it was ready (-1 when it never was).
  qint64 readyAfterMs() const;
  // The simulator's process id (`ip netns exec` becomes the simulator), for a benchmark
  // that reads its CPU time; 0 when it is not running.
  qint64 processId() const;
  // Every record line so far, parsed.
  QList<QJsonObject> records() const;
  // The frames the simulator received from the upgrader on one port of one device, in order
  // (TCP: one frame each; UDP: one datagram each).
  QList<QByteArray> received(const QString& device, int port) const;
  // Violations of the byte layouts the simulator saw.
  QStringList violations() const;
  // Waits (running the Qt event loop) until a record matching `pred` appears or the time is up.
  bool waitForRecord(const std::function<bool(const QJsonObject&)>& pred, int timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace orvane::test

// Skips the current test when it does not run inside a lab, or fails it when the lab is
// required.
#define ORVANE_REQUIRE_LAB()                                                                  \
  do {                                                                                        \
    if (!::orvane::test::inLab()) {                                                           \
      if (::orvane::test::labRequired())                                                      \
        FAIL() << "not inside a network lab, but the lab is required (ORVANE_LAB_REQUIRED=1)"; \
      GTEST_SKIP() << "not inside a network lab";                                             \
    }                                                                                         \
  } while (0)
