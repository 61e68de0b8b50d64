// Names as real collections have them: file and folder names that are not UTF-8, titles that span
// lines, start with a dot or run past the file system's limit, and folder values typed without
// their "/". Paths go to the program and come back from it as bytes, never through QString.

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QProcess>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "cli/tests/cli_test_support.h"

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
    if (next == 't')
      bytes += '\t';
    else if (next == 'n')
      bytes += '\n';
    else if (next == 'r')
      bytes += '\r';
    else if (next == '\\')
      bytes += '\\';
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

// The one book an archive holds, read by unzip from the archive's exact path.
QByteArray Unpacked(const QByteArray& archive) {
  QProcess unzip;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("ARCHIVE", QString::fromLatin1(OctalEscaped(archive)));
  unzip.setProcessEnvironment(environment);
  unzip.start("/bin/sh", {"-c", "exec unzip -p \"$(printf %b \"$ARCHIVE\")\""});
  EXPECT_TRUE(unzip.waitForFinished(60000));
  EXPECT_EQ(unzip.exitCode(), 0) << archive.toStdString();
  return unzip.readAllStandardOutput();
}

class CliNames : public Cli {
 protected:
  void TearDown() override {
    // QTemporaryDir cannot remove names that are not UTF-8.
    QProcess::execute("rm", {"-rf", root_.path()});
  }

  QByteArray Root() const { return QFile::encodeName(root_.path()); }

  struct Output {
    int exitCode = -1;
    QByteArray raw;                        // standard output as it came
    std::vector<QList<QByteArray>> lines;  // each line of it split into its fields
    QString errors;
  };

  // Runs the program on folder (bytes) with the area's settings and the extra options.
  Output RunOnFolder(const QByteArray& folder, const QStringList& extra = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BOOKS", QString::fromLatin1(OctalEscaped(folder)));
    process.setProcessEnvironment(environment);
    process.start("/bin/sh", QStringList{"-c", "exec \"$0\" \"$@\" \"$(printf %b \"$BOOKS\")\"", SHELVIO_CLI,
                                         "--app-dir", Path("app"), "--settings", Path("setting.ini")} +
                                 extra);
    EXPECT_TRUE(process.waitForFinished(300000));
    Output output;
    output.exitCode = process.exitCode();
    output.raw = process.readAllStandardOutput();
    output.errors = QString::fromUtf8(process.readAllStandardError());
    for (const QByteArray& line : output.raw.split('\n')) {
      if (!line.isEmpty()) output.lines.push_back(line.split('\t'));
    }
    return output;
  }

  // Writes each book into folder, which is made first.
  void WriteBooks(const QByteArray& folder, const std::vector<std::pair<QByteArray, QByteArray>>& books) {
    ASSERT_EQ(::mkdir(folder.constData(), 0700), 0);
    for (const auto& [name, content] : books) WriteBytes(folder + "/" + name, content);
  }

  // Every book below the area (the program's folder and the settings left out) by its path.
  std::map<QByteArray, QByteArray> Library() {
    std::map<QByteArray, QByteArray> library;
    for (const auto& [path, sha] : FilesBelow(Root())) {
      if (!path.startsWith(Root() + "/app/") && !path.endsWith("/setting.ini")) library[path] = sha;
    }
    return library;
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

  const Output output = RunOnFolder(books);
  EXPECT_EQ(output.exitCode, 0);
  const auto& lines = output.lines;
  const QString& errors = output.errors;
  ASSERT_EQ(lines.size(), library.size()) << errors.toStdString();
  std::set<QByteArray> printedTargets;
  for (const auto& fields : lines) {
    ASSERT_EQ(fields.size(), 4);
    const QByteArray source = Unescape(fields[1]);
    const auto book =
        std::find_if(library.begin(), library.end(), [&](const Book& b) { return b.name == source; });
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
  for (const auto& [path, sha] : Library()) found.insert(path);
  EXPECT_EQ(found, printedTargets);
  EXPECT_TRUE(errors.contains("listed 7, invalid 2, moved 4, repeat 1, kept 0")) << errors.toStdString();
}

// A book kept under its own name that is not UTF-8 is packed with a name every unzip shows
// readably: windows-1251 read as such, stored as UTF-8 with the flag that says so.
TEST_F(CliNames, AnArchiveShowsAForeignNameReadably) {
  const QByteArray name = "\xC8\xE2\xE0\xED\xEE\xE2.fb2";
  WriteBytes(Root() + "/books/" + name, clitest::kIvanov);
  WriteSettings("Rename=0\nSort=0\nArchive=1");
  const auto lines = RunOnFolder(Root() + "/books").lines;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Unescape(lines[0][2]), Root() + "/end/" + name + ".zip");
  const QByteArray archive = ReadBytes(Root() + "/end/" + name + ".zip");
  ASSERT_GE(archive.size(), 30);
  // local file header: general purpose flags at 6 (bit 11: UTF-8 name), name length at 26, name at 30
  EXPECT_TRUE(archive[7] & 0x08);
  const QByteArray stored = QString("Иванов.fb2").toUtf8();
  EXPECT_EQ(archive.mid(30, stored.size()), stored);
}

// Names that break lines, drive a terminal, reorder text or look alike: each book is one line of
// four fields, no character of the output breaks a line for any reader or steers the terminal,
// and every field reads back to the exact bytes of its name.
TEST_F(CliNames, EveryPrintedLineReadsBackToItsBytes) {
  const std::vector<QByteArray> names = {
      "tab\there.fb2", "new\nline.fb2", "cr\r.fb2", "back\\slash\\x41\\n.fb2", "\x1B[31mred.fb2",
      "nel\xC2\x85.fb2",
      "csi\xC2\x9B"
      "2J.fb2",
      "ls\xE2\x80\xA8.fb2", "\xE2\x80\xAEgpj.fb2",
      // three that show alike: composed, decomposed, and windows-1251 for the same letter
      "\xD0\x99.fb2", "\xD0\x98\xCC\x86.fb2", "\xC9.fb2", "cut\xD0.fb2", "nul\x01\x7F.fb2"};
  std::vector<std::pair<QByteArray, QByteArray>> books;
  for (size_t i = 0; i < names.size(); ++i)
    books.emplace_back(names[i], ::Book("Автор", "Имя", QString::number(i)));
  // The reason names this one: as the window's list shows it, on one line.
  const QByteArray invalid = "bad\n\x01.fb2";
  books.emplace_back(invalid, clitest::kNotWellFormed);
  const QByteArray folder = Root() + "/b\n\xFF";
  WriteBooks(folder, books);
  WriteSettings("Rename=0\nSort=0");

  const Output output = RunOnFolder(folder);
  ASSERT_EQ(output.exitCode, 0) << output.errors.toStdString();
  ASSERT_EQ(output.lines.size(), books.size()) << output.raw.toStdString();
  const QString text = QString::fromUtf8(output.raw);
  EXPECT_EQ(text.toUtf8(), output.raw) << "the output is not UTF-8";
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    const bool control = (u < 0x20 && u != u'\t' && u != u'\n') || (u >= 0x7F && u <= 0x9F) || u == 0x2028 ||
                         u == 0x2029 || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
    EXPECT_FALSE(control) << "U+" << std::hex << int(u);
  }
  std::set<QByteArray> sources;
  for (const auto& fields : output.lines) {
    ASSERT_EQ(fields.size(), 4);
    const QByteArray source = Unescape(fields[1]);
    sources.insert(source);
    if (source == invalid) {
      EXPECT_EQ(fields[0], "invalid");
      EXPECT_EQ(Unescape(fields[2]), Root() + "/bad/" + source);
      EXPECT_TRUE(fields[3].startsWith("bad\\x0A\\x01.fb2:1: ")) << fields[3].toStdString();
      continue;
    }
    EXPECT_EQ(fields[0], "moved") << fields[3].toStdString();
    EXPECT_EQ(Unescape(fields[2]), Root() + "/end/" + source);
  }
  std::set<QByteArray> wanted(names.begin(), names.end());
  wanted.insert(invalid);
  EXPECT_EQ(sources, wanted);
  for (const auto& [name, content] : books)
    EXPECT_EQ(ReadBytes(Root() + (name == invalid ? "/bad/" : "/end/") + name), content);
}

// The dry run said "moved" with no reason for a book whose archive's name would not fit, where the
// real run leaves it unpacked with "File name too long". Over long and odd names, renamed or not,
// the dry run's lines are the real run's byte for byte, and it changes nothing.
TEST_F(CliNames, TheDryRunPredictsTheRealRunForLongAndOddNames) {
  const QString title300(150, u'Ж');
  const std::vector<std::pair<QByteArray, QByteArray>> collection = {
      {QByteArray(251, 'a') + ".fb2", ::Book("Длинный", "Иван", "Первый")},
      {QByteArray(247, 'b') + ".fb2", ::Book("Короткий", "Иван", "Второй")},  // its archive: 255 bytes
      {"\xC8\xE2\xE0\xED\xEE\xE2.fb2", ::Book("Иванов", "Иван", title300)},
      {"\x88\xA2\xA0\xAD\xAE\xA2.fb2", ::Book("Иванов", "Иван", title300) + " "},
      {"lines\n.fb2", ::Book("Петров", "Пётр", "Первая\nвторая")},
      {"dot.fb2", ::Book(".Точкин", "Иван", ".")},
      {"bad\xFF.fb2", clitest::kNotWellFormed},
  };
  const char* const settings[] = {"Rename=0\nSort=0\nArchive=1", "Rename=1\nSort=1\nArchive=1"};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(settings[k]);
    const QByteArray books = Root() + "/\xCA\xED\xE8\xE3\xE8" + QByteArray::number(k);
    const QByteArray work = Root() + "/w" + QByteArray::number(k);
    WriteBooks(books, collection);
    WriteSettings(QString(settings[k]) + QString("\nBadFileDir={root}/w%1/bad\nEndDir={root}/w%1/end\n"
                                                 "DoubleDir={root}/w%1/double")
                                             .arg(k));
    const auto before = Library();
    const Output dry = RunOnFolder(books, {"--dry-run"});
    EXPECT_EQ(Library(), before) << "the dry run changed the disk";
    const Output real = RunOnFolder(books);
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_EQ(real.exitCode, 0);
    ASSERT_EQ(real.lines.size(), collection.size()) << real.errors.toStdString();
    EXPECT_EQ(dry.raw, real.raw);

    // Every book once, at the target printed for it, packed or not; nothing else in the folders.
    std::multiset<QByteArray> wanted, arrived;
    for (const auto& [name, content] : collection) wanted.insert(Sha256Of(content));
    std::set<QByteArray> targets;
    for (const auto& fields : real.lines) {
      const QByteArray target = Unescape(fields[2]);
      EXPECT_TRUE(target.startsWith(work + "/")) << fields[2].toStdString();
      EXPECT_LE(target.mid(target.lastIndexOf('/') + 1).size(), 255);
      arrived.insert(Sha256Of(target.endsWith(".zip") ? Unpacked(target) : ReadBytes(target)));
      targets.insert(target);
    }
    EXPECT_EQ(arrived, wanted);
    std::set<QByteArray> found;
    for (const auto& [path, sha] : Library()) {
      if (path.startsWith(books + "/") || path.startsWith(work + "/")) found.insert(path);
    }
    EXPECT_EQ(found, targets);
  }
}

// A HOME whose name is not UTF-8 made the program create its state folder beside it, under a name
// of replacement characters, and a --settings path that is not UTF-8 was "no settings file". Both
// are taken by their bytes: the record lands in that very home, the settings are read.
TEST_F(CliNames, AHomeAndASettingsFileNamedInBytesAreThoseVeryOnes) {
  const QByteArray home = Root() + "/\xC4\xEE\xEC";          // "Дом" in windows-1251
  const QByteArray settings = Root() + "/\xCD\xE0\xF1.ini";  // "Нас.ini"
  ASSERT_EQ(::mkdir(home.constData(), 0700), 0);
  WriteBooks(Root() + "/shelf", {{"a.fb2", clitest::kIvanov}});
  // Neither renamed nor sorted: with the defaults the book would be renamed into a sort folder.
  WriteSettings("Rename=0\nSort=0");
  WriteBytes(settings, ReadBytes(Root() + "/setting.ini"));

  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* variable : {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
    environment.remove(variable);
  environment.insert("HOMEBYTES", QString::fromLatin1(OctalEscaped(home)));
  environment.insert("SETTINGS", QString::fromLatin1(OctalEscaped(settings)));
  process.setProcessEnvironment(environment);
  process.start("/bin/sh", {"-c",
                            "HOME=\"$(printf %b \"$HOMEBYTES\")\"; export HOME; exec \"$0\" --app-dir \"$1\" "
                            "--settings \"$(printf %b \"$SETTINGS\")\" \"$2\"",
                            SHELVIO_CLI, Path("app"), Path("shelf")});
  ASSERT_TRUE(process.waitForFinished(60000));
  const QString errors = QString::fromUtf8(process.readAllStandardError());
  EXPECT_EQ(process.exitCode(), 0) << errors.toStdString();
  EXPECT_EQ(ReadBytes(Root() + "/end/a.fb2"), clitest::kIvanov) << errors.toStdString();

  std::set<QByteArray> records;
  std::set<QByteArray> strays;
  for (const auto& [path, sha] : FilesBelow(Root())) {
    if (path.startsWith(home + "/.local/state/shelvio/runs/") && path.endsWith(".run")) records.insert(path);
    if (path.contains("\xEF\xBF\xBD")) strays.insert(path);  // U+FFFD, the replacement character
  }
  EXPECT_EQ(records.size(), 1u);
  EXPECT_TRUE(strays.empty()) << strays.begin()->toStdString();
}

}  // namespace
