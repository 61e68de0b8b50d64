// The summary shown after a run in the window, and the undo started from it.

#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>

#include "app/book_file_list.h"
#include "app/folder_tree.h"
#include "app/frm_main.h"
#include "app/run_summary_dialog.h"
#include "window_test_support.h"

namespace {

struct SummaryFixture {
  TempApp app;
  QTemporaryDir books;
  QString folder = QDir(books.path()).canonicalPath();

  void Write(const QString& name, const QByteArray& content) {
    TempApp::WriteFile(books.filePath(name), content);
  }
  QByteArray Read(const QString& name) const {
    QFile file(books.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
  }

  void Prepare(TfrmMain& window) {
    window.chkRename->setChecked(true);
    window.chkSort->setChecked(true);
    window.chkArchive->setChecked(true);
    window.PControl->setCurrentIndex(0);
    ASSERT_TRUE(window.DirectoryTree->SelectFolder(folder));
  }
};

QStringList Column(const QTableWidget& table, int column) {
  QStringList cells;
  for (int row = 0; row < table.rowCount(); ++row) cells << table.item(row, column)->text();
  return cells;
}

// Catches a run that leaves the user without a word on what happened, and an undo from the window
// that does not give the folder back.
TEST(RunSummary, ShowsEveryBookInvalidFirstAndUndoesTheRun) {
  SummaryFixture f;
  const QByteArray war = ValidBook();
  const QByteArray broken = "<FictionBook>";
  f.Write("a.fb2", war);
  f.Write("b.fb2", war);  // the same destination: a repeat
  f.Write("z.fb2", broken);
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  window.btnStart->click();

  RunSummaryDialog* summary = window.RunSummary();
  ASSERT_NE(summary, nullptr);
  EXPECT_TRUE(summary->isVisible());
  EXPECT_FALSE(summary->isModal());
  EXPECT_EQ(summary->windowTitle(), QStringLiteral("Итоги сортировки"));
  const QString counts = summary->lblCounts->text();
  for (const char* part : {"Невалидных: 1", "Оставлено: 0", "Пропало: 0", "Дублей: 1", "Перемещено: 1"})
    EXPECT_TRUE(counts.contains(QString::fromUtf8(part))) << counts.toStdString();
  EXPECT_EQ(Column(*summary->tblBooks, 0), (QStringList{QStringLiteral("невалидная"), QStringLiteral("дубль"),
                                                        QStringLiteral("перемещена")}));
  EXPECT_TRUE(summary->tblBooks->item(0, 1)->text().endsWith("/z.fb2"));
  EXPECT_FALSE(summary->tblBooks->item(0, 3)->text().isEmpty());  // the validator's reason
  EXPECT_TRUE(summary->tblBooks->item(2, 2)->text().endsWith(".fb2.zip"));
  EXPECT_EQ(summary->InvalidFolder(), QDir(window.TmpPath() + "bad").absolutePath());
  EXPECT_TRUE(summary->tblBooks->isSortingEnabled());

  summary->tblBooks->selectRow(0);
  summary->CopySelection();
  EXPECT_TRUE(
      QApplication::clipboard()->text().startsWith(QStringLiteral("невалидная\t") + f.folder + "/z.fb2\t"))
      << QApplication::clipboard()->text().toStdString();

  {
    // "No" leaves everything where the run put it.
    ModalResponder responder({QMessageBox::No});
    summary->btnUndo->click();
    ASSERT_EQ(responder.boxes.size(), 1);
    EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Отменить сортировку"));
  }
  EXPECT_EQ(f.Read("a.fb2"), "<missing>");
  EXPECT_TRUE(summary->btnUndo->isEnabled());

  {
    ModalResponder responder({QMessageBox::Yes});
    summary->btnUndo->click();
  }
  EXPECT_EQ(f.Read("a.fb2"), war);
  EXPECT_EQ(f.Read("b.fb2"), war);
  EXPECT_EQ(f.Read("z.fb2"), broken);
  EXPECT_TRUE(QDir(window.TmpPath() + "end").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
  EXPECT_FALSE(summary->btnUndo->isEnabled());
  EXPECT_TRUE(summary->lblCounts->text().contains(QStringLiteral("Возвращено на место: 3, оставлено: 0")))
      << summary->lblCounts->text().toStdString();
  EXPECT_EQ(Column(*summary->tblBooks, 0), QStringList(3, QStringLiteral("возвращена")));
  EXPECT_EQ(window.FileListBox->count(), 3);  // the list shows the books again

  summary->btnClose->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(window.RunSummary(), nullptr);
}

// Each outcome of a run reaches the record under its own word and the dialog's count under its own
// name: a book another program took before its move is counted as missing, not as kept.
TEST(RunSummary, CountsEachOutcomeOfTheRecord) {
  QTemporaryDir state;
  qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
  struct Host : RunHost {
    QString Text(TextOption) override { return {}; }
    bool Checked(CheckOption) override { return false; }
    void SetStatus(const QString&) override {}
    void SetProgressMax(int) override {}
    void SetProgress(int) override {}
    void PumpMessages() override {}
    bool CancelRequested() override { return false; }
  } host;
  QString path;
  {
    RecordingHost recording(host, state.path(), QStringLiteral("shelvio"));
    int n = 0;
    for (const BookStatus status : {BookStatus::Moved, BookStatus::Invalid, BookStatus::Repeat,
                                    BookStatus::Kept, BookStatus::Missing}) {
      BookOutcome outcome;
      outcome.status = status;
      outcome.source = state.filePath(QStringLiteral("%1.fb2").arg(++n));
      outcome.target = state.filePath(QStringLiteral("end/%1.fb2").arg(n));
      recording.BookDone(outcome);
    }
    recording.Finish(QStringLiteral("done"));
    path = recording.Path();
  }
  qunsetenv("XDG_STATE_HOME");
  RunRecord record;
  ASSERT_TRUE(ReadRunRecord(path, &record, nullptr));
  RunSummaryDialog summary(record);
  const QString counts = summary.lblCounts->text();
  for (const char* part : {"Перемещено: 1", "Невалидных: 1", "Дублей: 1", "Оставлено: 1", "Пропало: 1"})
    EXPECT_TRUE(counts.contains(QString::fromUtf8(part))) << counts.toStdString();
  EXPECT_TRUE(Column(*summary.tblBooks, 0).contains(QStringLiteral("пропала")));
}

TEST(RunSummary, ARunOfNoBooksShowsNone) {
  SummaryFixture f;
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  window.btnStart->click();
  EXPECT_EQ(window.RunSummary(), nullptr);
}

}  // namespace
