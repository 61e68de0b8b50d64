// Runs shelvio-cli, then shelvio-cli --undo, and checks that the folders are as they were.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <csignal>
#include <map>

#include "cli_test_support.h"

namespace {

using namespace clitest;

// Every entry below a folder by its raw name (names need not be UTF-8): a folder as "dir", a file
// as the SHA-256 of its bytes.
using RawTree = std::map<QByteArray, QByteArray>;

void AddRaw(const QByteArray& folder, const QByteArray& relative, RawTree& tree) {
  DIR* dir = ::opendir(folder.constData());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray name(entry->d_name);
    if (name == "." || name == "..") continue;
    const QByteArray path = folder + '/' + name;
    const QByteArray key = relative.isEmpty() ? name : relative + '/' + name;
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      tree[key] = "dir";
      AddRaw(path, key, tree);
    } else {
      QFile file;
      const int fd = ::open(path.constData(), O_RDONLY);
      QCryptographicHash hash(QCryptographicHash::Sha256);
      if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) hash.addData(&file);
      tree[key] = hash.result().toHex();
    }
  }
  ::closedir(dir);
}

class CliUndo : public Cli {
 protected:
  // The books, the three work folders and anything else of the area but the program and state.
  RawTree Raw() {
    RawTree tree;
    for (const char* folder : {"books", "bad", "end", "double"}) {
      tree[folder] = "dir";
      AddRaw(QFile::encodeName(Path(folder)), folder, tree);
    }
    return tree;
  }

  void WriteRaw(const QByteArray& relative, const QByteArray& bytes) {
    const QByteArray path = QFile::encodeName(root_.path()) + '/' + relative;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path.toStdString();
    ASSERT_EQ(::write(fd, bytes.constData(), bytes.size()), bytes.size());
    ::close(fd);
  }

  // The lines of standard output, by their first field.
  static QMap<QString, int> Statuses(const Result& result) {
    QMap<QString, int> counts;
    for (const QString& line : result.lines) ++counts[line.section(u'\t', 0, 0)];
    return counts;
  }

  Result Undo(const QStringList& extra = {}) { return RunCli(QStringList{"--undo"} + extra); }
};

// Every combination of renaming, sorting and archiving, over valid books, invalid ones, repeats,
// a repeat whose name is taken, names with a tab, a backslash and bytes of no encoding (which the
// run does not list), and an older file of the user's at a destination: the run moves books, the
// undo puts back every one, and the folders are as they were, byte for byte.
TEST_F(CliUndo, RunThenUndoGivesBackTheFolderExactly) {
  int combinations = 0, booksMoved = 0, booksRestored = 0;
  for (int mask = 0; mask < 8; ++mask) {
    const bool rename = mask & 1, sort = mask & 2, archive = mask & 4;
    SCOPED_TRACE(
        QStringLiteral("Rename=%1 Sort=%2 Archive=%3").arg(rename).arg(sort).arg(archive).toStdString());
    for (const char* folder : {"books", "bad", "end", "double", "state"})
      QDir(Path(folder)).removeRecursively();
    for (const char* folder : {"books", "bad", "end", "double"}) QDir(root_.path()).mkpath(folder);
    Write("books/a.fb2", kIvanov);
    Write("books/b.fb2", kIvanov);  // a repeat of a
    Write("books/c.fb2", kIvanov);  // a repeat whose name the repeat folder holds already
    Write("double/c.fb2", "another file");
    Write("books/d.fb2", Book("Петров", "Пётр", "Дом"));
    Write("books/e\tf\\g.fb2", Book("Сидоров", "Сидор", "Сад"));
    Write("books/broken.fb2", kNotWellFormed);
    Write("books/wrong.fb2", kNotConforming);
    WriteRaw("books/\xff\xfe latin1 \xe9.fb2", Book("Орлов", "Олег", "Лес"));
    Write("end/unrelated.txt", "the user's own file");
    // Without renaming, x's destination is taken by an older file: x is a repeat, and that file
    // is left as it is, archiving or not.
    Write("books/x.fb2", kIvanov);
    Write(sort ? "end/И/Иванов Иван/x.fb2" : "end/x.fb2", "an older copy");
    WriteSettings(QStringLiteral("Rename=%1\nSort=%2\nArchive=%3").arg(rename).arg(sort).arg(archive));
    const RawTree before = Raw();

    const Result run = RunOnBooks();
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QMap<QString, int> ran = Statuses(run);
    const int moved = ran.value("moved") + ran.value("invalid") + ran.value("repeat");
    EXPECT_EQ(ran.value("invalid"), 2) << run.lines.join("\n").toStdString();
    EXPECT_EQ(ran.value("repeat"), rename ? 2 : 1);
    EXPECT_EQ(ran.value("kept"), rename ? 1 : 0);
    ASSERT_NE(Raw(), before);

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    EXPECT_EQ(Statuses(undo).value("restored"), moved) << undo.lines.join("\n").toStdString();
    EXPECT_EQ(Statuses(undo).value("kept"), 0) << undo.lines.join("\n").toStdString();
    EXPECT_EQ(Raw(), before) << undo.lines.join("\n").toStdString();

    // A second undo changes nothing, and says why for every book.
    const Result again = Undo();
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(Statuses(again).value("kept"), moved) << again.lines.join("\n").toStdString();
    for (const QString& line : again.lines)
      EXPECT_TRUE(line.endsWith("\tAlready in its place")) << line.toStdString();
    EXPECT_EQ(Raw(), before);

    ++combinations;
    booksMoved += moved;
    booksRestored += Statuses(undo).value("restored");
  }
  // QTemporaryDir cannot name it.
  ::unlink((QFile::encodeName(root_.path()) + "/books/\xff\xfe latin1 \xe9.fb2").constData());
  std::cout << "round trips: " << combinations << " combinations, " << booksMoved << " books moved, "
            << booksRestored << " restored\n";
}

// A book goes back only when the file at its target is the one the run left, and never onto a
// name that is taken again: those stay, with the reason, and nothing of the user's is replaced.
TEST_F(CliUndo, KeepsWhatChangedSinceTheRun) {
  for (const bool archive : {false, true}) {
    SCOPED_TRACE(archive ? "archived" : "unpacked");
    for (const char* folder : {"books", "bad", "end", "double", "state"})
      QDir(Path(folder)).removeRecursively();
    for (const char* folder : {"books", "bad", "end", "double"}) QDir(root_.path()).mkpath(folder);
    Write("books/a.fb2", Book("Андреев", "Антон", "А"));
    Write("books/b.fb2", Book("Борисов", "Борис", "Б"));
    Write("books/c.fb2", Book("Васильев", "Василий", "В"));
    Write("books/d.fb2", Book("Григорьев", "Глеб", "Г"));
    WriteSettings(QStringLiteral("Sort=0\nArchive=%1").arg(archive));
    const Result run = RunOnBooks();
    ASSERT_EQ(Statuses(run).value("moved"), 4) << run.errors.toStdString();
    const QString suffix = archive ? ".fb2.zip" : ".fb2";
    const QString changedTarget = "end/Борисов Борис - Б" + suffix;
    const QString goneTarget = "end/Васильев Василий - В" + suffix;
    // b's target now holds other bytes of the same size; c's was removed; a's name is taken again.
    QFile changed(Path(changedTarget));
    ASSERT_TRUE(changed.open(QIODevice::ReadWrite));
    QByteArray bytes = changed.readAll();
    bytes[bytes.size() / 2] = bytes[bytes.size() / 2] ^ 1;
    changed.seek(0);
    changed.write(bytes);
    changed.close();
    ASSERT_TRUE(QFile::remove(Path(goneTarget)));
    Write("books/a.fb2", "a new file of the user's");
    const Tree before = Files();

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    ASSERT_EQ(undo.lines.size(), 4) << undo.lines.join("\n").toStdString();
    QMap<QString, QString> reasons;  // source name -> status and reason
    for (const QString& line : undo.lines) {
      const QStringList fields = line.split(u'\t');
      ASSERT_EQ(fields.size(), 4) << line.toStdString();
      reasons[QFileInfo(fields[2]).fileName()] = fields[0] + ": " + fields[3];
    }
    EXPECT_EQ(reasons["a.fb2"], "kept: The source name is taken by another file");
    EXPECT_TRUE(reasons["b.fb2"].startsWith("kept: The ")) << reasons["b.fb2"].toStdString();
    EXPECT_EQ(reasons["c.fb2"], "kept: No longer at the target");
    EXPECT_EQ(reasons["d.fb2"], "restored: ");
    Tree expected = before;
    expected.insert("books/d.fb2", Sha256(Path("books/d.fb2")));
    expected.remove("end/Григорьев Глеб - Г" + suffix);
    EXPECT_EQ(Files(), expected);
    EXPECT_EQ(Sha256(Path("books/d.fb2")),
              QCryptographicHash::hash(Book("Григорьев", "Глеб", "Г"), QCryptographicHash::Sha256).toHex());
  }
}

// A run killed at any moment: the undo works from what its record holds, and the folder comes
// back exactly, including a book caught on its way into its archive.
TEST_F(CliUndo, UndoesARunThatWasKilled) {
  for (int kill = 1; kill <= 6; ++kill) {
    SCOPED_TRACE(kill);
    for (const char* folder : {"books", "bad", "end", "double", "state"})
      QDir(Path(folder)).removeRecursively();
    for (const char* folder : {"books", "bad", "end", "double"}) QDir(root_.path()).mkpath(folder);
    // Books with large bodies, so that packing takes long enough to be caught.
    QByteArray body;
    for (int i = 0; i < 40000; ++i) body += QByteArray::number(i * 7919 % 100003) + ' ';
    for (int i = 0; i < 12; ++i) {
      QByteArray book = Book(QStringLiteral("Автор%1").arg(i), "Имя", QStringLiteral("Книга %1").arg(i));
      book.replace("<p>text</p>", "<p>" + body + "</p>");
      Write(QStringLiteral("books/%1.fb2").arg(i), book);
    }
    Write("books/broken.fb2", kNotWellFormed);
    WriteSettings("Archive=1");
    const RawTree before = Raw();
    QProcess process;
    process.setProgram(SHELVIO_CLI);
    process.setArguments({"--settings", Path("setting.ini"), "--app-dir", Path("app"), Path("books")});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", Path("state"));
    process.setProcessEnvironment(environment);
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    QByteArray seen;
    while (seen.count('\n') < kill && process.waitForReadyRead(10000)) seen += process.peek(1 << 20);
    ::usleep(static_cast<useconds_t>(kill * 3000));
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    process.waitForFinished(30000);

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    EXPECT_EQ(Statuses(undo).value("kept"), Statuses(undo).value("kept") > 0 ? 1 : 0)
        << undo.lines.join("\n").toStdString();  // at most the book the kill caught before its move
    EXPECT_EQ(Raw(), before) << undo.lines.join("\n").toStdString();
  }
}

TEST_F(CliUndo, ListsRunsAndRefusesWhatItCannotUndo) {
  EXPECT_EQ(Undo().exitCode, 1);  // no run yet
  Write("books/a.fb2", kIvanov);
  Write("books/b.fb2", kNotWellFormed);
  WriteSettings("");
  ASSERT_EQ(RunOnBooks().exitCode, 0);
  ASSERT_EQ(RunOnBooks({"--dry-run"}).exitCode, 0);  // a dry run leaves no record

  const Result runs = RunCli({"--runs"});
  EXPECT_EQ(runs.exitCode, 0);
  ASSERT_EQ(runs.lines.size(), 1) << runs.lines.join("\n").toStdString();
  const QStringList fields = runs.lines[0].split(u'\t');
  ASSERT_EQ(fields.size(), 5);
  EXPECT_EQ(fields[1], Path("books"));
  EXPECT_EQ(fields[2], "invalid 1, moved 1");
  EXPECT_EQ(fields[3], "done");

  // The record is named as --runs shows it, and a person can read it.
  QFile record(Path("state/shelvio/runs/") + fields[4]);
  ASSERT_TRUE(record.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(record.readAll());
  EXPECT_TRUE(text.contains("\nfolder\t" + Path("books") + "\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("\nsetting\tPattern\tФамилия Имя - Название\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("\ninvalid\t" + Path("books/b.fb2") + "\t" + Path("bad/b.fb2") + "\t"));

  EXPECT_EQ(Undo({"no-such-record.run"}).exitCode, 1);
  EXPECT_EQ(RunCli({"--undo", "a", "b"}).exitCode, 2);
  EXPECT_EQ(RunCli({"--runs", "x"}).exitCode, 2);
  const Result undo = Undo({fields[4]});
  EXPECT_EQ(undo.exitCode, 0);
  EXPECT_EQ(Statuses(undo).value("restored"), 2) << undo.lines.join("\n").toStdString();
  EXPECT_TRUE(undo.errors.contains("restored 2, kept 0")) << undo.errors.toStdString();
  EXPECT_TRUE(RunCli({"--runs"}).lines.value(0).contains("undone"));
}

}  // namespace
