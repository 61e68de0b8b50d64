#pragma once

#include <QApplication>

class QTranslator;

// The application object: an exception that a handler let through is stopped where Qt delivers
// the event and shown in the program's error box; the event loop then goes on. Qt's own texts
// (standard buttons, the edit fields' context menu, dialogs) are Russian like the rest.
class ShelvioApplication : public QApplication {
 public:
  ShelvioApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Installs Qt's Russian translation into application, whatever the system's language: the window
// speaks Russian only, and a box with Russian text and English buttons reads as broken. Returns the
// translator (owned by application), or null when the translation is not installed; Qt's texts
// then stay English.
QTranslator* InstallQtRussian(QCoreApplication* application);
