#include "app/shelvio_application.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/error_box.h"

ShelvioApplication::ShelvioApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromUtf16(kProgramTitle));
  (void)InstallQtRussian(this);
}

bool ShelvioApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded(activeWindow(), [&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

QTranslator* InstallQtRussian(QCoreApplication* application) {
  auto* translator = new QTranslator(application);
  // qtbase holds every text of QtCore, QtGui and QtWidgets that this program shows.
  if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                        QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return nullptr;
  }
  return translator;
}
