// Names as real collections have them: file and folder names that are not UTF-8, titles that span
// lines, start with a dot or run past the file system's limit, and folder values typed without
// their "/". Paths go to the program and come back from it as bytes, never through QString.

#include "cli/tests/cli_test_support.h"

#include <QCryptographicHash>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using clitest::Cli;

QByteArray Sha256Of(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray ReadBytes(const QByteArray& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}

void WriteBytes(const QByteArray& path, const QByteArray& bytes) {
  std::ofstream out(path.toStdString(), std::ios::binary);
  out.write(bytes.constData(), bytes.size());
  ASSERT_TRUE(out.good()) << path.toStdString();
}

// Every regular file below root by its path's bytes, with the SHA-256 of its content.
std::map<QByteArray, QByteArray> FilesBelow(const QByteArray& root) {
  QProcess find;
  find.start("find", {QString::fromUtf8(root), "-type", "f", "-print0"});
  EXPECT_TRUE(find.waitForFinished());
  std::map<QByteArray, QByteArray> files;
  for (const QByteArray& path : find.readAllStandardOutput().split('\0')) {
    if (!path.isEmpty()) files[path] = Sha256Of(ReadBytes(path));
  }
  return files;
}

// One field of the program's output back to the bytes it stands for.
QByteArray Unescape(const QByteArray& field) {
  QByteArray bytes;
  for (qsizetype i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 >= field.size()) {
      bytes += field[i];
      continue;
    }
    const char next = field[++i];
    if (next == 't') bytes += '\t';
    else if (next == 'n') bytes += '\n';
    else if (next == 'r') bytes += '\r';
    else if (next == '\\') bytes += '\\';
    else if (next == 'x') {
      bytes += static_cast<char>(field.mid(i + 1, 2).toInt(nullptr, 16));
      i += 2;
    } else {
      ADD_FAILURE() << "unknown escape in " << field.toStdString();
    }
  }
  return bytes;
}

// A path in the form printf's %b reads, so that a shell hands its bytes to the program unchanged
// (QProcess would pass arguments through UTF-8 and lose them).
QByteArray OctalEscaped(const QByteArray& bytes) {
  QByteArray text;
  for (const char c : bytes) text += "\\0" + QByteArray::number(static_cast<unsigned char>(c), 8);
  return text;
}

class CliNames : public Cli {
 protected:
  void TearDown() override {
    // QTemporaryDir cannot remove names that are not UTF-8.
    QProcess::execute("rm", {"-rf", root_.path()});
  }

  QByteArray Root() const { return QFile::encodeName(root_.path()); }

  // Runs the program on folder (bytes); every line of standard output split into its fields.
  std::vector<QList<QByteArray>> RunOnFolder(const QByteArray& folder, QString* errors) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BOOKS", QString::fromLatin1(OctalEscaped(folder)));
    process.setProcessEnvironment(environment);
    process.start("/bin/sh", {"-c", "exec \"$0\" \"$@\" \"$(printf %b \"$BOOKS\")\"", SHELVIO_CLI,
                              "--app-dir", Path("app"), "--settings", Path("setting.ini")});
    EXPECT_TRUE(process.waitForFinished(300000));
    EXPECT_EQ(process.exitCode(), 0);
    *errors = QString::fromUtf8(process.readAllStandardError());
    std::vector<QList<QByteArray>> lines;
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
      if (!line.isEmpty()) lines.push_back(line.split('\t'));
    }
    return lines;
  }
};

// Names in windows-1251 and cp866 (and broken UTF-8) were skipped without a word, and a folder so
// named was "no folder"; a multi-line title gave a name with a line break, a dotted one a hidden
// book, a long one "File name too long", and folders typed without "/" sent books beside them.
TEST_F(CliNames, EveryBookOfAForeignCollectionArrivesWithItsBytes) {
  const QByteArray books = Root() + "/\xCA\xED\xE8\xE3\xE8";  // "Книги" in windows-1251
  ASSERT_EQ(::mkdir(books.constData(), 0700), 0);
  struct Book {
    QByteArray name;
    QByteArray content;
    const char* status;
    QByteArray target;  // expected, relative to the area
  };
  const QString longTitle(150, u'Ж');
  const std::vector<Book> library = {
      {"\xC8\xE2\xE0\xED\xEE\xE2.fb2", ::Book("Иванов", "Иван", "Тихий дом"), "moved",
       "end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2"},
      // the same book again: the repeat folder takes it under its own bytes
      {"\x88\xA2\xA0\xAD\xAE\xA2.fb2", ::Book("Иванов", "Иван", "Тихий дом") + " ", "repeat",
       "double/\x88\xA2\xA0\xAD\xAE\xA2.fb2"},
      {"\xC4\xEE\xEC\xFF\\t.FB2", clitest::kNotWellFormed, "invalid", "bad/\xC4\xEE\xEC\xFF\\t.FB2"},
      {"Дом\xFF.fb2", clitest::kNotConforming, "invalid", "bad/Дом\xFF.fb2"},
      {"lines.fb2", ::Book("Петров", "Пётр", "Первая\n  строка\r\nвторая\u2028третья"), "moved",
       "end/П/Петров Пётр/Петров Пётр - Первая строка вторая третья.fb2"},
      {"dot.fb2", ::Book(".Точкин", "Иван", "..."), "moved", "end/_/_Точкин Иван/_Точкин Иван - ....fb2"},
      {"long.fb2", ::Book("Длинный", "Иван", longTitle), "moved",
       "end/Д/Длинный Иван/Длинный Иван - " + QString(112, u'Ж').toUtf8() + ".fb2"},
  };
  for (const Book& book : library) WriteBytes(books + "/" + book.name, book.content);
  // Folders typed without their trailing "/", none of them there yet.
  WriteSettings("BadFileDir={root}/bad\nEndDir={root}/end\nDoubleDir={root}/double");
  for (const char* folder : {"bad", "end", "double"}) QDir(Path(folder)).removeRecursively();

  QString errors;
  const auto lines = RunOnFolder(books, &errors);
  ASSERT_EQ(lines.size(), library.size()) << errors.toStdString();
  std::set<QByteArray> printedTargets;
  for (const auto& fields : lines) {
    ASSERT_EQ(fields.size(), 4);
    const QByteArray source = Unescape(fields[1]);
    const auto book = std::find_if(library.begin(), library.end(), [&](const Book& b) { return b.name == source; });
    ASSERT_NE(book, library.end()) << "an unknown source: " << fields[1].toStdString();
    SCOPED_TRACE(fields[1].toStdString());
    EXPECT_EQ(fields[0], book->status) << fields[3].toStdString();
    const QByteArray target = Unescape(fields[2]);
    EXPECT_EQ(target, Root() + "/" + book->target);
    // The printed target is where the book is, byte for byte.
    EXPECT_EQ(Sha256Of(ReadBytes(target)), Sha256Of(book->content));
    printedTargets.insert(target);
  }
  // Nothing else anywhere: every book once, nothing left in the source folder.
  std::set<QByteArray> found;
  for (const auto& [path, sha] : FilesBelow(Root())) {
    if (path.startsWith(Root() + "/app/") || path.endsWith("/setting.ini")) continue;
    found.insert(path);
  }
  EXPECT_EQ(found, printedTargets);
  EXPECT_TRUE(errors.contains("listed 7, invalid 2, moved 4, repeat 1, kept 0")) << errors.toStdString();
}

// A book kept under its own name that is not UTF-8 is packed with a name every unzip shows
// readably: windows-1251 read as such, stored as UTF-8 with the flag that says so.
TEST_F(CliNames, AnArchiveShowsAForeignNameReadably) {
  const QByteArray name = "\xC8\xE2\xE0\xED\xEE\xE2.fb2";
  WriteBytes(Root() + "/books/" + name, clitest::kIvanov);
  WriteSettings("Rename=0\nSort=0\nArchive=1");
  QString errors;
  const auto lines = RunOnFolder(Root() + "/books", &errors);
  ASSERT_EQ(lines.size(), 1u) << errors.toStdString();
  EXPECT_EQ(Unescape(lines[0][2]), Root() + "/end/" + name + ".zip");
  const QByteArray archive = ReadBytes(Root() + "/end/" + name + ".zip");
  ASSERT_GE(archive.size(), 30);
  // local file header: general purpose flags at 6 (bit 11: UTF-8 name), name length at 26, name at 30
  EXPECT_TRUE(archive[7] & 0x08);
  const QByteArray stored = QString("Иванов.fb2").toUtf8();
  EXPECT_EQ(archive.mid(30, stored.size()), stored);
}

}  // namespace
