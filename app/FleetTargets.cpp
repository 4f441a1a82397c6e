#include "app/FleetTargets.h"

#include "common/FileNames.h"
#include "common/Utilsfunctions.h"
#include "engine/IpPacket.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxLineBytes = 4096;
// Addresses from 224.0.0.0 on are multicast, reserved or the limited broadcast; 0.x is
// "this network": none of them is a device's own address.
constexpr quint32 kFirstNonDeviceAddress = 0xE0000000u;
constexpr quint32 kFirstDeviceAddress = 0x01000000u;

// Why a line was refused; empty while it is fine.
using Why = QString;

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

// The checks on the raw bytes of one line (its line ending removed).
Why rawLineProblem(QByteArrayView bytes) {
  if (bytes.size() > kMaxLineBytes)
    return QStringLiteral("the line is longer than %1 bytes").arg(kMaxLineBytes);
  if (bytes.contains('\0')) return QStringLiteral("the line holds a NUL byte");
  QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
  const QString text = decoder.decode(bytes);
  if (decoder.hasError()) return QStringLiteral("the line is not valid UTF-8");
  for (QChar c : text) {
    if ((c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7F)
      return QStringLiteral("the line holds a control character");
  }
  return {};
}

// The blank-separated words of a line before its comment.
QStringList wordsOf(const QString& line) {
  const qsizetype hash = line.indexOf(u'#');
  const QString content = hash < 0 ? line : line.left(hash);
  QStringList words;
  QString word;
  for (QChar c : content) {
    if (!isBlank(c)) {
      word += c;
    } else if (!word.isEmpty()) {
      words << word;
      word.clear();
    }
  }
  if (!word.isEmpty()) words << word;
  return words;
}

// Plain decimal digits without a leading zero, at most `maxDigits` of them.
std::optional<int> plainNumber(const QString& text, int maxDigits) {
  if (text.isEmpty() || text.size() > maxDigits || (text.size() > 1 && text.front() == u'0')) return std::nullopt;
  int value = 0;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c.unicode() - u'0');
  }
  return value;
}

Why notAnAddress(const QString& text) {
  return text.isEmpty() ? QStringLiteral("an address is missing") : text + QStringLiteral(" is not an IPv4 address");
}

Why tooLarge(const QString& target, quint64 count) {
  return QStringLiteral("%1 holds %2 addresses, more than %3 (a /16)").arg(target).arg(count).arg(kMaxFleetBlockAddresses);
}

// "A/N": the block's first address, its length 16 to 32. Blocks of more than two
// addresses leave out their network and broadcast addresses.
Why readBlock(const QString& word, qsizetype slash, FleetTargetLine& out) {
  const QString addressText = word.left(slash);
  const std::optional<quint32> address = parseIpv4Text(addressText);
  if (!address) return word + QStringLiteral(": ") + notAnAddress(addressText);
  const std::optional<int> bits = plainNumber(word.mid(slash + 1), 2);
  if (!bits || *bits > 32)
    return word + QStringLiteral(": the prefix length must be a number from 16 to 32");
  if (*bits < 16) return tooLarge(word, quint64(1) << (32 - *bits));
  const quint32 size = quint32(quint64(1) << (32 - *bits));
  const quint32 network = *address & ~(size - 1);
  if (network != *address)
    return word + QStringLiteral(" does not start its block: write %1/%2").arg(ipv4Text(network)).arg(*bits);
  out.first = network;
  out.last = network + (size - 1);
  if (*bits < 31) {
    ++out.first;
    --out.last;
  }
  out.block = true;
  return {};
}

// "A-B": both full addresses, A not above B.
Why readRange(const QString& word, qsizetype dash, FleetTargetLine& out) {
  const QString firstText = word.left(dash), lastText = word.mid(dash + 1);
  const std::optional<quint32> first = parseIpv4Text(firstText);
  if (!first) return word + QStringLiteral(": ") + notAnAddress(firstText);
  const std::optional<quint32> last = parseIpv4Text(lastText);
  if (!last) return word + QStringLiteral(": ") + notAnAddress(lastText);
  if (*first > *last) return word + QStringLiteral(": the first address is above the last");
  const quint64 count = quint64(*last) - *first + 1;
  if (count > kMaxFleetBlockAddresses) return tooLarge(word, count);
  out.first = *first;
  out.last = *last;
  out.block = true;
  return {};
}

// The first word of a line: an address, a range or a CIDR block.
Why readTarget(const QString& word, FleetTargetLine& out) {
  Why why;
  if (const qsizetype slash = word.indexOf(u'/'); slash >= 0) {
    why = readBlock(word, slash, out);
  } else if (const qsizetype dash = word.indexOf(u'-'); dash >= 0) {
    why = readRange(word, dash, out);
  } else if (const std::optional<quint32> address = parseIpv4Text(word)) {
    out.first = out.last = *address;
  } else {
    why = notAnAddress(word);
  }
  if (why.isEmpty() && (out.first < kFirstDeviceAddress || out.last >= kFirstNonDeviceAddress))
    why = word + QStringLiteral(" reaches beyond the device addresses (1.0.0.0 to 223.255.255.255)");
  return why;
}

// One "key=value" word after the target.
Why readFileWord(const QString& word, const QString& baseDir, FleetFiles& files, QStringList& seen) {
  const qsizetype equals = word.indexOf(u'=');
  if (equals < 0)
    return QStringLiteral("\"%1\" is not key=value (the keys are bin, web, bi2 and i2ca)").arg(word);
  const QString key = word.left(equals), value = word.mid(equals + 1);
  QString* path = key == QLatin1String("bin")   ? &files.bin
                  : key == QLatin1String("web") ? &files.web
                  : key == QLatin1String("bi2") ? &files.bi2
                                                : nullptr;
  if (!path && key != QLatin1String("i2ca"))
    return QStringLiteral("unknown key \"%1\" (the keys are bin, web, bi2 and i2ca)").arg(key);
  if (seen.contains(key)) return key + QStringLiteral("= is named twice");
  seen << key;
  if (value.isEmpty()) return key + QStringLiteral("= needs a value");
  if (path) {
    *path = QDir(baseDir).absoluteFilePath(value);
    return {};
  }
  const std::optional<int> address = plainNumber(value, 3);
  if (!address || *address < orvane::proto::kI2cAddressMin || *address > orvane::proto::kI2cAddressMax)
    return QStringLiteral("i2ca=%1: expected a decimal I2C address from %2 to %3")
        .arg(value)
        .arg(orvane::proto::kI2cAddressMin)
        .arg(orvane::proto::kI2cAddressMax);
  files.i2cAddress = *address;
  return {};
}

// A line's words after the raw checks; `out.line` is set by the caller. A line without
// words names no target and leaves `named` false.
Why readLine(const QString& text, const QString& baseDir, FleetTargetLine& out, bool& named) {
  const QStringList words = wordsOf(text);
  named = !words.isEmpty();
  if (!named) return {};
  if (Why why = readTarget(words.front(), out); !why.isEmpty()) return why;
  QStringList seen;
  for (qsizetype i = 1; i < words.size(); ++i) {
    if (Why why = readFileWord(words[i], baseDir, out.files, seen); !why.isEmpty()) return why;
  }
  const bool bi2 = seen.contains(QStringLiteral("bi2")), i2ca = seen.contains(QStringLiteral("i2ca"));
  if (bi2 && !i2ca) return QStringLiteral("bi2= needs i2ca= on the same line");
  if (i2ca && !bi2) return QStringLiteral("i2ca= needs bi2= on the same line");
  return {};
}

QString targetText(const FleetTargetLine& t) {
  return t.first == t.last ? ipv4Text(t.first) : ipv4Text(t.first) + u'-' + ipv4Text(t.last);
}

// Names the first overlap found between two lines: the later line is the one refused.
// Empty when every address is named once.
QString overlapError(const QList<FleetTargetLine>& lines, const QString& fileName) {
  QList<const FleetTargetLine*> sorted;
  sorted.reserve(lines.size());
  for (const FleetTargetLine& l : lines) sorted << &l;
  std::sort(sorted.begin(), sorted.end(), [](const FleetTargetLine* a, const FleetTargetLine* b) {
    return a->first != b->first ? a->first < b->first : a->line < b->line;
  });
  const FleetTargetLine* reach = nullptr;  // the line reaching furthest so far
  const FleetTargetLine* refused = nullptr;
  const FleetTargetLine* other = nullptr;
  for (const FleetTargetLine* l : sorted) {
    if (reach && l->first <= reach->last) {
      const FleetTargetLine* later = l->line > reach->line ? l : reach;
      if (!refused || later->line < refused->line) {
        refused = later;
        other = later == l ? reach : l;
      }
    }
    if (!reach || l->last > reach->last) reach = l;
  }
  if (!refused) return {};
  const quint32 shared = std::max(refused->first, other->first);
  const QString what = refused->first == refused->last && other->first == other->last
                           ? ipv4Text(shared) + QStringLiteral(" is also named on line %1").arg(other->line)
                           : targetText(*refused) + QStringLiteral(" overlaps %1 on line %2 (both hold %3)")
                                                        .arg(targetText(*other))
                                                        .arg(other->line)
                                                        .arg(ipv4Text(shared));
  return QStringLiteral("%1 line %2: %3").arg(fileName).arg(refused->line).arg(what);
}

}  // namespace

std::vector<quint32> fleetTargetAddresses(const FleetTargets& targets) {
  std::vector<quint32> addresses;
  for (const FleetTargetLine& line : targets.lines)
    for (quint64 a = line.first; a <= line.last; ++a) addresses.push_back(quint32(a));
  return addresses;
}

QString ipv4Text(quint32 address) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(address >> 24)
      .arg((address >> 16) & 0xFF)
      .arg((address >> 8) & 0xFF)
      .arg(address & 0xFF);
}

FleetTargets parseFleetTargets(const QByteArray& text, const QString& fileName, const QString& baseDir) {
  FleetTargets result;
  quint64 total = 0;
  qsizetype start = 0;
  int number = 0;
  while (start <= text.size()) {
    qsizetype end = text.indexOf('\n', start);
    if (end < 0) end = text.size();
    QByteArrayView raw = QByteArrayView(text).sliced(start, end - start);
    start = end + 1;
    ++number;
    if (raw.endsWith('\r')) raw.chop(1);
    const auto refuse = [&](const QString& why) {
      result.lines.clear();
      result.error = QStringLiteral("%1 line %2: %3").arg(fileName).arg(number).arg(why);
      return result;
    };
    if (Why why = rawLineProblem(raw); !why.isEmpty()) return refuse(why);
    FleetTargetLine line;
    line.line = number;
    bool named = false;
    if (Why why = readLine(QString::fromUtf8(raw), baseDir, line, named); !why.isEmpty()) return refuse(why);
    if (!named) continue;
    total += quint64(line.last) - line.first + 1;
    if (total > kMaxFleetAddresses)
      return refuse(QStringLiteral("the lines so far name %1 addresses, more than %2").arg(total).arg(kMaxFleetAddresses));
    result.lines << line;
  }
  if (result.lines.isEmpty()) {
    result.error = fileName + QStringLiteral(": no target in the file (one address, range or CIDR block a line)");
    return result;
  }
  result.error = overlapError(result.lines, fileName);
  if (!result.ok()) result.lines.clear();
  return result;
}

namespace {

QString systemText(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// Reads at most kMaxFleetTargetsFileBytes of a regular file; an error line otherwise.
QString readBounded(const QString& path, QByteArray& bytes) {
  const QByteArray name = orvane::encodeFileName(path);
  // O_NONBLOCK: opening a FIFO named by mistake must not wait for a writer.
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return path + QStringLiteral(": cannot be opened (") + systemText(errno) + u')';
  struct stat st {};
  QString error;
  if (::fstat(fd, &st) != 0) {
    error = path + QStringLiteral(": cannot be read (") + systemText(errno) + u')';
  } else if (!S_ISREG(st.st_mode)) {
    error = path + QStringLiteral(": not a regular file");
  } else if (st.st_size > kMaxFleetTargetsFileBytes) {
    error = path + QStringLiteral(": %1 bytes, more than a targets file may have (%2)")
                       .arg(qint64(st.st_size))
                       .arg(kMaxFleetTargetsFileBytes);
  } else {
    // The file may grow while it is read: one byte more than allowed tells.
    bytes.resize(kMaxFleetTargetsFileBytes + 1);
    qint64 got = 0;
    for (;;) {
      const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = path + QStringLiteral(": cannot be read (") + systemText(errno) + u')';
        break;
      }
      if (n == 0 || (got += n) == bytes.size()) break;
    }
    bytes.resize(got);
    if (error.isEmpty() && got > kMaxFleetTargetsFileBytes)
      error = path + QStringLiteral(": more than %1 bytes, more than a targets file may have").arg(kMaxFleetTargetsFileBytes);
  }
  ::close(fd);
  return error;
}

}  // namespace

FleetTargets readFleetTargetsFile(const QString& path) {
  QByteArray bytes;
  const QString error = readBounded(path, bytes);
  if (!error.isEmpty()) {
    FleetTargets refused;
    refused.error = error;
    return refused;
  }
  return parseFleetTargets(bytes, path, QFileInfo(path).absolutePath());
}
