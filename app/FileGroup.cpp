#include "app/FileGroup.h"

#include "app/Controls.h"
#include "app/ElidedLabel.h"

#include <QLabel>
#include <QPushButton>

namespace {

// The texts of a group without a file.
const QString kNoFileName = QStringLiteral("---");
const QString kNoFileLength = QStringLiteral("0 Bytes");
const QString kNoVersionText = QStringLiteral("--.--");
const QString kNoDeviceVersion = QStringLiteral("--.-- / --.--");

// The buttons stacked at the left, the name/value rows at the right.
constexpr int kButtonX = 8, kButtonW = 132, kButtonH = 25, kClearButtonDown = 28;
constexpr int kDefX = 146, kDefW = 144, kValueX = 292, kValueW = 136, kRow = 16;

QRect defRow(int top, int index) { return {kDefX, top + 3 + index * kRow, kDefW, kRow}; }
QRect valueRow(int top, int index) { return {kValueX, top + 3 + index * kRow, kValueW, kRow}; }

QString nameOf(const char* head, const char* tag, const char* tail) {
  return QString::fromLatin1(head) + QString::fromLatin1(tag) + QString::fromLatin1(tail);
}

QLabel* label(QWidget* box, const QString& name, const QString& text, QRect geometry) {
  return controls::placed(new QLabel(text, box), name, geometry);
}

}  // namespace

FileGroup::FileGroup(QWidget* box, const FileGroupDesign& design) : design_(design) {
  const int top = design.top;
  const char* tag = design.tag;
  const QString ext = QString::fromLatin1(design.extension);
  open_ = controls::button(box, nameOf("BOpenFile", tag, ""), QStringLiteral("Change *.%1 file...").arg(ext),
                           {kButtonX, top, kButtonW, kButtonH});
  clear_ = controls::button(box, nameOf("BClear", tag, "File"), QStringLiteral("Clear *.%1 file").arg(ext),
                            {kButtonX, top + kClearButtonDown, kButtonW, kButtonH});
  nameDef_ = label(box, nameOf("L", tag, "FileDef"), QStringLiteral("Name :"), defRow(top, 0));
  name_ = controls::placed(new ElidedLabel(kNoFileName, box), nameOf("L", tag, "File"), valueRow(top, 0));
  lengthDef_ = label(box, nameOf("L", tag, "FileLengthDef"), QStringLiteral("Length :"), defRow(top, 1));
  length_ = label(box, nameOf("L", tag, "FileLength"), kNoFileLength, valueRow(top, 1));
  if (const char* v = design.versionTag) {
    oldVersionDef_ = label(box, nameOf("LOld", v, "VersionDef"), QStringLiteral("Actual FW/HW version :"),
                           defRow(top, 2));
    oldVersion_ = label(box, nameOf("LOld", v, "Version"), kNoDeviceVersion, valueRow(top, 2));
    newVersionDef_ = label(box, nameOf("LNew", v, "VersionDef"), QStringLiteral("New FW version :"), defRow(top, 3));
    newVersion_ = label(box, nameOf("LNew", v, "Version"), kNoVersionText, valueRow(top, 3));
  }
}

QList<QWidget*> FileGroup::widgets() const {
  QList<QWidget*> all{open_, clear_, nameDef_, name_, lengthDef_, length_};
  if (design_.versionTag) all << oldVersionDef_ << oldVersion_ << newVersionDef_ << newVersion_;
  return all;
}

void FileGroup::setVisible(bool visible) {
  for (QWidget* w : widgets()) w->setVisible(visible);
}

void FileGroup::showFile(const orvane::LoadedFirmware& loaded) {
  name_->setFullText(loaded.nameText);
  length_->setText(loaded.lengthText);
  if (newVersion_) newVersion_->setText(loaded.newVersionText);
}

void FileGroup::showNoFile() {
  name_->setFullText(kNoFileName);
  if (newVersion_ && design_.clearEmptiesNewVersion) newVersion_->setText(kNoVersionText);
  length_->setText(kNoFileLength);
}

void FileGroup::showDeviceVersion(const QString& text) {
  if (oldVersion_) oldVersion_->setText(text);
}

QString FileGroup::deviceVersionText() const { return oldVersion_ ? oldVersion_->text() : QString(); }
