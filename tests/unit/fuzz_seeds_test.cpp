// Replays the seeds of every fuzz target (tests/fuzz/seeds/<target>/) through the
// target's own invariant checks, so the normal build catches a regression the fuzzers
// would report. One case per target; a failure lists each failing seed with the broken
// invariant.
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzTargets.h"
#include "support/GlobalStateGuard.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <ostream>
#include <string>

namespace {

using orvane::fuzz::FuzzOne;

struct Target {
  const char* name;
  FuzzOne one;
};

void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

const Target kTargets[] = {
    {"command_line_fuzz", orvane::fuzz::fuzzOneCommandLine},
    {"device_record_fuzz", orvane::fuzz::fuzzOneDeviceRecord},
    {"engine_answers_fuzz", orvane::fuzz::fuzzOneEngineAnswers},
    {"firmware_file_fuzz", orvane::fuzz::fuzzOneFirmwareFile},
    {"fleet_targets_fuzz", orvane::fuzz::fuzzOneFleetTargets},
    {"frame_splitter_fuzz", orvane::fuzz::fuzzOneFrameSplitter},
    {"icmp_reply_fuzz", orvane::fuzz::fuzzOneIcmpReply},
    {"identification_fuzz", orvane::fuzz::fuzzOneIdentification},
    {"readback_fuzz", orvane::fuzz::fuzzOneReadback},
    {"receive_udp_fuzz", orvane::fuzz::fuzzOneReceiveUdp},
    {"version_word_fuzz", orvane::fuzz::fuzzOneVersionWord},
};

QDir fuzzDirectory() { return QDir(QStringLiteral(ORVANE_SOURCE_DIR "/tests/fuzz")); }

QStringList seedFiles(const char* target) {
  const QDir seeds(fuzzDirectory().filePath(QStringLiteral("seeds/") + QLatin1String(target)));
  QStringList files;
  for (const QString& name : seeds.entryList(QDir::Files | QDir::Hidden, QDir::Name)) files << seeds.filePath(name);
  return files;
}

// Empty when the seed keeps every invariant; else why not.
std::string replay(FuzzOne one, const QString& file) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return "cannot be read";
  const QByteArray bytes = f.readAll();
  try {
    one(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
  } catch (const orvane::fuzz::InvariantBroken& broken) {
    return broken.what();
  }
  return {};
}

class FuzzSeeds : public ::testing::TestWithParam<Target> {
 protected:
  orvane::test::GlobalStateGuard guard_;
};

TEST_P(FuzzSeeds, EverySeedKeepsTheInvariants) {
  const QStringList files = seedFiles(GetParam().name);
  ASSERT_FALSE(files.isEmpty()) << "no seeds in tests/fuzz/seeds/" << GetParam().name;
  for (const QString& file : files) {
    const std::string failure = replay(GetParam().one, file);
    EXPECT_TRUE(failure.empty()) << file.toStdString() << ": " << failure;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzSeeds, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

std::string sortedNames(QStringList names) {
  names.sort();
  return names.join(QLatin1Char(' ')).toStdString();
}

// The table above is complete: every fuzz target source and every seed directory has an
// entry, so a new target cannot go without its replay.
TEST(FuzzSeedsTable, CoversEveryTargetAndSeedDirectory) {
  QStringList known;
  for (const Target& t : kTargets) known << QLatin1String(t.name);
  QStringList sources;
  for (const QString& source : fuzzDirectory().entryList({QStringLiteral("*_fuzz.cpp")}, QDir::Files))
    sources << source.chopped(4);
  const QStringList seedDirectories =
      QDir(fuzzDirectory().filePath(QStringLiteral("seeds"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  EXPECT_EQ(sortedNames(sources), sortedNames(known));
  EXPECT_EQ(sortedNames(seedDirectories), sortedNames(known));
}

// The replay would be worthless if a broken invariant passed unnoticed.
TEST(FuzzSeedsTable, ABrokenInvariantIsReported) {
  const FuzzOne breaks = [](const uint8_t*, size_t size) {
    FUZZ_REQUIRE(size == 0);
    return 0;
  };
  const uint8_t byte = 1;
  EXPECT_THROW(breaks(&byte, 1), orvane::fuzz::InvariantBroken);
  EXPECT_NO_THROW(breaks(nullptr, 0));
}

}  // namespace
