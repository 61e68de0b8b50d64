#pragma once

#include <QApplication>

// The application object: an exception that a handler let through is stopped where Qt delivers
// the event and shown in the program's error box; the event loop then goes on.
class ShelvioApplication : public QApplication {
 public:
  ShelvioApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};
