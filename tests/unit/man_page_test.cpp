// The manual page, its source and the bash completion name exactly the options that
// "orvane-upgrader --help" prints: an option added to the program without its page (or
// a page that keeps an option the program dropped) fails here.
#include "support/TempHome.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

using orvane::test::ProgramRun;
using orvane::test::TempHome;

using OptionSet = QSet<QString>;

// Every token that starts with '-' or "--" followed by a letter or '?', not glued to a
// word before it ("case-sensitive", "SHA-256" and dates are not options).
OptionSet optionTokens(const QString& text) {
  static const QRegularExpression token(QStringLiteral("(?<![\\w-])(--?[A-Za-z?][A-Za-z0-9-]*)"));
  OptionSet options;
  for (auto it = token.globalMatch(text); it.hasNext();) options.insert(it.next().captured(1));
  return options;
}

QString readText(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

// The lines from `heading` up to (not including) the next line matching `nextHeading`.
QString section(const QString& text, const QString& heading, const QRegularExpression& nextHeading) {
  const QStringList lines = text.split(QLatin1Char('\n'));
  const qsizetype start = lines.indexOf(heading);
  if (start < 0) return {};
  QStringList body;
  for (qsizetype i = start + 1; i < lines.size() && !nextHeading.match(lines[i]).hasMatch(); ++i) body << lines[i];
  return body.join(QLatin1Char('\n'));
}

// A rendered page as plain text: "\-" is a dash, font changes ("\fB", "\fR") vanish.
QString roffToText(QString roff) {
  roff.replace(QStringLiteral("\\-"), QStringLiteral("-"));
  roff.remove(QRegularExpression(QStringLiteral("\\\\f[A-Z]")));
  return roff;
}

QStringList sorted(const OptionSet& set) {
  QStringList list(set.begin(), set.end());
  list.sort();
  return list;
}

std::string describe(const OptionSet& set) { return sorted(set).join(QLatin1Char(' ')).toStdString(); }

class ManPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    const ProgramRun r = home_.run({QStringLiteral("--help")});
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exitCode, 0);
    help_ = optionTokens(QString::fromUtf8(r.standardOutput));
    // A sanity floor: the parse found the options of every group of the text.
    for (const char* o : {"-IP", "-B2", "-I2CA", "--restart-timeout", "--scan-i2c", "-?", "--version"})
      ASSERT_TRUE(help_.contains(QLatin1String(o))) << o;
  }

  void expectSameOptions(const OptionSet& documented, const char* where) const {
    EXPECT_EQ(sorted(documented), sorted(help_))
        << where << " lacks: " << describe(help_ - documented) << "; has beyond --help: " << describe(documented - help_);
  }

  TempHome home_;
  OptionSet help_;
};

TEST_F(ManPage, SourceOptionsSectionNamesEveryOptionOfHelp) {
  const QString source = readText(QStringLiteral(ORVANE_SOURCE_DIR "/packaging/orvane-upgrader.1.scd"));
  ASSERT_FALSE(source.isEmpty());
  const QString options = section(source, QStringLiteral("# OPTIONS"), QRegularExpression(QStringLiteral("^# ")));
  ASSERT_FALSE(options.isEmpty());
  expectSameOptions(optionTokens(options), "OPTIONS of orvane-upgrader.1.scd");
  // The synopsis shows only options that exist.
  const QString synopsis = section(source, QStringLiteral("# SYNOPSIS"), QRegularExpression(QStringLiteral("^# ")));
  ASSERT_FALSE(synopsis.isEmpty());
  EXPECT_TRUE((optionTokens(synopsis) - help_).isEmpty()) << describe(optionTokens(synopsis) - help_);
}

TEST_F(ManPage, RenderedPageNamesEveryOptionOfHelp) {
  const QString page = readText(QStringLiteral(ORVANE_MAN_PAGE));
  if (page.isEmpty()) GTEST_SKIP() << "the manual page was not built (no scdoc): " << ORVANE_MAN_PAGE;
  const QString options = section(page, QStringLiteral(".SH OPTIONS"), QRegularExpression(QStringLiteral("^\\.SH ")));
  ASSERT_FALSE(options.isEmpty());
  expectSameOptions(optionTokens(roffToText(options)), "OPTIONS of the rendered page");
}

TEST_F(ManPage, BashCompletionOffersEveryOptionOfHelp) {
  const QString script = readText(QStringLiteral(ORVANE_SOURCE_DIR "/packaging/orvane-upgrader.bash-completion"));
  const auto m = QRegularExpression(QStringLiteral("options=\"([^\"]*)\"")).match(script);
  ASSERT_TRUE(m.hasMatch());
  expectSameOptions(optionTokens(m.captured(1)), "the bash completion");
}

}  // namespace
