#include "engine/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/native_name.h"
#include "fictionbook/book_info.h"
#include "tests/support/book_text.h"
#include "validation/xsd_validator.h"

namespace {

const char* Name(TextOption option) {
  static const char* const kNames[] = {"BadDir", "EndDir", "DoubleDir", "NewNamePattern", "SortPattern"};
  return kNames[static_cast<int>(option)];
}

const char* Name(CheckOption option) {
  static const char* const kNames[] = {"Rename",   "Sort",      "Archive",    "Translit",   "TranslitDir",
                                       "SortLast", "SortFirst", "SortMiddle", "FullGenres", "Valid"};
  return kNames[static_cast<int>(option)];
}

// Answers from two maps, records every read in order, and asks to cancel once it has been
// pumped cancelAfterPumps times.
class FakeHost : public RunHost {
 public:
  QString Text(TextOption option) override {
    reads.push_back(Name(option));
    return texts.value(option);
  }
  bool Checked(CheckOption option) override {
    reads.push_back(Name(option));
    return checks.value(option);
  }
  void SetStatus(const QString& text) override { statuses << text; }
  void SetProgressMax(int max) override { progressMax = max; }
  void SetProgress(int position) override { progress.push_back(position); }
  void PumpMessages() override {
    ++pumps;
    reads.push_back("pump");
    if (onPump) onPump(pumps);
  }
  bool CancelRequested() override { return cancelAfterPumps >= 0 && pumps >= cancelAfterPumps; }
  void BookDone(const BookOutcome& outcome) override { outcomes.push_back(outcome); }
  void CreatingFolders(const QStringList& folders) override { created << folders; }

  QMap<TextOption, QString> texts;
  QMap<CheckOption, bool> checks;
  std::vector<std::string> reads;
  int cancelAfterPumps = -1;
  int pumps = 0;
  // What the user does while the run handles its messages, by the number of the pump.
  std::function<void(int)> onPump;
  QStringList statuses;
  int progressMax = -1;
  std::vector<int> progress;
  std::vector<BookOutcome> outcomes;
  QStringList created;  // every folder the run said it would make
};

// Packs the way the real step does as far as the run can see: D.zip appears, D goes.
class FakeArchive : public ArchiveStep {
 public:
  PackOutcome Pack(const QString& destination, const FileStamp& moved) override {
    EXPECT_TRUE(moved.known);
    packed << destination;
    QFile zip(destination + ".zip");
    if (zip.open(QIODevice::WriteOnly)) zip.write("PK");
    QFile::remove(destination);
    return {true, QString()};
  }
  QStringList packed;
};

const QByteArray kIvanov = Book("Иванов", "Иван", "Тихий дом");
const QByteArray kNotWellFormed = "<FictionBook><description>";
const QByteArray kNotConforming = Book("Петров", "Пётр", "Шумный дом", "no_such_genre");

QString AppPath() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + "/"; }

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    for (const char* folder : {"books", "bad", "end", "double"})
      ASSERT_TRUE(QDir(root_.path()).mkpath(folder));
    previous_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Path("books")));
    host_.texts = {{TextOption::BadDir, Path("bad/")},
                   {TextOption::EndDir, Path("end/")},
                   {TextOption::DoubleDir, Path("double/")},
                   {TextOption::NewNamePattern, "Фамилия Имя - Название"},
                   {TextOption::SortPattern, "Алфавит\\Автор"}};
    host_.checks = {
        {CheckOption::SortLast, true}, {CheckOption::SortFirst, true}, {CheckOption::Valid, true}};
  }
  void TearDown() override { QDir::setCurrent(previous_); }

  QString Path(const QString& relative) const { return root_.path() + "/" + relative; }

  void AddBook(const QString& name, const QByteArray& bytes) {
    QFile file(Path("books/" + name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }

  void SetWorkType(int type) {
    host_.checks[CheckOption::Rename] = type % 10 == 1;
    host_.checks[CheckOption::Sort] = type >= 10;
  }

  // Runs as the start button does, with a fresh validator.
  void RunBooks(const QStringList& items, BookFiles& files, ArchiveStep* archive = nullptr) {
    TXSDValidator validator;
    QString schemaError;
    ASSERT_TRUE(StartRun(host_, items, validator, AppPath(), files, archive, &schemaError))
        << schemaError.toStdString();
  }
  void RunBooks(const QStringList& items, ArchiveStep* archive = nullptr) {
    DiskFiles disk;
    RunBooks(items, disk, archive);
  }

  // Every file below the root with its bytes.
  QMap<QString, QByteArray> Tree() const {
    QMap<QString, QByteArray> tree;
    QDirIterator it(root_.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      QFile file(path);
      EXPECT_TRUE(file.open(QIODevice::ReadOnly));
      tree.insert(QDir(root_.path()).relativeFilePath(path), file.readAll());
    }
    return tree;
  }

  QTemporaryDir root_;
  QString previous_;
  FakeHost host_;
};

// The options read for each book, from its pump to the next; the reads before the first pump
// come first (only strictness, which decides how far every book is judged).
std::vector<std::set<std::string>> ReadsPerBook(const std::vector<std::string>& reads) {
  std::vector<std::set<std::string>> books(1);
  for (const std::string& read : reads) {
    if (read == "pump")
      books.emplace_back();
    else
      books.back().insert(read);
  }
  return books;
}

// The window is the store of the options during a run, and it handles the user's input only while
// the run handles its messages, once before each book. So each book reads every option it needs
// after its own messages (a change made then applies to it), and no option it does not need.
TEST_F(Run, ReadsEachOptionWhenItIsNeeded) {
  using Reads = std::set<std::string>;
  const Reads names = {"BadDir",   "Rename",      "Sort",      "FullGenres", "NewNamePattern",
                       "Translit", "SortLast",    "SortFirst", "SortMiddle", "SortPattern",
                       "EndDir",   "TranslitDir", "Archive"};
  struct Case {
    int type;
    Reads reads;
  } const cases[] = {
      {0, {"BadDir", "Rename", "Sort", "EndDir", "Archive"}},
      {1, names},
      {11, names},
  };
  FakeArchive archive;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    AddBook("a.fb2", kIvanov);
    AddBook("b.fb2", Book("Сидоров", "Сидор", "Лес"));
    SetWorkType(c.type);
    host_.reads.clear();
    RunBooks({"a.fb2", "b.fb2"}, &archive);
    // Strictness first: it decides how far the books are judged, from the first one on.
    EXPECT_EQ(ReadsPerBook(host_.reads), (std::vector<Reads>{{"Valid"}, c.reads, c.reads}));
  }

  // An invalid book reads the invalid-files folder and nothing else; a taken destination adds
  // the folder for repeated files.
  AddBook("bad.fb2", kNotWellFormed);
  AddBook("x.fb2", kIvanov);
  AddBook("Иванов Иван - Тихий дом.fb2", kIvanov);
  SetWorkType(1);
  host_.texts[TextOption::EndDir] = Path("books");
  host_.reads.clear();
  RunBooks({"bad.fb2", "x.fb2"});
  Reads repeated = names;
  repeated.erase("Archive");  // no archive step
  repeated.insert("DoubleDir");
  EXPECT_EQ(ReadsPerBook(host_.reads), (std::vector<Reads>{{"Valid"}, {"BadDir"}, repeated}));
}

// What the user sees of it: an option changed while the run handles the messages before the
// second book applies to the second book and not to the first.
TEST_F(Run, AnOptionChangedDuringTheRunAppliesFromTheNextBook) {
  const QByteArray kSidorov = Book("Сидоров", "Сидор", "Лес");
  struct Case {
    const char* what;
    int type;
    std::function<void(FakeHost&)> change;
    QByteArray second;  // the second book's bytes
    QString first;      // where the first book goes, relative to the root
    QString target;     // where the second goes
  } const cases[] = {
      {"rename ticked", 0, [](FakeHost& h) { h.checks[CheckOption::Rename] = true; }, kSidorov, "end/a.fb2",
       "end/Сидоров Сидор - Лес.fb2"},
      {"sort ticked", 0, [](FakeHost& h) { h.checks[CheckOption::Sort] = true; }, kSidorov, "end/a.fb2",
       "end/С/Сидоров Сидор/b.fb2"},
      {"processed folder", 0, [&](FakeHost& h) { h.texts[TextOption::EndDir] = Path("end2/"); }, kSidorov,
       "end/a.fb2", "end2/b.fb2"},
      {"file-name template", 1, [](FakeHost& h) { h.texts[TextOption::NewNamePattern] = "Название"; },
       kSidorov, "end/Иванов Иван - Тихий дом.fb2", "end/Лес.fb2"},
      {"invalid-files folder", 0, [&](FakeHost& h) { h.texts[TextOption::BadDir] = Path("double/"); },
       kNotWellFormed, "end/a.fb2", "double/b.fb2"},
      {"valid unticked", 0, [](FakeHost& h) { h.checks[CheckOption::Valid] = false; }, kNotConforming,
       "end/a.fb2", "end/b.fb2"},
      // Judged ahead while the run was strict, so no further than its complaint (the genre, before
      // the author and the title): the name needs all its metadata.
      {"valid unticked, renamed and sorted", 11, [](FakeHost& h) { h.checks[CheckOption::Valid] = false; },
       kNotConforming, "end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2",
       "end/П/Петров Пётр/Петров Пётр - Шумный дом.fb2"},
  };
  const auto texts = host_.texts;
  const auto checks = host_.checks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* folder : {"end", "end2", "bad", "double"}) QDir(Path(folder)).removeRecursively();
    host_.texts = texts;
    host_.checks = checks;
    SetWorkType(c.type);
    AddBook("a.fb2", kIvanov);
    AddBook("b.fb2", c.second);
    host_.pumps = 0;
    host_.onPump = [&](int pump) {
      if (pump == 2) c.change(host_);
    };
    RunBooks({"a.fb2", "b.fb2"});
    host_.onPump = nullptr;
    EXPECT_EQ(Tree(), (QMap<QString, QByteArray>{{c.first, kIvanov}, {c.target, c.second}}));
  }
}

TEST_F(Run, WorkTypeChoosesTheDestination) {
  struct Case {
    int type;
    QString target;
  } const cases[] = {
      {0, "end/a.fb2"},
      {1, "end/Иванов Иван - Тихий дом.fb2"},
      {10, "end/И/Иванов Иван/a.fb2"},
      {11, "end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    AddBook("a.fb2", kIvanov);
    SetWorkType(c.type);
    host_.outcomes.clear();
    RunBooks({"a.fb2"});
    ASSERT_EQ(host_.outcomes.size(), 1u);
    EXPECT_EQ(host_.outcomes[0].status, BookStatus::Moved);
    EXPECT_EQ(host_.outcomes[0].target, Path(c.target));
    EXPECT_EQ(Tree().value(c.target), kIvanov);
    EXPECT_FALSE(QFile::exists(Path("books/a.fb2")));
  }
}

// Both kinds of invalid book go to the invalid-files folder under their own names; a folder typed
// without its trailing delimiter is still the folder (the name was glued on: "badbroken.fb2").
TEST_F(Run, InvalidBooksGoToTheInvalidFolder) {
  AddBook("broken.fb2", kNotWellFormed);
  AddBook("wrong.fb2", kNotConforming);
  SetWorkType(11);
  host_.texts[TextOption::BadDir] = Path("bad");
  RunBooks({"broken.fb2", "wrong.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 2u);
  for (const BookOutcome& outcome : host_.outcomes) {
    SCOPED_TRACE(outcome.source.toStdString());
    EXPECT_EQ(outcome.status, BookStatus::Invalid);
    EXPECT_EQ(outcome.target, Path("bad/") + outcome.source);
    EXPECT_FALSE(outcome.reason.isEmpty());
    EXPECT_TRUE(QFile::exists(outcome.target));
  }
  EXPECT_EQ(std::count(host_.reads.begin(), host_.reads.end(), "FullGenres"), 0);
}

// Lenient mode sorts what a reader can open and still sets aside what it cannot: a book that
// does not load, a root that is not a FictionBook. Inline markup in a title is read as its text.
TEST_F(Run, LenientModeSortsReadableBooksThatDoNotConform) {
  struct Case {
    const char* name;
    QByteArray bytes;
    BookStatus lenient;
    QString target;  // relative to the root, in lenient mode
    QString reason;  // a part of the reason, in lenient mode
  } const cases[] = {
      {"wrong.fb2", kNotConforming, BookStatus::Moved, "end/П/Петров Пётр/Петров Пётр - Шумный дом.fb2",
       "no_such_genre"},
      {"broken.fb2", kNotWellFormed, BookStatus::Invalid, "bad/broken.fb2", ""},
      {"bare.fb2", QByteArray(kIvanov).replace(" xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"", ""),
       BookStatus::Invalid, "bad/bare.fb2", ""},
      {"html.fb2", "<html><body><p>text</p></body></html>", BookStatus::Invalid, "bad/html.fb2", ""},
      {"mixed.fb2", Book("Сидоров", "Сидор", "<emphasis>Курсив</emphasis>"), BookStatus::Moved,
       "end/С/Сидоров Сидор/Сидоров Сидор - Курсив.fb2", "book-title"},
  };
  SetWorkType(11);
  for (const bool strict : {true, false}) {
    SCOPED_TRACE(strict ? "strict" : "lenient");
    host_.checks[CheckOption::Valid] = strict;
    host_.outcomes.clear();
    QStringList items;
    for (const Case& c : cases) {
      AddBook(c.name, c.bytes);
      items << c.name;
    }
    RunBooks(items);
    ASSERT_EQ(host_.outcomes.size(), std::size(cases));
    for (size_t k = 0; k < std::size(cases); ++k) {
      const Case& c = cases[k];
      const BookOutcome& outcome = host_.outcomes[k];
      SCOPED_TRACE(c.name);
      const BookStatus expected = strict ? BookStatus::Invalid : c.lenient;
      const QString target = strict ? "bad/" + QString::fromUtf8(c.name) : c.target;
      EXPECT_EQ(outcome.status, expected);
      EXPECT_EQ(outcome.target, Path(target));
      EXPECT_EQ(Tree().value(target), c.bytes);
      if (!strict) {
        EXPECT_TRUE(outcome.reason.contains(c.reason)) << outcome.reason.toStdString();
      }
      EXPECT_FALSE(outcome.reason.isEmpty());
      QFile::remove(Path(target));
    }
  }
}

// A book the schema accepts whose title held a comment, a processing instruction, CDATA beside
// text or an entity ended a strict run ("Element does not contain a single text node", every
// later book unhandled, every rerun stopping there), and lenient mode called it invalid. Each is
// named by its text as a reader shows it, and the book after it is handled.
TEST_F(Run, FieldsWithCommentsCdataAndEntitiesAreReadAsAReaderShowsThem) {
  const QByteArray entity = "<!DOCTYPE FictionBook [<!ENTITY home \"дом\">]>\n<FictionBook";
  struct Case {
    const char* what;
    QByteArray bytes;
  } const cases[] = {
      {"comment", Book("Иванов", "Иван", "Тихий <!-- draft -->дом")},
      {"CDATA beside text", Book("Иванов", "Иван", "Тихий<![CDATA[ дом]]>")},
      {"processing instruction", Book("Иванов", "Иван", "Тихий <?note x?>дом")},
      // libxml2's schema check gave up on the reference: the book was invalid to a strict run.
      {"internal entity", Book("Иванов", "Иван", "Тихий &home;").replace("<FictionBook", entity)},
      {"comment in the author's name", Book("Ива<!---->нов", "Иван", "Тихий дом")},
  };
  SetWorkType(1);
  for (const bool strict : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (strict ? ", strict" : ", lenient"));
      host_.checks[CheckOption::Valid] = strict;
      host_.outcomes.clear();
      AddBook("a.fb2", c.bytes);
      AddBook("b.fb2", kNotConforming);
      EXPECT_NO_THROW(RunBooks({"a.fb2", "b.fb2"}));
      ASSERT_EQ(host_.outcomes.size(), 2u);
      EXPECT_EQ(host_.outcomes[0].status, BookStatus::Moved) << host_.outcomes[0].reason.toStdString();
      EXPECT_TRUE(host_.outcomes[0].reason.isEmpty()) << host_.outcomes[0].reason.toStdString();
      EXPECT_EQ(host_.outcomes[0].target, Path("end/Иванов Иван - Тихий дом.fb2"));
      EXPECT_EQ(host_.outcomes[1].status, strict ? BookStatus::Invalid : BookStatus::Moved);
      QFile::remove(host_.outcomes[0].target);
      QFile::remove(host_.outcomes[1].target);
    }
  }
}

// Called valid without a tree of the book, so the reader must load the file itself, and cannot.
int ValidWithoutTree(TXSDValidator&, const QString&) { return 0; }

// Metadata that cannot be read ended a strict run at that book, and lenient mode sent a book it
// had let through to the invalid folder. No single book ends a run: in either mode it stays
// where it is, with the reason, and the books after it are handled.
TEST_F(Run, MetadataThatCannotBeReadKeepsThatBookAndTheRunGoesOn) {
  SetWorkType(1);
  for (const bool strict : {true, false}) {
    SCOPED_TRACE(strict ? "strict" : "lenient");
    host_.checks[CheckOption::Valid] = strict;
    host_.outcomes.clear();
    AddBook("a.fb2", kNotWellFormed);
    AddBook("b.fb2", kIvanov);
    TXSDValidator validator;
    ASSERT_TRUE(validator.LoadSchema(AppPath() + "fls/FictionBook.xsd"));
    DiskFiles disk;
    EXPECT_NO_THROW(Booker(host_, {"a.fb2", "b.fb2"}, validator, AppPath(), disk, nullptr, ValidWithoutTree));
    ASSERT_EQ(host_.outcomes.size(), 2u);
    EXPECT_EQ(host_.outcomes[0].status, BookStatus::Kept);
    EXPECT_TRUE(host_.outcomes[0].reason.startsWith("Its metadata cannot be read: "))
        << host_.outcomes[0].reason.toStdString();
    EXPECT_EQ(Tree().value("books/a.fb2"), kNotWellFormed);
    EXPECT_EQ(host_.outcomes[1].status, BookStatus::Moved);
    EXPECT_TRUE(QFile::remove(host_.outcomes[1].target));
  }
}

// A file-name template holding a folder delimiter kept every book, "No such file or directory":
// the folder it names was never made. It is made like the sort folder, and the host learns of it
// first, so that a record of the run names it for an undo.
TEST_F(Run, FoldersOfTheFileNameTemplateAreMadeOnRecord) {
  const struct {
    const char* pattern;
    int type;
    const char* target;   // relative to the root
    const char* created;  // the folder the template names, relative to the root
  } cases[] = {
      {"Название\\Фамилия", 1, "end/Тихий дом/Иванов.fb2", "end/Тихий дом"},
      {"%tit/%last", 1, "end/Тихий дом/Иванов.fb2", "end/Тихий дом"},
      // below the sort folder, which is made first
      {"%tit/%last", 11, "end/И/Иванов Иван/Тихий дом/Иванов.fb2", "end/И/Иванов Иван/Тихий дом"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " " + std::to_string(c.type));
    AddBook("a.fb2", kIvanov);
    SetWorkType(c.type);
    host_.texts[TextOption::NewNamePattern] = QString::fromUtf8(c.pattern);
    host_.outcomes.clear();
    host_.created.clear();
    RunBooks({"a.fb2"});
    ASSERT_EQ(host_.outcomes.size(), 1u);
    EXPECT_EQ(host_.outcomes[0].status, BookStatus::Moved) << host_.outcomes[0].reason.toStdString();
    EXPECT_EQ(host_.outcomes[0].target, Path(c.target));
    EXPECT_EQ(Tree().value(c.target), kIvanov);
    EXPECT_TRUE(host_.created.contains(Path(c.created))) << host_.created.join(", ").toStdString();
    QDir(Path("end")).removeRecursively();
    QDir().mkpath(Path("end"));
  }
}

TEST_F(Run, RepeatsGoToTheRepeatFolderOnceAndThenStay) {
  AddBook("a.fb2", kIvanov);
  AddBook("b.fb2", kIvanov);
  SetWorkType(1);
  RunBooks({"a.fb2", "b.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 2u);
  EXPECT_EQ(host_.outcomes[0].status, BookStatus::Moved);
  EXPECT_EQ(host_.outcomes[1].status, BookStatus::Repeat);
  EXPECT_EQ(host_.outcomes[1].target, Path("double/b.fb2"));
  // A repeat said nothing of why; the user has to know which book holds its name.
  EXPECT_EQ(host_.outcomes[1].reason,
            "The name is taken by " + DisplayName(Path("end/Иванов Иван - Тихий дом.fb2")));

  // A second b.fb2 with the same destination: the repeat folder holds that name already.
  AddBook("b.fb2", kIvanov + " ");
  host_.texts[TextOption::DoubleDir] = Path("double");  // a delimiter is added here
  RunBooks({"b.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 3u);
  EXPECT_EQ(host_.outcomes[2].status, BookStatus::Kept);
  EXPECT_EQ(host_.outcomes[2].target, Path("double/b.fb2"));
  EXPECT_EQ(host_.outcomes[2].reason, QString::fromLocal8Bit(std::strerror(EEXIST)));
  const auto tree = Tree();
  EXPECT_EQ(tree.value("books/b.fb2"), kIvanov + " ");
  EXPECT_EQ(tree.value("double/b.fb2"), kIvanov);
  EXPECT_EQ(tree.size(), 3);
}

// Processing the processed folder itself with an unchanged name: the file is its own destination,
// so it stays where it is, unpacked, and is no repeat of itself.
TEST_F(Run, ABookThatIsItsOwnDestinationIsLeftAlone) {
  AddBook("a.fb2", kIvanov);
  SetWorkType(0);
  host_.texts[TextOption::EndDir] = Path("books");
  host_.checks[CheckOption::Archive] = true;
  FakeArchive archive;
  RunBooks({"a.fb2"}, &archive);
  ASSERT_EQ(host_.outcomes.size(), 1u);
  EXPECT_EQ(host_.outcomes[0].status, BookStatus::Kept);
  EXPECT_EQ(host_.outcomes[0].reason, "Already at its destination");
  EXPECT_TRUE(archive.packed.isEmpty());
  EXPECT_EQ(Tree().keys(), QStringList{"books/a.fb2"});
}

TEST_F(Run, AnErrorEndsTheRunAtTheCurrentBook) {
  AddBook("b.fb2", kIvanov);
  AddBook("c.fb2", kIvanov);
  for (const int type : {0, 1}) {
    SCOPED_TRACE(type);
    QFile::remove(Path("bad/a.fb2"));
    AddBook("a.fb2", kNotWellFormed);
    SetWorkType(type);
    host_.texts[TextOption::EndDir] = "";
    host_.outcomes.clear();
    host_.statuses.clear();
    try {
      RunBooks({"a.fb2", "b.fb2", "c.fb2"});
      ADD_FAILURE() << "the run went through";
    } catch (const ShelvioError& e) {
      EXPECT_EQ(e.Message(), "Unable to create directory");
    }
    // The book before stays moved; the current and later ones stay; no closing "Ждём...".
    ASSERT_EQ(host_.outcomes.size(), 1u);
    EXPECT_EQ(host_.outcomes[0].status, BookStatus::Invalid);
    EXPECT_EQ(host_.statuses.last(), "b.fb2");
    const auto tree = Tree();
    EXPECT_TRUE(tree.contains("bad/a.fb2"));
    EXPECT_TRUE(tree.contains("books/b.fb2"));
    EXPECT_TRUE(tree.contains("books/c.fb2"));
  }
}

// Missing invalid-files and repeat folders were never created, so every such book was "kept"; and
// a work folder that cannot be created ended nothing, each book failing alone. Now each is created
// at its first use, and one that cannot be ends the run, naming the folder, real run and dry alike.
TEST_F(Run, CreatesMissingWorkFoldersAndEndsTheRunWhenOneCannotBe) {
  AddBook("a.fb2", kNotWellFormed);
  AddBook("b.fb2", kIvanov);
  AddBook("c.fb2", kIvanov);
  SetWorkType(11);
  for (const char* folder : {"bad", "end", "double"}) QDir(Path(folder)).removeRecursively();
  host_.texts[TextOption::BadDir] = Path("new/bad");
  host_.texts[TextOption::EndDir] = Path("new/end");
  host_.texts[TextOption::DoubleDir] = Path("new/double");
  RunBooks({"a.fb2", "b.fb2", "c.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 3u);
  EXPECT_EQ(host_.outcomes[0].status, BookStatus::Invalid);
  EXPECT_EQ(host_.outcomes[1].status, BookStatus::Moved);
  EXPECT_EQ(host_.outcomes[2].status, BookStatus::Repeat);
  EXPECT_EQ(Tree().keys(), (QStringList{"new/bad/a.fb2", "new/double/c.fb2",
                                        "new/end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2"}));

  // A file stands where a folder must go.
  AddBook("d.fb2", kNotWellFormed);
  AddBook("e.fb2", kIvanov);
  QFile blocker(Path("blocker"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  for (const TextOption option : {TextOption::BadDir, TextOption::EndDir}) {
    SCOPED_TRACE(option == TextOption::BadDir ? "invalid-files folder" : "processed folder");
    const QString previous = host_.texts[option];
    host_.texts[option] = Path("blocker/x");
    for (const bool dry : {true, false}) {
      DiskFiles disk;
      DryRunFiles dryFiles;
      host_.outcomes.clear();
      try {
        RunBooks({"d.fb2", "e.fb2"}, dry ? static_cast<BookFiles&>(dryFiles) : disk);
        ADD_FAILURE() << "the run went on";
      } catch (const ShelvioError& e) {
        EXPECT_EQ(e.Message(), "Unable to create directory \"" + Path("blocker/x/") + "\": Not a directory");
      }
      EXPECT_TRUE(Tree().contains(option == TextOption::BadDir ? "books/d.fb2" : "books/e.fb2"));
    }
    host_.texts[option] = previous;
    QFile::remove(Path("books/d.fb2"));
    AddBook("d.fb2", kNotWellFormed);
  }
}

// A destination past the system's limit on a whole path kept the book with only "File name too
// long", which points at no name: the reason now says that the path is too long, and by how much,
// in the dry run as in the real one, and the book stays where it was.
TEST_F(Run, APathTooLongKeepsTheBookWithAReasonThatSaysSo) {
  AddBook("a.fb2", kIvanov);
  SetWorkType(1);
  // Below the limit itself, but not with the book's new name added.
  QString deep = Path("end");
  while (deep.toUtf8().size() < PATH_MAX - 36) deep += "/" + QString(19, u'd');
  host_.texts[TextOption::EndDir] = deep;
  for (const bool dry : {true, false}) {
    SCOPED_TRACE(dry ? "dry run" : "real run");
    DiskFiles disk;
    DryRunFiles dryFiles;
    host_.outcomes.clear();
    RunBooks({"a.fb2"}, dry ? static_cast<BookFiles&>(dryFiles) : disk);
    ASSERT_EQ(host_.outcomes.size(), 1u);
    const BookOutcome& outcome = host_.outcomes[0];
    EXPECT_EQ(outcome.status, BookStatus::Kept);
    const qsizetype length = outcome.target.toUtf8().size();
    EXPECT_GE(length, PATH_MAX);
    EXPECT_EQ(outcome.reason, QStringLiteral("Path too long: %1 bytes, where the system takes at most %2")
                                  .arg(length)
                                  .arg(PATH_MAX - 1));
    EXPECT_TRUE(QFile::exists(Path("books/a.fb2")));
  }
}

// The folders below the area, by their paths.
QStringList FoldersBelow(const QString& top) {
  QStringList folders;
  QDirIterator it(top, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) folders << it.next();
  return folders;
}

// A sort folder past the system's limit on a path (an author of "a/" 2,100 times) was made level by
// level up to the limit, about 2,000 folders, none of them on record, and the book kept with "File
// name too long"; a processed folder past that limit was made up to it, unrecorded, before the run
// ended. Now the whole path is judged first: nothing is made for a path too long, the reason says
// so, and every folder the run makes is announced before it is made.
TEST_F(Run, NoFolderIsMadeForAPathTooLongNorWithoutBeingAnnounced) {
  struct Case {
    const char* what;
    int type;
    QByteArray book;
    QString endDir;  // relative to the area
    bool runEnds;    // the work folder cannot be made: the run ends
  };
  const Case cases[] = {
      {"sort folder too long", 10, Book(QString("a/").repeated(2100), "Иван", "Дом"), "end/", false},
      {"processed folder too long", 0, kIvanov, QString("d").repeated(19).append('/').repeated(220), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(Path("books/a.fb2"));
    AddBook("a.fb2", c.book);
    SetWorkType(c.type);
    host_.texts[TextOption::EndDir] = Path(c.endDir);
    host_.outcomes.clear();
    host_.created.clear();
    const QStringList before = FoldersBelow(root_.path());
    try {
      RunBooks({"a.fb2"});
      EXPECT_FALSE(c.runEnds);
    } catch (const ShelvioError& e) {
      EXPECT_TRUE(c.runEnds) << e.Message().toStdString();
      EXPECT_TRUE(e.Message().contains("\": Path too long: ")) << e.Message().toStdString();
    }
    const QStringList after = FoldersBelow(root_.path());
    QStringList unannounced;
    for (const QString& folder : after)
      if (!before.contains(folder) && !host_.created.contains(folder)) unannounced << folder;
    EXPECT_EQ(unannounced.size(), 0) << unannounced.value(0).toStdString();
    EXPECT_TRUE(QFile::exists(Path("books/a.fb2")));
    if (!c.runEnds) {
      ASSERT_EQ(host_.outcomes.size(), 1u);
      EXPECT_EQ(host_.outcomes[0].status, BookStatus::Kept);
      EXPECT_TRUE(host_.outcomes[0].reason.startsWith("Path too long: "))
          << host_.outcomes[0].reason.toStdString();
      EXPECT_EQ(after.size(), before.size());
    }
  }
}

TEST_F(Run, CancelStopsBeforeTheNextBookAndReportsProgress) {
  for (const char* name : {"a.fb2", "b.fb2", "c.fb2"}) AddBook(name, kIvanov);
  SetWorkType(0);
  host_.cancelAfterPumps = 2;
  RunBooks({"a.fb2", "b.fb2", "c.fb2"});
  EXPECT_EQ(host_.pumps, 2);
  ASSERT_EQ(host_.outcomes.size(), 1u);
  EXPECT_EQ(host_.outcomes[0].source, "a.fb2");
  EXPECT_EQ(host_.progressMax, 3);
  EXPECT_EQ(host_.progress, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(host_.statuses, (QStringList{"a.fb2", "Ждём..."}));
  EXPECT_EQ(Tree().keys(), (QStringList{"books/b.fb2", "books/c.fb2", "end/a.fb2"}));
}

TEST_F(Run, EmptyListTouchesNothing) {
  RunBooks({});
  EXPECT_EQ(host_.pumps, 0);
  EXPECT_EQ(host_.progressMax, 0);
  EXPECT_EQ(host_.statuses, QStringList{"Ждём..."});
}

TEST_F(Run, SchemaThatDoesNotLoadStopsBeforeAnyBook) {
  AddBook("a.fb2", kIvanov);
  TXSDValidator validator;
  DiskFiles disk;
  QString reason;
  EXPECT_FALSE(StartRun(host_, {"a.fb2"}, validator, Path("nowhere/"), disk, nullptr, &reason));
  EXPECT_FALSE(reason.isEmpty());
  EXPECT_EQ(host_.pumps, 0);
  EXPECT_TRUE(QFile::exists(Path("books/a.fb2")));
  EXPECT_EQ(host_.statuses, QStringList{"Ждём..."});
}

// The archive step runs after the move; an archive already at D + ".zip" makes D taken, since
// packing would replace that archive and lose the book in it. With nothing at D (the repeat went
// elsewhere and D itself is packed already) there is nothing to pack: no empty archive is made.
TEST_F(Run, ArchiveStepPacksTheDestination) {
  AddBook("a.fb2", kIvanov);
  AddBook("b.fb2", kIvanov);
  SetWorkType(0);
  FakeArchive archive;
  host_.checks[CheckOption::Archive] = true;
  RunBooks({"a.fb2"}, &archive);
  ASSERT_EQ(host_.outcomes.size(), 1u);
  EXPECT_EQ(host_.outcomes[0].status, BookStatus::Moved);
  EXPECT_EQ(host_.outcomes[0].target, Path("end/a.fb2.zip"));

  // Same name again: a.fb2 is gone from end/, but its archive is there.
  AddBook("a.fb2", kIvanov);
  RunBooks({"a.fb2"}, &archive);
  EXPECT_EQ(host_.outcomes[1].status, BookStatus::Repeat);
  EXPECT_EQ(host_.outcomes[1].reason, "The name is taken by " + DisplayName(Path("end/a.fb2.zip")));
  EXPECT_EQ(archive.packed, QStringList{Path("end/a.fb2")});

  host_.checks[CheckOption::Archive] = false;
  RunBooks({"b.fb2"}, &archive);
  EXPECT_EQ(archive.packed.size(), 1);
  EXPECT_EQ(host_.outcomes[2].target, Path("end/b.fb2"));
}

// A dry run must neither touch the disk nor tell a different story than the run that follows:
// books of the same run that compete for names, folders that only the run creates, a repeat
// folder that holds a name already, and a repeat folder that does not exist.
TEST_F(Run, DryRunPredictsTheRealRunAndChangesNothing) {
  AddBook("a.fb2", kIvanov);
  AddBook("b.fb2", kIvanov);
  AddBook("c.fb2", kNotConforming);
  AddBook("d.fb2", kIvanov);
  AddBook("e.fb2", Book("Петров", "Пётр", "Шумный дом"));
  AddBook("f.fb2", Book("Петров", "Пётр", "Шумный дом"));
  QFile taken(Path("double/d.fb2"));
  ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
  taken.close();
  const QStringList items = {"a.fb2", "b.fb2", "c.fb2", "d.fb2", "e.fb2", "f.fb2"};
  SetWorkType(11);

  for (const QString& doubleDir : {Path("double/"), Path("missing/")}) {
    SCOPED_TRACE(doubleDir.toStdString());
    host_.texts[TextOption::DoubleDir] = doubleDir;
    const auto before = Tree();
    host_.outcomes.clear();
    DryRunFiles dry;
    RunBooks(items, dry);
    const std::vector<BookOutcome> predicted = host_.outcomes;
    EXPECT_EQ(Tree(), before);
    EXPECT_TRUE(QDir(Path("end")).isEmpty());

    host_.outcomes.clear();
    RunBooks(items);
    ASSERT_EQ(host_.outcomes.size(), predicted.size());
    for (size_t i = 0; i < predicted.size(); ++i) {
      SCOPED_TRACE(predicted[i].source.toStdString());
      EXPECT_EQ(host_.outcomes[i].status, predicted[i].status);
      EXPECT_EQ(host_.outcomes[i].target, predicted[i].target);
      EXPECT_EQ(host_.outcomes[i].reason, predicted[i].reason);
    }
    // Put everything back for the next round.
    QDir(Path("end")).removeRecursively();
    QDir().mkpath(Path("end"));
    for (const BookOutcome& outcome : host_.outcomes)
      if (outcome.status != BookStatus::Kept) QFile::rename(outcome.target, Path("books/" + outcome.source));
  }
}

// XMLValid with a record of who validated what, for the look-ahead's tests: a book may be made to
// fail or to take its time, and a test can wait until the worker has finished a book.
struct CheckLog {
  std::mutex mutex;
  std::vector<std::pair<QString, bool>> calls;  // the path, and whether off the test's thread
  std::thread::id mainThread = std::this_thread::get_id();
  QString failOn;
  QString slowOn;
  // Given as not judged for lack of memory: when judged ahead, and with notJudgedAlone at its turn too.
  QString notJudgedOn;
  bool notJudgedAlone = false;
  QStringList finishedAhead;  // the books the worker has finished
  std::atomic<bool> slowFinished{false};
  QStringList startedAfterSlow;  // the books whose check began after slowOn's had finished

  int CallsFor(const QString& path) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [&](const auto& call) { return call.first == path; }));
  }
  bool AheadFor(const QString& path) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(calls.begin(), calls.end(),
                       [&](const auto& call) { return call.first == path && call.second; });
  }
  // Waits up to ten seconds for the worker to finish path.
  bool WaitAhead(const QString& path) {
    for (int tries = 0; tries < 1000; ++tries) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (finishedAhead.contains(path)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

CheckLog* gCheckLog = nullptr;

int LoggedCheck(TXSDValidator& validator, const QString& path) {
  CheckLog& log = *gCheckLog;
  const bool ahead = std::this_thread::get_id() != log.mainThread;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.calls.emplace_back(path, ahead);
    if (log.slowFinished) log.startedAfterSlow << path;
  }
  if (path == log.failOn)
    throw ShelvioError(ShelvioError::Kind::Validation, QStringLiteral("No schema is loaded"));
  const int verdict = XMLValid(validator, path);
  if (path == log.notJudgedOn && (ahead || log.notJudgedAlone)) return kNotJudged;
  if (path == log.slowOn) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    log.slowFinished = true;
  }
  if (ahead) {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.finishedAhead << path;
  }
  return verdict;
}

int ThreadCount() {
  return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Runs a step on the destination as the archive step, then packs the way the real step does.
class HookedArchive : public FakeArchive {
 public:
  explicit HookedArchive(std::function<void(const QString&)> hook) : hook_(std::move(hook)) {}
  PackOutcome Pack(const QString& destination, const FileStamp& moved) override {
    hook_(destination);
    return FakeArchive::Pack(destination, moved);
  }

 private:
  std::function<void(const QString&)> hook_;
};

class LookAheadRun : public Run {
 protected:
  void SetUp() override {
    Run::SetUp();
    gCheckLog = &log_;
  }
  void TearDown() override {
    gCheckLog = nullptr;
    Run::TearDown();
  }

  // Runs Booker as StartRun does, with the logged check.
  void RunChecked(const QStringList& items, ArchiveStep* archive = nullptr) {
    TXSDValidator validator;
    ASSERT_TRUE(validator.LoadSchema(AppPath() + "fls/FictionBook.xsd"));
    DiskFiles disk;
    Booker(host_, items, validator, AppPath(), disk, archive, LoggedCheck);
  }

  // first was checked first, and each book of rest only once first's check had finished.
  void ExpectReadOnlyAfter(const QString& first, QStringList rest) {
    std::lock_guard<std::mutex> lock(log_.mutex);
    ASSERT_EQ(log_.calls.size(), static_cast<size_t>(rest.size()) + 1);
    EXPECT_EQ(log_.calls[0].first, first);
    QStringList after = log_.startedAfterSlow;
    after.sort();
    rest.sort();
    EXPECT_EQ(after, rest);
  }

  CheckLog log_;
};

// Validation ahead must save work: an unchanged second book of a pair is validated once, on the
// worker, and its verdict and reason are the ones the run reports.
TEST_F(LookAheadRun, ValidatesTheNextBookOnceOnTheWorker) {
  AddBook("a.fb2", kIvanov);
  AddBook("b.fb2", kNotConforming);
  AddBook("c.fb2", kIvanov);
  AddBook("d.fb2", kNotWellFormed);
  SetWorkType(0);
  RunChecked({"a.fb2", "b.fb2", "c.fb2", "d.fb2"});
  for (const char* name : {"a.fb2", "b.fb2", "c.fb2", "d.fb2"}) EXPECT_EQ(log_.CallsFor(name), 1) << name;
  EXPECT_TRUE(log_.AheadFor("b.fb2"));
  EXPECT_TRUE(log_.AheadFor("d.fb2"));
  ASSERT_EQ(host_.outcomes.size(), 4u);
  EXPECT_EQ(host_.outcomes[1].status, BookStatus::Invalid);
  EXPECT_TRUE(host_.outcomes[1].reason.contains("no_such_genre")) << host_.outcomes[1].reason.toStdString();
  EXPECT_EQ(host_.outcomes[3].status, BookStatus::Invalid);
  EXPECT_TRUE(host_.outcomes[3].reason.startsWith("d.fb2:")) << host_.outcomes[3].reason.toStdString();
  EXPECT_EQ(host_.outcomes[2].target, Path("end/c.fb2"));
}

// A verdict on a file that the handling of the book before has changed would send a book where its
// content does not belong. The worker has surely read the next book before it changes here.
TEST_F(LookAheadRun, NextBookChangedMeanwhileIsValidatedAgain) {
  struct Case {
    const char* what;
    QString next;          // the list item after a.fb2
    QByteArray nextBytes;  // its content when the worker reads it
    std::function<void(const QString& next)> change;
    BookStatus status;  // the outcome the run must report for it
    QString target;
  } const cases[] = {
      // Another program takes the next book away while a.fb2 is packed.
      {"taken away", "b.fb2", kIvanov, [](const QString& next) { QFile::remove(next); }, BookStatus::Missing,
       "bad/b.fb2"},
      {"replaced by an invalid book", "b.fb2", kIvanov,
       [](const QString& next) {
         QFile temp(next + ".new");
         temp.open(QIODevice::WriteOnly);
         temp.write(kNotWellFormed);
         temp.close();
         QFile::remove(next);
         QFile::rename(next + ".new", next);
       },
       BookStatus::Invalid, "bad/b.fb2"},
      {"rewritten in place", "b.fb2", kNotConforming,
       [](const QString& next) {
         QFile file(next);
         file.open(QIODevice::WriteOnly | QIODevice::Truncate);
         file.write(Book("Сидоров", "Сидор", "Дом"));
       },
       BookStatus::Moved, "end/С/Сидоров Сидор/Сидоров Сидор - Дом.fb2.zip"},
      // The same file and the same size: only the modification time tells the bytes changed.
      {"rewritten in place at the same size", "b.fb2", kIvanov,
       [](const QString& next) {
         struct stat before {};
         ASSERT_EQ(::stat(QFile::encodeName(next).constData(), &before), 0);
         QFile file(next);
         ASSERT_TRUE(file.open(QIODevice::ReadWrite));
         const QByteArray bytes = file.readAll().replace("</FictionBook>", "</FictionBooX>");
         file.seek(0);
         file.write(bytes);
         file.close();
         // A clock that has not moved on since the book was first read must not hide the change.
         const struct timespec times[2] = {before.st_atim,
                                           {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec}};
         ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(next).constData(), times, 0), 0);
       },
       BookStatus::Invalid, "bad/b.fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QDir(Path("end")).removeRecursively();
    QDir(Path("bad")).removeRecursively();
    QDir(Path("double")).removeRecursively();
    for (const char* folder : {"bad", "end", "double"}) QDir(root_.path()).mkpath(folder);
    host_.outcomes.clear();
    log_.calls.clear();
    log_.finishedAhead.clear();
    AddBook("a.fb2", kIvanov);
    AddBook(c.next, c.nextBytes);
    SetWorkType(11);
    host_.texts[TextOption::EndDir] = Path("end/");
    host_.checks[CheckOption::Archive] = true;
    const QString next = Path("books/" + c.next);
    HookedArchive archive([&](const QString& destination) {
      if (destination != Path("end/И/Иванов Иван/Иванов Иван - Тихий дом.fb2") && destination != next) return;
      EXPECT_TRUE(log_.WaitAhead(c.next));
      c.change(next);
    });
    RunChecked({"a.fb2", c.next}, &archive);
    ASSERT_EQ(host_.outcomes.size(), 2u);
    EXPECT_TRUE(log_.AheadFor(c.next));
    EXPECT_EQ(log_.CallsFor(c.next), 2);
    EXPECT_EQ(host_.outcomes[1].status, c.status);
    EXPECT_EQ(host_.outcomes[1].target, Path(c.target));
  }
}

// Books named a.fb2, b.fb2, ... enough to reach past the look-ahead.
QStringList LetterBooks(qsizetype count) {
  QStringList names;
  for (qsizetype i = 0; i < count; ++i) names << QString(QChar(char16_t(u'a' + i))) + ".fb2";
  return names;
}

// An error of the worker belongs to its book: the book before is handled in full, the error comes
// at the failing book's turn (after its status), no book after it is touched, and none past the
// look-ahead of the failing book is even read.
TEST_F(LookAheadRun, WorkerErrorSurfacesAtItsBook) {
  const QStringList books = LetterBooks(LookAheadBooks() + 4);
  for (const QString& name : books) AddBook(name, kIvanov);
  SetWorkType(0);
  log_.failOn = "b.fb2";
  try {
    RunChecked(books);
    ADD_FAILURE() << "the run went through";
  } catch (const ShelvioError& e) {
    EXPECT_EQ(e.Message(), "No schema is loaded");
  }
  EXPECT_TRUE(log_.AheadFor("b.fb2"));
  ASSERT_EQ(host_.outcomes.size(), 1u);
  EXPECT_EQ(host_.outcomes[0].target, Path("end/a.fb2"));
  EXPECT_EQ(host_.statuses, (QStringList{"a.fb2", "b.fb2"}));
  for (qsizetype k = 2 + LookAheadBooks(); k < books.size(); ++k)
    EXPECT_EQ(log_.CallsFor(books[k]), 0) << books[k].toStdString();
  QStringList left;
  for (const QString& name : books.mid(1)) left << "books/" + name;
  EXPECT_EQ(Tree().keys(), left + QStringList{"end/a.fb2"});
}

// Large books must not pile up in memory: while a book over the look-ahead's budget is in hand,
// nothing after it is read; the small books after a small one are read ahead as usual.
TEST_F(LookAheadRun, LargeBookIsInHandAlone) {
  const QByteArray padding(static_cast<qsizetype>(kLookAheadBytes), 'x');
  const QByteArray large =
      QByteArray(kIvanov).replace("</FictionBook>", "<!--" + padding + "--></FictionBook>");
  AddBook("a.fb2", large);
  AddBook("b.fb2", kIvanov);
  AddBook("c.fb2", kIvanov);
  AddBook("d.fb2", kIvanov);
  SetWorkType(0);
  log_.slowOn = "a.fb2";
  RunChecked({"a.fb2", "b.fb2", "c.fb2", "d.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 4u);
  ExpectReadOnlyAfter("a.fb2", {"b.fb2", "c.fb2", "d.fb2"});
}

// A packed book takes what it inflates to: a small archive of a large book is in hand alone too.
TEST_F(LookAheadRun, PackedBookCountsAtItsInflatedSize) {
  QByteArray lines;
  for (int k = 0; lines.size() <= kLookAheadBytes; ++k) lines += "line " + QByteArray::number(k) + "\n";
  const QByteArray large =
      QByteArray(kIvanov).replace("</FictionBook>", "<!--" + lines + "--></FictionBook>");
  QProcess python;
  python.start("python3", {"-c",
                           "import sys, zipfile\n"
                           "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    z.writestr('a.fb2', sys.stdin.buffer.read())",
                           Path("books/a.fb2.zip")});
  ASSERT_TRUE(python.waitForStarted());
  python.write(large);
  python.closeWriteChannel();
  ASSERT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0);
  ASSERT_LT(QFileInfo(Path("books/a.fb2.zip")).size(), kLookAheadBytes / 4);
  AddBook("b.fb2", kIvanov);
  AddBook("c.fb2", kIvanov);
  SetWorkType(0);
  log_.slowOn = "a.fb2.zip";
  RunChecked({"a.fb2.zip", "b.fb2", "c.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 3u);
  ExpectReadOnlyAfter("a.fb2.zip", {"b.fb2", "c.fb2"});
}

// Memory that ran short says nothing of a book: judged ahead beside other books, it is judged once
// more alone at its turn, and when that fails too it stays where it is, never in the invalid
// folder, with the reason.
TEST_F(LookAheadRun, BookNotJudgedForLackOfMemoryIsTriedAloneThenKept) {
  const struct {
    const char* what;
    bool alone;  // short of memory alone too
    BookStatus status;
    QString left;  // where b.fb2 is after the run
  } cases[] = {
      {"short of memory beside other books", false, BookStatus::Moved, "end/b.fb2"},
      {"short of memory alone too", true, BookStatus::Kept, "books/b.fb2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* folder : {"bad", "end"}) {
      QDir(Path(folder)).removeRecursively();
      QDir(root_.path()).mkpath(folder);
    }
    host_.outcomes.clear();
    log_.calls.clear();
    AddBook("a.fb2", kIvanov);
    AddBook("b.fb2", kIvanov);
    AddBook("c.fb2", kIvanov);
    SetWorkType(0);
    log_.notJudgedOn = "b.fb2";
    log_.notJudgedAlone = c.alone;
    RunChecked({"a.fb2", "b.fb2", "c.fb2"});
    ASSERT_EQ(host_.outcomes.size(), 3u);
    EXPECT_TRUE(log_.AheadFor("b.fb2"));
    EXPECT_EQ(log_.CallsFor("b.fb2"), 2);
    EXPECT_EQ(host_.outcomes[1].status, c.status);
    EXPECT_TRUE(Tree().contains(c.left)) << Tree().keys().join(' ').toStdString();
    EXPECT_EQ(host_.outcomes[2].status, BookStatus::Moved);
  }
}

// Neither a cancel nor an error that ends the run may leave a worker running: they are waited for
// before the run returns, and nothing past the look-ahead of the last book handled is read.
TEST_F(LookAheadRun, EndOfRunLeavesNoWorker) {
  struct Case {
    const char* what;
    bool cancel;
  } const cases[] = {{"cancel", true}, {"archive step error", false}};
  const QStringList books = LetterBooks(LookAheadBooks() + 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& name : books) AddBook(name, kIvanov);
    QDir(Path("end")).removeRecursively();
    QDir().mkpath(Path("end"));
    log_.calls.clear();
    log_.slowOn = "b.fb2";
    log_.slowFinished = false;
    SetWorkType(0);
    host_.pumps = 0;
    host_.cancelAfterPumps = c.cancel ? 2 : -1;
    host_.checks[CheckOption::Archive] = !c.cancel;
    HookedArchive archive([](const QString&) {
      throw ShelvioError(ShelvioError::Kind::Engine, QStringLiteral("Unable to pack"));
    });
    const int threadsBefore = ThreadCount();
    try {
      RunChecked(books, &archive);
      EXPECT_TRUE(c.cancel);
    } catch (const ShelvioError& e) {
      EXPECT_FALSE(c.cancel);
      EXPECT_EQ(e.Message(), "Unable to pack");
    }
    EXPECT_TRUE(log_.slowFinished);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(log_.CallsFor("b.fb2"), 1);
    for (qsizetype k = 1 + LookAheadBooks(); k < books.size(); ++k)
      EXPECT_EQ(log_.CallsFor(books[k]), 0) << books[k].toStdString();
    EXPECT_TRUE(QFile::exists(Path("books/b.fb2")));
  }
}

}  // namespace
