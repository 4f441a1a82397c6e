#pragma once

#include "app/RunReport.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// What a fleet run prints about its devices and at its end. Pure functions of the
// devices' run summaries (app/RunReport.h), so the window, the terminal and scripts
// read the same facts.

// How a device is named on every line: "10.77.1.3 Gateway roof", or the address alone
// when the device's name is not known.
QString fleetDeviceLabel(const RunSummary& device);

// One line of a device's progress or outcome: "10.77.1.3 Gateway roof: <text>".
QString fleetDeviceLine(const RunSummary& device, const QString& text);

// The end line: "7 upgraded, 2 already current, 1 unreachable, 0 failed (of 10) in 41 s".
// The four counts always appear; other outcomes ("1 incompatible", "1 unconfirmed",
// "1 file refused", "3 cancelled") follow "failed" when there are any.
QString fleetSummaryLine(const QList<RunSummary>& devices, double seconds);

// The end table, one line per device in the order given, with a header line: address,
// name, type, from → to, result, reason, seconds; columns aligned for a terminal.
QStringList fleetSummaryTable(const QList<RunSummary>& devices);

// The exit code of the whole run: 0 when every device ended upgraded or already current
// (or checked, for a plan), otherwise the code of the worst outcome: unconfirmed (6) before
// failed (1) before cancelled (130) before unreachable (3) before incompatible (4) before
// file refused (5) before refused (2).
int fleetExitCode(const QList<RunSummary>& devices);

// The last JSON line of a fleet run:
// {"event":"summary","mode":"upgrade"|"check","devices":N,"counts":{"upgraded":7,...},
//  "exitCode":E,"seconds":S,"started":ISO,"results":[{"ip","name","mac","type","from","to",
//  "result","reason","seconds"},...]}
QJsonObject fleetSummaryEvent(const QList<RunSummary>& devices, const QString& mode, double seconds,
                              const QDateTime& started);

// What a fleet run with --check would do to one device, after the device was read:
// "would upgrade 3.10 → 3.11", "already at 3.11: skip", "downgrade 3.13 → 3.12: refused
// (--allow-downgrade to flash it)", "incompatible: ...", "unreachable: ...".
QString fleetPlanText(const RunSummary& checked, bool force, bool allowDowngrade);

// The live table a fleet run keeps at the bottom of a terminal: one line per running
// device (label, stage, percentage) and "n of m done". Lines printed through it appear
// above the table; the table is redrawn at most every 100 ms or when a device starts or ends.
// Where the live table draws: by default standard output, its size from the terminal.
struct FleetTerminal {
  std::function<void(const QByteArray&)> write;  // each redraw in one call
  int columns = 0, rows = 0;                     // 0: asked from the terminal (80 x 24 if it cannot tell)
  std::function<qint64()> clockMs;               // monotonic; default: since construction
};

class FleetLiveTable {
 public:
  static constexpr qint64 kRedrawIntervalMs = 100;
  explicit FleetLiveTable(int total, FleetTerminal terminal = {});
  ~FleetLiveTable();  // leaves the terminal with the table erased
  FleetLiveTable(const FleetLiveTable&) = delete;
  FleetLiveTable& operator=(const FleetLiveTable&) = delete;

  void deviceStarted(const QString& ip, const QString& label);
  void deviceStage(const QString& ip, const QString& stage);
  void deviceProgress(const QString& ip, int percent);
  void deviceEnded(const QString& ip);
  // A line above the table (a device's message, a warning).
  void printLine(const QString& line);
  // Erases the table before the summary is printed.
  void clear();

 private:
  struct Private;
  Private* d;
};
