#include "engine/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "base/error.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll();
}

void WriteFile(const QString& path, const QByteArray& data) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  ASSERT_EQ(file.write(data), data.size());
}

QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Big enough to take several rounds of the copy buffer, and not a repeating block.
QByteArray BookBytes(int size, char seed) {
  QByteArray data(size, '\0');
  unsigned value = static_cast<unsigned char>(seed);
  for (char& c : data) {
    value = value * 1103515245u + 12345u;
    c = static_cast<char>(value >> 16);
  }
  return data;
}

dev_t DeviceOf(const QString& path) {
  struct stat info {};
  return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : 0;
}

// A folder on another file system than `near`, or an invalid one when the machine has none.
std::unique_ptr<QTemporaryDir> OtherFileSystemDir(const QString& near) {
  auto dir = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/shelvio-test-XXXXXX"));
  if (!dir->isValid() || DeviceOf(dir->path()) == DeviceOf(near)) return nullptr;
  return dir;
}

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    // Run again under the preload shim that forces the fallbacks of a rename without replacing:
    // unless the shim really refuses here, the fallbacks would pass untested.
    if (qEnvironmentVariableIsSet("SHELVIO_SHIM_NO_RENAMEAT2")) {
      ASSERT_EQ(::renameat2(AT_FDCWD, "none", AT_FDCWD, "none2", RENAME_NOREPLACE), -1);
      ASSERT_EQ(errno, EINVAL) << "the shim is not loaded";
    }
    if (qEnvironmentVariableIsSet("SHELVIO_SHIM_NO_LINK")) {
      ASSERT_EQ(::link("none", "none2"), -1);
      ASSERT_EQ(errno, EPERM) << "the shim is not loaded";
    }
  }
  QString Path(const QString& name) const { return dir_.filePath(name); }
  QTemporaryDir dir_;
};

TEST_F(FileOps, MovesWithinOneFileSystem) {
  WriteFile(Path("a.fb2"), "book a");
  ASSERT_TRUE(QDir().mkpath(Path("end")));
  int error = -1;
  EXPECT_TRUE(MoveFileNoReplace(Path("a.fb2"), Path("end/b.fb2"), &error));
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(QFile::exists(Path("a.fb2")));
  EXPECT_EQ(ReadAll(Path("end/b.fb2")), "book a");
}

// Catches a move that overwrites: the book already there must survive, the incoming one stay. An
// empty file too, which the reservation fallback would take for a reservation of its own unless it
// made its own exclusively.
TEST_F(FileOps, NeverReplacesAnExistingFile) {
  for (const QByteArray& there : {QByteArray("already there"), QByteArray()}) {
    SCOPED_TRACE(there.isEmpty() ? "empty" : "not empty");
    WriteFile(Path("a.fb2"), "incoming");
    WriteFile(Path("b.fb2"), there);
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(Path("b.fb2")).constData(), &before), 0);
    int error = 0;
    EXPECT_FALSE(MoveFileNoReplace(Path("a.fb2"), Path("b.fb2"), &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(ReadAll(Path("a.fb2")), "incoming");
    EXPECT_EQ(ReadAll(Path("b.fb2")), there);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(Path("b.fb2")).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

// The reservation fallback reserves the name with an empty file, closes it, and renames the book
// over it: a file someone renames to that name in between must stay, the book where it was. (Only
// through that fallback, whose closing of the reservation the preload shim follows with the
// intruder's rename.)
TEST_F(FileOps, NeverReplacesAFileSwappedInForTheReservation) {
  if (!qEnvironmentVariableIsSet("SHELVIO_SHIM_NO_LINK")) GTEST_SKIP() << "only through the reservation";
  WriteFile(Path("a.fb2"), "incoming");
  WriteFile(Path("other"), "");
  qputenv("SHELVIO_SHIM_RENAME_FROM", QFile::encodeName(Path("other")));
  qputenv("SHELVIO_SHIM_RENAME_AFTER_CLOSE_OF", "/b.fb2");
  int error = 0;
  const bool moved = MoveFileNoReplace(Path("a.fb2"), Path("b.fb2"), &error);
  qunsetenv("SHELVIO_SHIM_RENAME_AFTER_CLOSE_OF");
  ASSERT_FALSE(QFile::exists(Path("other"))) << "the shim did not swap the file in";
  EXPECT_FALSE(moved);
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(ReadAll(Path("a.fb2")), "incoming");
  EXPECT_EQ(ReadAll(Path("b.fb2")), "");
}

// Check-then-move is racy: the name may be taken after the caller's exists test said it was free.
TEST_F(FileOps, RefusesADestinationThatAppearedAfterTheExistsTest) {
  WriteFile(Path("a.fb2"), "incoming");
  ASSERT_FALSE(FileExists(Path("b.fb2")));
  WriteFile(Path("b.fb2"), "came in between");  // another process wins the name
  EXPECT_FALSE(MoveFileNoReplace(Path("a.fb2"), Path("b.fb2")));
  EXPECT_EQ(ReadAll(Path("a.fb2")), "incoming");
  EXPECT_EQ(ReadAll(Path("b.fb2")), "came in between");
}

// Two movers racing for one name, on one file system and across two: exactly one wins each
// round, and the loser's book is still in its place.
TEST_F(FileOps, ExactlyOneOfTwoRacingMovesWins) {
  const auto other = OtherFileSystemDir(dir_.path());
  for (const bool across : {false, true}) {
    if (across && !other) continue;
    SCOPED_TRACE(across ? "across file systems" : "one file system");
    const QString from = across ? other->path() : dir_.path();
    for (int round = 0; round < 20; ++round) {
      const QString a = from + "/a.fb2";
      const QString b = from + "/b.fb2";
      const QString target = Path(QStringLiteral("target%1%2.fb2").arg(across ? "x" : "").arg(round));
      WriteFile(a, BookBytes(200000, 'a'));
      WriteFile(b, BookBytes(200000, 'b'));
      std::atomic<bool> go{false};
      bool wonA = false;
      bool wonB = false;
      std::thread first([&] {
        while (!go) {
        }
        wonA = MoveFileNoReplace(a, target);
      });
      std::thread second([&] {
        while (!go) {
        }
        wonB = MoveFileNoReplace(b, target);
      });
      go = true;
      first.join();
      second.join();
      ASSERT_NE(wonA, wonB) << "round " << round;
      EXPECT_EQ(ReadAll(target), BookBytes(200000, wonA ? 'a' : 'b'));
      EXPECT_EQ(ReadAll(wonA ? b : a), BookBytes(200000, wonA ? 'b' : 'a'));
      QFile::remove(wonA ? b : a);
    }
  }
  // Nothing but the targets: no temporary copy left behind by a loser.
  for (const QString& name : Entries(dir_.path()))
    EXPECT_TRUE(name.startsWith("target")) << name.toStdString();
}

TEST_F(FileOps, MovesAcrossFileSystemsWithoutTrace) {
  const auto other = OtherFileSystemDir(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system at /dev/shm";
  const QString source = other->filePath("a.fb2");
  const QByteArray bytes = BookBytes(1 << 20, 'x');
  WriteFile(source, bytes);
  ASSERT_EQ(::chmod(QFile::encodeName(source).constData(), 0640), 0);
  const struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), times, 0), 0);

  int error = -1;
  ASSERT_TRUE(MoveFileNoReplace(source, Path("a.fb2"), &error));
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(QFile::exists(source));
  EXPECT_EQ(ReadAll(Path("a.fb2")), bytes);
  EXPECT_EQ(Entries(dir_.path()), QStringList{"a.fb2"});  // no temporary name left
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(Path("a.fb2")).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_mtim.tv_sec, 1234567890);
}

// A failed move across file systems must leave the source and no half-copied file behind.
TEST_F(FileOps, FailedMoveAcrossFileSystemsLeavesEverythingAsItWas) {
  const auto other = OtherFileSystemDir(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system at /dev/shm";
  const QString source = other->filePath("a.fb2");
  WriteFile(source, "incoming");
  WriteFile(Path("a.fb2"), "already there");

  struct Case {
    const char* what;
    QString target;
    int error;
  };
  const Case cases[] = {
      {"name taken", Path("a.fb2"), EEXIST},
      {"folder missing", Path("missing/a.fb2"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int error = 0;
    EXPECT_FALSE(MoveFileNoReplace(source, c.target, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ReadAll(source), "incoming");
  }
  EXPECT_EQ(ReadAll(Path("a.fb2")), "already there");
  EXPECT_EQ(Entries(dir_.path()), QStringList{"a.fb2"});
}

TEST_F(FileOps, FailedMoveLeavesTheSource) {
  WriteFile(Path("a.fb2"), "book");
  int error = 0;
  EXPECT_FALSE(MoveFileNoReplace(Path("a.fb2"), Path("missing/a.fb2"), &error));
  EXPECT_EQ(error, ENOENT);
  // A source that is not there is told apart from a destination folder that is not.
  EXPECT_FALSE(MoveFileNoReplace(Path("none.fb2"), Path("b.fb2"), &error));
  EXPECT_EQ(error, kSourceMissing);
  EXPECT_EQ(ReadAll(Path("a.fb2")), "book");
}

TEST_F(FileOps, FileExistsOnlyForFilesAndLinksToThem) {
  WriteFile(Path("file"), "x");
  ASSERT_TRUE(QDir().mkpath(Path("folder")));
  ASSERT_EQ(::symlink("file", QFile::encodeName(Path("link")).constData()), 0);
  ASSERT_EQ(::symlink("nothing", QFile::encodeName(Path("dangling")).constData()), 0);
  const struct {
    const char* name;
    bool exists;
  } cases[] = {{"file", true}, {"link", true}, {"folder", false}, {"dangling", false}, {"none", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FileExists(Path(c.name)), c.exists);
  }
  EXPECT_FALSE(FileExists(QString()));
}

TEST_F(FileOps, DeleteRemovesOnlyWhatIsThere) {
  WriteFile(Path("a.fb2"), "x");
  EXPECT_TRUE(DeleteFilePath(Path("a.fb2")));
  EXPECT_FALSE(QFile::exists(Path("a.fb2")));
  EXPECT_FALSE(DeleteFilePath(Path("a.fb2")));
}

TEST_F(FileOps, ForceDirectoriesCreatesEveryLevelAndRefusesTheEmptyPath) {
  ForceDirectories(Path("x/y/z"));
  EXPECT_TRUE(DirectoryExists(Path("x/y/z")));
  ForceDirectories(Path("x/y/z"));  // already there: no error
  WriteFile(Path("file"), "x");
  ForceDirectories(Path("file/below"));  // cannot be created: not reported
  try {
    ForceDirectories(QString());
    FAIL() << "no error for the empty path";
  } catch (const ShelvioError& e) {
    EXPECT_EQ(e.Message(), "Unable to create directory");
  }
}

TEST(PathText, DelimitersAndFileNames) {
  const struct {
    QString in, trailing, native, fileName;
  } cases[] = {
      {"", "/", "", ""},
      {"/books/end", "/books/end/", "/books/end", "end"},
      {"/books/end/", "/books/end/", "/books/end/", ""},
      // typed on Windows: "\" ends a folder and is a delimiter once made native
      {"C:\\bad\\", "C:\\bad\\", "C:/bad/", "C:\\bad\\"},
      {"Алфавит\\Автор", "Алфавит\\Автор/", "Алфавит/Автор", "Алфавит\\Автор"},
      {"a.fb2", "a.fb2/", "a.fb2", "a.fb2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.toStdString());
    EXPECT_EQ(IncludeTrailingDelimiter(c.in), c.trailing);
    EXPECT_EQ(ToNativePath(c.in), c.native);
    EXPECT_EQ(ExtractFileName(c.in), c.fileName);
  }
}

}  // namespace
