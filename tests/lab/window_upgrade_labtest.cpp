// Upgrades started from the real main window against the device simulator, inside the
// network lab, with shortened engine waits: Start without a file, a successful upgrade,
// a failed one, and the close question while an upgrade runs.
#include "support/EngineProbe.h"
#include "support/Lab.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>

using namespace windowkit;
using namespace orvane::test;

namespace {

// The gateway flashes in 200 ms.
QJsonObject gateway(const QJsonObject& faults = {}) { return gatewayConfig(200, faults); }

class WindowUpgradeLab : public WindowFixture {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    WindowFixture::SetUp();
  }

  void startWindowOn(const QString& ip) {
    createWindows(quickSettings());
    globalSelection().IPAddress = ip;
    form->show();
    form->showBinGroup(true);
    form->showWebGroup(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }

  // A .bin for the gateway (type 1.3) carrying version 3.11.
  QString newerBin() {
    return writeFile(filesDir(), QStringLiteral("gateway.bin"),
                     firmwareImage("00 01 00 03", "00 03 00 0B", "00 00 00 00", QByteArray(700, '\x42')));
  }

  bool waitForEndLine(int timeoutMs) {
    return QTest::qWaitFor(
        [this] {
          const QStringList lines = memoLines(*form);
          return !lines.isEmpty() && (lines.last() == "Upgrade finished successfully." ||
                                      lines.last() == "Upgrade failed.");
        },
        timeoutMs);
  }

  bool buttonsEnabled(bool enabled) {
    for (const char* name : kUserButtons)
      if (ctl<QPushButton>(name)->isEnabled() != enabled) return false;
    return true;
  }
};

TEST_F(WindowUpgradeLab, StartWithoutAFileIsRefusedByTheEngine) {
  Simulator sim(gateway());
  ASSERT_TRUE(sim.started());
  startWindowOn(labDeviceAddress(0));
  QTest::mouseClick(ctl<QPushButton>("BStart"), Qt::LeftButton);
  EXPECT_EQ(memoLines(*form), (QStringList{"Start upgrade.", "No bin, nor bi2, nor web file has been selected.",
                                           "Upgrade failed."}));
  EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(255, 80, 80));
  EXPECT_TRUE(buttonsEnabled(true));
  const QString log = logText();
  EXPECT_TRUE(log.contains(QStringLiteral("No bin, nor bi2, nor web file has been selected.")));
  EXPECT_TRUE(log.contains(QStringLiteral("Upgrade failed.")));
}

TEST_F(WindowUpgradeLab, SuccessfulUpgradeShowsProgressThenTheNewVersion) {
  Simulator sim(gateway());
  ASSERT_TRUE(sim.started());
  startWindowOn(labDeviceAddress(0));
  nextChosenFile = newerBin();
  QTest::mouseClick(ctl<QPushButton>("BOpenFileBin"), Qt::LeftButton);
  ASSERT_EQ(text("LNewVersion"), "3.11");
  ctl<QLabel>("LOldVersion")->setText(QStringLiteral("3.10 / 2.1"));

  QProgressBar* bar = ctl<QProgressBar>("PBLoadingFiles");
  QList<int> progress;
  QObject::connect(bar, &QProgressBar::valueChanged, [&progress](int v) { progress << v; });
  QTest::mouseClick(ctl<QPushButton>("BStart"), Qt::LeftButton);
  EXPECT_TRUE(buttonsEnabled(false));
  ASSERT_TRUE(waitForEndLine(30000)) << memoLines(*form).join(" | ").toStdString();

  const QStringList lines = memoLines(*form);
  EXPECT_EQ(lines.first(), "Start upgrade.");
  EXPECT_EQ(lines.last(), "Upgrade finished successfully.") << lines.join(" | ").toStdString();
  EXPECT_FALSE(lines.contains(QStringLiteral("Upgrade failed.")));
  EXPECT_TRUE(progress.contains(100));
  EXPECT_EQ(bar->value(), 0);
  EXPECT_TRUE(buttonsEnabled(true));
  EXPECT_EQ(text("LOldVersion"), "3.11 / 2.1");
  EXPECT_EQ(text("LNewVersion"), "3.11");
  EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(170, 230, 170));
  EXPECT_TRUE(sim.waitForRecord([](const QJsonObject& r) { return r.value("event") == "flashed"; }, 2000));
  EXPECT_TRUE(sim.violations().isEmpty()) << sim.violations().join('\n').toStdString();
  EXPECT_FALSE(logText().contains(QStringLiteral("Upgrade failed.")));
}

TEST_F(WindowUpgradeLab, FailedReadbackEndsInRedWithControlsBackOn) {
  Simulator sim(gateway(QJsonObject{{"http", "404"}}));
  ASSERT_TRUE(sim.started());
  startWindowOn(labDeviceAddress(0));
  globalSelection().BinFileName = newerBin();
  ASSERT_TRUE(form->loadSelectedFiles());
  ctl<QLabel>("LOldVersion")->setText(QStringLiteral("3.10 / 2.1"));
  QTest::mouseClick(ctl<QPushButton>("BStart"), Qt::LeftButton);
  ASSERT_TRUE(waitForEndLine(30000)) << memoLines(*form).join(" | ").toStdString();
  const QStringList lines = memoLines(*form);
  EXPECT_EQ(lines.last(), "Upgrade failed.");
  EXPECT_FALSE(lines.contains(QStringLiteral("Upgrade finished successfully.")));
  EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(255, 80, 80));
  EXPECT_EQ(ctl<QProgressBar>("PBLoadingFiles")->value(), 0);
  EXPECT_TRUE(buttonsEnabled(true));
  EXPECT_EQ(text("LOldVersion"), "3.10 / 2.1");
  EXPECT_TRUE(logText().contains(QStringLiteral("Upgrade failed.")));
}

TEST_F(WindowUpgradeLab, ClosingWhileAnUpgradeRunsAsksFirst) {
  // The device accepts the connection to its common port but never answers.
  Simulator sim(gateway(QJsonObject{{"silentPorts", QJsonArray{8010}}}));
  ASSERT_TRUE(sim.started());
  startWindowOn(labDeviceAddress(0));
  globalSelection().BinFileName = newerBin();
  ASSERT_TRUE(form->loadSelectedFiles());
  QTest::mouseClick(ctl<QPushButton>("BStart"), Qt::LeftButton);
  ASSERT_NE(form->upgradeEngine()->currentState(), kTerminalState);

  answerYes = false;
  EXPECT_FALSE(form->close());
  ASSERT_EQ(questions.size(), 1);
  EXPECT_EQ(questions[0], QStringLiteral("Close application|The Firmware update process is not finished,\n"
                                         "Are you sur you want to close application ?"));
  EXPECT_TRUE(form->isVisible());
  EXPECT_NE(form->upgradeEngine()->currentState(), kTerminalState);

  answerYes = true;
  EXPECT_TRUE(form->close());
  EXPECT_EQ(form->upgradeEngine(), nullptr);
  EXPECT_EQ(exitCodes, QList<int>{0});
}

}  // namespace
