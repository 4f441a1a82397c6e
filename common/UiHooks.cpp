#include "common/UiHooks.h"

#include <cstdio>

namespace orvane::ui {
namespace {
MessageBoxHandler& boxHandler() {
  static MessageBoxHandler handler;
  return handler;
}
QuestionHandler& questionHandler() {
  static QuestionHandler handler;
  return handler;
}
}  // namespace

void setMessageBoxHandler(MessageBoxHandler handler) { boxHandler() = std::move(handler); }
void setQuestionHandler(QuestionHandler handler) { questionHandler() = std::move(handler); }

void showMessageBox(const QString& caption, const QString& text, BoxIcon icon) {
  if (boxHandler()) {
    boxHandler()(caption, text, icon);
    return;
  }
  std::fprintf(stderr, "[%s] %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
}

bool askYesNo(const QString& caption, const QString& text) {
  if (questionHandler()) return questionHandler()(caption, text);
  std::fprintf(stderr, "[%s] %s (answered No: nobody to ask)\n", caption.toUtf8().constData(),
               text.toUtf8().constData());
  return false;
}

}  // namespace orvane::ui
