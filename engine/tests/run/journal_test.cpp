// Recovery of moves that a killed process left half done: the records are written by a real process
// that is then killed, and recovery must remove exactly what is safe to remove.

#include "engine/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>

#include "archive/zip_writer.h"

namespace {

// Raw paths throughout: a name may hold bytes that no encoding maps to a QString and back.
void WriteFile(const QByteArray& path, const QByteArray& bytes) {
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path.constData();
  ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
  ::close(fd);
}

// The bytes of the plain file at path, or "<missing>" (for a link too).
QByteArray ReadAll(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  QByteArray bytes;
  char buffer[1 << 16];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
  ::close(fd);
  return bytes;
}

bool IsLink(const QByteArray& path) {
  struct stat info {};
  return ::lstat(path.constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

// A book of some weight, so that its bytes and its archive's take more than one read to compare.
// Temporary names as the moves make them: ".shelvio-" and 8 letters for a copy, ".zip-", 16 hex
// digits and ".tmp" for an archive; `tag` tells them apart.
QByteArray TagDigits(const QByteArray& tag, int count) {
  return QCryptographicHash::hash(tag, QCryptographicHash::Md5).toHex().left(count);
}
QByteArray CopyTemporary(const QByteArray& tag) { return ".shelvio-" + TagDigits(tag, 8); }
QByteArray PackTemporary(const QByteArray& tag) { return ".zip-" + TagDigits(tag, 16) + ".tmp"; }

QByteArray BookBytes(const char* text) {
  QByteArray book = "<FictionBook>" + QByteArray(text);
  for (int i = 0; i < 20000; ++i) book += QByteArray::number(i * 7919 % 10007) + ' ';
  return book + "</FictionBook>";
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    hadState_ = qEnvironmentVariableIsSet("XDG_STATE_HOME");
    oldState_ = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir_.filePath("state")));
  }
  void TearDown() override {
    if (hadState_)
      qputenv("XDG_STATE_HOME", oldState_);
    else
      qunsetenv("XDG_STATE_HOME");
  }

  QByteArray Path(const QByteArray& name) const { return QFile::encodeName(dir_.path()) + '/' + name; }

  // The bytes of an archive made by the program's own writer at compression mode `mode`, holding
  // `bytes` as its one entry.
  QByteArray Archive(const QByteArray& bytes, int mode) {
    QDir().mkpath(dir_.filePath("packing"));
    const QByteArray book = Path("packing/book.fb2");
    WriteFile(book, bytes);
    TZipWriter zip;
    zip.SetCompressionMode(mode);
    zip.SetFileName(QFile::decodeName(book + ".zip"));
    zip.Open(TZipWriter::kCreateMode);
    zip.AddMatching(QFile::decodeName(book), kAnyFileAttributes, QString());
    zip.Close();
    return ReadAll(book + ".zip");
  }

  QStringList Journals() const {
    return QDir(dir_.filePath("state/shelvio")).entryList({"pending-*"}, QDir::Files | QDir::Hidden);
  }

  QTemporaryDir dir_;
  bool hadState_ = false;
  QByteArray oldState_;
};

// Runs `moves` in a child process that is then killed outright, as a run killed in the middle of
// its moves would be.
void KilledWhile(const std::function<void()>& moves) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    moves();
    ::kill(::getpid(), SIGKILL);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(Recovery, RemovesWhatIsSafeAndLeavesEverythingElse) {
  const QByteArray book = BookBytes("book");
  const QByteArray other = BookBytes("bool");  // the same size, one byte apart
  ASSERT_EQ(book.size(), other.size());
  WriteFile(Path("precious"), "not a temporary file");

  enum Temporary { kNone, kFile, kLink };  // what is at the temporary name: nothing, a file, a link
  constexpr MoveKind kCopy = MoveKind::CopyAcross;
  constexpr MoveKind kPack = MoveKind::Pack;
  struct Case {
    const char* what;
    QByteArray name;
    MoveKind kind;
    QByteArray source;       // bytes at the source; null: none
    QByteArray destination;  // bytes at the destination (the archive for a pack); null: none
    Temporary temporary;
    bool sourceRemains;
  };
  const QByteArray weird = "a\nb\tc \xff\xfe.fb2";
  const QByteArray none;
  const Case cases[] = {
      // the windows that left a book twice: the source goes once the destination holds it
      {"copy published", "copied.fb2", kCopy, book, book, kNone, false},
      {"name with a newline, a tab, no encoding", weird, kCopy, book, book, kNone, false},
      {"pack published", "packed.fb2", kPack, book, Archive(book, 6), kNone, false},
      {"pack published, stored", "stored.fb2", kPack, book, Archive(book, 0), kNone, false},
      {"empty book packed", "empty.fb2", kPack, "", Archive("", 6), kNone, false},
      // a destination that does not hold exactly the source's bytes leaves both
      {"copy of other bytes", "differs.fb2", kCopy, book, other, kNone, true},
      {"copy one byte short", "short.fb2", kCopy, book, book.chopped(1), kNone, true},
      {"archive of other bytes", "otherzip.fb2", kPack, book, Archive(other, 6), kNone, true},
      {"archive cut short", "cutzip.fb2", kPack, book, Archive(book, 6).chopped(30), kNone, true},
      {"archive of the book under a link", "linked.fb2", kPack, book, "<link>", kNone, true},
      // cut before publishing: only the temporary file goes
      {"copy cut short", "cut.fb2", kCopy, book, none, kFile, true},
      {"pack cut short", "cutpack.fb2", kPack, book, none, kFile, true},
      {"link at the temporary name", "link.fb2", kCopy, book, none, kLink, true},
      // finished: nothing of it is touched
      {"copy done", "done.fb2", kCopy, none, book, kNone, true},
  };

  struct Paths {
    QByteArray source, destination, temporary;
  };
  std::vector<Paths> paths;
  for (const Case& c : cases) {
    QDir().mkpath(dir_.filePath("end"));
    Paths p;
    p.source = Path(c.kind == kPack ? "end/" + c.name : c.name);
    p.destination = c.kind == kPack ? p.source + ".zip" : Path("end/" + c.name);
    p.temporary = Path("end/" + (c.kind == kPack ? PackTemporary(c.name) : CopyTemporary(c.name)));
    if (!c.source.isNull()) WriteFile(p.source, c.source);
    if (c.destination == "<link>") {
      WriteFile(Path("elsewhere.zip"), Archive(book, 6));
      ASSERT_EQ(::symlink(Path("elsewhere.zip").constData(), p.destination.constData()), 0);
    } else if (!c.destination.isNull()) {
      WriteFile(p.destination, c.destination);
    }
    if (c.temporary == kFile) WriteFile(p.temporary, c.source.left(1000));
    if (c.temporary == kLink) {
      ASSERT_EQ(::symlink(Path("precious").constData(), p.temporary.constData()), 0);
    }
    paths.push_back(p);
  }
  // A temporary file named by a record whose last line the kill cut: the record was written before
  // the file was made, so the file there is not the move's.
  const QByteArray notOurs = Path("end/" + CopyTemporary("cut-record"));
  WriteFile(notOurs, "someone else's");

  KilledWhile([&] {
    for (size_t i = 0; i < paths.size(); ++i)
      (new JournalledMove)->Begin(cases[i].kind, paths[i].source, paths[i].destination, paths[i].temporary);
    (new JournalledMove)->Begin(MoveKind::CopyAcross, Path("cut-record"), Path("end/cut-record"), notOurs);
  });
  const QStringList journals = Journals();
  ASSERT_EQ(journals.size(), 1);
  const QString journal = dir_.filePath("state/shelvio/" + journals[0]);
  ASSERT_TRUE(QFile::resize(journal, QFileInfo(journal).size() - 1));  // cut the last newline

  RecoverInterruptedMoves();

  for (size_t i = 0; i < paths.size(); ++i) {
    const Case& c = cases[i];
    const Paths& p = paths[i];
    SCOPED_TRACE(c.what);
    if (c.source.isNull()) {
      EXPECT_EQ(ReadAll(p.source), "<missing>");
    } else {
      EXPECT_EQ(ReadAll(p.source), c.sourceRemains ? c.source : QByteArray("<missing>"));
    }
    if (c.destination == "<link>") {
      EXPECT_TRUE(IsLink(p.destination));
    } else if (!c.destination.isNull()) {
      EXPECT_EQ(ReadAll(p.destination), c.destination);
    }
    if (c.temporary == kFile) {
      EXPECT_EQ(ReadAll(p.temporary), "<missing>");
    }
    if (c.temporary == kLink) {
      EXPECT_TRUE(IsLink(p.temporary));
    }
  }
  EXPECT_EQ(ReadAll(Path("precious")), "not a temporary file");
  EXPECT_EQ(ReadAll(notOurs), "someone else's");
  EXPECT_TRUE(Journals().isEmpty());
  // QTemporaryDir cannot remove a name that it cannot decode.
  ::unlink(Path("end/" + weird).constData());
}

// A damaged or forged record must make recovery remove nothing at all: only what the moves make is
// resolved, a hidden temporary name of the move's own pattern beside the destination, an archive
// named after its book, and two names that differ. Each record here would cost a file if believed.
TEST_F(Recovery, LeavesEverythingOfAnImplausibleRecord) {
  const QByteArray book = BookBytes("book");
  QDir().mkpath(dir_.filePath("end"));
  QDir().mkpath(dir_.filePath("other"));
  constexpr MoveKind kCopy = MoveKind::CopyAcross;
  struct Case {
    const char* what;
    MoveKind kind;
    QByteArray source, destination, temporary;  // below the test's folder; no temporary: none
  };
  const Case cases[] = {
      {"temporary in another folder", kCopy, "a.fb2", "end/a.fb2", "other/" + CopyTemporary("a")},
      {"temporary not hidden", kCopy, "b.fb2", "end/b.fb2", "end/" + CopyTemporary("b").mid(1)},
      {"temporary named like a book", kCopy, "c.fb2", "end/c.fb2", "end/book.fb2"},
      {"pack into another name", MoveKind::Pack, "end/d.fb2", "end/other.zip", "end/" + PackTemporary("d")},
      {"copy onto itself", kCopy, "end/e.fb2", "end/e.fb2", "end/" + CopyTemporary("e")},
      {"link onto itself", MoveKind::Link, "end/f.fb2", "end/f.fb2", ""},
  };
  const QByteArray archive = Archive(book, 6);
  std::map<QByteArray, QByteArray> files;  // every file a record names, with its bytes
  for (const Case& c : cases) {
    files[Path(c.source)] = book;
    if (c.destination != c.source) files[Path(c.destination)] = c.kind == MoveKind::Pack ? archive : book;
    if (!c.temporary.isEmpty()) files[Path(c.temporary)] = "temporary bytes of " + c.temporary;
  }
  for (const auto& [path, bytes] : files) WriteFile(path, bytes);
  KilledWhile([&] {
    for (const Case& c : cases)
      (new JournalledMove)
          ->Begin(c.kind, Path(c.source), Path(c.destination),
                  c.temporary.isEmpty() ? QByteArray() : Path(c.temporary));
  });
  ASSERT_EQ(Journals().size(), 1);
  RecoverInterruptedMoves();
  for (const auto& [path, bytes] : files) EXPECT_EQ(ReadAll(path), bytes) << path.constData();
  EXPECT_TRUE(Journals().isEmpty());
}

// A pack the writer gave up on leaves an archive of no entries for a moment; killed then, the empty
// archive goes at recovery, and an archive that holds anything stays.
TEST_F(Recovery, RemovesTheEmptyArchiveOfAPackGivenUp) {
  const QByteArray book = BookBytes("book");
  const QByteArray empty = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
  QDir().mkpath(dir_.filePath("end"));
  WriteFile(Path("end/gaveup.fb2"), book);
  WriteFile(Path("end/gaveup.fb2.zip"), empty);
  WriteFile(Path("end/commented.fb2"), book);
  WriteFile(Path("end/commented.fb2.zip"), empty.chopped(2) + QByteArray("\x01\0x", 3));
  KilledWhile([&] {
    for (const char* name : {"gaveup.fb2", "commented.fb2"}) {
      const QByteArray packed = Path(QByteArray("end/") + name);
      (new JournalledMove)
          ->Begin(MoveKind::Pack, packed, packed + ".zip", Path("end/" + PackTemporary(name)));
    }
  });
  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("end/gaveup.fb2")), book);
  EXPECT_EQ(ReadAll(Path("end/gaveup.fb2.zip")), "<missing>");
  EXPECT_EQ(ReadAll(Path("end/commented.fb2")), book);
  EXPECT_EQ(ReadAll(Path("end/commented.fb2.zip")).size(), 23);
}

// Where a file system refuses to rename without replacing, a move is a hard link and an unlink, or
// a reservation and a rename. Killed between the two, the first leaves one book under two names,
// the second an empty file under the final name; recovery finishes or undoes exactly that.
TEST_F(Recovery, FinishesTheStepsOfARenameWithoutTheFlag) {
  const QByteArray book = BookBytes("book");
  QDir().mkpath(dir_.filePath("end"));
  // killed between link and unlink
  WriteFile(Path("linked.fb2"), book);
  ASSERT_EQ(::link(Path("linked.fb2").constData(), Path("end/linked.fb2").constData()), 0);
  // the same record over two separate files of equal bytes: not the link's work
  WriteFile(Path("twin.fb2"), book);
  WriteFile(Path("end/twin.fb2"), book);
  // killed between reservation and rename
  WriteFile(Path("reserved.fb2"), book);
  WriteFile(Path("end/reserved.fb2"), "");
  // the reservation already holds a book: renamed over it, and another book came to the source
  WriteFile(Path("renamed.fb2"), "another book");
  WriteFile(Path("end/renamed.fb2"), book);
  KilledWhile([&] {
    for (const char* name : {"linked.fb2", "twin.fb2"})
      (new JournalledMove)->Begin(MoveKind::Link, Path(name), Path(QByteArray("end/") + name), QByteArray());
    for (const char* name : {"reserved.fb2", "renamed.fb2"})
      (new JournalledMove)
          ->Begin(MoveKind::Reserve, Path(name), Path(QByteArray("end/") + name), QByteArray());
  });
  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("linked.fb2")), "<missing>");
  EXPECT_EQ(ReadAll(Path("end/linked.fb2")), book);
  EXPECT_EQ(ReadAll(Path("twin.fb2")), book);
  EXPECT_EQ(ReadAll(Path("end/twin.fb2")), book);
  EXPECT_EQ(ReadAll(Path("reserved.fb2")), book);
  EXPECT_EQ(ReadAll(Path("end/reserved.fb2")), "<missing>");
  EXPECT_EQ(ReadAll(Path("renamed.fb2")), "another book");
  EXPECT_EQ(ReadAll(Path("end/renamed.fb2")), book);
  EXPECT_TRUE(Journals().isEmpty());
}

// A packed book's archive claimed under a hidden name and the run killed: the archive goes back
// under its name, unless someone has taken the name meanwhile; then nothing is replaced.
TEST_F(Recovery, PutsAClaimedArchiveBack) {
  const QByteArray archive = Archive(BookBytes("book"), 1);
  WriteFile(Path(".shelvio-Aa000001"), archive);  // claimed, the name free
  WriteFile(Path(".shelvio-Aa000002"), archive);  // claimed, the name taken meanwhile
  WriteFile(Path("taken.fb2.zip"), "another archive");
  QDir().mkpath(dir_.filePath("end"));
  WriteFile(Path("end/.shelvio-Aa000003"), archive);
  KilledWhile([&] {
    (new JournalledMove)
        ->Begin(MoveKind::Claim, Path("free.fb2.zip"), Path(".shelvio-Aa000001"), QByteArray());
    (new JournalledMove)
        ->Begin(MoveKind::Claim, Path("taken.fb2.zip"), Path(".shelvio-Aa000002"), QByteArray());
    (new JournalledMove)
        ->Begin(MoveKind::Claim, Path("elsewhere.fb2.zip"), Path("end/.shelvio-Aa000003"), QByteArray());
  });
  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("free.fb2.zip")), archive);
  EXPECT_EQ(ReadAll(Path(".shelvio-Aa000001")), "<missing>");
  EXPECT_EQ(ReadAll(Path("taken.fb2.zip")), "another archive");
  EXPECT_EQ(ReadAll(Path(".shelvio-Aa000002")), archive);
  EXPECT_EQ(ReadAll(Path("elsewhere.fb2.zip")), "<missing>");
  EXPECT_EQ(ReadAll(Path("end/.shelvio-Aa000003")), archive);
  EXPECT_TRUE(Journals().isEmpty());
}

// The bytes of an archive as a program of another make writes it to a pipe: Python's zipfile, its
// entry's sizes in a data descriptor after its data, which the reader of our own archives refuses.
QByteArray ForeignArchive(const QByteArray& bytes) {
  QProcess python;
  python.start("python3", {"-c",
                           "import sys, zipfile\n"
                           "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    z.writestr('book.fb2', sys.stdin.buffer.read())"});
  EXPECT_TRUE(python.waitForStarted());
  python.write(bytes);
  python.closeWriteChannel();
  EXPECT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0);
  return python.readAllStandardOutput();
}

// A run places a packed book by unpacking it, or by copying its compressed bytes into an archive of
// its own, and removes the source archive once the book is in place. Killed in between, recovery
// removes the source archive (one of another make) only when what was published holds exactly its
// book, and the temporary file of a step cut short; the archive stays in every other case.
TEST_F(Recovery, FinishesTheUnpackAndRepackOfAPackedBook) {
  const QByteArray book = BookBytes("book");
  const QByteArray archive = ForeignArchive(book);
  ASSERT_FALSE(archive.isEmpty());
  QDir().mkpath(dir_.filePath("end"));
  struct Case {
    const char* name;
    MoveKind kind;
    QByteArray published;  // null: nothing published yet
    bool archiveRemains;
  } const cases[] = {
      {"unpacked", MoveKind::Unpack, book, false},
      {"unpacked other", MoveKind::Unpack, BookBytes("bool"), true},
      {"unpack cut", MoveKind::Unpack, QByteArray(), true},
      {"repacked", MoveKind::Repack, Archive(book, 6), false},
      {"repacked other", MoveKind::Repack, Archive(BookBytes("bool"), 6), true},
      {"repacked cut short", MoveKind::Repack, Archive(book, 6).left(300), true},
      {"repack cut", MoveKind::Repack, QByteArray(), true},
  };
  const auto temporary = [this](const Case& c) {
    return Path("end/" + (c.kind == MoveKind::Unpack ? CopyTemporary(c.name) : PackTemporary(c.name)));
  };
  const auto destination = [this](const Case& c) {
    return Path(QByteArray("end/") + c.name + (c.kind == MoveKind::Unpack ? ".fb2" : ".fb2.zip"));
  };
  for (const Case& c : cases) {
    WriteFile(Path(QByteArray(c.name) + ".fb2.zip"), archive);
    if (!c.published.isNull()) WriteFile(destination(c), c.published);
    WriteFile(temporary(c), "cut");
  }
  KilledWhile([&] {
    for (const Case& c : cases)
      (new JournalledMove)
          ->Begin(c.kind, Path(QByteArray(c.name) + ".fb2.zip"), destination(c), temporary(c));
  });
  RecoverInterruptedMoves();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadAll(Path(QByteArray(c.name) + ".fb2.zip")), c.archiveRemains ? archive : "<missing>");
    EXPECT_EQ(ReadAll(destination(c)), c.published.isNull() ? "<missing>" : c.published);
    EXPECT_EQ(ReadAll(temporary(c)), "<missing>");
  }
  EXPECT_TRUE(Journals().isEmpty());
}

// A record whose end was written is over: recovery must not act on it even where it could.
TEST_F(Recovery, IgnoresMovesThatEnded) {
  const QByteArray book = BookBytes("book");
  QDir().mkpath(dir_.filePath("end"));
  WriteFile(Path("ended.fb2"), book);
  WriteFile(Path("end/ended.fb2"), book);
  WriteFile(Path("open.fb2"), book);
  WriteFile(Path("end/open.fb2"), book);
  KilledWhile([&] {
    // Two at once, so that the end of one is written as a record, not by emptying the journal.
    auto* open = new JournalledMove;
    open->Begin(MoveKind::CopyAcross, Path("open.fb2"), Path("end/open.fb2"),
                Path("end/" + CopyTemporary("open")));
    JournalledMove ended;
    ended.Begin(MoveKind::CopyAcross, Path("ended.fb2"), Path("end/ended.fb2"),
                Path("end/" + CopyTemporary("ended")));
    ended.End();
  });
  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("ended.fb2")), book);
  EXPECT_EQ(ReadAll(Path("open.fb2")), "<missing>");
  EXPECT_TRUE(Journals().isEmpty());
}

// The journal of a process that is still running is not recovery's to resolve, however much its
// records look half done; once that process is gone, it is.
TEST_F(Recovery, LeavesTheJournalOfALiveProcessAlone) {
  const QByteArray book = BookBytes("book");
  QDir().mkpath(dir_.filePath("end"));
  WriteFile(Path("live.fb2"), book);
  WriteFile(Path("end/live.fb2"), book);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    JournalledMove move;
    move.Begin(MoveKind::CopyAcross, Path("live.fb2"), Path("end/live.fb2"),
               Path("end/" + CopyTemporary("live")));
    (void)::write(ready[1], "!", 1);
    for (;;) ::pause();
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);

  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("live.fb2")), book);
  EXPECT_EQ(Journals().size(), 1);

  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  RecoverInterruptedMoves();
  EXPECT_EQ(ReadAll(Path("live.fb2")), "<missing>");
  EXPECT_EQ(ReadAll(Path("end/live.fb2")), book);
  EXPECT_TRUE(Journals().isEmpty());
}

}  // namespace

// An undo unpacks a book beside its first name and removes the archive once the book is in place.
// Killed in between, recovery removes the archive only when the book holds exactly its entry's
// bytes, and the temporary file of an unpack cut short; the archive stays in every other case.
TEST_F(Recovery, FinishesTheUnpackOfAnUndo) {
  const QByteArray book = BookBytes("book");
  const QByteArray other = BookBytes("bool");
  QDir().mkpath(dir_.filePath("end"));
  QDir().mkpath(dir_.filePath("books"));
  struct Case {
    const char* name;
    QByteArray atSource;  // null: nothing published yet
    bool temporary;
    bool archiveRemains;
  } const cases[] = {
      {"published.fb2", book, false, false},
      {"other.fb2", other, false, true},
      {"cut.fb2", QByteArray(), true, true},
  };
  for (const Case& c : cases) {
    WriteFile(Path(QByteArray("end/") + c.name + ".zip"), Archive(book, 6));
    if (!c.atSource.isNull()) WriteFile(Path(QByteArray("books/") + c.name), c.atSource);
    if (c.temporary) WriteFile(Path(QByteArray("books/.shelvio-") + c.name[0] + "Ab12Cd3"), book.left(100));
  }
  KilledWhile([&] {
    for (const Case& c : cases) {
      (new JournalledMove)
          ->Begin(MoveKind::Unpack, Path(QByteArray("end/") + c.name + ".zip"),
                  Path(QByteArray("books/") + c.name),
                  Path(QByteArray("books/.shelvio-") + c.name[0] + "Ab12Cd3"));
    }
  });
  RecoverInterruptedMoves();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadAll(Path(QByteArray("end/") + c.name + ".zip")) != "<missing>", c.archiveRemains);
    EXPECT_EQ(ReadAll(Path(QByteArray("books/") + c.name)), c.atSource.isNull() ? "<missing>" : c.atSource);
    EXPECT_EQ(ReadAll(Path(QByteArray("books/.shelvio-") + c.name[0] + "Ab12Cd3")), "<missing>");
  }
  EXPECT_TRUE(Journals().isEmpty());
}
