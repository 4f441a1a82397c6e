#pragma once

#include "app/RunReport.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

// What a fleet run prints about its devices and at its end. Pure functions of the
// devices' run summaries (app/RunReport.h), so the window, the terminal and scripts
// read the same facts.

// How a device is named on every line: "10.77.1.3 Gateway roof", or the address alone
// when the device's name is not known (empty or blank). The name comes from the network:
// its control characters show as '?' and the spaces around it are dropped.
QString fleetDeviceLabel(const RunSummary& device);

// One line of a device's progress or outcome: "10.77.1.3 Gateway roof: <text>"; control
// characters of the text show as '?' as well.
QString fleetDeviceLine(const RunSummary& device, const QString& text);

// The end line: "7 upgraded, 2 already current, 1 unreachable, 0 failed (of 10) in 41 s".
// The four counts always appear; other outcomes follow "failed" when there are any, in this
// order: incompatible, unconfirmed, file refused, refused, cancelled, checked (then upgraded
// and already current of a plan, match, mismatch). A plan (every device's mode "check")
// starts with "3 checked" in place of "upgraded" and "already current":
// "3 checked, 1 unreachable, 0 failed (of 4) in 2.5 s". A result outside the vocabulary
// counts as failed. The time: one decimal below 10 s ("in 2.5 s"), else whole seconds
// rounded ("in 41 s").
QString fleetSummaryLine(const QList<RunSummary>& devices, double seconds);

// The end table, one line per device in the order given, with a header line: address,
// name, type, from → to, result, seconds, reason; columns aligned for a terminal by their
// width on it, the reason last so that a long one is never cut. "-" where a value is not
// known; the versions "3.10 → 3.11", or "3.11" alone when the run did not change it
// ("3.10 → ?" when activated but not read again). Names and reasons show control
// characters as '?' (a reason's line breaks and tabs as spaces). No line ends in spaces.
QStringList fleetSummaryTable(const QList<RunSummary>& devices);

// The exit code of the whole run: 0 when every device ended upgraded or already current
// (or checked, for a plan), otherwise the code of the worst outcome: unconfirmed (6) before
// failed (1) before cancelled (130) before unreachable (3) before incompatible (4) before
// file refused (5) before refused (2).
int fleetExitCode(const QList<RunSummary>& devices);

// The last JSON line of a fleet run:
// {"event":"summary","mode":"upgrade"|"check","devices":N,"counts":{"upgraded":7,...},
//  "exitCode":E,"seconds":S,"started":ISO,"results":[{"ip","name","mac","type","from","to",
//  "result","reason","seconds"},...],"program":VERSION}
// "counts" has every result that occurred; "started" is written as the result event
// writes it (utcTimeText); "type", "from" and "to" are those of the result event (null
// when not known); "name" and "mac" are null when not known.
QJsonObject fleetSummaryEvent(const QList<RunSummary>& devices, const QString& mode, double seconds,
                              const QDateTime& started);

// What a fleet run with --check would do to one device, after the device was read:
// "would upgrade 3.10 → 3.11", "already at 3.11: skip", "downgrade 3.13 → 3.12: refused
// (--allow-downgrade to flash it)", "incompatible: ...", "unreachable: ...".
QString fleetPlanText(const RunSummary& checked, bool force, bool allowDowngrade);

// The live table a fleet run keeps at the bottom of a terminal: one line per running
// device (label, stage, percentage) and "n of m done". Lines printed through it appear
// above the table; the table is redrawn at most every 100 ms or when a device starts or ends.
// It is never taller than the terminal less one row (the devices that do not fit are
// counted in "+N more running") and its lines are cut to the terminal's width less one
// column. Each redraw is one write. When standard output is not a terminal, the table is
// never drawn and printLine prints plain lines.
class FleetLiveTable {
 public:
  static constexpr qint64 kRedrawIntervalMs = 100;

  // On standard output, when it is a terminal.
  explicit FleetLiveTable(int total);
  // On `out`, always as a terminal: `clockMs` gives a monotonic time in milliseconds,
  // `size` the terminal's columns and rows (asked at every redraw).
  FleetLiveTable(int total, FILE* out, std::function<qint64()> clockMs, std::function<QSize()> size);
  ~FleetLiveTable();  // leaves the terminal with the table erased
  FleetLiveTable(const FleetLiveTable&) = delete;
  FleetLiveTable& operator=(const FleetLiveTable&) = delete;

  void deviceStarted(const QString& ip, const QString& label);
  void deviceStage(const QString& ip, const QString& stage);
  void deviceProgress(const QString& ip, int percent);
  void deviceEnded(const QString& ip);
  // A line above the table (a device's message, a warning).
  void printLine(const QString& line);
  // Draws a change left waiting by a report that came too soon after the last redraw;
  // for a caller that ticks while no report comes.
  void refresh();
  // Erases the table before the summary is printed; it comes back with the next device
  // report, and printLine prints plain lines until then.
  void clear();

 private:
  struct Private;
  Private* d;
};
