// Faults of the disk during a run: full, read-only, missing, elsewhere, or raced for. Each ends with
// the inventory: every book exactly once, with its original bytes.

#include <fcntl.h>
#include <unistd.h>

#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "archive/zip_writer.h"
#include "engine/archive_step.h"
#include "engine/file_ops.h"
#include "engine/run.h"
#include "engine/zipped_books.h"
#include "reliability_support.h"
#include "validation/xsd_validator.h"

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
    if (line.status == "kept") {
      EXPECT_EQ(line.reason, "No space left on device");
    }
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

// A read-only file system on either side: the work folders (nothing can arrive), or the source
// folder with the work folders on another file system (each book is copied and published, and then
// its source cannot go: the copy must go instead, or the book would be twice). Invalid books,
// repeats and processed books all stay where they were, with the system's reason, and the run goes
// through every book.
TEST(RunFaults, ReadOnlyFileSystemsKeepTheBooks) {
  struct Case {
    const char* what;
    QStringList readOnly;  // the folders mounted read-only
    QStringList other;     // further folders on a file system of their own
  };
  const Case cases[] = {
      {"work folders read-only", {"bad", "end"}, {}},
      {"source read-only, work folders elsewhere", {"books"}, {"bad", "end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Area area;
    std::vector<std::unique_ptr<TmpfsMount>> mounts;
    for (const QString& folder : c.readOnly + c.other) {
      mounts.push_back(std::make_unique<TmpfsMount>(area.Path(folder), "size=1m"));
      REQUIRE_MOUNT(*mounts.back());
    }
    area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
    area.AddBook("b.fb2", "<not-a-book/>");
    area.AddBook("c.fb2", Book("Петров", "Пётр", "Сад", "c"));
    area.WriteSettings("Rename=0\nSort=0\nArchive=1");
    for (qsizetype i = 0; i < c.readOnly.size(); ++i)
      ASSERT_TRUE(mounts[static_cast<size_t>(i)]->MakeReadOnly());
    const ProcessResult result = area.RunCli();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    EXPECT_EQ(Statuses(lines), (QStringList{"kept", "kept", "kept"}));
    for (const OutcomeLine& line : lines) EXPECT_EQ(line.reason, "Read-only file system");
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    for (const QStringList& places : inventory.places) EXPECT_TRUE(places.value(0).startsWith("books/"));
  }
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
      if (QByteArray(settings) == "Archive=1") {
        EXPECT_TRUE(places.value(0).contains(".zip!"));
      }
    }
    if (QByteArray(settings) == "Archive=0") {  // bring them back for the archived round
      QDirIterator it(area.Path("end"), QDir::Files, QDirIterator::Subdirectories);
      int n = 0;
      while (it.hasNext())
        ASSERT_TRUE(QFile::rename(it.next(), area.Path(QStringLiteral("books/%1.fb2").arg(n++))));
    }
  }
}

// Names of 248 to 255 bytes, the longest a file system takes, moved to another one: the copy's
// temporary name must fit beside them (it once was the name plus a suffix, and these books stayed
// with "File name too long" while the dry run said they would move). The dry run and the run agree.
TEST(RunFaults, LongestNamesMoveToAnotherFileSystem) {
  Area area;
  TmpfsMount end(area.Path("end"), "size=16m");
  REQUIRE_MOUNT(end);
  for (int size = 248; size <= 255; ++size) {
    const QString name = QString(size - 4, QChar(u'a' + size - 248)) + ".fb2";
    area.AddBook(name, Book("Иванов", "Иван", "Дом", QString::number(size)));
  }
  area.WriteSettings("Rename=0\nSort=0");
  const ProcessResult dry = area.RunCli({"--dry-run"});
  const ProcessResult result = area.RunCli();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  EXPECT_EQ(Statuses(ParseOutcomes(result.out)), QStringList(8, "moved")) << result.out.toStdString();
  EXPECT_EQ(dry.out, result.out);
  const reliability::Inventory inventory = area.Take();
  area.ExpectEveryBookOnce(inventory);
  for (const QStringList& places : inventory.places) EXPECT_TRUE(places.value(0).startsWith("end/"));
}

// A book still being written in place (as cp writes it: the file truncated, then filled chunk by
// chunk) when runs reach it, with the work folders on another file system. The writer stops twice
// while a whole run goes by: neither run may publish the bytes written so far and remove the name
// the writer goes on writing to. Once the writer is done, the next run moves the whole book.
TEST(RunFaults, BookStillBeingWrittenEndsWholeSomewhere) {
  Area area;
  TmpfsMount bad(area.Path("bad"), "size=16m");
  TmpfsMount end(area.Path("end"), "size=16m");
  REQUIRE_MOUNT(bad);
  REQUIRE_MOUNT(end);
  const QByteArray whole = BigBook(1, 200 * 1024);
  const QByteArray name = QFile::encodeName(area.AddBook("slow.fb2", whole));
  area.WriteSettings("Archive=1");
  const int writer = ::open(name.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const qsizetype chunk = whole.size() / 8;
  for (qsizetype done = 0; done < whole.size(); done += chunk) {
    const qsizetype size = std::min(chunk, whole.size() - done);
    ASSERT_EQ(::write(writer, whole.constData() + done, static_cast<size_t>(size)), size);
    if (done != chunk && done != 5 * chunk) continue;
    SCOPED_TRACE(done);
    const ProcessResult result = area.RunCli();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].status, "kept");
    EXPECT_EQ(lines[0].reason, "The book changed while being moved");
  }
  ::close(writer);
  const ProcessResult result = area.RunCli();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  EXPECT_EQ(Statuses(ParseOutcomes(result.out)), QStringList{"moved"});
  const reliability::Inventory inventory = area.Take();
  area.ExpectEveryBookOnce(inventory);
  EXPECT_TRUE(area.Where(inventory, whole).startsWith("end/")) << area.Where(inventory, whole).toStdString();
}

// The calls the preload shim logged, each as its fields: the call's name, then its paths, cleaned.
QList<QStringList> LoggedCalls(const QString& log) {
  QList<QStringList> calls;
  for (const QString& line : QString::fromUtf8(reliability::ReadAll(log)).split(u'\n', Qt::SkipEmptyParts)) {
    QStringList fields = line.split(u'\t');
    for (qsizetype k = 1; k < fields.size(); ++k) fields[k] = QDir::cleanPath(fields[k]);
    calls << fields;
  }
  return calls;
}

// The calls that make a move durable, in the order a crash cannot undo: a copy to another file
// system, an archive, and a book unpacked or repacked from its .fb2.zip are flushed before the
// rename that publishes them, the rename is flushed (its folder) before the source goes (for a
// packed book, its archive under the hidden name the run claimed it by). The preload shim logs the
// calls of a real run, archiving on and off.
TEST(RunFaults, DataReachesTheDiskBeforeItsSourceGoes) {
  for (const bool archiving : {true, false}) {
    SCOPED_TRACE(archiving ? "archiving" : "not archiving");
    Area area;
    TmpfsMount end(area.Path("end"), "size=16m");
    REQUIRE_MOUNT(end);
    for (int i = 0; i < 3; ++i) area.AddBook(QStringLiteral("%1.fb2").arg(i), BigBook(i, 20 * 1024));
    for (int i = 3; i < 5; ++i)
      area.AddPackedBook(QStringLiteral("%1.fb2.zip").arg(i), QStringLiteral("%1.fb2").arg(i),
                         BigBook(i, 20 * 1024));
    area.WriteSettings(archiving ? "Archive=1" : "Archive=0");
    const QString log = area.Path("calls.log");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", SHELVIO_SHIM);
    environment.insert("SHELVIO_SHIM_LOG", log);
    const ProcessResult result = area.RunCli({}, 600000, environment);
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_EQ(Statuses(ParseOutcomes(result.out)),
              (QStringList{"moved", "moved", "moved", "moved", "moved"}));
    const QList<QStringList> calls = LoggedCalls(log);
    QFile::remove(log);
    const auto at = [&](const QStringList& call, qsizetype from) { return calls.indexOf(call, from); };
    const auto hidden = [](const QString& path) { return QFileInfo(path).fileName().startsWith(u'.'); };
    int copies = 0, archives = 0, fromArchives = 0;
    for (qsizetype i = 0; i < calls.size(); ++i) {
      const QStringList& call = calls[i];
      if (call[0] != "renameat2" || !hidden(call.value(1))) continue;
      const QString& temporary = call[1];
      const QString published = call.value(2);
      SCOPED_TRACE(call.join(u' ').toStdString());
      // A packed book's archive was claimed, under a hidden name, just before its book was
      // published; no other book was published in between.
      QString source;
      for (qsizetype k = i - 1; k >= 0 && source.isEmpty(); --k) {
        if (calls[k][0] != "renameat2") continue;
        if (hidden(calls[k].value(1))) break;
        if (calls[k].value(1).endsWith(".fb2.zip") && hidden(calls[k].value(2))) source = calls[k][2];
      }
      const bool archive = published.endsWith(".zip");
      if (!source.isEmpty()) {
        fromArchives++;
      } else if (archive) {
        archives++;
        // The book beside its archive.
        source = published.chopped(4);
      } else {
        copies++;
        // The book in the source folder: the move tried first names it.
        qsizetype tried = i - 1;
        while (tried >= 0 && !(calls[tried][0] == "renameat2" && calls[tried].value(2) == published)) --tried;
        ASSERT_GE(tried, 0) << "no move was tried before the copy";
        source = calls[tried][1];
      }
      const qsizetype flushed = at({"fsync", temporary}, 0);
      const qsizetype folder = at({"fsync", QFileInfo(published).path()}, i);
      const qsizetype removed = at({"unlink", source}, i);
      EXPECT_GE(flushed, 0) << "the data were never flushed";
      EXPECT_LT(flushed, i) << "the data were flushed after they were published";
      EXPECT_GT(folder, i) << "the rename was never flushed";
      EXPECT_GT(removed, folder) << "the source went before the rename was flushed";
    }
    EXPECT_EQ(copies, 3);
    EXPECT_EQ(archives, archiving ? 3 : 0);
    EXPECT_EQ(fromArchives, 2);
  }
}

// A book written and closed by someone just as its copy to another file system is published (the
// preload shim appends a byte to it, opening and closing it, right after the publishing rename):
// no writer holds it open any more, so no lease can tell; its stamp must. The book stays with the
// byte, the copy goes.
TEST(RunFaults, BookWrittenAndClosedAsItsCopyIsPublishedStays) {
  Area area;
  TmpfsMount end(area.Path("end"), "size=16m");
  REQUIRE_MOUNT(end);
  const QByteArray book = Book("Иванов", "Иван", "Дом", "a");
  const QString source = area.AddBook("a.fb2", book);
  area.WriteSettings("Rename=0\nSort=0");
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("LD_PRELOAD", SHELVIO_SHIM);
  environment.insert("XDG_STATE_HOME", area.Path("state"));
  environment.insert("SHELVIO_SHIM_APPEND_AFTER_MOVE_TO", "/end/a.fb2");
  environment.insert("SHELVIO_SHIM_APPEND_TO", source);
  environment.insert("SHELVIO_SHIM_APPEND_CLOSES", "1");
  const ProcessResult result = area.RunCli({}, 600000, environment);
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  const QList<OutcomeLine> lines = ParseOutcomes(result.out);
  ASSERT_EQ(lines.size(), 1);
  EXPECT_EQ(lines[0].status, "kept");
  EXPECT_EQ(lines[0].reason, "The book changed while being moved");
  EXPECT_EQ(reliability::ReadAll(source), book + "x");
  EXPECT_EQ(QDir(area.Path("end")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// The calls of an undo, in the order a crash cannot undo: what it gives back (a book unpacked from
// the run's archive, an archive rebuilt from the run's) is flushed before the rename that publishes
// it, and the rename (its folder) before the run's file goes. The preload shim logs the undo's calls.
TEST(RunFaults, UndoFlushesWhatItGivesBackBeforeTheRunsFileGoes) {
  Area area;
  area.AddBook("a.fb2", BigBook(1, 20 * 1024));
  area.AddPackedBook("b.fb2.zip", "b.fb2", BigBook(2, 20 * 1024));
  area.WriteSettings("Rename=0\nSort=0\nArchive=1");
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_STATE_HOME", area.Path("state"));
  const ProcessResult run = area.RunCli({}, 600000, environment);
  ASSERT_EQ(Statuses(ParseOutcomes(run.out)), (QStringList{"moved", "moved"})) << run.err.toStdString();
  const QString log = area.Path("calls.log");
  environment.insert("LD_PRELOAD", SHELVIO_SHIM);
  environment.insert("SHELVIO_SHIM_LOG", log);
  const ProcessResult undo = reliability::RunProgram(SHELVIO_CLI, {"--undo"}, 600000, environment);
  ASSERT_EQ(Statuses(ParseOutcomes(undo.out)), (QStringList{"restored", "restored"}))
      << undo.err.toStdString();
  const QList<QStringList> calls = LoggedCalls(log);
  int published = 0;
  for (qsizetype i = 0; i < calls.size(); ++i) {
    const QStringList& call = calls[i];
    if (call[0] != "renameat2" || !QFileInfo(call.value(1)).fileName().startsWith(".shelvio-")) continue;
    SCOPED_TRACE(call.join(u' ').toStdString());
    ++published;
    const QString name = QFileInfo(call.value(2)).fileName();
    const QString runs = area.Path("end/" + name + (name.endsWith(".zip") ? "" : ".zip"));
    const qsizetype flushed = calls.indexOf({"fsync", call[1]});
    const qsizetype folder = calls.indexOf({"fsync", area.Path("books")}, i);
    const qsizetype removed = calls.indexOf({"unlink", runs}, i);
    EXPECT_GE(flushed, 0) << "the data were never flushed";
    EXPECT_LT(flushed, i) << "the data were flushed after they were published";
    EXPECT_GT(folder, i) << "the rename was never flushed";
    EXPECT_GT(removed, folder) << "the run's file went before the rename was flushed";
  }
  EXPECT_EQ(published, 2);
}

// Someone renames another file to the name of the run's file just after the undo has published
// what it gives back (the preload shim does, right after that rename): the undo removes the run's
// file only while its name still holds the file it read, so the other file stays.
TEST(RunFaults, UndoNeverRemovesAFileRenamedOverTheRunsFile) {
  struct Case {
    const char* what;
    bool arrivedPacked;  // the book came as b.fb2.zip: the undo rebuilds that archive
  };
  for (const Case& c : {Case{"unpacked from the run's archive", false}, Case{"its archive rebuilt", true}}) {
    SCOPED_TRACE(c.what);
    Area area;
    const QByteArray book = BigBook(1, 20 * 1024);
    const QString source =
        c.arrivedPacked ? area.AddPackedBook("b.fb2.zip", "b.fb2", book) : area.AddBook("b.fb2", book);
    area.WriteSettings("Rename=0\nSort=0\nArchive=1");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", area.Path("state"));
    const ProcessResult run = area.RunCli({}, 600000, environment);
    ASSERT_EQ(Statuses(ParseOutcomes(run.out)), QStringList{"moved"}) << run.err.toStdString();
    const QString other = area.Write("other", "another file");
    environment.insert("LD_PRELOAD", SHELVIO_SHIM);
    environment.insert("SHELVIO_SHIM_RENAME_AFTER_MOVE_TO", "/books/" + QFileInfo(source).fileName());
    environment.insert("SHELVIO_SHIM_RENAME_FROM", other);
    environment.insert("SHELVIO_SHIM_RENAME_TO", area.Path("end/b.fb2.zip"));
    const ProcessResult undo = reliability::RunProgram(SHELVIO_CLI, {"--undo"}, 600000, environment);
    ASSERT_FALSE(QFile::exists(other)) << "the shim did not rename the file in";
    EXPECT_EQ(Statuses(ParseOutcomes(undo.out)), QStringList{"restored"}) << undo.err.toStdString();
    EXPECT_EQ(reliability::ReadAll(area.Path("end/b.fb2.zip")), "another file");
    EXPECT_EQ(area.Where(area.Take(), book), c.arrivedPacked ? "books/b.fb2.zip!b.fb2" : "books/b.fb2");
  }
}

// The real disk, where another process acts on the destination's name at the worst moment: after
// the run saw the name free and before the move, or after the move and before the packing.
class Intruder final : public BookFiles {
 public:
  enum class When { BeforeMove, AfterMove };
  Intruder(When when, std::function<void(const QString& to)> act) : when_(when), act_(std::move(act)) {}
  bool EntryExists(const QString& path) override { return disk_.EntryExists(path); }
  bool SameFile(const QString& a, const QString& b) override { return disk_.SameFile(a, b); }
  int ForceDirectories(const QString& path) override { return disk_.ForceDirectories(path); }
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override {
    if (when_ == When::BeforeMove) act_(to);
    const bool done = disk_.MoveFile(from, to, error, moved);
    if (when_ == When::AfterMove && done) act_(to);
    return done;
  }

 private:
  DiskFiles disk_;
  When when_;
  std::function<void(const QString&)> act_;
};

// Answers the archive writer's question as --on-zip-error does.
class Policy final : public ZipFilePrompt {
 public:
  explicit Policy(ZipPromptAnswer answer) : answer_(answer) {}
  ZipPromptAnswer Ask(const QString&, const EZipWriterError&, bool) override { return answer_; }

 private:
  ZipPromptAnswer answer_;
};

class SilentHost final : public RunHost {
 public:
  explicit SilentHost(const QString& root) : root_(root) {}
  QString Text(TextOption option) override {
    switch (option) {
      case TextOption::BadDir:
        return root_ + "/bad/";
      case TextOption::EndDir:
        return root_ + "/end/";
      case TextOption::DoubleDir:
        return root_ + "/double/";
      case TextOption::NewNamePattern:
        return QStringLiteral("Фамилия Имя - Название");
      case TextOption::SortPattern:
        return QStringLiteral("Алфавит\\Автор");
    }
    return {};
  }
  bool Checked(CheckOption option) override {
    return option == CheckOption::Rename || option == CheckOption::Sort || option == CheckOption::SortLast ||
           (archive && option == CheckOption::Archive);
  }
  void SetStatus(const QString&) override {}
  void SetProgressMax(int) override {}
  void SetProgress(int) override {}
  void PumpMessages() override {}
  bool CancelRequested() override { return false; }
  void BookDone(const BookOutcome& outcome) override { outcomes.push_back(outcome); }
  std::vector<BookOutcome> outcomes;
  bool archive = false;

 private:
  QString root_;
};

// Runs StartRun over items in the area's source folder; false when an error ended the run.
bool RunInProcess(const Area& area, RunHost& host, BookFiles& files, ArchiveStep* archive,
                  const QStringList& items = {"a.fb2", "b.fb2"}) {
  const QString previous = QDir::currentPath();
  EXPECT_TRUE(QDir::setCurrent(area.Path("books")));
  TXSDValidator validator;
  QString schemaError;
  bool ended = false;
  try {
    EXPECT_TRUE(StartRun(host, items, validator, area.Path("app/"), files, archive, &schemaError))
        << schemaError.toStdString();
  } catch (const ShelvioError& error) {
    // Only the archive writer may end these runs; a setting's failure here is a fault of the run.
    EXPECT_EQ(error.GetKind(), ShelvioError::Kind::Archive) << error.what();
    ended = true;
  }
  QDir::setCurrent(previous);
  return !ended;
}

TEST(RunFaults, NameTakenBetweenTheTestAndTheMoveIsNotReplaced) {
  Area area;
  area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
  area.AddBook("b.fb2", "<not-a-book/>");
  SilentHost host(area.Root());
  Intruder files(Intruder::When::BeforeMove, [](const QString& to) {
    QFile other(to);
    if (other.open(QIODevice::WriteOnly | QIODevice::NewOnly)) other.write("another process's file");
  });
  ASSERT_TRUE(RunInProcess(area, host, files, nullptr));
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

// Failures of the archive step after the book has moved: no room left even for an archive's first
// header, a folder that took the archive's name meanwhile. Under Ignore the book stays unpacked at
// its destination with the writer's reason and the run goes on with the next book; under Abort the
// run ends there, the book still at its destination, and nothing of an archive is left either way.
TEST(RunFaults, ArchiveFailuresAfterTheMoveFollowThePolicy) {
  struct Case {
    const char* what;
    std::function<void(const QString& book)> act;
    const char* reason;
  };
  const Case cases[] = {
      {"no room for a header",
       [](const QString& book) {
         QFile filler(QFileInfo(book).path() + "/filler");
         ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
         const QByteArray block(64 * 1024, 'x');
         while (filler.write(block) > 0) {
         }
       },
       "Stream write error"},
      {"a folder took the archive's name",
       [](const QString& book) { ASSERT_TRUE(QDir().mkdir(book + ".zip")); }, "Is a directory"},
  };
  for (const Case& c : cases) {
    for (const ZipPromptAnswer answer : {ZipPromptAnswer::Ignore, ZipPromptAnswer::Abort}) {
      const bool ignore = answer == ZipPromptAnswer::Ignore;
      SCOPED_TRACE(std::string(c.what) + (ignore ? ", ignore" : ", abort"));
      Area area;
      TmpfsMount end(area.Path("end"), "size=1m");
      REQUIRE_MOUNT(end);
      area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
      area.AddBook("b.fb2", Book("Петров", "Пётр", "Сад", "b"));
      SilentHost host(area.Root());
      host.archive = true;
      QString first;  // the first book's destination, where the intruder acts
      Intruder files(Intruder::When::AfterMove, [&](const QString& to) {
        if (!first.isEmpty()) return;
        first = to;
        c.act(to);
      });
      TZipWriter zip;
      Policy policy(answer);
      zip.SetPrompt(&policy);
      ZipArchiveStep step(zip);
      EXPECT_EQ(RunInProcess(area, host, files, &step), ignore);
      ASSERT_EQ(host.outcomes.size(), ignore ? 2u : 1u);
      EXPECT_EQ(host.outcomes[0].status, BookStatus::Moved);
      EXPECT_EQ(host.outcomes[0].target, first);
      if (ignore) {
        EXPECT_TRUE(host.outcomes[0].reason.contains(c.reason)) << host.outcomes[0].reason.toStdString();
      }
      QFile::remove(QFileInfo(first).path() + "/filler");
      QDir().rmdir(first + ".zip");
      const reliability::Inventory inventory = area.Take();
      area.ExpectEveryBookOnce(inventory);
      EXPECT_EQ(area.Where(inventory, reliability::ReadAll(first)),
                QDir(area.Root()).relativeFilePath(first));
    }
  }
}

// A read error of the book at its destination while it is packed (the preload shim fails every
// read of it with EIO) goes to the writer's question: whatever the policy answers, the book stays
// unpacked there with the writer's reason, no archive is left, and the run goes on.
TEST(RunFaults, ReadErrorWhilePackingLeavesTheBookUnpacked) {
  for (const char* policy : {"ignore", "abort"}) {
    SCOPED_TRACE(policy);
    Area area;
    const QByteArray first = Book("Иванов", "Иван", "Дом", "a");
    area.AddBook("a.fb2", first);
    area.AddBook("b.fb2", Book("Петров", "Пётр", "Сад", "b"));
    area.WriteSettings("Rename=0\nSort=0\nArchive=1");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", SHELVIO_SHIM);
    environment.insert("SHELVIO_SHIM_FAIL_READ", "/end/a.fb2");
    const ProcessResult result = area.RunCli({"--on-zip-error", policy}, 600000, environment);
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QByteArray(policy) == "ignore" ? "(ignored)" : "(aborted)"))
        << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    EXPECT_EQ(Statuses(lines), (QStringList{"moved", "moved"}));
    EXPECT_EQ(lines.value(0).target, area.Path("end/a.fb2"));
    EXPECT_TRUE(lines.value(0).reason.startsWith("Zip: Invalid compressed size"))
        << lines.value(0).reason.toStdString();
    EXPECT_EQ(lines.value(1).target, area.Path("end/b.fb2.zip"));
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    EXPECT_EQ(area.Where(inventory, first), "end/a.fb2");
  }
}

// A packed book's archive rewritten by someone just as the book is published at its destination
// (the preload shim appends a byte to it right after that move): the book is in place, the changed
// archive is never removed, and the book's line says that it stayed.
TEST(RunFaults, PackedBookWhoseArchiveChangesAsItIsPublishedKeepsTheArchive) {
  for (const bool archiving : {false, true}) {
    SCOPED_TRACE(archiving ? "repacked" : "unpacked");
    Area area;
    const QByteArray book = Book("Иванов", "Иван", "Дом", "a");
    const QString archive = area.AddPackedBook("a.fb2.zip", "a.fb2", book);
    const QByteArray before = reliability::ReadAll(archive);
    area.WriteSettings(archiving ? "Rename=0\nSort=0\nArchive=1" : "Rename=0\nSort=0");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", SHELVIO_SHIM);
    environment.insert("SHELVIO_SHIM_APPEND_AFTER_MOVE_TO", archiving ? "/end/a.fb2.zip" : "/end/a.fb2");
    environment.insert("SHELVIO_SHIM_APPEND_TO", archive);
    const ProcessResult result = area.RunCli({}, 600000, environment);
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].status, "moved");
    EXPECT_EQ(lines[0].target, area.Path(archiving ? "end/a.fb2.zip" : "end/a.fb2"));
    EXPECT_EQ(lines[0].reason, "The source archive changed meanwhile and was kept");
    EXPECT_EQ(reliability::ReadAll(archive), before + "x");
    if (!archiving) {
      EXPECT_EQ(reliability::ReadAll(area.Path("end/a.fb2")), book);
    }
  }
}

// A name that appears at a packed book's destination after the run has found it free (the call
// below is the run's step, made with the name already taken) is never replaced: the step fails
// with the system's reason, the source archive stays as it was, and no temporary file is left.
TEST(RunFaults, PackedBookNeverReplacesANameThatAppearsMeanwhile) {
  for (const bool archiving : {false, true}) {
    SCOPED_TRACE(archiving ? "repack" : "unpack");
    Area area;
    const QString archive = area.AddPackedBook("a.fb2.zip", "a.fb2", Book("Иванов", "Иван", "Дом", "a"));
    const QByteArray before = reliability::ReadAll(archive);
    const QString destination = area.Path("end/a.fb2");
    const QString taken = area.Write(archiving ? "end/a.fb2.zip" : "end/a.fb2", "another process's file");
    QString reason;
    TZipWriter zip;
    bool placed = false;
    const FileStamp judged = StampOfEntry(QFile::encodeName(archive));
    try {  // the writer, asked no question, throws its error
      placed = archiving ? RepackZippedBook(zip, archive, destination, judged, &reason)
                         : UnpackZippedBook(archive, destination, judged, &reason);
    } catch (const std::exception& error) {
      reason = QString::fromUtf8(error.what());
    }
    EXPECT_FALSE(placed);
    EXPECT_TRUE(reason.contains("File exists")) << reason.toStdString();
    EXPECT_EQ(reliability::ReadAll(archive), before);
    EXPECT_EQ(reliability::ReadAll(taken), "another process's file");
    EXPECT_EQ(QDir(area.Path("end")).entryList(QDir::Files | QDir::Hidden),
              QStringList{QFileInfo(taken).fileName()});
  }
}

// The real disk and archive step, where someone acts on a packed book's archive after the run has
// judged the book and just before the step that places it reads the archive.
class BeforePlacing final : public BookFiles, public ArchiveStep {
 public:
  BeforePlacing(TZipWriter& zip, std::function<void(const QString& archive)> act)
      : step_(zip), act_(std::move(act)) {}
  bool EntryExists(const QString& path) override { return disk_.EntryExists(path); }
  bool SameFile(const QString& a, const QString& b) override { return disk_.SameFile(a, b); }
  int ForceDirectories(const QString& path) override { return disk_.ForceDirectories(path); }
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override {
    return disk_.MoveFile(from, to, error, moved);
  }
  bool UnpackBook(const QString& archive, const QString& to, const FileStamp& judged, QString* reason,
                  const ArrivalObserver& arrived) override {
    act_(archive);
    return disk_.UnpackBook(archive, to, judged, reason, arrived);
  }
  PackOutcome Pack(const QString& destination, const FileStamp& moved) override {
    return step_.Pack(destination, moved);
  }
  bool Repack(const QString& archive, const QString& destination, const FileStamp& judged, QString* reason,
              const ArrivalObserver& arrived) override {
    act_(archive);
    return step_.Repack(archive, destination, judged, reason, arrived);
  }

 private:
  DiskFiles disk_;
  ZipArchiveStep step_;
  std::function<void(const QString&)> act_;
};

// Every file below folder, hidden ones too.
QStringList FilesBelow(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) files << it.next();
  return files;
}

// A packed book's archive that changes after its book was judged and before it is unpacked or
// repacked: replaced by another archive (a valid book, too), or rewritten in place, is never placed
// and stays as it is now; its compressed bytes damaged in place with its size and modification time
// put back (nothing tells it from the archive judged but its bytes) fail the CRC check of the
// bytes as they are extracted or copied. Either way nothing is left at the destination. Processed
// folder on the area's file system and on a tmpfs.
TEST(RunFaults, PackedBookChangedAfterItsVerdictIsNeverPlaced) {
  struct Case {
    const char* what;
    bool deflated;
    std::function<void(const QString& archive, const QByteArray& other)> act;
    const char* reason;  // the start of the book's reason
  };
  const auto replace = [](const QString& archive, const QByteArray& other) {
    const QString beside = archive + ".new";
    QFile file(beside);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(other);
    file.close();
    ASSERT_EQ(::rename(QFile::encodeName(beside).constData(), QFile::encodeName(archive).constData()), 0);
  };
  const auto rewrite = [](const QString& archive, const QByteArray& other) {
    QFile file(archive);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(other);
  };
  const auto damage = [](const QString& archive, const QByteArray&) {
    const QByteArray name = QFile::encodeName(archive);
    struct stat before {};
    ASSERT_EQ(::stat(name.constData(), &before), 0);
    QFile file(archive);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    // 25 bytes into the entry's data, behind the 30 bytes of its header and its 5-byte name.
    ASSERT_TRUE(file.seek(60));
    char byte = 0;
    ASSERT_TRUE(file.getChar(&byte));
    ASSERT_TRUE(file.seek(60));
    ASSERT_TRUE(file.putChar(static_cast<char>(byte ^ 0x21)));
    file.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, name.constData(), times, 0), 0);
  };
  const Case cases[] = {
      {"replaced", true, replace, "The archive changed after it was checked"},
      {"rewritten in place", true, rewrite, "The archive changed after it was checked"},
      {"deflated bytes damaged", true, damage, "its entry is damaged"},
      {"stored bytes damaged", false, damage, "its entry is damaged"},
  };
  for (const bool endElsewhere : {false, true}) {
    for (const Case& c : cases) {
      for (const bool archiving : {false, true}) {
        SCOPED_TRACE(std::string(c.what) + (archiving ? ", repacked" : ", unpacked") +
                     (endElsewhere ? ", processed folder on a tmpfs" : ""));
        Area area;
        TmpfsMount end(area.Path("end"), "size=16m", endElsewhere);
        if (endElsewhere) REQUIRE_MOUNT(end);
        const QString archive =
            area.AddPackedBook("a.fb2.zip", "a.fb2", Book("Иванов", "Иван", "Дом", "a"), "books", c.deflated);
        const QString spare =
            area.AddPackedBook("b.fb2.zip", "b.fb2", Book("Петров", "Пётр", "Сад", "b"), "spare");
        const QByteArray other = reliability::ReadAll(spare);
        QByteArray now;
        TZipWriter zip;
        BeforePlacing files(zip, [&](const QString& path) {
          c.act(path, other);
          now = reliability::ReadAll(path);
        });
        SilentHost host(area.Root());
        host.archive = archiving;
        ASSERT_TRUE(RunInProcess(area, host, files, &files, {"a.fb2.zip"}));
        ASSERT_EQ(host.outcomes.size(), 1u);
        EXPECT_EQ(host.outcomes[0].status, BookStatus::Kept);
        EXPECT_TRUE(host.outcomes[0].reason.startsWith(c.reason)) << host.outcomes[0].reason.toStdString();
        ASSERT_FALSE(now.isEmpty());
        EXPECT_EQ(reliability::ReadAll(archive), now);
        const QStringList left = FilesBelow(area.Path("end"));
        EXPECT_TRUE(left.isEmpty()) << left.join(u' ').toStdString();
        const QStringList books = QDir(area.Path("books")).entryList(QDir::Files | QDir::Hidden);
        EXPECT_EQ(books, QStringList{"a.fb2.zip"}) << books.join(u' ').toStdString();
      }
    }
  }
}

// A packed book's archive swapped for another file just as the run claims it (the preload shim
// exchanges the two names right before the claiming rename): the claim holds the other file, which
// was never judged, so the book stays where it is and is not placed; before, its book was placed
// from the archive held open while the archive itself lived on under the other name: twice.
TEST(RunFaults, PackedBookSwappedAsItIsClaimedStaysWhereItIs) {
  for (const bool archiving : {false, true}) {
    SCOPED_TRACE(archiving ? "repack" : "unpack");
    Area area;
    const QString archive = area.AddPackedBook("a.fb2.zip", "a.fb2", Book("Иванов", "Иван", "Дом", "a"));
    const QString other =
        area.AddPackedBook("b.fb2.zip", "b.fb2", Book("Петров", "Пётр", "Сад", "b"), "spare");
    const QByteArray before = reliability::ReadAll(archive);
    const QByteArray otherBefore = reliability::ReadAll(other);
    area.WriteSettings(archiving ? "Rename=0\nSort=0\nArchive=1" : "Rename=0\nSort=0");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", SHELVIO_SHIM);
    // The run names its books relative to their folder.
    environment.insert("SHELVIO_SHIM_EXCHANGE_BEFORE_MOVE_FROM", "a.fb2.zip");
    environment.insert("SHELVIO_SHIM_EXCHANGE_WITH", other);
    const ProcessResult result = area.RunCli({}, 600000, environment);
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].status, "kept");
    EXPECT_EQ(lines[0].reason, "The source archive changed meanwhile and was kept");
    // The two files swapped names and are otherwise as they were.
    EXPECT_EQ(reliability::ReadAll(archive), otherBefore);
    EXPECT_EQ(reliability::ReadAll(other), before);
    const QStringList left = FilesBelow(area.Path("end"));
    EXPECT_TRUE(left.isEmpty()) << left.join(u' ').toStdString();
    area.ExpectEveryBookOnce(area.Take());
  }
}

// A packed book whose archive another run takes away (moves elsewhere) before its turn is missing,
// as a plain book is; it was kept as "not a book: No such file or directory".
TEST(RunFaults, BookTakenAwayBeforeItsTurnIsMissingPackedOrNot) {
  for (const char* name : {"b.fb2", "b.fb2.zip"}) {
    SCOPED_TRACE(name);
    Area area;
    area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
    const QByteArray other = Book("Петров", "Пётр", "Сад", "b");
    const QString next = QByteArray(name).endsWith(".zip") ? area.AddPackedBook(name, "b.fb2", other)
                                                           : area.AddBook(name, other);
    SilentHost host(area.Root());
    Intruder files(Intruder::When::AfterMove, [&](const QString&) {
      QDir().mkpath(area.Path("elsewhere"));
      QFile::rename(next, area.Path("elsewhere/") + name);
    });
    ASSERT_TRUE(RunInProcess(area, host, files, nullptr, {"a.fb2", name}));
    ASSERT_EQ(host.outcomes.size(), 2u);
    EXPECT_EQ(host.outcomes[1].status, BookStatus::Missing);
    EXPECT_EQ(host.outcomes[1].reason, MoveFailureText(kSourceMissing));
    area.ExpectEveryBookOnce(area.Take());
  }
}

// Another process's file at a book's archive name, made after the run found the name free and
// before the archive is published (right after the book's move): a name taken, which the repeat
// rule settles. The book goes on to the folder for repeated files, the other file is left as it
// is, and the run goes on, under Abort too; it used to end the whole run.
TEST(RunFaults, ArchiveNameTakenWhilePackingMakesARepeat) {
  for (const ZipPromptAnswer answer : {ZipPromptAnswer::Abort, ZipPromptAnswer::Ignore}) {
    SCOPED_TRACE(answer == ZipPromptAnswer::Abort ? "abort" : "ignore");
    Area area;
    area.AddBook("a.fb2", Book("Иванов", "Иван", "Дом", "a"));
    area.AddBook("b.fb2", Book("Петров", "Пётр", "Сад", "b"));
    SilentHost host(area.Root());
    host.archive = true;
    QString taken;
    Intruder files(Intruder::When::AfterMove, [&](const QString& to) {
      if (!taken.isEmpty()) return;
      taken = to + ".zip";
      QFile file(taken);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
      file.write("another process's file");
    });
    TZipWriter zip;
    Policy policy(answer);
    zip.SetPrompt(&policy);
    ZipArchiveStep step(zip);
    ASSERT_TRUE(RunInProcess(area, host, files, &step));
    ASSERT_EQ(host.outcomes.size(), 2u);
    EXPECT_EQ(host.outcomes[0].status, BookStatus::Repeat);
    EXPECT_EQ(host.outcomes[0].target, area.Path("double/a.fb2"));
    EXPECT_EQ(host.outcomes[1].status, BookStatus::Moved);
    EXPECT_TRUE(host.outcomes[1].packed);
    EXPECT_EQ(reliability::ReadAll(taken), "another process's file");
    reliability::Inventory inventory = area.Take();
    // The other file is no archive: the inventory's reader cannot open it.
    ASSERT_EQ(inventory.unreadableArchives.size(), 1);
    EXPECT_TRUE(inventory.unreadableArchives[0].startsWith(QDir(area.Root()).relativeFilePath(taken)));
    inventory.unreadableArchives.clear();
    area.ExpectEveryBookOnce(inventory);
  }
}

}  // namespace
