#pragma once

#include <QDialog>

#include "engine/run_record.h"
#include "engine/undo.h"

class QLabel;
class QPushButton;
class QTableWidget;

// What a run did, shown after it: the counts per outcome, every book with its outcome and reason
// (invalid ones first; the table sorts by any column and copies its selected rows), a button that
// opens the folder of invalid books, one that undoes the run after a confirmation, and a close
// button. After an undo it shows the undo's outcome the same way. Not modal: the window stays
// usable while it is open.
class RunSummaryDialog : public QDialog {
  Q_OBJECT

 public:
  explicit RunSummaryDialog(const RunRecord& record, QWidget* parent = nullptr);

  QLabel* lblCounts;
  QTableWidget* tblBooks;
  QPushButton* btnOpenInvalid;
  QPushButton* btnUndo;
  QPushButton* btnClose;

  // The folder the invalid books went to; empty when the run sent none there and names none.
  QString InvalidFolder() const { return invalidFolder_; }

 public slots:
  void btnOpenInvalidClick();
  // Asks, then undoes the run and shows what the undo did.
  void btnUndoClick();
  // Copies the selected rows as tab-separated lines.
  void CopySelection();

 signals:
  // After an undo: the window lists its folder anew.
  void RunUndone();

 private:
  void ShowRun();
  void ShowUndo(const QList<UndoOutcome>& outcomes);
  void FillTable(const QList<QStringList>& rows);

  RunRecord record_;
  QString invalidFolder_;
};
