#include "app/About.h"

#include "common/Version.h"

#include <QDesktopServices>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QShowEvent>
#include <QUrl>

#ifndef ORVANE_WEB_URL
#define ORVANE_WEB_URL ""
#endif
#ifndef ORVANE_SUPPORT_MAIL
#define ORVANE_SUPPORT_MAIL ""
#endif

// At global scope: the resource initialiser of the static UI library must be referenced
// for the linker to keep the icons.
static void initResources() { Q_INIT_RESOURCE(orvane_app); }

QString TAboutForm::defaultWebAddress() { return QStringLiteral(ORVANE_WEB_URL); }
QString TAboutForm::defaultSupportMail() { return QStringLiteral(ORVANE_SUPPORT_MAIL); }

TAboutForm::TAboutForm(QWidget* centreOn, const QString& webAddress, const QString& supportMail)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      centreOn_(centreOn),
      webAddress_(webAddress.trimmed()),
      supportMail_(supportMail.trimmed()) {
  initResources();
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(QStringLiteral("About"));
  setAttribute(Qt::WA_QuitOnClose, false);
  setFixedSize(192, 115);
  QFont base = font();
  base.setPointSize(8);
  setFont(base);

  auto label = [this](const char* name, const QString& text, QRect geometry) {
    auto* l = new QLabel(text, this);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    l->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    return l;
  };
  LabelTitre = label("LabelTitre", QStringLiteral("Orvane firmware upgrader"), {0, 6, 192, 22});
  QFont title = LabelTitre->font();
  title.setBold(true);
  title.setPointSize(9);
  LabelTitre->setFont(title);
  LabelVersion = label("LabelVersion", QStringLiteral("Version ?"), {0, 30, 192, 16});
  LabelVersion->setText(QString::fromLatin1(orvane::kProgramVersionText));
  LabelCopyright = label("LabelCopyright", QStringLiteral("For Orvane devices"), {0, 48, 192, 16});

  HttpLabel = label("HttpLabel", QString(), {8, 78, 140, 18});
  HttpLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QFont link = HttpLabel->font();
  link.setUnderline(true);
  HttpLabel->setFont(link);
  QPalette linkPalette = HttpLabel->palette();
  linkPalette.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
  HttpLabel->setPalette(linkPalette);
  HttpLabel->setText(QFontMetrics(link).elidedText(webAddress_, Qt::ElideRight, HttpLabel->width()));
  HttpLabel->setCursor(Qt::PointingHandCursor);
  HttpLabel->setToolTip(webAddress_);
  HttpLabel->installEventFilter(this);
  HttpLabel->setVisible(!webAddress_.isEmpty());

  MailImage = new QLabel(this);
  MailImage->setObjectName(QStringLiteral("MailImage"));
  MailImage->setGeometry(152, 72, 32, 32);
  MailImage->setPixmap(QPixmap(QStringLiteral(":/orvane/mail32.xpm")));
  MailImage->setCursor(Qt::PointingHandCursor);
  MailImage->setToolTip(supportMail_);
  MailImage->installEventFilter(this);
  MailImage->setVisible(!supportMail_.isEmpty());

  QIcon icon;
  icon.addPixmap(QPixmap(QStringLiteral(":/orvane/mail16.xpm")));
  icon.addPixmap(QPixmap(QStringLiteral(":/orvane/mail32.xpm")));
  setWindowIcon(icon);
}

void TAboutForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous() || !centreOn_) return;
  QRect frame = frameGeometry();
  frame.moveCenter(centreOn_->frameGeometry().center());
  move(frame.topLeft());
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    if (watched == HttpLabel) {
      HttpLabelClick();
      return true;
    }
    if (watched == MailImage) {
      MailImageClick();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TAboutForm::HttpLabelClick() {
  if (webAddress_.isEmpty()) return;
  // An address given without a scheme is a web address.
  QUrl url = QUrl::fromUserInput(webAddress_);
  QDesktopServices::openUrl(url);
}

void TAboutForm::MailImageClick() {
  if (supportMail_.isEmpty()) return;
  QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + supportMail_));
}
