// The real windows against the device simulator, inside the network lab: the network
// scan dialog lists the devices in caption order, picking one sets up the main window,
// the I2C dialog lists the devices behind a gateway, an empty scan leaves an empty list.
#include "support/Lab.h"
#include "unit/window_kit.h"

#include <QHeaderView>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

using namespace windowkit;
using namespace orvane::test;

namespace {

// Counts the paint events a widget receives while it shows a given text.
class PaintWatcher : public QObject {
 public:
  PaintWatcher(QWidget* watched, QString (*textOf)(QWidget*), QString text)
      : textOf_(textOf), text_(std::move(text)) {
    watched->installEventFilter(this);
  }
  int paintsWithText = 0;

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Paint && textOf_(static_cast<QWidget*>(object)) == text_) ++paintsWithText;
    return false;
  }

 private:
  QString (*textOf_)(QWidget*);
  QString text_;
};

QString labelText(QWidget* w) { return static_cast<QLabel*>(w)->text(); }
QString firstEntry(QWidget* viewport) {
  auto* list = static_cast<QTreeWidget*>(viewport->parentWidget());
  return list->topLevelItemCount() == 1 ? list->topLevelItem(0)->text(0) : QString();
}

QJsonObject device(int index, const char* type, const char* versionWord, const char* mac, const char* name,
                   const QJsonArray& i2c = {}) {
  QJsonObject d{{"address", labDeviceAddress(index)},
                {"type", type},
                {"versionWord", versionWord},
                {"mac", mac},
                {"name", name}};
  if (!i2c.isEmpty()) d.insert("i2c", i2c);
  return d;
}

// Replies arrive in the order of the simulator's configuration; the list must not care.
QJsonObject threeDevices() {
  const QJsonArray i2c{
      QJsonObject{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010002"}, {"name", "Sensor"}},
      QJsonObject{{"address", 18}, {"type", "00060002"}, {"versionWord", "03010204"}, {"name", "Relay"}},
  };
  return QJsonObject{{"devices", QJsonArray{
      device(0, "00010003", "0201030A", "00-1A-2B-3C-4D-01", "Gateway one", i2c),
      device(1, "00120003", "0003000A", "00-0A-2B-3C-4D-02", "Meter"),
      device(2, "00080001", "01000104", "00-2B-2B-3C-4D-03", "Gateway eight"),
  }}};
}

class WindowDialogsLab : public WindowFixture {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    WindowFixture::SetUp();
  }

  QStringList column(QTreeWidget* list, int c) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(c);
    return out;
  }
};

TEST_F(WindowDialogsLab, ScanPickGatewayThenI2CDeviceThenAnotherNetworkDevice) {
  Simulator sim(threeDevices());
  ASSERT_TRUE(sim.started());
  createWindows();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));

  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(scanUdp->isVisible());
  EXPECT_EQ(scanUdp->LStateUDP->text(), "Scan finished");
  EXPECT_EQ(scanUdp->LIPScan->text(), "255.255.255.255");
  EXPECT_TRUE(scanUdp->BScan->isEnabled());
  QTreeWidget* list = scanUdp->LVDevices;
  EXPECT_EQ(column(list, 0), (QStringList{"00-0A-2B-3C-4D-02", "00-1A-2B-3C-4D-01", "00-2B-2B-3C-4D-03"}));
  EXPECT_EQ(column(list, 1), (QStringList{labDeviceAddress(1), labDeviceAddress(0), labDeviceAddress(2)}));
  EXPECT_EQ(column(list, 2), (QStringList{"18.3", "1.3", "8.1"}));
  EXPECT_EQ(column(list, 3), (QStringList{"3.10", "3.10", "1.4"}));
  EXPECT_EQ(column(list, 4), (QStringList{"-.-", "2.1", "1.0"}));
  EXPECT_EQ(column(list, 5), (QStringList{"Meter", "Gateway one", "Gateway eight"}));

  // Header clicks leave the order alone.
  QHeaderView* header = list->header();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(5) + 5, header->height() / 2));
  EXPECT_EQ(column(list, 0).first(), "00-0A-2B-3C-4D-02");

  // A gateway of type 1.x: the I2C address group appears, the .bi2 group stays hidden.
  clickEntry(scanUdp.get(), QStringLiteral("00-1A-2B-3C-4D-01"));
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(scanUdp->isVisible());
  EXPECT_EQ(globalSelection().IPAddress, labDeviceAddress(0));
  EXPECT_EQ(globalSelection().I2CAddress, "-1");
  EXPECT_EQ(ctl<QLineEdit>("EIPAdress")->text(), labDeviceAddress(0));
  EXPECT_EQ(text("LOldVersion"), "3.10 / 2.1");
  EXPECT_TRUE(ctl<QPushButton>("BStart")->isEnabled());
  EXPECT_TRUE(ctl<QWidget>("BOpenFileBin")->isVisible());
  EXPECT_TRUE(ctl<QWidget>("BOpenFileWeb")->isVisible());
  EXPECT_TRUE(ctl<QWidget>("BScanI2CBus")->isVisible());
  EXPECT_TRUE(ctl<QPushButton>("BScanI2CBus")->isEnabled());
  EXPECT_FALSE(ctl<QWidget>("BOpenFileBi2")->isVisible());

  // The I2C scan through that gateway.
  ASSERT_TRUE(openAndScan("BScanI2CBus", scanI2c.get()));
  EXPECT_EQ(scanI2c->ScanAddress, labDeviceAddress(0));
  EXPECT_EQ(scanI2c->LIPScan->text(), labDeviceAddress(0));
  EXPECT_EQ(scanI2c->LStateUDP->text(), "Scan finished");
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(column(scanI2c->LVDevices, 0), (QStringList{"0x12 (18)", "0x50 (80)"}));
  EXPECT_EQ(column(scanI2c->LVDevices, 4), (QStringList{"Relay", "Sensor"}));
  clickEntry(scanI2c.get(), QStringLiteral("0x50 (80)"));
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(scanI2c->isVisible());
  EXPECT_EQ(globalSelection().I2CAddress, "80");
  EXPECT_EQ(globalSelection().IPAddress, labDeviceAddress(0));
  EXPECT_EQ(ctl<QLineEdit>("EI2CAddress")->text(), "80");
  EXPECT_EQ(text("LOldI2CVersion"), "1.2 / NA");
  EXPECT_TRUE(ctl<QWidget>("BOpenFileBi2")->isVisible());
  EXPECT_TRUE(ctl<QWidget>("LNewI2CVersion")->isVisible());

  // Another network device, not a gateway: the I2C groups go, the I2C address is reset.
  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  clickEntry(scanUdp.get(), QStringLiteral("00-0A-2B-3C-4D-02"));
  EXPECT_EQ(globalSelection().IPAddress, labDeviceAddress(1));
  EXPECT_EQ(globalSelection().I2CAddress, "-1");
  EXPECT_TRUE(ctl<QLineEdit>("EI2CAddress")->text().isEmpty());
  EXPECT_EQ(text("LOldVersion"), "3.10 / NA");
  EXPECT_FALSE(ctl<QWidget>("BScanI2CBus")->isVisible());
  EXPECT_FALSE(ctl<QWidget>("BOpenFileBi2")->isVisible());

  // A gateway of type 8.x shows the I2C address group again.
  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  clickEntry(scanUdp.get(), QStringLiteral("00-2B-2B-3C-4D-03"));
  EXPECT_EQ(text("LOldVersion"), "1.4 / 1.0");
  EXPECT_TRUE(ctl<QWidget>("BScanI2CBus")->isVisible());
}

TEST_F(WindowDialogsLab, ClosingTheScanDialogKeepsTheEarlierSelection) {
  Simulator sim(threeDevices());
  ASSERT_TRUE(sim.started());
  createWindows();
  globalSelection().IPAddress = labDeviceAddress(2);
  form->show();
  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  ASSERT_EQ(scanUdp->LVDevices->topLevelItemCount(), 3);
  // A click in the empty part of the list, nothing selected: nothing changes.
  QTest::mouseClick(scanUdp->LVDevices->viewport(), Qt::LeftButton, {},
                    QPoint(20, scanUdp->LVDevices->viewport()->height() - 5));
  EXPECT_TRUE(scanUdp->isVisible());
  EXPECT_EQ(globalSelection().IPAddress, labDeviceAddress(2));

  scanUdp->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(scanUdp->isVisible());
  EXPECT_EQ(scanUdp->LVDevices->topLevelItemCount(), 0);
  EXPECT_EQ(globalSelection().IPAddress, labDeviceAddress(2));
  EXPECT_EQ(ctl<QLineEdit>("EIPAdress")->text(), labDeviceAddress(2));
  EXPECT_TRUE(exitCodes.isEmpty());
}

TEST_F(WindowDialogsLab, I2CScanOfAGatewayWithoutI2CDevicesLeavesAnEmptyList) {
  Simulator sim(QJsonObject{{"devices", QJsonArray{device(0, "00010003", "0201030A", "00-1A-2B-3C-4D-01", "Bare")}}});
  ASSERT_TRUE(sim.started());
  createWindows();
  form->show();
  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  clickEntry(scanUdp.get(), QStringLiteral("00-1A-2B-3C-4D-01"));
  ASSERT_TRUE(openAndScan("BScanI2CBus", scanI2c.get()));
  EXPECT_EQ(scanI2c->LVDevices->topLevelItemCount(), 0);
  EXPECT_TRUE(scanI2c->BScan->isEnabled());
  EXPECT_EQ(scanI2c->LStateUDP->text(), "Scan finished");
  scanI2c->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(globalSelection().I2CAddress, "-1");
}

TEST_F(WindowDialogsLab, DiscoveryThatFindsNothing) {
  Simulator sim(QJsonObject{{"devices", QJsonArray{}}});
  ASSERT_TRUE(sim.started());
  createWindows();
  form->show();
  // The scan blocks the thread: the state and the "Processing..." entry must be painted
  // before it starts, not only set.
  PaintWatcher state(scanUdp->LStateUDP, &labelText, QStringLiteral("Start scanning..."));
  PaintWatcher entry(scanUdp->LVDevices->viewport(), &firstEntry, QStringLiteral("Processing..."));
  ASSERT_TRUE(openAndScan("BScan", scanUdp.get()));
  EXPECT_GE(state.paintsWithText, 1);
  EXPECT_GE(entry.paintsWithText, 1);
  EXPECT_EQ(scanUdp->LVDevices->topLevelItemCount(), 0);
  EXPECT_TRUE(scanUdp->BScan->isEnabled());
  EXPECT_EQ(scanUdp->LStateUDP->text(), "Scan finished");
  // The Scan button repeats the scan.
  QSignalSpy finished(scanUdp.get(), &DeviceListDialog::scanFinished);
  QTest::mouseClick(scanUdp->BScan, Qt::LeftButton);
  EXPECT_EQ(finished.count(), 1);
  EXPECT_EQ(scanUdp->LVDevices->topLevelItemCount(), 0);
}

}  // namespace
