#include "app/select_dir_dialog.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "app/folder_tree.h"
#include "dialogs/theme.h"

SelectDirDialog::SelectDirDialog(QWidget* parent) : QDialog(parent) {
  ApplyTheme(this);
  auto* caption = new QLabel(QStringLiteral("Выбранная папка"), this);
  lblPath = new QLabel(this);
  lblPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
  tree = new FolderTree(this);
  tree->setHeaderHidden(false);
  tree->setHeaderLabel(QStringLiteral("Папки"));
  btnOK = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
  btnCancel =
      new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Отмена"), this);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption);
  layout->addWidget(lblPath);
  layout->addWidget(tree, 1);
  layout->addLayout(buttons);
  resize(360, 420);

  connect(tree, &FolderTree::FolderChanged, lblPath, &QLabel::setText);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool SelectDirDialog::Execute(QString* folder) {
  if (lastConfirmed_.isEmpty() || !QDir(lastConfirmed_).exists() || !tree->SelectFolder(lastConfirmed_))
    tree->SelectStartFolder();
  lblPath->setText(tree->CurrentFolder());
  if (exec() != QDialog::Accepted || tree->CurrentFolder().isEmpty()) return false;
  lastConfirmed_ = tree->CurrentFolder();
  *folder = lastConfirmed_;
  return true;
}
