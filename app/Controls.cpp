#include "app/Controls.h"

#include <QPushButton>

namespace controls {

QPushButton* button(QWidget* parent, const QString& name, const QString& text, QRect geometry) {
  auto* b = placed(new QPushButton(text, parent), name, geometry);
  b->setAutoDefault(false);
  return b;
}

}  // namespace controls
