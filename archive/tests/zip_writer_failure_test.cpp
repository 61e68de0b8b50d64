#include <sys/stat.h>

#include <QFileInfo>

#include "zip_test_support.h"

using namespace ziptest;

namespace {

using ZipWriterErrors = ZipTest;
using ZipWriterPrompt = ZipTest;

template <typename Action>
void ExpectWriterError(Action action, int code, const QString& message) {
  try {
    action();
    ADD_FAILURE() << "no error; expected native error " << code;
  } catch (const EZipWriterError& e) {
    EXPECT_EQ(e.NativeCode(), code);
    EXPECT_EQ(e.Message(), message);
  }
}

// Each error the caller can meet outside the prompt, with its exact message: writer name, text,
// " - Native error: " and five digits.
TEST_F(ZipWriterErrors, CarryTheWriterNameTheTextAndAFiveDigitCode) {
  TZipWriter writer;
  ExpectWriterError([&] { writer.SetCompressionMode(10); }, 5,
                    "Zip: Invalid compression mode. Mode must be in [0-9] range - Native error: 00005");
  ExpectWriterError([&] { writer.SetCompressionMode(-1); }, 5,
                    "Zip: Invalid compression mode. Mode must be in [0-9] range - Native error: 00005");
  EXPECT_EQ(writer.CompressionMode(), 6) << "a refused mode must not change the setting";

  for (const QString& blank : {QString(), Path("folder/")}) {
    SCOPED_TRACE(blank.toStdString());
    writer.SetFileName(blank);
    ExpectWriterError([&] { writer.Open(TZipWriter::kCreateMode); }, 10,
                      "Zip: File name is blank. Specify appropriate file name - Native error: 00010");
    EXPECT_FALSE(writer.IsOpen());
  }

  const QString book = Book("a.fb2", "x");
  ExpectWriterError([&] { writer.AddMatching(book, kAnyFileAttributes, {}); }, 13,
                    "Zip: Archive is not open - Native error: 00013");
  TZipWriter named(QStringLiteral("Packer"));
  ExpectWriterError([&] { named.AddMatching(book, kAnyFileAttributes, {}); }, 13,
                    "Packer: Archive is not open - Native error: 00013");
}

// An archive that cannot be created fails Open with the system's reason and leaves the writer
// closed; a read-only file of that name is not replaced behind its owner's back.
TEST_F(ZipWriterErrors, OpenFailsWhenTheArchiveCannotBeCreated) {
  const QString readOnly = Book("ro.zip", "keep me");
  ASSERT_TRUE(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ReadGroup));
  ASSERT_TRUE(QDir().mkpath(Path("folder.zip")));
  struct Case {
    QString path;
    const char* reason;
  };
  const Case cases[] = {{Path("missing/a.fb2.zip"), "No such file or directory"},
                        {readOnly, "Permission denied"},
                        {Path("folder.zip"), "Is a directory"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.toStdString());
    TZipWriter writer;
    writer.SetFileName(c.path);
    try {
      writer.Open(TZipWriter::kCreateMode);
      ADD_FAILURE() << "Open succeeded";
    } catch (const ShelvioError& e) {
      EXPECT_EQ(e.Message(), QStringLiteral("Cannot create file \"%1\". %2").arg(c.path, c.reason));
    }
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_THROW(writer.AddMatching(Path("ro.zip"), kAnyFileAttributes, {}), EZipWriterError);
  }
  EXPECT_EQ(ReadAll(readOnly), QByteArray("keep me"));
  EXPECT_EQ(Leftovers({"ro.zip", "folder.zip"}), QStringList());
}

// The archive's name taken while the archive is written (by another run's archive, by a folder):
// publishing fails with the system's reason, what took the name stays as it was, and nothing of the
// temporary archive is left, whether the caller then abandons the writer, closes it or drops it.
TEST_F(ZipWriterErrors, PublishingThatFailsLeavesNoTemporaryArchive) {
  struct Case {
    const char* what;
    bool keepExisting;
    bool folder;  // a folder takes the name, else a file
    const char* reason;
  };
  const Case cases[] = {{"a file, kept", true, false, "File exists"},
                        {"a folder, kept", true, true, "File exists"},
                        {"a folder, replacing", false, true, "Is a directory"}};
  enum class End { Abandon, Close, Drop };
  const QString book = Book("b.fb2", BookLikeData(100000));
  const QString archive = book + ".zip";
  for (const Case& c : cases) {
    for (const End end : {End::Abandon, End::Close, End::Drop}) {
      SCOPED_TRACE(std::string(c.what) + ", end " + std::to_string(static_cast<int>(end)));
      {
        TZipWriter writer;
        writer.SetFileName(archive);
        writer.SetKeepExisting(c.keepExisting);
        writer.Open(TZipWriter::kCreateMode);
        if (c.folder)
          ASSERT_TRUE(QDir().mkdir(archive));
        else
          WriteFile(archive, "another run's archive");
        try {
          writer.AddMatching(book, kAnyFileAttributes, {});
          ADD_FAILURE() << "published over what took the name";
        } catch (const ShelvioError& e) {
          EXPECT_EQ(e.Message(), QStringLiteral("Cannot create file \"%1\". %2").arg(archive, c.reason));
        }
        if (end == End::Abandon) writer.Abandon();
        if (end == End::Close) writer.Close();
      }
      if (c.folder)
        EXPECT_TRUE(QDir(archive).isEmpty());
      else
        EXPECT_EQ(ReadAll(archive), QByteArray("another run's archive"));
      EXPECT_EQ(Leftovers({"b.fb2", "b.fb2.zip"}), QStringList());
      QDir().rmdir(archive);
      QFile::remove(archive);
    }
  }
}

// Hidden files pass the run's search attributes; attributes that lack the hidden or directory bit
// pass such entries over (nothing added, no prompt), as the search does.
TEST_F(ZipWriterErrors, SearchAttributesPassOverWhatTheyLack) {
  const QString hidden = Book(".hidden.fb2", "h");
  ASSERT_TRUE(QDir().mkpath(Path("dir.fb2")));
  struct Case {
    QString source;
    uint32_t attributes;
    int entries;
  };
  const Case cases[] = {{hidden, kAnyFileAttributes, 1},
                        {hidden, kAttrArchive | kAttrReadOnly, 0},
                        {Path("dir.fb2"), kAttrArchive | kAttrHidden, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.toStdString());
    ScriptedPrompt prompt({ZipPromptAnswer::Ignore});
    TZipWriter writer;
    writer.SetPrompt(&prompt);
    writer.SetFileName(Path("out.zip"));
    writer.Open(TZipWriter::kCreateMode);
    writer.AddMatching(c.source, c.attributes, {});
    EXPECT_EQ(writer.LastCommitEntryCount(), c.entries);
    EXPECT_TRUE(prompt.texts.empty());
    writer.Close();
    if (c.entries == 0) {
      EXPECT_EQ(ReadAll(Path("out.zip")), EmptyArchive());
    }
  }
}

// A source that is not a regular file cannot be opened (a FIFO must not hang the writer). Each
// answer is honoured: Abort and Ignore leave an archive without entries and no error, Retry asks
// again; the user reads the error and the hint about the disk.
TEST_F(ZipWriterPrompt, SettlesASourceThatCannotBeOpened) {
  const QString folderSource = Path("folder.fb2");
  ASSERT_TRUE(QDir().mkpath(folderSource));
  const QString fifoSource = Path("fifo.fb2");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifoSource).constData(), 0644), 0);
  struct Case {
    std::vector<ZipPromptAnswer> answers;
    size_t asked;
  };
  const Case cases[] = {{{ZipPromptAnswer::Abort}, 1},
                        {{ZipPromptAnswer::Ignore}, 1},
                        {{ZipPromptAnswer::Retry, ZipPromptAnswer::Retry, ZipPromptAnswer::Ignore}, 3}};
  for (const QString& source : {folderSource, fifoSource}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(source.toStdString() + " asked " + std::to_string(c.asked));
      ScriptedPrompt prompt(c.answers);
      TZipWriter writer;
      writer.SetPrompt(&prompt);
      writer.SetFileName(Path("out.zip"));
      writer.Open(TZipWriter::kCreateMode);
      writer.AddMatching(source, kAnyFileAttributes, {});
      EXPECT_EQ(writer.LastCommitEntryCount(), 0);
      writer.Close();
      ASSERT_EQ(prompt.texts.size(), c.asked);
      EXPECT_EQ(prompt.texts[0], QStringLiteral("Zip: Cannot open file \"%1\" - Native error: 00033. "
                                                "File processing error, possibly disk is full")
                                     .arg(source));
      EXPECT_TRUE(prompt.retries[0]);
      EXPECT_EQ(ReadAll(Path("out.zip")), EmptyArchive());
    }
  }
}

// Retry really writes the entry again: once the source can be read, the archive holds it.
TEST_F(ZipWriterPrompt, RetryWritesTheEntryOnceTheSourceCanBeRead) {
  const QString source = Path("late.fb2");
  ASSERT_TRUE(QDir().mkpath(source));
  const QByteArray content = BookLikeData(40000);
  ScriptedPrompt prompt({ZipPromptAnswer::Retry});
  prompt.beforeAnswer = [&](size_t) {
    QDir(source).removeRecursively();
    WriteFile(source, content);
  };
  TZipWriter writer;
  writer.SetPrompt(&prompt);
  writer.SetFileName(Path("late.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(source, kAnyFileAttributes, {});
  EXPECT_EQ(writer.LastCommitEntryCount(), 1);
  writer.Close();
  EXPECT_EQ(prompt.texts.size(), 1u);
  ExpectReadersAccept(Path("late.zip"), {{"late.fb2", content}});
}

// Without a prompt the answer is Abort: no question, no error, an archive without entries.
TEST_F(ZipWriterPrompt, NoPromptMeansAbort) {
  ASSERT_TRUE(QDir().mkpath(Path("folder.fb2")));
  TZipWriter writer;
  writer.SetFileName(Path("out.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(Path("folder.fb2"), kAnyFileAttributes, {});
  EXPECT_EQ(writer.LastCommitEntryCount(), 0);
  writer.Close();
  EXPECT_EQ(ReadAll(Path("out.zip")), EmptyArchive());
}

// A name too long for the system is reported, not passed over as missing; the prompt offers Abort
// and Ignore only, so a Retry answer must not loop.
TEST_F(ZipWriterPrompt, NameTooLongOffersAbortAndIgnoreOnly) {
  const QString source = Path(QString(256, QLatin1Char('x')) + ".fb2");
  ScriptedPrompt prompt({ZipPromptAnswer::Retry});
  TZipWriter writer;
  writer.SetPrompt(&prompt);
  writer.SetFileName(Path("long.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(source, kAnyFileAttributes, {});
  writer.Close();
  ASSERT_EQ(prompt.texts.size(), 1u);
  EXPECT_EQ(prompt.codes[0], 61);
  EXPECT_FALSE(prompt.retries[0]);
  EXPECT_EQ(prompt.texts[0],
            QStringLiteral("Zip: File name is too long: \r\n\"%1\" - Native error: 00061").arg(source));
  EXPECT_EQ(ReadAll(Path("long.zip")), EmptyArchive());
}

// A source whose size promises more than it gives (a sysfs attribute says 4096 bytes and reads a
// few) is caught instead of being stored with a wrong size.
TEST_F(ZipWriterPrompt, SourceShorterThanItsSizeIsRefused) {
  const QString source = QStringLiteral("/sys/class/net/lo/mtu");
  QFile probe(source);
  if (QFileInfo(source).size() != 4096 || !probe.open(QIODevice::ReadOnly) || probe.readAll().size() >= 4096)
    GTEST_SKIP() << "no sysfs attribute to read here";
  ScriptedPrompt prompt({ZipPromptAnswer::Abort});
  TZipWriter writer;
  writer.SetPrompt(&prompt);
  writer.SetFileName(Path("short.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(source, kAnyFileAttributes, {});
  writer.Close();
  ASSERT_EQ(prompt.texts.size(), 1u);
  EXPECT_EQ(prompt.texts[0],
            QStringLiteral("Zip: Invalid compressed size, rfs.size = 4096, count = 0 - Native error: "
                           "00034. File processing error, possibly disk is full"));
  EXPECT_EQ(ReadAll(Path("short.zip")), EmptyArchive());
}

// Adds into an archive that already holds entries: a second book is appended, a book of the same
// name replaces its entry, and an aborted add rolls back to what the earlier adds wrote instead of
// cutting their data away.
TEST_F(ZipWriterPrompt, LaterAddsKeepWhatEarlierAddsWrote) {
  const QByteArray first = BookLikeData(150000, 5);
  const QByteArray second = BookLikeData(90000, 6);
  const QByteArray replaced = NoiseData(20000);
  const QString a = Book("a.fb2", first);
  const QString b = Book("b.fb2", second);
  ScriptedPrompt prompt({ZipPromptAnswer::Abort});
  TZipWriter writer;
  writer.SetPrompt(&prompt);
  writer.SetFileName(Path("many.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(a, kAnyFileAttributes, {});
  writer.AddMatching(b, kAnyFileAttributes, {});
  EXPECT_EQ(writer.LastCommitEntryCount(), 1);
  ExpectReadersAccept(Path("many.zip"), {{"a.fb2", first}, {"b.fb2", second}});

  WriteFile(a, replaced);
  writer.AddMatching(a, kAnyFileAttributes, {});
  // a.fb2 becomes a folder: its entry, the last in the file, is replaced by one that cannot be written
  ASSERT_TRUE(QFile::remove(a));
  ASSERT_TRUE(QDir().mkpath(a));
  writer.AddMatching(a, kAnyFileAttributes, {});
  EXPECT_EQ(prompt.texts.size(), 1u);
  EXPECT_EQ(writer.LastCommitEntryCount(), 0);
  writer.Close();
  ExpectReadersAccept(Path("many.zip"), {{"a.fb2", replaced}, {"b.fb2", second}});
}

// The archive goes to a 64 KiB tmpfs of its own, so that writes fail for want of space.
class ZipWriterOnSmallDisk : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    mountPoint_ = Path("small");
    ASSERT_TRUE(QDir().mkpath(mountPoint_));
    const ProcessResult mount =
        RunProgram(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mountPoint_});
    if (!mount.started || mount.exitCode != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here: " << mount.output.toStdString();
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) RunProgram(QStringLiteral("umount"), {mountPoint_});
  }
  QString Small(const QString& name) const { return mountPoint_ + QLatin1Char('/') + name; }
  QStringList SmallDiskHolds() const {
    return QDir(mountPoint_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  }

  QString mountPoint_;
  bool mounted_ = false;
};

// A full disk while the data are written goes to the prompt (65, without the writer's name). The
// failed attempt's bytes are cut off, so Ignore still completes the archive without an error, and
// Retry succeeds once the book fits.
TEST_F(ZipWriterOnSmallDisk, DiskFullGoesToThePrompt) {
  const QString source = Book("big.fb2", NoiseData(200000));
  const QByteArray smallContent = BookLikeData(3000);
  struct Case {
    ZipPromptAnswer answer;
    int entries;
  };
  for (const Case& c :
       {Case{ZipPromptAnswer::Abort, 0}, Case{ZipPromptAnswer::Ignore, 0}, Case{ZipPromptAnswer::Retry, 1}}) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    WriteFile(source, NoiseData(200000));
    ScriptedPrompt prompt({c.answer});
    if (c.answer == ZipPromptAnswer::Retry)
      prompt.beforeAnswer = [&](size_t) { WriteFile(source, smallContent); };
    TZipWriter writer;
    writer.SetPrompt(&prompt);
    writer.SetFileName(Small("big.fb2.zip"));
    writer.Open(TZipWriter::kCreateMode);
    writer.AddMatching(source, kAnyFileAttributes, {});
    EXPECT_EQ(writer.LastCommitEntryCount(), c.entries);
    writer.Close();
    ASSERT_EQ(prompt.texts.size(), 1u);
    EXPECT_EQ(prompt.texts[0],
              QStringLiteral("Disk is full. There is not enough free space on disk. - Native "
                             "error: 00065. File processing error, possibly disk is full"));
    if (c.entries == 0) {
      EXPECT_EQ(ReadAll(Small("big.fb2.zip")), EmptyArchive());
    } else {
      ExpectReadersAccept(Small("big.fb2.zip"), {{"big.fb2", smallContent}});
    }
    EXPECT_EQ(SmallDiskHolds(), QStringList{"big.fb2.zip"});
    QFile::remove(Small("big.fb2.zip"));
  }
}

// When the entry fits but the central directory or the end record does not, the add is rolled
// back to the archive without entries and the error reaches the caller; no prompt is asked.
TEST_F(ZipWriterOnSmallDisk, DirectoryThatDoesNotFitRollsBackAndRaises) {
  constexpr qsizetype kDisk = 64 * 1024;
  constexpr qsizetype kName = 5;  // "s.fb2"
  struct Case {
    qsizetype sourceSize;
    const char* message;
  };
  const Case cases[] = {
      // the stored entry fills the disk: no room for the central directory
      {kDisk - kLocalName - kName, "Zip: Write to stream error - Native error: 00046"},
      // the central directory fills the disk: no room for the end record
      {kDisk - kLocalName - kName - kCentralName - kName, "Stream write error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const QString source = Book("s.fb2", NoiseData(c.sourceSize));
    ScriptedPrompt prompt({ZipPromptAnswer::Ignore});
    TZipWriter writer;
    writer.SetPrompt(&prompt);
    writer.SetCompressionMode(0);
    writer.SetFileName(Small("s.zip"));
    writer.Open(TZipWriter::kCreateMode);
    try {
      writer.AddMatching(source, kAnyFileAttributes, {});
      ADD_FAILURE() << "no error";
    } catch (const ShelvioError& e) {
      EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
    }
    EXPECT_EQ(writer.LastCommitEntryCount(), 0);
    EXPECT_TRUE(prompt.texts.empty());
    EXPECT_TRUE(writer.IsOpen()) << "an error leaves the archive open until Close";
    writer.Close();
    EXPECT_EQ(ReadAll(Small("s.zip")), EmptyArchive());
    EXPECT_EQ(SmallDiskHolds(), QStringList{"s.zip"});
    QFile::remove(Small("s.zip"));
  }
}

}  // namespace
