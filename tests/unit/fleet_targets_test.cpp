// The targets file of a fleet run: the line syntax, the refusals with their exact texts,
// whole files (overlaps, totals, no target) and reading the file from disk.
#include "app/FleetTargets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kFile = QStringLiteral("t.txt");
const QString kBase = QStringLiteral("/base");

FleetTargets parse(const QByteArray& text) { return parseFleetTargets(text, kFile, kBase); }

struct GoodLine {
  const char* line;
  const char* first;
  const char* last;
  bool block;
  FleetFiles files;
};

TEST(FleetTargets, ReadsGoodLines) {
  const GoodLine cases[] = {
      {"10.77.1.3", "10.77.1.3", "10.77.1.3", false, {}},
      {"  10.77.1.3\t", "10.77.1.3", "10.77.1.3", false, {}},
      {"10.77.1.3#comment", "10.77.1.3", "10.77.1.3", false, {}},
      {"10.77.1.3 # comment bin=x.bin", "10.77.1.3", "10.77.1.3", false, {}},
      {"10.77.1.3\r", "10.77.1.3", "10.77.1.3", false, {}},
      {"10.77.1.4  bin=gw-3.11.bin web=site.web", "10.77.1.4", "10.77.1.4", false,
       {"/base/gw-3.11.bin", "/base/site.web", "", -1}},
      {"10.77.1.5 bi2=sensor.bi2 i2ca=80", "10.77.1.5", "10.77.1.5", false, {"", "", "/base/sensor.bi2", 80}},
      {"10.77.1.5 i2ca=8 bi2=/abs/s.bi2", "10.77.1.5", "10.77.1.5", false, {"", "", "/abs/s.bi2", 8}},
      {"10.77.1.5 bi2=sub/s.bi2 i2ca=119 bin=../up.bin", "10.77.1.5", "10.77.1.5", false,
       {"/base/../up.bin", "", "/base/sub/s.bi2", 119}},
      {"10.77.2.0/24", "10.77.2.1", "10.77.2.254", true, {}},
      {"10.77.0.0/16", "10.77.0.1", "10.77.255.254", true, {}},
      {"10.77.2.4/30", "10.77.2.5", "10.77.2.6", true, {}},
      {"10.77.2.4/31", "10.77.2.4", "10.77.2.5", true, {}},
      {"10.77.2.7/32", "10.77.2.7", "10.77.2.7", true, {}},
      {"10.77.3.10-10.77.3.40  bin=other.bin", "10.77.3.10", "10.77.3.40", true, {"/base/other.bin", "", "", -1}},
      {"10.77.3.10-10.77.3.10", "10.77.3.10", "10.77.3.10", true, {}},
      {"10.77.0.0-10.77.255.255", "10.77.0.0", "10.77.255.255", true, {}},
      {"10.77.1.3 bin=na\xC3\xAFve.bin", "10.77.1.3", "10.77.1.3", false, {"/base/na\xC3\xAFve.bin", "", "", -1}},
  };
  for (const GoodLine& c : cases) {
    SCOPED_TRACE(c.line);
    const FleetTargets t = parse(QByteArray(c.line));
    ASSERT_TRUE(t.ok()) << t.error.toStdString();
    ASSERT_EQ(t.lines.size(), 1);
    const FleetTargetLine& l = t.lines.front();
    EXPECT_EQ(l.line, 1);
    EXPECT_EQ(ipv4Text(l.first).toStdString(), c.first);
    EXPECT_EQ(ipv4Text(l.last).toStdString(), c.last);
    EXPECT_EQ(l.block, c.block);
    EXPECT_EQ(l.files.bin, c.files.bin);
    EXPECT_EQ(l.files.web, c.files.web);
    EXPECT_EQ(l.files.bi2, c.files.bi2);
    EXPECT_EQ(l.files.i2cAddress, c.files.i2cAddress);
  }
}

struct BadLine {
  QByteArray line;
  const char* error;
};

TEST(FleetTargets, RefusesBadLinesWithTheirReason) {
  const BadLine cases[] = {
      {"10.77.1.300", "t.txt line 1: 10.77.1.300 is not an IPv4 address"},
      {"10.77.1", "t.txt line 1: 10.77.1 is not an IPv4 address"},
      {"010.77.1.3", "t.txt line 1: 010.77.1.3 is not an IPv4 address"},
      {"gateway.example", "t.txt line 1: gateway.example is not an IPv4 address"},
      {"bin=x.bin", "t.txt line 1: bin=x.bin is not an IPv4 address"},
      {"10.77.2.5/24", "t.txt line 1: 10.77.2.5/24 does not start its block: write 10.77.2.0/24"},
      {"10.77.2.0/15", "t.txt line 1: 10.77.2.0/15 holds 131072 addresses, more than 65536 (a /16)"},
      {"10.0.0.0/8", "t.txt line 1: 10.0.0.0/8 holds 16777216 addresses, more than 65536 (a /16)"},
      {"10.77.2.0/33", "t.txt line 1: 10.77.2.0/33: the prefix length must be a number from 16 to 32"},
      {"10.77.2.0/024", "t.txt line 1: 10.77.2.0/024: the prefix length must be a number from 16 to 32"},
      {"10.77.2.0/", "t.txt line 1: 10.77.2.0/: the prefix length must be a number from 16 to 32"},
      {"10.77.2.0/+24", "t.txt line 1: 10.77.2.0/+24: the prefix length must be a number from 16 to 32"},
      {"10.77.2/24", "t.txt line 1: 10.77.2/24: 10.77.2 is not an IPv4 address"},
      {"10.77.3.40-10.77.3.10", "t.txt line 1: 10.77.3.40-10.77.3.10: the first address is above the last"},
      {"10.77.3.10-40", "t.txt line 1: 10.77.3.10-40: 40 is not an IPv4 address"},
      {"-10.77.3.40", "t.txt line 1: -10.77.3.40: an address is missing"},
      {"10.76.255.255-10.78.0.0",
       "t.txt line 1: 10.76.255.255-10.78.0.0 holds 65538 addresses, more than 65536 (a /16)"},
      {"0.0.0.0/16", "t.txt line 1: 0.0.0.0/16 reaches beyond the device addresses (1.0.0.0 to 223.255.255.255)"},
      {"255.255.255.255",
       "t.txt line 1: 255.255.255.255 reaches beyond the device addresses (1.0.0.0 to 223.255.255.255)"},
      {"223.255.255.0-224.0.0.1",
       "t.txt line 1: 223.255.255.0-224.0.0.1 reaches beyond the device addresses (1.0.0.0 to 223.255.255.255)"},
      {"10.77.1.3 bin", "t.txt line 1: \"bin\" is not key=value (the keys are bin, web, bi2 and i2ca)"},
      {"10.77.1.3 10.77.1.4", "t.txt line 1: \"10.77.1.4\" is not key=value (the keys are bin, web, bi2 and i2ca)"},
      {"10.77.1.3 BIN=x.bin", "t.txt line 1: unknown key \"BIN\" (the keys are bin, web, bi2 and i2ca)"},
      {"10.77.1.3 =x.bin", "t.txt line 1: unknown key \"\" (the keys are bin, web, bi2 and i2ca)"},
      {"10.77.1.3 bin=a.bin bin=b.bin", "t.txt line 1: bin= is named twice"},
      {"10.77.1.3 web=a.web web=", "t.txt line 1: web= is named twice"},
      {"10.77.1.3 bin=", "t.txt line 1: bin= needs a value"},
      {"10.77.1.3 bi2=s.bi2 i2ca=", "t.txt line 1: i2ca= needs a value"},
      {"10.77.1.3 bi2=s.bi2", "t.txt line 1: bi2= needs i2ca= on the same line"},
      {"10.77.1.3 i2ca=80", "t.txt line 1: i2ca= needs bi2= on the same line"},
      {"10.77.1.3 bi2=s.bi2 i2ca=7", "t.txt line 1: i2ca=7: expected a decimal I2C address from 8 to 119"},
      {"10.77.1.3 bi2=s.bi2 i2ca=120", "t.txt line 1: i2ca=120: expected a decimal I2C address from 8 to 119"},
      {"10.77.1.3 bi2=s.bi2 i2ca=0x50", "t.txt line 1: i2ca=0x50: expected a decimal I2C address from 8 to 119"},
      {"10.77.1.3 bi2=s.bi2 i2ca=080", "t.txt line 1: i2ca=080: expected a decimal I2C address from 8 to 119"},
      {QByteArray("10.77.1.3\0", 10), "t.txt line 1: the line holds a NUL byte"},
      {"10.77.1.3 bin=\xFF.bin", "t.txt line 1: the line is not valid UTF-8"},
      {"10.77.1.3 bin=\xC3.bin", "t.txt line 1: the line is not valid UTF-8"},
      {"10.77.1.3\rbin=x.bin", "t.txt line 1: the line holds a control character"},
      {"10.77.1.3 bin=a\x1b[2Jb", "t.txt line 1: the line holds a control character"},
      {"10.77.1.3 " + QByteArray(4087, 'x'), "t.txt line 1: the line is longer than 4096 bytes"},
  };
  for (const BadLine& c : cases) {
    SCOPED_TRACE(c.line.toStdString());
    const FleetTargets t = parse(c.line);
    EXPECT_EQ(t.error.toStdString(), c.error);
    EXPECT_TRUE(t.lines.isEmpty());
  }
}

TEST(FleetTargets, ALineOfExactly4096BytesIsRead) {
  const QByteArray line = "10.77.1.3 bin=" + QByteArray(4096 - 14, 'x');
  ASSERT_EQ(line.size(), 4096);
  const FleetTargets t = parse(line + "\r\n");
  EXPECT_TRUE(t.ok()) << t.error.toStdString();
}

struct WholeFile {
  const char* what;
  QByteArray text;
  const char* error;  // empty: read, with `count` lines
  int count;
};

TEST(FleetTargets, ReadsOrRefusesWholeFiles) {
  const WholeFile cases[] = {
      {"example", "# comment\n10.77.1.3\n10.77.1.4  bin=gw.bin web=site.web\n\n10.77.1.5  bi2=s.bi2 i2ca=80\n"
                  "10.77.2.0/24\n10.77.3.10-10.77.3.40  bin=other.bin\n", "", 5},
      {"CR LF and no final line feed", "10.77.1.3\r\n\r\n10.77.1.4", "", 2},
      {"network address beside its block", "10.77.2.0/24\n10.77.2.0\n10.77.2.255\n", "", 3},
      {"neighbouring blocks", "10.77.2.0/31\n10.77.2.2/31\n10.77.2.4-10.77.2.9\n", "", 3},
      {"empty file", "", "t.txt: no target in the file (one address, range or CIDR block a line)", 0},
      {"comments only", "# a\n\n   # b\r\n", "t.txt: no target in the file (one address, range or CIDR block a line)", 0},
      {"bad line after good ones", "10.77.1.3\n# c\n10.77.1.999\n", "t.txt line 3: 10.77.1.999 is not an IPv4 address",
       0},
      {"address named twice", "10.77.1.3\n10.77.1.4\n10.77.1.3 bin=x.bin\n",
       "t.txt line 3: 10.77.1.3 is also named on line 1", 0},
      {"address inside a block", "10.77.2.0/24\n10.77.2.9\n",
       "t.txt line 2: 10.77.2.9 overlaps 10.77.2.1-10.77.2.254 on line 1 (both hold 10.77.2.9)", 0},
      {"block over an earlier address", "10.77.2.9\n10.77.2.0/24\n",
       "t.txt line 2: 10.77.2.1-10.77.2.254 overlaps 10.77.2.9 on line 1 (both hold 10.77.2.9)", 0},
      {"overlapping ranges", "10.77.3.10-10.77.3.40\n10.77.3.1-10.77.3.10\n",
       "t.txt line 2: 10.77.3.1-10.77.3.10 overlaps 10.77.3.10-10.77.3.40 on line 1 (both hold 10.77.3.10)", 0},
      {"the first conflicting line is named", "10.77.9.0/24\n10.77.1.5\n10.77.1.5\n10.77.9.7\n",
       "t.txt line 3: 10.77.1.5 is also named on line 2", 0},
      {"too many addresses together", "10.77.0.0/16\n10.79.1.1\n10.79.1.2\n10.79.1.3\n",
       "t.txt line 4: the lines so far name 65537 addresses, more than 65536", 0},
  };
  for (const WholeFile& c : cases) {
    SCOPED_TRACE(c.what);
    const FleetTargets t = parse(c.text);
    EXPECT_EQ(t.error.toStdString(), c.error);
    EXPECT_EQ(t.lines.size(), c.count);
  }
}

TEST(FleetTargets, LinesKeepTheirNumbersAndOrder) {
  const FleetTargets t = parse("# head\n10.77.1.9\n\n10.77.1.3 bin=a.bin\r\n10.77.2.0/30\n");
  ASSERT_TRUE(t.ok()) << t.error.toStdString();
  ASSERT_EQ(t.lines.size(), 3);
  EXPECT_EQ(t.lines[0].line, 2);
  EXPECT_EQ(t.lines[1].line, 4);
  EXPECT_EQ(t.lines[2].line, 5);
  EXPECT_EQ(t.lines[1].files.bin, QStringLiteral("/base/a.bin"));
  EXPECT_EQ(ipv4Text(t.lines[2].first), QStringLiteral("10.77.2.1"));
}

TEST(FleetTargets, AddressTexts) {
  EXPECT_EQ(ipv4Text(0), QStringLiteral("0.0.0.0"));
  EXPECT_EQ(ipv4Text(0x0A4D0103), QStringLiteral("10.77.1.3"));
  EXPECT_EQ(ipv4Text(0xFFFFFFFF), QStringLiteral("255.255.255.255"));
}

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

TEST(FleetTargets, ReadsTheFileAndResolvesAgainstItsDirectory) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("targets.txt"));
  ASSERT_TRUE(writeFile(path, "10.77.1.3 bin=gw.bin\n10.77.1.999\n"));
  FleetTargets t = readFleetTargetsFile(path);
  EXPECT_EQ(t.error, path + QStringLiteral(" line 2: 10.77.1.999 is not an IPv4 address"));
  ASSERT_TRUE(writeFile(path, "10.77.1.3 bin=gw.bin\n"));
  t = readFleetTargetsFile(path);
  ASSERT_TRUE(t.ok()) << t.error.toStdString();
  EXPECT_EQ(t.lines.front().files.bin, QDir(dir.path()).filePath(QStringLiteral("gw.bin")));
}

TEST(FleetTargets, RefusesFilesItCannotRead) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString missing = dir.filePath(QStringLiteral("missing.txt"));
  EXPECT_EQ(readFleetTargetsFile(missing).error,
            missing + QStringLiteral(": cannot be opened (No such file or directory)"));
  EXPECT_EQ(readFleetTargetsFile(dir.path()).error, dir.path() + QStringLiteral(": not a regular file"));
  const QString fifo = dir.filePath(QStringLiteral("fifo"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  EXPECT_EQ(readFleetTargetsFile(fifo).error, fifo + QStringLiteral(": not a regular file"));
  const QString big = dir.filePath(QStringLiteral("big.txt"));
  ASSERT_TRUE(writeFile(big, QByteArray(kMaxFleetTargetsFileBytes + 1, '#')));
  EXPECT_EQ(readFleetTargetsFile(big).error,
            big + QStringLiteral(": 4194305 bytes, more than a targets file may have (4194304)"));
  if (::geteuid() != 0) {  // root reads a file without read permission all the same
    const QString locked = dir.filePath(QStringLiteral("locked.txt"));
    ASSERT_TRUE(writeFile(locked, "10.77.1.3\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0), 0);
    EXPECT_EQ(readFleetTargetsFile(locked).error, locked + QStringLiteral(": cannot be opened (Permission denied)"));
  }
}

}  // namespace
