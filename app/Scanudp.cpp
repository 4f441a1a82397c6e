#include "app/Scanudp.h"

#include "discovery/ScanOrvaneModule.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

bool DeviceListItem::operator<(const QTreeWidgetItem& other) const {
  return DeviceListDialog::LVDevicesCompare(text(0), other.text(0)) < 0;
}

int DeviceListDialog::LVDevicesCompare(const QString& first, const QString& second) {
  // Case-sensitive QString comparison is by UTF-16 code units: by character codes.
  const int result = QString::compare(first, second, Qt::CaseSensitive);
  return result > 0 ? 1 : (result < 0 ? -1 : 0);
}

DeviceListDialog::DeviceListDialog(QWidget* centreOn, DiscoveryAccess discovery, const QString& caption,
                                   const QString& listTitle, int scanButtonX, const QStringList& columns,
                                   const QList<int>& widths, QRect listGeometry)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      centreOn_(centreOn),
      discovery_(std::move(discovery)) {
  setWindowTitle(caption);
  // Closing a dialog hands control back to the main window; it never ends the program.
  setAttribute(Qt::WA_QuitOnClose, false);

  auto label = [this](const char* name, const QString& text, QPoint at) {
    auto* l = new QLabel(text, this);
    l->setObjectName(QString::fromLatin1(name));
    l->move(at);
    l->resize(l->sizeHint().width() + 4, l->sizeHint().height());
    return l;
  };
  label("Label2", QStringLiteral("IP Scan address: "), {11, 8});
  // The values stand a little further right than 100 so that they never touch their
  // captions with the fonts of this platform.
  LIPScan = label("LIPScan", QStringLiteral("----"), {112, 8});
  LIPScan->setMinimumWidth(200);
  label("Label3", QStringLiteral("State UDP :"), {11, 32});
  LStateUDP = label("LStateUDP", QStringLiteral("----"), {112, 32});
  LStateUDP->setMinimumWidth(200);
  label("Label1", listTitle, {11, 64});

  BScan = new QPushButton(QStringLiteral("Scan"), this);
  BScan->setObjectName(QStringLiteral("BScan"));
  BScan->setGeometry(scanButtonX, 8, 94, 33);
  BScan->setAutoDefault(false);
  connect(BScan, &QPushButton::clicked, this, [this] { BScanClick(); });

  LVDevices = new QTreeWidget(this);
  LVDevices->setObjectName(QStringLiteral("LVDevices"));
  LVDevices->setGeometry(listGeometry);
  LVDevices->setRootIsDecorated(false);
  LVDevices->setItemsExpandable(false);
  LVDevices->setUniformRowHeights(true);
  LVDevices->setSelectionMode(QAbstractItemView::SingleSelection);
  LVDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
  LVDevices->setAllColumnsShowFocus(true);
  LVDevices->setHeaderLabels(columns);
  for (int i = 0; i < widths.size(); ++i) LVDevices->setColumnWidth(i, widths[i]);
  // Clicking a column header does nothing: the order is always that of the captions.
  LVDevices->setSortingEnabled(true);
  LVDevices->sortByColumn(0, Qt::AscendingOrder);
  LVDevices->header()->setSectionsClickable(false);
  LVDevices->header()->setSortIndicatorShown(false);
  // The columns fill the list exactly; the last one takes what the frame leaves, so no
  // horizontal scroll bar is needed.
  LVDevices->header()->setStretchLastSection(true);
  LVDevices->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  connect(LVDevices, &QTreeWidget::itemClicked, this, [this] { LVDevicesClick(); });
  connect(LVDevices, &QTreeWidget::itemActivated, this, [this] { LVDevicesClick(); });
}

void DeviceListDialog::clearList() { LVDevices->clear(); }

void DeviceListDialog::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  // Centred on the main window (which hides itself meanwhile but keeps its place).
  if (centreOn_) {
    QRect frame = frameGeometry();
    frame.moveCenter(centreOn_->frameGeometry().center());
    move(frame.topLeft());
  }
  // The scan blocks the thread: start it once the dialog is on the screen.
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) FormShow();
  });
}

void DeviceListDialog::closeEvent(QCloseEvent* event) {
  event->accept();
  FormClose();
}

void DeviceListDialog::anchorListToAllSides() {
  const QRect list = LVDevices->geometry();
  listMargins_ = QMargins(list.left(), list.top(), width() - list.right() - 1, height() - list.bottom() - 1);
  listAnchored_ = true;
}

void DeviceListDialog::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (listAnchored_) LVDevices->setGeometry(rect().marginsRemoved(listMargins_));
}

void DeviceListDialog::FormClose() {
  handBack();
  LVDevices->clear();
}

void DeviceListDialog::handBack() {
  emit handedBack();
  hide();
}

void DeviceListDialog::LVDevicesClick() {
  const QList<QTreeWidgetItem*> selected = LVDevices->selectedItems();
  if (selected.isEmpty()) return;
  // The "Processing..." entry has no record.
  const auto* item = dynamic_cast<const DeviceListItem*>(selected.constFirst());
  if (!item || !item->record) return;
  emit deviceChosen(*item->record);
  handBack();
}

void DeviceListDialog::beginScan(const QString& scannedAddress) {
  LStateUDP->setText(QStringLiteral("Start scanning..."));
  LIPScan->setText(scannedAddress);
  LVDevices->clear();
  BScan->setEnabled(false);
  LVDevices->addTopLevelItem(new DeviceListItem({QStringLiteral("Processing...")}, nullptr));
  // The scan blocks the user-interface thread: these texts must be on the screen before
  // it starts. A window just shown may not be exposed yet; wait a short, bounded time.
  if (QWindow* window = windowHandle()) {
    const QDeadlineTimer deadline(300);
    while (!window->isExposed() && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
  }
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void DeviceListDialog::fillList(const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& records,
                                QStringList (*columnsOf)(const ORVCOrvaneDevice&)) {
  LVDevices->clear();
  for (const auto& record : records) LVDevices->addTopLevelItem(new DeviceListItem(columnsOf(*record), record.get()));
}

void DeviceListDialog::endScan() {
  BScan->setEnabled(true);
  LStateUDP->setText(QStringLiteral("Scan finished"));
  emit scanFinished();
}

// ---------------------------------------------------------------------------------

namespace {

QStringList networkColumns(const ORVCOrvaneDevice& record) {
  return {record.macAddressText, record.ipAddressText, record.typeText,
          record.fwVersionText,  record.hwVersionText, record.deviceName};
}

}  // namespace

TScanUDPForm::TScanUDPForm(QWidget* centreOn, DiscoveryAccess discovery)
    : DeviceListDialog(centreOn, std::move(discovery), QStringLiteral("Firmware upgrader - Scan devices"),
                       QStringLiteral("List of connected devices:"), 474,
                       {QStringLiteral("MAC Address"), QStringLiteral("IP Address"), QStringLiteral("Type"),
                        QStringLiteral("Ver FW"), QStringLiteral("Ver HW"), QStringLiteral("Name")},
                       {120, 100, 40, 50, 50, 200}, QRect(8, 80, 560, 185)) {
  setObjectName(QStringLiteral("ScanUDPForm"));
  QFont small = font();
  small.setPointSize(8);
  setFont(small);
  setFixedSize(576, 273);
}

void TScanUDPForm::FormShow() { BScanClick(); }

void TScanUDPForm::BScanClick() {
  ORVCScanOrvaneDevice* engine = discovery();
  if (!engine) return;
  beginScan(QStringLiteral("255.255.255.255"));
  engine->scanOrvaneDevice();
  listRecords();
  endScan();
}

void TScanUDPForm::listRecords() {
  if (ORVCScanOrvaneDevice* engine = discovery()) fillList(engine->networkDevices(), &networkColumns);
}
