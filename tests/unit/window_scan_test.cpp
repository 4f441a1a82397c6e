// The scan dialogs and the About box without a network: layout, the caption order, the
// hand-over of a picked record (records are fed to the discovery engine as reply bytes,
// no socket is opened), closing, and the I2C dialog's refusal of a bad address.
#include "window_kit.h"

#include "engine/IpPacket.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

using namespace windowkit;

namespace {

// The entries of a VariablesAnswer in the order 0, 17, 1, 21.
QByteArray variablesAnswer(const char* typeHex, const char* macHex, const char* versionHex, const QByteArray& name) {
  QByteArray payload;
  payload += char(0);
  payload += hex(typeHex);
  payload += char(17);
  payload += hex(macHex);
  payload += char(1);
  payload += hex(versionHex);
  payload += char(21);
  payload += name.leftJustified(16, '\0', true);
  return orvane::proto::buildPacket(orvane::proto::VariablesAnswer, 0, payload);
}

class ScanDialogs : public WindowFixture {
 protected:
  void feed(const QByteArray& frame, const QString& source) {
    form->discoveryEngine()->receiveUDP(reinterpret_cast<const quint8*>(frame.constData()), int(frame.size()), source,
                                        7010, -1);
  }
  QStringList captions(QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(0);
    return out;
  }
  QTreeWidgetItem* itemWithCaption(QTreeWidget* list, const QString& caption) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(0) == caption) return list->topLevelItem(i);
    return nullptr;
  }
};

TEST_F(ScanDialogs, NetworkDialogLayout) {
  createWindows();
  EXPECT_EQ(scanUdp->windowTitle(), "Firmware upgrader - Scan devices");
  EXPECT_EQ(scanUdp->size(), QSize(576, 273));
  EXPECT_EQ(scanUdp->minimumSize(), scanUdp->maximumSize());
  EXPECT_TRUE(scanUdp->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(scanUdp->isModal());
  EXPECT_FALSE(scanUdp->isVisible());
  EXPECT_EQ(child<QLabel>(scanUdp.get(), "Label2")->text(), "IP Scan address: ");
  EXPECT_EQ(scanUdp->LIPScan->text(), "----");
  EXPECT_EQ(child<QLabel>(scanUdp.get(), "Label3")->text(), "State UDP :");
  EXPECT_EQ(scanUdp->LStateUDP->text(), "----");
  EXPECT_EQ(child<QLabel>(scanUdp.get(), "Label1")->text(), "List of connected devices:");
  EXPECT_EQ(scanUdp->BScan->text(), "Scan");
  EXPECT_EQ(scanUdp->BScan->geometry(), QRect(474, 8, 94, 33));
  EXPECT_EQ(scanUdp->LVDevices->geometry(), QRect(8, 80, 560, 185));
  QTreeWidget* list = scanUdp->LVDevices;
  const QStringList titles{"MAC Address", "IP Address", "Type", "Ver FW", "Ver HW", "Name"};
  const QList<int> widths{120, 100, 40, 50, 50};
  ASSERT_EQ(list->columnCount(), titles.size());
  for (int i = 0; i < titles.size(); ++i) EXPECT_EQ(list->headerItem()->text(i), titles[i]);
  for (int i = 0; i < widths.size(); ++i) EXPECT_EQ(list->columnWidth(i), widths[i]) << i;
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_FALSE(list->header()->sectionsClickable());
}

TEST_F(ScanDialogs, I2CDialogLayoutGrowsInHeightOnly) {
  createWindows();
  EXPECT_EQ(scanI2c->windowTitle(), "Scan I2C devices ");
  EXPECT_EQ(scanI2c->size(), QSize(434, 330));
  EXPECT_EQ(scanI2c->minimumWidth(), scanI2c->maximumWidth());
  EXPECT_EQ(scanI2c->minimumHeight(), 330);
  EXPECT_GT(scanI2c->maximumHeight(), 330);
  EXPECT_TRUE(scanI2c->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(child<QLabel>(scanI2c.get(), "Label1")->text(), "List of I2C devices found:");
  EXPECT_EQ(scanI2c->BScan->geometry(), QRect(334, 8, 94, 33));
  EXPECT_EQ(scanI2c->LVDevices->geometry(), QRect(8, 83, 420, 242));
  QTreeWidget* list = scanI2c->LVDevices;
  const QStringList titles{"I2C Address", "Type", "Ver FW", "Ver HW", "Name"};
  ASSERT_EQ(list->columnCount(), titles.size());
  for (int i = 0; i < titles.size(); ++i) EXPECT_EQ(list->headerItem()->text(i), titles[i]);
  EXPECT_EQ(list->columnWidth(0), 80);
  // The list is anchored to the four sides. (Shown without an address: nothing is scanned.)
  scanI2c->ScanAddress.clear();
  scanI2c->show();
  scanI2c->resize(434, 430);
  EXPECT_EQ(scanI2c->LVDevices->geometry(), QRect(8, 83, 420, 342));
}

TEST_F(ScanDialogs, CaptionComparisonByCharacterCodes) {
  struct Case {
    const char* first;
    const char* second;
    int result;
  };
  const Case cases[] = {
      {"00-1A-2B-3C-4D-5E", "00-0A-2B-3C-4D-5E", 1},
      {"00-0A-2B-3C-4D-5E", "00-1A-2B-3C-4D-5E", -1},
      {"00-1A-2B-3C-4D-5E", "00-1A-2B-3C-4D-5E", 0},
      {"0x12 (18)", "0x50 (80)", -1},
      {"0x0A (10)", "0x09 (9)", 1},  // 'A' (65) is above '9' (57)
      {"a", "B", 1},                 // no case folding: 'a' (97) > 'B' (66)
      {"", "x", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DeviceListDialog::LVDevicesCompare(QString::fromLatin1(c.first), QString::fromLatin1(c.second)),
              c.result)
        << c.first << " vs " << c.second;
}

TEST_F(ScanDialogs, ListSortsByCaptionWhateverTheReplyOrderAndHeaderClicksChangeNothing) {
  createWindows();
  feed(variablesAnswer("00 12 00 03", "00 2B 00 00 00 03", "02 01 03 0A", "Third"), QStringLiteral("10.77.1.3"));
  feed(variablesAnswer("00 12 00 03", "00 1A 00 00 00 01", "02 01 03 0A", "First"), QStringLiteral("10.77.1.1"));
  feed(variablesAnswer("00 12 00 03", "00 0A 00 00 00 02", "02 01 03 0A", "Second"), QStringLiteral("10.77.1.2"));
  scanUdp->listRecords();
  const QStringList sorted{"00-0A-00-00-00-02", "00-1A-00-00-00-01", "00-2B-00-00-00-03"};
  EXPECT_EQ(captions(scanUdp->LVDevices), sorted);
  QTreeWidgetItem* first = scanUdp->LVDevices->topLevelItem(0);
  EXPECT_EQ(first->text(1), "10.77.1.2");
  EXPECT_EQ(first->text(2), "18.3");
  EXPECT_EQ(first->text(3), "3.10");
  EXPECT_EQ(first->text(4), "2.1");
  EXPECT_EQ(first->text(5), "Second");

  scanUdp->show();
  scanUdp->hide();  // the queued scan of a showing finds the dialog hidden and does not run
  QHeaderView* header = scanUdp->LVDevices->header();
  for (int section : {1, 5, 0}) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    EXPECT_EQ(captions(scanUdp->LVDevices), sorted) << section;
  }
}

TEST_F(ScanDialogs, PickingANetworkDeviceHandsTheSelectionToTheMainWindow) {
  createWindows();
  struct Case {
    const char* type;
    const char* version;
    const char* ip;
    const char* macHex;
    const char* macText;
    const char* pair;
    bool i2cGroup;
  };
  const Case cases[] = {
      {"00 01 00 03", "02 01 03 0A", "10.77.1.1", "00 1A 00 00 00 01", "00-1A-00-00-00-01", "3.10 / 2.1", true},
      {"00 08 00 01", "00 03 00 0A", "10.77.1.8", "00 1A 00 00 00 08", "00-1A-00-00-00-08", "3.10 / NA", true},
      {"00 12 00 03", "02 01 03 0A", "10.77.1.9", "00 1A 00 00 00 09", "00-1A-00-00-00-09", "3.10 / 2.1", false},
      {"00 02 00 01", "00 02 00 07", "10.77.1.4", "00 1A 00 00 00 04", "00-1A-00-00-00-04", "2.7 / NA", false},
  };
  for (const Case& c : cases) {
    globalSelection().I2CAddress = QStringLiteral("80");
    feed(variablesAnswer(c.type, c.macHex, c.version, "Dev"), QString::fromLatin1(c.ip));
    scanUdp->listRecords();
    form->hide();
    QTreeWidgetItem* item = itemWithCaption(scanUdp->LVDevices, QString::fromLatin1(c.macText));
    ASSERT_NE(item, nullptr);
    item->setSelected(true);
    scanUdp->LVDevicesClick();
    EXPECT_EQ(globalSelection().IPAddress, QString::fromLatin1(c.ip));
    EXPECT_EQ(globalSelection().I2CAddress, "-1");
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(scanUdp->isVisible());
    EXPECT_EQ(ctl<QLineEdit>("EIPAdress")->text(), QString::fromLatin1(c.ip));
    EXPECT_TRUE(ctl<QLineEdit>("EI2CAddress")->text().isEmpty());
    EXPECT_EQ(text("LOldVersion"), QString::fromLatin1(c.pair)) << c.ip;
    EXPECT_TRUE(ctl<QPushButton>("BStart")->isEnabled());
    EXPECT_TRUE(ctl<QWidget>("BOpenFileBin")->isVisible());
    EXPECT_TRUE(ctl<QWidget>("BOpenFileWeb")->isVisible());
    EXPECT_EQ(ctl<QWidget>("BScanI2CBus")->isVisible(), c.i2cGroup) << c.ip;
    EXPECT_EQ(ctl<QWidget>("EI2CAddress")->isVisible(), c.i2cGroup) << c.ip;
    EXPECT_FALSE(ctl<QWidget>("BOpenFileBi2")->isVisible());
    // The list keeps its entries after a pick.
    EXPECT_NE(itemWithCaption(scanUdp->LVDevices, QString::fromLatin1(c.macText)), nullptr);
  }
}

// A dialog tells the pick by its signals, in this order, and writes nothing itself: a
// dialog no main window listens to leaves the selection and the main window as they are.
TEST_F(ScanDialogs, ADialogReportsThePickBySignalsOnly) {
  createWindows();
  TScanUDPForm alone(nullptr, form->discoveryAccess());
  feed(variablesAnswer("00 08 00 01", "00 1A 00 00 00 01", "02 01 03 0A", "Dev"), QStringLiteral("10.77.1.1"));
  alone.listRecords();
  QStringList events;
  QObject::connect(&alone, &DeviceListDialog::deviceChosen, [&events](const ORVCOrvaneDevice& record) {
    events << QStringLiteral("chosen %1 %2 %3").arg(record.ipAddressText, record.versionPairText(),
                                                     record.isGateway() ? "gateway" : "device");
  });
  QObject::connect(&alone, &DeviceListDialog::handedBack, [&events] { events << QStringLiteral("handed back"); });
  QTreeWidgetItem* item = itemWithCaption(alone.LVDevices, QStringLiteral("00-1A-00-00-00-01"));
  ASSERT_NE(item, nullptr);
  item->setSelected(true);
  alone.LVDevicesClick();
  EXPECT_EQ(events, (QStringList{"chosen 10.77.1.1 3.10 / 2.1 gateway", "handed back"}));
  EXPECT_EQ(globalSelection().IPAddress, "0");
  EXPECT_EQ(globalSelection().I2CAddress, "-1");
  EXPECT_EQ(text("LOldVersion"), "--.-- / --.--");
  // The groups a pick would show stay hidden (isHidden: the main window itself is not shown).
  EXPECT_TRUE(ctl<QWidget>("BOpenFileBin")->isHidden());
  EXPECT_TRUE(ctl<QWidget>("BScanI2CBus")->isHidden());
  EXPECT_FALSE(form->isVisible());
}

TEST_F(ScanDialogs, ClickWithoutASelectedEntryChangesNothing) {
  createWindows();
  globalSelection().IPAddress = QStringLiteral("10.77.1.5");
  scanUdp->LVDevicesClick();
  scanI2c->LVDevicesClick();
  EXPECT_EQ(globalSelection().IPAddress, "10.77.1.5");
  EXPECT_EQ(globalSelection().I2CAddress, "-1");
  EXPECT_EQ(text("LOldVersion"), "--.-- / --.--");
  EXPECT_FALSE(form->isVisible());
}

TEST_F(ScanDialogs, ClosingADialogShowsTheMainWindowEmptiesTheListAndKeepsTheSelection) {
  createWindows();
  feed(variablesAnswer("00 01 00 03", "00 1A 00 00 00 01", "02 01 03 0A", "Dev"), QStringLiteral("10.77.1.1"));
  scanUdp->listRecords();
  globalSelection().IPAddress = QStringLiteral("10.77.1.7");
  globalSelection().I2CAddress = QStringLiteral("80");
  form->hide();
  scanUdp->show();
  scanUdp->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(scanUdp->isVisible());
  EXPECT_EQ(scanUdp->LVDevices->topLevelItemCount(), 0);
  EXPECT_EQ(globalSelection().IPAddress, "10.77.1.7");
  EXPECT_EQ(globalSelection().I2CAddress, "80");
  EXPECT_EQ(ctl<QLineEdit>("EI2CAddress")->text(), "80");
  // Closing a dialog never ends the program.
  EXPECT_TRUE(exitCodes.isEmpty());
}

// The main window never opens the I2C dialog without a valid address; if it is opened
// with a bad one anyway, it scans nothing and hands control back.
TEST_F(ScanDialogs, I2CDialogWithABadAddressHandsBackWithoutScanning) {
  createWindows();
  QSignalSpy scans(scanI2c.get(), &DeviceListDialog::scanFinished);
  for (const char* address : {"", "10.77.1", "not an address"}) {
    form->hide();
    scanI2c->ScanAddress = QString::fromLatin1(address);
    scanI2c->show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->isVisible() && !scanI2c->isVisible(); }, 5000)) << address;
    EXPECT_EQ(scanI2c->LIPScan->text(), "----");
  }
  EXPECT_EQ(scans.count(), 0);
  EXPECT_TRUE(exitCodes.isEmpty());
}

TEST_F(ScanDialogs, AboutBoxLayoutAndOptionalLinks) {
  application();
  TAboutForm bare(nullptr, QString(), QString());
  EXPECT_EQ(bare.windowTitle(), "About");
  EXPECT_EQ(bare.size(), QSize(192, 115));
  EXPECT_EQ(bare.minimumSize(), bare.maximumSize());
  EXPECT_TRUE(bare.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(bare.LabelTitre->text(), "Orvane firmware upgrader");
  EXPECT_TRUE(bare.LabelTitre->font().bold());
  EXPECT_GT(bare.LabelTitre->font().pointSizeF(), bare.LabelVersion->font().pointSizeF());
  EXPECT_EQ(bare.LabelVersion->text(), "Version 2.15 (26.09.18)");
  EXPECT_FALSE(bare.LabelCopyright->text().isEmpty());
  bare.show();
  EXPECT_FALSE(bare.HttpLabel->isVisible());
  EXPECT_FALSE(bare.MailImage->isVisible());

  TAboutForm linked(nullptr, QStringLiteral("https://example.invalid/"), QStringLiteral("help@example.invalid"));
  linked.show();
  EXPECT_TRUE(linked.HttpLabel->isVisible());
  EXPECT_TRUE(linked.MailImage->isVisible());
  EXPECT_EQ(linked.HttpLabel->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_TRUE(linked.HttpLabel->font().underline());
  EXPECT_EQ(linked.HttpLabel->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(linked.MailImage->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(linked.MailImage->pixmap().size(), QSize(32, 32));
  EXPECT_TRUE(linked.LabelTitre->geometry().bottom() < linked.LabelVersion->geometry().top());
  EXPECT_TRUE(linked.LabelVersion->geometry().bottom() < linked.LabelCopyright->geometry().top());
  EXPECT_TRUE(linked.LabelCopyright->geometry().bottom() < linked.HttpLabel->geometry().top());
  EXPECT_LT(linked.HttpLabel->geometry().right(), linked.MailImage->geometry().left());
  // The icons are the program's own, in both sizes.
  EXPECT_EQ(QPixmap(QStringLiteral(":/orvane/mail16.xpm")).size(), QSize(16, 16));
  EXPECT_EQ(QPixmap(QStringLiteral(":/orvane/mail32.xpm")).size(), QSize(32, 32));
}

}  // namespace
