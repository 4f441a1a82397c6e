// The ICMP echo reply check on arbitrary datagrams, with and without the IPv4 header a
// raw socket delivers. Input: one control byte (bit 0: with the IP header), the
// identifier and the sequence of the request (2 bytes each), then the datagram.
// Beyond the verdict on the datagram as it came, a reply built from the same request
// must match, and the same reply with another type, sequence or identifier must not.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "common/IcmpEcho.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using orvane::icmp::parseEchoReply;

namespace {

struct Request {
  bool withIpHeader;
  quint16 identifier;
  quint16 sequence;
};

bool parses(const std::vector<quint8>& datagram, const Request& r) {
  // Exact-size copy: a read past the datagram is caught by the sanitizer.
  const std::vector<quint8> copy(datagram);
  return parseEchoReply(copy.data(), qsizetype(copy.size()), r.withIpHeader, r.identifier, r.sequence);
}

// Where the ICMP message starts: after the header length the IP header gives.
size_t icmpOffset(const std::vector<quint8>& datagram, bool withIpHeader) {
  return withIpHeader && !datagram.empty() ? size_t(datagram[0] & 0x0F) * 4 : 0;
}

// A datagram that passed must be long enough and carry an echo reply to the request.
void checkAccepted(const std::vector<quint8>& d, const Request& r) {
  const size_t at = icmpOffset(d, r.withIpHeader);
  if (r.withIpHeader) FUZZ_REQUIRE(d.size() >= 20);
  FUZZ_REQUIRE(d.size() >= at + 8);
  FUZZ_REQUIRE(d[at] == 0);
  FUZZ_REQUIRE((d[at + 6] << 8 | d[at + 7]) == r.sequence);
  if (r.withIpHeader) FUZZ_REQUIRE((d[at + 4] << 8 | d[at + 5]) == r.identifier);
  // One byte less of the ICMP header is never a reply.
  if (d.size() == at + 8) FUZZ_REQUIRE(!parses(std::vector<quint8>(d.begin(), d.end() - 1), r));
}

// The echo reply to the request, as the peer sends it: type 0, code 0, the identifier,
// the sequence and the 32 request data bytes; with an IP header of `headerWords` words.
std::vector<quint8> builtReply(const Request& r, int headerWords) {
  std::vector<quint8> d;
  if (r.withIpHeader) {
    d.assign(size_t(headerWords) * 4, 0);
    d[0] = quint8(0x40 | headerWords);
    d[9] = 1;   // ICMP
  }
  const quint8 header[8] = {0, 0, 0, 0, quint8(r.identifier >> 8), quint8(r.identifier), quint8(r.sequence >> 8),
                            quint8(r.sequence)};
  d.insert(d.end(), header, header + 8);
  const QByteArray data = orvane::icmp::echoRequestData();
  d.insert(d.end(), data.begin(), data.end());
  return d;
}

void checkBuiltReplies(const Request& r, int headerWords) {
  const std::vector<quint8> reply = builtReply(r, headerWords);
  const size_t at = icmpOffset(reply, r.withIpHeader);
  FUZZ_REQUIRE(parses(reply, r));

  std::vector<quint8> request = reply;   // our own request, seen on loopback
  request[at] = 8;
  FUZZ_REQUIRE(!parses(request, r));
  FUZZ_REQUIRE(!parses(reply, {r.withIpHeader, r.identifier, quint16(r.sequence + 1)}));
  // Only the raw socket compares the identifier.
  FUZZ_REQUIRE(parses(reply, {r.withIpHeader, quint16(r.identifier ^ 0x8001), r.sequence}) == !r.withIpHeader);
  // Cut inside the ICMP header: never a reply.
  FUZZ_REQUIRE(!parses(std::vector<quint8>(reply.begin(), reply.begin() + qsizetype(at + 7)), r));
}

}  // namespace

int orvane::fuzz::fuzzOneIcmpReply(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const Request request{(data[0] & 1) != 0, quint16(data[1] << 8 | data[2]), quint16(data[3] << 8 | data[4])};
  const std::vector<quint8> datagram(data + 5, data + size);
  if (parses(datagram, request)) checkAccepted(datagram, request);
  // IP header lengths from 5 words (no options) to 15, chosen by the control byte.
  checkBuiltReplies(request, 5 + (data[0] >> 1) % 11);
  return 0;
}
