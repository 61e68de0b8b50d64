#include "app/zip_prompt_box.h"

#include <QMessageBox>

#include "app/error_box.h"

ZipPromptAnswer ZipPromptBox::Ask(const QString& text, const EZipWriterError& error, bool retryOffered) {
  (void)error;
  // Called from inside the writer: nothing may leave here as an exception.
  try {
    QMessageBox::StandardButtons buttons = QMessageBox::Abort | QMessageBox::Ignore;
    if (retryOffered) buttons |= QMessageBox::Retry;
    QMessageBox box(QMessageBox::Critical, QString::fromUtf16(kProgramTitle), text, buttons, parent_);
    box.setEscapeButton(QMessageBox::Abort);
    switch (box.exec()) {
      case QMessageBox::Retry:
        return ZipPromptAnswer::Retry;
      case QMessageBox::Ignore:
        return ZipPromptAnswer::Ignore;
      default:
        return ZipPromptAnswer::Abort;
    }
  } catch (...) {
    return ZipPromptAnswer::Abort;
  }
}
