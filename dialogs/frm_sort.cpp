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
  SetHelp(QStringLiteral(
      "Каждое слово между \\ — уровень папок. Пустое поле не оставляет следов: слово без значения "
      "уходит вместе с текстом, который связывает его с соседями, а пробелы и тире по краям имени "
      "папки убираются.\n"
      "Уровень, все слова которого пусты, становится папкой для таких книг, по первому слову уровня: "
      "«Без автора» (Автор, Алфавит), «Без жанра», «Без серии», «Без языка» (в транслите, если он "
      "включён для папок). Книга без автора при шаблоне «Алфавит\\Автор» попадает в одну папку "
      "«Без автора»."));
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
