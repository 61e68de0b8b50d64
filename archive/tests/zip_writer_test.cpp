#include <fcntl.h>
#include <sys/stat.h>

#include <QDateTime>
#include <atomic>
#include <ctime>
#include <thread>

#include "zip_test_support.h"

using namespace ziptest;

namespace {

using ZipWriter = ZipTest;

void SetModificationTime(const QString& path, int year, int month, int day, int hour, int minute,
                         int second) {
  struct tm local {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const time_t when = mktime(&local);
  ASSERT_NE(when, static_cast<time_t>(-1));
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

uint16_t DosDateOf(const QDateTime& t) {
  const QDate d = t.date();
  return static_cast<uint16_t>((d.year() - 1980) * 512 + d.month() * 32 + d.day());
}

// Every field of the smallest archive with an entry, at the offsets the record layout fixes; a
// wrong width, order, method or offset anywhere moves or changes a byte here.
TEST_F(ZipWriter, EmptyBookGivesTheTabulated108ByteArchive) {
  const QString book = Book("a.fb2", {});
  ASSERT_EQ(::chmod(QFile::encodeName(book).constData(), 0644), 0);
  TZipWriter writer;
  PackBook(writer, book);
  EXPECT_EQ(writer.LastCommitEntryCount(), 1);

  const QByteArray zip = ReadAll(book + ".zip");
  ASSERT_EQ(zip.size(), 108);
  EXPECT_EQ(zip.left(4), QByteArray("PK\x03\x04", 4));
  EXPECT_EQ(U16(zip, kLocalVersionNeeded), 20);
  EXPECT_EQ(U16(zip, kLocalFlags), 0);
  EXPECT_EQ(U16(zip, kLocalMethod), 0);  // stored: nothing to deflate
  EXPECT_EQ(U32(zip, kLocalCrc), 0u);
  EXPECT_EQ(U32(zip, kLocalCompressedSize), 0u);
  EXPECT_EQ(U32(zip, kLocalUncompressedSize), 0u);
  EXPECT_EQ(U16(zip, kLocalNameLength), 5);
  EXPECT_EQ(U16(zip, kLocalExtraLength), 0);
  EXPECT_EQ(zip.mid(kLocalName, 5), QByteArray("a.fb2"));

  constexpr int kCentral = 35;
  EXPECT_EQ(zip.mid(kCentral, 4), QByteArray("PK\x01\x02", 4));
  EXPECT_EQ(U16(zip, kCentral + kCentralVersionMadeBy), 0x0314);  // Unix, format 2.0
  EXPECT_EQ(U16(zip, kCentral + kCentralVersionNeeded), 20);
  EXPECT_EQ(U16(zip, kCentral + kCentralFlags), 0);
  EXPECT_EQ(U16(zip, kCentral + kCentralMethod), 0);
  EXPECT_EQ(U16(zip, kCentral + kCentralTime), U16(zip, kLocalTime));
  EXPECT_EQ(U16(zip, kCentral + kCentralDate), U16(zip, kLocalDate));
  EXPECT_EQ(U32(zip, kCentral + kCentralCrc), 0u);
  EXPECT_EQ(U32(zip, kCentral + kCentralCompressedSize), 0u);
  EXPECT_EQ(U32(zip, kCentral + kCentralUncompressedSize), 0u);
  EXPECT_EQ(U16(zip, kCentral + kCentralNameLength), 5);
  EXPECT_EQ(U16(zip, kCentral + kCentralExtraLength), 0);
  EXPECT_EQ(U16(zip, kCentral + kCentralCommentLength), 0);
  EXPECT_EQ(U16(zip, kCentral + kCentralDiskStart), 0);
  EXPECT_EQ(U16(zip, kCentral + kCentralInternalAttributes), 0);
  EXPECT_EQ(U32(zip, kCentral + kCentralExternalAttributes), 0x81A40020u);  // -rw-r--r--, archive
  EXPECT_EQ(U32(zip, kCentral + kCentralLocalHeaderOffset), 0u);
  EXPECT_EQ(zip.mid(kCentral + kCentralName, 5), QByteArray("a.fb2"));

  constexpr int kEnd = 86;
  EXPECT_EQ(zip.mid(kEnd, 4), QByteArray("PK\x05\x06", 4));
  EXPECT_EQ(U16(zip, kEnd + kEndDiskNumber), 0);
  EXPECT_EQ(U16(zip, kEnd + kEndDirectoryDisk), 0);
  EXPECT_EQ(U16(zip, kEnd + kEndEntriesOnDisk), 1);
  EXPECT_EQ(U16(zip, kEnd + kEndEntries), 1);
  EXPECT_EQ(U32(zip, kEnd + kEndDirectorySize), 51u);
  EXPECT_EQ(U32(zip, kEnd + kEndDirectoryOffset), 35u);
  EXPECT_EQ(U16(zip, kEnd + kEndCommentLength), 0);

  ExpectReadersAccept(book + ".zip", {{"a.fb2", {}}});
}

// Each way to an archive without entries must still leave a valid 22-byte archive and report that
// no entry was written, instead of an empty file, a missing file or an error.
TEST_F(ZipWriter, ArchiveWithoutEntriesIsTheBareEndRecord) {
  struct Case {
    const char* what;
    bool add;
    bool maskIsArchive;
  };
  const Case cases[] = {
      {"missing source", true, false},
      {"open then close", false, false},
      {"the archive itself as the mask", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString zipPath = Path(QStringLiteral("%1.zip").arg(c.what));
    if (c.maskIsArchive) WriteFile(zipPath, "an older archive of that name");
    TZipWriter writer;
    writer.SetFileName(zipPath);
    writer.Open(TZipWriter::kCreateMode);
    if (c.add) writer.AddMatching(c.maskIsArchive ? zipPath : Path("nowhere.fb2"), kAnyFileAttributes, {});
    EXPECT_EQ(writer.LastCommitEntryCount(), 0);
    writer.Close();
    EXPECT_EQ(ReadAll(zipPath), EmptyArchive());
    ExpectReadersAccept(zipPath, {});
  }
}

// The data must be the deflate stream of the source fed in 1 MiB chunks: exactly 0x100000 bytes
// finish in one call, one byte more needs a sync flush first. The expected stream is built the
// long way (zlib stream minus header and trailer), so a wrong chunk size, flush or strip shows.
TEST_F(ZipWriter, DeflatesInChunksOfOneMebibyteAtModeSix) {
  struct Case {
    qsizetype size;
    size_t chunks;
  };
  for (const Case& c : {Case{0x100000, 1}, Case{0x100001, 2}}) {
    SCOPED_TRACE(c.size);
    const QByteArray content = BookLikeData(c.size);
    const QString book = Book(QStringLiteral("book%1.fb2").arg(c.size), content);
    TZipWriter writer;
    PackBook(writer, book);

    const OneEntry entry = ParseOneEntry(ReadAll(book + ".zip"));
    std::vector<qsizetype> chunkEnds;
    const QByteArray expected = ExpectedRawDeflate(content, 6, 0x100000, &chunkEnds);
    ASSERT_EQ(chunkEnds.size(), c.chunks);
    if (c.chunks == 2) {  // the empty stored block of a sync flush closes the first chunk
      EXPECT_EQ(expected.mid(chunkEnds[0] - 4, 4), Bytes({0x00, 0x00, 0xFF, 0xFF}));
    }
    EXPECT_TRUE(entry.Data() == expected) << "deflate stream differs";
    EXPECT_EQ(U16(entry.file, kLocalMethod), 8);
    EXPECT_EQ(U32(entry.file, kLocalCrc), Crc32(content));
    EXPECT_EQ(U32(entry.file, kLocalUncompressedSize), static_cast<uint32_t>(c.size));
    ExpectReadersAccept(book + ".zip", {{book.section('/', -1), content}});
  }
}

// Every mode uses its own method, level and chunk size (512 KiB for 1 to 3, 1.5 MiB for 7 to 9):
// 2 MiB of text crosses chunk borders in all of them.
TEST_F(ZipWriter, EachModeUsesItsMethodLevelAndChunk) {
  struct Case {
    int mode;
    int method;
    qsizetype chunk;
  };
  const Case cases[] = {
      {0, 0, 0x100000}, {1, 8, 0x80000}, {3, 8, 0x80000}, {6, 8, 0x100000}, {9, 8, 0x180000}};
  const QByteArray content = BookLikeData(0x200000, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const QString book = Book(QStringLiteral("mode%1.fb2").arg(c.mode), content);
    TZipWriter writer;
    writer.SetCompressionMode(c.mode);
    PackBook(writer, book);
    const OneEntry entry = ParseOneEntry(ReadAll(book + ".zip"));
    EXPECT_EQ(U16(entry.file, kLocalMethod), c.method);
    EXPECT_TRUE(entry.Data() == (c.method == 0 ? content : ExpectedRawDeflate(content, c.mode, c.chunk)));
    ExpectReadersAccept(book + ".zip", {{book.section('/', -1), content}});
  }
}

// Level and mode are two views of one setting.
TEST(ZipWriterSettings, LevelAndModeMoveTogether) {
  TZipWriter writer;
  EXPECT_EQ(writer.CompressionMode(), 6);
  EXPECT_EQ(writer.CompressionLevel(), ZipCompressionLevel::clNormal);
  const std::pair<ZipCompressionLevel, int> levels[] = {{ZipCompressionLevel::clNone, 0},
                                                        {ZipCompressionLevel::clFastest, 1},
                                                        {ZipCompressionLevel::clNormal, 6},
                                                        {ZipCompressionLevel::clMax, 9}};
  for (const auto& [level, mode] : levels) {
    writer.SetCompressionLevel(level);
    EXPECT_EQ(writer.CompressionMode(), mode);
  }
  const ZipCompressionLevel byMode[] = {ZipCompressionLevel::clNone,    ZipCompressionLevel::clFastest,
                                        ZipCompressionLevel::clFastest, ZipCompressionLevel::clFastest,
                                        ZipCompressionLevel::clNormal,  ZipCompressionLevel::clNormal,
                                        ZipCompressionLevel::clNormal,  ZipCompressionLevel::clMax,
                                        ZipCompressionLevel::clMax,     ZipCompressionLevel::clMax};
  for (int mode = 0; mode <= 9; ++mode) {
    writer.SetCompressionMode(mode);
    EXPECT_EQ(writer.CompressionLevel(), byMode[mode]) << "mode " << mode;
  }
}

// Sets TZ for its lifetime; the C library reads it anew at tzset.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : wasSet_(qEnvironmentVariableIsSet("TZ")), old_(qgetenv("TZ")) {
    qputenv("TZ", zone);
    tzset();
  }
  ~ScopedTimeZone() {
    if (wasSet_)
      qputenv("TZ", old_);
    else
      qunsetenv("TZ");
    tzset();
  }

 private:
  bool wasSet_;
  QByteArray old_;
};

// MS-DOS time and date of the last write in local time, seconds rounded down to even; the ends of
// the range MS-DOS dates can hold must not wrap. Local time is told from UTC only away from UTC:
// Vladivostok (UTC+10) and Moscow (UTC+3) in POSIX form, which needs no time zone files.
TEST_F(ZipWriter, StoresTheLastWriteTimeAsDosTimeAndDate) {
  struct Case {
    int year, month, day, hour, minute, second;
    uint16_t time, date;
  };
  const Case cases[] = {
      {2012, 3, 4, 10, 20, 31, 0x528F, 0x4064},
      {1980, 1, 1, 0, 0, 0, 0x0000, 0x0021},
      {2107, 12, 31, 23, 59, 59, 0xBF7D, 0xFF9F},
  };
  for (const char* zone : {"UTC0", "<+10>-10", "MSK-3"}) {
    const ScopedTimeZone timeZone(zone);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(zone) + ", " + std::to_string(c.year));
      const QString book = Book(QStringLiteral("t%1.fb2").arg(c.year), "x");
      SetModificationTime(book, c.year, c.month, c.day, c.hour, c.minute, c.second);
      TZipWriter writer;
      PackBook(writer, book);
      const OneEntry entry = ParseOneEntry(ReadAll(book + ".zip"));
      EXPECT_EQ(U16(entry.file, kLocalTime), c.time);
      EXPECT_EQ(U16(entry.file, kLocalDate), c.date);
    }
  }
}

// A time MS-DOS cannot hold (before 1980) gives the current local time, not a wrapped date.
TEST_F(ZipWriter, TimeBefore1980BecomesTheCurrentTime) {
  const QString book = Book("old.fb2", "x");
  SetModificationTime(book, 1975, 6, 1, 12, 0, 0);
  const QDateTime before = QDateTime::currentDateTime();
  TZipWriter writer;
  PackBook(writer, book);
  const QDateTime after = QDateTime::currentDateTime();
  const uint16_t date = U16(ReadAll(book + ".zip"), kLocalDate);
  EXPECT_TRUE(date == DosDateOf(before) || date == DosDateOf(after)) << std::hex << date;
}

// Names of printable ASCII are stored as they are with bit 11 clear; everything else in UTF-8 with
// bit 11 set in both headers. Long names are stored whole, not cut at 254 bytes.
TEST_F(ZipWriter, StoresNamesAsAsciiOrFlaggedUtf8) {
  struct Case {
    QString name;
    QByteArray bytes;
    uint16_t flags;
  };
  const QString longName = QString(251, QLatin1Char('n')) + QStringLiteral(".fb2");  // 255 bytes, NAME_MAX
  const Case cases[] = {
      {QStringLiteral("A b~(1).fb2"), "A b~(1).fb2", 0},
      {QStringLiteral("Книга.fb2"),
       Bytes({0xD0, 0x9A, 0xD0, 0xBD, 0xD0, 0xB8, 0xD0, 0xB3, 0xD0, 0xB0, 0x2E, 0x66, 0x62, 0x32}), 0x0800},
      // the name the default file-name template gives
      {QStringLiteral("Толстой Лев - Анна Каренина.fb2"),
       QStringLiteral("Толстой Лев - Анна Каренина.fb2").toUtf8(), 0x0800},
      {QStringLiteral("café.fb2"), QStringLiteral("café.fb2").toUtf8(), 0x0800},
      {QStringLiteral("tab\t.fb2"), "tab\t.fb2", 0x0800},  // a control character is not printable
      {longName, longName.toLatin1(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    QTemporaryDir folder;
    const QString book = folder.path() + '/' + c.name;
    WriteFile(book, "<FictionBook/>");
    const QString zipPath = folder.path() + "/out.zip";  // the book's name plus .zip would be too long
    TZipWriter writer;
    writer.SetFileName(zipPath);
    writer.Open(TZipWriter::kCreateMode);
    writer.AddMatching(book, kAnyFileAttributes, {});
    writer.Close();
    const OneEntry entry = ParseOneEntry(ReadAll(zipPath));
    EXPECT_EQ(entry.LocalName(), c.bytes);
    EXPECT_EQ(U16(entry.file, kLocalFlags), c.flags);
    EXPECT_EQ(U16(entry.file, entry.central + kCentralFlags), c.flags);
    if (c.name.contains('\t')) continue;  // 7z turns the tab into another character when extracting
    ExpectReadersAccept(zipPath, {{c.name, "<FictionBook/>"}});
  }
}

// Made on Unix (host 3) to format 2.0, needing 2.0; the external attributes carry the book's
// permissions as a regular file in their high half (never set-user-ID or the like) and the MS-DOS
// word in their low half: archive, plus read-only when the owner may not write the book.
TEST_F(ZipWriter, WritesUnixHostModeAndDosAttributes) {
  struct Case {
    mode_t mode;
    uint32_t attributes;
  };
  const Case cases[] = {{0640, 0x81A00020}, {0444, 0x81240021}, {04755, 0x81ED0020}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const QString book = Book(QStringLiteral("p%1.fb2").arg(c.mode, 0, 8), "text");
    ASSERT_EQ(::chmod(QFile::encodeName(book).constData(), c.mode), 0);
    TZipWriter writer;
    PackBook(writer, book);
    const OneEntry entry = ParseOneEntry(ReadAll(book + ".zip"));
    EXPECT_EQ(U16(entry.file, kLocalVersionNeeded), 20);
    EXPECT_EQ(U16(entry.file, entry.central + kCentralVersionMadeBy), 0x0314);
    EXPECT_EQ(U16(entry.file, entry.central + kCentralVersionNeeded), 20);
    EXPECT_EQ(U32(entry.file, entry.central + kCentralExternalAttributes), c.attributes)
        << std::hex << U32(entry.file, entry.central + kCentralExternalAttributes);
  }
}

// An existing file of the archive's name is replaced, but only by the complete archive: until the
// add has written and flushed it, the old file stays as it was, and no temporary file stays behind.
TEST_F(ZipWriter, ReplacesAnExistingArchiveOnlyWhenTheNewOneIsComplete) {
  const QByteArray content = BookLikeData(300000);
  const QString book = Book("b.fb2", content);
  WriteFile(book + ".zip", "old bytes");
  TZipWriter writer;
  writer.SetFileName(book + ".zip");
  writer.Open(TZipWriter::kCreateMode);
  EXPECT_EQ(ReadAll(book + ".zip"), QByteArray("old bytes"));
  writer.AddMatching(book, kAnyFileAttributes, {});
  EXPECT_EQ(writer.LastCommitEntryCount(), 1);
  ExpectReadersAccept(book + ".zip", {{"b.fb2", content}});
  writer.Close();
  ExpectReadersAccept(book + ".zip", {{"b.fb2", content}});
  EXPECT_EQ(Leftovers({"b.fb2", "b.fb2.zip"}), QStringList());
}

// One writer serves book after book; Open closes (and completes) the archive it still holds.
TEST_F(ZipWriter, ServesBookAfterBook) {
  TZipWriter writer;
  const QByteArray first = BookLikeData(5000, 11);
  const QByteArray second = NoiseData(70000);
  PackBook(writer, Book("one.fb2", first));
  PackBook(writer, Book("two.fb2", second));
  ExpectReadersAccept(Path("one.fb2.zip"), {{"one.fb2", first}});
  ExpectReadersAccept(Path("two.fb2.zip"), {{"two.fb2", second}});

  writer.SetFileName(Path("left-open.zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.SetFileName(Path("next.zip"));
  writer.Open(TZipWriter::kCreateMode);
  EXPECT_EQ(ReadAll(Path("left-open.zip")), EmptyArchive());
  writer.Close();
  EXPECT_EQ(ReadAll(Path("next.zip")), EmptyArchive());
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(Leftovers({"one.fb2", "one.fb2.zip", "two.fb2", "two.fb2.zip", "left-open.zip", "next.zip"}),
            QStringList());
}

// Writers on several threads share nothing but the lock: each archive holds its own book.
TEST_F(ZipWriter, WritersOnSeveralThreadsKeepTheirArchivesApart) {
  constexpr int kThreads = 3;
  constexpr int kBooksEach = 2;
  std::vector<QByteArray> contents;
  for (int i = 0; i < kThreads * kBooksEach; ++i) {
    contents.push_back(BookLikeData(200000 + i * 70001, static_cast<uint32_t>(i + 20)));
    Book(QStringLiteral("m%1.fb2").arg(i), contents.back());
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t, &failures] {
      TZipWriter writer;
      for (int b = 0; b < kBooksEach; ++b) {
        try {
          PackBook(writer, Path(QStringLiteral("m%1.fb2").arg(t * kBooksEach + b)));
        } catch (const ShelvioError&) {
          ++failures;
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < kThreads * kBooksEach; ++i) {
    const QString name = QStringLiteral("m%1.fb2").arg(i);
    ExpectReadersAccept(Path(name + ".zip"), {{name, contents[static_cast<size_t>(i)]}});
  }
}

}  // namespace

namespace {

// Real books by others, with Cyrillic, blanks, parentheses and several dots in their names: each is
// packed as the run packs it, and every reader must get back the very same bytes. The readers take
// all archives in one call each, to keep the test quick.
TEST_F(ZipWriter, PacksEveryCorpusBookSoThatReadersGetItBack) {
  const QDir corpus(QStringLiteral(SHELVIO_CORPUS_DIR "/files"));
  const QStringList names = corpus.entryList({QStringLiteral("*.fb2")}, QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 70) << corpus.path().toStdString();
  TZipWriter writer;
  QStringList archives;
  for (const QString& name : names) {
    SCOPED_TRACE(name.toStdString());
    const QByteArray content = ReadAll(corpus.filePath(name));
    const QString book = Book(name, content);
    PackBook(writer, book);
    EXPECT_EQ(writer.LastCommitEntryCount(), 1);
    const OneEntry entry = ParseOneEntry(ReadAll(book + ".zip"));
    EXPECT_EQ(U32(entry.file, kLocalCrc), Crc32(content));
    archives << book + ".zip";
  }

  const ProcessResult unzip = RunProgram("unzip", {"-t", "-q", Path("*.zip")});
  ASSERT_TRUE(unzip.started) << "unzip is missing";
  EXPECT_EQ(unzip.exitCode, 0) << unzip.output.toStdString();
  EXPECT_TRUE(
      unzip.output.contains(QStringLiteral("%1 archives were successfully processed").arg(names.size())))
      << unzip.output.toStdString();

  const ProcessResult sevenZip = RunProgram("7z", {"t", "-bd", "-an", "-ai!" + Path("*.zip")});
  ASSERT_TRUE(sevenZip.started) << "7z is missing";
  EXPECT_EQ(sevenZip.exitCode, 0) << sevenZip.output.toStdString();
  EXPECT_TRUE(sevenZip.output.contains(QStringLiteral("Archives: %1").arg(names.size())))
      << sevenZip.output.toStdString();

  for (const QString& archive : archives) {
    const ProcessResult bsdtar = RunProgram("bsdtar", {"-tf", archive});
    ASSERT_TRUE(bsdtar.started) << "bsdtar is missing";
    EXPECT_EQ(bsdtar.exitCode, 0) << archive.toStdString();
    EXPECT_EQ(bsdtar.output, archive.section('/', -1).chopped(4) + "\n");
  }

  // each archive must hold exactly the book beside it, under its name, with its bytes
  QTemporaryDir out;
  const ProcessResult python = RunProgram(
      "python3",
      QStringList{
          "-c",
          "import os, sys, zipfile\n"
          "for path in sys.argv[2:]:\n"
          "    z = zipfile.ZipFile(path)\n"
          "    name = os.path.basename(path)[:-4]\n"
          "    if z.testzip() is not None or z.namelist() != [name]: sys.exit('bad: ' + path)\n"
          "    if z.read(name) != open(path[:-4], 'rb').read(): sys.exit('other bytes: ' + path)\n"
          "    z.extractall(sys.argv[1])\n"
          "    if open(os.path.join(sys.argv[1], name), 'rb').read() != open(path[:-4], 'rb').read():\n"
          "        sys.exit('extracted other bytes: ' + path)\n"
          "print('checked', len(sys.argv) - 2)\n",
          out.path()} +
          archives);
  ASSERT_TRUE(python.started) << "python3 is missing";
  EXPECT_EQ(python.exitCode, 0) << python.output.toStdString();
  EXPECT_EQ(python.output.trimmed(), QStringLiteral("checked %1").arg(names.size()));
}

}  // namespace
