// Two runs at once over one library: two shelvio-cli processes over one folder, and two folders of
// different editions of the same books into one processed folder; archiving on and off; the
// processed folder on the same file system and on another one. The file call shim pauses both
// processes after every rename, link and unlink, so that each lands in the other's windows between
// a move and what follows it (the packing, the removal of a copied source), and forces the
// fallbacks of a rename without replacing. Every book must be found exactly once, by SHA-256, with
// nothing left of a temporary file. SHELVIO_SOAK=1 runs many more rounds over more books
// (SHELVIO_SOAK_REPEATS=N: N times every round, 10 by default).

#include <QProcess>
#include <QProcessEnvironment>
#include <iostream>
#include <memory>

#include "tests/reliability/reliability_support.h"

namespace {

using reliability::Area;
using reliability::Book;
using reliability::Inventory;
using reliability::ParseOutcomes;
using reliability::SoakRequested;
using reliability::TmpfsMount;

// How a rename without replacing is made: the flag, or one of the two fallbacks the shim forces.
struct RenameWay {
  const char* name;
  bool noFlag;
  bool noLink;
};
constexpr RenameWay kRenameWays[] = {
    {"RENAME_NOREPLACE", false, false}, {"link and unlink", true, false}, {"reservation", true, true}};

struct Figures {
  int rounds = 0;
  int books = 0;
  int lost = 0;
  int twice = 0;
  int temporary = 0;
  int strangers = 0;
  int missing = 0;  // lines of one run about a book the other one took: the runs did meet
};

QProcessEnvironment Environment(const Area& area, const RenameWay& way, int pauseMicroseconds) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SHELVIO_SHIM));
  environment.insert(QStringLiteral("SHELVIO_SHIM_PAUSE_US"), QString::number(pauseMicroseconds));
  if (way.noFlag) environment.insert(QStringLiteral("SHELVIO_SHIM_NO_RENAMEAT2"), QStringLiteral("1"));
  if (way.noLink) environment.insert(QStringLiteral("SHELVIO_SHIM_NO_LINK"), QStringLiteral("1"));
  // The journals stay in the program's folder, which the inventory passes over.
  environment.insert(QStringLiteral("XDG_STATE_HOME"), area.Path(QStringLiteral("app/state")));
  return environment;
}

std::unique_ptr<QProcess> StartCli(const Area& area, const QString& folder,
                                   const QProcessEnvironment& environment) {
  auto process = std::make_unique<QProcess>();
  process->setProcessEnvironment(environment);
  process->start(QStringLiteral(SHELVIO_CLI),
                 {QStringLiteral("--app-dir"), area.Path(QStringLiteral("app")), QStringLiteral("--settings"),
                  area.Path(QStringLiteral("setting.ini")), QStringLiteral("--on-zip-error"),
                  QStringLiteral("ignore"), area.Path(folder)});
  return process;
}

// One round: the books, the two runs at once, the inventory.
void RunRound(bool twoFolders, bool archiving, bool otherFileSystem, const RenameWay& way, int books,
              Figures& figures) {
  SCOPED_TRACE(std::string(twoFolders ? "two folders" : "one folder") + (archiving ? ", archiving" : "") +
               (otherFileSystem ? ", other file system" : "") + ", " + way.name);
  Area area;
  std::unique_ptr<TmpfsMount> end;
  if (otherFileSystem) {
    end = std::make_unique<TmpfsMount>(area.Path(QStringLiteral("end")), "size=64m");
    ASSERT_TRUE(end->Mounted());
  }
  const QStringList folders = twoFolders ? QStringList{QStringLiteral("books"), QStringLiteral("books2")}
                                         : QStringList{QStringLiteral("books")};
  for (const QString& folder : folders) {
    for (int i = 0; i < books; ++i) {
      // Every third book shares its author and title with the one before: a repeat within the run.
      // The editions of the second folder share them all: every name is wanted twice.
      const int title = i - (i % 3 == 2 ? 1 : 0);
      const QByteArray bytes = Book(QStringLiteral("Автор%1").arg(title % 5), QStringLiteral("Имя"),
                                    QStringLiteral("Книга %1").arg(title), folder + QString::number(i)) +
                               QByteArray(1000 + 97 * i, ' ');
      // Every fourth book arrives packed: its archive is unpacked or repacked while the other run
      // may be after the same name.
      // Some of their names are bytes of no encoding, or windows-1251: names are bytes end to end.
      if (i % 4 == 1)
        area.AddPackedBook(NameFromNative(QByteArray(i % 3 == 0   ? "\xff\xfe "
                                                     : i % 3 == 1 ? "\xca\xed\xe8\xe3\xe0 "
                                                                  : "") +
                                          QByteArray::number(i) + ".fb2.zip"),
                           QStringLiteral("%1.fb2").arg(i), bytes, folder);
      else
        area.AddBook(QStringLiteral("%1.fb2").arg(i), bytes, folder);
    }
  }
  area.WriteSettings(archiving ? QStringLiteral("Archive=1") : QString());

  const QProcessEnvironment environment = Environment(area, way, 3000);
  auto first = StartCli(area, folders.first(), environment);
  auto second = StartCli(area, folders.last(), environment);
  for (QProcess* process : {first.get(), second.get()}) {
    ASSERT_TRUE(process->waitForFinished(300000));
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
    for (const reliability::OutcomeLine& line : ParseOutcomes(process->readAllStandardOutput())) {
      EXPECT_TRUE(QStringList({"invalid", "moved", "repeat", "kept", "missing"}).contains(line.status))
          << line.status.toStdString();
      // Every archive holds a book, whatever bytes name it.
      EXPECT_FALSE(line.reason.contains(QLatin1String("not a book"))) << line.reason.toStdString();
      if (line.status == QLatin1String("missing")) ++figures.missing;
    }
  }

  const Inventory inventory = area.Take();
  area.ExpectEveryBookOnce(inventory);
  ++figures.rounds;
  figures.books += area.BookCount();
  for (const QStringList& places : inventory.places) {
    if (places.size() > 1) ++figures.twice;
  }
  figures.lost += area.BookCount() - static_cast<int>(inventory.places.size());
  figures.temporary += static_cast<int>(inventory.temporaryFiles.size());
  figures.strangers += static_cast<int>(inventory.strangers.size() + inventory.emptyArchives.size() +
                                        inventory.unreadableArchives.size());
}

void RunAll(bool otherFileSystem) {
  // SHELVIO_SOAK_REPEATS shortens (or lengthens) a soak: that many times every round.
  const int asked = qEnvironmentVariableIntValue("SHELVIO_SOAK_REPEATS");
  const int repeats = !SoakRequested() ? 1 : asked > 0 ? asked : 10;
  const int books = SoakRequested() ? 100 : 15;
  Figures figures;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    for (const bool twoFolders : {false, true}) {
      for (const bool archiving : {true, false}) {
        for (const RenameWay& way : kRenameWays) {
          RunRound(twoFolders, archiving, otherFileSystem, way, books, figures);
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
  std::cout << "rounds " << figures.rounds << ", books " << figures.books << ", lost " << figures.lost
            << ", twice " << figures.twice << ", temporary files " << figures.temporary << ", strangers "
            << figures.strangers << ", missing lines " << figures.missing << "\n";
  EXPECT_EQ(figures.lost, 0);
  EXPECT_EQ(figures.twice, 0);
  EXPECT_EQ(figures.temporary, 0);
  EXPECT_EQ(figures.strangers, 0);
  // The one-folder rounds must really have met: one run finds books the other one took.
  EXPECT_GT(figures.missing, 0);
}

TEST(Concurrency, TwoRunsOnOneFileSystemLoseNothing) { RunAll(false); }

TEST(Concurrency, TwoRunsIntoAnotherFileSystemLoseNothing) {
  {
    Area probe;
    const TmpfsMount mount(probe.Path(QStringLiteral("end")), "size=1m");
    if (!mount.Mounted())
      GTEST_SKIP() << "mounting a tmpfs is refused here: no second file system to copy to";
  }
  RunAll(true);
}

}  // namespace
