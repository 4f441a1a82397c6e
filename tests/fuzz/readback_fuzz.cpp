// The readback body as it arrives in pieces, the verdict on the transfer and the byte
// comparison with the expected image. Input: a control byte (bits 0-2: the HTTP status,
// bit 3: a small body limit, bits 4-5: how the body relates to the image, bit 6: the
// image is the .bin readback of the file), the piece length, the limit or the changed
// position, then the file bytes, the first half the image, the second half a body.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "engine/IpPacket.h"
#include "engine/Readback.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace orvane::engine;

namespace {

// Collects `source` in pieces of `piece` bytes (0: in one) as the transfer does; the
// transfer stops at the first piece refused.
QByteArray collectBody(const QByteArray& source, qsizetype piece, qsizetype limit) {
  QByteArray body;
  const qsizetype step = piece > 0 ? piece : std::max<qsizetype>(source.size(), 1);
  for (qsizetype at = 0; at < source.size(); at += step) {
    const QByteArray part = source.mid(at, step);
    const QByteArray before = body;
    const bool taken = appendReadbackPiece(body, part.constData(), size_t(part.size()), limit);
    FUZZ_REQUIRE(taken == (before.size() + part.size() <= limit));
    FUZZ_REQUIRE(body == (taken ? before + part : before));
    if (!taken) break;
  }
  FUZZ_REQUIRE(body.size() <= limit);
  FUZZ_REQUIRE(source.startsWith(body));
  FUZZ_REQUIRE((body == source) == (source.size() <= limit));
  return body;
}

void checkVerdict(long status, const QByteArray& body) {
  const QString failure = readbackBodyFailure(status, body);
  FUZZ_REQUIRE(failure.isEmpty() == (status == 200 && !body.isEmpty()));
  if (status != 200) FUZZ_REQUIRE(failure.contains(QString::number(status)));
}

// -1 only when equal; else 0 (lengths differ, or the first byte differs) or the first
// differing position.
void checkCompare(const QByteArray& body, const QByteArray& expected) {
  const int result = compareReadback(body, expected);
  FUZZ_REQUIRE((result == -1) == (body == expected));
  if (result == -1) return;
  FUZZ_REQUIRE(result >= 0);
  if (body.size() != expected.size()) {
    FUZZ_REQUIRE(result == 0);
    return;
  }
  FUZZ_REQUIRE(result < expected.size());
  FUZZ_REQUIRE(body.at(result) != expected.at(result));
  FUZZ_REQUIRE(body.left(result) == expected.left(result));
}

// The body the device sends back: unrelated bytes, the image itself, the image with one
// byte changed, or the image cut short.
QByteArray bodyFrom(int how, const QByteArray& image, const QByteArray& other, uint8_t position) {
  QByteArray body = how == 0 ? other : image;
  if (how == 2 && !body.isEmpty()) body[position % body.size()] = char(body[position % body.size()] ^ 0x5A);
  if (how == 3) body.chop(1 + position % 4);
  return body;
}

}  // namespace

int orvane::fuzz::fuzzOneReadback(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static constexpr long kStatus[] = {200, 200, 200, 200, 302, 404, 500, 0};
  const uint8_t control = data[0];
  const qsizetype piece = data[1];
  const qsizetype limit = (control & 0x08) ? qsizetype(data[2]) : kMaxReadbackBody;
  const QByteArray rest(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));
  const QByteArray file = rest.left(rest.size() / 2);
  const QByteArray image = (control & 0x40) ? orvane::proto::binReadbackExpected(file) : file;
  const QByteArray sent = bodyFrom((control >> 4) & 3, image, rest.mid(file.size()), data[2]);

  const QByteArray body = collectBody(sent, piece, limit);
  checkVerdict(kStatus[control & 7], body);
  checkCompare(body, image);
  return 0;
}
