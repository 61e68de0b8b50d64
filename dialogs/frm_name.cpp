#include "dialogs/frm_name.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <iterator>

#include "engine/templates.h"

TfrmName::TfrmName(QWidget* parent) : TemplateDialog(QStringLiteral("Шаблон имени файла"), 502, 122, parent) {
  edtNName = edit_;
  edtNName->setObjectName(QStringLiteral("edtNName"));
  btnLast = AddWordButton(QStringLiteral("Фамилия"), 0);
  btnFirst = AddWordButton(QStringLiteral("Имя"), 1);
  btnMiddle = AddWordButton(QStringLiteral("Отчество"), 2);
  btnTitle = AddWordButton(QStringLiteral("Название"), 3);
  btnSeries = AddWordButton(QStringLiteral("Серия"), 4);
  btnSeqNum = AddWordButton(QStringLiteral("№ в серии"), 5);
  connect(clear_, &QAction::triggered, this, [this] { edtNNameRightButtonClick(); });
  SetHelp(QStringLiteral(
      "Пустое поле не оставляет следов: слово без значения уходит вместе с текстом, который связывает "
      "его с соседями. Текст перед первым словом и после последнего принадлежит этому слову; между "
      "двумя заполненными словами остаётся только текст перед вторым из них. Группа в скобках (), [], "
      "{}, «» со словами внутри исчезает целиком, если все её слова пусты.\n"
      "Пробелы, тире, запятые, двоеточия и точки с запятой по краям имени убираются. Если имя "
      "получается пустым или из одних знаков, книга сохраняет своё имя файла. Пустой уровень папки "
      "(\\ или /) пропускается.\n"
      "Пример: «Фамилия Имя - Название» без автора даёт «Название»."));
}

void TfrmName::SetNewName(int tag) {
  // The button tags index the words that template expansion recognises.
  if (tag < 0 || tag >= static_cast<int>(std::size(kFileNameWords))) return;
  // insert() replaces the selection when there is one.
  edtNName->insert(kFileNameWords[tag].word.toString());
}

void TfrmName::edtNNameRightButtonClick() { edtNName->clear(); }

void TfrmName::showEvent(QShowEvent* event) {
  TemplateDialog::showEvent(event);
  btnLast->setFocus(Qt::OtherFocusReason);
}
