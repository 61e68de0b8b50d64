// The process killed outright (SIGKILL) at random points of a run, then the run repeated until it
// goes through: every book exactly once, none under a final name with partial bytes, no empty
// archive, no temporary file, and no journal of a killed run left over.

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <csignal>

#include "reliability_support.h"

namespace {

using reliability::Area;
using reliability::Book;
using reliability::TmpfsMount;

struct KillFigures {
  int kills = 0;
  int killsInMoves = 0;        // kills that left a record of a move under way in the run's journal
  int killsInPackedMoves = 0;  // of those, kills inside a packed book's unpack or repack
  int runsToFinish = 0;
};

// The journals of the area's runs: XDG_STATE_HOME is pointed into the area for them.
QString JournalFolder(const Area& area) { return area.Path("state/shelvio"); }

// Points XDG_STATE_HOME, which the runs started meanwhile inherit, at folder.
class ScopedStateHome {
 public:
  explicit ScopedStateHome(const QString& folder)
      : wasSet_(qEnvironmentVariableIsSet("XDG_STATE_HOME")), old_(qgetenv("XDG_STATE_HOME")) {
    qputenv("XDG_STATE_HOME", QFile::encodeName(folder));
  }
  ~ScopedStateHome() {
    if (wasSet_)
      qputenv("XDG_STATE_HOME", old_);
    else
      qunsetenv("XDG_STATE_HOME");
  }

 private:
  bool wasSet_;
  QByteArray old_;
};

struct KillPoint {
  bool inMove = false;        // the journal holds a record
  bool inPackedMove = false;  // one whose source is a .fb2.zip: its book was being put in place
};

// Where the killed run with this process id died, by the records its journal holds: lines
// "B <id> <kind> <source in hex> ...", each ended by a line "E <id>".
KillPoint WhereKilled(const Area& area, qint64 pid) {
  KillPoint point;
  const QDir folder(JournalFolder(area));
  for (const QFileInfo& journal :
       folder.entryInfoList({QStringLiteral("pending-%1-*").arg(pid)}, QDir::Files)) {
    QMap<QByteArray, QByteArray> open;  // id -> source
    for (const QByteArray& line : reliability::ReadAll(journal.filePath()).split('\n')) {
      const QList<QByteArray> fields = line.split(' ');
      if (fields.value(0) == "B" && fields.size() > 3) open.insert(fields[1], QByteArray::fromHex(fields[3]));
      if (fields.value(0) == "E") open.remove(fields.value(1));
    }
    point.inMove = point.inMove || journal.size() > 0;
    for (const QByteArray& source : open)
      point.inPackedMove = point.inPackedMove || source.toLower().endsWith(".fb2.zip");
  }
  return point;
}

// Books named and titled so that sorting spreads them over many folders, a tenth of them invalid
// and a tenth of them repeats of another's destination, and a quarter of them packed alone in a
// .fb2.zip (some of those invalid, some repeats). Returns the SHA-256 of each packed book.
QSet<QByteArray> AddLibrary(Area& area, int count) {
  QSet<QByteArray> packed;
  QRandomGenerator random(4242);
  const QStringList lastNames = {"Пушкин", "Лермонтов", "Гоголь", "Толстой", "Чехов", "Бунин", "Блок"};
  for (int i = 0; i < count; ++i) {
    const QString name = QStringLiteral("%1.fb2").arg(i, 4, 10, QChar(u'0'));
    const auto add = [&](const QByteArray& bytes) {
      if (i % 4 != 1) {
        area.AddBook(name, bytes);
        return;
      }
      // Names are bytes: some archives are named in windows-1251, some in bytes of no encoding.
      const int kind = (i / 4) % 3;
      const QString archive =
          kind == 0
              ? name + ".zip"
              : NameFromNative((kind == 1 ? QByteArray("\xca\xed\xe8\xe3\xe0 ") : QByteArray("\xff\xfe ")) +
                               NativeName(name) + ".zip");
      area.AddPackedBook(archive, name, bytes);
      packed.insert(reliability::Sha256(bytes));
    };
    if (i % 10 == 3) {
      add("<FictionBook>" + QByteArray::number(i));
      continue;
    }
    // Every tenth book repeats the title of the one before it: the same destination.
    const int title = (i % 10 == 5) ? i - 1 : i;
    QByteArray book =
        Book(lastNames[i % lastNames.size()], "Имя", QStringLiteral("Том %1").arg(title), QString::number(i));
    // Some weight, so that a kill lands inside copies and archives too.
    QByteArray padding(static_cast<qsizetype>(random.bounded(20000, 120000)), 'x');
    book.replace("<p>", "<p>" + padding + " ");
    add(book);
  }
  return packed;
}

KillFigures KillAndRepeat(Area& area, int kills, quint32 seed) {
  QRandomGenerator random(seed);
  KillFigures figures;
  const QStringList args{"--app-dir", area.Path("app"), "--settings", area.Path("setting.ini"),
                         area.Path("books")};
  // The killed runs pause after each rename and unlink, as on a slow disk: the moves take the share
  // of a run they take there, rather than next to nothing on a tmpfs, so that kills land inside them.
  QProcessEnvironment slowDisk = QProcessEnvironment::systemEnvironment();
  slowDisk.insert("LD_PRELOAD", SHELVIO_SHIM);
  slowDisk.insert("SHELVIO_SHIM_PAUSE_US", "4000");
  for (int k = 0; k < kills; ++k) {
    QProcess process;
    process.setProcessEnvironment(slowDisk);
    process.start(SHELVIO_CLI, args);
    if (!process.waitForStarted()) {
      ADD_FAILURE() << "shelvio-cli did not start";
      return figures;
    }
    // Kill after some books have gone: wait for a random number of output lines, then a random
    // fraction of a book's time, so that the kill lands anywhere within a book's steps.
    const int lines = static_cast<int>(random.bounded(1, 5));
    QByteArray seen;
    while (seen.count('\n') < lines && process.state() == QProcess::Running &&
           process.waitForReadyRead(20000))
      seen += process.readAllStandardOutput();
    QThread::usleep(random.bounded(0, 8000));
    // processId() is 0 once the process has ended, and kill(0, ...) would hit our own group.
    const qint64 pid = process.processId();
    if (pid <= 0 || process.state() != QProcess::Running) {
      process.waitForFinished();
      if (process.exitCode() != 0) ADD_FAILURE() << process.readAllStandardError().toStdString();
      break;  // the run went through before it could be killed
    }
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    process.waitForFinished();
    ++figures.kills;
    const KillPoint point = WhereKilled(area, pid);
    if (point.inMove) ++figures.killsInMoves;
    if (point.inPackedMove) ++figures.killsInPackedMoves;
  }
  for (int run = 1; run <= 5; ++run) {
    const reliability::ProcessResult result = reliability::RunProgram(SHELVIO_CLI, args);
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    figures.runsToFinish = run;
    if (result.out.isEmpty()) break;  // nothing was left to do
  }
  return figures;
}

TEST(KillDuringRun, NothingLostWhereverTheProcessDies) {
  const int books = reliability::SoakRequested() ? 1000 : 200;
  const int kills = reliability::SoakRequested() ? 100 : 20;
  struct Case {
    const char* settings;
    bool endElsewhere;  // the processed folder on a file system of its own: moves become copies
  };
  // Packed books take their own way (a claim, then an unpack or a repack): some kills must land
  // there too, counted over all settings, since each lands only a few.
  int killsInPackedMoves = 0;
  const auto packedMovesHit = [&killsInPackedMoves] { EXPECT_GT(killsInPackedMoves, 0); };
  for (const Case& c : {Case{"Archive=1", false}, Case{"Archive=0", true}, Case{"Archive=1", true}}) {
    const char* settings = c.settings;
    SCOPED_TRACE(std::string(settings) + (c.endElsewhere ? ", other file system" : ""));
    Area area;
    TmpfsMount end(area.Path("end"), "size=256m", c.endElsewhere);
    // The cases on another file system come last: the one that ran is kept.
    if (c.endElsewhere && !end.Mounted()) {
      packedMovesHit();
      GTEST_SKIP() << "mounting a tmpfs is refused here: no copies across file systems killed";
    }
    const QSet<QByteArray> packed = AddLibrary(area, books);
    area.WriteSettings(settings);
    const KillFigures figures = [&] {
      // The runs keep their journals in the area, apart from other tests' runs and from the user's.
      const ScopedStateHome state(area.Path("state"));
      return KillAndRepeat(area, kills, 20240601);
    }();
    reliability::Inventory inventory = area.Take();

    // A kill after an archive or a copy to another file system was published and before the
    // source was removed used to leave the book twice, and any kill inside a copy or an archive its
    // temporary file. The next run resolves both from the killed run's journal, so the inventory is
    // exact; the journals themselves are gone.
    int twins = 0;
    for (const QStringList& places : inventory.places) twins += places.size() > 1 ? 1 : 0;
    area.ExpectEveryBookOnce(inventory);
    // The test means something only where kills hit the windows that recovery exists for.
    EXPECT_GT(figures.kills, 0);
    EXPECT_GE(figures.killsInMoves * 4, figures.kills)
        << figures.killsInMoves << " of " << figures.kills << " kills inside a recorded move";
    killsInPackedMoves += figures.killsInPackedMoves;
    EXPECT_TRUE(QDir(area.Path("books")).entryList({"*.fb2", "*.fb2.zip"}, QDir::Files).isEmpty());
    EXPECT_TRUE(QDir(JournalFolder(area)).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // Undoing every run, the last first, from what each record holds (killed ones included), puts
    // every book back under its first name with its bytes, and leaves the work folders without one;
    // a book that arrived packed goes back into its archive, even when a kill caught its unpack or
    // repack.
    int restored = 0;
    QStringList kept;  // what the undos left, but for books already back
    {
      const ScopedStateHome state(area.Path("state"));
      QStringList records =
          QDir(area.Path("state/shelvio/runs")).entryList({"*.run"}, QDir::Files, QDir::Name);
      std::reverse(records.begin(), records.end());
      for (const QString& record : records) {
        const reliability::ProcessResult undo = reliability::RunProgram(SHELVIO_CLI, {"--undo", record});
        EXPECT_EQ(undo.exitCode, 0) << undo.err.toStdString();
        restored += static_cast<int>(undo.out.count("restored\t"));
        for (const QString& line : QString::fromUtf8(undo.out).split(u'\n'))
          if (line.startsWith(QLatin1String("kept\t")) &&
              !line.endsWith(QLatin1String("Already in its place")))
            kept << record + u' ' + line;
      }
    }
    const reliability::Inventory undone = area.Take();
    for (auto it = undone.places.begin(); it != undone.places.end(); ++it) {
      ASSERT_EQ(it.value().size(), 1) << it.value().join(u' ').toStdString();
      const QString& place = it.value().first();
      EXPECT_TRUE(place.startsWith(QLatin1String("books/"))) << place.toStdString();
      // Inside an archive again, and not left as the book the run unpacked.
      EXPECT_EQ(packed.contains(it.key()), place.contains(u'!')) << place.toStdString();
    }
    area.ExpectEveryBookOnce(undone);
    EXPECT_GE(restored, area.BookCount()) << kept.join(u'\n').toStdString();
    for (const char* folder : {"bad", "end", "double"}) {
      QDirIterator left(area.Path(folder), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
      while (left.hasNext()) ADD_FAILURE() << "left in the work folders: " << left.next().toStdString();
    }
    RecordProperty("restored_by_undo", restored);
    RecordProperty("kills", figures.kills);
    RecordProperty("kills_in_moves", figures.killsInMoves);
    RecordProperty("kills_in_packed_moves", figures.killsInPackedMoves);
    RecordProperty("twins", twins);
    RecordProperty("temporary_files", static_cast<int>(inventory.temporaryFiles.size()));
    std::printf(
        "[figures] %s%s: books %d, kills %d (%d inside a recorded move, %d of them a packed book's), runs "
        "to finish %d, twins %d, temporary files left %d, restored by undoing every run %d\n",
        settings, c.endElsewhere ? " (other file system)" : "", area.BookCount(), figures.kills,
        figures.killsInMoves, figures.killsInPackedMoves, figures.runsToFinish, twins,
        static_cast<int>(inventory.temporaryFiles.size()), restored);
  }
  packedMovesHit();
}

}  // namespace
