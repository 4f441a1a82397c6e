#include "app/GlobalSelection.h"

GlobalSelection& globalSelection() {
  static GlobalSelection selection;
  return selection;
}
