#pragma once

#include "archive/zip_writer.h"

class QWidget;

// The ZIP writer's per-file prompt as a message box: Abort, Retry and Ignore (Abort and Ignore
// where retrying cannot help).
class ZipPromptBox final : public ZipFilePrompt {
 public:
  explicit ZipPromptBox(QWidget* parent) : parent_(parent) {}
  ZipPromptAnswer Ask(const QString& text, const EZipWriterError& error, bool retryOffered) override;

 private:
  QWidget* parent_;
};
