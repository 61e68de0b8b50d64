// Runs the built shelvio-cli as a user would, on temporary folders, and checks the file trees.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <algorithm>
#include <utility>
#include <vector>

#include "cli_test_support.h"

namespace {

using namespace clitest;

// Work types, transliteration, genre names, invalid books, repeats and folder fields as typed.
TEST_F(Cli, PutsEveryBookWhereTheSettingsSay) {
  struct Case {
    const char* what;
    QString settings;
    std::vector<std::pair<QString, QByteArray>> before;  // books/... and anything already there
    QStringList after;                                   // every file afterwards
    QStringList statuses;                                // in list order
  } const cases[] = {
      {"work type 0", "Rename=0\nSort=0", {{"books/a.fb2", kIvanov}}, {"end/a.fb2"}, {"moved"}},
      {"work type 1",
       "Rename=1\nSort=0",
       {{"books/a.fb2", kIvanov}},
       {"end/Иванов Иван - Тихий дом.fb2"},
       {"moved"}},
      {"work type 10",
       "Rename=0\nSort=1",
       {{"books/a.fb2", kIvanov}},
       {"end/И/Иванов Иван/a.fb2"},
       {"moved"}},
      {"work type 11",
       "Rename=1\nSort=1",
       {{"books/a.fb2", kIvanov}},
       {"end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2"},
       {"moved"}},
      {"transliterated names and folders",
       "Translit=1\nTranslitDir=1",
       {{"books/a.fb2", kIvanov}},
       {"end/I/Ivanov Ivan/Ivanov Ivan - Tihij dom.fb2"},
       {"moved"}},
      {"transliterated names only",
       "Translit=1",
       {{"books/a.fb2", kIvanov}},
       {"end/И/Иванов Иван/Ivanov Ivan - Tihij dom.fb2"},
       {"moved"}},
      {"full genre names",
       "Rename=0\nSortPattern=Жанр\\Язык\nFullGenres=1",
       {{"books/a.fb2", kIvanov}},
       {"end/Научная фантастика/ru/a.fb2"},
       {"moved"}},
      {"genre codes",
       "Rename=0\nSortPattern=%gen\nFullGenres=0",
       {{"books/a.fb2", kIvanov}},
       {"end/sf/a.fb2"},
       {"moved"}},
      {"invalid books keep their names",
       "",
       {{"books/broken.fb2", kNotWellFormed}, {"books/wrong.fb2", kNotConforming}},
       {"bad/broken.fb2", "bad/wrong.fb2"},
       {"invalid", "invalid"}},
      // the third book's name is in the repeat folder already: it stays where it is
      {"repeats",
       "Sort=0",
       {{"books/a.fb2", kIvanov},
        {"books/b.fb2", kIvanov},
        {"books/c.fb2", kIvanov},
        {"double/c.fb2", "old"}},
       {"end/Иванов Иван - Тихий дом.fb2", "double/b.fb2", "books/c.fb2", "double/c.fb2"},
       {"moved", "repeat", "kept"}},
      {"the destination is the file itself",
       "Rename=0\nSort=0\nEndDir={root}/books",
       {{"books/a.fb2", kIvanov}},
       {"books/a.fb2"},
       {"kept"}},
      // each folder gets its delimiter: nothing lands beside a folder under a joined name
      {"folder fields without a trailing delimiter",
       "Rename=0\nSort=0\nBadFileDir={root}/bad\nEndDir={root}/end\nDoubleDir={root}/double",
       {{"books/a.fb2", kIvanov},
        {"books/b.fb2", kNotConforming},
        {"books/c.fb2", kIvanov},
        {"end/c.fb2", "x"}},
       {"end/a.fb2", "bad/b.fb2", "double/c.fb2", "end/c.fb2"},
       {"moved", "invalid", "repeat"}},
      {"folder fields written on Windows",
       "Rename=0\nEndDir={root}\\end\\\nSortPattern=Язык\\Жанр\nFullGenres=0",
       {{"books/a.fb2", kIvanov}},
       {"end/ru/sf/a.fb2"},
       {"moved"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QDir(Path("end")).removeRecursively();
    QDir(Path("bad")).removeRecursively();
    QDir(Path("double")).removeRecursively();
    QDir(Path("books")).removeRecursively();
    for (const char* folder : {"books", "bad", "end", "double"}) QDir(root_.path()).mkpath(folder);
    for (const auto& [name, bytes] : c.before) Write(name, bytes);
    WriteSettings(c.settings);

    const Result result = RunOnBooks();
    EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
    QStringList statuses;
    for (const QString& line : result.lines) statuses << line.section(u'\t', 0, 0);
    EXPECT_EQ(statuses, c.statuses) << result.lines.join("\n").toStdString();
    QStringList after = c.after;
    after.sort();
    EXPECT_EQ(Files().keys(), after);
  }
}

TEST_F(Cli, OutputLinesNameSourceTargetAndReason) {
  Write("books/a.fb2", kIvanov);
  Write("books/b.fb2", kNotConforming);
  Write("books/c.fb2", kIvanov);
  Write("double/c.fb2", "old");
  WriteSettings("Sort=0");
  const Result result = RunOnBooks();
  ASSERT_EQ(result.lines.size(), 3) << result.errors.toStdString();
  EXPECT_EQ(result.lines[0], "moved\ta.fb2\t" + Path("end/Иванов Иван - Тихий дом.fb2") + "\t");
  const QStringList invalid = result.lines[1].split(u'\t');
  ASSERT_EQ(invalid.size(), 4);
  EXPECT_EQ(invalid[0], "invalid");
  EXPECT_EQ(invalid[2], Path("bad/b.fb2"));
  EXPECT_TRUE(invalid[3].contains("no_such_genre")) << invalid[3].toStdString();
  EXPECT_EQ(result.lines[2], "kept\tc.fb2\t" + Path("double/c.fb2") + "\tFile exists");
  EXPECT_TRUE(result.errors.contains(
      "Summary: listed 3, invalid 1, moved 1, repeat 0, kept 1, missing 0, not handled 0"))
      << result.errors.toStdString();
  EXPECT_FALSE(result.errors.contains(u'\r'));  // no progress bar when standard error is a file
}

// An author's name must not lead a book out of the processed folder.
TEST_F(Cli, AuthorNameCannotLeaveTheProcessedFolder) {
  Write("books/a.fb2", Book("../../x", "..", "t"));
  WriteSettings("SortPattern=Автор\\Алфавит\\..\nSortLast=1\nSortFirst=0");
  const Result result = RunOnBooks();
  EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
  const QStringList files = Files().keys();
  ASSERT_EQ(files.size(), 1) << result.lines.join("\n").toStdString();
  EXPECT_TRUE(files[0].startsWith("end/")) << files[0].toStdString();
  EXPECT_FALSE(files[0].split(u'/').contains("..")) << files[0].toStdString();
}

TEST_F(Cli, EmptyProcessedFolderEndsTheRunAfterTheBooksBefore) {
  Write("books/a.fb2", kNotWellFormed);
  Write("books/b.fb2", kIvanov);
  Write("books/c.fb2", kIvanov);
  for (const char* type : {"Rename=0\nSort=0", "Rename=1\nSort=0"}) {
    SCOPED_TRACE(type);
    QFile::rename(Path("bad/a.fb2"), Path("books/a.fb2"));
    WriteSettings(QString(type) + "\nEndDir=");
    const Result result = RunOnBooks();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.errors.contains("Unable to create directory.\n")) << result.errors.toStdString();
    EXPECT_TRUE(result.errors.contains("not handled 2")) << result.errors.toStdString();
    EXPECT_EQ(Files().keys(), (QStringList{"bad/a.fb2", "books/b.fb2", "books/c.fb2"}));
  }
}

// Ctrl-C acts as the cancel button: the book in hand is finished, the next is not touched.
TEST_F(Cli, InterruptStopsBetweenBooks) {
  constexpr int kBooks = 400;
  for (int i = 0; i < kBooks; ++i) Write(QStringLiteral("books/%1.fb2").arg(i, 3, 10, QChar(u'0')), kIvanov);
  WriteSettings("Rename=0\nSort=0");
  const Result result = RunCli({"--app-dir", Path("app"), Path("books")}, 1);
  EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
  EXPECT_TRUE(result.errors.contains("; cancelled")) << result.errors.toStdString();
  const int handled = static_cast<int>(result.lines.size());
  EXPECT_GE(handled, 1);
  EXPECT_LT(handled, kBooks);
  // Exactly the reported books moved, in list order; every other one is untouched.
  EXPECT_EQ(Files("end").size(), handled);
  EXPECT_EQ(Files("books").size(), kBooks - handled);
  for (int i = 0; i < handled; ++i)
    EXPECT_TRUE(QFile::exists(Path(QStringLiteral("end/%1.fb2").arg(i, 3, 10, QChar(u'0')))));
}

TEST_F(Cli, UsageErrorsAndHelp) {
  const Result help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  const QString text = help.lines.join("\n");
  for (const char* word : {"--settings", "--app-dir", "--dry-run", "--on-zip-error", "BadFileDir", "EndDir",
                           "DoubleDir", "Rename", "Sort", "Archive", "Pattern", "SortPattern", "Translit",
                           "TranslitDir", "SortLast", "SortFirst", "SortMiddle", "FullGenres"})
    EXPECT_TRUE(text.contains(word)) << word;

  Write("books/a.fb2", kIvanov);
  const QStringList usage[] = {
      {},
      {"--frobnicate", Path("books")},
      {"--on-zip-error", "retry", Path("books")},
      {"--settings", Path("nothing.ini"), Path("books")},
      {Path("books"), Path("books")},
      {Path("no such folder")},
      {"--app-dir"},
  };
  for (const QStringList& args : usage) {
    SCOPED_TRACE(args.join(' ').toStdString());
    const Result result = RunCli(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.lines.isEmpty());
  }
  EXPECT_EQ(Files().keys(), QStringList{"books/a.fb2"});
}

// A missing fls/ ended the run "at the book Ждём..." (the window's idle text taken for a book):
// what is missing is named before any book, and no book is touched.
TEST_F(Cli, SchemaThatDoesNotLoadTouchesNoBook) {
  Write("books/a.fb2", kIvanov);
  ASSERT_TRUE(QDir(root_.path()).mkpath("no-fls"));
  ASSERT_TRUE(QDir(root_.path()).mkpath("empty-fls/fls"));
  Write("junk-fls/fls/FictionBook.xsd", "<xs:schema");
  WriteSettings("");
  const struct {
    const char* app;
    QString message;
    bool beforeAnything;  // said before the work folders are made
  } cases[] = {
      {"no-fls", "shelvio-cli: no data folder " + Path("no-fls/fls/") + ": the schema", true},
      {"empty-fls", "shelvio-cli: no schema " + Path("empty-fls/fls/FictionBook.xsd") + ": the schema", true},
      // there, but libxml2 cannot read it: its own reason, when the run loads it
      {"junk-fls", Path("junk-fls/fls/FictionBook.xsd"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.app);
    const Result result = RunCli({"--app-dir", Path(c.app), Path("books")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.errors.contains(c.message)) << result.errors.toStdString();
    EXPECT_FALSE(result.errors.contains("The run ended at the book")) << result.errors.toStdString();
    EXPECT_EQ(Files("books").keys(), QStringList{"books/a.fb2"});
    if (c.beforeAnything) {
      EXPECT_FALSE(QFile::exists(Path(c.app) + "/tmp")) << "work folders made first";
    }
  }
}

// Defaults: no settings file at all puts the work folders below the app folder's tmp/, and
// archiving is on, so the book ends up packed beside its destination.
TEST_F(Cli, DefaultSettingsUseTheAppFolder) {
  Write("books/a.fb2", kIvanov);
  Write("books/b.fb2", kNotWellFormed);
  const Result result = RunOnBooks();
  EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
  EXPECT_TRUE(QFile::exists(Path("app/tmp/end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2.zip")));
  EXPECT_FALSE(QFile::exists(Path("app/tmp/end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2")));
  EXPECT_TRUE(QFile::exists(Path("app/tmp/bad/b.fb2")));
  EXPECT_TRUE(QDir(Path("app/tmp/double")).exists());
  EXPECT_FALSE(QFile::exists(Path("app/setting.ini")));
}

QStringList CorpusBooks() {
  return QDir(SHELVIO_CORPUS_DIR "/files").entryList({"*.fb2"}, QDir::Files, QDir::Name);
}

// The two books with an undeclared prefix, which xmllint accepts leniently, do not load for us.
bool HasUndeclaredPrefix(const QString& path) {
  return path.endsWith("fbreaderj__footnote1.fb2") || path.endsWith("fbreaderj__whiteguard.fb2");
}

// Runs xmllint; true when it exits 0, with its standard output in *output.
bool Xmllint(const QStringList& args, QByteArray* output = nullptr) {
  QProcess xmllint;
  xmllint.start("xmllint", QStringList{"--nonet"} + args);
  xmllint.waitForFinished(120000);
  if (output) *output = xmllint.readAllStandardOutput().trimmed();
  return xmllint.exitStatus() == QProcess::NormalExit && xmllint.exitCode() == 0;
}

// The verdict of a validator other than ours.
bool XmllintAccepts(const QString& path) {
  return !HasUndeclaredPrefix(path) &&
         Xmllint({"--noout", "--schema", SHELVIO_FLS_DIR "/FictionBook.xsd", path});
}

// What a lenient run must sort: the book loads and its root is a FictionBook 2 root.
bool XmllintReadsFictionBook(const QString& path) {
  QByteArray answer;
  return !HasUndeclaredPrefix(path) &&
         Xmllint({"--xpath",
                  "boolean(/*[local-name()='FictionBook' and "
                  "namespace-uri()='http://www.gribuser.ru/xml/fictionbook/2.0'])",
                  path},
                 &answer) &&
         answer == "true";
}

// A whole real collection with renaming and sorting: nothing lost, nothing changed, the invalid
// folder holding exactly what xmllint rejects; and a dry run beforehand that predicts it all.
TEST_F(Cli, CorpusRunLosesNothingAndMatchesItsDryRun) {
  if (QStandardPaths::findExecutable("xmllint").isEmpty()) GTEST_SKIP() << "xmllint is not installed";
  QStringList rejected;
  for (const QString& name : CorpusBooks()) {
    QFile::copy(SHELVIO_CORPUS_DIR "/files/" + name, Path("books/" + name));
    if (!XmllintAccepts(Path("books/" + name))) rejected << "bad/" + name;
  }
  ASSERT_EQ(CorpusBooks().size(), 76);
  // One conforming book twice, so that the dry run has to foresee a repeat.
  ASSERT_TRUE(QFile::copy(SHELVIO_CORPUS_DIR "/files/fbjava__test2.1.fb2", Path("books/zz again.fb2")));
  WriteSettings("Rename=1\nSort=1\nFullGenres=1");
  const Tree before = Files();

  const Result dry = RunOnBooks({"--dry-run"});
  ASSERT_EQ(dry.exitCode, 0) << dry.errors.toStdString();
  EXPECT_EQ(Files(), before) << "the dry run changed the disk";
  EXPECT_TRUE(QDir(Path("end")).isEmpty());
  EXPECT_FALSE(QFileInfo::exists(Path("app/tmp")));

  const Result real = RunOnBooks();
  ASSERT_EQ(real.exitCode, 0) << real.errors.toStdString();
  EXPECT_EQ(real.lines, dry.lines);
  EXPECT_EQ(real.lines.size(), 77);
  EXPECT_TRUE(real.lines.last().startsWith("repeat\tzz again.fb2\t")) << real.lines.last().toStdString();

  // Every book is somewhere it may be, with its bytes unchanged.
  const Tree after = Files();
  QStringList invalid;
  for (const QString& path : after.keys()) {
    if (path.startsWith("bad/"))
      invalid << path;
    else
      EXPECT_TRUE(path.startsWith("end/") || path.startsWith("double/")) << path.toStdString();
  }
  rejected.sort();
  EXPECT_EQ(invalid, rejected);
  QStringList hashesAfter;
  for (const QByteArray& hash : after.values()) hashesAfter << hash;
  QStringList sortedBefore;
  for (const QByteArray& hash : before.values()) sortedBefore << hash;
  sortedBefore.sort();
  hashesAfter.sort();
  EXPECT_EQ(hashesAfter, sortedBefore);
  EXPECT_TRUE(real.errors.contains(QStringLiteral("invalid %1,").arg(rejected.size())))
      << real.errors.toStdString();
}

// Lenient mode on the real collection: every book that loads as a FictionBook is sorted, those
// the schema rejects with its complaint as the reason; only unreadable books are set aside; no
// book is lost or changed.
TEST_F(Cli, LenientCorpusRunSortsEveryReadableBook) {
  if (QStandardPaths::findExecutable("xmllint").isEmpty()) GTEST_SKIP() << "xmllint is not installed";
  QStringList unreadable;
  QSet<QString> conforming;
  for (const QString& name : CorpusBooks()) {
    QFile::copy(SHELVIO_CORPUS_DIR "/files/" + name, Path("books/" + name));
    if (!XmllintReadsFictionBook(Path("books/" + name))) unreadable << "bad/" + name;
    if (XmllintAccepts(Path("books/" + name))) conforming << name;
  }
  WriteSettings("Valid=0\nRename=1\nSort=1");
  const Tree before = Files();

  const Result result = RunOnBooks();
  ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
  ASSERT_EQ(result.lines.size(), 76);
  for (const QString& line : result.lines) {
    const QStringList fields = line.split(u'\t');
    ASSERT_EQ(fields.size(), 4) << line.toStdString();
    if (fields[0] == "invalid") continue;
    EXPECT_TRUE(fields[0] == "moved" || fields[0] == "repeat") << line.toStdString();
    // A conforming book has nothing to complain of; any other carries the schema's complaint.
    EXPECT_EQ(fields[3].isEmpty(), conforming.contains(fields[1])) << line.toStdString();
  }

  const Tree after = Files();
  QStringList invalid;
  for (const QString& path : after.keys())
    if (path.startsWith("bad/")) invalid << path;
  unreadable.sort();
  EXPECT_EQ(invalid, unreadable);
  EXPECT_EQ(invalid.size(), 17);  // the figure the README gives
  QList<QByteArray> hashesBefore = before.values();
  QList<QByteArray> hashesAfter = after.values();
  std::sort(hashesBefore.begin(), hashesBefore.end());
  std::sort(hashesAfter.begin(), hashesAfter.end());
  EXPECT_EQ(hashesAfter, hashesBefore);
}

}  // namespace

namespace {

using clitest::Cli;

// A misspelt key or section sent the books to the default folders without a word, and a value
// that cannot be used passed in silence; an error that ended the run did not say at which book.
TEST_F(Cli, WarnsOfWhatItIgnoresAndNamesTheBookAnErrorEndsAt) {
  Write("books/a.fb2", clitest::kIvanov);
  const QString root = Path("");
  Write("setting.ini", ("[USER]\nEndFileDir=" + root +
                        "mine/\nrename=yes\nSort=2\nZipLevel=9\nActivePage=x\n"
                        "BadFileDir=" +
                        root + "bad/\nEndDir=" + root + "end/\nDoubleDir=" + root +
                        "double/\nArchive=0\n[FORM]\nWidht=5\nWidth=7\n[User Settings]\nRename=0\n")
                           .toUtf8());
  const Result result = RunOnBooks({"--dry-run"});
  EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
  const QStringList expected = {
      "shelvio-cli: warning: unknown section [User Settings] is ignored; the settings are read from [USER]",
      "shelvio-cli: warning: unknown key [USER] EndFileDir is ignored; the closest known key is EndDir",
      "shelvio-cli: warning: unknown key [FORM] Widht is ignored; the closest known key is Width",
      "shelvio-cli: warning: [USER] Rename = yes is not 0 or 1: the default 1 is used",
      "shelvio-cli: warning: [USER] Sort = 2 is not 0 or 1: it counts as 1",
      "shelvio-cli: warning: [USER] ZipLevel = 9 is out of its range 0..3",
      "shelvio-cli: warning: [USER] ActivePage = x is not an integer: the default 1 is used",
  };
  for (const QString& line : expected)
    EXPECT_TRUE(result.errors.contains(line)) << line.toStdString() << "\n" << result.errors.toStdString();
  EXPECT_EQ(result.errors.count("warning:"), expected.size()) << result.errors.toStdString();

  // A file of junk: a long "key" is named by its beginning, and a key or value
  // holding terminal controls is named with them escaped.
  Write("setting.ini", "[USER]\n" + QByteArray(100000, 'K') +
                           "=1\n\x1B]0;x\x07"
                           "Dir=1\nSort=\x1B[2J\n");
  const Result junk = RunOnBooks({"--dry-run"});
  EXPECT_EQ(junk.exitCode, 0) << junk.errors.left(300).toStdString();
  const QStringList junkWarnings = {
      "shelvio-cli: warning: unknown key [USER] " + QString(80, u'K') +
          "... is ignored; the closest known key is ",
      "shelvio-cli: warning: unknown key [USER] \\x1B]0;x\\x07Dir is ignored; the closest known key is "
      "EndDir",
      "shelvio-cli: warning: [USER] Sort = \\x1B[2J is not 0 or 1: the default 1 is used",
  };
  for (const QString& line : junkWarnings)
    EXPECT_TRUE(junk.errors.contains(line)) << line.toStdString() << "\n"
                                            << junk.errors.left(500).toStdString();
  EXPECT_LT(junk.errors.size(), 1000);

  // An empty processed folder ends the run at the first valid book.
  Write("books/b.fb2", clitest::kIvanov);
  WriteSettings("Rename=0\nSort=0\nEndDir=");
  const Result ended = RunOnBooks();
  EXPECT_EQ(ended.exitCode, 1);
  EXPECT_TRUE(ended.errors.contains("Unable to create directory.\nThe run ended at the book a.fb2\n"))
      << ended.errors.toStdString();
}

// The tests run the program, which writes run records and journals below the state folder: run
// with the tester's own home, every test left records in ~/.local/state/shelvio/runs/. Every test
// program has a home of its own, which no other home contains, and every XDG folder lies in it.
TEST(TestHome, IsTheTestProgramsOwn) {
  const QByteArray home = qgetenv("HOME");
  ASSERT_TRUE(home.startsWith('/')) << home.toStdString();
  const passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  const QByteArray userHome = QByteArray(user->pw_dir) + '/';
  EXPECT_FALSE((home + '/').startsWith(userHome))
      << "HOME lies in the user's own home: " << home.toStdString();
  for (const char* variable :
       {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
    SCOPED_TRACE(variable);
    EXPECT_TRUE(qgetenv(variable).startsWith(home + '/')) << qgetenv(variable).toStdString();
  }
}

}  // namespace
