#pragma once

#include "dialogs/template_dialog.h"

// The file-name template editor: word buttons put the template words at the caret.
class TfrmName : public TemplateDialog {
  Q_OBJECT

 public:
  explicit TfrmName(QWidget* parent = nullptr);

  // Replaces the selection of edtNName by the word of tag (0 to 5), or inserts it at the caret.
  // Another tag does nothing.
  void SetNewName(int tag);
  // Empties edtNName.
  void edtNNameRightButtonClick();

  QLineEdit* edtNName = nullptr;
  QPushButton* btnLast = nullptr;
  QPushButton* btnFirst = nullptr;
  QPushButton* btnMiddle = nullptr;
  QPushButton* btnTitle = nullptr;
  QPushButton* btnSeries = nullptr;
  QPushButton* btnSeqNum = nullptr;

 protected:
  void WordClicked(int tag) override { SetNewName(tag); }
  void showEvent(QShowEvent* event) override;
};
