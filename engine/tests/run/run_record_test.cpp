// The record of a run: what one version writes, a later one must still read, or the runs made
// before an update could no longer be undone.

#include "engine/run_record.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "tests/support/qstring_printer.h"

namespace {

// A record laid out as the runs before the named fields wrote it: the old list of settings, a
// book caught on its way and then finished, one that a kill left on its way, a packed one and
// one that arrived as a .fb2.zip. Any field read from the wrong place shows in one of the rows.
constexpr char kRecordOfBefore[] =
    "shelvio run record\t1\n"
    "started\t2026-12-10T14:07:37.123Z\n"
    "program\tshelvio-cli\n"
    "folder\t/books\n"
    "setting\tBadFileDir\t/work/bad/\n"
    "setting\tEndDir\t/work/end/\n"
    "setting\tDoubleDir\t/work/double/\n"
    "setting\tPattern\tФамилия Имя - Название\n"
    "setting\tSortPattern\tАлфавит\\\\Автор\n"
    "setting\tRename\t1\n"
    "setting\tTranslitDir\t0\n"
    "created\t/work/end/A\n"
    "moving\t/books/a.fb2\t/work/end/A/a.fb2\t120\t00000000000000ff\n"
    "moved\t/books/a.fb2\t/work/end/A/a.fb2.zip\t\t120\t00000000000000ff\ta.fb2\t0000abcd\n"
    "invalid\t/books/b.fb2\t/work/bad/b.fb2\tnot well-formed\t7\t0000000000000001\n"
    "repeat\t/books/c.fb2\t/work/double/c.fb2\t\t9\t0000000000000002\n"
    "kept\t/books/d.fb2\t\tPermission denied\t\t\n"
    "missing\t/books/e.fb2\t/work/end/e.fb2\tNo such file or directory\t\t\n"
    "moving\t/books/f.fb2\t/work/end/f.fb2\t11\t0000000000000003\n"
    "moved\t/books/g.fb2.zip\t/work/end/"
    "g.fb2\t\t30\t0000000000000005\t\t\tzip\tunpacked\tg.fb2\t8\t1234abcd\t"
    "5\t12\t5a2b3c4d\t0\t12\t0000000000000004\t\t\n"
    "ended\t2026-12-10T14:08:01.456Z\tdone\n"
    "undone\t2026-12-11T09:00:00.000Z\trestored 5, kept 1\n"
    "moved\t/books/cut";  // a line a kill cut short is no book

TEST(RunRecord, ReadsARecordWrittenBeforeItsFieldsWereNamed) {
  QTemporaryDir dir;
  QFile file(dir.filePath(QStringLiteral("old.run")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(kRecordOfBefore);
  file.close();

  RunRecord record;
  QString error;
  ASSERT_TRUE(ReadRunRecord(file.fileName(), &record, &error)) << error.toStdString();
  EXPECT_EQ(record.program, "shelvio-cli");
  EXPECT_EQ(record.folder, "/books");
  EXPECT_TRUE(
      record.settings.contains(qMakePair(QStringLiteral("SortPattern"), QStringLiteral("Алфавит\\Автор"))));
  EXPECT_EQ(record.createdFolders, QList<QByteArray>{"/work/end/A"});
  EXPECT_EQ(record.ended, "done");
  EXPECT_EQ(record.undone.size(), 1);
  EXPECT_EQ(record.Counts(), "invalid 1, moved 2, repeat 1, kept 1, missing 1, moving 1");

  struct Expected {
    RecordStatus status;
    const char* source;
    const char* target;
    const char* reason;
    qint64 size;  // -1: no digest
    bool packed;
  };
  const Expected expected[] = {
      // the finished line took the place of the one written before the move
      {RecordStatus::Moved, "/books/a.fb2", "/work/end/A/a.fb2.zip", "", 120, true},
      {RecordStatus::Invalid, "/books/b.fb2", "/work/bad/b.fb2", "not well-formed", 7, false},
      {RecordStatus::Repeat, "/books/c.fb2", "/work/double/c.fb2", "", 9, false},
      {RecordStatus::Kept, "/books/d.fb2", "", "Permission denied", -1, false},
      {RecordStatus::Missing, "/books/e.fb2", "/work/end/e.fb2", "No such file or directory", -1, false},
      // a moving line has no reason: its size and digest are where the others' are
      {RecordStatus::Moving, "/books/f.fb2", "/work/end/f.fb2", "", 11, false},
      {RecordStatus::Moved, "/books/g.fb2.zip", "/work/end/g.fb2", "", 30, false},
  };
  ASSERT_EQ(record.books.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const RecordedBook& book = record.books[static_cast<qsizetype>(i)];
    const Expected& e = expected[i];
    SCOPED_TRACE(e.source);
    EXPECT_EQ(book.status, e.status);
    EXPECT_EQ(book.source, e.source);
    EXPECT_EQ(book.target, e.target);
    EXPECT_EQ(book.reason, QString::fromUtf8(e.reason));
    EXPECT_EQ(book.digest.known, e.size >= 0);
    if (e.size >= 0) {
      EXPECT_EQ(book.digest.size, e.size);
    }
    EXPECT_EQ(book.packed, e.packed);
  }
  EXPECT_EQ(record.books[0].archiveEntry, "a.fb2");
  EXPECT_EQ(record.books[0].archiveCrc, 0xabcdU);
  EXPECT_EQ(record.books[5].digest.hash, 3U);
  const ArrivedArchive& arrived = record.books[6].arrived;
  EXPECT_TRUE(arrived.known);
  EXPECT_EQ(arrived.entryName, "g.fb2");
  EXPECT_EQ(arrived.method, 8);
  EXPECT_EQ(arrived.crc, 0x1234abcdU);
  EXPECT_EQ(arrived.book.hash, 4U);
}

}  // namespace
