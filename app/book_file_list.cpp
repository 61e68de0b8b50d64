#include "app/book_file_list.h"

#include "engine/file_list.h"
#include "engine/run.h"

#include <QApplication>
#include <QDir>
#include <QStyle>
#include <QStyledItemDelegate>

namespace {

constexpr int kItemHeight = 18;
// From this many items on, reading shows the busy cursor.
constexpr qsizetype kBusyCursorItems = 101;

// Every row shows the same icon at the same height: the delegate supplies both, so that a folder
// of 100,000 books goes into the list as plain names in one batch instead of item by item.
class BookItemDelegate : public QStyledItemDelegate {
 public:
  BookItemDelegate(const QIcon& icon, QObject* parent) : QStyledItemDelegate(parent), icon_(icon) {}

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->icon = icon_;
    option->decorationSize = QSize(16, 16);
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kItemHeight);
    return size;
  }

 private:
  QIcon icon_;
};

}  // namespace

BookFileList::BookFileList(QWidget* parent) : QListWidget(parent), folder_(QDir::currentPath()) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
  setIconSize(QSize(16, 16));
  setItemDelegate(new BookItemDelegate(style()->standardIcon(QStyle::SP_FileIcon), this));
}

void BookFileList::SetFolder(const QString& folder) {
  // Exact comparison: names differing only in case are different folders here.
  if (QDir::cleanPath(folder) == folder_) return;
  if (QDir::setCurrent(folder)) folder_ = QDir::currentPath();
  ReadFolder();
}

void BookFileList::ReadFolder() {
  (void)QDir::setCurrent(folder_);
  DiskFiles disk;
  const QStringList names = ListBooksToRun(folder_, disk);
  const bool busy = names.size() >= kBusyCursorItems;
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  clear();
  addItems(names);
  if (busy) QApplication::restoreOverrideCursor();
}

QStringList BookFileList::Items() const {
  QStringList result;
  result.reserve(count());
  for (int i = 0; i < count(); ++i) result << item(i)->text();
  return result;
}
