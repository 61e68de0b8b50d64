#include "dialogs/frm_sort.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <iterator>

#include "engine/templates.h"

TfrmSort::TfrmSort(QWidget* parent) : TemplateDialog(QStringLiteral("Шаблон сортировки"), 421, 135, parent) {
  edtSDir = edit_;
  edtSDir->setObjectName(QStringLiteral("edtSDir"));
  btnAuthor = AddWordButton(QStringLiteral("Автор"), 0);
  btnAlphabet = AddWordButton(QStringLiteral("Алфавит"), 1);
  btnGenre = AddWordButton(QStringLiteral("Жанр"), 2);
  btnSeries = AddWordButton(QStringLiteral("Серия"), 3);
  btnLang = AddWordButton(QStringLiteral("Язык"), 4);
  connect(clear_, &QAction::triggered, this, [this] { edtSDirRightButtonClick(); });
}

void TfrmSort::SetSort(int tag) {
  // The button tags index the folder words that template expansion recognises.
  if (tag < 0 || tag >= static_cast<int>(std::size(kSortWords))) return;
  const QString word = kSortWords[tag].word.toString();
  // The caret plays no part: each word is a new folder level at the end.
  const QString text = edtSDir->text();
  edtSDir->setText(text.isEmpty() ? word : text + u'\\' + word);
}

void TfrmSort::edtSDirRightButtonClick() { edtSDir->clear(); }

void TfrmSort::showEvent(QShowEvent* event) {
  TemplateDialog::showEvent(event);
  edtSDir->setFocus(Qt::OtherFocusReason);
}
