// The live progress line on a terminal: its texts, and what reaches the terminal as the
// reports come in (redrawn only on a change and at most ten times a second, one line
// per stage, messages between the lines), under a clock the test moves.

#include "app/TerminalProgress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(ProgressTexts, ByteSizes) {
  const std::pair<qint64, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {450560, "440.0 KiB"},
      {1048575, "1024.0 KiB"},
      {1048576, "1.0 MiB"},
      {1572864, "1.5 MiB"},
      {qint64(1) << 30, "1.0 GiB"},
      {qint64(5) << 40, "5120.0 GiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byteText(bytes), QLatin1String(text)) << bytes;
}

TEST(ProgressTexts, TransferLines) {
  struct Case {
    int percent;
    qint64 bytes, total, elapsedMs;
    const char* text;
  };
  const Case cases[] = {
      // 1327 ms still to go at the rate so far: rounded up.
      {42, 450560, 1048576, 1000, "Uploading .bin   42%  440.0 KiB of 1.0 MiB  about 2 s left"},
      {50, 512, 1024, 1000, "Uploading .bin   50%  512 B of 1.0 KiB  about 1 s left"},
      // Too early in the stage for an estimate.
      {42, 450560, 1048576, 499, "Uploading .bin   42%  440.0 KiB of 1.0 MiB"},
      {42, 450560, 1048576, 500, "Uploading .bin   42%  440.0 KiB of 1.0 MiB  about 1 s left"},
      // Nothing through yet, or everything.
      {0, 0, 1048576, 5000, "Uploading .bin    0%  0 B of 1.0 MiB"},
      {100, 1048576, 1048576, 5000, "Uploading .bin  100%  1.0 MiB of 1.0 MiB"},
      // Long waits in minutes.
      {33, 1, 3, 60000, "Uploading .bin   33%  1 B of 3 B  about 2 min left"},
      {9, 1, 11, 9900, "Uploading .bin    9%  1 B of 11 B  about 99 s left"},
      // Not a transfer: the percentage alone.
      {96, 0, 0, 5000, "Uploading .bin   96%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(transferLine(QStringLiteral("Uploading .bin"), c.percent, c.bytes, c.total, c.elapsedMs),
              QLatin1String(c.text))
        << c.text;
  }
}

TEST(ProgressTexts, RestartLine) {
  EXPECT_EQ(restartLine(60, 12), QStringLiteral("Device restarting, up to 60 s (12 s)"));
  EXPECT_EQ(restartLine(15, 0), QStringLiteral("Device restarting, up to 15 s (0 s)"));
}

TEST(TerminalTexts, DisplayWidths) {
  const std::pair<QString, int> cases[] = {
      {QString(), 0},
      {QStringLiteral("10.77.1.3"), 9},
      {QStringLiteral("3.10 → 3.11"), 11},
      {QStringLiteral("Süd"), 3},
      {QStringLiteral("u\u0308"), 1},        // u and a combining diaeresis
      {QStringLiteral("屋顶"), 4},
      {QStringLiteral("ｆｕｌｌ"), 8},         // fullwidth forms
      {QStringLiteral("a\U0001F600b"), 4},   // an emoji outside the BMP
      {QStringLiteral("a\u200Db"), 2},       // a zero-width joiner
      {QStringLiteral("\x1b"), 0},
  };
  for (const auto& [text, width] : cases) EXPECT_EQ(displayWidth(text), width) << text.toStdString();
}

TEST(TerminalTexts, CutToWidth) {
  struct Case {
    const char* text;
    int columns;
    const char* cut;
  };
  const Case cases[] = {
      {"Gateway roof", 7, "Gateway"},
      {"Gateway roof", 40, "Gateway roof"},
      {"Gateway roof", 0, ""},
      {"3.10 → 3.11", 6, "3.10 →"},
      {"ab屋顶", 3, "ab"},   // the wide character does not straddle the edge
      {"ab屋顶", 4, "ab屋"},
      {"a\U0001F600b", 2, "a"},
      {"a\U0001F600b", 3, "a\U0001F600"},
      {"u\u0308x", 1, "u\u0308"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(cutToWidth(QString::fromUtf8(c.text), c.columns), QString::fromUtf8(c.cut)) << c.text << " " << c.columns;
}

TEST(TerminalTexts, ControlCharactersShowAsQuestionMarks) {
  const std::pair<QString, QString> cases[] = {
      {QStringLiteral("plain → text"), QStringLiteral("plain → text")},
      {QStringLiteral("a\x1b[2Jb"), QStringLiteral("a?[2Jb")},
      {QStringLiteral("\t\r\n\x7f"), QStringLiteral("????")},
      {QString(QChar(0x9b)) + QChar(0x2028) + QChar(0x2029), QStringLiteral("???")},
      {QStringLiteral("\U0001F600"), QStringLiteral("\U0001F600")},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(printableText(text), shown) << shown.toStdString();
}

TEST(TerminalTexts, SizeOfAStreamThatIsNoTerminal) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(terminalSize(file), QSize(80, 24));
  std::fclose(file);
}

// A terminal in memory and a clock the test sets.
class TerminalProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(stream_, nullptr); }
  void TearDown() override {
    std::fclose(stream_);
    std::free(buffer_);
  }
  // Everything written so far.
  std::string written() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }
  // What was written since the last call.
  std::string fresh() {
    const std::string all = written();
    const std::string newer = all.substr(seen_);
    seen_ = all.size();
    return newer;
  }

  char* buffer_ = nullptr;
  size_t size_ = 0;
  size_t seen_ = 0;
  FILE* stream_ = open_memstream(&buffer_, &size_);
  qint64 now_ = 1000;
};

std::string line(const char* text) { return std::string("\r") + text + "\x1b[K"; }

TEST_F(TerminalProgressTest, RedrawsOnlyWhenTheTextChangesAndAtMostTenTimesASecond) {
  TerminalProgress view(stream_, [this] { return now_; });
  view.stage(QStringLiteral("Uploading .bin"));
  EXPECT_EQ(fresh(), "") << "a stage alone draws nothing: its messages and reports do";

  now_ += 100;
  view.progress(10, 100, 1000);
  EXPECT_EQ(fresh(), line("Uploading .bin   10%  100 B of 1000 B"));
  now_ += 200;
  view.progress(10, 100, 1000);
  EXPECT_EQ(fresh(), "") << "the same text again";

  now_ += 10;
  view.progress(20, 200, 1000);
  EXPECT_EQ(fresh(), line("Uploading .bin   20%  200 B of 1000 B")) << "210 ms after the last redraw";

  // Changes within a tenth of a second of the last redraw wait; only the newest is drawn.
  now_ += 10;
  view.progress(30, 300, 1000);
  now_ += 89;
  view.progress(40, 400, 1000);
  EXPECT_EQ(fresh(), "");
  now_ += 1;
  view.progress(50, 500, 1000);
  EXPECT_EQ(fresh(), line("Uploading .bin   50%  500 B of 1000 B"));

  // 0.66 s into the stage with 600 of 1000 bytes through: 0.44 s to go.
  now_ += 250;
  view.progress(60, 600, 1000);
  EXPECT_EQ(fresh(), line("Uploading .bin   60%  600 B of 1000 B  about 1 s left"));
}

TEST_F(TerminalProgressTest, ANewStageEndsTheLineAfterDrawingWhatWasWaiting) {
  TerminalProgress view(stream_, [this] { return now_; });
  view.stage(QStringLiteral("Uploading .bin"));
  view.progress(10, 100, 1000);
  now_ += 20;
  view.progress(100, 1000, 1000);  // too soon to be drawn by itself
  view.stage(QStringLiteral("Reading back"));
  now_ += 1;
  view.progress(100, 0, 0);
  now_ += 200;
  view.finish();
  view.finish();
  EXPECT_EQ(written(), line("Uploading .bin   10%  100 B of 1000 B") + line("Uploading .bin  100%  1000 B of 1000 B") +
                           "\n" + line("Reading back  100%") + "\n");
}

TEST_F(TerminalProgressTest, RefreshDrawsWhatWasWaitingOnceItsTimeHasCome) {
  TerminalProgress view(stream_, [this] { return now_; });
  view.refresh();
  EXPECT_EQ(fresh(), "") << "nothing to draw before the first stage";
  view.stage(QStringLiteral("Uploading .bin"));
  view.progress(50, 500, 1000);
  now_ += 30;
  view.progress(100, 1000, 1000);
  fresh();
  now_ += 69;
  view.refresh();
  EXPECT_EQ(fresh(), "");
  now_ += 1;
  view.refresh();
  EXPECT_EQ(fresh(), line("Uploading .bin  100%  1000 B of 1000 B"));
  now_ += 500;
  view.refresh();
  EXPECT_EQ(fresh(), "") << "drawn already";
}

TEST_F(TerminalProgressTest, MessagesGetALineOfTheirOwnAndTheLiveLineComesBackUnderThem) {
  TerminalProgress view(stream_, [this] { return now_; });
  view.message(QStringLiteral("Check actual firmware version."));
  view.stage(QStringLiteral("Restarting"));
  now_ += 500;
  view.restarting(60, 0);
  now_ += 1000;
  view.restarting(60, 1);
  view.message(QStringLiteral("Test => OK"));
  now_ += 1000;
  view.restarting(60, 2);
  view.finish();
  EXPECT_EQ(written(), std::string("Check actual firmware version.\n") + line("Device restarting, up to 60 s (0 s)") +
                           line("Device restarting, up to 60 s (1 s)") + "\r\x1b[KTest => OK\n" +
                           line("Device restarting, up to 60 s (1 s)") +
                           line("Device restarting, up to 60 s (2 s)") + "\n");
}

// A message may carry a device's text: it can neither drive the terminal nor make a line
// of its own.
TEST_F(TerminalProgressTest, AMessageCannotDriveTheTerminalOrBreakItsLine) {
  TerminalProgress view(stream_, [this] { return now_; });
  view.message(QStringLiteral("File upload error : no\x1b[2J\nUpgrade finished successfully.") + QChar(0x9B) +
               QStringLiteral("1A"));
  EXPECT_EQ(written(), "File upload error : no?[2J?Upgrade finished successfully.?1A\n");
}

TEST_F(TerminalProgressTest, GoingAwayEndsTheLine) {
  {
    TerminalProgress view(stream_, [this] { return now_; });
    view.stage(QStringLiteral("Uploading .web"));
    view.progress(5, 50, 1000);
  }
  EXPECT_EQ(written(), line("Uploading .web    5%  50 B of 1000 B") + "\n");
}

TEST_F(TerminalProgressTest, TheDefaultClockDrawsTheFirstReportOfAStage) {
  TerminalProgress view(stream_);
  view.stage(QStringLiteral("Checking"));
  view.progress(50, 0, 0);
  view.finish();
  EXPECT_EQ(written(), line("Checking   50%") + "\n");
}

}  // namespace
