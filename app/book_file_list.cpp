#include "app/book_file_list.h"

#include <QApplication>
#include <QDir>
#include <QStyle>
#include <QStyledItemDelegate>

#include "base/native_name.h"
#include "engine/file_list.h"
#include "engine/run.h"

namespace {

constexpr int kItemHeight = 18;
// The name as the system has it, where the text shown differs.
constexpr int kNameRole = Qt::UserRole;
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

BookFileList::BookFileList(QWidget* parent) : QListWidget(parent), folder_(CurrentDirectory()) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
  setIconSize(QSize(16, 16));
  setItemDelegate(new BookItemDelegate(style()->standardIcon(QStyle::SP_FileIcon), this));
}

void BookFileList::SetFolder(const QString& folder) {
  // Exact comparison: names differing only in case are different folders here.
  if (QDir::cleanPath(folder) == folder_) return;
  if (SetCurrentDirectory(folder)) folder_ = CurrentDirectory();
  ReadFolder();
}

void BookFileList::ReadFolder() {
  (void)SetCurrentDirectory(folder_);
  DiskFiles disk;
  const QStringList names = ListBooksToRun(folder_, disk, zippedBooks_);
  const bool busy = names.size() >= kBusyCursorItems;
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  clear();
  // A name that is not UTF-8 or holds a line break is shown readably, on one line; the item keeps
  // the name's own bytes for the run.
  addItems(names);
  for (int i = 0; i < names.size(); ++i) {
    const QString shown = DisplayName(names.at(i));
    if (shown == names.at(i)) continue;
    item(i)->setText(shown);
    item(i)->setData(kNameRole, names.at(i));
  }
  if (busy) QApplication::restoreOverrideCursor();
}

void BookFileList::SetZippedBooks(bool on) {
  if (on == zippedBooks_) return;
  zippedBooks_ = on;
  ReadFolder();
}

QStringList BookFileList::Items() const {
  QStringList result;
  result.reserve(count());
  for (int i = 0; i < count(); ++i) {
    const QVariant name = item(i)->data(kNameRole);
    result << (name.isValid() ? name.toString() : item(i)->text());
  }
  return result;
}
