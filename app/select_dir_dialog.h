#pragma once

#include <QDialog>
#include <QString>

class FolderTree;
class QLabel;
class QPushButton;

// The work-folder picker: "Выбранная папка" over the selected path, the tree "Папки", "OK" and
// "Отмена". It starts on the folder last confirmed in it, or on the root of the volume holding
// the current directory. It never changes the current directory.
class SelectDirDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SelectDirDialog(QWidget* parent = nullptr);

  // Shows the dialog modally; true with the chosen folder in *folder when the user confirms.
  bool Execute(QString* folder);
  // The folder last confirmed; empty before the first.
  const QString& LastConfirmed() const { return lastConfirmed_; }

  FolderTree* tree = nullptr;
  QLabel* lblPath = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  QString lastConfirmed_;
};
