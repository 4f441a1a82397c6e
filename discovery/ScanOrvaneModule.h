#pragma once

#include "discovery/ORVCOrvaneDevice.h"
#include "engine/IpPacket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSet>
#include <QString>
#include <chrono>
#include <memory>
#include <vector>

// How long a discovery listens for replies on each interface.
inline constexpr int kDiscoveryReplyWaitMs = 500;

// The most network device records one discovery keeps: a single host replying with
// endless unique MAC addresses must not grow the list (and the listing) without bound.
inline constexpr int kMaxNetworkDevicesPerScan = 10000;

// Waits of the discovery engine; the defaults are the shipped ones, tests shorten them.
struct DiscoverySettings {
  quint16 discoveryPort = orvane::proto::kDiscoveryPort;   // UDP port of the devices
  int i2cReceiveWindowMs = 200;   // each receive of the I2C bus scan
  // The whole I2C bus scan, list and identifications together. A gateway answers each
  // request within one 200 ms window, so 5 s is the list plus about 20 identified
  // devices; a gateway that keeps answering cannot hold the (blocked) window longer.
  int i2cScanDeadlineMs = 5000;
  int pingTimeoutMs = 1000;       // the ICMP echo of testPing
  // The pause between two requests of a discovery by address (scanAddresses): 200 us asks
  // a /16 (65,534 addresses) in about 13 s, some 5,000 small datagrams a second, which no
  // switch, router or device minds. 0: no pause.
  int unicastPaceUs = 200;
};

// The discovery engine: broadcast discovery of the network devices on every local
// IPv4 network, the I2C bus scan through one of them, and the ICMP reachability test.
// Every call is synchronous and blocks the calling (user-interface) thread.
// It owns every record; callers hold plain pointers until the next scan of that kind.
class ORVCScanOrvaneDevice {
 public:
  explicit ORVCScanOrvaneDevice(int replyWaitMs, DiscoverySettings settings = {});
  ~ORVCScanOrvaneDevice();
  ORVCScanOrvaneDevice(const ORVCScanOrvaneDevice&) = delete;
  ORVCScanOrvaneDevice& operator=(const ORVCScanOrvaneDevice&) = delete;

  // One discovery; true when the request went out on every selected interface.
  bool scanOrvaneDevice();
  // A discovery by address: the same request, sent directly to each address (host byte
  // order) on settings().discoveryPort, one every settings().unicastPaceUs, so that
  // devices behind a router answer too. Replies are taken while sending and for the reply
  // wait after the last request (less once every address asked has answered); only
  // replies from the addresses asked are listed. The list is rebuilt as by
  // scanOrvaneDevice (same bound, same assembler). A request the system refuses (no
  // route, for example) does not stop the others: one error entry counts them. False
  // when the socket could not be set up or no request went out at all.
  bool scanAddresses(const std::vector<quint32>& addresses);
  bool sendBroadcast(const QByteArray& request);
  bool sendBroadcast_Add(const QHostAddress& localAddress, const QByteArray& request);

  // Reply assembler: feeds one datagram, dispatches every complete, verified frame.
  // A frame split over datagrams is completed only by the same sender (address and
  // port); a datagram from another sender drops the partial frame and starts afresh.
  void receiveUDP(const quint8* bytes, int count, const QString& sourceText, quint16 sourcePort,
                  int deviceIndex);
  // Forgets a partial frame; every scan calls it when it stops receiving.
  void dropPartialFrame();
  void receiveUDP_IPData(const quint8* payload, int length, const QString& sourceText);

  // I2C bus scan through the network device at ipAddress; always true. Only answers from
  // that address and port count, and the scan ends by settings().i2cScanDeadlineMs.
  bool scanI2CBus(const QString& ipAddress);
  // True when a list answer, an empty one included, reached the assembler since the last
  // I2C bus scan began (like the list itself, which any list answer rebuilds): after that
  // scan, an empty i2cDevices() then means an empty bus rather than no answer at all (not
  // a gateway, service not running, switched off).
  bool i2cScanAnswered() const { return i2cScanAnswered_; }
  void receiveUDP_I2CList(const quint8* payload, int length, const QString& sourceText);
  void receiveUDP_I2CData(const quint8* payload, int length, const QString& sourceText, int deviceIndex);

  // One ICMP echo with 32 data bytes; true when a reply came back within the time-out.
  bool testPing(const QString& ipAddress);

  const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& networkDevices() const { return networkDevices_; }
  const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& i2cDevices() const { return i2cDevices_; }

  // The local IPv4 addresses a discovery broadcasts from: every interface that is up,
  // can broadcast and is not loopback, in a stable order.
  static std::vector<QHostAddress> broadcastInterfaces();

  // The waits this engine was built with (testPing reads its echo time-out here).
  const DiscoverySettings& settings() const { return settings_; }

 private:
  void clearNetworkDevices();
  // Takes the replies queued until none is left or `deadline` passes; with `only` (sorted),
  // datagrams from other senders are dropped. A partial frame stays for the next call.
  // False when a receive failed (errno tells why).
  bool takeReplies(int fd, std::chrono::steady_clock::time_point deadline, const std::vector<quint32>* only);
  // The end of a discovery's receiving: the queued replies (for at most the reply wait),
  // then the partial frame is dropped.
  void drainReplies(int fd, const std::vector<quint32>* only = nullptr);
  // Sends the request to each address at the pace of the settings and takes replies
  // meanwhile; the number sent.
  size_t sendPaced(int fd, const QByteArray& request, const std::vector<quint32>& addresses,
                   const std::vector<quint32>& only);
  // Takes replies from `only` (sorted) as they arrive, until `until`.
  void takeRepliesUntil(int fd, std::chrono::steady_clock::time_point until, const std::vector<quint32>& only);
  bool listNetworkDevice(std::unique_ptr<ORVCOrvaneDevice> device);

  int replyWaitMs_;
  DiscoverySettings settings_;
  std::vector<quint8> rxBuffer_ = std::vector<quint8>(66000);
  std::vector<quint8> datagram_;  // one received discovery datagram
  int rxCount_ = 0;
  int rxRemaining_ = 6;
  bool rxInBody_ = false;
  QString rxSourceText_;    // sender of the partial frame in rxBuffer_
  quint16 rxSourcePort_ = 0;
  QSet<QString> listedMacs_;  // the MAC texts of networkDevices_
  bool capLogged_ = false;    // the cap entry of this discovery was written
  bool i2cScanAnswered_ = false;  // a list answer arrived during the last I2C bus scan
  std::vector<std::unique_ptr<ORVCOrvaneDevice>> networkDevices_;
  std::vector<std::unique_ptr<ORVCOrvaneDevice>> i2cDevices_;
};
