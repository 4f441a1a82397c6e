// The main window without a network: layout, loaders and labels, clear buttons, the
// status handler, version texts, the Start refusal that needs no device, the close
// question (against a silent TCP listener on loopback) and the batch run's refusals.
#include "app/ExitCodes.h"
#include "window_kit.h"

#include <QAction>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace windowkit;

namespace {

class MainWindow : public WindowFixture {
 protected:
  // The windows with a .web loaded for a "device" at 127.0.0.1 whose ports are `silent`, a
  // loopback listener that never answers: a Start then waits as long as the test needs.
  void windowsAgainstSilentDevice(const QTcpServer& silent) {
    EngineSettings settings;
    settings.commonPort = silent.serverPort();
    settings.filePort = silent.serverPort();
    settings.answerTimeoutMs = 60000;
    createWindows(settings);
    globalSelection().IPAddress = QStringLiteral("127.0.0.1");
    globalSelection().WebFileName = writeFile(filesDir(), QStringLiteral("pages.web"), QByteArray(100, 'w'));
    ASSERT_TRUE(form->loadSelectedFiles());
  }
};

TEST_F(MainWindow, ControlsCarryTheirNamesCaptionsAndInitialTexts) {
  createWindows();
  struct Case {
    const char* name;
    const char* text;
  };
  const Case labels[] = {
      {"LabelIP", "IP address:"},           {"LI2CAddress", "I2C address:"},
      {"LBinFileDef", "Name :"},            {"LBinFile", "---"},
      {"LBinFileLengthDef", "Length :"},    {"LBinFileLength", "0 Bytes"},
      {"LOldVersionDef", "Actual FW/HW version :"}, {"LOldVersion", "--.-- / --.--"},
      {"LNewVersionDef", "New FW version :"}, {"LNewVersion", "--.--"},
      {"LWebFileDef", "Name :"},            {"LWebFile", "---"},
      {"LWebFileLengthDef", "Length :"},    {"LWebFileLength", "0 Bytes"},
      {"LBi2FileDef", "Name :"},            {"LBi2File", "---"},
      {"LBi2FileLengthDef", "Length :"},    {"LBi2FileLength", "0 Bytes"},
      {"LOldI2CVersionDef", "Actual FW/HW version :"}, {"LOldI2CVersion", "--.-- / --.--"},
      {"LNewI2CVersionDef", "New FW version :"}, {"LNewI2CVersion", "--.--"},
  };
  for (const Case& c : labels) {
    QLabel* label = ctl<QLabel>(c.name);
    ASSERT_NE(label, nullptr) << c.name;
    EXPECT_EQ(label->text(), QString::fromLatin1(c.text)) << c.name;
  }
  const Case buttons[] = {
      {"BScan", "Scan..."},
      {"BScanI2CBus", "Scan I2C devices..."},
      {"BOpenFileBin", "Change *.bin file..."},
      {"BClearBinFile", "Clear *.bin file"},
      {"BOpenFileWeb", "Change *.web file..."},
      {"BClearWebFile", "Clear *.web file"},
      {"BOpenFileBi2", "Change *.bi2 file..."},
      {"BClearBi2File", "Clear *.bi2 file"},
      {"BStart", "Start"},
  };
  for (const Case& c : buttons) {
    QPushButton* button = ctl<QPushButton>(c.name);
    ASSERT_NE(button, nullptr) << c.name;
    EXPECT_EQ(button->text(), QString::fromLatin1(c.text)) << c.name;
  }
  EXPECT_TRUE(ctl<QPushButton>("BStart")->font().bold());
  EXPECT_FALSE(ctl<QPushButton>("BScanI2CBus")->isEnabled());
  EXPECT_EQ(ctl<QLineEdit>("EIPAdress")->text(), "192.168.16.100");
  EXPECT_TRUE(ctl<QLineEdit>("EIPAdress")->isReadOnly());
  EXPECT_TRUE(ctl<QLineEdit>("EI2CAddress")->text().isEmpty());
  EXPECT_EQ(ctl<QGroupBox>("GBLoadFiles")->title(), "Selected files");
  EXPECT_TRUE(ctl<QPlainTextEdit>("MBootLoaderState")->isReadOnly());
  EXPECT_TRUE(ctl<QPlainTextEdit>("MBootLoaderState")->toPlainText().isEmpty());
  QProgressBar* bar = ctl<QProgressBar>("PBLoadingFiles");
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);

  EXPECT_EQ(form->windowTitle(), "Orvane's products Firmware Upgrader");
  EXPECT_EQ(form->centralWidget()->size(), QSize(638, 311));
  QAction* reset = form->findChild<QAction*>(QStringLiteral("MenuResetARP"));
  QAction* aboutItem = form->findChild<QAction*>(QStringLiteral("MenuAbout"));
  ASSERT_NE(reset, nullptr);
  ASSERT_NE(aboutItem, nullptr);
  EXPECT_EQ(reset->text(), "Reset ARP");
  EXPECT_EQ(aboutItem->text(), "About");
  QStringList topMenus;
  for (QAction* a : form->menuBar()->actions()) topMenus << a->text();
  EXPECT_EQ(topMenus, (QStringList{"Connection", "About"}));
}

TEST_F(MainWindow, IdleWindowShowsOnlyTheAddressRowTheBoxTheMemoAndStart) {
  createWindows();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  // A fixed window whose client area is 638 x 311 under the menu bar.
  EXPECT_EQ(form->centralWidget()->size(), QSize(638, 311));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  for (const char* name : {"LabelIP", "EIPAdress", "BScan", "GBLoadFiles", "MBootLoaderState", "PBLoadingFiles",
                           "BStart"})
    EXPECT_TRUE(ctl<QWidget>(name)->isVisible()) << name;
  for (const char* name : {"LI2CAddress", "EI2CAddress", "BScanI2CBus", "BOpenFileBin", "LBinFile", "LOldVersion",
                           "LNewVersion", "BOpenFileWeb", "LWebFileLength", "BOpenFileBi2", "LBi2File",
                           "LOldI2CVersion", "LNewI2CVersion"})
    EXPECT_FALSE(ctl<QWidget>(name)->isVisible()) << name;
  // No device chosen: the address edits are emptied, Start and the I2C scan are off.
  EXPECT_TRUE(ctl<QLineEdit>("EIPAdress")->text().isEmpty());
  EXPECT_FALSE(ctl<QPushButton>("BStart")->isEnabled());
  EXPECT_FALSE(ctl<QPushButton>("BScanI2CBus")->isEnabled());
  EXPECT_TRUE(exitCodes.isEmpty());
}

TEST_F(MainWindow, VisibilityGroupsSwitchTheirControls) {
  createWindows();
  form->show();
  form->showBinGroup(true);
  form->showWebGroup(true);
  form->showI2CGroups(true, false);
  for (const char* name : {"BOpenFileBin", "BClearBinFile", "LBinFileDef", "LBinFile", "LBinFileLengthDef",
                           "LBinFileLength", "LOldVersionDef", "LOldVersion", "LNewVersionDef", "LNewVersion",
                           "BOpenFileWeb", "BClearWebFile", "LWebFileDef", "LWebFile", "LWebFileLengthDef",
                           "LWebFileLength", "BScanI2CBus", "EI2CAddress", "LI2CAddress"})
    EXPECT_TRUE(ctl<QWidget>(name)->isVisible()) << name;
  for (const char* name : {"BOpenFileBi2", "BClearBi2File", "LBi2FileDef", "LBi2File", "LBi2FileLengthDef",
                           "LBi2FileLength", "LOldI2CVersionDef", "LOldI2CVersion", "LNewI2CVersionDef",
                           "LNewI2CVersion"})
    EXPECT_FALSE(ctl<QWidget>(name)->isVisible()) << name;
  form->showI2CGroups(false, true);
  EXPECT_FALSE(ctl<QWidget>("BScanI2CBus")->isVisible());
  EXPECT_TRUE(ctl<QWidget>("LNewI2CVersion")->isVisible());
  form->showBinGroup(false);
  EXPECT_FALSE(ctl<QWidget>("LOldVersion")->isVisible());
  EXPECT_TRUE(ctl<QWidget>("LWebFile")->isVisible());
}

TEST_F(MainWindow, ShowingTheWindowDisplaysTheSelection) {
  createWindows();
  struct Case {
    const char* ip;
    const char* i2c;
    const char* shownIp;
    const char* shownI2c;
    bool scanI2cEnabled;
  };
  const Case cases[] = {
      {"10.77.1.1", "-1", "10.77.1.1", "", true},
      {"10.77.1.2", "80", "10.77.1.2", "80", true},
      {"0", "80", "", "", false},
  };
  for (const Case& c : cases) {
    globalSelection().IPAddress = QString::fromLatin1(c.ip);
    globalSelection().I2CAddress = QString::fromLatin1(c.i2c);
    form->hide();
    form->show();
    EXPECT_EQ(ctl<QLineEdit>("EIPAdress")->text(), QString::fromLatin1(c.shownIp)) << c.ip;
    EXPECT_EQ(ctl<QLineEdit>("EI2CAddress")->text(), QString::fromLatin1(c.shownI2c)) << c.ip;
    EXPECT_TRUE(ctl<QLineEdit>("EI2CAddress")->isReadOnly());
    EXPECT_EQ(ctl<QPushButton>("BScanI2CBus")->isEnabled(), c.scanI2cEnabled) << c.ip;
  }
}

// --- Loaders ----------------------------------------------------------------------

TEST_F(MainWindow, BinLoaderFillsLabelsAndTheNetworkSetOfTheEngine) {
  createWindows();
  struct Case {
    const char* newWord;
    const char* minWord;
    const char* label;
    qint32 version, maxHw, minFw, minHw;
  };
  const Case cases[] = {
      {"00 02 00 0F", "00 01 00 05", "2.15", 0x0002000F, -1, 0x00010005, -1},
      {"03 02 02 0F", "01 00 01 05", "2.15  (For Hw 1.0 to 3.2)", 0x0002000F, 0x00030002, 0x00010005, 0x00010000},
      // Only one hardware bound: the label shows the version alone, the engine keeps it.
      {"03 02 02 0F", "00 01 00 05", "2.15", 0x0002000F, 0x00030002, 0x00010005, -1},
  };
  for (const Case& c : cases) {
    const QByteArray image = firmwareImage("00 12 00 03", c.newWord, c.minWord, QByteArray(100, 'x'));
    const QString path = writeFile(filesDir(), QStringLiteral("fw.bin"), image);
    ASSERT_TRUE(form->loadBinFile(path)) << c.label;
    EXPECT_EQ(text("LBinFile"), "fw.bin");
    EXPECT_EQ(text("LBinFileLength"), QStringLiteral("%1 Bytes").arg(image.size()));
    EXPECT_EQ(text("LNewVersion"), QString::fromLatin1(c.label));
    ASSERT_TRUE(form->binFileData().has_value());
    EXPECT_EQ(*form->binFileData(), image);
    const VersionSet& set = form->upgradeEngine()->network;
    EXPECT_EQ(set.fileFirmwareType, 0x00120003);
    EXPECT_EQ(set.fileFirmwareVersion, c.version) << c.label;
    EXPECT_EQ(set.fileMaxHardware, c.maxHw) << c.label;
    EXPECT_EQ(set.fileMinDeviceFirmware, c.minFw) << c.label;
    EXPECT_EQ(set.fileMinHardware, c.minHw) << c.label;
  }
}

TEST_F(MainWindow, Bi2AndWebLoadersFillTheirOwnLabels) {
  createWindows();
  const QByteArray bi2 = firmwareImage("00 05 00 01", "00 01 00 03", "00 01 00 00", QByteArray(10, 'y'));
  const QByteArray web(300, 'w');
  ASSERT_TRUE(form->loadBi2File(writeFile(filesDir(), QStringLiteral("sensor.bi2"), bi2)));
  ASSERT_TRUE(form->loadWebFile(writeFile(filesDir(), QStringLiteral("pages.web"), web)));
  EXPECT_EQ(text("LBi2File"), "sensor.bi2");
  EXPECT_EQ(text("LBi2FileLength"), QStringLiteral("%1 Bytes").arg(bi2.size()));
  EXPECT_EQ(text("LNewI2CVersion"), "1.3");
  EXPECT_EQ(text("LWebFile"), "pages.web");
  EXPECT_EQ(text("LWebFileLength"), "300 Bytes");
  EXPECT_EQ(form->upgradeEngine()->i2c.fileFirmwareType, 0x00050001);
  EXPECT_EQ(form->upgradeEngine()->i2c.fileFirmwareVersion, 0x00010003);
  // The .bin side is untouched.
  EXPECT_EQ(text("LBinFile"), "---");
  EXPECT_EQ(text("LNewVersion"), "--.--");
  EXPECT_FALSE(form->binFileData().has_value());
}

TEST_F(MainWindow, RefusedFilesAreLoggedAndTheirLabelsGoWithTheData) {
  createWindows();
  const QString good = writeFile(filesDir(), QStringLiteral("good.bin"),
                                 firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  ASSERT_TRUE(form->loadBinFile(good));
  struct Case {
    const char* file;
    QByteArray bytes;
    const char* message;
  };
  const Case cases[] = {
      {"FIRMWARE.BIN", firmwareImage("00 01 00 01", "00 03 00 01", "00 00 00 00"), "Wrong file extension."},
      {"caps.bin", firmwareImage("00 01 00 01", "00 03 00 01", "00 00 00 00", QByteArray(8, 'z'), "ORVANE"),
       "This file is not valid !"},
      {"short.bin", QByteArray(20, 'O'), "This file is not valid !"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(form->loadBinFile(good));
    ASSERT_EQ(text("LBinFile"), "good.bin");
    clearLog();
    globalSelection().BinFileName = writeFile(filesDir(), QString::fromLatin1(c.file), c.bytes);
    EXPECT_FALSE(form->loadSelectedFiles()) << c.file;
    const QString log = logText();
    EXPECT_TRUE(log.contains(QString::fromLatin1(c.message))) << c.file << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Bin file not valid."))) << c.file;
    EXPECT_LT(log.indexOf(QString::fromLatin1(c.message)), log.indexOf(QStringLiteral("Bin file not valid.")));
    EXPECT_FALSE(form->binFileData().has_value()) << c.file;
    // No content, so no name, length or version of one either.
    EXPECT_EQ(text("LBinFile"), "---") << c.file;
    EXPECT_EQ(text("LBinFileLength"), "0 Bytes") << c.file;
    EXPECT_EQ(text("LNewVersion"), "--.--") << c.file;
  }
  // Nothing of it appears in the window.
  EXPECT_TRUE(memoLines(*form).isEmpty());
}

// A refused file's group shows no file, as its clear button would (the .bi2 group keeps
// its version row, the .web group has none); the groups loaded before it keep theirs.
TEST_F(MainWindow, ARefusedFileClearsTheLabelsOfItsGroup) {
  createWindows();
  GlobalSelection& selection = globalSelection();
  const QString bin = writeFile(filesDir(), QStringLiteral("fw.bin"),
                                firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  const QString bi2 = writeFile(filesDir(), QStringLiteral("sensor.bi2"),
                                firmwareImage("00 05 00 01", "00 01 00 03", "00 01 00 00", QByteArray(10, 'y')));
  const QString web = writeFile(filesDir(), QStringLiteral("pages.web"), QByteArray(300, 'w'));
  const QString missing = QDir(filesDir()).filePath(QStringLiteral("missing"));
  const struct {
    QString GlobalSelection::*name;
    const char* extension;
    const char* fileLabel;
    const char* lengthLabel;
    const char* versionLabel;  // null: no version row
    const char* versionAfter;
    const char* loadedBefore;  // the group read before the refused one, null for none
  } cases[] = {
      {&GlobalSelection::BinFileName, ".bin", "LBinFile", "LBinFileLength", "LNewVersion", "--.--", nullptr},
      {&GlobalSelection::Bi2FileName, ".bi2", "LBi2File", "LBi2FileLength", "LNewI2CVersion", "1.3", "LBinFile"},
      {&GlobalSelection::WebFileName, ".web", "LWebFile", "LWebFileLength", nullptr, nullptr, "LBi2File"},
  };
  for (const auto& c : cases) {
    selection.BinFileName = bin;
    selection.Bi2FileName = bi2;
    selection.WebFileName = web;
    ASSERT_TRUE(form->loadSelectedFiles()) << c.extension;
    const QString before = c.loadedBefore ? text(c.loadedBefore) : QString();
    selection.*c.name = missing + QString::fromLatin1(c.extension);
    EXPECT_FALSE(form->loadSelectedFiles()) << c.extension;
    EXPECT_EQ(text(c.fileLabel), "---") << c.extension;
    EXPECT_EQ(text(c.lengthLabel), "0 Bytes") << c.extension;
    if (c.versionLabel) {
      EXPECT_EQ(text(c.versionLabel), c.versionAfter) << c.extension;
    }
    if (c.loadedBefore) {
      EXPECT_EQ(text(c.loadedBefore), before) << c.extension;
    }
  }
  EXPECT_TRUE(form->bi2FileData().has_value()) << "read before the refused .web";
  EXPECT_FALSE(form->webFileData().has_value());
}

// The loaders refuse a file in the window's own name: the entry of the loader of that
// kind ("Mainform", the loader, the refusal), then the summary of loadSelectedFiles.
TEST_F(MainWindow, RefusalsAreLoggedUnderTheLoaderOfTheirKindThenSummarised) {
  createWindows();
  const QByteArray bin = firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00");
  const QByteArray caps = firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00", QByteArray(8, 'z'), "ORVANE");
  ASSERT_TRUE(QDir(filesDir()).mkpath(QStringLiteral("folder.bi2")));
  struct Case {
    QString GlobalSelection::*member;
    const char* file;
    std::optional<QByteArray> bytes;  // none: the file is not written
    const char* loader;
    const char* text;  // %1: the path
    const char* summary;
  };
  const Case cases[] = {
      {&GlobalSelection::BinFileName, "absent.bin", std::nullopt, "TFormMain::loadBinFile",
       "The *.bin file does not exist.", "Bin file not valid."},
      {&GlobalSelection::BinFileName, "caps.bin", caps, "TFormMain::loadBinFile", "This file is not valid !",
       "Bin file not valid."},
      {&GlobalSelection::Bi2FileName, "fw.BI2", bin, "TFormMain::loadBi2File", "Wrong file extension.",
       "Bi2 file not valid."},
      {&GlobalSelection::Bi2FileName, "folder.bi2", std::nullopt, "TFormMain::loadBi2File",
       "Cannot read the file %1 : it is not a regular file.", "Bi2 file not valid."},
      {&GlobalSelection::WebFileName, "empty.web", QByteArray(), "TFormMain::loadWebFile", "The *.web file is empty.",
       "Web file not valid."},
      {&GlobalSelection::WebFileName, "absent.web", std::nullopt, "TFormMain::loadWebFile",
       "The *.web file does not exist.", "Web file not valid."},
  };
  auto entry = [](const char* function, const QString& text) {
    return QRegularExpression(QStringLiteral("\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d\\d\\d Mainform \\d+ ") +
                              QRegularExpression::escape(QString::fromLatin1(function)) + QStringLiteral("\r\n") +
                              QRegularExpression::escape(text) + QStringLiteral("\r\n\r\n"));
  };
  for (const Case& c : cases) {
    globalSelection() = GlobalSelection();
    clearLog();
    const QString path = QDir(filesDir()).filePath(QString::fromLatin1(c.file));
    if (c.bytes) {
      ASSERT_EQ(writeFile(filesDir(), QString::fromLatin1(c.file), *c.bytes), path);
    }
    globalSelection().*(c.member) = path;
    EXPECT_FALSE(form->loadSelectedFiles()) << c.file;
    const QString log = logText();
    const QString text = QString::fromLatin1(c.text).replace(QStringLiteral("%1"), path);
    const QRegularExpressionMatch refusal = entry(c.loader, text).match(log);
    const QRegularExpressionMatch summary = entry("TFormMain::loadSelectedFiles", QString::fromLatin1(c.summary)).match(log);
    ASSERT_TRUE(refusal.hasMatch()) << c.file << "\n" << log.toStdString();
    ASSERT_TRUE(summary.hasMatch()) << c.file << "\n" << log.toStdString();
    EXPECT_LT(refusal.capturedStart(), summary.capturedStart()) << c.file;
    EXPECT_EQ(log.count(QStringLiteral(" Mainform ")), 2) << c.file << "\n" << log.toStdString();
  }
}

TEST_F(MainWindow, MissingFilesAreNamedByKind) {
  createWindows();
  struct Case {
    QString GlobalSelection::*member;
    const char* missing;
    const char* summary;
  };
  const Case cases[] = {
      {&GlobalSelection::BinFileName, "The *.bin file does not exist.", "Bin file not valid."},
      {&GlobalSelection::Bi2FileName, "The *.bi2 file does not exist.", "Bi2 file not valid."},
      {&GlobalSelection::WebFileName, "The *.web file does not exist.", "Web file not valid."},
  };
  for (const Case& c : cases) {
    globalSelection() = GlobalSelection();
    clearLog();
    globalSelection().*(c.member) = QDir(filesDir()).filePath(QStringLiteral("absent.file"));
    EXPECT_FALSE(form->loadSelectedFiles());
    const QString log = logText();
    EXPECT_TRUE(log.contains(QString::fromLatin1(c.missing))) << c.summary;
    EXPECT_TRUE(log.contains(QString::fromLatin1(c.summary))) << c.summary;
    EXPECT_TRUE(log.contains(QStringLiteral("Mainform"))) << c.summary;
  }
}

TEST_F(MainWindow, LoadSelectedFilesStopsAtTheFirstBadFileAndForgetsAllContents) {
  createWindows();
  globalSelection().Bi2FileName = writeFile(filesDir(), QStringLiteral("ok.bi2"),
                                            firmwareImage("00 05 00 01", "00 01 00 03", "00 00 00 00"));
  globalSelection().WebFileName = writeFile(filesDir(), QStringLiteral("ok.web"), QByteArray(30, 'w'));
  ASSERT_TRUE(form->loadSelectedFiles());
  ASSERT_TRUE(form->bi2FileData().has_value());
  ASSERT_TRUE(form->webFileData().has_value());

  clearLog();
  globalSelection().BinFileName = writeFile(filesDir(), QStringLiteral("bad.bin"),
                                            firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00",
                                                          QByteArray(4, 'p'), "orvane"));
  EXPECT_FALSE(form->loadSelectedFiles());
  EXPECT_FALSE(form->binFileData().has_value());
  EXPECT_FALSE(form->bi2FileData().has_value());
  EXPECT_FALSE(form->webFileData().has_value());
  const QString log = logText();
  EXPECT_EQ(log.count(QStringLiteral("Bin file not valid.")), 1);
  EXPECT_FALSE(log.contains(QStringLiteral("Bi2 file not valid.")));
  EXPECT_FALSE(log.contains(QStringLiteral("Web file not valid.")));
  // Their labels still show the names chosen earlier.
  EXPECT_EQ(text("LBi2File"), "ok.bi2");
  EXPECT_EQ(text("LWebFile"), "ok.web");
}

TEST_F(MainWindow, NothingChosenLoadsNothingAndSucceeds) {
  createWindows();
  EXPECT_TRUE(form->loadSelectedFiles());
  EXPECT_FALSE(form->binFileData().has_value());
  EXPECT_FALSE(form->bi2FileData().has_value());
  EXPECT_FALSE(form->webFileData().has_value());
  EXPECT_TRUE(logText().isEmpty());
}

// --- File buttons -----------------------------------------------------------------

TEST_F(MainWindow, ChangeButtonsUseTheirFilterStoreThePathAndReloadEverything) {
  createWindows();
  struct Case {
    const char* button;
    const char* filter;
    const char* file;
    QString GlobalSelection::*member;
    const char* nameLabel;
  };
  const Case cases[] = {
      {"BOpenFileBin", "Bin files (*.bin)", "a.bin", &GlobalSelection::BinFileName, "LBinFile"},
      {"BOpenFileBi2", "I2C devices bin files (*.bi2)", "b.bi2", &GlobalSelection::Bi2FileName, "LBi2File"},
      {"BOpenFileWeb", "Web files (*.web)", "c.web", &GlobalSelection::WebFileName, "LWebFile"},
  };
  for (const Case& c : cases) {
    dialogFilters.clear();
    nextChosenFile = writeFile(filesDir(), QString::fromLatin1(c.file),
                               firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
    QTest::mouseClick(ctl<QPushButton>(c.button), Qt::LeftButton);
    EXPECT_EQ(dialogFilters, QStringList{QString::fromLatin1(c.filter)}) << c.button;
    EXPECT_EQ(globalSelection().*(c.member), nextChosenFile) << c.button;
    EXPECT_EQ(text(c.nameLabel), QString::fromLatin1(c.file)) << c.button;
  }
  EXPECT_TRUE(form->binFileData() && form->bi2FileData() && form->webFileData());
}

TEST_F(MainWindow, CancellingAFileDialogStillReloadsEveryChosenFile) {
  createWindows();
  const QString path = writeFile(filesDir(), QStringLiteral("fw.bin"),
                                 firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  globalSelection().BinFileName = path;
  ASSERT_TRUE(form->loadSelectedFiles());
  EXPECT_EQ(text("LNewVersion"), "2.15");
  // The file changes on disk; a cancelled dialog (empty answer) keeps the selection and
  // reads it again.
  writeFile(filesDir(), QStringLiteral("fw.bin"),
            firmwareImage("00 01 00 01", "00 02 00 10", "00 00 00 00", QByteArray(500, 'q')));
  nextChosenFile.clear();
  form->BOpenFileWebClick();
  EXPECT_EQ(globalSelection().BinFileName, path);
  EXPECT_EQ(globalSelection().WebFileName, "0");
  EXPECT_EQ(text("LNewVersion"), "2.16");
  EXPECT_EQ(form->binFileData()->size(), 34 + 500);
}

TEST_F(MainWindow, ClearButtonsResetSelectionContentAndLabelsWithoutReloading) {
  createWindows();
  globalSelection().BinFileName = writeFile(filesDir(), QStringLiteral("fw.bin"),
                                            firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  globalSelection().Bi2FileName = writeFile(filesDir(), QStringLiteral("fw.bi2"),
                                            firmwareImage("00 05 00 01", "00 01 00 03", "00 00 00 00"));
  globalSelection().WebFileName = writeFile(filesDir(), QStringLiteral("fw.web"), QByteArray(12, 'w'));
  ASSERT_TRUE(form->loadSelectedFiles());

  QTest::mouseClick(ctl<QPushButton>("BClearBinFile"), Qt::LeftButton);
  EXPECT_EQ(globalSelection().BinFileName, "0");
  EXPECT_FALSE(form->binFileData().has_value());
  EXPECT_EQ(text("LBinFile"), "---");
  EXPECT_EQ(text("LNewVersion"), "--.--");
  EXPECT_EQ(text("LBinFileLength"), "0 Bytes");
  // The other contents stay loaded: the clear buttons do not reload.
  EXPECT_TRUE(form->bi2FileData().has_value());
  EXPECT_TRUE(form->webFileData().has_value());

  QTest::mouseClick(ctl<QPushButton>("BClearBi2File"), Qt::LeftButton);
  EXPECT_EQ(globalSelection().Bi2FileName, "0");
  EXPECT_FALSE(form->bi2FileData().has_value());
  EXPECT_EQ(text("LBi2File"), "---");
  EXPECT_EQ(text("LBi2FileLength"), "0 Bytes");
  EXPECT_EQ(text("LNewI2CVersion"), "1.3");  // kept

  QTest::mouseClick(ctl<QPushButton>("BClearWebFile"), Qt::LeftButton);
  EXPECT_EQ(globalSelection().WebFileName, "0");
  EXPECT_FALSE(form->webFileData().has_value());
  EXPECT_EQ(text("LWebFile"), "---");
  EXPECT_EQ(text("LWebFileLength"), "0 Bytes");
  EXPECT_TRUE(dialogFilters.isEmpty());
}

// --- Status handler ---------------------------------------------------------------

void setButtons(TFormMain& form, bool enabled) {
  for (const char* name : kUserButtons) child<QPushButton>(&form, name)->setEnabled(enabled);
}

bool allButtons(TFormMain& form, bool enabled) {
  for (const char* name : kUserButtons)
    if (child<QPushButton>(&form, name)->isEnabled() != enabled) return false;
  return true;
}

TEST_F(MainWindow, StatusMessagesAndProgressGoToMemoAndBar) {
  createWindows();
  TFormMain::onUpgradeStatus(form.get(), StatusMessage, -1, QStringLiteral("Check actual firmware version."));
  TFormMain::onUpgradeStatus(form.get(), StatusMessage, -1, QStringLiteral("0"));  // "0" is no text
  TFormMain::onUpgradeStatus(form.get(), StatusMessage, -1, QStringLiteral("Upload file."));
  EXPECT_EQ(memoLines(*form), (QStringList{"Check actual firmware version.", "Upload file."}));
  for (int value : {1, 42, 100}) {
    TFormMain::onUpgradeStatus(form.get(), StatusProgress, value, QStringLiteral("0"));
    EXPECT_EQ(ctl<QProgressBar>("PBLoadingFiles")->value(), value);
  }
  EXPECT_TRUE(logText().isEmpty());
}

// A transfer reports a hundred values in a fraction of a second: the bar takes each at
// once but is painted at the display's pace, not once per value, and ends up painted.
TEST_F(MainWindow, ProgressPaintsFollowTheDisplaysPace) {
  createWindows();
  form->show();
  QProgressBar* bar = ctl<QProgressBar>("PBLoadingFiles");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  bar->installEventFilter(&counter);
  for (int value = 1; value <= 100; ++value) {
    TFormMain::onUpgradeStatus(form.get(), StatusProgress, value, QStringLiteral("0"));
    ASSERT_EQ(bar->value(), value);
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0 && bar->updatesEnabled(); }, 2000));
  EXPECT_LT(counter.paints, 10);
  bar->removeEventFilter(&counter);
}

TEST_F(MainWindow, SuccessShowsTheVersionsReadBackOfTheLoadedKindsOnly) {
  createWindows();
  globalSelection().BinFileName = writeFile(filesDir(), QStringLiteral("fw.bin"),
                                            firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  ASSERT_TRUE(form->loadSelectedFiles());
  ctl<QLabel>("LOldI2CVersion")->setText(QStringLiteral("untouched"));
  VersionSet& network = form->upgradeEngine()->network;
  network.deviceFirmwareVersion = 0x0002000F;
  network.deviceHardwareVersion = -1;
  setButtons(*form, false);
  TFormMain::onUpgradeStatus(form.get(), StatusProgress, 100, QStringLiteral("0"));
  TFormMain::onUpgradeStatus(form.get(), StatusSucceeded, -1, QStringLiteral("0"));
  EXPECT_EQ(memoLines(*form), QStringList{"Upgrade finished successfully."});
  EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(170, 230, 170));
  EXPECT_EQ(ctl<QProgressBar>("PBLoadingFiles")->value(), 0);
  EXPECT_TRUE(allButtons(*form, true));
  EXPECT_EQ(text("LOldVersion"), "2.15 / NA");
  EXPECT_EQ(text("LOldI2CVersion"), "untouched");
  EXPECT_EQ(text("LNewVersion"), "2.15");
  EXPECT_TRUE(exitCodes.isEmpty());
  EXPECT_TRUE(logText().isEmpty());

  // With a .bi2 loaded and no .bin, only the I2C label changes.
  form->BClearBinFileClick();
  globalSelection().Bi2FileName = writeFile(filesDir(), QStringLiteral("fw.bi2"),
                                            firmwareImage("00 05 00 01", "00 01 00 03", "00 00 00 00"));
  ASSERT_TRUE(form->loadSelectedFiles());
  VersionSet& i2c = form->upgradeEngine()->i2c;
  i2c.deviceFirmwareVersion = 0x00010003;
  i2c.deviceHardwareVersion = 0x00020001;
  network.deviceFirmwareVersion = 0x00090009;
  TFormMain::onUpgradeStatus(form.get(), StatusSucceeded, -1, QStringLiteral("0"));
  EXPECT_EQ(text("LOldI2CVersion"), "1.3 / 2.1");
  EXPECT_EQ(text("LOldVersion"), "2.15 / NA");
}

TEST_F(MainWindow, FailureAndUnknownKindsPaintTheMemoRedAndLogUpgradeFailed) {
  createWindows();
  for (int kind : {int(StatusFailed), 7}) {
    clearLog();
    form->BStartClick();  // no address: refused at once, the memo turns red
    setButtons(*form, false);
    ctl<QProgressBar>("PBLoadingFiles")->setValue(55);
    const int before = int(memoLines(*form).size());
    TFormMain::onUpgradeStatus(form.get(), kind, -1, QStringLiteral("0"));
    const QStringList lines = memoLines(*form);
    ASSERT_EQ(lines.size(), before + 1) << kind;
    EXPECT_EQ(lines.last(), "Upgrade failed.");
    EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(255, 80, 80));
    EXPECT_EQ(ctl<QProgressBar>("PBLoadingFiles")->value(), 0);
    EXPECT_TRUE(allButtons(*form, true)) << kind;
    EXPECT_TRUE(logText().contains(QStringLiteral("Upgrade failed."))) << kind;
  }
  EXPECT_TRUE(exitCodes.isEmpty());
}

// The memo shows how the last upgrade ended: calm green, light red, and the window's
// normal colour again from the next Start on. The Start here waits on a loopback
// listener that never answers.
TEST_F(MainWindow, MemoColourFollowsTheEndOfTheLastUpgrade) {
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
  ASSERT_NO_FATAL_FAILURE(windowsAgainstSilentDevice(silent));
  QPlainTextEdit* memo = ctl<QPlainTextEdit>("MBootLoaderState");
  const QColor normal = QApplication::palette(memo).color(QPalette::Base);
  const QColor green(170, 230, 170), red(255, 80, 80);
  ASSERT_NE(normal, green);
  EXPECT_EQ(memo->palette().color(QPalette::Base), normal) << "a new window";
  const struct {
    int kind;
    QColor colour;
  } ends[] = {{StatusSucceeded, green}, {StatusFailed, red}, {StatusSucceeded, green}};
  for (const auto& end : ends) {
    TFormMain::onUpgradeStatus(form.get(), end.kind, -1, QStringLiteral("0"));
    EXPECT_EQ(memo->palette().color(QPalette::Base), end.colour) << end.kind;
    form->BStartClick();
    ASSERT_NE(form->upgradeEngine()->currentState(), kTerminalState) << memoLines(*form).join('|').toStdString();
    EXPECT_EQ(memo->palette().color(QPalette::Base), normal) << "Start after " << end.kind;
  }
}

TEST_F(MainWindow, UpgradedVersionTextTable) {
  struct Case {
    qint32 firmware, hardware;
    const char* text;
  };
  const Case cases[] = {
      {0x0002000F, -1, "2.15 / NA"},
      {0x0002000F, 0, "2.15 / NA"},
      {0x0003000A, 0x00020001, "3.10 / 2.1"},
      // Above 0, each number is the low 8 bits of its half.
      {0x0001012C, 0x00010002, "1.44 / 1.2"},
      {0x01020304, 0x01050106, "2.4 / 5.6"},
      // Without hardware the halves are shown whole.
      {0x0001012C, -1, "1.300 / NA"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TFormMain::upgradedVersionText(c.firmware, c.hardware), QString::fromLatin1(c.text)) << c.text;
}

TEST_F(MainWindow, StartRefusedByTheEngineShowsReasonAndOneFailureLine) {
  createWindows();
  // An address text that fails the check: the engine refuses before any network use.
  globalSelection().IPAddress = QStringLiteral("192.168.16.300");
  ctl<QPlainTextEdit>("MBootLoaderState")->appendPlainText(QStringLiteral("earlier run"));
  ctl<QProgressBar>("PBLoadingFiles")->setValue(30);
  form->BStartClick();
  EXPECT_EQ(memoLines(*form), (QStringList{"Start upgrade.", "IP address 192.168.16.300 not valid.",
                                           "Upgrade failed."}));
  EXPECT_EQ(ctl<QPlainTextEdit>("MBootLoaderState")->palette().color(QPalette::Base), QColor(255, 80, 80));
  EXPECT_EQ(ctl<QProgressBar>("PBLoadingFiles")->value(), 0);
  EXPECT_TRUE(allButtons(*form, true));
  EXPECT_EQ(form->upgradeEngine()->currentState(), kTerminalState);
  const QString log = logText();
  EXPECT_TRUE(log.contains(QStringLiteral("IP address 192.168.16.300 not valid.")));
  EXPECT_EQ(log.count(QStringLiteral("Upgrade failed.")), 1) << log.toStdString();
}

TEST_F(MainWindow, ScanI2CBusDoesNothingWithoutAnAddress) {
  createWindows();
  form->show();
  form->BScanI2CBusClick();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(scanI2c->isVisible());
  EXPECT_TRUE(scanI2c->ScanAddress.isEmpty());
}

TEST_F(MainWindow, AboutMenuShowsTheAboutBoxWithoutModality) {
  createWindows();
  form->show();
  form->findChild<QAction*>(QStringLiteral("MenuAbout"))->trigger();
  EXPECT_TRUE(about->isVisible());
  EXPECT_FALSE(about->isModal());
  EXPECT_TRUE(form->isVisible());
}

// --- Closing ----------------------------------------------------------------------

TEST_F(MainWindow, IdleWindowClosesWithoutAQuestionAndReleasesEverything) {
  createWindows();
  globalSelection().BinFileName = writeFile(filesDir(), QStringLiteral("fw.bin"),
                                            firmwareImage("00 01 00 01", "00 02 00 0F", "00 00 00 00"));
  ASSERT_TRUE(form->loadSelectedFiles());
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_TRUE(questions.isEmpty());
  EXPECT_FALSE(form->binFileData().has_value());
  EXPECT_EQ(form->upgradeEngine(), nullptr);
  EXPECT_EQ(form->discoveryEngine(), nullptr);
  EXPECT_EQ(exitCodes, QList<int>{0});
}

// An upgrade that waits for a device which never answers: a TCP listener on loopback
// stands in for the common port.
TEST_F(MainWindow, ClosingDuringAnUpgradeAsksAndNoKeepsWindowAndUpgrade) {
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
  ASSERT_NO_FATAL_FAILURE(windowsAgainstSilentDevice(silent));
  form->show();
  TFormMain::onUpgradeStatus(form.get(), StatusFailed, -1, QStringLiteral("0"));  // an earlier failure
  form->BStartClick();
  ASSERT_NE(form->upgradeEngine()->currentState(), kTerminalState) << memoLines(*form).join('|').toStdString();
  EXPECT_TRUE(allButtons(*form, false));
  // Start gives the memo its normal background again.
  QPlainTextEdit* memo = ctl<QPlainTextEdit>("MBootLoaderState");
  EXPECT_EQ(memo->palette().color(QPalette::Base), QApplication::palette(memo).color(QPalette::Base));
  EXPECT_NE(memo->palette().color(QPalette::Base), QColor(255, 80, 80));
  EXPECT_EQ(memoLines(*form).first(), "Start upgrade.");

  answerYes = false;
  EXPECT_FALSE(form->close());
  ASSERT_EQ(questions.size(), 1);
  EXPECT_EQ(questions[0], QStringLiteral("Close application|The Firmware update process is not finished,\n"
                                         "Are you sur you want to close application ?"));
  EXPECT_TRUE(form->isVisible());
  ASSERT_NE(form->upgradeEngine(), nullptr);
  EXPECT_NE(form->upgradeEngine()->currentState(), kTerminalState);
  EXPECT_TRUE(exitCodes.isEmpty());

  answerYes = true;
  EXPECT_TRUE(form->close());
  EXPECT_EQ(questions.size(), 2);
  EXPECT_EQ(form->upgradeEngine(), nullptr);
  EXPECT_FALSE(form->webFileData().has_value());
  EXPECT_EQ(exitCodes, QList<int>{0});
}

// --- Batch run without a device -----------------------------------------------------

TEST_F(MainWindow, BatchWithARefusedFileEndsWithCodeFiveAtTheFirstShowing) {
  createWindows();
  globalSelection().BatchMode = true;
  globalSelection().IPAddress = QStringLiteral("10.77.1.1");
  globalSelection().BinFileName = QDir(filesDir()).filePath(QStringLiteral("missing.bin"));
  form->show();
  EXPECT_EQ(exitCodes, QList<int>{kExitFileRefused});
  EXPECT_TRUE(allButtons(*form, false));
  const QString log = logText();
  EXPECT_TRUE(log.contains(QStringLiteral("The *.bin file does not exist.")));
  EXPECT_TRUE(log.contains(QStringLiteral("Bin file not valid.")));
  // Showing the window again does not run a second batch.
  form->hide();
  form->show();
  EXPECT_EQ(exitCodes.size(), 1);
}

TEST_F(MainWindow, BatchRefusedByTheEngineEndsWithCodeOneOnce) {
  createWindows();
  globalSelection().BatchMode = true;
  globalSelection().IPAddress = QStringLiteral("10.77.1.300");  // refused before any network use
  globalSelection().WebFileName = writeFile(filesDir(), QStringLiteral("pages.web"), QByteArray(10, 'w'));
  form->show();
  EXPECT_EQ(exitCodes, QList<int>{kExitFailed});
  EXPECT_EQ(memoLines(*form), (QStringList{"IP address 10.77.1.300 not valid.", "Upgrade failed."}));
  EXPECT_TRUE(logText().contains(QStringLiteral("Upgrade failed.")));
  // A second failure report of the same run does not ask for a second exit.
  TFormMain::onUpgradeStatus(form.get(), StatusFailed, -1, QStringLiteral("0"));
  EXPECT_EQ(exitCodes.size(), 1);
}

TEST_F(MainWindow, ExitRequestedBeforeTheEventLoopRunsIsNotLost) {
  form = std::make_unique<TFormMain>();
  ASSERT_TRUE(form->engineCreated());
  globalSelection().BatchMode = true;
  globalSelection().IPAddress = QStringLiteral("10.77.1.1");
  globalSelection().BinFileName = QDir(filesDir()).filePath(QStringLiteral("missing.bin"));
  form->show();  // the refusal asks for the exit here, before exec() runs
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(20000);
  EXPECT_EQ(QCoreApplication::exec(), kExitFileRefused);
}

}  // namespace
