#include "app/Mainform.h"

#include "app/About.h"
#include "app/Controls.h"
#include "app/ExitCodes.h"
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
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <cstdio>

namespace {

const QString kSource = QStringLiteral("Mainform");

// The three file groups, from the top of the "Selected files" box down. Fields: kind,
// tag, extension, version tag, clear empties the new version, top, loader, summary.
const FileGroupDesign kBinGroup{orvane::FirmwareKind::Bin, "Bin", "bin", "", true, 20, "TFormMain::loadBinFile",
                                "Bin file not valid."};
const FileGroupDesign kWebGroup{orvane::FirmwareKind::Web, "Web", "web", nullptr, false, 92,
                                "TFormMain::loadWebFile", "Web file not valid."};
// Clearing the .bi2 file leaves its new-version row as it is.
const FileGroupDesign kBi2Group{orvane::FirmwareKind::Bi2, "Bi2", "bi2", "I2C", false, 156,
                                "TFormMain::loadBi2File", "Bi2 file not valid."};

void writeError(int line, const char* function, const QString& text) {
  writeLogEntry(kSource, line, QString::fromLatin1(function), UseConfiguredOutputs, LogLevelError, text);
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
  discovery_ = std::make_unique<ORVCScanOrvaneDevice>(kDiscoveryReplyWaitMs, discoverySettings);
  tracker_ = std::make_unique<RunTracker>(*engine_);
  engine_->setStageObserver([this](orvane::engine::UpgradeStage stage) { tracker_->stage(stage); });
  FormCreate();
}

TFormMain::~TFormMain() { FormClose(); }

void TFormMain::attachWindows(TScanUDPForm* scanUdp, TAboutForm* about, TFScanI2C* scanI2c) {
  scanUdpForm_ = scanUdp;
  aboutForm_ = about;
  scanI2cForm_ = scanI2c;
  if (scanUdp) {
    connect(scanUdp, &DeviceListDialog::deviceChosen, this, &TFormMain::networkDeviceChosen);
    connect(scanUdp, &DeviceListDialog::handedBack, this, &QWidget::show);
  }
  if (scanI2c) {
    connect(scanI2c, &DeviceListDialog::deviceChosen, this, &TFormMain::i2cDeviceChosen);
    connect(scanI2c, &DeviceListDialog::handedBack, this, &QWidget::show);
  }
}

// ---------------------------------------------------------------------------------
// Layout: client area 638 x 311; address rows at the top left, the file groups below
// them, the memo, the progress bar and Start at the right.

void TFormMain::buildLayout() {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Orvane's products Firmware Upgrader"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  buildMenu();
  QWidget* client = buildClientArea();
  buildAddressRows(client);
  buildFileGroups(client);
  buildStatusColumn(client);
}

void TFormMain::buildMenu() {
  auto* menu = menuBar();
  menu->setObjectName(QStringLiteral("MainMenu"));
  QMenu* connection = menu->addMenu(QStringLiteral("Connection"));
  MenuResetARP = connection->addAction(QStringLiteral("Reset ARP"));
  MenuResetARP->setObjectName(QStringLiteral("MenuResetARP"));
  MenuAbout = menu->addAction(QStringLiteral("About"));
  MenuAbout->setObjectName(QStringLiteral("MenuAbout"));
  connect(MenuResetARP, &QAction::triggered, this, [this] { MenuResetARPClick(); });
  connect(MenuAbout, &QAction::triggered, this, [this] { MenuAboutClick(); });
}

QWidget* TFormMain::buildClientArea() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  client->setFixedSize(638, 311);
  QFont font = client->font();
  font.setPointSize(8);
  client->setFont(font);
  setCentralWidget(client);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  return client;
}

void TFormMain::buildAddressRows(QWidget* client) {
  auto readOnlyEdit = [client](const char* name, const QString& text, QRect geometry) {
    auto* e = controls::placed(new QLineEdit(text, client), QString::fromLatin1(name), geometry);
    e->setReadOnly(true);
    return e;
  };
  LabelIP = controls::placed(new QLabel(QStringLiteral("IP address:"), client), QStringLiteral("LabelIP"),
                             {8, 11, 76, 18});
  EIPAdress = readOnlyEdit("EIPAdress", QStringLiteral("192.168.16.100"), {86, 8, 124, 23});
  BScan = controls::button(client, QStringLiteral("BScan"), QStringLiteral("Scan..."), {218, 7, 128, 25});
  connect(BScan, &QPushButton::clicked, this, [this] { BScanClick(); });
  LI2CAddress = controls::placed(new QLabel(QStringLiteral("I2C address:"), client), QStringLiteral("LI2CAddress"),
                                 {8, 39, 76, 18});
  EI2CAddress = readOnlyEdit("EI2CAddress", QString(), {86, 36, 124, 23});
  BScanI2CBus = controls::button(client, QStringLiteral("BScanI2CBus"), QStringLiteral("Scan I2C devices..."),
                                 {218, 35, 128, 25});
  connect(BScanI2CBus, &QPushButton::clicked, this, [this] { BScanI2CBusClick(); });
  BScanI2CBus->setEnabled(false);
}

void TFormMain::buildFileGroups(QWidget* client) {
  GBLoadFiles = controls::placed(new QGroupBox(QStringLiteral("Selected files"), client),
                                 QStringLiteral("GBLoadFiles"), {8, 66, 434, 238});
  binGroup_ = std::make_unique<FileGroup>(GBLoadFiles, kBinGroup);
  webGroup_ = std::make_unique<FileGroup>(GBLoadFiles, kWebGroup);
  bi2Group_ = std::make_unique<FileGroup>(GBLoadFiles, kBi2Group);
  auto wire = [this](FileGroup& group, void (TFormMain::*open)(), void (TFormMain::*clear)()) {
    connect(group.openButton(), &QPushButton::clicked, this, [this, open] { (this->*open)(); });
    connect(group.clearButton(), &QPushButton::clicked, this, [this, clear] { (this->*clear)(); });
  };
  wire(*binGroup_, &TFormMain::BOpenFileBinClick, &TFormMain::BClearBinFileClick);
  wire(*webGroup_, &TFormMain::BOpenFileWebClick, &TFormMain::BClearWebFileClick);
  wire(*bi2Group_, &TFormMain::BOpenFileBi2Click, &TFormMain::BClearBi2FileClick);
}

void TFormMain::buildStatusColumn(QWidget* client) {
  MBootLoaderState = controls::placed(new QPlainTextEdit(client), QStringLiteral("MBootLoaderState"),
                                      {450, 8, 180, 214});
  MBootLoaderState->setReadOnly(true);
  MBootLoaderState->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MBootLoaderState->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MBootLoaderState->setAutoFillBackground(true);

  PBLoadingFiles = controls::placed(new QProgressBar(client), QStringLiteral("PBLoadingFiles"), {450, 228, 180, 18});
  PBLoadingFiles->setRange(0, 100);
  PBLoadingFiles->setValue(0);
  PBLoadingFiles->setTextVisible(false);
  progressPaint_.setSingleShot(true);
  progressPaint_.setInterval(kProgressPaintMs);
  connect(&progressPaint_, &QTimer::timeout, this, [this] { PBLoadingFiles->setUpdatesEnabled(true); });

  BStart = controls::button(client, QStringLiteral("BStart"), QStringLiteral("Start"), {450, 252, 180, 51});
  connect(BStart, &QPushButton::clicked, this, [this] { BStartClick(); });
  QFont startFont = BStart->font();
  startFont.setPointSize(14);
  startFont.setBold(true);
  BStart->setFont(startFont);
}

// ---------------------------------------------------------------------------------
// Visibility groups

void TFormMain::showBinGroup(bool visible) { binGroup_->setVisible(visible); }

void TFormMain::showWebGroup(bool visible) { webGroup_->setVisible(visible); }

void TFormMain::showI2CGroups(bool addressVisible, bool bi2Visible) {
  for (QWidget* w : std::initializer_list<QWidget*>{BScanI2CBus, EI2CAddress, LI2CAddress})
    w->setVisible(addressVisible);
  bi2Group_->setVisible(bi2Visible);
}

void TFormMain::setUserButtonsEnabled(bool enabled) {
  for (QPushButton* b : {BStart, BScan, BScanI2CBus, binGroup_->openButton(), bi2Group_->openButton(),
                         webGroup_->openButton(), binGroup_->clearButton(), bi2Group_->clearButton(),
                         webGroup_->clearButton()})
    b->setEnabled(enabled);
}

// ---------------------------------------------------------------------------------
// The targets picked in the scan dialogs

void TFormMain::networkDeviceChosen(const ORVCOrvaneDevice& record) {
  GlobalSelection& selection = globalSelection();
  selection.IPAddress = record.ipAddressText;
  selection.I2CAddress = QStringLiteral("-1");
  binGroup_->showDeviceVersion(record.versionPairText());
  BStart->setEnabled(true);
  showBinGroup(true);
  showWebGroup(true);
  // Only gateways can have I2C devices behind them.
  showI2CGroups(record.isGateway(), false);
}

void TFormMain::i2cDeviceChosen(const ORVCOrvaneDevice& record) {
  showI2CGroups(true, true);
  globalSelection().I2CAddress = QString::number(record.i2cAddress);
  bi2Group_->showDeviceVersion(record.versionPairText());
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
  for (FileGroup* group : {binGroup_.get(), bi2Group_.get(), webGroup_.get()}) group->forgetContent();
  tracker_.reset();
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

void TFormMain::clearFile(FileGroup& group, QString& selection) {
  selection = QStringLiteral("0");
  group.forgetContent();
  group.showNoFile();
}

void TFormMain::BClearBinFileClick() { clearFile(*binGroup_, globalSelection().BinFileName); }

void TFormMain::BClearBi2FileClick() { clearFile(*bi2Group_, globalSelection().Bi2FileName); }

void TFormMain::BClearWebFileClick() { clearFile(*webGroup_, globalSelection().WebFileName); }

void TFormMain::BStartClick() {
  MBootLoaderState->clear();
  PBLoadingFiles->setValue(0);
  setUserButtonsEnabled(false);
  addMemoLine(QStringLiteral("Start upgrade."));
  setMemoTone(MemoTone::Normal);
  if (!engine_) return;
  failureReported_ = false;
  // A refusal is reported by the engine (reason, then StatusFailed) before the start
  // returns; the window adds its end of the upgrade only if that report did not come.
  const bool batch = globalSelection().BatchMode;
  if (!startEngine(batch) && !failureReported_) reportFailure();
}

bool TFormMain::startEngine(bool batch) {
  const GlobalSelection& selection = globalSelection();
  auto given = [](const std::optional<QByteArray>& content) { return content ? &*content : nullptr; };
  orvane::engine::UpgradeOptions options;
  if (batch) {
    options.skipCurrent = globalScriptOptions().skipCurrent;
    options.refuseDowngrade = globalScriptOptions().noDowngrade;
  }
  beginRun();
  return engine_->startUpgrade(selection.IPAddress, i2cAddressNumber(selection.I2CAddress),
                               given(binFileData()), given(bi2FileData()), given(webFileData()), batch, options);
}

QList<RunFile> TFormMain::loadedRunFiles() const {
  const GlobalSelection& selection = globalSelection();
  QList<RunFile> files;
  auto add = [&files](const char* kind, const QString& path, const std::optional<QByteArray>& content) {
    if (content) files.append(unhashedRunFile(QString::fromLatin1(kind), path, *content));
  };
  add("bin", selection.BinFileName, binFileData());
  add("web", selection.WebFileName, webFileData());
  add("bi2", selection.Bi2FileName, bi2FileData());
  return files;
}

void TFormMain::beginRun() {
  const GlobalSelection& selection = globalSelection();
  tracker_->begin(selection.IPAddress, i2cAddressNumber(selection.I2CAddress), loadedRunFiles());
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

bool TFormMain::loadFile(FileGroup& group, const QString& path, VersionSet* versionSet) {
  if (path == QLatin1String("0")) return true;
  orvane::FirmwareLoad loaded = orvane::loadFirmwareFile(path, group.design().kind);
  if (!loaded) {
    writeError(__LINE__, group.design().loaderName, loaded.refusal().text);
    lastRefusal_ = globalScriptOptions().refusalLine(loaded.refusal().text, group.design().kind, path);
    // A refused file leaves no content behind that a later Start could upload, nor
    // labels that would name an earlier file: the group shows no file, as its clear
    // button would.
    group.forgetContent();
    group.showNoFile();
    return false;
  }
  if (versionSet) ORVCRoVivazava::storeFileIdentification(*versionSet, loaded->identification);
  group.showFile(*loaded);
  group.setContent(std::move(loaded->content));
  return true;
}

bool TFormMain::loadBinFile(const QString& path) {
  return loadFile(*binGroup_, path, engine_ ? &engine_->network : nullptr);
}

bool TFormMain::loadBi2File(const QString& path) {
  return loadFile(*bi2Group_, path, engine_ ? &engine_->i2c : nullptr);
}

bool TFormMain::loadWebFile(const QString& path) { return loadFile(*webGroup_, path, nullptr); }

bool TFormMain::loadSelectedFiles() {
  for (FileGroup* group : {binGroup_.get(), bi2Group_.get(), webGroup_.get()}) group->forgetContent();
  const GlobalSelection& selection = globalSelection();
  // After the loader's own entry, a summary entry names the kind that stopped the load.
  auto refused = [](const FileGroup& group) {
    writeError(__LINE__, "TFormMain::loadSelectedFiles", QString::fromLatin1(group.design().notValidText));
    return false;
  };
  if (!loadBinFile(selection.BinFileName)) return refused(*binGroup_);
  if (!loadBi2File(selection.Bi2FileName)) return refused(*bi2Group_);
  if (!loadWebFile(selection.WebFileName)) return refused(*webGroup_);
  return true;
}

// ---------------------------------------------------------------------------------
// Batch run and status reports

void TFormMain::runBatch() {
  setUserButtonsEnabled(false);
  if (!engine_) return;
  tracker_->startBatchOutput(globalScriptOptions());
  if (!loadSelectedFiles()) {
    const GlobalSelection& selection = globalSelection();
    tracker_->message(QStringLiteral("A selected file was refused; see the error log: ") + errorLogFilePath());
    printProgramError(lastRefusal_);
    endBatch(tracker_->fileRefused(selection.IPAddress, i2cAddressNumber(selection.I2CAddress), loadedRunFiles(),
                                   lastRefusal_));
    return;
  }
  // A refusal is reported (StatusFailed) before this returns; the exit it requests is
  // queued and ends the event loop as soon as that runs.
  startEngine(true);
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
  if (tracker_) tracker_->message(line);
}

void TFormMain::setMemoTone(MemoTone tone) {
  QColor colour = QApplication::palette(MBootLoaderState).color(QPalette::Base);
  if (tone == MemoTone::Succeeded) colour = QColor(170, 230, 170);
  if (tone == MemoTone::Failed) colour = QColor(255, 80, 80);
  QPalette palette = MBootLoaderState->palette();
  palette.setColor(QPalette::Base, colour);
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
      showProgress(value);
      if (tracker_) tracker_->progress(value);
      return;
    case StatusSucceeded:
      reportSuccess(batch);
      return;
    default:  // StatusFailed and any unknown kind
      reportFailure();
      return;
  }
}

// The bar takes the value at once and shows it at most every kProgressPaintMs. QProgressBar
// repaints itself on the spot for every step it can show: during a transfer that is a
// paint of the window between two exchanges with the device, a hundred times a second.
// Values set meanwhile (also by setValue) wait for the paint the timer lets through.
void TFormMain::showProgress(int value) {
  if (PBLoadingFiles->value() == value) return;
  PBLoadingFiles->setUpdatesEnabled(false);
  PBLoadingFiles->setValue(value);
  if (!progressPaint_.isActive()) progressPaint_.start();   // then updates on: one paint
}

void TFormMain::reportSuccess(bool batch) {
  addMemoLine(QStringLiteral("Upgrade finished successfully."));
  setMemoTone(MemoTone::Succeeded);
  setUserButtonsEnabled(true);
  PBLoadingFiles->setValue(0);
  if (engine_ && binFileData())
    binGroup_->showDeviceVersion(
        upgradedVersionText(engine_->network.deviceFirmwareVersion, engine_->network.deviceHardwareVersion));
  if (engine_ && bi2FileData())
    bi2Group_->showDeviceVersion(
        upgradedVersionText(engine_->i2c.deviceFirmwareVersion, engine_->i2c.deviceHardwareVersion));
  if (batch) {
    if (binFileData()) tracker_->message(QStringLiteral("Device version: ") + binGroup_->deviceVersionText());
    if (bi2FileData()) tracker_->message(QStringLiteral("I2C device version: ") + bi2Group_->deviceVersionText());
  }
  endRun();
}

void TFormMain::endRun() {
  if (!tracker_) return;
  const std::optional<int> exitCode = tracker_->end();
  if (exitCode && globalSelection().BatchMode) endBatch(*exitCode);
}

void TFormMain::reportFailure() {
  failureReported_ = true;
  addMemoLine(QStringLiteral("Upgrade failed."));
  setMemoTone(MemoTone::Failed);
  writeError(__LINE__, "TFormMain::onUpgradeStatus", QStringLiteral("Upgrade failed."));
  setUserButtonsEnabled(true);
  PBLoadingFiles->setValue(0);
  endRun();
}
