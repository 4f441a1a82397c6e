#pragma once

// Shared pieces of the window tests: the application object, a fixture that gives the
// main window a private error log, recorders for the message box, question and exit hooks,
// and firmware files written on the fly.

#include "app/About.h"
#include "app/GlobalSelection.h"
#include "app/Mainform.h"
#include "app/Scani2c.h"
#include "app/Scanudp.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "support/GlobalStateGuard.h"
#include "support/TempHome.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace windowkit {

inline QApplication& application() {
  static int argc = 1;
  static char name[] = "window_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

inline QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// A .bin/.bi2 image: 16 opaque bytes, the magic, the type and the two version words
// (four bytes each, hex), then the payload.
inline QByteArray firmwareImage(const char* typeHex, const char* newWordHex, const char* minWordHex,
                                const QByteArray& payload = QByteArray(64, '\x5A'),
                                const QByteArray& magic = QByteArrayLiteral("Orvane")) {
  QByteArray bytes(16, '\x11');
  bytes += magic;
  bytes += hex(typeHex);
  bytes += hex(newWordHex);
  bytes += hex(minWordHex);
  bytes += payload;
  return bytes;
}

inline QString writeFile(const QString& directory, const QString& name, const QByteArray& bytes) {
  const QString path = QDir(directory).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
  file.write(bytes);
  return path;
}

template <class T>
T* child(QWidget* root, const char* name) {
  return root->findChild<T*>(QString::fromLatin1(name));
}

inline QStringList memoLines(TFormMain& form) {
  const QString text = child<QPlainTextEdit>(&form, "MBootLoaderState")->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

inline const char* const kUserButtons[] = {"BStart",        "BScan",         "BScanI2CBus",
                                           "BOpenFileBin",  "BOpenFileBi2",  "BOpenFileWeb",
                                           "BClearBinFile", "BClearBi2File", "BClearWebFile"};

// The main window with a private error log and recording hooks. The windows it creates
// never scan: tests that open a scan dialog run inside a network lab.
class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    application();
    ASSERT_TRUE(logs_.isValid());
    ASSERT_TRUE(files_.isValid());
    configureErrorLog(LogToFile, logs_.path(), QStringLiteral("Orvane - Firmware upgrader"));
    configureGeneralLog(0, 255, false, true, QStringLiteral("Orvane - Firmware upgrader"));
    globalSelection() = GlobalSelection();
    orvane::ui::setQuestionHandler([this](const QString& caption, const QString& text) {
      questions << caption + QLatin1Char('|') + text;
      return answerYes;
    });
    orvane::ui::setMessageBoxHandler(
        [this](const QString&, const QString& text, orvane::ui::BoxIcon) { boxes << text; });
  }

  void TearDown() override {
    scanI2c.reset();
    about.reset();
    scanUdp.reset();
    form.reset();
  }

  // Creates the four windows as the program does; the exit and file-dialog hooks record.
  void createWindows(EngineSettings engineSettings = {}, DiscoverySettings discoverySettings = {}) {
    form = std::make_unique<TFormMain>(engineSettings, discoverySettings);
    ASSERT_TRUE(form->engineCreated());
    scanUdp = std::make_unique<TScanUDPForm>(form.get(), form->discoveryAccess());
    about = std::make_unique<TAboutForm>(form.get(), QString(), QString());
    scanI2c = std::make_unique<TFScanI2C>(form.get(), form->discoveryAccess());
    form->attachWindows(scanUdp.get(), about.get(), scanI2c.get());
    form->requestExit = [this](int code) { exitCodes << code; };
    form->OpenDialog = [this](const QString& caption, const QString& filter) {
      dialogFilters << filter;
      (void)caption;
      return nextChosenFile;
    };
  }

  // Opens a scan dialog through its main-window button and waits for its scan to end.
  bool openAndScan(const char* button, DeviceListDialog* dialog) {
    QSignalSpy finished(dialog, &DeviceListDialog::scanFinished);
    QTest::mouseClick(ctl<QPushButton>(button), Qt::LeftButton);
    return finished.wait(15000);
  }

  // Clicks the entry of a dialog's list that has this caption.
  void clickEntry(DeviceListDialog* dialog, const QString& caption) {
    QTreeWidget* list = dialog->LVDevices;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QTreeWidgetItem* item = list->topLevelItem(i);
      if (item->text(0) != caption) continue;
      list->scrollToItem(item);
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
      return;
    }
    ADD_FAILURE() << "no entry " << caption.toStdString();
  }

  QString logText() const { return orvane::test::readLogFileText(errorLogFilePath()); }
  void clearLog() const { QFile::remove(errorLogFilePath()); }
  QString filesDir() const { return files_.path(); }

  template <class T>
  T* ctl(const char* name) {
    return child<T>(form.get(), name);
  }
  QString text(const char* labelName) { return ctl<QLabel>(labelName)->text(); }

  // Declared first, so that it resets the hooks and the selection after the windows went.
  orvane::test::GlobalStateGuard globals_;
  std::unique_ptr<TFormMain> form;
  std::unique_ptr<TScanUDPForm> scanUdp;
  std::unique_ptr<TAboutForm> about;
  std::unique_ptr<TFScanI2C> scanI2c;

  QStringList questions;
  QStringList boxes;
  bool answerYes = false;
  QList<int> exitCodes;
  QStringList dialogFilters;
  QString nextChosenFile;

 private:
  QTemporaryDir logs_;
  QTemporaryDir files_;
};

}  // namespace windowkit
