// Random pushes into the TCP frame splitter: whatever the cuts, the frames taken out
// followed by the bytes still held are exactly the bytes pushed, and every frame is as
// long as its payload-length field says.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "engine/IpPacket.h"

#include <cstddef>
#include <cstdint>

using namespace orvane::proto;

int orvane::fuzz::fuzzOneFrameSplitter(const uint8_t* data, size_t size) {
  FrameSplitter splitter;
  QByteArray pushed;
  QByteArray taken;
  size_t at = 0;
  // Each step: one byte gives the length of the next push (0..255), then the push.
  while (at < size) {
    const size_t want = data[at++];
    const size_t n = want < size - at ? want : size - at;
    const QByteArray piece(reinterpret_cast<const char*>(data + at), qsizetype(n));
    at += n;
    splitter.push(piece);
    pushed += piece;

    QByteArray frame;
    while (splitter.next(frame)) {
      FUZZ_REQUIRE(frame.size() >= kFrameOverhead);
      const auto* f = reinterpret_cast<const quint8*>(frame.constData());
      FUZZ_REQUIRE(frame.size() == (int(f[4]) << 8 | f[5]) + kFrameOverhead);
      // The checksum helpers accept any frame the splitter hands out.
      (void)packetChecksum(f, int(frame.size()) - 2);
      taken += frame;
    }
    // What is still held is never a whole frame.
    if (splitter.pending() >= kHeaderSize) {
      const QByteArray rest = pushed.mid(taken.size());
      const auto* r = reinterpret_cast<const quint8*>(rest.constData());
      FUZZ_REQUIRE(splitter.pending() < (int(r[4]) << 8 | r[5]) + kFrameOverhead);
    }
  }
  FUZZ_REQUIRE(taken.size() + splitter.pending() == pushed.size());
  FUZZ_REQUIRE(pushed.startsWith(taken));
  return 0;
}
