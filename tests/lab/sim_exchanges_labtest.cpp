// The simulator's exchanges, driven with plain sockets and the literal bytes of the device
// protocol. Nothing of the upgrader is used here, so that the simulator is checked on its
// own before the upgrader is checked against it.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <optional>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/Lab.h"

using orvane::test::labDeviceAddress;
using orvane::test::labUpgraderAddress;
using orvane::test::Simulator;

namespace {

QByteArray hx(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }
QString spaced(const QByteArray& b) { return QString::fromLatin1(b.toHex(' ').toUpper()); }

// The test's own checksum and frame writer (checked against the literal packets below).
quint16 checksum(const QByteArray& b) {
  quint32 sum = 0;
  qsizetype i = 0;
  for (; i + 1 < b.size(); i += 2) sum += ((quint32(quint8(b[i])) << 8) | quint8(b[i + 1])) ^ 0xFFFF;
  if (i < b.size()) sum += (quint32(quint8(b[i])) << 8) ^ 0xFFFF;
  quint32 t = (sum >> 16) + (sum & 0xFFFF);
  t = (t >> 16) + (t & 0xFFFF);
  return quint16(t);
}
QByteArray withChecksum(QByteArray b) {
  const quint16 c = checksum(b);
  return b.append(char(c >> 8)).append(char(c & 0xFF));
}
QByteArray frame(int code, int aux, const QByteArray& payload) {
  QByteArray b;
  b.append(char(0)).append(char(code)).append(char(aux >> 8)).append(char(aux & 0xFF));
  b.append(char(payload.size() >> 8)).append(char(payload.size() & 0xFF)).append(payload);
  return withChecksum(b);
}

sockaddr_in endpoint(const QString& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(quint16(port));
  ::inet_pton(AF_INET, address.toLatin1().constData(), &a.sin_addr);
  return a;
}

struct Datagram {
  QByteArray bytes;
  QString from;
  int port = 0;
};

class Udp {
 public:
  Udp() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in local = endpoint(labUpgraderAddress(0), 0);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~Udp() { ::close(fd_); }
  bool bound() const { return bound_; }
  bool send(const QString& to, const QByteArray& bytes) {
    sockaddr_in a = endpoint(to, 7010);
    return ::sendto(fd_, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == bytes.size();
  }
  std::optional<Datagram> receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    char buffer[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{QByteArray(buffer, int(n)), QString::fromLatin1(text), ntohs(from.sin_port)};
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class Tcp {
 public:
  Tcp(const QString& address, int port, int timeoutMs = 2000) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a = endpoint(address, port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      connected_ = true;
      return;
    }
    if (errno != EINPROGRESS) return;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return;
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len);
    connected_ = error == 0;
  }
  ~Tcp() { ::close(fd_); }
  bool connected() const { return connected_; }
  bool send(const QByteArray& bytes) {
    return ::send(fd_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
  }
  // Reads until `count` bytes are there, the peer closes, or the time is up.
  QByteArray read(qsizetype count, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (buffer_.size() < count && !closed_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) break;
      char chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        closed_ = true;
        reset_ = n < 0 && errno == ECONNRESET;
        break;
      }
      buffer_.append(chunk, int(n));
    }
    const QByteArray out = buffer_.left(count);
    buffer_.remove(0, out.size());
    return out;
  }
  // One whole frame, cut by its payload-length field; empty when none came in time.
  QByteArray readFrame(int timeoutMs = 2000) {
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray head = read(6, timeoutMs);
    if (head.size() < 6) {
      buffer_.prepend(head);
      return {};
    }
    const int n = (quint8(head[4]) << 8) | quint8(head[5]);
    QByteArray rest = read(n + 2, int(deadline.remainingTime()));
    return head + rest;
  }
  QByteArray readToEnd(int timeoutMs) { return read(1 << 24, timeoutMs); }
  // True when the peer closed or reset the connection within the time.
  bool waitClosed(int timeoutMs) {
    read(1 << 24, timeoutMs);
    return closed_;
  }
  bool wasReset() const { return reset_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  bool reset_ = false;
  QByteArray buffer_;
};

QJsonObject gateway() {
  return QJsonObject{{"address", labDeviceAddress(0)},
                     {"type", "00120003"},
                     {"versionWord", "01020203"},
                     {"mac", "00-1A-2B-3C-4D-01"},
                     {"name", "Gateway one"},
                     {"flashTimeMs", 300},
                     {"i2c", QJsonArray{QJsonObject{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010002"}, {"name", "Sensor"}}}}};
}

QJsonObject config(const QJsonArray& devices) { return QJsonObject{{"devices", devices}}; }

bool isEvent(const QJsonObject& r, const char* name) { return r.value("event").toString() == QLatin1String(name); }

// A .bin or .bi2 file of `size` bytes whose identification block is at offset 16.
QByteArray firmwareFile(int size, const char* type, const char* versionWord, const char* lowest) {
  QByteArray f;
  for (int i = 0; i < 16; ++i) f.append(char(0xA0 + i));
  f.append("Orvane").append(hx(type)).append(hx(versionWord)).append(hx(lowest));
  for (int i = int(f.size()); i < size; ++i) f.append(char((i * 7 + 3) & 0xFF));
  return f;
}

#define REQUIRE_SIM(sim) ASSERT_TRUE((sim).started()) << "orvane-devsim did not start"

}  // namespace

TEST(SimChecksum, OwnWriterMatchesTheLiteralPackets) {
  EXPECT_EQ(frame(0x21, 0, hx("00 01")), hx("00 21 00 00 00 02 00 01 FF DB"));
  EXPECT_EQ(frame(0x21, 0, hx("02")), hx("00 21 00 00 00 01 02 FD DD"));
  EXPECT_EQ(frame(0x31, 0, {}), hx("00 31 00 00 00 00 FF CE"));
  EXPECT_EQ(frame(0x21, 0, hx("00 11 01 15")), hx("00 21 00 00 00 04 00 11 01 15 FE B4"));
  EXPECT_EQ(frame(0x07, 0, hx("08 01 00 04 08 01 01 04 08 01 15 10")).right(2), hx("D1 D1"));
  EXPECT_EQ(checksum(hx("00 01 FF FE")), 0xFFFF);
}

TEST(SimExchanges, DiscoveryBroadcastIsAnsweredByEveryDeviceFromItsOwnAddress) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway(), QJsonObject{{"address", labDeviceAddress(1)}}}));
  REQUIRE_SIM(sim);
  Udp udp;
  ASSERT_TRUE(udp.bound());
  ASSERT_TRUE(udp.send("255.255.255.255", hx("00 21 00 00 00 04 00 11 01 15 FE B4")));
  QMap<QString, Datagram> replies;
  const QDeadlineTimer deadline(2000);
  while (replies.size() < 2 && !deadline.hasExpired())
    if (auto d = udp.receive(int(deadline.remainingTime()))) replies.insert(d->from, *d);
  ASSERT_EQ(replies.size(), 2);
  const Datagram one = replies.value(labDeviceAddress(0));
  EXPECT_EQ(one.port, 7010);
  EXPECT_EQ(spaced(one.bytes),
            "00 23 00 00 00 22 00 00 12 00 03 11 00 1A 2B 3C 4D 01 01 01 02 02 03 15 47 61 74 65 77 61 79 20 6F 6E 65 "
            "00 00 00 00 00 EB 82");
  // The second device runs on the defaults: type 00010001, version 00010000, MAC 02-00 +
  // its address, name "Sim 2".
  EXPECT_EQ(spaced(replies.value(labDeviceAddress(1)).bytes),
            "00 23 00 00 00 22 00 00 01 00 01 11 02 00 0A 4D 01 02 01 00 01 00 00 15 53 69 6D 20 32 00 00 00 00 00 00 "
            "00 00 00 00 00 FB BB");
  EXPECT_EQ(sim.received(labDeviceAddress(0), 7010), QList<QByteArray>{hx("00 21 00 00 00 04 00 11 01 15 FE B4")});
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

TEST(SimExchanges, I2cScanListsAndIdentifiesTheI2cDevices) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway(), QJsonObject{{"address", labDeviceAddress(1)}}}));
  REQUIRE_SIM(sim);
  Udp udp;
  ASSERT_TRUE(udp.bound());

  ASSERT_TRUE(udp.send(labDeviceAddress(0), hx("00 05 00 00 00 00 FF FA")));
  auto list = udp.receive(1000);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->from, labDeviceAddress(0));
  EXPECT_EQ(spaced(list->bytes), "00 06 00 00 00 01 50 AF F8");

  ASSERT_TRUE(udp.send(labDeviceAddress(0), hx("00 07 00 00 00 0C 50 01 00 04 50 01 01 04 50 01 15 10 F9 D0")));
  auto ident = udp.receive(1000);
  ASSERT_TRUE(ident);
  EXPECT_EQ(spaced(ident->bytes),
            "00 08 00 00 00 1B 00 05 00 01 87 00 01 00 02 87 53 65 6E 73 6F 72 00 00 00 00 00 00 00 00 00 00 87 BD 03");

  // An address nobody acknowledges gets no answer on the discovery port.
  ASSERT_TRUE(udp.send(labDeviceAddress(0), hx("00 07 00 00 00 0C 08 01 00 04 08 01 01 04 08 01 15 10 D1 D1")));
  EXPECT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "i2cAbsent") && r.value("i2c").toInt() == 8; }, 2000));
  EXPECT_FALSE(udp.receive(300));

  // A gateway without I2C devices answers with an empty list.
  ASSERT_TRUE(udp.send(labDeviceAddress(1), hx("00 05 00 00 00 00 FF FA")));
  auto empty = udp.receive(1000);
  ASSERT_TRUE(empty);
  EXPECT_EQ(spaced(empty->bytes), "00 06 00 00 00 00 FF F9");
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

TEST(SimExchanges, CommonPortVersionRead) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway()}));
  REQUIRE_SIM(sim);
  Tcp tcp(labDeviceAddress(0), 8010);
  ASSERT_TRUE(tcp.connected());
  ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
  EXPECT_EQ(spaced(tcp.readFrame()), "00 23 00 00 00 0A 00 00 12 00 03 01 01 02 02 03 E7 CC");
  // An I2C address without a device is an I2C bus timeout on the common port.
  ASSERT_TRUE(tcp.send(hx("00 07 00 00 00 0C 08 01 00 04 08 01 01 04 08 01 15 10 D1 D1")));
  EXPECT_EQ(spaced(tcp.readFrame()), "00 09 00 00 00 01 02 FD F5");
}

TEST(SimExchanges, BinUploadReadbackActivationResetAndNewVersion) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway()}));
  REQUIRE_SIM(sim);
  // Firmware 2.5 for hardware 1.0 .. 3.2; the device runs 2.3 on hardware 1.2.
  const QByteArray bin = firmwareFile(1000, "00 12 00 03", "03 02 02 05", "01 00 02 00");
  const QByteArray image = hx("2F 68 65 78 2E 68 65 78 20 00 0F 03 EA 24 24 55 AA") + bin;
  ASSERT_EQ(image.size(), 1017);
  {
    Tcp file(labDeviceAddress(0), 8004);
    ASSERT_TRUE(file.connected());
    ASSERT_TRUE(file.send(hx("00 31 00 00 00 00 FF CE")));
    EXPECT_EQ(spaced(file.readFrame()), "00 33 00 00 00 0C 4D 65 6D 6F 72 79 45 72 61 73 65 64 C6 28");
    for (int k = 0; k * 64 < image.size(); ++k) {
      QByteArray payload;
      payload.append(char(0)).append(char((k * 64) >> 8)).append(char((k * 64) & 0xFF)).append(hx("00 00 40"));
      QByteArray data = image.mid(k * 64, 64);
      payload.append(data).append(QByteArray(64 - data.size(), '\0'));
      const QByteArray chunk = frame(0x32, 1, payload);
      if (k == 1) {
        ASSERT_EQ(chunk.left(12), hx("00 32 00 01 00 46 00 00 40 00 00 40"));
      }
      ASSERT_TRUE(file.send(chunk));
      ASSERT_EQ(spaced(file.readFrame()), "00 33 00 00 00 0C 42 79 74 65 73 57 72 69 74 74 65 6E 89 3E") << "chunk " << k;
    }
  }
  {
    // The request form the upgrader sends: protocol name at the end of the user-agent line.
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.connected());
    ASSERT_TRUE(http.send("GET /hex.hex\r\nUser-Agent: Orvane - Firmware upgrader Version 2.15 (26.09.18) HTTP/1.1\r\n"
                          "Host: 10.77.1.1\r\nAccept: */*\r\n\r\n"));
    const QByteArray response = http.readToEnd(3000);
    const qsizetype split = response.indexOf("\r\n\r\n");
    ASSERT_GT(split, 0);
    EXPECT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(response.left(split).contains("Content-Length: 1002"));
    EXPECT_EQ(response.mid(split + 4), hx("55 AA") + bin);
  }
  {
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.connected());
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: 10.77.1.1\r\nUser-Agent: Orvane - Firmware upgrader\r\n\r\n"));
    const QByteArray response = http.readToEnd(3000);
    EXPECT_TRUE(response.endsWith(hx("55 AA") + bin));
  }
  {
    Tcp file(labDeviceAddress(0), 8004);
    ASSERT_TRUE(file.connected());
    ASSERT_TRUE(file.send(hx("00 3A 00 00 00 03 E8 03 00 17 BF")));  // 1000, least significant byte first
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "activated") && r.value("length").toInt() == 1000; }, 2000));
  {
    Tcp common(labDeviceAddress(0), 8010);
    ASSERT_TRUE(common.connected());
    ASSERT_TRUE(common.send(hx("00 21 00 00 00 01 02 FD DD")));
    EXPECT_TRUE(common.waitClosed(2000)) << "the device closes the connection when it resets";
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "reset"); }, 2000));
  {
    // While it flashes, the common port refuses.
    Tcp during(labDeviceAddress(0), 8010);
    if (during.connected()) {
      EXPECT_TRUE(during.waitClosed(1000));
    }
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "flashed"); }, 3000));
  Tcp common(labDeviceAddress(0), 8010);
  ASSERT_TRUE(common.connected());
  ASSERT_TRUE(common.send(hx("00 21 00 00 00 02 00 01 FF DB")));
  // Hardware 1.2 kept, firmware 2.5 from the file.
  EXPECT_EQ(spaced(common.readFrame()), "00 23 00 00 00 0A 00 00 12 00 03 01 01 02 02 05 E7 CA");
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

TEST(SimExchanges, I2cBlockWriteReadBackAndFlash) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway()}));
  REQUIRE_SIM(sim);
  // A .bi2 of 100 bytes: image 55 AA + file + filler, L = 128, two blocks.
  const QByteArray bi2 = firmwareFile(100, "00 05 00 01", "00 01 00 03", "00 01 00 00");
  QByteArray image = hx("55 AA") + bi2;
  image.append(QByteArray(128 - image.size(), char(0xFF)));
  const QByteArray a = hx("50");
  auto window = [&](int k, int j) {
    QByteArray w = image.mid(k * 64 + j * 16, 16);
    std::reverse(w.begin(), w.end());
    return w;
  };
  Tcp tcp(labDeviceAddress(0), 8010);
  ASSERT_TRUE(tcp.connected());
  for (int k = 0; k < 2; ++k) {
    const QByteArray writeWord = k == 0 ? hx("00 00 00 02") : hx("00 00 00 42");
    const QByteArray readWord = k == 0 ? hx("00 00 00 01") : hx("00 00 00 41");
    QByteArray write = a + hx("07 1C AA 55") + writeWord + hx("00");
    for (int j = 0; j < 4; ++j) write += a + hx("11") + char(0x18 + j) + window(k, j) + hx("00");
    write += a + hx("01 1D 00");
    ASSERT_EQ(write.size(), 94);
    ASSERT_TRUE(tcp.send(frame(0x07, 0, write)));
    EXPECT_EQ(spaced(tcp.readFrame()), "00 08 00 00 00 06 87 87 87 87 87 87 69 5B") << "block " << k;

    QByteArray read = a + hx("07 1C AA 55") + readWord + hx("00") + a + hx("01 1D 00");
    for (int j = 0; j < 4; ++j) read += a + hx("01") + char(0x18 + j) + hx("10");
    ASSERT_EQ(read.size(), 30);
    ASSERT_TRUE(tcp.send(frame(0x07, 0, read)));
    QByteArray expected = hx("87 87");
    for (int j = 0; j < 4; ++j) expected += window(k, j) + hx("87");
    EXPECT_EQ(tcp.readFrame(), frame(0x08, 0, expected)) << "block " << k;
  }
  ASSERT_TRUE(tcp.send(hx("00 07 00 00 00 0E 50 07 1C AA 55 00 00 00 86 00 50 01 1D 00 4B 37")));
  EXPECT_EQ(spaced(tcp.readFrame()), "00 08 00 00 00 02 87 87 78 6E");
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "flashed") && r.value("i2c").toInt() == 80; }, 3000));
  ASSERT_TRUE(tcp.send(hx("00 07 00 00 00 08 50 01 00 04 50 01 01 04 5E E6")));
  EXPECT_EQ(spaced(tcp.readFrame()), "00 08 00 00 00 0A 00 05 00 01 87 00 01 00 03 87 74 60");
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

TEST(SimExchanges, MalformedRequestsAreViolationsAndGetNoAnswer) {
  ORVANE_REQUIRE_LAB();
  Simulator sim(config({gateway()}));
  REQUIRE_SIM(sim);
  struct Case {
    int port;
    QByteArray bytes;
    const char* detail;
  };
  const QList<Case> cases = {
      {8010, hx("00 21 00 00 00 02 00 01 FF DC"), "checksum 0xFFDC, expected 0xFFDB"},
      {8010, frame(0x21, 0, hx("00 05")), "unknown variable id 5"},
      {8010, frame(0x07, 0, hx("50 01 00")), "but the payload ends"},
      {8010, frame(0x07, 0, hx("50 01 05 04")), "register not served"},
      {8004, frame(0x32, 1, hx("00 00 40 00 00 40") + QByteArray(64, '\0')), "before UploadStart"},
      {8004, frame(0x3A, 0, hx("E8 03")), "expected 3"},
  };
  for (const Case& c : cases) {
    Tcp tcp(labDeviceAddress(0), c.port);
    ASSERT_TRUE(tcp.connected());
    ASSERT_TRUE(tcp.send(c.bytes));
    ASSERT_TRUE(sim.waitForRecord([&](const QJsonObject& r) {
      return isEvent(r, "violation") && r.value("detail").toString().contains(QLatin1String(c.detail));
    }, 2000)) << c.detail;
    // The next good request is answered, and it is the first answer on the connection.
    if (c.port == 8010) {
      ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
      EXPECT_EQ(spaced(tcp.readFrame()), "00 23 00 00 00 0A 00 00 12 00 03 01 01 02 02 03 E7 CC") << c.detail;
    } else {
      ASSERT_TRUE(tcp.send(hx("00 31 00 00 00 00 FF CE")));
      EXPECT_EQ(tcp.readFrame().mid(6, 12), "MemoryErased") << c.detail;
    }
  }
  Udp udp;
  ASSERT_TRUE(udp.send(labDeviceAddress(0), frame(0x21, 0, hx("00 05"))));
  EXPECT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "violation") && r.value("port").toInt() == 7010; }, 2000));
  EXPECT_FALSE(udp.receive(200));

  Tcp http(labDeviceAddress(0), 80);
  ASSERT_TRUE(http.send("GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(http.readToEnd(2000).startsWith("HTTP/1.1 404"));
  EXPECT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "violation") && r.value("port").toInt() == 80; }, 2000));
}

TEST(SimExchanges, FaultsSilentRefuseHttpAndRawAnswers) {
  ORVANE_REQUIRE_LAB();
  QJsonObject silent{{"address", labDeviceAddress(0)},
                     {"faults", QJsonObject{{"silentPorts", QJsonArray{8010}}, {"refusePorts", QJsonArray{8004}}, {"http", "404"}}}};
  QJsonObject raw{{"address", labDeviceAddress(1)},
                  {"faults", QJsonObject{{"tcpRaw", QJsonArray{QJsonObject{{"port", 8010}, {"index", 1}, {"hex", "0023000000000001"}, {"split", QJsonArray{3}}}}},
                                         {"http", "empty"},
                                         {"udpOmitVariables", QJsonArray{17}},
                                         {"udpDoubleReply", true}}}};
  Simulator sim(config({silent, raw}));
  REQUIRE_SIM(sim);
  {
    Tcp tcp(labDeviceAddress(0), 8010);
    ASSERT_TRUE(tcp.connected());
    ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
    EXPECT_TRUE(tcp.readFrame(300).isEmpty());
    EXPECT_EQ(sim.received(labDeviceAddress(0), 8010), QList<QByteArray>{hx("00 21 00 00 00 02 00 01 FF DB")});
  }
  {
    Tcp tcp(labDeviceAddress(0), 8004);
    if (tcp.connected()) {
      EXPECT_TRUE(tcp.waitClosed(2000));
      EXPECT_TRUE(tcp.wasReset());
    }
  }
  {
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(http.readToEnd(2000).startsWith("HTTP/1.1 404 Not Found\r\n"));
  }
  {
    Tcp http(labDeviceAddress(1), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    const QByteArray response = http.readToEnd(2000);
    EXPECT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(response.contains("Content-Length: 0\r\n"));
    EXPECT_TRUE(response.endsWith("\r\n\r\n"));
  }
  {
    Tcp tcp(labDeviceAddress(1), 8010);
    ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
    EXPECT_EQ(spaced(tcp.read(8, 2000)), "00 23 00 00 00 00 00 01");
  }
  Udp udp;
  ASSERT_TRUE(udp.send(labDeviceAddress(1), hx("00 21 00 00 00 04 00 11 01 15 FE B4")));
  const QByteArray withoutMac = frame(0x23, 0, hx("00 00 01 00 01 01 00 01 00 00 15") + QByteArray("Sim 2") + QByteArray(11, '\0'));
  for (int i = 0; i < 2; ++i) {
    auto d = udp.receive(1000);
    ASSERT_TRUE(d) << "reply " << i;
    EXPECT_EQ(d->bytes, withoutMac);
  }
}

TEST(SimExchanges, DiscoveryAndGatewayFaults) {
  ORVANE_REQUIRE_LAB();
  const QByteArray rawList = frame(0x06, 0, hx("08 50"));
  QJsonObject d0{{"address", labDeviceAddress(0)},
                 {"i2c", QJsonArray{QJsonObject{{"address", 80}}}},
                 {"faults", QJsonObject{{"udpBadChecksum", true},
                                        {"closeAtRequest", QJsonObject{{"port", 8010}, {"index", 2}}},
                                        {"i2cError", QJsonObject{{"index", 1}, {"code", 3}}},
                                        {"http", "302"}}}};
  QJsonObject d1{{"address", labDeviceAddress(1)},
                 {"faults", QJsonObject{{"udpSplitReply", true},
                                        {"uploadStatusText", QJsonObject{{"index", 1}, {"text", "MemoryFull"}}},
                                        {"http", "silent"}}}};
  QJsonObject d2{{"address", labDeviceAddress(2)},
                 {"faults", QJsonObject{{"udpUnknownVariable", 5},
                                        {"udpRaw", QJsonObject{{"05", QJsonArray{QString::fromLatin1(rawList.toHex())}}}}}}};
  Simulator sim(config({d0, d1, d2}));
  REQUIRE_SIM(sim);
  Udp udp;
  const QByteArray discovery = hx("00 21 00 00 00 04 00 11 01 15 FE B4");
  const QByteArray nameOf3 = QByteArray("Sim 3") + QByteArray(11, '\0');

  ASSERT_TRUE(udp.send(labDeviceAddress(0), discovery));
  auto bad = udp.receive(1000);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->bytes.size(), 42);
  EXPECT_NE(quint16((quint8(bad->bytes[40]) << 8) | quint8(bad->bytes[41])), checksum(bad->bytes.left(40)));

  ASSERT_TRUE(udp.send(labDeviceAddress(1), discovery));
  auto first = udp.receive(1000);
  auto second = udp.receive(1000);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->bytes.size(), 21);
  EXPECT_EQ(frame(0x23, 0, hx("00 00 01 00 01 11 02 00 0A 4D 01 02 01 00 01 00 00 15") + QByteArray("Sim 2") + QByteArray(11, '\0')),
            first->bytes + second->bytes);

  ASSERT_TRUE(udp.send(labDeviceAddress(2), discovery));
  auto unknown = udp.receive(1000);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->bytes, frame(0x23, 0, hx("00 00 01 00 01 05 00 00 00 00 11 02 00 0A 4D 01 03 01 00 01 00 00 15") + nameOf3));
  ASSERT_TRUE(udp.send(labDeviceAddress(2), hx("00 05 00 00 00 00 FF FA")));
  auto raw = udp.receive(1000);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->bytes, rawList);

  {
    Tcp tcp(labDeviceAddress(0), 8010);
    ASSERT_TRUE(tcp.send(hx("00 07 00 00 00 08 50 01 00 04 50 01 01 04 5E E6")));
    EXPECT_EQ(tcp.readFrame(), frame(0x09, 0, hx("03")));  // the first I2cTransfer: I2C message too long
    ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
    EXPECT_TRUE(tcp.waitClosed(2000)) << "the second request on 8010 closes the connection";
  }
  {
    Tcp tcp(labDeviceAddress(1), 8004);
    ASSERT_TRUE(tcp.send(hx("00 31 00 00 00 00 FF CE")));
    EXPECT_EQ(tcp.readFrame(), frame(0x33, 0, "MemoryFull"));
  }
  {
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(http.readToEnd(2000).startsWith("HTTP/1.1 302 Found\r\n"));
  }
  {
    Tcp http(labDeviceAddress(1), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(http.readToEnd(300).isEmpty());
    EXPECT_FALSE(http.waitClosed(10));
  }
}

TEST(SimExchanges, CorruptedReadbacksAndForcedVersionsAfterFlashing) {
  ORVANE_REQUIRE_LAB();
  QJsonObject device = gateway();
  device.insert("faults", QJsonObject{{"corruptReadback", 2},
                                      {"corruptI2cReadback", 5},
                                      {"versionAfterFlash", "01020909"},
                                      {"i2cVersionAfterFlash", "00020007"}});
  Simulator sim(config({device}));
  REQUIRE_SIM(sim);
  const QByteArray bin = firmwareFile(40, "00 12 00 03", "03 02 02 05", "01 00 02 00");
  const QByteArray image = hx("2F 68 65 78 2E 68 65 78 20 00 0F 00 2A 24 24 55 AA") + bin;
  {
    Tcp file(labDeviceAddress(0), 8004);
    ASSERT_TRUE(file.send(hx("00 31 00 00 00 00 FF CE")));
    ASSERT_FALSE(file.readFrame().isEmpty());
    QByteArray payload = hx("00 00 00 00 00 40") + image.left(64);
    payload.append(QByteArray(70 - payload.size(), '\0'));
    ASSERT_TRUE(file.send(frame(0x32, 1, payload)));
    ASSERT_FALSE(file.readFrame().isEmpty());
  }
  {
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    QByteArray expected = hx("55 AA") + bin;
    expected[2] = char(~quint8(expected[2]));
    EXPECT_TRUE(http.readToEnd(2000).endsWith("\r\n\r\n" + expected));
  }
  {
    Tcp file(labDeviceAddress(0), 8004);
    ASSERT_TRUE(file.send(frame(0x3A, 0, hx("28 00 00"))));
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "activated"); }, 2000));
  {
    Tcp common(labDeviceAddress(0), 8010);
    ASSERT_TRUE(common.send(hx("00 21 00 00 00 01 02 FD DD")));
    EXPECT_TRUE(common.waitClosed(2000));
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "flashed") && !r.contains("i2c"); }, 3000));
  Tcp tcp(labDeviceAddress(0), 8010);
  ASSERT_TRUE(tcp.send(hx("00 21 00 00 00 02 00 01 FF DB")));
  EXPECT_EQ(tcp.readFrame(), frame(0x23, 0, hx("00 00 12 00 03 01 01 02 09 09")));

  // One I2C block of 55 AA + a 40-byte .bi2 + filler: its byte 5 comes back inverted.
  QByteArray i2cImage = hx("55 AA") + firmwareFile(40, "00 05 00 01", "00 01 00 03", "00 01 00 00");
  i2cImage.append(QByteArray(64 - i2cImage.size(), char(0xFF)));
  QByteArray write = hx("50 07 1C AA 55 00 00 00 02 00");
  QByteArray expected = hx("87 87");
  QByteArray corrupted = i2cImage;
  corrupted[5] = char(~quint8(corrupted[5]));
  for (int j = 0; j < 4; ++j) {
    QByteArray w = i2cImage.mid(j * 16, 16);
    QByteArray c = corrupted.mid(j * 16, 16);
    std::reverse(w.begin(), w.end());
    std::reverse(c.begin(), c.end());
    write += hx("50 11") + char(0x18 + j) + w + hx("00");
    expected += c + hx("87");
  }
  write += hx("50 01 1D 00");
  ASSERT_TRUE(tcp.send(frame(0x07, 0, write)));
  ASSERT_EQ(tcp.readFrame(), frame(0x08, 0, QByteArray(6, char(0x87))));
  ASSERT_TRUE(tcp.send(frame(0x07, 0, hx("50 07 1C AA 55 00 00 00 01 00 50 01 1D 00 50 01 18 10 50 01 19 10 50 01 1A 10 50 01 1B 10"))));
  EXPECT_EQ(tcp.readFrame(), frame(0x08, 0, expected));
  ASSERT_TRUE(tcp.send(frame(0x07, 0, hx("50 07 1C AA 55 00 00 00 46 00 50 01 1D 00"))));
  ASSERT_EQ(tcp.readFrame(), frame(0x08, 0, hx("87 87")));
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "flashed") && r.contains("i2c"); }, 3000));
  ASSERT_TRUE(tcp.send(hx("00 07 00 00 00 08 50 01 00 04 50 01 01 04 5E E6")));
  EXPECT_EQ(tcp.readFrame(), frame(0x08, 0, hx("00 05 00 01 87 00 02 00 07 87")));
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}

// Fault silentAfterReset: after the reset and its flashing time the device accepts
// connections but never answers again, on any port.
TEST(SimExchanges, SilentAfterResetNeverAnswersAgain) {
  ORVANE_REQUIRE_LAB();
  QJsonObject device{{"address", labDeviceAddress(0)}, {"flashTimeMs", 200},
                     {"faults", QJsonObject{{"silentAfterReset", true}}}};
  Simulator sim(config({device}));
  REQUIRE_SIM(sim);
  const QByteArray versionRead = hx("00 21 00 00 00 02 00 01 FF DB");
  {
    Tcp common(labDeviceAddress(0), 8010);
    ASSERT_TRUE(common.connected());
    ASSERT_TRUE(common.send(versionRead));
    EXPECT_FALSE(common.readFrame().isEmpty()) << "it answers before its reset";
    ASSERT_TRUE(common.send(hx("00 21 00 00 00 01 02 FD DD")));
    EXPECT_TRUE(common.waitClosed(2000));
  }
  ASSERT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return isEvent(r, "silent"); }, 3000));
  for (int port : {8010, 8004}) {
    Tcp tcp(labDeviceAddress(0), port);
    ASSERT_TRUE(tcp.connected()) << port << ": connections are accepted, not refused";
    ASSERT_TRUE(tcp.send(port == 8010 ? versionRead : hx("00 31 00 00 00 00 FF CE")));
    EXPECT_TRUE(tcp.readFrame(500).isEmpty()) << port;
  }
  {
    Tcp http(labDeviceAddress(0), 80);
    ASSERT_TRUE(http.send("GET /hex.hex HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(http.readToEnd(500).isEmpty());
  }
  Udp udp;
  ASSERT_TRUE(udp.send(labDeviceAddress(0), hx("00 21 00 00 00 04 00 11 01 15 FE B4")));
  EXPECT_FALSE(udp.receive(500));
  bool silent = false;
  for (const QJsonObject& r : sim.records()) {
    EXPECT_FALSE(isEvent(r, "flashed") || isEvent(r, "restarted")) << "it never comes back";
    silent = silent || isEvent(r, "silent");
    EXPECT_FALSE(silent && r.value("dir") == "out") << "nothing is sent after it went silent";
  }
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
}
