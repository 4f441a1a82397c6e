#include "app/Scani2c.h"

#include "common/Utilsfunctions.h"
#include "discovery/ScanOrvaneModule.h"

#include <QLabel>
#include <QTreeWidget>

namespace {

QStringList i2cColumns(const ORVCOrvaneDevice& record) {
  return {record.i2cAddressText, record.typeText, record.fwVersionText, record.hwVersionText, record.deviceName};
}

}  // namespace

TFScanI2C::TFScanI2C(QWidget* centreOn, DiscoveryAccess discovery)
    : DeviceListDialog(centreOn, std::move(discovery), QStringLiteral("Scan I2C devices "),
                       QStringLiteral("List of I2C devices found:"), 334,
                       {QStringLiteral("I2C Address"), QStringLiteral("Type"), QStringLiteral("Ver FW"),
                        QStringLiteral("Ver HW"), QStringLiteral("Name")},
                       {80, 40, 50, 50, 200}, QRect(8, 83, 420, 242)) {
  setObjectName(QStringLiteral("FScanI2C"));
  QFont small = font();
  small.setPointSize(8);
  setFont(small);
  // Resizable in height only: the width stays that of the columns.
  setFixedWidth(434);
  setMinimumHeight(330);
  resize(434, 330);
  anchorListToAllSides();
}

void TFScanI2C::FormShow() {
  // The main window opens this dialog only with a valid address; should it ever not be
  // one, there is nothing to scan: hand control back instead of ending the program.
  if (!isValidIpText(ScanAddress)) {
    handBack();
    return;
  }
  BScanClick();
}

void TFScanI2C::BScanClick() {
  ORVCScanOrvaneDevice* engine = discovery();
  if (!engine) return;
  beginScan(ScanAddress);
  engine->scanI2CBus(ScanAddress);
  listRecords();
  endScan();
}

void TFScanI2C::listRecords() {
  if (ORVCScanOrvaneDevice* engine = discovery()) fillList(engine->i2cDevices(), &i2cColumns);
}
