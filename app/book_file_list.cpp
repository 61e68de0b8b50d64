#include "app/book_file_list.h"

#include "engine/file_list.h"

#include <QApplication>
#include <QDir>
#include <QStyle>

namespace {

constexpr int kItemHeight = 18;
// From this many items on, reading shows the busy cursor.
constexpr qsizetype kBusyCursorItems = 101;

}  // namespace

BookFileList::BookFileList(QWidget* parent) : QListWidget(parent), folder_(QDir::currentPath()) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
  setIconSize(QSize(16, 16));
}

void BookFileList::SetFolder(const QString& folder) {
  // Exact comparison: names differing only in case are different folders here.
  if (QDir::cleanPath(folder) == folder_) return;
  if (QDir::setCurrent(folder)) folder_ = QDir::currentPath();
  ReadFolder();
}

void BookFileList::ReadFolder() {
  (void)QDir::setCurrent(folder_);
  const QStringList names = ListBookFiles(folder_);
  const bool busy = names.size() >= kBusyCursorItems;
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  clear();
  const QIcon icon = style()->standardIcon(QStyle::SP_FileIcon);
  for (const QString& name : names) {
    auto* item = new QListWidgetItem(icon, name, this);
    item->setSizeHint(QSize(0, kItemHeight));
  }
  if (busy) QApplication::restoreOverrideCursor();
}

QStringList BookFileList::Items() const {
  QStringList result;
  result.reserve(count());
  for (int i = 0; i < count(); ++i) result << item(i)->text();
  return result;
}
