#pragma once

#include "app/Scanudp.h"

#include <QString>

// The I2C scan dialog: runs the I2C bus scan through the chosen network device and lists
// the I2C devices behind it; the main window makes a picked one its target I2C device.
class TFScanI2C : public DeviceListDialog {
  Q_OBJECT

 public:
  TFScanI2C(QWidget* centreOn, DiscoveryAccess discovery);

  // The network device whose I2C bus is scanned; set by the main window before showing.
  QString ScanAddress;

  void BScanClick() override;
  void listRecords() override;

 protected:
  void FormShow() override;
};
