#include "app/error_box.h"

#include <QMessageBox>

#include <new>
#include <stdexcept>

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

QString CurrentErrorMessage() {
  // Every error type of the libraries carries its user-facing message as UTF-8 in what().
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return QStringLiteral("Out of memory");
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return QStringLiteral("Unknown error");
  }
}

void ShowErrorBox(QWidget* parent, const QString& message) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf16(kProgramTitle), ErrorBoxText(message),
                  QMessageBox::Ok, parent);
  box.exec();
}
