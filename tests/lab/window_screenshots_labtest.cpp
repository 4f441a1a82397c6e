// Pictures of the windows in the states a user meets: the main window idle, after a
// successful upgrade (its memo green), and the network scan dialog with devices listed.
// Each picture is checked for its size; with ORVANE_SCREENSHOT_DIR set (scripts/screenshots, under Xvfb)
// it is also saved there as a PNG.
#include "support/EngineProbe.h"
#include "support/Lab.h"
#include "unit/window_kit.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

using namespace windowkit;
using namespace orvane::test;

namespace {

QJsonObject device(int index, const char* type, const char* versionWord, const char* mac, const char* name) {
  return QJsonObject{{"address", labDeviceAddress(index)},
                     {"type", type},
                     {"versionWord", versionWord},
                     {"mac", mac},
                     {"name", name},
                     {"flashTimeMs", 200}};
}

QJsonObject devices() {
  return QJsonObject{{"devices", QJsonArray{
      device(0, "00010003", "0201030A", "00-1A-2B-3C-4D-01", "Gateway hall"),
      device(1, "00120003", "0003000A", "00-0A-2B-3C-4D-02", "Energy meter"),
      device(2, "00080001", "01000104", "00-2B-2B-3C-4D-03", "Gateway roof"),
  }}};
}

class WindowScreenshotsLab : public WindowFixture {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    WindowFixture::SetUp();
  }

  // Checks the picture and saves it when a directory was given.
  void keep(QWidget* window, const QString& name, QSize expectedClient) {
    QApplication::processEvents();
    const QPixmap picture = window->grab();
    ASSERT_FALSE(picture.isNull()) << name.toStdString();
    EXPECT_GE(picture.width(), expectedClient.width()) << name.toStdString();
    EXPECT_GE(picture.height(), expectedClient.height()) << name.toStdString();
    const QString dir = qEnvironmentVariable("ORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    EXPECT_TRUE(picture.save(QDir(dir).filePath(name), "PNG")) << name.toStdString();
  }
};

// The share of the pixels of `inner`, as `window` is pictured, that have this colour.
double shareOfColour(QWidget* window, QWidget* inner, const QColor& colour) {
  const QImage picture = window->grab().toImage();
  const QRect area(inner->mapTo(window, QPoint(0, 0)) * picture.devicePixelRatio(),
                   inner->size() * picture.devicePixelRatio());
  int matching = 0, all = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x, ++all)
      if (picture.pixelColor(x, y).rgb() == colour.rgb()) ++matching;
  return all == 0 ? 0.0 : double(matching) / all;
}

TEST_F(WindowScreenshotsLab, MainWindowIdleScanDialogAndAfterAnUpgrade) {
  Simulator sim(devices());
  ASSERT_TRUE(sim.started());
  createWindows(quickSettings());
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  keep(form.get(), QStringLiteral("main-idle.png"), QSize(638, 311));

  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(scanUdp.get()));
  // Nothing selected yet: the list as the scan left it.
  keep(scanUdp.get(), QStringLiteral("scan-devices.png"), QSize(576, 273));

  clickEntry(scanUdp.get(), QStringLiteral("00-1A-2B-3C-4D-01"));
  ASSERT_TRUE(form->isVisible());
  nextChosenFile = writeFile(filesDir(), QStringLiteral("gateway-3.11.bin"),
                             firmwareImage("00 01 00 03", "03 00 03 0B", "01 00 03 00", QByteArray(2400, '\x42')));
  QTest::mouseClick(ctl<QPushButton>("BOpenFileBin"), Qt::LeftButton);
  nextChosenFile = writeFile(filesDir(), QStringLiteral("pages.web"), QByteArray(5120, 'w'));
  QTest::mouseClick(ctl<QPushButton>("BOpenFileWeb"), Qt::LeftButton);
  QTest::mouseClick(ctl<QPushButton>("BStart"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor(
      [this] {
        const QStringList lines = memoLines(*form);
        return !lines.isEmpty() &&
               (lines.last() == "Upgrade finished successfully." || lines.last() == "Upgrade failed.");
      },
      60000));
  EXPECT_EQ(memoLines(*form).last(), "Upgrade finished successfully.")
      << memoLines(*form).join(" | ").toStdString();
  EXPECT_EQ(text("LOldVersion"), "3.11 / 2.1");
  keep(form.get(), QStringLiteral("main-after-upgrade.png"), QSize(638, 311));
  // The picture itself shows the success: the memo's page is mostly its calm green.
  EXPECT_GT(shareOfColour(form.get(), ctl<QPlainTextEdit>("MBootLoaderState")->viewport(), QColor(170, 230, 170)),
            0.5);
}

}  // namespace
