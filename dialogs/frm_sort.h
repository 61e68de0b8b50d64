#pragma once

#include "dialogs/template_dialog.h"

// The sort template editor: word buttons append folder words, one level each.
class TfrmSort : public TemplateDialog {
  Q_OBJECT

 public:
  explicit TfrmSort(QWidget* parent = nullptr);

  // Appends the word of tag (0 to 4) to edtSDir, after a "\" unless the field is empty. Another tag
  // does nothing.
  void SetSort(int tag);
  // Empties edtSDir.
  void edtSDirRightButtonClick();

  QLineEdit* edtSDir = nullptr;
  QPushButton* btnAuthor = nullptr;
  QPushButton* btnAlphabet = nullptr;
  QPushButton* btnGenre = nullptr;
  QPushButton* btnSeries = nullptr;
  QPushButton* btnLang = nullptr;

 protected:
  void WordClicked(int tag) override { SetSort(tag); }
  void showEvent(QShowEvent* event) override;
};
