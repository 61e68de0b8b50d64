#pragma once

#include <QString>
#include <exception>
#include <utility>

#include "engine/error_text.h"

class QWidget;

// The caption of the program's boxes and of its main window.
inline constexpr char16_t kProgramTitle[] = u"Shelvio";

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
