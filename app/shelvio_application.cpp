#include "app/shelvio_application.h"

#include "app/error_box.h"

ShelvioApplication::ShelvioApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromUtf16(kProgramTitle));
}

bool ShelvioApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded(activeWindow(), [&] { handled = QApplication::notify(receiver, event); });
  return handled;
}
