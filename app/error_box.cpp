#include "app/error_box.h"

#include <QMessageBox>

void ShowErrorBox(QWidget* parent, const QString& message) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf16(kProgramTitle), ErrorBoxText(message),
                  QMessageBox::Ok, parent);
  box.exec();
}
