#include "app/run_summary_dialog.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "base/native_name.h"
#include "engine/settings.h"

namespace {

struct Outcome {
  RecordStatus status;
  const char16_t* word;   // in the table
  const char16_t* count;  // in the counts line
};

// In the order the table lists them: invalid books first, as the ones a person looks into.
constexpr Outcome kOutcomes[] = {
    {RecordStatus::Invalid, u"невалидная", u"Невалидных"}, {RecordStatus::Kept, u"оставлена", u"Оставлено"},
    {RecordStatus::Missing, u"пропала", u"Пропало"},       {RecordStatus::Repeat, u"дубль", u"Дублей"},
    {RecordStatus::Moved, u"перемещена", u"Перемещено"},   {RecordStatus::Moving, u"прервана", u"Прервано"},
};

int Rank(const QString& status) {
  for (int i = 0; i < static_cast<int>(std::size(kOutcomes)); ++i) {
    if (status == StatusWord(kOutcomes[i].status)) return i;
  }
  return static_cast<int>(std::size(kOutcomes));
}

QString Word(const QString& status) {
  const int rank = Rank(status);
  return rank < static_cast<int>(std::size(kOutcomes)) ? QString::fromUtf16(kOutcomes[rank].word) : status;
}

QString Name(const QByteArray& path) { return DisplayName(NameFromNative(path)); }

// A table cell that sorts by a key of its own (the outcome's rank), and shows its text.
class RankedItem : public QTableWidgetItem {
 public:
  RankedItem(const QString& text, int rank) : QTableWidgetItem(text) { setData(Qt::UserRole, rank); }
  bool operator<(const QTableWidgetItem& other) const override {
    return data(Qt::UserRole).toInt() < other.data(Qt::UserRole).toInt();
  }
};

}  // namespace

RunSummaryDialog::RunSummaryDialog(const RunRecord& record, QWidget* parent)
    : QDialog(parent), record_(record) {
  setWindowTitle(QStringLiteral("Итоги сортировки"));
  setModal(false);
  resize(900, 520);

  lblCounts = new QLabel(this);
  lblCounts->setWordWrap(true);
  tblBooks = new QTableWidget(0, 4, this);
  tblBooks->setHorizontalHeaderLabels(
      {QStringLiteral("Итог"), QStringLiteral("Файл"), QStringLiteral("Куда"), QStringLiteral("Причина")});
  tblBooks->horizontalHeader()->setStretchLastSection(true);
  tblBooks->verticalHeader()->setVisible(false);
  tblBooks->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tblBooks->setSelectionBehavior(QAbstractItemView::SelectRows);
  tblBooks->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tblBooks->setWordWrap(false);
  auto* copy = new QAction(QStringLiteral("Копировать"), tblBooks);
  copy->setShortcut(QKeySequence::Copy);
  copy->setShortcutContext(Qt::WidgetShortcut);
  tblBooks->addAction(copy);
  tblBooks->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(copy, &QAction::triggered, this, &RunSummaryDialog::CopySelection);

  btnOpenInvalid = new QPushButton(QStringLiteral("Открыть папку невалидных"), this);
  btnUndo = new QPushButton(QStringLiteral("Отменить сортировку"), this);
  btnClose = new QPushButton(QStringLiteral("Закрыть"), this);
  connect(btnOpenInvalid, &QPushButton::clicked, this, &RunSummaryDialog::btnOpenInvalidClick);
  connect(btnUndo, &QPushButton::clicked, this, &RunSummaryDialog::btnUndoClick);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnOpenInvalid);
  buttons->addWidget(btnUndo);
  buttons->addStretch();
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblCounts);
  layout->addWidget(tblBooks);
  layout->addLayout(buttons);

  // Where the invalid books went: the folder of one of them, else the folder as typed.
  for (const RecordedBook& book : record_.books) {
    if (book.status == RecordStatus::Invalid && !book.target.isEmpty()) {
      invalidFolder_ = QFileInfo(Name(book.target)).path();
      break;
    }
  }
  if (invalidFolder_.isEmpty()) {
    for (const QString& value : record_.OptionValues(SettingNamed("BadFileDir"))) {
      if (!value.isEmpty()) invalidFolder_ = QDir(Name(record_.folder)).absoluteFilePath(value);
    }
  }
  btnOpenInvalid->setEnabled(!invalidFolder_.isEmpty());
  ShowRun();
}

void RunSummaryDialog::ShowRun() {
  QList<QStringList> rows;
  QMap<RecordStatus, int> counts;
  for (const RecordedBook& book : record_.books) {
    ++counts[book.status];
    rows.append({StatusWord(book.status), Name(book.source), Name(book.target), book.reason});
  }
  QStringList parts;
  for (const Outcome& outcome : kOutcomes) {
    const int count = counts.value(outcome.status);
    // The five outcomes of a run are always named; the rare ones only when they happened.
    if (count > 0 || Rank(StatusWord(outcome.status)) < 5)
      parts << QStringLiteral("%1: %2").arg(QString::fromUtf16(outcome.count)).arg(count);
  }
  lblCounts->setText(
      QStringLiteral("Папка %1. %2.").arg(Name(record_.folder), parts.join(QStringLiteral(", "))));
  FillTable(rows);
}

void RunSummaryDialog::ShowUndo(const QList<UndoOutcome>& outcomes) {
  QList<QStringList> rows;
  int restored = 0;
  for (const UndoOutcome& outcome : outcomes) {
    restored += outcome.restored ? 1 : 0;
    rows.append({UndoWord(outcome.restored), Name(outcome.source), Name(outcome.target), outcome.reason});
  }
  lblCounts->setText(QStringLiteral("Сортировка отменена. Возвращено на место: %1, оставлено: %2.")
                         .arg(restored)
                         .arg(outcomes.size() - restored));
  FillTable(rows);
}

void RunSummaryDialog::FillTable(const QList<QStringList>& rows) {
  tblBooks->setSortingEnabled(false);
  tblBooks->setRowCount(static_cast<int>(rows.size()));
  for (int row = 0; row < rows.size(); ++row) {
    const QStringList& cells = rows[row];
    const QString& status = cells[0];
    QString word = Word(status);
    int rank = Rank(status);
    if (status == UndoWord(true)) word = QStringLiteral("возвращена"), rank = 1;
    if (status == StatusWord(RecordStatus::Kept)) rank = 0;  // after an undo: what stayed comes first
    tblBooks->setItem(row, 0, new RankedItem(word, rank));
    for (int column = 1; column < 4; ++column)
      tblBooks->setItem(row, column, new QTableWidgetItem(cells[column]));
  }
  tblBooks->setSortingEnabled(true);
  tblBooks->sortItems(0, Qt::AscendingOrder);
  tblBooks->resizeColumnsToContents();
}

void RunSummaryDialog::btnOpenInvalidClick() {
  if (!invalidFolder_.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(invalidFolder_));
}

void RunSummaryDialog::btnUndoClick() {
  QMessageBox box(
      QMessageBox::Question, QStringLiteral("Отменить сортировку"),
      QStringLiteral("Вернуть книги этого прогона на прежние места? Книга, которая "
                     "изменилась с тех пор или чьё прежнее имя уже занято, останется там, где она есть."),
      QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  if (box.exec() != QMessageBox::Yes) return;

  class Collect : public UndoHost {
   public:
    void BookUndone(const UndoOutcome& outcome) override { outcomes.append(outcome); }
    QList<UndoOutcome> outcomes;
  } collect;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  UndoRun(record_, &collect);
  QApplication::restoreOverrideCursor();
  btnUndo->setEnabled(false);
  ShowUndo(collect.outcomes);
  emit RunUndone();
}

void RunSummaryDialog::CopySelection() {
  QList<int> selected;
  for (const QModelIndex& index : tblBooks->selectionModel()->selectedRows()) selected << index.row();
  std::sort(selected.begin(), selected.end());
  QStringList lines;
  for (const int row : selected) {
    QStringList cells;
    for (int column = 0; column < tblBooks->columnCount(); ++column) {
      const QTableWidgetItem* item = tblBooks->item(row, column);
      cells << (item ? item->text() : QString());
    }
    lines << cells.join(u'\t');
  }
  if (!lines.isEmpty()) QApplication::clipboard()->setText(lines.join(u'\n') + u'\n');
}
