// The template editors and the window's handler that opens them.

#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include "app/frm_main.h"
#include "dialogs/frm_name.h"
#include "dialogs/frm_sort.h"
#include "window_test_support.h"

namespace {

// Catches words put at the wrong place, a selection not replaced, or a clear button that does not
// clear.
TEST(NameDialog, ButtonsPutTheirWordAtTheCaretOrOverTheSelection) {
  TfrmName dialog;
  dialog.SetTemplate(QStringLiteral("Фамилия Имя"));
  dialog.btnTitle->click();  // the caret starts at the beginning
  EXPECT_EQ(dialog.edtNName->text(), QStringLiteral("НазваниеФамилия Имя"));

  dialog.edtNName->selectAll();
  dialog.btnSeqNum->click();
  EXPECT_EQ(dialog.edtNName->text(), QStringLiteral("Номер"));

  const struct {
    QPushButton* button;
    const char16_t* caption;
    const char16_t* word;
  } words[] = {{dialog.btnLast, u"Фамилия", u"Фамилия"},     {dialog.btnFirst, u"Имя", u"Имя"},
               {dialog.btnMiddle, u"Отчество", u"Отчество"}, {dialog.btnTitle, u"Название", u"Название"},
               {dialog.btnSeries, u"Серия", u"Серия"},       {dialog.btnSeqNum, u"№ в серии", u"Номер"}};
  for (const auto& w : words) {
    SCOPED_TRACE(QString::fromUtf16(w.caption).toStdString());
    EXPECT_EQ(w.button->text(), QString::fromUtf16(w.caption));
    dialog.edtNName->clear();
    w.button->click();
    EXPECT_EQ(dialog.edtNName->text(), QString::fromUtf16(w.word));
  }

  dialog.edtNNameRightButtonClick();
  EXPECT_EQ(dialog.edtNName->text(), QString());
}

// Catches Enter in the field pressing a word button or closing the dialog.
TEST(NameDialog, EnterInTheFieldPressesNoButton) {
  TfrmName dialog;
  dialog.show();
  dialog.SetTemplate(QStringLiteral("abc"));
  dialog.edtNName->setFocus();
  QTest::keyClick(dialog.edtNName, Qt::Key_Return);
  EXPECT_EQ(dialog.edtNName->text(), QStringLiteral("abc"));
  EXPECT_TRUE(dialog.isVisible());
}

// Catches a missing or extra "\" between folder words, or words inserted at the caret.
TEST(SortDialog, ButtonsAppendFolderWordsAtTheEnd) {
  TfrmSort dialog;
  dialog.btnAuthor->click();
  dialog.btnAlphabet->click();
  dialog.edtSDir->setCursorPosition(0);
  dialog.btnGenre->click();
  EXPECT_EQ(dialog.edtSDir->text(), QStringLiteral("Автор\\Алфавит\\Жанр"));

  dialog.SetTemplate(QStringLiteral("Серия\\"));
  dialog.btnLang->click();
  EXPECT_EQ(dialog.edtSDir->text(), QStringLiteral("Серия\\\\Язык"));
  dialog.btnSeries->click();
  EXPECT_EQ(dialog.edtSDir->text(), QStringLiteral("Серия\\\\Язык\\Серия"));

  dialog.edtSDirRightButtonClick();
  EXPECT_EQ(dialog.edtSDir->text(), QString());
}

// Catches OK not copying back, cancel copying back, or a dialog reused with the text of a cancelled
// opening.
// The rule for empty values is the dialogs' to tell: a user who never reads the README still has
// to learn where a book without an author goes.
TEST(TemplateDialogs, TheFieldTellsWhatAnEmptyValueDoes) {
  TfrmName name;
  TfrmSort sort;
  EXPECT_TRUE(name.edtNName->toolTip().contains(QStringLiteral("имя файла")));
  EXPECT_TRUE(sort.edtSDir->toolTip().contains(QStringLiteral("«Без автора»")));
  EXPECT_EQ(sort.edtSDir->whatsThis(), sort.edtSDir->toolTip());
}

TEST(PatternForm, OkCopiesTheTemplateBackAndCancelLeavesTheFieldAlone) {
  TempApp app;
  TfrmMain window(app.Path());
  window.btnedSort->setText(QStringLiteral("Алфавит\\Автор"));

  enum class Step { ClearAndOk, AddAndCancel, CheckAndCancel } step = Step::ClearAndOk;
  QString openedWith;
  ModalResponder responder({}, [&](QWidget* modal) {
    auto* dialog = qobject_cast<TemplateDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    openedWith = dialog->Template();
    if (auto* sort = qobject_cast<TfrmSort*>(modal)) {
      if (step == Step::ClearAndOk) {
        sort->edtSDirRightButtonClick();
        sort->btnOK->click();
        return;
      }
      sort->btnGenre->click();
    }
    dialog->btnCancel->click();
  });

  window.ShowPatternForm(1);
  EXPECT_EQ(openedWith, QStringLiteral("Алфавит\\Автор"));
  EXPECT_EQ(window.btnedSort->text(), QString());

  step = Step::AddAndCancel;
  window.ShowPatternForm(1);
  EXPECT_EQ(window.btnedSort->text(), QString());
  step = Step::CheckAndCancel;
  window.ShowPatternForm(1);
  EXPECT_EQ(openedWith, QString());  // nothing of the cancelled opening survives

  window.btnedNewName->setText(QStringLiteral("Имя"));
  window.ShowPatternForm(0);
  EXPECT_EQ(openedWith, QStringLiteral("Имя"));
  window.ShowPatternForm(7);  // no dialog for another tag
  EXPECT_EQ(responder.others, 4);
}

}  // namespace
