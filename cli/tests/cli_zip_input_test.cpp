// .fb2.zip books through the built shelvio-cli: archives made by zip, 7z, Python and the program
// itself, checked by an inventory of every book and every archive entry before and after.

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include "cli_test_support.h"

namespace {

using namespace clitest;

// Every book below folder by the SHA-256 of its bytes: a plain file as it is, each archive entry
// inflated (by Python's zipfile, which checks every CRC). A file that is not a readable archive
// counts by its own bytes. Sorted, so that two inventories compare whatever the names.
QStringList Inventory(const QString& folder) {
  QProcess python;
  python.start("python3", {"-c", R"(
import hashlib, os, sys, zipfile
out = []
for top, folders, files in os.walk(sys.argv[1]):
    # The run records are the run's own, not books.
    if top == sys.argv[1] and 'state' in folders: folders.remove('state')
    for name in files:
        path = os.path.join(top, name)
        if name.lower().endswith('.zip'):
            try:
                with zipfile.ZipFile(path) as z:
                    for info in z.infolist():
                        out.append(hashlib.sha256(z.read(info)).hexdigest())
                continue
            except Exception:
                pass
        out.append(hashlib.sha256(open(path, 'rb').read()).hexdigest())
print('\n'.join(sorted(out)))
)",
                           folder});
  python.waitForFinished(120000);
  return QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The names of the entries of one archive, as bytes in hex, and whether unzip -t accepts it.
QString EntryNames(const QString& archive) {
  QProcess python;
  python.start("python3", {"-c",
                           "import sys, zipfile\n"
                           "z = zipfile.ZipFile(sys.argv[1])\n"
                           "assert z.testzip() is None\n"
                           "print('|'.join(i.filename for i in z.infolist()))",
                           archive});
  python.waitForFinished(60000);
  return QString::fromUtf8(python.readAllStandardOutput()).trimmed();
}

class ZipInput : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    for (const char* tool : {"zip", "7z", "python3", "unzip", "bsdtar"})
      if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    MakeArchives();
  }

  void MakeArchives() {
    Write("src/a.fb2", Book("Иванов", "Иван", "Тихий дом"));
    Write("src/b.fb2", Book("Петров", "Пётр", "Шумный дом"));
    Write("src/c.fb2", Book("Сидоров", "Сидор", "Старый дом"));
    Write("src/d.fb2", Book("Козлов", "Кузьма", "Новый дом"));
    Write("src/e.fb2", Book("Орлов", "Олег", "Белый дом"));
    Write("src/wrong.fb2", kNotConforming);
    const QString src = Path("src");
    const QString books = Path("books");
    // zip, seekable output: sizes in the local header
    ASSERT_TRUE(Shell(src, "zip -q -X " + books + "/a.FB2.ZIP a.fb2"));
    // zip writing to a pipe: data descriptors after the data
    ASSERT_TRUE(Shell(src, "zip -q -X - b.fb2 | cat > " + books + "/b.fb2.zip"));
    // 7z
    ASSERT_TRUE(Shell(src, "7z a -tzip -bd -bso0 " + books + "/c.fb2.zip c.fb2"));
    // Python's zipfile, deflated, with a name in UTF-8
    ASSERT_TRUE(Shell(src, "python3 -c \"import zipfile; z = zipfile.ZipFile('" + books +
                               "/d.fb2.zip', 'w', zipfile.ZIP_DEFLATED); "
                               "z.write('d.fb2', 'Книга.fb2'); z.close()\""));
    // an entry name in cp866, as DOS-era tools wrote it (no UTF-8 flag)
    ASSERT_TRUE(Shell(src,
                      "cp e.fb2 \"$(printf '\\x8a\\xad\\xa8\\xa3\\xa0.fb2')\" && "
                      "zip -q -X " +
                          books + "/e.fb2.zip \"$(printf '\\x8a\\xad\\xa8\\xa3\\xa0.fb2')\""));
    ASSERT_TRUE(Shell(src, "zip -q -X " + books + "/wrong.fb2.zip wrong.fb2"));
    // Not books: each stays where it is, unchanged.
    ASSERT_TRUE(Shell(src, "zip -q -X " + books + "/two.fb2.zip a.fb2 b.fb2"));
    ASSERT_TRUE(
        Shell(src, "mkdir -p dir && cp a.fb2 dir/ && zip -q -X " + books + "/folder.fb2.zip dir/a.fb2"));
    ASSERT_TRUE(Shell(src, "zip -q -X -P secret " + books + "/locked.fb2.zip a.fb2"));
    ASSERT_TRUE(Shell(src, "python3 -c \"import zipfile; z = zipfile.ZipFile('" + books +
                               "/bzip.fb2.zip', 'w', zipfile.ZIP_BZIP2); z.write('a.fb2'); z.close()\""));
    ASSERT_TRUE(Shell(src, "head -c 300 " + books + "/a.FB2.ZIP > " + books + "/cut.fb2.zip"));
    ASSERT_TRUE(Shell(src, "python3 -c \"import zipfile; z = zipfile.ZipFile('" + books +
                               "/bomb.fb2.zip', 'w', zipfile.ZIP_DEFLATED); "
                               "z.writestr('bomb.fb2', b'<' + b' ' * (64 << 20)); z.close()\""));
    ASSERT_TRUE(Shell(src, "printf 'not a zip' > " + books + "/text.fb2.zip"));
    QDir(src).removeRecursively();
  }
};

// Archiving on: each book lands in an archive of our own, one entry under its new name, its
// compressed bytes as they were; archiving off: the book itself. Invalid books move unchanged,
// archives that are not books stay, and no book is lost or changed either way.
TEST_F(ZipInput, EveryKindOfArchiveIsSortedAndNothingIsLost) {
  const QStringList notBooks = {"two", "folder", "locked", "bzip", "cut", "bomb", "text"};
  for (const bool archiving : {true, false}) {
    SCOPED_TRACE(archiving ? "archiving" : "not archiving");
    if (!archiving) {
      // The same archives again, from the first pass's inventory.
      QDir(Path("end")).removeRecursively();
      QDir(Path("bad")).removeRecursively();
      QDir(Path("books")).removeRecursively();
      for (const char* folder : {"books", "bad", "end"}) QDir(root_.path()).mkpath(folder);
      MakeArchives();
    }
    WriteSettings(QStringLiteral("Sort=0\nArchive=%1").arg(archiving ? 1 : 0));
    const QStringList before = Inventory(root_.path());
    const Tree untouched = Files("books");

    const Result result = RunOnBooks();
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    QMap<QString, QString> status;
    for (const QString& line : result.lines) status[line.section(u'\t', 1, 1)] = line;
    ASSERT_EQ(status.size(), 13) << result.lines.join("\n").toStdString();

    const QString suffix = archiving ? ".fb2.zip" : ".fb2";
    for (const QString name :
         {"Иванов Иван - Тихий дом", "Петров Пётр - Шумный дом", "Сидоров Сидор - Старый дом",
          "Козлов Кузьма - Новый дом", "Орлов Олег - Белый дом"}) {
      SCOPED_TRACE(name.toStdString());
      const QString target = Path("end/" + name + suffix);
      EXPECT_TRUE(QFile::exists(target));
      if (archiving) {
        EXPECT_EQ(EntryNames(target), name + ".fb2");
        EXPECT_TRUE(Shell(root_.path(), "unzip -tq '" + target + "' && 7z t -bso0 '" + target +
                                            "' && bsdtar -tf '" + target + "' > /dev/null"));
      }
    }
    for (const char* source : {"a.FB2.ZIP", "b.fb2.zip", "c.fb2.zip", "d.fb2.zip", "e.fb2.zip"})
      EXPECT_TRUE(status[source].startsWith("moved\t")) << status[source].toStdString();
    EXPECT_TRUE(status["wrong.fb2.zip"].startsWith("invalid\t"));
    EXPECT_EQ(Sha256(Path("bad/wrong.fb2.zip")), untouched.value("books/wrong.fb2.zip"));
    for (const QString& name : notBooks) {
      const QString file = name + ".fb2.zip";
      EXPECT_TRUE(status[file].startsWith("kept\t")) << status[file].toStdString();
      EXPECT_TRUE(status[file].contains("not a book")) << status[file].toStdString();
      EXPECT_EQ(Sha256(Path("books/" + file)), untouched.value("books/" + file)) << file.toStdString();
    }
    EXPECT_EQ(Inventory(root_.path()), before);
  }
}

// A taken destination (the book's name, or with archiving on its archive's name) sends the archive,
// unchanged, to the folder for repeated files, and leaves what holds the name alone; with ZipInput
// off archives are not listed at all.
TEST_F(ZipInput, RepeatsMoveTheArchiveAndTheSettingTurnsItOff) {
  for (const QString& name : QDir(Path("books")).entryList(QDir::Files))
    if (name != "a.FB2.ZIP") QFile::remove(Path("books/" + name));
  const QByteArray source = Sha256(Path("books/a.FB2.ZIP"));
  WriteSettings("Sort=0\nArchive=1\nZipInput=0");
  EXPECT_TRUE(RunOnBooks().lines.isEmpty());

  struct Case {
    bool archiving;
    const char* taken;
  };
  for (const Case c : {Case{true, ".fb2.zip"}, Case{true, ".fb2"}, Case{false, ".fb2"}}) {
    SCOPED_TRACE(std::string(c.archiving ? "archiving, " : "not archiving, ") + c.taken + " taken");
    QDir(Path("end")).removeRecursively();
    QFile::rename(Path("double/a.FB2.ZIP"), Path("books/a.FB2.ZIP"));
    const QString taken = Path(QStringLiteral("end/Иванов Иван - Тихий дом") + c.taken);
    Write(QDir(root_.path()).relativeFilePath(taken), "taken");
    WriteSettings(QStringLiteral("Sort=0\nArchive=%1").arg(c.archiving ? 1 : 0));
    const Result result = RunOnBooks();
    ASSERT_EQ(result.lines.size(), 1) << result.errors.toStdString();
    EXPECT_TRUE(result.lines[0].startsWith("repeat\t")) << result.lines[0].toStdString();
    EXPECT_EQ(Sha256(Path("double/a.FB2.ZIP")), source);
    EXPECT_EQ(QDir(Path("end")).entryList(QDir::Files | QDir::Hidden),
              QStringList{QFileInfo(taken).fileName()});
  }
}

// Two archives in one file, or an archive with bytes around it, are one book to our reader and
// another to the next: placing "its" book and removing the file would lose the other. Each such file
// stays where it is, untouched, with its reason; the readers named show that the second book is
// really there for someone.
TEST_F(ZipInput, ArchivesThatReadersSeeDifferentlyStayUntouched) {
  for (const QString& name : QDir(Path("books")).entryList(QDir::Files)) QFile::remove(Path("books/" + name));
  Write("src/a.fb2", Book("Иванов", "Иван", "Тихий дом"));
  Write("src/b.fb2", Book("Петров", "Пётр", "Шумный дом"));
  // a.zip and b.zip hold one book each; every case is put together from their bytes.
  ASSERT_TRUE(Shell(Path("src"), R"(python3 - <<'PY'
import struct, zipfile
for n in 'ab':
    with zipfile.ZipFile(n + '.zip', 'w', zipfile.ZIP_DEFLATED) as z: z.write(n + '.fb2')
a, b = open('a.zip', 'rb').read(), open('b.zip', 'rb').read()
def split(z):
    # local part (header, name, data) and the central directory with its end record
    cd = struct.unpack('<I', z[-6:-2])[0]
    return z[:cd], z[cd:]
aLocal, aCentral = split(a)
bLocal, _ = split(b)
# B's local entry in the gap between A's data and A's central directory, A's offsets moved on.
end = bytearray(aCentral[-22:])
struct.pack_into('<I', end, 16, len(aLocal) + len(bLocal))
hidden = aLocal + bLocal + aCentral[:-22] + bytes(end)
# B's local entry before A, A's offsets moved on so that A still reads from its directory.
shifted = bytearray(aCentral)
struct.pack_into('<I', shifted, 42, len(bLocal))
struct.pack_into('<I', shifted, len(shifted) - 6, len(bLocal) + len(aLocal))
before = bLocal + aLocal + bytes(shifted)
# B as the comment of A's end record: readers that search from the end find B's end record.
commented = bytearray(a)
struct.pack_into('<H', commented, len(a) - 2, len(b))
cases = {'a-then-b': a + b, 'b-then-a': b + a, 'before': before,
         'after': a + b'\0' * 64, 'hidden': hidden, 'comment': bytes(commented) + b}
for name, data in cases.items(): open('../books/' + name + '.fb2.zip', 'wb').write(data)
PY)"));
  // One archive as others lay it out must still be taken: a comment, Zip64 extra fields, and
  // 8-byte sizes in a data descriptor (written to a pipe); and "after" above.
  Write("src/c.fb2", Book("Сидоров", "Сидор", "Старый дом"));
  Write("src/d.fb2", Book("Козлов", "Кузьма", "Новый дом"));
  Write("src/e.fb2", Book("Орлов", "Олег", "Белый дом"));
  ASSERT_TRUE(Shell(Path("src"), R"(python3 - <<'PY'
import zipfile
with zipfile.ZipFile('../books/with-comment.fb2.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.write('c.fb2')
    z.comment = b'from a library'
with zipfile.ZipFile('../books/zip64.fb2.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open('d.fb2', 'w', force_zip64=True) as f: f.write(open('d.fb2', 'rb').read())
PY)"));
  ASSERT_TRUE(Shell(Path("src"),
                    "python3 -c \"import sys, zipfile\n"
                    "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                    "    with z.open('e.fb2', 'w', force_zip64=True) as f: "
                    "f.write(open('e.fb2', 'rb').read())\" | cat > ../books/piped64.fb2.zip"));
  QDir(Path("src")).removeRecursively();
  // Bytes after the end record that hold no record hide nothing: every reader sees A alone.
  const QStringList wellMade = {"with-comment.fb2.zip", "zip64.fb2.zip", "piped64.fb2.zip", "after.fb2.zip"};

  // Where the other book shows: a reader's command that must list b.fb2 (bsdtar reading a stream
  // takes the local headers in their order); none for bytes of no book.
  const QMap<QString, QString> otherBookShows = {
      {"a-then-b", "python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).namelist())' {}"},
      {"b-then-a", "cat {} | bsdtar -tf -"},
      {"before", "cat {} | bsdtar -tf -"},
      {"hidden", "cat {} | bsdtar -tf -"},
      {"comment", "python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).namelist())' {}"},
  };
  for (auto it = otherBookShows.begin(); it != otherBookShows.end(); ++it) {
    SCOPED_TRACE(it.key().toStdString());
    QString command = it.value();
    EXPECT_TRUE(Shell(Path("books"), command.replace("{}", it.key() + ".fb2.zip") + " | grep -q b.fb2"));
  }

  Tree before = Files("books");
  for (const QString& name : wellMade) before.remove("books/" + name);
  for (const bool archiving : {true, false}) {
    SCOPED_TRACE(archiving ? "archiving" : "not archiving");
    // Each book to a name of its own (the file's), so that none is a repeat of another.
    WriteSettings(QStringLiteral("Rename=0\nSort=0\nArchive=%1").arg(archiving ? 1 : 0));
    const Result result = RunOnBooks();
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_EQ(result.lines.size(), archiving ? 9 : 5) << result.lines.join("\n").toStdString();
    for (const QString& line : result.lines) {
      if (wellMade.contains(line.section(u'\t', 1, 1))) {
        EXPECT_TRUE(line.startsWith("moved\t")) << line.toStdString();
        continue;
      }
      EXPECT_TRUE(line.startsWith("kept\t")) << line.toStdString();
      EXPECT_TRUE(line.contains("not one archive that every reader sees alike")) << line.toStdString();
    }
    EXPECT_EQ(Files("books"), before);
    EXPECT_EQ(QDir(Path("end")).entryList(QDir::Files).size(), archiving ? 4 : 0);
    QDir(Path("end")).removeRecursively();
  }
}

// Pointed at its own output, a run found each archive's destination taken by the archive itself
// and moved every book to the folder for repeated files, emptying the library. Each book there is
// its own destination: kept where it is, as a plain book is, and nothing moves.
TEST_F(ZipInput, ARunOverItsOwnOutputLeavesEveryBookInPlace) {
  struct Case {
    const char* settings;
    const char* output;  // the folder the first run fills, which the second run is pointed at
  };
  for (const Case c : {Case{"Sort=0\nArchive=1", "end"}, Case{"Archive=1", "end/И/Иванов Иван"}}) {
    SCOPED_TRACE(c.settings);
    for (const char* folder : {"books", "end", "double", "bad"}) QDir(Path(folder)).removeRecursively();
    for (const char* folder : {"books", "end", "double", "bad"}) QDir(root_.path()).mkpath(folder);
    Write("books/a.fb2", Book("Иванов", "Иван", "Тихий дом"));
    Write("books/b.fb2", Book("Иванов", "Иван", "Шумный дом"));
    WriteSettings(c.settings);
    ASSERT_EQ(RunOnBooks().lines.size(), 2);
    const Tree before = Files();
    ASSERT_EQ(before.size(), 2);

    const Result again = RunCli({"--app-dir", Path("app"), Path(c.output)});
    ASSERT_EQ(again.exitCode, 0) << again.errors.toStdString();
    ASSERT_EQ(again.lines.size(), 2);
    for (const QString& line : again.lines) {
      const QStringList fields = line.split(u'\t');
      EXPECT_EQ(fields.value(0), "kept") << line.toStdString();
      EXPECT_EQ(fields.value(2), Path(c.output) + "/" + fields.value(1)) << line.toStdString();
      EXPECT_EQ(fields.value(3), "Already at its destination") << line.toStdString();
    }
    EXPECT_EQ(Files(), before);
  }
}

}  // namespace
