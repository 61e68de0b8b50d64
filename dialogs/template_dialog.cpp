#include "dialogs/template_dialog.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "dialogs/theme.h"

namespace {

constexpr int kWordButtonWidth = 75;
constexpr int kWordButtonHeight = 27;
constexpr int kButtonStripHeight = 41;

// Buttons take the focus only by Tab: a click must leave the edit field's caret and selection
// where they are, and Enter in the field must not press a button.
void MakeQuiet(QPushButton* button) {
  button->setAutoDefault(false);
  button->setDefault(false);
  button->setFocusPolicy(Qt::TabFocus);
}

}  // namespace

TemplateDialog::TemplateDialog(const QString& caption, int width, int height, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(caption);
  ApplyTheme(this);
  setStyleSheet(GroovedStripRule(QStringLiteral("QFrame#pnTop")) + DisabledTextRule() +
                GroovedStripRule(QStringLiteral("QFrame#pnBottom")));

  auto* pnTop = new QFrame(this);
  pnTop->setObjectName(QStringLiteral("pnTop"));
  auto* topLayout = new QVBoxLayout(pnTop);
  edit_ = new QLineEdit(pnTop);
  clear_ = AddTrailingButton(edit_, style()->standardIcon(QStyle::SP_LineEditClearButton),
                             QStringLiteral("Очистить"));
  topLayout->addWidget(edit_);
  wordRow_ = new QHBoxLayout;
  wordRow_->setSpacing(6);
  topLayout->addLayout(wordRow_);

  auto* pnBottom = new QFrame(this);
  pnBottom->setObjectName(QStringLiteral("pnBottom"));
  pnBottom->setFixedHeight(kButtonStripHeight);
  auto* bottomLayout = new QHBoxLayout(pnBottom);
  bottomLayout->setContentsMargins(8, 4, 8, 4);
  btnOK = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), pnBottom);
  btnCancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Отмена"),
                              pnBottom);
  MakeQuiet(btnOK);
  MakeQuiet(btnCancel);
  bottomLayout->addWidget(btnOK);
  bottomLayout->addStretch();
  bottomLayout->addWidget(btnCancel);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnTop, 1);
  layout->addWidget(pnBottom);

  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  setFixedSize(width, height);
}

void TemplateDialog::SetTemplate(const QString& text) {
  edit_->setText(text);
  edit_->setCursorPosition(0);
}

QString TemplateDialog::Template() const { return edit_->text(); }

void TemplateDialog::SetHelp(const QString& help) {
  edit_->setToolTip(help);
  edit_->setWhatsThis(help);
}

QPushButton* TemplateDialog::AddWordButton(const QString& caption, int tag) {
  auto* button = new QPushButton(caption, this);
  button->setFixedSize(kWordButtonWidth, kWordButtonHeight);
  MakeQuiet(button);
  wordRow_->addWidget(button);
  connect(button, &QPushButton::clicked, this, [this, tag] { WordClicked(tag); });
  return button;
}
