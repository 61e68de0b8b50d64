#pragma once

#include <QListWidget>
#include <QString>
#include <QStringList>

// The file list: the .fb2 files of one folder as the run takes them (bare names, locale order,
// hidden files left out). Reading the folder makes it the process's current directory, so that a
// bare name opens that folder's file.
class BookFileList : public QListWidget {
  Q_OBJECT

 public:
  explicit BookFileList(QWidget* parent = nullptr);

  // The listed folder, as the system reports the current directory.
  const QString& Folder() const { return folder_; }
  // Points the list at folder and reads it, unless it is the listed folder already. A folder that
  // cannot be entered leaves the list on its previous folder, which is read again.
  void SetFolder(const QString& folder);
  // Makes the listed folder the current directory and lists its files again, after finishing what
  // killed runs left half done.
  void ReadFolder();
  // The items, first to last.
  QStringList Items() const;
  // Lists .fb2.zip books too; the list is read again when this changes.
  void SetZippedBooks(bool on);

 private:
  QString folder_;
  bool zippedBooks_ = false;
};
