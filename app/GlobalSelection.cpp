#include "app/GlobalSelection.h"

GlobalSelection& globalSelection() {
  static GlobalSelection selection;
  return selection;
}

ScriptOptions& globalScriptOptions() {
  static ScriptOptions options;
  return options;
}
