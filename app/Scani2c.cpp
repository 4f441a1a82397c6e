#include "app/Scani2c.h"

#include "app/GlobalSelection.h"
#include "app/Mainform.h"
#include "common/Utilsfunctions.h"
#include "discovery/ScanOrvaneModule.h"

#include <QLabel>
#include <QTreeWidget>

namespace {

QStringList i2cColumns(const ORVCOrvaneDevice& record) {
  return {record.i2cAddressText, record.typeText, record.fwVersionText, record.hwVersionText, record.deviceName};
}

}  // namespace

TFScanI2C::TFScanI2C(TFormMain& formMain)
    : DeviceListDialog(formMain, QStringLiteral("Scan I2C devices "), QStringLiteral("List of I2C devices found:"),
                       334,
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
  ORVCScanOrvaneDevice* discovery = formMain_.discoveryEngine();
  if (!discovery) return;
  beginScan(ScanAddress);
  discovery->scanI2CBus(ScanAddress);
  listRecords();
  endScan();
}

void TFScanI2C::listRecords() {
  if (ORVCScanOrvaneDevice* discovery = formMain_.discoveryEngine()) fillList(discovery->i2cDevices(), &i2cColumns);
}

void TFScanI2C::LVDevicesClick() {
  const QList<QTreeWidgetItem*> selected = LVDevices->selectedItems();
  if (selected.isEmpty()) return;
  const ORVCOrvaneDevice* record = static_cast<DeviceListItem*>(selected.constFirst())->record;
  if (!record) return;
  formMain_.showI2CGroups(true, true);
  globalSelection().I2CAddress = QString::number(record->i2cAddress);
  formMain_.LOldI2CVersion->setText(record->versionPairText());
  handBack();
}
