#include "engine/engine_error.h"
#include "engine/run.h"
#include "validation/xsd_validator.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* Name(TextOption option) {
  static const char* const kNames[] = {"BadDir", "EndDir", "DoubleDir", "NewNamePattern", "SortPattern"};
  return kNames[static_cast<int>(option)];
}

const char* Name(CheckOption option) {
  static const char* const kNames[] = {"Rename",   "Sort",      "Archive",    "Translit",  "TranslitDir",
                                       "SortLast", "SortFirst", "SortMiddle", "FullGenres"};
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
  }
  bool CancelRequested() override { return cancelAfterPumps >= 0 && pumps >= cancelAfterPumps; }
  void BookDone(const BookOutcome& outcome) override { outcomes.push_back(outcome); }

  QMap<TextOption, QString> texts;
  QMap<CheckOption, bool> checks;
  std::vector<std::string> reads;
  int cancelAfterPumps = -1;
  int pumps = 0;
  QStringList statuses;
  int progressMax = -1;
  std::vector<int> progress;
  std::vector<BookOutcome> outcomes;
};

// Packs the way the real step does as far as the run can see: D.zip appears, D goes.
class FakeArchive : public ArchiveStep {
 public:
  bool Pack(const QString& destination) override {
    packed << destination;
    QFile zip(destination + ".zip");
    if (zip.open(QIODevice::WriteOnly)) zip.write("PK");
    QFile::remove(destination);
    return true;
  }
  QStringList packed;
};

QByteArray Book(const QString& last, const QString& first, const QString& title,
                const QString& genre = "sf") {
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description>"
             "<title-info><genre>%4</genre><author><first-name>%2</first-name>"
             "<last-name>%1</last-name></author><book-title>%3</book-title><lang>ru</lang>"
             "</title-info><document-info><author><nickname>n</nickname></author><date>2020</date>"
             "<id>1</id><version>1.0</version></document-info></description>"
             "<body><section><p>text</p></section></body></FictionBook>\n")
      .arg(last, first, title, genre)
      .toUtf8();
}

const QByteArray kIvanov = Book("Иванов", "Иван", "Тихий дом");
const QByteArray kNotWellFormed = "<FictionBook><description>";
const QByteArray kNotConforming = Book("Петров", "Пётр", "Шумный дом", "no_such_genre");

QString AppPath() {
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + "/";
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    for (const char* folder : {"books", "bad", "end", "double"}) ASSERT_TRUE(QDir(root_.path()).mkpath(folder));
    previous_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Path("books")));
    host_.texts = {{TextOption::BadDir, Path("bad/")},
                   {TextOption::EndDir, Path("end/")},
                   {TextOption::DoubleDir, Path("double/")},
                   {TextOption::NewNamePattern, "Фамилия Имя - Название"},
                   {TextOption::SortPattern, "Алфавит\\Автор"}};
    host_.checks = {{CheckOption::SortLast, true}, {CheckOption::SortFirst, true}};
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

// The order in which a shell's controls are read is visible to the user: a change made while the
// run handles its messages applies from the next read on.
TEST_F(Run, ReadsEachOptionWhenItIsNeeded) {
  struct Case {
    int type;
    std::vector<std::string> reads;
  } const cases[] = {
      {0, {"pump", "BadDir", "Rename", "Sort", "Rename", "Sort", "Rename", "Sort", "EndDir", "Archive"}},
      {11, {"pump", "BadDir", "Rename", "Sort", "FullGenres", "Rename", "Sort", "NewNamePattern",
            "Translit", "SortLast", "SortFirst", "SortMiddle", "SortPattern", "EndDir", "TranslitDir",
            "Rename", "Sort", "Archive"}},
  };
  FakeArchive archive;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    AddBook("a.fb2", kIvanov);
    SetWorkType(c.type);
    host_.reads.clear();
    RunBooks({"a.fb2"}, &archive);
    EXPECT_EQ(host_.reads, c.reads);
  }

  // An invalid book reads the invalid-files folder and nothing else; a taken destination adds
  // the folder for repeated files.
  AddBook("bad.fb2", kNotWellFormed);
  AddBook("Иванов Иван - Тихий дом.fb2", kIvanov);
  SetWorkType(1);
  host_.texts[TextOption::EndDir] = Path("books");
  host_.reads.clear();
  RunBooks({"bad.fb2", "Иванов Иван - Тихий дом.fb2"});
  const std::vector<std::string> expected = {
      "pump", "BadDir", "pump", "BadDir", "Rename", "Sort", "FullGenres", "Rename", "Sort",
      "NewNamePattern", "Translit", "SortLast", "SortFirst", "SortMiddle", "SortPattern", "EndDir",
      "TranslitDir", "Rename", "Sort", "EndDir", "DoubleDir"};
  EXPECT_EQ(host_.reads, expected);
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

// Both kinds of invalid book go to the invalid-files folder under their own names, and the
// folder text is used as typed: without a trailing delimiter the name is glued on.
TEST_F(Run, InvalidBooksGoToTheInvalidFolderAsTyped) {
  AddBook("broken.fb2", kNotWellFormed);
  AddBook("wrong.fb2", kNotConforming);
  SetWorkType(11);
  host_.texts[TextOption::BadDir] = Path("bad");
  RunBooks({"broken.fb2", "wrong.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 2u);
  for (const BookOutcome& outcome : host_.outcomes) {
    SCOPED_TRACE(outcome.source.toStdString());
    EXPECT_EQ(outcome.status, BookStatus::Invalid);
    EXPECT_EQ(outcome.target, Path("bad") + outcome.source);
    EXPECT_FALSE(outcome.reason.isEmpty());
    EXPECT_TRUE(QFile::exists(outcome.target));
  }
  EXPECT_EQ(std::count(host_.reads.begin(), host_.reads.end(), "FullGenres"), 0);
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

// Processing the processed folder itself with an unchanged name: the file is its own destination.
TEST_F(Run, ADestinationThatIsTheFileItselfIsARepeat) {
  AddBook("a.fb2", kIvanov);
  SetWorkType(0);
  host_.texts[TextOption::EndDir] = Path("books");
  RunBooks({"a.fb2"});
  ASSERT_EQ(host_.outcomes.size(), 1u);
  EXPECT_EQ(host_.outcomes[0].status, BookStatus::Repeat);
  EXPECT_EQ(Tree().keys(), QStringList{"double/a.fb2"});
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
    } catch (const EngineError& e) {
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

}  // namespace
