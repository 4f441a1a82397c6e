#include "app/FleetTargets.h"

#include "common/FileNames.h"
#include "common/Utilsfunctions.h"
#include "engine/IpPacket.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxLineBytes = 4096;
const QString kIpv4 = QStringLiteral("(four decimal numbers 0 to 255, e.g. 10.77.1.3)");

// A text shown in an error: control characters would break the line.
QString shown(QString text) {
  for (QChar& c : text)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
  return text;
}

struct LineResult {
  std::optional<FleetTargetLine> target;  // empty for a blank or comment line
  QString error;
};

// "A", "A-B" or "A/N" into first, last and whether it is a block.
QString readTarget(const QString& text, FleetTargetLine& t) {
  const qsizetype dash = text.indexOf(u'-'), slash = text.indexOf(u'/');
  const QString firstText = text.left(dash >= 0 ? dash : slash >= 0 ? slash : text.size());
  const std::optional<quint32> first = parseIpv4Text(firstText);
  if (!first) return shown(firstText) + QStringLiteral(" is not an IPv4 address ") + kIpv4;
  t.first = t.last = *first;
  if (dash >= 0) {
    const QString lastText = text.mid(dash + 1);
    const std::optional<quint32> last = parseIpv4Text(lastText);
    if (!last) return shown(lastText) + QStringLiteral(" is not an IPv4 address ") + kIpv4;
    if (*last < *first) return QStringLiteral("the range ") + shown(text) + QStringLiteral(" ends before it starts");
    t.last = *last;
    t.block = true;
  } else if (slash >= 0) {
    const QString prefixText = text.mid(slash + 1);
    bool ok = false;
    const int prefix = prefixText.toInt(&ok);
    if (!ok || prefixText.size() > 2 || prefix < 0 || prefix > 32 || !prefixText.front().isDigit())
      return shown(text) + QStringLiteral(": the prefix length must be a number from 16 to 32");
    if (prefix < 16) return shown(text) + QStringLiteral(" is larger than a /16 (at most 65536 addresses a block)");
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    if ((*first & mask) != *first)
      return shown(text) + QStringLiteral(" does not start its block: use ") + ipv4Text(*first & mask) +
             QStringLiteral("/%1").arg(prefix);
    t.last = *first | ~mask;
    if (prefix < 31) {  // the network and broadcast addresses hold no device
      ++t.first;
      --t.last;
    }
    t.block = true;
  }
  if (quint64(t.last) - t.first + 1 > kMaxFleetBlockAddresses)
    return shown(text) + QStringLiteral(" is larger than a /16 (at most 65536 addresses a block)");
  return {};
}

// One "key=value" of a line.
QString readSetting(const QString& word, const QString& baseDir, FleetFiles& files, QStringList& seen) {
  const qsizetype eq = word.indexOf(u'=');
  const QString key = word.left(eq), value = eq >= 0 ? word.mid(eq + 1) : QString();
  if (eq < 0 || !QStringList{"bin", "web", "bi2", "i2ca"}.contains(key))
    return QStringLiteral("unknown setting \"") + shown(word) + QStringLiteral("\": expected bin=, web=, bi2= or i2ca=");
  if (seen.contains(key)) return key + QStringLiteral("= is given twice");
  seen.append(key);
  if (value.isEmpty()) return key + (key == QLatin1String("i2ca") ? QStringLiteral("= needs an I2C address")
                                                                  : QStringLiteral("= needs a file name"));
  if (key == QLatin1String("i2ca")) {
    bool ok = value.size() <= 3 && value.front().isDigit();
    const int a = ok ? value.toInt(&ok) : 0;
    if (!ok || a < orvane::proto::kI2cAddressMin || a > orvane::proto::kI2cAddressMax)
      return QStringLiteral("i2ca=") + shown(value) + QStringLiteral(": expected a decimal I2C address from %1 to %2")
                                                          .arg(orvane::proto::kI2cAddressMin)
                                                          .arg(orvane::proto::kI2cAddressMax);
    files.i2cAddress = a;
    return {};
  }
  const QString path = QDir::isAbsolutePath(value) ? value : baseDir + u'/' + value;
  (key == QLatin1String("bin") ? files.bin : key == QLatin1String("web") ? files.web : files.bi2) = path;
  return {};
}

LineResult readLine(const QString& line, const QString& baseDir) {
  const QString text = line.left(line.indexOf(u'#') >= 0 ? line.indexOf(u'#') : line.size());
  const QStringList words = text.split(QRegularExpression(QStringLiteral("[ \\t]+")), Qt::SkipEmptyParts);
  if (words.isEmpty()) return {};
  FleetTargetLine t;
  if (QString e = readTarget(words.front(), t); !e.isEmpty()) return {std::nullopt, e};
  QStringList seen;
  for (qsizetype i = 1; i < words.size(); ++i)
    if (QString e = readSetting(words[i], baseDir, t.files, seen); !e.isEmpty()) return {std::nullopt, e};
  if (t.files.bi2.isEmpty() != (t.files.i2cAddress < 0))
    return {std::nullopt, t.files.bi2.isEmpty() ? QStringLiteral("i2ca= needs bi2= on the same line")
                                                : QStringLiteral("bi2= needs i2ca= on the same line")};
  return {t, {}};
}

// An address named by two lines: the later line's error, or an empty text.
QString overlapError(const QList<FleetTargetLine>& lines, const QString& fileName) {
  std::vector<const FleetTargetLine*> sorted;
  for (const FleetTargetLine& l : lines) sorted.push_back(&l);
  std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
  for (size_t i = 1; i < sorted.size(); ++i) {
    const FleetTargetLine* a = sorted[i - 1];
    const FleetTargetLine* b = sorted[i];
    if (b->first > a->last) continue;
    const FleetTargetLine* later = a->line > b->line ? a : b;
    const FleetTargetLine* earlier = later == a ? b : a;
    return fileName + QStringLiteral(" line %1: ").arg(later->line) + ipv4Text(std::max(a->first, b->first)) +
           QStringLiteral(" is also named on line %1; each device may appear once").arg(earlier->line);
  }
  return {};
}

}  // namespace

QString ipv4Text(quint32 address) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(address >> 24)
      .arg((address >> 16) & 0xFF)
      .arg((address >> 8) & 0xFF)
      .arg(address & 0xFF);
}

FleetTargets parseFleetTargets(const QByteArray& text, const QString& fileName, const QString& baseDir) {
  FleetTargets out;
  const QList<QByteArray> rawLines = text.split('\n');
  quint64 total = 0;
  for (qsizetype i = 0; i < rawLines.size(); ++i) {
    const QString where = fileName + QStringLiteral(" line %1: ").arg(i + 1);
    QByteArray raw = rawLines[i];
    if (raw.endsWith('\r')) raw.chop(1);
    if (raw.size() > kMaxLineBytes) return {{}, where + QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes)};
    if (raw.contains('\0')) return {{}, where + QStringLiteral("holds a NUL byte")};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString line = decoder.decode(raw);
    if (decoder.hasError()) return {{}, where + QStringLiteral("is not valid UTF-8")};
    LineResult r = readLine(line, baseDir);
    if (!r.error.isEmpty()) return {{}, where + r.error};
    if (!r.target) continue;
    r.target->line = int(i + 1);
    total += quint64(r.target->last) - r.target->first + 1;
    if (total > kMaxFleetAddresses)
      return {{}, where + QStringLiteral("the file names more than %1 addresses").arg(kMaxFleetAddresses)};
    out.lines.append(*r.target);
  }
  if (out.lines.isEmpty()) return {{}, fileName + QStringLiteral(": no device, range or block in the file")};
  out.error = overlapError(out.lines, fileName);
  if (!out.error.isEmpty()) out.lines.clear();
  return out;
}

FleetTargets readFleetTargetsFile(const QString& path) {
  const QByteArray encoded = orvane::encodeFileName(path);
  const int fd = ::open(encoded.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {{}, path + QStringLiteral(": cannot be read: ") + QString::fromLocal8Bit(std::strerror(errno))};
  struct stat st {};
  QString error;
  QByteArray bytes;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + QStringLiteral(": not a regular file");
  } else if (st.st_size > kMaxFleetTargetsFileBytes) {
    error = path + QStringLiteral(": larger than %1 MiB").arg(kMaxFleetTargetsFileBytes / (1024 * 1024));
  } else {
    bytes.resize(qsizetype(st.st_size));
    qsizetype got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += n;
    }
    if (got != bytes.size()) error = path + QStringLiteral(": cannot be read whole");
  }
  ::close(fd);
  if (!error.isEmpty()) return {{}, error};
  return parseFleetTargets(bytes, path, QFileInfo(path).absolutePath());
}
