// Device answers into the upgrade engine, in each state that reads one, on the port that
// state reads. Input: byte 0 chooses the reading state; byte 1 the files selected beside
// the one the state needs (bit 0 .bin, bit 1 .bi2, bit 2 .web), batch mode (bit 3) and the
// operator's answer to a question (bit 4); byte 2 how the rest is cut into read events:
// 0 frame by frame as the frame splitter cuts it (a cut last frame at the end), n pieces
// of n bytes. The engine owns one end of a local socket pair (no network), the other end
// here collects its requests. Checked after every read event: the engine leaves the state
// only for where the awaited answer leads or for the end, every whole frame gets an
// answer of the engine (the next request, the next state or a failure) and at most one
// request, its requests are whole frames with their checksum, and each upgrade ends at
// most once in success, never after a failure, with one failure sequence (the version
// mismatch after flashing has two by design).
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "engine/EngineTestSeam.h"
#include "engine/IpPacket.h"
#include "engine/VersionChecks.h"

#include <QCoreApplication>

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

using Seam = ORVCRoVivazavaTestSeam;
using orvane::proto::FrameSplitter;

namespace {

// The engine's state numbers (currentState()) of the states that read an answer and need a file.
constexpr int kBinUploading = 6, kVerifyNewVersion = 17, kWebUploading = 21, kCheckI2cVersion = 25;

struct Report {
  int kind;
  QString text;
};

// A file with the identification block at offset 16: type, version word, minimum word.
QByteArray firmware(int size, quint32 type, quint32 version) {
  QByteArray file(size, '\0');
  for (int i = 0; i < size; ++i) file[i] = char(i * 7 + 3);
  const quint32 words[] = {type, version, 0};
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 4; ++b) file[16 + 4 * w + b] = char(words[w] >> (24 - 8 * b));
  return file;
}

struct Rig {
  Rig() {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "engine_answers_fuzz";
      static char* argv[] = {name, nullptr};
      static QCoreApplication app(argc, argv);
    }
    configureErrorLog(0, QString(), QStringLiteral("fuzz"));
    configureGeneralLog(0, 255, false, false, QStringLiteral("fuzz"));
    EngineSettings settings;
    // No event loop runs here: the timers never fire, the waits never end on their own.
    settings.stepMs = 3600000;
    settings.answerTimeoutMs = 3600000;
    bool constructed = false;
    engine = std::make_unique<ORVCRoVivazava>(constructed, &Rig::record, this, nullptr, settings);
    engine->network.fileFirmwareType = 0x00010001;
    engine->network.fileFirmwareVersion = 0x00010005;
    engine->i2c.fileFirmwareType = 0x00050001;
    engine->i2c.fileFirmwareVersion = 0x00010003;
    for (int s = 0; s < kTerminalState; ++s)
      if (Seam::waitsForAnswer(s)) readingStates.push_back(s);
  }
  static void record(void* owner, int kind, int, const QString& text) {
    static_cast<Rig*>(owner)->reports.push_back({kind, text});
  }
  int count(int kind) const {
    int n = 0;
    for (const Report& r : reports) n += r.kind == kind;
    return n;
  }

  std::unique_ptr<ORVCRoVivazava> engine;
  std::vector<int> readingStates;
  std::vector<Report> reports;
  // A 100-byte .bin (2 upload chunks), a 100-byte .bi2 (2 I2C blocks), a 70-byte .web (2 chunks).
  const QByteArray bin = firmware(100, 0x00010001, 0x00010005);
  const QByteArray bi2 = firmware(100, 0x00050001, 0x00010003);
  const QByteArray web = QByteArray(70, 'w');
};

Rig& rig() {
  static Rig r;
  return r;
}

// The checksum of a frame, computed here on its own: the ones' complements of the
// big-endian 16-bit words summed, the carries folded twice.
bool checksumHolds(const QByteArray& frame) {
  const int n = int(frame.size()) - 2;
  quint32 sum = 0;
  for (int i = 0; i < n; i += 2) {
    const quint32 high = quint8(frame[i]), low = i + 1 < n ? quint8(frame[i + 1]) : 0;
    sum += 0xFFFFu & ~((high << 8) | low);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return quint16(sum) == quint16((quint8(frame[n]) << 8) | quint8(frame[n + 1]));
}

// The requests the engine sent since the last call; each is a whole, sound frame.
int collectRequests(int peer, FrameSplitter& requests) {
  char buffer[4096];
  for (ssize_t n; (n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
    requests.push(QByteArray(buffer, qsizetype(n)));
  int count = 0;
  for (QByteArray frame; requests.next(frame); ++count) FUZZ_REQUIRE(checksumHolds(frame));
  FUZZ_REQUIRE(requests.pending() == 0);
  return count;
}

// The reports of one upgrade: one success at most, only at the end and never after a
// failure; each failure right after its message; a second one only after the version
// mismatch after flashing.
void checkReports(const std::vector<Report>& reports, int state) {
  int failures = 0;
  for (size_t i = 0; i < reports.size(); ++i) {
    const Report& r = reports[i];
    if (failures > 0) FUZZ_REQUIRE(r.kind == StatusMessage || r.kind == StatusFailed);
    if (r.kind == StatusSucceeded) FUZZ_REQUIRE(i + 1 == reports.size() && state == kTerminalState);
    if (r.kind != StatusFailed) continue;
    FUZZ_REQUIRE(i > 0 && reports[i - 1].kind == StatusMessage);
    FUZZ_REQUIRE(state == kTerminalState);
    if (++failures == 2)
      FUZZ_REQUIRE(reports[i - 2].kind == StatusFailed &&
                   reports[i - 3].text == orvane::engine::kVersionAfterFlashMismatch);
    FUZZ_REQUIRE(failures <= 2);
  }
  // The end is reached in exactly one way.
  if (state == kTerminalState)
    FUZZ_REQUIRE((failures > 0) != (!reports.empty() && reports.back().kind == StatusSucceeded));
}

struct Delivery {
  int peer;
  FrameSplitter requests;   // what the engine sent
  FrameSplitter mirror;     // the frames the engine was handed
};

// One read event, then the checks.
void deliver(Rig& r, Delivery& d, const QByteArray& bytes) {
  const int before = r.engine->currentState();
  const int failuresBefore = r.count(StatusFailed);
  const size_t reportsBefore = r.reports.size();
  Seam::takeBytes(*r.engine, bytes);
  d.mirror.push(bytes);
  int frames = 0;
  for (QByteArray frame; d.mirror.next(frame);) ++frames;
  const int after = r.engine->currentState();
  const int sent = collectRequests(d.peer, d.requests);
  checkReports(r.reports, after);
  // Ended, or gone on to a stage that the device's answers do not drive: nothing moves,
  // but a frame on a connection still open (before the I2C transfer) is an invalid answer.
  if (!Seam::waitsForAnswer(before)) {
    FUZZ_REQUIRE(sent == 0 && (after == before ? r.reports.size() == reportsBefore : after == kTerminalState));
    FUZZ_REQUIRE(before != kTerminalState || after == kTerminalState);
    return;
  }
  // Still waiting, the end, or on past the stages that run without the device.
  FUZZ_REQUIRE(after == before || after == kTerminalState || (after > before && Seam::waitsForTimer(after)));
  if (after == before) FUZZ_REQUIRE(Seam::answerAwaited(*r.engine));
  // Lock-step: one request at most for each answer; and no answer goes without a consequence.
  FUZZ_REQUIRE(sent <= frames);
  if (frames > 0) FUZZ_REQUIRE(after != before || sent > 0 || r.count(StatusFailed) > failuresBefore);
}

Seam::Selection selectionFor(const Rig& r, int state, uint8_t flags) {
  Seam::Selection s;
  s.ipAddress = QStringLiteral("127.0.0.1");
  s.i2cAddress = 80;
  const bool bin = (flags & 1) || (state >= kBinUploading && state <= kVerifyNewVersion);
  const bool bi2 = (flags & 2) || state >= kCheckI2cVersion;
  const bool web = (flags & 4) || state == kWebUploading;
  s.binFile = bin ? &r.bin : nullptr;
  s.bi2File = bi2 ? &r.bi2 : nullptr;
  s.webFile = web ? &r.web : nullptr;
  s.batchMode = (flags & 8) != 0;
  return s;
}

void feed(Rig& r, Delivery& d, const QByteArray& rest, int chunk) {
  if (chunk > 0) {
    for (qsizetype at = 0; at < rest.size(); at += chunk) deliver(r, d, rest.mid(at, chunk));
    return;
  }
  FrameSplitter cutter;
  cutter.push(rest);
  for (QByteArray frame; cutter.next(frame);) deliver(r, d, frame);
  if (cutter.pending() > 0) deliver(r, d, rest.right(cutter.pending()));
}

}  // namespace

int orvane::fuzz::fuzzOneEngineAnswers(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Rig& r = rig();
  const int state = r.readingStates[data[0] % r.readingStates.size()];
  const uint8_t flags = data[1];
  orvane::ui::setMessageBoxHandler([](const QString&, const QString&, orvane::ui::BoxIcon) {});
  orvane::ui::setQuestionHandler([flags](const QString&, const QString&) { return (flags & 16) != 0; });
  int pair[2];
  FUZZ_REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  r.reports.clear();
  Delivery d{pair[1], {}, {}};
  if (Seam::enterAwaiting(*r.engine, state, pair[0], selectionFor(r, state, flags))) {
    collectRequests(d.peer, d.requests);
    feed(r, d, QByteArray(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3)), data[2]);
  }
  Seam::stop(*r.engine);
  ::close(pair[1]);
  orvane::ui::setQuestionHandler({});
  orvane::ui::setMessageBoxHandler({});
  return 0;
}
