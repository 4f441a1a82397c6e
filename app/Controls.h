#pragma once

#include <QRect>
#include <QString>

class QPushButton;
class QWidget;

// Small helpers that build the fixed-geometry controls of the main window.
namespace controls {

// Gives a control its object name and its place in its parent.
template <class Widget>
Widget* placed(Widget* widget, const QString& name, QRect geometry) {
  widget->setObjectName(name);
  widget->setGeometry(geometry);
  return widget;
}

// A push button that never becomes the default button of its window.
QPushButton* button(QWidget* parent, const QString& name, const QString& text, QRect geometry);

}  // namespace controls
