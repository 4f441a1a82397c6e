#pragma once

#include <QString>
#include <functional>

// The core library shows no widgets. Where it must show a message box or ask the
// operator a question, it calls these hooks: the program binds them to QMessageBox,
// tests bind them to recorders. Unbound, a box is written to standard error and a
// question is answered No.
namespace orvane::ui {

enum class BoxIcon { None, Warning };

using MessageBoxHandler = std::function<void(const QString& caption, const QString& text, BoxIcon icon)>;
// Returns true for Yes.
using QuestionHandler = std::function<bool(const QString& caption, const QString& text)>;

void setMessageBoxHandler(MessageBoxHandler handler);
void setQuestionHandler(QuestionHandler handler);

void showMessageBox(const QString& caption, const QString& text, BoxIcon icon);
bool askYesNo(const QString& caption, const QString& text);

}  // namespace orvane::ui
