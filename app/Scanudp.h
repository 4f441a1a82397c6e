#pragma once

#include <QMargins>
#include <QString>
#include <QTreeWidgetItem>
#include <QWidget>
#include <memory>
#include <vector>

class ORVCOrvaneDevice;
class QLabel;
class QPushButton;
class QTreeWidget;
class TFormMain;

// One entry of a device list: the record it shows (owned by the discovery engine and
// valid until the next scan of the same kind; null for the "Processing..." entry).
// Entries sort by their caption (first column) through LVDevicesCompare.
class DeviceListItem : public QTreeWidgetItem {
 public:
  DeviceListItem(const QStringList& columns, const ORVCOrvaneDevice* record)
      : QTreeWidgetItem(columns), record(record) {}
  bool operator<(const QTreeWidgetItem& other) const override;

  const ORVCOrvaneDevice* record;
};

// What the two scan dialogs share: the state labels, the Scan button, the device list
// and the hand-over to the main window. Both are non-modal, stay on top, hide the main
// window while they are shown and show it again when they hand control back.
class DeviceListDialog : public QWidget {
  Q_OBJECT

 public:
  // Compares two captions by their character codes: 1, -1 or 0.
  static int LVDevicesCompare(const QString& first, const QString& second);

  // Empties the list (the records it refers to may be about to go).
  void clearList();

  QLabel* Label2 = nullptr;
  QLabel* LIPScan = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* LStateUDP = nullptr;
  QLabel* Label1 = nullptr;
  QPushButton* BScan = nullptr;
  QTreeWidget* LVDevices = nullptr;

  virtual void BScanClick() = 0;
  virtual void LVDevicesClick() = 0;
  // Lists the discovery engine's present records of this dialog's kind.
  virtual void listRecords() = 0;

 signals:
  // Emitted at the end of every scan, once the list is filled.
  void scanFinished();

 protected:
  DeviceListDialog(TFormMain& formMain, const QString& caption, const QString& listTitle, int scanButtonX,
                   const QStringList& columns, const QList<int>& widths, QRect listGeometry);

  virtual void FormShow() = 0;
  void FormClose();

  // Shows the scanning state and really paints it before the blocking scan starts.
  void beginScan(const QString& scannedAddress);
  // Fills the list from the records, in their order (the list sorts itself).
  void fillList(const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& records,
                QStringList (*columnsOf)(const ORVCOrvaneDevice&));
  // Back to idle after a scan: Scan enabled, "Scan finished".
  void endScan();
  // Shows the main window again and hides this dialog.
  void handBack();

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // From now on the list keeps its present distances to the four sides of the dialog.
  void anchorListToAllSides();
  void resizeEvent(QResizeEvent* event) override;

  TFormMain& formMain_;

 private:
  QMargins listMargins_;
  bool listAnchored_ = false;
};

// The network scan dialog: runs the broadcast discovery and lists every network
// device found; picking one makes it the target network device.
class TScanUDPForm : public DeviceListDialog {
  Q_OBJECT

 public:
  explicit TScanUDPForm(TFormMain& formMain);

  void BScanClick() override;
  void LVDevicesClick() override;
  void listRecords() override;

 protected:
  void FormShow() override;
};
