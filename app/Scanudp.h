#pragma once

#include <QMargins>
#include <QString>
#include <QTreeWidgetItem>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class ORVCOrvaneDevice;
class ORVCScanOrvaneDevice;
class QLabel;
class QPushButton;
class QTreeWidget;

// Gives the discovery engine the scan dialogs use; null once it is gone.
using DiscoveryAccess = std::function<ORVCScanOrvaneDevice*()>;

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
// and the hand-over of a picked record. Both are non-modal and stay on top. They tell
// what happens by their signals and leave the main window to the main window, which
// hides itself while a dialog is shown and shows itself again when it hands back.
class DeviceListDialog : public QWidget {
  Q_OBJECT

 public:
  // Compares two captions by their character codes: 1, -1 or 0.
  static int LVDevicesCompare(const QString& first, const QString& second);

  // Empties the list (the records it refers to may be about to go).
  void clearList();

  // The controls that change; the captions (Label1 to Label3) are fixed.
  QLabel* LIPScan = nullptr;
  QLabel* LStateUDP = nullptr;
  QPushButton* BScan = nullptr;
  QTreeWidget* LVDevices = nullptr;

  virtual void BScanClick() = 0;
  // Hands the record of the selected entry over (deviceChosen) and then control
  // (handedBack); does nothing without a selected entry.
  void LVDevicesClick();
  // Lists the discovery engine's present records of this dialog's kind.
  virtual void listRecords() = 0;

 signals:
  // Emitted at the end of every scan, once the list is filled.
  void scanFinished();
  // The operator picked this record. It belongs to the discovery engine and is valid
  // until the next scan of its kind: receivers copy what they need.
  void deviceChosen(const ORVCOrvaneDevice& record);
  // The dialog hands control back and hides itself right after this signal.
  void handedBack();

 protected:
  // `centreOn` is the window the dialog opens centred on (it may be null).
  DeviceListDialog(QWidget* centreOn, DiscoveryAccess discovery, const QString& caption, const QString& listTitle,
                   int scanButtonX, const QStringList& columns, const QList<int>& widths, QRect listGeometry);

  virtual void FormShow() = 0;
  void FormClose();

  // Shows the scanning state and really paints it before the blocking scan starts.
  void beginScan(const QString& scannedAddress);
  // Fills the list from the records, in their order (the list sorts itself).
  void fillList(const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& records,
                QStringList (*columnsOf)(const ORVCOrvaneDevice&));
  // Back to idle after a scan: Scan enabled, "Scan finished".
  void endScan();
  // Tells that control goes back (handedBack) and hides this dialog.
  void handBack();
  // The discovery engine, or null when there is none any more.
  ORVCScanOrvaneDevice* discovery() const { return discovery_ ? discovery_() : nullptr; }

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // From now on the list keeps its present distances to the four sides of the dialog.
  void anchorListToAllSides();
  void resizeEvent(QResizeEvent* event) override;

 private:
  QWidget* centreOn_;
  DiscoveryAccess discovery_;
  QMargins listMargins_;
  bool listAnchored_ = false;
};

// The network scan dialog: runs the broadcast discovery and lists every network
// device found; the main window makes a picked one its target network device.
class TScanUDPForm : public DeviceListDialog {
  Q_OBJECT

 public:
  TScanUDPForm(QWidget* centreOn, DiscoveryAccess discovery);

  void BScanClick() override;
  void listRecords() override;

 protected:
  void FormShow() override;
};
