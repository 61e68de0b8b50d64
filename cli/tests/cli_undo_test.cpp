// Runs shelvio-cli, then shelvio-cli --undo, and checks that the folders are as they were.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
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

  // Starts shelvio-cli with args, and kills it (SIGKILL) once it has printed `lines` lines and
  // `pause` microseconds more have passed.
  void KillCli(const QStringList& args, int lines, int pause) {
    QProcess process;
    process.setProgram(SHELVIO_CLI);
    process.setArguments(args);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", Path("state"));
    process.setProcessEnvironment(environment);
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    QByteArray seen;
    while (seen.count('\n') < lines && process.waitForReadyRead(10000)) seen += process.peek(1 << 20);
    ::usleep(static_cast<useconds_t>(pause));
    // 0 once it has ended: a kill of 0 would hit this very test.
    if (const qint64 pid = process.processId(); pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    process.waitForFinished(30000);
  }

  // Empties the books and the work folders, and forgets every run.
  // (rm, since names need not be text.)
  void Reset() {
    ASSERT_TRUE(
        Shell(root_.path(), "rm -rf books bad end double state src arrived && mkdir books bad end double"));
  }

  // Archives of one book each, by name, as the tools people use make them: zip (to a file, and to
  // a pipe, with data descriptors; a cp866 name without the UTF-8 flag), 7z, Python's zipfile
  // (stored; deflated, under a UTF-8 name) and the program itself; and an invalid book, zipped.
  QMap<QString, QByteArray> MakePackedBooks() {
    Reset();
    Write("src/zip.fb2", Book("Зайцев", "Захар", "Зимний дом"));
    Write("src/pipe.fb2", Book("Павлов", "Павел", "Полный дом"));
    Write("src/7z.fb2", Book("Семёнов", "Семён", "Седьмой дом"));
    Write("src/stored.fb2", Book("Степанов", "Степан", "Старый дом"));
    Write("src/deflated.fb2", Book("Дмитриев", "Дмитрий", "Дальний дом"));
    Write("src/cp866.fb2", Book("Кузнецов", "Кирилл", "Каменный дом"));
    Write("src/wrong.fb2", kNotConforming);
    const QString src = Path("src");
    EXPECT_TRUE(Shell(src, "zip -q -X zip.fb2.zip zip.fb2 && zip -q -X - pipe.fb2 | cat > pipe.fb2.zip"));
    EXPECT_TRUE(Shell(src, "7z a -tzip -bd -bso0 7z.fb2.zip 7z.fb2"));
    EXPECT_TRUE(Shell(src,
                      "python3 -c \"import zipfile as z; "
                      "a = z.ZipFile('stored.fb2.zip', 'w', z.ZIP_STORED); a.write('stored.fb2'); a.close(); "
                      "b = z.ZipFile('deflated.fb2.zip', 'w', z.ZIP_DEFLATED); "
                      "b.write('deflated.fb2', 'Книга.fb2'); b.close()\""));
    EXPECT_TRUE(Shell(src,
                      "n=\"$(printf '\\x8a\\xad\\xa8\\xa3\\xa0.fb2')\"; cp cp866.fb2 \"$n\" && "
                      "zip -q -X cp866.fb2.zip \"$n\" && zip -q -X wrong.fb2.zip wrong.fb2"));
    // The program's own: a run packs it.
    Write("books/own.fb2", Book("Фёдоров", "Фёдор", "Свой дом"));
    WriteSettings("Rename=0\nSort=0\nArchive=1");
    EXPECT_EQ(RunOnBooks().exitCode, 0);
    EXPECT_TRUE(QFile::rename(Path("end/own.fb2.zip"), Path("src/own.fb2.zip")));
    QMap<QString, QByteArray> archives;
    for (const QString& name : QDir(src).entryList({"*.fb2.zip"}, QDir::Files)) {
      QFile file(Path("src/" + name));
      EXPECT_TRUE(file.open(QIODevice::ReadOnly));
      archives[name] = file.readAll();
    }
    EXPECT_EQ(archives.size(), 8);
    return archives;
  }
};

// The one entry of an archive as Python's zipfile reads it: its name as stored (in hex), CRC, time,
// and the SHA-256 of its bytes (which zipfile checks against the CRC).
QString EntryOf(const QString& archive) {
  QProcess python;
  python.start("python3", {"-c",
                           "import hashlib, sys, zipfile\n"
                           "[i] = zipfile.ZipFile(sys.argv[1]).infolist()\n"
                           "raw = i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')\n"
                           "data = zipfile.ZipFile(sys.argv[1]).read(i)\n"
                           "print(raw.hex(), '%08x' % i.CRC, i.date_time, hashlib.sha256(data).hexdigest())",
                           archive});
  python.waitForFinished(60000);
  return QString::fromUtf8(python.readAllStandardOutput()).trimmed();
}

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
    KillCli({"--settings", Path("setting.ini"), "--app-dir", Path("app"), Path("books")}, kill, kill * 3000);

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    EXPECT_EQ(Statuses(undo).value("kept"), Statuses(undo).value("kept") > 0 ? 1 : 0)
        << undo.lines.join("\n").toStdString();  // at most the book the kill caught before its move
    EXPECT_EQ(Raw(), before) << undo.lines.join("\n").toStdString();
  }
}

// The round trip again with books that arrive packed, in every combination of renaming, sorting
// and archiving: repacked into the program's archives, or unpacked; valid, invalid and repeated.
// Undone, every archive is back byte for byte, except one unpacked whose compressor zlib cannot
// reproduce: that one holds the very entry (name as stored, bytes, CRC, time) and its line says so.
TEST_F(CliUndo, PackedBooksComeBackAsTheyArrived) {
  for (const char* tool : {"zip", "7z", "python3"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
  const QMap<QString, QByteArray> archives = MakePackedBooks();
  // Compressors other than zlib: their deflate streams may not come back byte for byte.
  const QStringList foreign = {"zip.fb2.zip", "pipe.fb2.zip", "cp866.fb2.zip", "7z.fb2.zip"};
  int entryExact = 0, byteExact = 0;
  for (int mask = 0; mask < 8; ++mask) {
    const bool rename = mask & 1, sort = mask & 2, archive = mask & 4;
    SCOPED_TRACE(
        QStringLiteral("Rename=%1 Sort=%2 Archive=%3").arg(rename).arg(sort).arg(archive).toStdString());
    Reset();
    for (auto it = archives.cbegin(); it != archives.cend(); ++it) Write("books/" + it.key(), it.value());
    // A repeat in every combination: the same book, plain and packed, under the same name.
    Write("books/rep.fb2", kIvanov);
    ASSERT_TRUE(Shell(Path("books"), "zip -q -X rep.fb2.zip rep.fb2"));
    // A name that is no text: a book as any other, moved and given back under its very bytes.
    Write("src/bytes.fb2", Book("Тарасов", "Тарас", "Тёмный дом"));
    ASSERT_TRUE(Shell(
        Path("src"),
        "python3 -c \"import zipfile as z; a = z.ZipFile('bytes.zip', 'w', z.ZIP_DEFLATED); "
        "a.write('bytes.fb2'); a.close()\" && mv bytes.zip \"../books/$(printf '\\xe9t\\xe9').fb2.zip\""));
    WriteSettings(QStringLiteral("Rename=%1\nSort=%2\nArchive=%3").arg(rename).arg(sort).arg(archive));
    const RawTree before = Raw();
    QMap<QString, QString> entries;
    for (const QString& name : QDir(Path("books")).entryList({"*.fb2.zip"}, QDir::Files))
      entries[name] = EntryOf(Path("books/" + name));

    const Result run = RunOnBooks();
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QMap<QString, int> ran = Statuses(run);
    EXPECT_EQ(ran.value("invalid"), 1) << run.lines.join("\n").toStdString();
    EXPECT_EQ(ran.value("repeat"), 1) << run.lines.join("\n").toStdString();
    EXPECT_EQ(ran.value("moved"), 9) << run.lines.join("\n").toStdString();
    EXPECT_TRUE(QDir(Path("books")).entryList(QDir::Files).size() <= 1);  // a repeat

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    EXPECT_EQ(Statuses(undo).value("restored"), 11) << undo.lines.join("\n").toStdString();
    RawTree expected = before;
    for (const QString& line : undo.lines) {
      const QString name = QFileInfo(line.section(u'\t', 2, 2)).fileName();
      const QString reason = line.section(u'\t', 3);
      if (reason.isEmpty()) {
        byteExact += name.endsWith(".zip") ? 1 : 0;
        continue;
      }
      SCOPED_TRACE(line.toStdString());
      // Only an unpacked book whose compressor is not zlib's, and then its very entry.
      EXPECT_EQ(reason, "Rebuilt with the same book inside: its compressor could not be reproduced");
      EXPECT_FALSE(archive);
      EXPECT_TRUE(foreign.contains(name));
      EXPECT_EQ(EntryOf(Path("books/" + name)), entries.value(name));
      EXPECT_TRUE(Shell(Path("books"), "unzip -tq " + name + " && 7z t -bso0 " + name));
      expected["books/" + name.toUtf8()] = Sha256(Path("books/" + name));
      ++entryExact;
    }
    EXPECT_EQ(Raw(), expected) << undo.lines.join("\n").toStdString();

    // A second undo changes nothing.
    const Result again = Undo();
    EXPECT_EQ(Statuses(again).value("kept"), 11) << again.lines.join("\n").toStdString();
    for (const QString& line : again.lines)
      EXPECT_TRUE(line.endsWith("\tAlready in its place")) << line.toStdString();
    EXPECT_EQ(Raw(), expected);
  }
  Reset();
  // 7z's deflate is not zlib's: at least its archive comes back entry for entry when unpacked.
  EXPECT_GE(entryExact, 4);
  std::cout << "packed round trips: 8 combinations, archives back byte for byte " << byteExact
            << ", entry for entry " << entryExact << "\n";
}

// A packed book goes back only from what the run left: an archive at the target replaced by
// another that holds an entry of the same name, or recompressed, or a book unpacked there and then
// edited, stays where it is, as does one whose source name is taken again; nothing is replaced.
TEST_F(CliUndo, PackedBooksStayWhenTheirTargetChanged) {
  if (QStandardPaths::findExecutable("python3").isEmpty()) GTEST_SKIP() << "python3 is not installed";
  // name -> the book in it
  const QList<std::pair<QString, QByteArray>> books = {{"a", Book("Андреев", "Антон", "А")},
                                                       {"b", Book("Борисов", "Борис", "Б")},
                                                       {"c", Book("Васильев", "Василий", "В")}};
  const auto zipped = [&](const QString& archive, const QString& entry, const QByteArray& book, int level) {
    Write("src/book", book);
    ASSERT_TRUE(
        Shell(Path("src"), QStringLiteral("python3 -c \"import zipfile as z; "
                                          "a = z.ZipFile('%1', 'w', z.ZIP_DEFLATED, compresslevel=%3); "
                                          "a.write('book', '%2'); a.close()\"")
                               .arg(archive, entry)
                               .arg(level)));
  };
  for (const bool archive : {false, true}) {
    SCOPED_TRACE(archive ? "repacked" : "unpacked");
    Reset();
    for (const auto& [name, book] : books) zipped(Path("books/" + name + ".fb2.zip"), name + ".fb2", book, 6);
    WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1").arg(archive));
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 3);
    if (archive) {
      // a: another valid archive, its entry named as the run named it; b: the same book, compressed
      // at another level.
      zipped(Path("end/a.fb2.zip.new"), "a.fb2", Book("Андреев", "Антон", "Другое"), 6);
      zipped(Path("end/b.fb2.zip.new"), "b.fb2", books[1].second, 1);
      for (const char* name : {"a", "b"})
        ASSERT_TRUE(Shell(Path("end"), QStringLiteral("mv %1.fb2.zip.new %1.fb2.zip").arg(name)));
    } else {
      // a and b: the same number of bytes, one of them changed.
      for (const char* name : {"a", "b"}) {
        QFile file(Path(QStringLiteral("end/%1.fb2").arg(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        bytes[bytes.size() / 2] = bytes[bytes.size() / 2] ^ 1;
        file.seek(0);
        file.write(bytes);
      }
    }
    Write("books/c.fb2.zip", "the user's new file");
    Shell(root_.path(), "rm -rf src");
    const Tree before = Files();

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    QMap<QString, QString> lines;  // source name -> status and reason
    for (const QString& line : undo.lines)
      lines[QFileInfo(line.section(u'\t', 2, 2)).fileName()] =
          line.section(u'\t', 0, 0) + ": " + line.section(u'\t', 3);
    const QString changed = archive ? "kept: The archive at the target is not the one the run left there"
                                    : "kept: The file at the target is not the book the run left there";
    EXPECT_EQ(lines.value("a.fb2.zip"), changed);
    EXPECT_EQ(lines.value("b.fb2.zip"), changed);
    EXPECT_EQ(lines.value("c.fb2.zip"), "kept: The source name is taken by another file");
    EXPECT_EQ(Files(), before);
  }
}

// An undo killed at any moment loses no book: each is whole at its target or back in its archive
// (or both, for a moment), and the next undo finishes the work: the folder is as it was.
TEST_F(CliUndo, AKilledUndoLosesNothing) {
  for (const char* tool : {"zip", "7z", "python3"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
  // Large books, whose archives take long enough to rebuild to be caught: Python's (zlib's) come
  // back byte for byte; 7z's, which zlib does not reproduce, have every level tried before the
  // archive is laid out anew.
  QByteArray body;
  for (int i = 0; i < 50000; ++i) body += QByteArray::number(i * 7919 % 100003) + ' ';
  int twins = 0, temporaries = 0;  // left by the kills: books twice, unfinished archives
  for (const bool archive : {false, true}) {
    // The last pass stands for a kill between an archive's publishing and the removal of the
    // run's file, a moment too short to be caught: the archives are put back by hand.
    for (int kill = 0; kill <= 3; ++kill) {
      SCOPED_TRACE(
          QStringLiteral("%1, kill %2").arg(archive ? "repacked" : "unpacked").arg(kill).toStdString());
      Reset();
      QMap<QString, QString> entries;  // the archives' entries, as they arrived
      for (int i = 0; i < 4; ++i) {
        QByteArray book = Book(QStringLiteral("Автор%1").arg(i), "Имя", QStringLiteral("Книга %1").arg(i));
        book.replace("<p>text</p>", "<p>" + body + "</p>");
        Write(QStringLiteral("src/%1.fb2").arg(i), book);
        const QString command = i % 2 ? "7z a -tzip -bd -bso0 ../books/%1.fb2.zip %1.fb2"
                                      : "python3 -c \"import zipfile as z; a = "
                                        "z.ZipFile('../books/%1.fb2.zip', 'w', z.ZIP_DEFLATED); "
                                        "a.write('%1.fb2'); a.close()\"";
        ASSERT_TRUE(Shell(Path("src"), command.arg(i)));
        entries[QStringLiteral("%1.fb2.zip").arg(i)] =
            EntryOf(Path(QStringLiteral("books/%1.fb2.zip").arg(i)));
      }
      Shell(root_.path(), "rm -rf src");
      WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1").arg(archive));
      const RawTree before = Raw();
      ASSERT_TRUE(Shell(root_.path(), "cp -a books arrived"));
      ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 4);
      if (kill == 3) {
        ASSERT_TRUE(Shell(root_.path(), "cp -a arrived/. books/"));
      }

      if (kill < 3) KillCli({"--undo"}, kill, kill * 7000);
      // Every book whole somewhere: at its target, or in its archive.
      for (int i = 0; i < 4; ++i) {
        const QString name = QStringLiteral("%1.fb2.zip").arg(i);
        const QString target = QStringLiteral("end/%1.fb2").arg(i) + (archive ? ".zip" : "");
        const bool atTarget = QFile::exists(Path(target));
        const bool back = EntryOf(Path("books/" + name)) == entries[name];
        EXPECT_TRUE(atTarget || back) << name.toStdString();
        twins += atTarget && back ? 1 : 0;
      }
      temporaries +=
          static_cast<int>(QDir(Path("books")).entryList({".*"}, QDir::Files | QDir::Hidden).size());

      const Result undo = Undo();
      EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
      RawTree expected = before;
      for (const QString& line : undo.lines) {
        EXPECT_FALSE(line.startsWith("kept") && !line.endsWith("Already in its place")) << line.toStdString();
      }
      for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        EXPECT_EQ(EntryOf(Path("books/" + it.key())), it.value()) << it.key().toStdString();
        // 7z's, unpacked, comes back entry for entry; every other byte for byte.
        expected["books/" + it.key().toUtf8()] = Sha256(Path("books/" + it.key()));
        if (archive || it.key()[0] == '0' || it.key()[0] == '2') {
          EXPECT_EQ(expected["books/" + it.key().toUtf8()], before.at("books/" + it.key().toUtf8()));
        }
      }
      EXPECT_EQ(Raw(), expected) << undo.lines.join("\n").toStdString();
    }
  }
  std::cout << "killed undos: books left twice " << twins << ", unfinished archives " << temporaries
            << "; all resolved by the next undo\n";
}

// A kill inside a packed book's step, once the book is on record as on its way: after the book was
// published (the run's file and the archive both there), or after the archive went too, and before
// the line that says the book is done. Undo gives the archive back either way.
TEST_F(CliUndo, APackedBookCaughtInItsStepComesBack) {
  if (QStandardPaths::findExecutable("python3").isEmpty()) GTEST_SKIP() << "python3 is not installed";
  for (const bool archive : {false, true}) {
    for (const bool archiveLeft : {false, true}) {
      SCOPED_TRACE(std::string(archive ? "repacked" : "unpacked") +
                   (archiveLeft ? ", killed before the archive went" : ", killed after it went"));
      Reset();
      Write("src/a.fb2", Book("Андреев", "Андрей", "Первый дом"));
      Write("src/b.fb2", Book("Борисов", "Борис", "Второй дом"));
      ASSERT_TRUE(Shell(Path("src"),
                        "python3 -c \"import zipfile as z\n"
                        "for n, m in (('a', z.ZIP_DEFLATED), ('b', z.ZIP_STORED)):\n"
                        "  f = z.ZipFile('../books/' + n + '.fb2.zip', 'w', m); "
                        "f.write(n + '.fb2'); f.close()\""));
      Shell(root_.path(), "rm -rf src");
      Write("books/plain.fb2", Book("Васильев", "Василий", "Третий дом"));
      WriteSettings(QStringLiteral("Archive=%1").arg(archive));
      const RawTree before = Raw();
      ASSERT_TRUE(Shell(root_.path(), "cp -a books arrived"));
      ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 3);

      // What the kill leaves: the record without the lines that end the packed books.
      const QStringList records = QDir(Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files);
      ASSERT_EQ(records.size(), 1);
      QFile record(Path("state/shelvio/runs/" + records.first()));
      ASSERT_TRUE(record.open(QIODevice::ReadWrite));
      QList<QByteArray> lines = record.readAll().split('\n');
      const qsizetype count = lines.size();
      lines.removeIf([](const QByteArray& line) {
        return line.startsWith("moved\t") && line.split('\t').value(1).endsWith(".fb2.zip");
      });
      ASSERT_EQ(lines.size(), count - 2);
      ASSERT_TRUE(record.resize(0));
      record.write(lines.join('\n'));
      record.close();
      if (archiveLeft) {
        ASSERT_TRUE(Shell(root_.path(), "cp -a arrived/*.fb2.zip books/"));
      }

      const Result undo = Undo();
      EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
      EXPECT_EQ(Statuses(undo).value(archiveLeft ? "kept" : "restored"), archiveLeft ? 2 : 3)
          << undo.lines.join("\n").toStdString();
      EXPECT_EQ(Raw(), before) << undo.lines.join("\n").toStdString();
    }
  }
}

// A record is a text file that anyone can edit: a line whose target is not below the run's work
// folders, or whose source is not below the folder of the run, moves nothing, however it gets
// there ("..", a link on the way); nor is an empty folder outside the work folders removed for a
// "created" line. Each book's line is edited one way; the last book stays as the run left it.
TEST_F(CliUndo, MovesNothingOutsideTheRunsFolders) {
  struct Edit {
    const char* book;
    const char* source;  // as the record gets it ({root} for the area); empty: as it was
    const char* target;
    const char* reason;
  };
  const Edit edits[] = {
      // another file with the very bytes of the book, elsewhere
      {"a", "", "{root}/outside/a.fb2", "The target lies outside the run's work folders"},
      {"b", "", "{root}/end/../outside/b.fb2", "The target lies outside the run's work folders"},
      {"c", "", "{root}/end/link/c.fb2", "The target lies outside the run's work folders"},
      {"d", "", "{root}/end/..", "The target lies outside the run's work folders"},
      // the book itself, to be given back elsewhere
      {"e", "{root}/outside/e.fb2", "", "The source lies outside the folder of the run"},
      {"f", "{root}/books/../outside/f.fb2", "", "The source lies outside the folder of the run"},
      {"g", "{root}/books/link/g.fb2", "", "The source lies outside the folder of the run"},
  };
  for (const Edit& edit : edits)
    Write(QStringLiteral("books/%1.fb2").arg(edit.book), Book("Автор", "Имя", QString::fromUtf8(edit.book)));
  Write("books/z.fb2", Book("Автор", "Имя", "z"));
  WriteSettings("Rename=0\nSort=0");
  ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 8);
  ASSERT_TRUE(
      Shell(root_.path(),
            "mkdir -p outside/empty end/empty && ln -s ../outside end/link && ln -s ../outside books/link"
            " && for b in a b c; do cp end/$b.fb2 outside/; done"));

  const QStringList records = QDir(Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files);
  ASSERT_EQ(records.size(), 1);
  QFile record(Path("state/shelvio/runs/" + records.first()));
  ASSERT_TRUE(record.open(QIODevice::ReadWrite));
  QList<QByteArray> lines = record.readAll().split('\n');
  const auto area = [&](const char* text) {
    return QString::fromUtf8(text).replace("{root}", root_.path()).toUtf8();
  };
  for (const Edit& edit : edits) {
    for (QByteArray& line : lines) {
      QList<QByteArray> fields = line.split('\t');
      if (fields.size() < 3 || !fields[1].endsWith(QByteArray("/") + edit.book + ".fb2")) continue;
      if (*edit.source) fields[1] = area(edit.source);
      if (*edit.target) fields[2] = area(edit.target);
      line = fields.join('\t');
    }
  }
  lines.insert(lines.size() - 1, "created\t" + area("{root}/outside/empty"));
  lines.insert(lines.size() - 1, "created\t" + area("{root}/end/../outside"));
  lines.insert(lines.size() - 1, "created\t" + area("{root}/end/link"));
  lines.insert(lines.size() - 1, "created\t" + area("{root}/end/empty"));
  ASSERT_TRUE(record.resize(0));
  record.write(lines.join('\n'));
  record.close();
  const Tree before = Files();

  const Result undo = Undo();
  EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
  QMap<QString, QString> outcomes;  // the book's name -> status and reason
  for (const QString& line : undo.lines)
    outcomes[QFileInfo(line.section(u'\t', 1, 1)).fileName()] +=
        line.section(u'\t', 0, 0) + ": " + line.section(u'\t', 3);
  for (const Edit& edit : edits) {
    const QString name = *edit.target ? QFileInfo(area(edit.target)).fileName() : edit.book + QString(".fb2");
    EXPECT_EQ(outcomes.value(name), "kept: " + QString(edit.reason)) << edit.book;
  }
  EXPECT_EQ(outcomes.value("z.fb2"), "restored: ") << undo.lines.join("\n").toStdString();
  Tree expected = before;
  expected.insert("books/z.fb2", expected.take("end/z.fb2"));
  EXPECT_EQ(Files(), expected);
  // Only the folder made within the work folders goes.
  EXPECT_TRUE(QFileInfo(Path("outside/empty")).isDir());
  EXPECT_TRUE(QFileInfo(Path("end/link")).isSymLink());
  EXPECT_FALSE(QFileInfo::exists(Path("end/empty")));
  EXPECT_TRUE(undo.errors.contains("outside/empty left alone: It lies outside the run's work folders"))
      << undo.errors.toStdString();
}

// A link on the way whose full path runs past the system's limit cannot be resolved by realpath,
// though the system follows it: a line that went through one moved a file from anywhere into the
// books' folder, or a book out of the work folders to anywhere. Here two links of 2,510 bytes each
// lead to a folder 5,000 bytes deep, outside the run's folders; folders are now compared by what
// the system reaches, with no limit on their depth.
TEST_F(CliUndo, MovesNothingThroughLinksLeadingPastThePathLimit) {
  Write("books/a.fb2", Book("Автор", "Имя", "a"));
  Write("books/b.fb2", Book("Автор", "Имя", "b"));
  WriteSettings("Rename=0\nSort=0");
  ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 2);
  ASSERT_TRUE(Shell(root_.path(),
                    "d=$(printf 'd%.0s' {1..250}); half=$d; for i in {2..10}; do half=$half/$d; done; "
                    "mkdir -p deep/$half && ln -s $half deep/a && mkdir -p deep/a/$half && "
                    "ln -s $half deep/a/b && ln -s ../deep/a/b end/far && ln -s ../deep/a/b books/far && "
                    "cp end/a.fb2 end/far/a.fb2 && ! realpath end/far/a.fb2"));

  const QStringList records = QDir(Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files);
  ASSERT_EQ(records.size(), 1);
  QFile record(Path("state/shelvio/runs/" + records.first()));
  ASSERT_TRUE(record.open(QIODevice::ReadWrite));
  QList<QByteArray> lines = record.readAll().split('\n');
  for (QByteArray& line : lines) {
    QList<QByteArray> fields = line.split('\t');
    if (fields.size() < 3) continue;
    if (fields[1].endsWith("/a.fb2")) fields[2] = QFile::encodeName(Path("end/far/a.fb2"));
    if (fields[1].endsWith("/b.fb2")) fields[1] = QFile::encodeName(Path("books/far/b.fb2"));
    line = fields.join('\t');
  }
  ASSERT_TRUE(record.resize(0));
  record.write(lines.join('\n'));
  record.close();

  const Result undo = Undo();
  EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
  QMap<QString, QString> outcomes;  // the book's name -> status and reason
  for (const QString& line : undo.lines)
    outcomes[QFileInfo(line.section(u'\t', 1, 1)).fileName()] =
        line.section(u'\t', 0, 0) + ": " + line.section(u'\t', 3);
  EXPECT_EQ(outcomes.value("a.fb2"), "kept: The target lies outside the run's work folders");
  EXPECT_EQ(outcomes.value("b.fb2"), "kept: The source lies outside the folder of the run");
  // The far copy stays where it is, and the book stays in the work folder.
  EXPECT_TRUE(Shell(root_.path(),
                    "[ -f end/far/a.fb2 ] && [ ! -e books/a.fb2 ] && [ -f end/b.fb2 ] && "
                    "[ ! -e books/far/b.fb2 ]"));

  // A run whose processed folder is such a link comes back whole: realpath could not resolve the
  // folder itself, and every book in it was kept as outside.
  Reset();
  ASSERT_TRUE(Shell(root_.path(), "rm -r end && ln -s deep/a/b end"));
  Write("books/c.fb2", Book("Автор", "Имя", "c"));
  ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
  const Result again = Undo();
  EXPECT_EQ(Statuses(again).value("restored"), 1) << again.lines.join("\n").toStdString();
  EXPECT_TRUE(QFileInfo::exists(Path("books/c.fb2")));

  // Deeper than the limit, which the temporary folder's own removal does not reach.
  EXPECT_TRUE(Shell(root_.path(), "rm -rf deep"));
}

// A run makes every missing level of a work folder, and its record names each. The undo left the
// levels above the work folder itself behind, empty ("left alone: It lies outside the run's work
// folders"); they go like the rest, whether the folder is typed relative, absolute or transliterated.
TEST_F(CliUndo, RemovesTheLevelsItMadeAboveAWorkFolder) {
  const char* settings[] = {
      "EndDir=new/end",  // relative to the books' folder
      "EndDir={root}/new/end",
      "TranslitDir=1\nEndDir={root}/Новые/Готово",  // made as Novye/Gotovo
  };
  const auto folders = [&] {
    QStringList all;
    QDirIterator it(root_.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) all << QDir(root_.path()).relativeFilePath(it.next());
    all.removeIf(
        [](const QString& folder) { return folder.startsWith("app") || folder.startsWith("state"); });
    all.sort();
    return all;
  };
  for (const char* setting : settings) {
    SCOPED_TRACE(setting);
    Reset();
    ASSERT_TRUE(Shell(root_.path(), "rm -rf new Novye"));
    Write("books/a.fb2", kIvanov);
    WriteSettings(QStringLiteral("Sort=1\n") + setting);
    const Tree before = Files();
    const QStringList foldersBefore = folders();
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
    ASSERT_NE(folders(), foldersBefore);
    const Result undo = Undo();
    EXPECT_EQ(Statuses(undo).value("restored"), 1);
    EXPECT_FALSE(undo.errors.contains("left alone")) << undo.errors.toStdString();
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(folders(), foldersBefore);
  }
}

// A packed book the run moved from an archive of the program's own comes out of its repack byte for
// byte as it arrived. When the recorded source and target are one file (the books' folder made a
// link to the processed folder, or the record edited), the undo found the book "Already in its
// place" and removed the run's archive as a leftover: the book's only copy. It stays.
TEST_F(CliUndo, NeverRemovesTheBookItFindsInPlaceAsALeftover) {
  for (const bool linked : {true, false}) {
    SCOPED_TRACE(linked ? "the books' folder made a link to the processed folder" : "the record edited");
    Reset();
    ASSERT_TRUE(Shell(root_.path(), "rm -rf first books.old"));
    Write("books/a.fb2", kIvanov);
    WriteSettings("Rename=0\nSort=0\nArchive=1\nEndDir={root}/first/");
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
    ASSERT_TRUE(Shell(root_.path(), "mv first/a.fb2.zip books/ && rm -r first state"));
    const QByteArray archive = Sha256(Path("books/a.fb2.zip"));
    WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=1\nZipInput=1\nEndDir={root}/%1/")
                      .arg(linked ? "end" : "books/out"));
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
    const QString left = Path(linked ? "end/a.fb2.zip" : "books/out/a.fb2.zip");
    ASSERT_EQ(Sha256(left), archive);  // the run's archive is the one that arrived
    if (linked) {
      ASSERT_TRUE(Shell(root_.path(), "mv books books.old && ln -s end books"));
    } else {
      const QStringList records = QDir(Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files);
      ASSERT_EQ(records.size(), 1);
      QFile record(Path("state/shelvio/runs/" + records.first()));
      ASSERT_TRUE(record.open(QIODevice::ReadWrite));
      QList<QByteArray> lines = record.readAll().split('\n');
      for (QByteArray& line : lines) {
        QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 3 || !fields[1].endsWith("/a.fb2.zip")) continue;
        fields[1] = fields[2];
        line = fields.join('\t');
      }
      ASSERT_TRUE(record.resize(0));
      record.write(lines.join('\n'));
      record.close();
    }

    const Result undo = Undo();
    EXPECT_EQ(undo.exitCode, 0) << undo.errors.toStdString();
    ASSERT_EQ(undo.lines.size(), 1);
    EXPECT_TRUE(undo.lines.first().endsWith("\tAlready in its place")) << undo.lines.first().toStdString();
    EXPECT_EQ(Sha256(left), archive);
    ASSERT_TRUE(Shell(root_.path(), "rm -rf books && if [ -d books.old ]; then mv books.old books; fi"));
  }
}

// Where the record kept no layout of an archive the run unpacked or repacked, the undo lays the
// entry out from the record's fields. A record damaged in the entry's CRC gave back an archive that no
// tool opens (its CRC wrong) and removed the good book; one with a folder in the entry's name (which
// the run never takes) gave back an entry that unpacks outside its folder. Both stay at the target,
// with the reason; the record undamaged still gives the archive back, entry for entry.
TEST_F(CliUndo, AnArchiveIsNotRebuiltFromADamagedRecord) {
  if (QStandardPaths::findExecutable("python3").isEmpty()) GTEST_SKIP() << "python3 is not installed";
  struct Damage {
    const char* name;
    int field;  // after the "zip" field: 2 the entry's name, 4 its CRC; 0 none
    const char* value;
  };
  const Damage damages[] = {{"none", 0, ""}, {"crc", 4, "deadbeef"}, {"name", 2, "../../a.fb2"}};
  for (const bool repack : {false, true}) {
    for (const Damage& damage : damages) {
      SCOPED_TRACE(std::string(repack ? "repacked, " : "unpacked, ") + damage.name);
      Reset();
      Write("books/a.fb2", kIvanov);
      ASSERT_TRUE(Shell(Path("books"),
                        "python3 -c \"import zipfile as z; a = z.ZipFile('a.fb2.zip', 'w', z.ZIP_DEFLATED); "
                        "a.write('a.fb2'); a.close()\" && rm a.fb2"));
      WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1\nZipInput=1").arg(repack));
      ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
      const QString target = Path(repack ? "end/a.fb2.zip" : "end/a.fb2");
      const QByteArray left = Sha256(target);

      const QStringList records = QDir(Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files);
      ASSERT_EQ(records.size(), 1);
      QFile record(Path("state/shelvio/runs/" + records.first()));
      ASSERT_TRUE(record.open(QIODevice::ReadWrite));
      QList<QByteArray> lines = record.readAll().split('\n');
      int edited = 0;
      for (QByteArray& line : lines) {
        QList<QByteArray> fields = line.split('\t');
        const qsizetype zip = fields.indexOf("zip", 3);
        if (zip < 0 || fields.size() != zip + 13) continue;
        fields[zip + 11].clear();  // no layout kept
        fields[zip + 12].clear();
        if (damage.field != 0) fields[zip + damage.field] = damage.value;
        line = fields.join('\t');
        ++edited;
      }
      ASSERT_EQ(edited, 2);  // the line before the move, and the book's own
      ASSERT_TRUE(record.resize(0));
      record.write(lines.join('\n'));
      record.close();

      const Result undo = Undo();
      ASSERT_EQ(undo.lines.size(), 1);
      const QString outcome =
          undo.lines.first().section(u'\t', 0, 0) + ": " + undo.lines.first().section(u'\t', 3);
      if (damage.field == 0) {
        EXPECT_EQ(outcome, "restored: Rebuilt with the same book inside: the archive's layout was not kept");
        EXPECT_EQ(EntryOf(Path("books/a.fb2.zip")).section(u' ', -1).toUtf8(),
                  QCryptographicHash::hash(kIvanov, QCryptographicHash::Sha256).toHex());
        EXPECT_FALSE(QFileInfo::exists(target));
      } else {
        EXPECT_EQ(outcome, repack ? "kept: The archive at the target is not the one the run left there"
                                  : "kept: The file at the target is not the book the run left there");
        EXPECT_EQ(Sha256(target), left);
        EXPECT_FALSE(QFileInfo::exists(Path("books/a.fb2.zip")));
      }
    }
  }
}

// A packed book given back while the run's file cannot be removed (an immutable file here; a
// read-only work folder alike) was reported "restored" with no word of the copy left at the target.
// The line now says so; the book is back at its source either way. A second undo, once the file can
// go, found a book the run packed "Already in its place" and left the run's archive for good: the
// book twice. It removes the run's file now, while it is still the one the run left; one changed
// meanwhile stays, with the reason.
TEST_F(CliUndo, SaysWhenTheRunsFileCouldNotBeRemoved) {
  if (QStandardPaths::findExecutable("python3").isEmpty()) GTEST_SKIP() << "python3 is not installed";
  struct Case {
    const char* name;
    bool arrivedPacked;
    const char* change;  // a shell command run on the leftover between the undos; empty for none
  };
  const Case cases[] = {
      {"a book the run packed", false, ""},
      {"an archive the run unpacked", true, ""},
      {"a book the run packed, its archive changed meanwhile", false,
       "python3 -c \"import zipfile as z; a = z.ZipFile('end/a.fb2.zip', 'w', z.ZIP_DEFLATED); "
       "a.writestr('a.fb2', open('books/a.fb2', 'rb').read() + b' '); a.close()\""},
      {"a book the run packed, its archive's compressed bytes damaged meanwhile", false,
       "python3 -c \"import struct; d = bytearray(open('end/a.fb2.zip', 'rb').read()); "
       "n, e = struct.unpack('<HH', d[26:30]); d[30 + n + e + 8] ^= 0xff; "
       "open('end/a.fb2.zip', 'wb').write(d)\""},
      {"an archive the run unpacked, its book changed meanwhile", true, "echo >> end/a.fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Write("books/a.fb2", kIvanov);
    if (c.arrivedPacked) {
      ASSERT_TRUE(Shell(Path("books"),
                        "python3 -c \"import zipfile as z; a = z.ZipFile('a.fb2.zip', 'w', z.ZIP_DEFLATED); "
                        "a.write('a.fb2'); a.close()\" && rm a.fb2"));
    }
    WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1\nZipInput=1").arg(!c.arrivedPacked));
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
    const QString target = c.arrivedPacked ? "end/a.fb2" : "end/a.fb2.zip";
    const QString source = Path(c.arrivedPacked ? "books/a.fb2.zip" : "books/a.fb2");
    if (!Shell(root_.path(), "chattr +i " + target)) GTEST_SKIP() << "chattr +i is refused here";
    const Result undo = Undo();
    Shell(root_.path(), "chattr -i " + target);
    ASSERT_EQ(undo.lines.size(), 1);
    EXPECT_EQ(undo.lines.first().section(u'\t', 0, 0), "restored");
    EXPECT_TRUE(undo.lines.first().section(u'\t', 3).contains("could not be removed"))
        << undo.lines.first().toStdString();
    EXPECT_TRUE(QFileInfo::exists(source));

    const bool changed = *c.change != '\0';
    if (changed) {
      ASSERT_TRUE(Shell(root_.path(), c.change));
    }
    const QByteArray left = Sha256(Path(target));
    const QByteArray atSource = Sha256(source);
    const Result again = Undo();
    ASSERT_EQ(again.lines.size(), 1);
    const QString reason = again.lines.first().section(u'\t', 3);
    EXPECT_TRUE(reason.startsWith("Already in its place")) << reason.toStdString();
    EXPECT_EQ(Sha256(source), atSource);
    if (changed) {
      EXPECT_EQ(Sha256(Path(target)), left);
      if (!c.arrivedPacked) {
        EXPECT_EQ(reason,
                  "Already in its place; the archive at the target is not the one the run left there "
                  "and was kept");
      }
    } else {
      EXPECT_EQ(QDir(Path("end")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList())
          << reason.toStdString();
    }
  }
}

// --undo of what is no record file: /dev/zero was read until memory ran out, a FIFO's open waited
// for a writer for ever. Each is refused at once with the reason, without reading it, within an
// address-space limit well below what reading /dev/zero would reach.
TEST_F(CliUndo, RefusesWhatIsNoRecordFileWithoutReadingIt) {
  ASSERT_EQ(::mkfifo(QFile::encodeName(Path("fifo")).constData(), 0600), 0);
  ASSERT_TRUE(Shell(root_.path(), "truncate -s 2G huge.run"));  // sparse: takes no room
  const QString notAFile = "is not a record of a run: not a regular file";
  const std::pair<QString, QString> cases[] = {
      {"/dev/zero", notAFile},
      {Path("fifo"), notAFile},
      {Path("books"), notAFile},
      {Path("huge.run"), "is too large for a record"},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path.toStdString());
    QProcess process;
    process.setProgram(SHELVIO_CLI);
    process.setArguments({"--undo", path});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", Path("state"));
    process.setProcessEnvironment(environment);
    // AddressSanitizer's shadow memory alone is larger than the limit; there the timeout and the
    // sanitizer watch instead.
#ifndef __SANITIZE_ADDRESS__
    process.setChildProcessModifier([] {
      const rlimit limit{512 << 20, 512 << 20};
      ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    const bool ended = process.waitForFinished(20000);
    if (!ended) process.kill();
    process.waitForFinished();
    EXPECT_TRUE(ended) << "still running after 20 s";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_TRUE(errors.contains(path + " " + error)) << errors.toStdString();
  }
}

// A book the run packed came back from the undo with the undo's moment as its modification time;
// it gets the time it had, which its archive's entry keeps (to the two seconds MS-DOS time has).
TEST_F(CliUndo, ABookComesBackWithTheTimeItHad) {
  for (const bool archive : {false, true}) {
    SCOPED_TRACE(archive ? "packed" : "moved");
    Reset();
    Write("books/a.fb2", kIvanov);
    const QByteArray book = QFile::encodeName(Path("books/a.fb2"));
    struct tm local {};
    local.tm_year = 101, local.tm_mon = 1, local.tm_mday = 3, local.tm_hour = 4, local.tm_min = 5,
    local.tm_sec = 6, local.tm_isdst = -1;
    const timespec times[2] = {{::mktime(&local), 0}, {::mktime(&local), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, book.constData(), times, 0), 0);
    WriteSettings(QStringLiteral("Archive=%1").arg(archive));
    ASSERT_EQ(Statuses(RunOnBooks()).value("moved"), 1);
    ASSERT_EQ(Statuses(Undo()).value("restored"), 1);
    struct stat info {};
    ASSERT_EQ(::stat(book.constData(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, times[1].tv_sec);
  }
}

// Archives of odd but readable layouts, unpacked and repacked: Zip64 records, the longest comment,
// bytes appended after the end record. Each came back rebuilt with "its compressor could not be
// reproduced", which was not the cause; now each comes back byte for byte. One more never reaches
// an undo: an entry whose stated compressed size runs on into the headers after it is not one
// archive that every reader sees alike, so the run keeps it where it is, untouched.
TEST_F(CliUndo, OddButReadableArchivesComeBackWithTheTrueReason) {
  for (const char* tool : {"zip", "python3"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
  const char* const kinds[] = {"overrun", "trailing", "zip64", "comment"};
  const QStringList keptByRun = {"overrun.fb2.zip"};
  for (const bool archive : {false, true}) {
    SCOPED_TRACE(archive ? "repacked" : "unpacked");
    Reset();
    for (const char* name : kinds)
      Write(QStringLiteral("src/%1.fb2").arg(name), Book("Автор", "Имя", QString::fromUtf8(name)));
    ASSERT_TRUE(Shell(Path("src"),
                      "python3 -c \"import zipfile as z, struct\n"
                      "for n in ('overrun', 'trailing', 'comment'):\n"
                      "  a = z.ZipFile('../books/' + n + '.fb2.zip', 'w', z.ZIP_DEFLATED)\n"
                      "  a.write(n + '.fb2')\n"
                      "  a.comment = b'c' * (65535 if n == 'comment' else 0)\n"
                      "  a.close()\n"
                      "open('../books/trailing.fb2.zip', 'ab').write(b'appended')\n"
                      "b = bytearray(open('../books/overrun.fb2.zip', 'rb').read())\n"
                      "c = b.rfind(b'PK\\x01\\x02')\n"
                      "size = struct.unpack('<I', b[18:22])[0] + 10\n"
                      "b[18:22] = b[c + 20:c + 24] = struct.pack('<I', size)\n"
                      "open('../books/overrun.fb2.zip', 'wb').write(b)\" && "
                      "zip -q -X -fz ../books/zip64.fb2.zip zip64.fb2"));
    Shell(root_.path(), "rm -rf src");
    QMap<QString, QString> entries;
    for (const char* name : kinds) {
      const QString file = QStringLiteral("%1.fb2.zip").arg(name);
      entries[file] = EntryOf(Path("books/" + file));
      ASSERT_FALSE(entries[file].isEmpty()) << name;
    }
    WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1").arg(archive));
    const RawTree before = Raw();
    const Result run = RunOnBooks();
    ASSERT_EQ(Statuses(run).value("moved"), 3) << run.lines.join("\n").toStdString();
    for (const QString& line : run.lines) {
      if (!keptByRun.contains(line.section(u'\t', 1, 1))) continue;
      EXPECT_TRUE(line.startsWith("kept\t")) << line.toStdString();
      EXPECT_TRUE(line.contains("not one archive that every reader sees alike")) << line.toStdString();
    }

    const Result undo = Undo();
    ASSERT_EQ(undo.lines.size(), 3) << undo.errors.toStdString();
    QMap<QString, QString> lines;  // archive -> status and reason
    for (const QString& line : undo.lines)
      lines[QFileInfo(line.section(u'\t', 2, 2)).fileName()] =
          line.section(u'\t', 0, 0) + ": " + line.section(u'\t', 3);
    for (const char* name : kinds) {
      const QString file = QStringLiteral("%1.fb2.zip").arg(name);
      if (keptByRun.contains(file)) continue;
      EXPECT_EQ(lines.value(file), "restored: ") << name;
      EXPECT_EQ(EntryOf(Path("books/" + file)), entries[file]) << name;
    }
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

// A state folder that cannot be written (a read-only home, work folders elsewhere) let the books
// move with no record, so the run could not be undone, and said so only after the last book. Now
// the run stops before the first book unless --without-undo asks for it, and then says so first.
TEST_F(CliUndo, NoRecordNoMoveUnlessTheUserAsks) {
  Write("books/a.fb2", kIvanov);
  Write("books/b.fb2", kNotWellFormed);
  WriteSettings("Rename=0\nSort=0");
  // Below a file: no folder can be made there, whoever runs the test (root included).
  Write("home-file", "not a folder");
  environment_["XDG_STATE_HOME"] = Path("home-file/state");
  const RawTree before = Raw();

  const Result refused = RunOnBooks();
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(refused.lines.isEmpty());
  EXPECT_TRUE(refused.errors.contains("no record of the run can be written")) << refused.errors.toStdString();
  EXPECT_TRUE(refused.errors.contains("--without-undo")) << refused.errors.toStdString();
  EXPECT_EQ(Raw(), before) << "a book moved, or a folder was made";

  const Result allowed = RunOnBooks({"--without-undo"});
  EXPECT_EQ(allowed.exitCode, 0) << allowed.errors.toStdString();
  EXPECT_EQ(Statuses(allowed), (QMap<QString, int>{{"moved", 1}, {"invalid", 1}}));
  EXPECT_TRUE(allowed.errors.startsWith("shelvio-cli: warning: no record of the run can be written"))
      << "said before the first book: " << allowed.errors.toStdString();
  EXPECT_TRUE(QFile::exists(Path("end/a.fb2")));

  // A dry run writes no record and is not stopped.
  Write("books/c.fb2", kIvanov);
  EXPECT_EQ(RunOnBooks({"--dry-run"}).exitCode, 0);
}

}  // namespace
