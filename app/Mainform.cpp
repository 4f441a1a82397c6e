#include "app/Mainform.h"

#include "app/About.h"
#include "app/GlobalSelection.h"
#include "app/Scani2c.h"
#include "app/Scanudp.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "common/Utilsfunctions.h"
#include "engine/FirmwareFile.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <cstdio>

namespace {

const QString kSource = QStringLiteral("Mainform");

// A label that shows a long text (a file name) shortened in the middle instead of
// cutting it off, and the whole text as its tool tip. text() keeps the full text.
class ElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;

  void setFullText(const QString& text) {
    setText(text);
    setToolTip(text);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
    painter.drawText(contentsRect(), int(alignment()), shown);
  }
};

// Every loader's label texts for a kind without a file.
const QString kNoFileName = QStringLiteral("---");
const QString kNoFileLength = QStringLiteral("0 Bytes");
const QString kNoVersionText = QStringLiteral("--.--");

void writeError(int line, const char* function, const QString& text) {
  writeLogEntry(kSource, line, QString::fromLatin1(function), UseConfiguredOutputs, LogLevelError, text);
}

// Batch runs print their progress to standard output as it happens.
void printBatchLine(const QString& line) {
  std::fputs(line.toLocal8Bit().constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int i2cAddressNumber(const QString& text) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok);
  return ok ? value : -1;
}

}  // namespace

TFormMain::TFormMain(EngineSettings engineSettings, DiscoverySettings discoverySettings, QWidget* parent)
    : QMainWindow(parent) {
  OpenDialog = [this](const QString& caption, const QString& filter) {
    QFileDialog dialog(this, caption, QCoreApplication::applicationDirPath(), filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.selectNameFilter(filter);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
  };
  // Queued, so that an exit requested before the event loop runs (a batch refusal
  // reported while the window is first shown) still ends the loop once it starts.
  requestExit = [](int exitCode) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
  };

  buildLayout();

  bool success = false;
  engine_ = std::make_unique<ORVCRoVivazava>(
      success, &TFormMain::onUpgradeStatus, this,
      [this](const QString& ip) { return discovery_ && discovery_->testPing(ip); }, engineSettings);
  if (!success) {
    engine_.reset();
    writeError(__LINE__, "TFormMain::TFormMain", QStringLiteral("Failed to create ORVCRoVivazava object ! Exiting."));
    return;
  }
  discovery_ = std::make_unique<ORVCScanOrvaneDevice>(500, discoverySettings);
  FormCreate();
}

TFormMain::~TFormMain() { FormClose(); }

void TFormMain::attachWindows(TScanUDPForm* scanUdp, TAboutForm* about, TFScanI2C* scanI2c) {
  scanUdpForm_ = scanUdp;
  aboutForm_ = about;
  scanI2cForm_ = scanI2c;
}

// ---------------------------------------------------------------------------------
// Layout: client area 638 x 311; address rows at the top left, the file groups below
// them, the memo, the progress bar and Start at the right.

void TFormMain::buildLayout() {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Orvane's products Firmware Upgrader"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  auto* menu = menuBar();
  menu->setObjectName(QStringLiteral("MainMenu"));
  QMenu* connection = menu->addMenu(QStringLiteral("Connection"));
  MenuResetARP = connection->addAction(QStringLiteral("Reset ARP"));
  MenuResetARP->setObjectName(QStringLiteral("MenuResetARP"));
  MenuAbout = menu->addAction(QStringLiteral("About"));
  MenuAbout->setObjectName(QStringLiteral("MenuAbout"));
  connect(MenuResetARP, &QAction::triggered, this, [this] { MenuResetARPClick(); });
  connect(MenuAbout, &QAction::triggered, this, [this] { MenuAboutClick(); });

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  client->setFixedSize(638, 311);
  QFont font = client->font();
  font.setPointSize(8);
  client->setFont(font);
  setCentralWidget(client);
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  auto label = [](QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    return l;
  };
  auto valueLabel = [](QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* l = new ElidedLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    return l;
  };
  auto button = [this](QWidget* parent, const char* name, const QString& text, QRect geometry,
                       void (TFormMain::*handler)()) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return b;
  };
  auto edit = [](QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(geometry);
    e->setReadOnly(true);
    return e;
  };

  LabelIP = label(client, "LabelIP", QStringLiteral("IP address:"), {8, 11, 76, 18});
  EIPAdress = edit(client, "EIPAdress", QStringLiteral("192.168.16.100"), {86, 8, 124, 23});
  BScan = button(client, "BScan", QStringLiteral("Scan..."), {218, 7, 128, 25}, &TFormMain::BScanClick);
  LI2CAddress = label(client, "LI2CAddress", QStringLiteral("I2C address:"), {8, 39, 76, 18});
  EI2CAddress = edit(client, "EI2CAddress", QString(), {86, 36, 124, 23});
  BScanI2CBus = button(client, "BScanI2CBus", QStringLiteral("Scan I2C devices..."), {218, 35, 128, 25},
                       &TFormMain::BScanI2CBusClick);
  BScanI2CBus->setEnabled(false);

  GBLoadFiles = new QGroupBox(QStringLiteral("Selected files"), client);
  GBLoadFiles->setObjectName(QStringLiteral("GBLoadFiles"));
  GBLoadFiles->setGeometry(8, 66, 434, 238);
  QWidget* box = GBLoadFiles;

  // Each file group: its two buttons stacked at the left, name/value rows at the right.
  constexpr int kButtonX = 8, kButtonW = 132, kDefX = 146, kDefW = 144, kValueX = 292, kValueW = 136;
  constexpr int kRow = 16;
  auto rows = [&](int top, int index) { return QRect(0, top + 3 + index * kRow, 0, kRow); };
  auto defAt = [&](int top, int index) {
    QRect r = rows(top, index);
    return QRect(kDefX, r.y(), kDefW, kRow);
  };
  auto valueAt = [&](int top, int index) {
    QRect r = rows(top, index);
    return QRect(kValueX, r.y(), kValueW, kRow);
  };

  const int binTop = 20;
  BOpenFileBin = button(box, "BOpenFileBin", QStringLiteral("Change *.bin file..."), {kButtonX, binTop, kButtonW, 25},
                        &TFormMain::BOpenFileBinClick);
  BClearBinFile = button(box, "BClearBinFile", QStringLiteral("Clear *.bin file"),
                         {kButtonX, binTop + 28, kButtonW, 25}, &TFormMain::BClearBinFileClick);
  LBinFileDef = label(box, "LBinFileDef", QStringLiteral("Name :"), defAt(binTop, 0));
  LBinFile = valueLabel(box, "LBinFile", kNoFileName, valueAt(binTop, 0));
  LBinFileLengthDef = label(box, "LBinFileLengthDef", QStringLiteral("Length :"), defAt(binTop, 1));
  LBinFileLength = label(box, "LBinFileLength", kNoFileLength, valueAt(binTop, 1));
  LOldVersionDef = label(box, "LOldVersionDef", QStringLiteral("Actual FW/HW version :"), defAt(binTop, 2));
  LOldVersion = label(box, "LOldVersion", QStringLiteral("--.-- / --.--"), valueAt(binTop, 2));
  LNewVersionDef = label(box, "LNewVersionDef", QStringLiteral("New FW version :"), defAt(binTop, 3));
  LNewVersion = label(box, "LNewVersion", kNoVersionText, valueAt(binTop, 3));

  const int webTop = 92;
  BOpenFileWeb = button(box, "BOpenFileWeb", QStringLiteral("Change *.web file..."), {kButtonX, webTop, kButtonW, 25},
                        &TFormMain::BOpenFileWebClick);
  BClearWebFile = button(box, "BClearWebFile", QStringLiteral("Clear *.web file"),
                         {kButtonX, webTop + 28, kButtonW, 25}, &TFormMain::BClearWebFileClick);
  LWebFileDef = label(box, "LWebFileDef", QStringLiteral("Name :"), defAt(webTop, 0));
  LWebFile = valueLabel(box, "LWebFile", kNoFileName, valueAt(webTop, 0));
  LWebFileLengthDef = label(box, "LWebFileLengthDef", QStringLiteral("Length :"), defAt(webTop, 1));
  LWebFileLength = label(box, "LWebFileLength", kNoFileLength, valueAt(webTop, 1));

  const int bi2Top = 156;
  BOpenFileBi2 = button(box, "BOpenFileBi2", QStringLiteral("Change *.bi2 file..."), {kButtonX, bi2Top, kButtonW, 25},
                        &TFormMain::BOpenFileBi2Click);
  BClearBi2File = button(box, "BClearBi2File", QStringLiteral("Clear *.bi2 file"),
                         {kButtonX, bi2Top + 28, kButtonW, 25}, &TFormMain::BClearBi2FileClick);
  LBi2FileDef = label(box, "LBi2FileDef", QStringLiteral("Name :"), defAt(bi2Top, 0));
  LBi2File = valueLabel(box, "LBi2File", kNoFileName, valueAt(bi2Top, 0));
  LBi2FileLengthDef = label(box, "LBi2FileLengthDef", QStringLiteral("Length :"), defAt(bi2Top, 1));
  LBi2FileLength = label(box, "LBi2FileLength", kNoFileLength, valueAt(bi2Top, 1));
  LOldI2CVersionDef = label(box, "LOldI2CVersionDef", QStringLiteral("Actual FW/HW version :"), defAt(bi2Top, 2));
  LOldI2CVersion = label(box, "LOldI2CVersion", QStringLiteral("--.-- / --.--"), valueAt(bi2Top, 2));
  LNewI2CVersionDef = label(box, "LNewI2CVersionDef", QStringLiteral("New FW version :"), defAt(bi2Top, 3));
  LNewI2CVersion = label(box, "LNewI2CVersion", kNoVersionText, valueAt(bi2Top, 3));

  MBootLoaderState = new QPlainTextEdit(client);
  MBootLoaderState->setObjectName(QStringLiteral("MBootLoaderState"));
  MBootLoaderState->setGeometry(450, 8, 180, 214);
  MBootLoaderState->setReadOnly(true);
  MBootLoaderState->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MBootLoaderState->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MBootLoaderState->setAutoFillBackground(true);

  PBLoadingFiles = new QProgressBar(client);
  PBLoadingFiles->setObjectName(QStringLiteral("PBLoadingFiles"));
  PBLoadingFiles->setGeometry(450, 228, 180, 18);
  PBLoadingFiles->setRange(0, 100);
  PBLoadingFiles->setValue(0);
  PBLoadingFiles->setTextVisible(false);

  BStart = button(client, "BStart", QStringLiteral("Start"), {450, 252, 180, 51}, &TFormMain::BStartClick);
  QFont startFont = BStart->font();
  startFont.setPointSize(14);
  startFont.setBold(true);
  BStart->setFont(startFont);
}

// ---------------------------------------------------------------------------------
// Visibility groups

void TFormMain::showBinGroup(bool visible) {
  for (QWidget* w : {static_cast<QWidget*>(BOpenFileBin), static_cast<QWidget*>(BClearBinFile),
                     static_cast<QWidget*>(LBinFileDef), static_cast<QWidget*>(LBinFile),
                     static_cast<QWidget*>(LBinFileLengthDef), static_cast<QWidget*>(LBinFileLength),
                     static_cast<QWidget*>(LOldVersionDef), static_cast<QWidget*>(LOldVersion),
                     static_cast<QWidget*>(LNewVersionDef), static_cast<QWidget*>(LNewVersion)})
    w->setVisible(visible);
}

void TFormMain::showWebGroup(bool visible) {
  for (QWidget* w : {static_cast<QWidget*>(BOpenFileWeb), static_cast<QWidget*>(BClearWebFile),
                     static_cast<QWidget*>(LWebFileDef), static_cast<QWidget*>(LWebFile),
                     static_cast<QWidget*>(LWebFileLengthDef), static_cast<QWidget*>(LWebFileLength)})
    w->setVisible(visible);
}

void TFormMain::showI2CGroups(bool addressVisible, bool bi2Visible) {
  for (QWidget* w : {static_cast<QWidget*>(BScanI2CBus), static_cast<QWidget*>(EI2CAddress),
                     static_cast<QWidget*>(LI2CAddress)})
    w->setVisible(addressVisible);
  for (QWidget* w : {static_cast<QWidget*>(BOpenFileBi2), static_cast<QWidget*>(BClearBi2File),
                     static_cast<QWidget*>(LBi2FileDef), static_cast<QWidget*>(LBi2File),
                     static_cast<QWidget*>(LBi2FileLengthDef), static_cast<QWidget*>(LBi2FileLength),
                     static_cast<QWidget*>(LOldI2CVersionDef), static_cast<QWidget*>(LOldI2CVersion),
                     static_cast<QWidget*>(LNewI2CVersionDef), static_cast<QWidget*>(LNewI2CVersion)})
    w->setVisible(bi2Visible);
}

void TFormMain::setUserButtonsEnabled(bool enabled) {
  for (QPushButton* b : {BStart, BScan, BScanI2CBus, BOpenFileBin, BOpenFileBi2, BOpenFileWeb, BClearBinFile,
                         BClearBi2File, BClearWebFile})
    b->setEnabled(enabled);
}

// ---------------------------------------------------------------------------------
// Window events

void TFormMain::FormCreate() {
  showBinGroup(false);
  showWebGroup(false);
  showI2CGroups(false, false);
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Restoring a minimised window is not a new showing.
  if (event->spontaneous()) return;
  if (!shownOnce_) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  FormShow();
}

void TFormMain::FormShow() {
  const GlobalSelection& selection = globalSelection();
  if (selection.IPAddress != QLatin1String("0")) {
    EIPAdress->setText(selection.IPAddress);
    BScanI2CBus->setEnabled(true);
    EI2CAddress->setText(selection.I2CAddress == QLatin1String("-1") ? QString() : selection.I2CAddress);
  } else {
    EIPAdress->clear();
    EI2CAddress->clear();
    BStart->setEnabled(false);
    BScanI2CBus->setEnabled(false);
  }
  // The batch run belongs to the first showing only; the window may be shown again.
  const bool firstShowing = !shownOnce_;
  shownOnce_ = true;
  if (selection.BatchMode && firstShowing) runBatch();
  EI2CAddress->setReadOnly(true);
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (!FormCloseQuery()) {
    event->ignore();
    return;
  }
  event->accept();
  FormClose();
  requestExit(0);
}

bool TFormMain::FormCloseQuery() {
  if (!engine_ || engine_->currentState() == kTerminalState) return true;
  return orvane::ui::askYesNo(
      QStringLiteral("Close application"),
      QStringLiteral("The Firmware update process is not finished,\nAre you sur you want to close application ?"));
}

void TFormMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  // The dialogs hold references to the discovery engine's records: put them away first.
  for (QWidget* w : {static_cast<QWidget*>(scanUdpForm_.data()), static_cast<QWidget*>(aboutForm_.data()),
                     static_cast<QWidget*>(scanI2cForm_.data())})
    if (w) w->hide();
  if (scanUdpForm_) scanUdpForm_->clearList();
  if (scanI2cForm_) scanI2cForm_->clearList();
  // The engine may reference the contents: it goes right after them, before anything
  // can run another of its steps.
  BinFileData.reset();
  Bi2FileData.reset();
  WebFileData.reset();
  engine_.reset();
  discovery_.reset();
}

// ---------------------------------------------------------------------------------
// Buttons and menu

void TFormMain::BScanClick() {
  if (!scanUdpForm_ || closed_) return;
  scanUdpForm_->show();
  hide();
}

void TFormMain::BScanI2CBusClick() {
  const QString& ip = globalSelection().IPAddress;
  if (ip == QLatin1String("0") || !scanI2cForm_ || closed_) return;
  scanI2cForm_->ScanAddress = ip;
  scanI2cForm_->show();
  hide();
}

void TFormMain::chooseFile(QString& selection, const QString& caption, const QString& filter) {
  const QString chosen = OpenDialog ? OpenDialog(caption, filter) : QString();
  if (!chosen.isEmpty()) selection = chosen;
  // Confirmed or cancelled: every chosen file is read again from disk.
  loadSelectedFiles();
}

void TFormMain::BOpenFileBinClick() {
  chooseFile(globalSelection().BinFileName, QStringLiteral("Open"), QStringLiteral("Bin files (*.bin)"));
}

void TFormMain::BOpenFileBi2Click() {
  chooseFile(globalSelection().Bi2FileName, QStringLiteral("Open"),
             QStringLiteral("I2C devices bin files (*.bi2)"));
}

void TFormMain::BOpenFileWebClick() {
  chooseFile(globalSelection().WebFileName, QStringLiteral("Open"), QStringLiteral("Web files (*.web)"));
}

void TFormMain::BClearBinFileClick() {
  globalSelection().BinFileName = QStringLiteral("0");
  BinFileData.reset();
  static_cast<ElidedLabel*>(LBinFile)->setFullText(kNoFileName);
  LNewVersion->setText(kNoVersionText);
  LBinFileLength->setText(kNoFileLength);
}

void TFormMain::BClearBi2FileClick() {
  globalSelection().Bi2FileName = QStringLiteral("0");
  Bi2FileData.reset();
  static_cast<ElidedLabel*>(LBi2File)->setFullText(kNoFileName);
  LBi2FileLength->setText(kNoFileLength);
}

void TFormMain::BClearWebFileClick() {
  globalSelection().WebFileName = QStringLiteral("0");
  WebFileData.reset();
  static_cast<ElidedLabel*>(LWebFile)->setFullText(kNoFileName);
  LWebFileLength->setText(kNoFileLength);
}

void TFormMain::BStartClick() {
  MBootLoaderState->clear();
  PBLoadingFiles->setValue(0);
  lastPrintedProgress_ = 0;
  setUserButtonsEnabled(false);
  addMemoLine(QStringLiteral("Start upgrade."));
  setMemoFailed(false);
  const GlobalSelection& selection = globalSelection();
  if (!engine_) return;
  const bool started =
      engine_->startUpgrade(selection.IPAddress, i2cAddressNumber(selection.I2CAddress),
                            BinFileData ? &*BinFileData : nullptr, Bi2FileData ? &*Bi2FileData : nullptr,
                            WebFileData ? &*WebFileData : nullptr, selection.BatchMode);
  if (!started) addMemoLine(QStringLiteral("Upgrade failed."));
}

void TFormMain::MenuResetARPClick() { resetArpEntry(globalSelection().IPAddress); }

void TFormMain::MenuAboutClick() {
  if (!aboutForm_) return;
  aboutForm_->show();
  aboutForm_->raise();
  aboutForm_->activateWindow();
}

// ---------------------------------------------------------------------------------
// Loaders

bool TFormMain::loadFile(const QString& path, orvane::FirmwareKind kind, std::optional<QByteArray>& data,
                         QLabel* nameLabel, QLabel* lengthLabel, QLabel* newVersionLabel, VersionSet* versionSet) {
  if (path == QLatin1String("0")) return true;
  std::optional<orvane::LoadedFirmware> loaded = orvane::loadFirmwareFile(path, kind);
  if (!loaded) {
    // A refused file leaves no content behind that a later Start could upload.
    data.reset();
    return false;
  }
  data = std::move(loaded->content);
  if (versionSet) ORVCRoVivazava::storeFileIdentification(*versionSet, loaded->identification);
  static_cast<ElidedLabel*>(nameLabel)->setFullText(loaded->nameText);
  lengthLabel->setText(loaded->lengthText);
  if (newVersionLabel) newVersionLabel->setText(loaded->newVersionText);
  return true;
}

bool TFormMain::loadBinFile(const QString& path) {
  return loadFile(path, orvane::FirmwareKind::Bin, BinFileData, LBinFile, LBinFileLength, LNewVersion,
                  engine_ ? &engine_->network : nullptr);
}

bool TFormMain::loadBi2File(const QString& path) {
  return loadFile(path, orvane::FirmwareKind::Bi2, Bi2FileData, LBi2File, LBi2FileLength, LNewI2CVersion,
                  engine_ ? &engine_->i2c : nullptr);
}

bool TFormMain::loadWebFile(const QString& path) {
  return loadFile(path, orvane::FirmwareKind::Web, WebFileData, LWebFile, LWebFileLength, nullptr, nullptr);
}

bool TFormMain::loadSelectedFiles() {
  BinFileData.reset();
  Bi2FileData.reset();
  WebFileData.reset();
  const GlobalSelection& selection = globalSelection();
  if (!loadBinFile(selection.BinFileName)) {
    writeError(__LINE__, "TFormMain::loadSelectedFiles", QStringLiteral("Bin file not valid."));
    return false;
  }
  if (!loadBi2File(selection.Bi2FileName)) {
    writeError(__LINE__, "TFormMain::loadSelectedFiles", QStringLiteral("Bi2 file not valid."));
    return false;
  }
  if (!loadWebFile(selection.WebFileName)) {
    writeError(__LINE__, "TFormMain::loadSelectedFiles", QStringLiteral("Web file not valid."));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Batch run and status reports

void TFormMain::runBatch() {
  setUserButtonsEnabled(false);
  if (!loadSelectedFiles()) {
    printBatchLine(QStringLiteral("A selected file was refused; see the error log: ") + errorLogFilePath());
    endBatch(kBatchExitFileRefused);
    return;
  }
  if (!engine_) return;
  const GlobalSelection& selection = globalSelection();
  lastPrintedProgress_ = 0;
  // A refusal is reported (StatusFailed) before this returns; the exit it requests is
  // queued and ends the event loop as soon as that runs.
  engine_->startUpgrade(selection.IPAddress, i2cAddressNumber(selection.I2CAddress),
                        BinFileData ? &*BinFileData : nullptr, Bi2FileData ? &*Bi2FileData : nullptr,
                        WebFileData ? &*WebFileData : nullptr, true);
}

void TFormMain::endBatch(int exitCode) {
  // The engine may report StatusFailed twice for one failure: the first report decides.
  if (batchEnded_) return;
  batchEnded_ = true;
  requestExit(exitCode);
}

void TFormMain::onUpgradeStatus(void* owner, int kind, int value, const QString& text) {
  if (owner) static_cast<TFormMain*>(owner)->upgradeStatus(kind, value, text);
}

void TFormMain::addMemoLine(const QString& line) {
  MBootLoaderState->appendPlainText(line);
  if (globalSelection().BatchMode) printBatchLine(line);
}

void TFormMain::setMemoFailed(bool failed) {
  QPalette palette = MBootLoaderState->palette();
  palette.setColor(QPalette::Base, failed ? QColor(255, 80, 80) : QApplication::palette(MBootLoaderState).color(QPalette::Base));
  MBootLoaderState->setPalette(palette);
}

QString TFormMain::upgradedVersionText(orvane::proto::PackedVersion firmware, orvane::proto::PackedVersion hardware) {
  const quint32 fw = quint32(firmware);
  if (hardware <= 0) return QStringLiteral("%1.%2 / NA").arg(fw >> 16).arg(fw & 0xFFFF);
  const quint32 hw = quint32(hardware);
  return QStringLiteral("%1.%2 / %3.%4")
      .arg((fw >> 16) & 0xFF)
      .arg(fw & 0xFF)
      .arg((hw >> 16) & 0xFF)
      .arg(hw & 0xFF);
}

void TFormMain::upgradeStatus(int kind, int value, const QString& text) {
  const bool batch = globalSelection().BatchMode;
  switch (kind) {
    case StatusMessage:
      if (text != QLatin1String("0")) addMemoLine(text);
      return;
    case StatusProgress:
      PBLoadingFiles->setValue(value);
      if (batch && value != lastPrintedProgress_) {
        lastPrintedProgress_ = value;
        printBatchLine(QStringLiteral("progress %1").arg(value));
      }
      return;
    case StatusSucceeded:
      addMemoLine(QStringLiteral("Upgrade finished successfully."));
      setUserButtonsEnabled(true);
      PBLoadingFiles->setValue(0);
      if (engine_ && BinFileData)
        LOldVersion->setText(
            upgradedVersionText(engine_->network.deviceFirmwareVersion, engine_->network.deviceHardwareVersion));
      if (engine_ && Bi2FileData)
        LOldI2CVersion->setText(
            upgradedVersionText(engine_->i2c.deviceFirmwareVersion, engine_->i2c.deviceHardwareVersion));
      if (batch) {
        if (BinFileData) printBatchLine(QStringLiteral("Device version: ") + LOldVersion->text());
        if (Bi2FileData) printBatchLine(QStringLiteral("I2C device version: ") + LOldI2CVersion->text());
        endBatch(kBatchExitSuccess);
      }
      return;
    default:  // StatusFailed and any unknown kind
      addMemoLine(QStringLiteral("Upgrade failed."));
      setMemoFailed(true);
      writeError(__LINE__, "TFormMain::onUpgradeStatus", QStringLiteral("Upgrade failed."));
      setUserButtonsEnabled(true);
      PBLoadingFiles->setValue(0);
      if (batch) endBatch(kBatchExitUpgradeFailed);
      return;
  }
}
