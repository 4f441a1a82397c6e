#include "app/ElidedLabel.h"

#include <QPainter>

void ElidedLabel::setFullText(const QString& text) {
  setText(text);
  setToolTip(text);
}

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
  painter.drawText(contentsRect(), int(alignment()), shown);
}
