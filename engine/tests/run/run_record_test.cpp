// The record of a run: what one version writes, a later one must still read, or the runs made
// before an update could no longer be undone.

#include "engine/run_record.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "engine/ini_file.h"
#include "engine/settings.h"
#include "engine/undo.h"
#include "tests/support/qstring_printer.h"
#include "validation/book_digest.h"

namespace {

// A record laid out as the runs before the named fields wrote it: the old list of settings, a
// book caught on its way and then finished, one that a kill left on its way, a packed one and
// one that arrived as a .fb2.zip. Any field read from the wrong place shows in one of the rows.
constexpr char kRecordOfBefore[] =
    "shelvio run record\t1\n"
    "started\t2026-12-10T14:07:37.123Z\n"
    "program\tshelvio-cli\n"
    "folder\t/books\n"
    "setting\tBadFileDir\t/library/bad/\n"
    "setting\tEndDir\t/library/end/\n"
    "setting\tDoubleDir\t/library/double/\n"
    "setting\tPattern\tФамилия Имя - Название\n"
    "setting\tSortPattern\tАлфавит\\\\Автор\n"
    "setting\tRename\t1\n"
    "setting\tTranslitDir\t0\n"
    "created\t/library/end/A\n"
    "moving\t/books/a.fb2\t/library/end/A/a.fb2\t120\t00000000000000ff\n"
    "moved\t/books/a.fb2\t/library/end/A/a.fb2.zip\t\t120\t00000000000000ff\ta.fb2\t0000abcd\n"
    "invalid\t/books/b.fb2\t/library/bad/b.fb2\tnot well-formed\t7\t0000000000000001\n"
    "repeat\t/books/c.fb2\t/library/double/c.fb2\t\t9\t0000000000000002\n"
    "kept\t/books/d.fb2\t\tPermission denied\t\t\n"
    "missing\t/books/e.fb2\t/library/end/e.fb2\tNo such file or directory\t\t\n"
    "moving\t/books/f.fb2\t/library/end/f.fb2\t11\t0000000000000003\n"
    "moved\t/books/g.fb2.zip\t/library/end/"
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
  EXPECT_EQ(record.createdFolders, QList<QByteArray>{"/library/end/A"});
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
      {RecordStatus::Moved, "/books/a.fb2", "/library/end/A/a.fb2.zip", "", 120, true},
      {RecordStatus::Invalid, "/books/b.fb2", "/library/bad/b.fb2", "not well-formed", 7, false},
      {RecordStatus::Repeat, "/books/c.fb2", "/library/double/c.fb2", "", 9, false},
      {RecordStatus::Kept, "/books/d.fb2", "", "Permission denied", -1, false},
      {RecordStatus::Missing, "/books/e.fb2", "/library/end/e.fb2", "No such file or directory", -1, false},
      // a moving line has no reason: its size and digest are where the others' are
      {RecordStatus::Moving, "/books/f.fb2", "/library/end/f.fb2", "", 11, false},
      {RecordStatus::Moved, "/books/g.fb2.zip", "/library/end/g.fb2", "", 30, false},
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

// A host over the values of a settings file, which a test changes between books as a person
// changes the window's controls.
class OptionsHost : public RunHost {
 public:
  QString Text(TextOption option) override { return values.Text(SettingOf(option)); }
  bool Checked(CheckOption option) override { return values.Checked(SettingOf(option)); }
  SettingValues Options() override { return values; }
  void SetStatus(const QString&) override {}
  void SetProgressMax(int) override {}
  void SetProgress(int) override {}
  void PumpMessages() override {}
  bool CancelRequested() override { return false; }

  SettingValues values =
      ReadSettings(IniFile(QStringLiteral("/nonexistent/setting.ini")), QStringLiteral("/w/"));
};

// One that gives only the options the run reads, as a host written before Options was.
class ReadOptionsHost : public OptionsHost {
 public:
  SettingValues Options() override { return RunHost::Options(); }
};

// Records two books with host, calling change after each (a person at the window between books);
// the record as read back.
RunRecord Record(OptionsHost& host, const std::function<void()>& change) {
  QString path;
  {
    RecordingHost recording(host, QStringLiteral("/books"), QStringLiteral("shelvio-cli"));
    for (const char* name : {"a", "b"}) {
      BookOutcome outcome;
      outcome.status = BookStatus::Moved;
      outcome.source = QStringLiteral("/books/%1.fb2").arg(QLatin1String(name));
      outcome.target = QStringLiteral("/w/end/%1.fb2").arg(QLatin1String(name));
      recording.BookDone(outcome);
      if (change) {
        change();
      }
    }
    recording.Finish(QStringLiteral("done"));
    path = recording.Path();
  }
  RunRecord record;
  QString error;
  EXPECT_TRUE(ReadRunRecord(path, &record, &error)) << error.toStdString();
  return record;
}

// An undo finds the folders a run used only in its record: a row left out (as Valid, ZipInput and
// ZipLevel once were) or a change the window made during the run is lost to it.
TEST(RunRecord, HoldsEveryRowOfTheSettingsAndEachChangeFromItsBook) {
  OptionsHost host;
  const SettingValues before = host.values;
  const RunRecord record = Record(host, [&] {
    host.values.SetText(SettingNamed("EndDir"), QStringLiteral("/elsewhere/"));
    host.values.SetChecked(SettingNamed("Valid"), false);
    host.values.SetNumber(SettingNamed("ZipLevel"), 9);
  });
  for (const Setting& row : kSettings) {
    const QString key = QString::fromLatin1(row.key.data(), static_cast<qsizetype>(row.key.size()));
    EXPECT_EQ(record.OptionValues(row).value(0), ValueText(before, row)) << key.toStdString();
  }
  EXPECT_EQ(record.OptionValues(SettingNamed("EndDir")), QStringList({"/w/end/", "/elsewhere/"}));
  EXPECT_EQ(record.OptionValues(SettingNamed("Valid")), QStringList({"1", "0"}));
  EXPECT_EQ(record.OptionValues(SettingNamed("ZipLevel")), QStringList({"2", "9"}));
  // an option that did not change is written once
  EXPECT_EQ(record.settings.size(), static_cast<qsizetype>(std::size(kSettings)) + 3);

  // A host that answers only the run's own options still leaves every row on record, Valid among
  // them; what it does not hold stays empty.
  ReadOptionsHost reading;
  reading.values.SetChecked(SettingNamed("Valid"), false);
  const RunRecord partial = Record(reading, nullptr);
  EXPECT_EQ(partial.settings.size(), static_cast<qsizetype>(std::size(kSettings)));
  EXPECT_EQ(partial.OptionValues(SettingNamed("Valid")), QStringList{"0"});
  EXPECT_EQ(partial.OptionValues(SettingNamed("ZipInput")), QStringList{""});
}

// A work folder changed during the run received the books from then on: an undo that knew only the
// first would leave them where the run put them, as outside the run's folders.
TEST(RunRecord, UndoTakesBackWhatWentIntoAFolderChangedDuringTheRun) {
  QTemporaryDir dir;
  const QString root = dir.path();
  ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("books")) && QDir(root).mkpath(QStringLiteral("end2")));
  QFile book(root + QStringLiteral("/end2/a.fb2"));
  ASSERT_TRUE(book.open(QIODevice::WriteOnly));
  book.write("<FictionBook/>");
  book.close();
  const BookDigest digest = DigestOfFile(book.fileName());
  ASSERT_TRUE(digest.known);

  QFile record(root + QStringLiteral("/changed.run"));
  ASSERT_TRUE(record.open(QIODevice::WriteOnly));
  const QByteArray r = root.toUtf8();
  record.write("shelvio run record\t1\nfolder\t" + r + "/books\n" + "setting\tBadFileDir\t" + r +
               "/bad/\nsetting\tDoubleDir\t" + r + "/double/\nsetting\tEndDir\t" + r + "/end1/\n" +
               "setting\tEndDir\t" + r + "/end2/\n" + "moved\t" + r + "/books/a.fb2\t" + r +
               "/end2/a.fb2\t\t" + QByteArray::number(digest.size) + "\t" +
               QByteArray::number(digest.hash, 16).rightJustified(16, '0') + "\n");
  record.close();

  RunRecord read;
  ASSERT_TRUE(ReadRunRecord(record.fileName(), &read, nullptr));
  const UndoSummary summary = UndoRun(read, nullptr);
  EXPECT_EQ(summary.restored, 1);
  EXPECT_TRUE(QFile::exists(root + QStringLiteral("/books/a.fb2")));
}

}  // namespace
