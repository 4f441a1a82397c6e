#pragma once

#include "app/FileGroup.h"
#include "app/RunTracker.h"
#include "app/Scanudp.h"
#include "discovery/ScanOrvaneModule.h"
#include "engine/FirmwareFile.h"
#include "engine/ORVCRoVivazava.h"

#include <QByteArray>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class ORVCOrvaneDevice;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class TAboutForm;
class TFScanI2C;

// The window could not create its upgrade engine.
inline constexpr int kExitEngineCreationFailed = 1;

// The program's only permanent window: the chosen target, the chosen files with their
// versions, the status memo, the progress bar and the Start button. It owns the upgrade
// engine, the discovery engine and the three loaded file contents, turns the engine's
// status reports into what it shows, and carries out the batch run of the command line.
class TFormMain : public QMainWindow {
  Q_OBJECT

 public:
  // The engine settings are the shipped ones unless a test shortens the waits.
  explicit TFormMain(EngineSettings engineSettings = {}, DiscoverySettings discoverySettings = {},
                     QWidget* parent = nullptr);
  ~TFormMain() override;

  // False when the upgrade engine could not be created: the window is unusable and the
  // program ends (the error entry has been written).
  bool engineCreated() const { return engine_ != nullptr; }

  // The dialogs the window opens; they are created after the window. The window takes
  // the records picked in the scan dialogs and shows itself when they hand back.
  void attachWindows(TScanUDPForm* scanUdp, TAboutForm* about, TFScanI2C* scanI2c);

  ORVCRoVivazava* upgradeEngine() const { return engine_.get(); }
  ORVCScanOrvaneDevice* discoveryEngine() const { return discovery_.get(); }
  // The discovery engine as the scan dialogs reach it: null once the window has closed.
  DiscoveryAccess discoveryAccess() const {
    return [this] { return discoveryEngine(); };
  }

  // A network device picked in the network scan dialog becomes the target: the global
  // selection, its version row, Start, and the groups it can use.
  void networkDeviceChosen(const ORVCOrvaneDevice& record);
  // An I2C device picked in the I2C scan dialog becomes the target behind the chosen
  // network device.
  void i2cDeviceChosen(const ORVCOrvaneDevice& record);

  // Visibility groups.
  void showBinGroup(bool visible);
  void showWebGroup(bool visible);
  void showI2CGroups(bool addressVisible, bool bi2Visible);

  // File loaders: true when the file is usable or when none is chosen ("0").
  bool loadBinFile(const QString& path);
  bool loadBi2File(const QString& path);
  bool loadWebFile(const QString& path);
  bool loadSelectedFiles();

  // The engine's status callback; owner is this window.
  static void onUpgradeStatus(void* owner, int kind, int value, const QString& text);

  // Text of LOldVersion / LOldI2CVersion after a successful upgrade.
  static QString upgradedVersionText(orvane::proto::PackedVersion firmware, orvane::proto::PackedVersion hardware);

  // The loaded contents (none when not loaded).
  const std::optional<QByteArray>& binFileData() const { return binGroup_->content(); }
  const std::optional<QByteArray>& bi2FileData() const { return bi2Group_->content(); }
  const std::optional<QByteArray>& webFileData() const { return webGroup_->content(); }

  // Asks the operator for one existing file matching the filter, starting in the
  // executable's directory; an empty result means cancelled. Tests replace it.
  using FileChooser = std::function<QString(const QString& caption, const QString& filter)>;
  FileChooser OpenDialog;

  // Ends the program with the exit code. The default asks the event loop to end, also
  // when it has not started yet; tests replace it with a recorder.
  using ExitRequest = std::function<void(int exitCode)>;
  ExitRequest requestExit;

  // Event handlers, public so that tests can drive them.
  void BScanClick();
  void BScanI2CBusClick();
  void BOpenFileBinClick();
  void BOpenFileBi2Click();
  void BOpenFileWebClick();
  void BClearBinFileClick();
  void BClearBi2FileClick();
  void BClearWebFileClick();
  void BStartClick();
  void MenuResetARPClick();
  void MenuAboutClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void FormShow();
  bool FormCloseQuery();
  void FormClose();
  void runBatch();
  void upgradeStatus(int kind, int value, const QString& text);
  void setUserButtonsEnabled(bool enabled);
  // The memo's background: the window's normal one, calm green after a success, light
  // red after a failure.
  enum class MemoTone { Normal, Succeeded, Failed };
  void setMemoTone(MemoTone tone);
  void addMemoLine(const QString& line);
  void showProgress(int value);
  void chooseFile(QString& selection, const QString& caption, const QString& filter);
  void endBatch(int exitCode);
  void reportSuccess(bool batch);
  void reportFailure();
  // The run's end goes to the tracker (history, batch output); a batch run then ends.
  void endRun();
  // The selected files that are loaded, for the run's record.
  QList<RunFile> loadedRunFiles() const;
  void beginRun();
  // Gives the selection and the loaded contents to the engine's start operation.
  bool startEngine(bool batch);
  void buildLayout();
  void buildMenu();
  QWidget* buildClientArea();
  void buildAddressRows(QWidget* client);
  void buildFileGroups(QWidget* client);
  void buildStatusColumn(QWidget* client);

  std::unique_ptr<ORVCRoVivazava> engine_;
  std::unique_ptr<ORVCScanOrvaneDevice> discovery_;
  std::unique_ptr<RunTracker> tracker_;
  // The refusal of the last file that failed to load, for the batch run's reason.
  QString lastRefusal_;
  // Checks and loads one file into its group (and, for .bin and .bi2, its
  // identification into the engine's version set); a refusal is logged under the
  // group's loader.
  bool loadFile(FileGroup& group, const QString& path, VersionSet* versionSet);
  // Clears one group: its selected name becomes "0", its content and labels go.
  void clearFile(FileGroup& group, QString& selection);

  // The three file groups with their loaded contents (BinFileData, WebFileData,
  // Bi2FileData).
  std::unique_ptr<FileGroup> binGroup_;
  std::unique_ptr<FileGroup> webGroup_;
  std::unique_ptr<FileGroup> bi2Group_;

  // Not owned; they may go before this window does.
  QPointer<TScanUDPForm> scanUdpForm_;
  QPointer<TAboutForm> aboutForm_;
  QPointer<TFScanI2C> scanI2cForm_;

  bool shownOnce_ = false;
  bool closed_ = false;
  bool batchEnded_ = false;
  // Holds the progress bar's paints back to the display's pace (showProgress).
  static constexpr int kProgressPaintMs = 40;
  QTimer progressPaint_;
  bool failureReported_ = false;  // the failure of the current start is on the memo

  QLabel* LabelIP = nullptr;
  QLineEdit* EIPAdress = nullptr;
  QPushButton* BScan = nullptr;
  QLabel* LI2CAddress = nullptr;
  QLineEdit* EI2CAddress = nullptr;
  QPushButton* BScanI2CBus = nullptr;
  QGroupBox* GBLoadFiles = nullptr;
  QPlainTextEdit* MBootLoaderState = nullptr;
  QProgressBar* PBLoadingFiles = nullptr;
  QPushButton* BStart = nullptr;
  QAction* MenuResetARP = nullptr;
  QAction* MenuAbout = nullptr;
};
