#pragma once

#include "engine/FirmwareFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

class ElidedLabel;
class QLabel;
class QPushButton;
class QWidget;

// What sets one file group of the main window apart from the others.
struct FileGroupDesign {
  orvane::FirmwareKind kind;
  // In every control name: "Bin" gives BOpenFileBin, BClearBinFile, LBinFile...
  const char* tag;
  // In the button captions: "bin" gives "Change *.bin file...".
  const char* extension;
  // In the names of the two version rows: "" gives LOldVersion and LNewVersion,
  // "I2C" gives LOldI2CVersion and LNewI2CVersion; null for a group without them.
  const char* versionTag;
  // Whether the clear button also empties the new-version row.
  bool clearEmptiesNewVersion;
  // Top of the group inside the "Selected files" box.
  int top;
  // The loader the error entries of this kind are written under, and the summary entry
  // of a refusal.
  const char* loaderName;
  const char* notValidText;
};

// One file group of the main window: the Change and Clear buttons at the left, the name
// and length rows (and for firmware the device's and the file's version rows) at the
// right, and the content loaded from the chosen file.
class FileGroup {
 public:
  // Builds the controls inside `box`, shown, with the texts of "no file".
  FileGroup(QWidget* box, const FileGroupDesign& design);

  const FileGroupDesign& design() const { return design_; }
  QPushButton* openButton() const { return open_; }
  QPushButton* clearButton() const { return clear_; }

  void setVisible(bool visible);

  // Shows a loaded file: its name, length and, with version rows, its new version.
  void showFile(const orvane::LoadedFirmware& loaded);
  // Shows "no file" in the name and length rows (and the new-version row where the
  // design says so).
  void showNoFile();
  // The row of the device's present versions ("fw / hw"); only with version rows.
  void showDeviceVersion(const QString& text);
  QString deviceVersionText() const;

  const std::optional<QByteArray>& content() const { return content_; }
  void setContent(QByteArray content) { content_ = std::move(content); }
  void forgetContent() { content_.reset(); }

 private:
  QList<QWidget*> widgets() const;

  FileGroupDesign design_;
  std::optional<QByteArray> content_;
  QPushButton* open_ = nullptr;
  QPushButton* clear_ = nullptr;
  QLabel* nameDef_ = nullptr;
  ElidedLabel* name_ = nullptr;
  QLabel* lengthDef_ = nullptr;
  QLabel* length_ = nullptr;
  QLabel* oldVersionDef_ = nullptr;
  QLabel* oldVersion_ = nullptr;
  QLabel* newVersionDef_ = nullptr;
  QLabel* newVersion_ = nullptr;
};
