#pragma once

#include <QLabel>

// A label that shows a long text (a file name) shortened in the middle instead of
// cutting it off, and the whole text as its tool tip. text() keeps the full text.
class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

  // Sets the text and the tool tip together.
  void setFullText(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;
};
