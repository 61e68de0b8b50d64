// Faults of the disk during a run: full, read-only, missing, elsewhere, or raced for. Each ends with
// the inventory: every book exactly once, with its original bytes.

#include "engine/run.h"
#include "engine/file_ops.h"
#include "reliability_support.h"
#include "validation/xsd_validator.h"

#include <QRandomGenerator>

#include <unistd.h>

namespace {

using reliability::Area;
using reliability::Book;
using reliability::OutcomeLine;
using reliability::ParseOutcomes;
using reliability::ProcessResult;
using reliability::TmpfsMount;

// A valid book of about `size` bytes of text that deflate can hardly shrink.
QByteArray BigBook(int index, qsizetype size) {
  QRandomGenerator random(static_cast<quint32>(7000 + index));
  QByteArray noise(size * 3 / 4, Qt::Uninitialized);
  for (char& c : noise) c = static_cast<char>(random.bounded(256));
  QByteArray book = Book("Толстой", "Лев", QStringLiteral("Том %1").arg(index), QString::number(index));
  return book.replace("<p>", "<p>" + noise.toBase64() + " ");
}

#define REQUIRE_MOUNT(m) \
  if (!(m).Mounted()) GTEST_SKIP() << "mounting a tmpfs is refused here"

QStringList Statuses(const QList<OutcomeLine>& lines) {
  QStringList statuses;
  for (const OutcomeLine& line : lines) statuses << line.status;
  return statuses;
}

// The processed folder fills up in the middle of a copy across file systems: that book and the
// ones after it stay in the source folder with the system's reason; no partial copy is left.
TEST(RunFaults, DestinationFullMidCopyKeepsTheBooks) {
  Area area;
  TmpfsMount end(area.Path("end"), "size=256k");
  REQUIRE_MOUNT(end);
  for (int i = 0; i < 5; ++i) area.AddBook(QStringLiteral("%1.fb2").arg(i), BigBook(i, 90 * 1024));
  area.WriteSettings("Rename=0\nSort=0");
  const ProcessResult result = area.RunCli();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  const QList<OutcomeLine> lines = ParseOutcomes(result.out);
  EXPECT_EQ(Statuses(lines), (QStringList{"moved", "moved", "kept", "kept", "kept"}));
  for (const OutcomeLine& line : lines) {
    if (line.status == "kept") { EXPECT_EQ(line.reason, "No space left on device"); }
  }
  area.ExpectEveryBookOnce(area.Take());
}

// The processed folder fills up while a book's archive is written: the book stays unpacked at its
// destination, no empty or partial archive is left, and nothing that was packed before is lost.
TEST(RunFaults, DestinationFullMidArchiveKeepsTheBooks) {
  Area area;
  TmpfsMount end(area.Path("end"), "size=320k");
  REQUIRE_MOUNT(end);
  for (int i = 0; i < 6; ++i) area.AddBook(QStringLiteral("%1.fb2").arg(i), BigBook(i, 60 * 1024));
  area.WriteSettings("Rename=0\nSort=0\nArchive=1");
  for (const char* policy : {"abort", "ignore"}) {
    SCOPED_TRACE(policy);
    const ProcessResult result = area.RunCli({"--on-zip-error", policy});
    // A run may end with the writer's error when even the archive's directory does not fit.
    ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.err.toStdString();
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    int packed = 0, unpacked = 0;
    for (const QStringList& places : inventory.places) {
      (places.value(0).contains(".zip!") ? packed : unpacked)++;
    }
    EXPECT_GT(packed, 0);
    EXPECT_GT(unpacked, 0) << "the disk never filled";
    // The second round starts on a full disk with the books the first one kept.
  }
}

// The work folders are read-only: invalid books, repeats and processed books all stay where they
// were, with the system's reason, and the run goes through every book.
TEST(RunFaults, ReadOnlyWorkFoldersKeepTheBooks) {
  Area area;
  TmpfsMount bad(area.Path("bad"), "size=1m");
  TmpfsMount end(area.Path("end"), "size=1m");
  REQUIRE_MOUNT(bad);
  REQUIRE_MOUNT(end);
  area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
  area.AddBook("b.fb2", "<not-a-book/>");
  area.AddBook("c.fb2", Book("Петров", "Пётр", "Сад", "c"));
  area.WriteSettings("Rename=0\nSort=0");
  ASSERT_TRUE(bad.MakeReadOnly() && end.MakeReadOnly());
  const ProcessResult result = area.RunCli();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  const QList<OutcomeLine> lines = ParseOutcomes(result.out);
  EXPECT_EQ(Statuses(lines), (QStringList{"kept", "kept", "kept"}));
  for (const OutcomeLine& line : lines) EXPECT_EQ(line.reason, "Read-only file system");
  const reliability::Inventory inventory = area.Take();
  area.ExpectEveryBookOnce(inventory);
  for (const QStringList& places : inventory.places) EXPECT_TRUE(places.value(0).startsWith("books/"));
}

// Folders for invalid and repeated books that do not exist kept every book meant for them in the
// source folder; they are created at first use, as the processed folder always was.
TEST(RunFaults, MissingInvalidAndRepeatFoldersAreCreated) {
  Area area;
  const QByteArray twin = Book("Близнец", "Первый", "Один", "t");
  area.AddBook("a.fb2", "<not-a-book/>");
  area.AddBook("b.fb2", twin);
  area.Write("end/b.fb2", twin + " ");  // the destination is taken by another book
  area.WriteSettings("Rename=0\nSort=0\nBadFileDir={root}/gone/bad\nDoubleDir={root}/gone/double/");
  const ProcessResult result = area.RunCli();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  const QList<OutcomeLine> lines = ParseOutcomes(result.out);
  EXPECT_EQ(Statuses(lines), (QStringList{"invalid", "repeat"}));
  reliability::Inventory inventory = area.Take();
  EXPECT_EQ(inventory.strangers, QStringList{"end/b.fb2"});
  inventory.strangers.clear();
  area.ExpectEveryBookOnce(inventory);
  EXPECT_TRUE(QFileInfo::exists(area.Path("gone/bad/a.fb2")));
  EXPECT_TRUE(QFileInfo::exists(area.Path("gone/double/b.fb2")));
}

// The processed folder on another file system: every book is copied, flushed, published and only
// then removed; the copies keep their bytes and nothing temporary is left on either side.
TEST(RunFaults, DestinationOnAnotherFileSystem) {
  Area area;
  TmpfsMount end(area.Path("end"), "size=16m");
  REQUIRE_MOUNT(end);
  for (int i = 0; i < 20; ++i) area.AddBook(QStringLiteral("%1.fb2").arg(i), BigBook(i, 20 * 1024));
  for (const char* settings : {"Archive=0", "Archive=1"}) {
    SCOPED_TRACE(settings);
    area.WriteSettings(settings);
    const ProcessResult result = area.RunCli();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    for (const QStringList& places : inventory.places) {
      EXPECT_TRUE(places.value(0).startsWith("end/")) << places.value(0).toStdString();
      if (QByteArray(settings) == "Archive=1") { EXPECT_TRUE(places.value(0).contains(".zip!")); }
    }
    if (QByteArray(settings) == "Archive=0") {  // bring them back for the archived round
      QDirIterator it(area.Path("end"), QDir::Files, QDirIterator::Subdirectories);
      int n = 0;
      while (it.hasNext()) ASSERT_TRUE(QFile::rename(it.next(), area.Path(QStringLiteral("books/%1.fb2").arg(n++))));
    }
  }
}

// Another process takes the destination's name after the run saw it free and before the move:
// the other file is not replaced, and the book stays in the source folder.
class Intruder final : public BookFiles {
 public:
  bool EntryExists(const QString& path) override { return disk_.EntryExists(path); }
  bool SameFile(const QString& a, const QString& b) override { return disk_.SameFile(a, b); }
  int ForceDirectories(const QString& path) override { return disk_.ForceDirectories(path); }
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override {
    QFile other(to);
    if (other.open(QIODevice::WriteOnly | QIODevice::NewOnly)) other.write("another process's file");
    return disk_.MoveFile(from, to, error, moved);
  }

 private:
  DiskFiles disk_;
};

class SilentHost final : public RunHost {
 public:
  explicit SilentHost(const QString& root) : root_(root) {}
  QString Text(TextOption option) override {
    switch (option) {
      case TextOption::BadDir: return root_ + "/bad/";
      case TextOption::EndDir: return root_ + "/end/";
      case TextOption::DoubleDir: return root_ + "/double/";
      case TextOption::NewNamePattern: return QStringLiteral("Фамилия Имя - Название");
      case TextOption::SortPattern: return QStringLiteral("Алфавит\\Автор");
    }
    return {};
  }
  bool Checked(CheckOption option) override {
    return option == CheckOption::Rename || option == CheckOption::Sort || option == CheckOption::SortLast;
  }
  void SetStatus(const QString&) override {}
  void SetProgressMax(int) override {}
  void SetProgress(int) override {}
  void PumpMessages() override {}
  bool CancelRequested() override { return false; }
  void BookDone(const BookOutcome& outcome) override { outcomes.push_back(outcome); }
  std::vector<BookOutcome> outcomes;

 private:
  QString root_;
};

TEST(RunFaults, NameTakenBetweenTheTestAndTheMoveIsNotReplaced) {
  Area area;
  area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
  area.AddBook("b.fb2", "<not-a-book/>");
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(area.Path("books")));
  SilentHost host(area.Root());
  Intruder files;
  TXSDValidator validator;
  const QString appPath = area.Path("app/");
  QString schemaError;
  const bool loaded = StartRun(host, {"a.fb2", "b.fb2"}, validator, appPath, files, nullptr, &schemaError);
  QDir::setCurrent(previous);
  ASSERT_TRUE(loaded) << schemaError.toStdString();
  ASSERT_EQ(host.outcomes.size(), 2u);
  for (const BookOutcome& outcome : host.outcomes) {
    EXPECT_EQ(outcome.status, BookStatus::Kept);
    EXPECT_EQ(outcome.reason, "File exists");
    EXPECT_EQ(reliability::ReadAll(outcome.target), "another process's file");
  }
  reliability::Inventory inventory = area.Take();
  EXPECT_EQ(inventory.strangers.size(), 2) << inventory.strangers.join(u' ').toStdString();
  inventory.strangers.clear();
  area.ExpectEveryBookOnce(inventory);
}

}  // namespace
