#pragma once

#include <QByteArray>
#include <QLocale>
#include <optional>
#include <utility>
#include <vector>

// The process-wide settings a test may change: the message box and question hooks of
// common/UiHooks.h, the log configuration and the log-lock wait, the main window's global
// selection, the default locale, and environment variables. A guard (a fixture member or a local at the top of
// a test body) puts them back when it goes, also when a failed assertion ends the test
// early: the hooks unbound, the log quiet (no outputs), the lock wait at kLogLockWaitMs,
// the selection empty, and the locale and every variable changed through it as they were.
namespace orvane::test {

class GlobalStateGuard {
 public:
  GlobalStateGuard() = default;
  ~GlobalStateGuard();
  GlobalStateGuard(const GlobalStateGuard&) = delete;
  GlobalStateGuard& operator=(const GlobalStateGuard&) = delete;

  // Changes an environment variable until the guard goes.
  void setEnv(const char* name, const QByteArray& value);
  void unsetEnv(const char* name);
  // Changes the default locale until the guard goes.
  void setLocale(const QLocale& locale);

 private:
  void remember(const char* name);

  std::vector<std::pair<QByteArray, std::optional<QByteArray>>> savedEnv_;
  std::optional<QLocale> savedLocale_;
};

}  // namespace orvane::test
