#pragma once

#include "engine/ORVCRoVivazava.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <chrono>
#include <functional>
#include <ostream>
#include <vector>

// Helpers for driving the upgrade engine in tests: a recorder of its status reports and
// bounded waits that run the event loop.
namespace orvane::test {

// Makes sure a QCoreApplication exists (sockets and timers need its event loop).
void ensureApplication();

struct StatusReport {
  int kind = 0;
  int value = 0;
  QString text;
  bool operator==(const StatusReport&) const = default;
};

// Records every report of the engine it is bound to (pass &probe as the owner and
// EngineProbe::callback as the function).
class EngineProbe {
 public:
  static void callback(void* owner, int kind, int value, const QString& text);

  QList<StatusReport> reports;
  // When each report arrived (steady clock), one per entry of `reports`.
  std::vector<std::chrono::steady_clock::time_point> reportTimes;

  QStringList messages() const;          // texts of the StatusMessage reports, in order
  QList<int> progressValues() const;     // values of the StatusProgress reports, in order
  int count(int kind) const;
  bool finished() const;                 // a StatusSucceeded or StatusFailed arrived
  // Compact transcript for failure output: "M:text", "P:value", "S", "F".
  QStringList transcript() const;
  // True when no StatusSucceeded follows a StatusFailed: a failed upgrade stays failed.
  bool noSuccessAfterFailure() const;
  void clear() {
    reports.clear();
    reportTimes.clear();
  }
};

// A frame written as hex text (header and payload, spaces allowed) with its checksum
// appended: the crafted answers of a scripted device.
QByteArray answerFrame(const char* hexText);

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);

// Waits until the engine reports the end of the upgrade (StatusSucceeded or StatusFailed)
// and its state is terminal, then lets pending events run for settleMs.
bool waitForEnd(const ORVCRoVivazava& engine, const EngineProbe& probe, int timeoutMs, int settleMs = 30);

// A .bin/.bi2 file: `size` bytes with the identification block at offset 16 (type, new
// version word, minimum version word, all big-endian 32-bit) and a counting pattern
// elsewhere. Sizes below 34 give the pattern alone.
QByteArray firmwareFile(int size, quint32 type, quint32 newVersionWord, quint32 minimumWord = 0);

// The uploads and the I2C flashing settle to a known outcome whatever the ports, so tests
// shorten the waits: stepMs 20 and flashWaitMs 600 keep the 30 countdown steps. The
// restart deadline ends with the flashing wait: a single reconnection attempt.
EngineSettings quickSettings(quint16 commonPort = 8010, quint16 filePort = 8004, quint16 httpPort = 80);

// Expected transcripts (see EngineProbe::transcript) of the stages of a whole upgrade
// with the files of the engine tests: a 1000-byte .bin, a 130-byte .web, a 100-byte .bi2.
// The flashing wait: the 30 countdown values and a final 0.
QStringList flashingCountdown();
// Upload progress of a 1000-byte .bin: 16 chunks.
QStringList binUploadProgress1000();
// "Upload bin file." to "Read new firmware version.", with the given upload progress.
QStringList binStageTranscript(const QStringList& uploadProgress = binUploadProgress1000());
QStringList webStageTranscript();
QStringList i2cStageTranscript();
// A whole successful upgrade with the selected files: the version check, each stage, "S".
QStringList pathTranscript(bool bin, bool web, bool bi2);

// The files of the engine tests: a 1000-byte .bin of type 00010001, version 1.5; a 130-byte
// .web; a 100-byte .bi2 of type 00050001, version 1.3.
const QByteArray& pathBin();
const QByteArray& pathWeb();
const QByteArray& pathBi2();

// Every selection of files a whole upgrade can take.
struct PathCase {
  const char* name;
  bool bin, bi2, web;
};
const std::vector<PathCase>& pathCases();

// Starts the rig's engine (LoopbackRig, or a lab rig with the same members) with the
// selected files of the engine tests and runs the upgrade to its end; fails, with the
// transcript, unless it ends exactly as pathTranscript() says.
template <class Rig>
::testing::AssertionResult runWholePath(Rig& rig, bool bin, bool bi2, bool web) {
  if (!rig.constructed) return ::testing::AssertionFailure() << "the engine was not constructed";
  if (!rig.start(bin ? &pathBin() : nullptr, bi2 ? &pathBi2() : nullptr, web ? &pathWeb() : nullptr))
    return ::testing::AssertionFailure() << "the upgrade did not start";
  const bool ended = rig.runToEnd();
  const QStringList transcript = rig.probe.transcript();
  const QStringList expected = pathTranscript(bin, web, bi2);
  if (ended && transcript == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (ended ? "" : "the upgrade did not end\n") << "transcript:\n"
                                       << transcript.join('\n').toStdString() << "\nexpected:\n"
                                       << expected.join('\n').toStdString();
}

}  // namespace orvane::test

// Readable test output for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* os) { *os << bytes.toHex(' ').toStdString(); }
