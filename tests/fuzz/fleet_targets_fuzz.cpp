// The targets file reader of a fleet run on arbitrary bytes. Whatever it is given, it
// either refuses with one line that names the file (and, for a bad line, a line number
// within the file), listing no target, or lists targets that keep the file's rules: line
// numbers ascending and within the file, each range within a /16 and the device
// addresses, no address named twice, the total bounded, absolute file paths, an I2C
// address exactly when a .bi2 file is named. Reading the same text twice gives the same.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "app/FleetTargets.h"
#include "engine/IpPacket.h"

#include <QDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

const QString kName = QStringLiteral("fuzz.txt");
const QString kBase = QStringLiteral("/srv/fleet");

void checkRefusal(const FleetTargets& t, qsizetype lineCount) {
  FUZZ_REQUIRE(t.lines.isEmpty());
  FUZZ_REQUIRE(t.error.startsWith(kName + QStringLiteral(" line ")) || t.error.startsWith(kName + QStringLiteral(": ")));
  FUZZ_REQUIRE(!t.error.contains(u'\n'));
  if (t.error.startsWith(kName + QStringLiteral(" line "))) {
    const QString rest = t.error.mid(kName.size() + 6);
    bool ok = false;
    const int line = rest.left(rest.indexOf(u':')).toInt(&ok);
    FUZZ_REQUIRE(ok && line >= 1 && line <= lineCount);
  }
}

void checkFiles(const FleetFiles& f) {
  for (const QString* path : {&f.bin, &f.web, &f.bi2}) {
    FUZZ_REQUIRE(path->isEmpty() || QDir::isAbsolutePath(*path));
    FUZZ_REQUIRE(!path->contains(u'#') && !path->contains(u' ') && !path->contains(u'\t'));
  }
  FUZZ_REQUIRE(f.bi2.isEmpty() == (f.i2cAddress == -1));
  if (f.i2cAddress != -1)
    FUZZ_REQUIRE(f.i2cAddress >= orvane::proto::kI2cAddressMin && f.i2cAddress <= orvane::proto::kI2cAddressMax);
}

void checkLines(const FleetTargets& t, qsizetype lineCount) {
  FUZZ_REQUIRE(!t.lines.isEmpty());
  quint64 total = 0;
  int previous = 0;
  QList<std::pair<quint32, quint32>> spans;
  for (const FleetTargetLine& l : t.lines) {
    FUZZ_REQUIRE(l.line > previous && l.line <= lineCount);
    previous = l.line;
    FUZZ_REQUIRE(l.first <= l.last && quint64(l.last) - l.first < kMaxFleetBlockAddresses);
    FUZZ_REQUIRE(l.first >= 0x01000000u && l.last < 0xE0000000u);
    FUZZ_REQUIRE(l.block || l.first == l.last);
    total += quint64(l.last) - l.first + 1;
    spans.append({l.first, l.last});
    checkFiles(l.files);
  }
  FUZZ_REQUIRE(total <= kMaxFleetAddresses);
  std::sort(spans.begin(), spans.end());
  for (qsizetype i = 1; i < spans.size(); ++i) FUZZ_REQUIRE(spans[i].first > spans[i - 1].second);
}

}  // namespace

int orvane::fuzz::fuzzOneFleetTargets(const uint8_t* data, size_t size) {
  const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
  const FleetTargets t = parseFleetTargets(text, kName, kBase);
  const qsizetype lineCount = text.count('\n') + 1;
  if (t.ok()) {
    checkLines(t, lineCount);
  } else {
    checkRefusal(t, lineCount);
  }
  const FleetTargets again = parseFleetTargets(text, kName, kBase);
  FUZZ_REQUIRE(again.error == t.error && again.lines.size() == t.lines.size());
  return 0;
}
