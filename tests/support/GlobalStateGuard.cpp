#include "GlobalStateGuard.h"

#include "app/GlobalSelection.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"

#include <QtGlobal>

namespace orvane::test {

GlobalStateGuard::~GlobalStateGuard() {
  orvane::ui::setQuestionHandler({});
  orvane::ui::setMessageBoxHandler({});
  configureErrorLog(0, QString(), QStringLiteral("Orvane - Firmware upgrader"));
  configureGeneralLog(0, 255, false, false, QStringLiteral("Orvane - Firmware upgrader"));
  setLogLockWaitMs(kLogLockWaitMs);
  globalSelection() = GlobalSelection();
  if (savedLocale_) QLocale::setDefault(*savedLocale_);
  // Newest first, so that a variable changed twice ends as it was before the first change.
  for (auto it = savedEnv_.rbegin(); it != savedEnv_.rend(); ++it) {
    if (it->second) qputenv(it->first.constData(), *it->second);
    else qunsetenv(it->first.constData());
  }
}

void GlobalStateGuard::remember(const char* name) {
  std::optional<QByteArray> value;
  if (qEnvironmentVariableIsSet(name)) value = qgetenv(name);
  savedEnv_.emplace_back(QByteArray(name), value);
}

void GlobalStateGuard::setLocale(const QLocale& locale) {
  if (!savedLocale_) savedLocale_ = QLocale();
  QLocale::setDefault(locale);
}

void GlobalStateGuard::setEnv(const char* name, const QByteArray& value) {
  remember(name);
  qputenv(name, value);
}

void GlobalStateGuard::unsetEnv(const char* name) {
  remember(name);
  qunsetenv(name);
}

}  // namespace orvane::test
