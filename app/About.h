#pragma once

#include <QString>
#include <QWidget>

class QLabel;

// The About box: the program's title and version, a notice line, and, where the build
// was given them, a link to the maker's web site and a mail icon for its support address.
// Created hidden at start-up, shown on request, hidden again when closed.
class TAboutForm : public QWidget {
  Q_OBJECT

 public:
  // Empty addresses leave their control out. The defaults are the build's settings.
  explicit TAboutForm(QWidget* centreOn = nullptr, const QString& webAddress = defaultWebAddress(),
                      const QString& supportMail = defaultSupportMail());

  static QString defaultWebAddress();
  static QString defaultSupportMail();

  void HttpLabelClick();
  void MailImageClick();

  QLabel* LabelTitre = nullptr;
  QLabel* LabelVersion = nullptr;
  QLabel* LabelCopyright = nullptr;
  QLabel* HttpLabel = nullptr;
  QLabel* MailImage = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* centreOn_;
  QString webAddress_;
  QString supportMail_;
};
