#pragma once

#include <QString>

// How the program shows an error's message, in its error box and on the command line alike: a
// full stop is appended when the last character's code is above that of the full stop.
QString ErrorBoxText(const QString& message);

// The message of the exception in flight; call only inside a catch block. Every error type of the
// libraries carries its user-facing message as UTF-8 in what().
QString CurrentErrorMessage();
