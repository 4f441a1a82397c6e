#pragma once

#include "app/Scanudp.h"

#include <QString>

// The I2C scan dialog: runs the I2C bus scan through the chosen network device and lists
// the I2C devices behind it; picking one makes it the target I2C device.
class TFScanI2C : public DeviceListDialog {
  Q_OBJECT

 public:
  explicit TFScanI2C(TFormMain& formMain);

  // The network device whose I2C bus is scanned; set by the main window before showing.
  QString ScanAddress;

  void BScanClick() override;
  void LVDevicesClick() override;
  void listRecords() override;

 protected:
  void FormShow() override;
};
