#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <vector>

// The targets file of a fleet run: one device, range or CIDR block a line, each with the
// files for its devices. Reading it is a pure function of the text; nothing is sent.
//
//   # comment (also after a target)
//   10.77.1.3
//   10.77.1.4  bin=gw-3.11.bin web=site.web
//   10.77.1.5  bi2=sensor.bi2 i2ca=80
//   10.77.2.0/24
//   10.77.3.10-10.77.3.40  bin=other.bin
//
// A target is an IPv4 address, a range "A-B" (A not above B) or a CIDR block "A/N" (N 16 to
// 32, A the block's first address; blocks of more than two addresses leave out their
// network and broadcast addresses). Words are separated by blanks (spaces, tabs); "#"
// starts a comment anywhere, so a file name cannot hold "#" (nor a blank). bi2= and i2ca=
// come together. Lines end in LF or CR LF, are valid UTF-8 without control characters, and
// hold at most 4096 bytes.

// The files named for a target; an empty path: the command line's file of that kind.
// Paths are absolute (a relative one is taken from the targets file's directory).
struct FleetFiles {
  QString bin, web, bi2;
  int i2cAddress = -1;  // with bi2 only; -1: none named
};

// One line that names targets.
struct FleetTargetLine {
  int line = 0;            // 1-based line number in the file
  quint32 first = 0;       // IPv4 address, host byte order
  quint32 last = 0;        // == first for one address
  bool block = false;      // a range or CIDR block: only the addresses that answer the
                           // discovery request become devices
  FleetFiles files;
};

// A range or block may hold at most this many addresses (a /16).
inline constexpr quint32 kMaxFleetBlockAddresses = 65536;
// All lines together may name at most this many addresses.
inline constexpr quint32 kMaxFleetAddresses = 65536;
// A targets file larger than this is refused unread.
inline constexpr qint64 kMaxFleetTargetsFileBytes = 4 * 1024 * 1024;

struct FleetTargets {
  QList<FleetTargetLine> lines;
  // Empty when the file was read; otherwise one line for the operator naming the file's
  // line and why, e.g. "targets.txt line 7: 10.77.1.300 is not an IPv4 address".
  QString error;
  bool ok() const { return error.isEmpty(); }
};

// Reads a targets file's text. `fileName` names it in errors; `baseDir` resolves relative
// file paths. An address named twice (also inside two blocks) refuses the whole file.
FleetTargets parseFleetTargets(const QByteArray& text, const QString& fileName, const QString& baseDir);
// Reads the file at `path` (at most kMaxFleetTargetsFileBytes) and parses it.
FleetTargets readFleetTargetsFile(const QString& path);

// Every address the lines name, in the file's order (host byte order).
std::vector<quint32> fleetTargetAddresses(const FleetTargets& targets);

// "10.77.1.3" for an address in host byte order.
QString ipv4Text(quint32 address);
