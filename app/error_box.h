#pragma once

#include <QString>

#include <exception>
#include <utility>

class QWidget;

// The caption of the program's boxes and of its main window.
inline constexpr char16_t kProgramTitle[] = u"Shelvio";

// The error box's text for message: a full stop is appended when the last character's code is
// above that of the full stop.
QString ErrorBoxText(const QString& message);
// The message of the exception in flight; call only inside a catch block.
QString CurrentErrorMessage();
// The program's error box over parent: critical icon, caption "Shelvio", ErrorBoxText(message).
void ShowErrorBox(QWidget* parent, const QString& message);

// Runs handler; an exception that escapes it is shown in the error box and goes no further, so
// that none crosses Qt's event loop. The window then goes on.
template <typename Handler>
void Guarded(QWidget* parent, Handler&& handler) {
  QString message;
  try {
    std::forward<Handler>(handler)();
    return;
  } catch (...) {
    message = CurrentErrorMessage();
  }
  ShowErrorBox(parent, message);
}
