#include "dialogs/frm_name.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <array>

namespace {

// The words that template expansion recognises, by button tag.
const std::array<const char16_t*, 6> kNameWords = {u"Фамилия", u"Имя",   u"Отчество",
                                                   u"Название", u"Серия", u"Номер"};

}  // namespace

TfrmName::TfrmName(QWidget* parent)
    : TemplateDialog(QStringLiteral("Шаблон имени файла"), 502, 122, parent) {
  edtNName = edit_;
  edtNName->setObjectName(QStringLiteral("edtNName"));
  btnLast = AddWordButton(QStringLiteral("Фамилия"), 0);
  btnFirst = AddWordButton(QStringLiteral("Имя"), 1);
  btnMiddle = AddWordButton(QStringLiteral("Отчество"), 2);
  btnTitle = AddWordButton(QStringLiteral("Название"), 3);
  btnSeries = AddWordButton(QStringLiteral("Серия"), 4);
  btnSeqNum = AddWordButton(QStringLiteral("№ в серии"), 5);
  connect(clear_, &QAction::triggered, this, [this] { edtNNameRightButtonClick(); });
}

void TfrmName::SetNewName(int tag) {
  if (tag < 0 || tag >= static_cast<int>(kNameWords.size())) return;
  // insert() replaces the selection when there is one.
  edtNName->insert(QString::fromUtf16(kNameWords[static_cast<size_t>(tag)]));
}

void TfrmName::edtNNameRightButtonClick() { edtNName->clear(); }

void TfrmName::showEvent(QShowEvent* event) {
  TemplateDialog::showEvent(event);
  btnLast->setFocus(Qt::OtherFocusReason);
}
