#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include "engine/run.h"
#include "engine/settings.h"
#include "validation/book_digest.h"

// Every real run leaves a record of what it did, one file per run in RunsFolder(), so that a person
// can read it and an undo can put every book back. The record is text, one line per entry, fields
// separated by a tab:
//
//   shelvio run record	1
//   started	2026-12-10T14:07:37.123Z
//   program	shelvio-cli
//   folder	/home/reader/books
//   setting	Pattern	Фамилия Имя - Название          (one line per row of kSettings before the first
//                                                    book; again for a row that changed since)
//   created	/home/reader/books/end/A                 (before the run makes a folder)
//   moving	SOURCE	TARGET	SIZE	XXH3                  (before a book is moved)
//   moved	SOURCE	TARGET	REASON	SIZE	XXH3	ENTRY	CRC (when it is done; also invalid, repeat,
//                                                         kept, missing; ENTRY and CRC for an archive)
//   moved	SOURCE	TARGET	REASON	SIZE	XXH3	ENTRY	CRC	zip	HOW	NAME	METHOD	CRC
//   PACKED UNPACKED
//     TIME	FLAGS	BOOKSIZE	BOOKXXH3	OFFSET	SKELETON
//                                    (a book that arrived as a .fb2.zip, SOURCE, whose SIZE and XXH3
//                                     are the archive's; HOW: "unpacked" to TARGET, ENTRY and CRC
//                                     empty, or "repacked" into TARGET; then its entry as it was and
//                                     the archive's other bytes in base64: see engine/undo_archive.h)
//   ended	2026-12-10T14:08:01.456Z	done
//   undone	2026-12-11T09:00:00.000Z	restored 11, kept 0
//
// Paths are absolute and byte-exact: a byte that is not part of printable UTF-8 is written as \xHH,
// and "\" as "\\", a tab as "\t", a line break as "\n" or "\r". Each line is written as soon as it
// is known, with one write, so a killed run's record is complete up to the kill.

// $XDG_STATE_HOME/shelvio/runs (~/.local/state/shelvio/runs); empty when it cannot be told.
QString RunsFolder();

// The record files in RunsFolder(), oldest first (their names sort by start time).
QStringList ListRunRecords();

// Why no record of a run can be written now (no home folder is known, the folder cannot be made
// or written); empty when one can. Makes the folder when it is missing. A run asks before its
// first book: a run without a record cannot be undone.
QString RecordFolderProblem();

// A field as it stands in a record, and back.
QByteArray EscapeRecordField(const QByteArray& bytes);
QByteArray UnescapeRecordField(const QByteArray& field);

// Writes the record of one run around the host the run would use: every call passes through to
// host, and what the run does is written down. The file is made when the run first touches a book
// or a folder, so a run that touches nothing leaves no record.
class RecordingHost final : public RunHost {
 public:
  // folder: the folder whose books are run; program: who runs them ("shelvio", "shelvio-cli").
  RecordingHost(RunHost& host, const QString& folder, const QString& program);
  // Ends the record with "error" unless Finish was called.
  ~RecordingHost() override;
  RecordingHost(const RecordingHost&) = delete;
  RecordingHost& operator=(const RecordingHost&) = delete;

  QString Text(TextOption option) override { return host_.Text(option); }
  bool Checked(CheckOption option) override { return host_.Checked(option); }
  void SetStatus(const QString& text) override { host_.SetStatus(text); }
  void SetProgressMax(int max) override { host_.SetProgressMax(max); }
  void SetProgress(int position) override { host_.SetProgress(position); }
  void PumpMessages() override { host_.PumpMessages(); }
  bool CancelRequested() override { return host_.CancelRequested(); }
  void BookDone(const BookOutcome& outcome) override;
  void BookMoving(const BookOutcome& outcome) override;
  void CreatingFolders(const QStringList& folders) override;

  // Writes how the run ended: "done", "cancelled", or "error: " and the message.
  void Finish(const QString& how);
  // The record file; empty while none was made.
  QString Path() const { return path_; }
  // Why no record could be made or written; empty when all went well.
  QString Error() const { return error_; }

 private:
  bool Ready();
  void NoteOptions();
  void Write(const QList<QByteArray>& fields);

  RunHost& host_;
  QString folder_;
  QString program_;
  QString started_;
  QString path_;
  QString error_;
  SettingValues options_;  // as last written
  bool optionsNoted_ = false;
  int fd_ = -1;
  bool failed_ = false;
  bool finished_ = false;
};

// How a book stands in a record: how the run ended with it, or Moving for one a kill caught on its
// way (only the line written before its move is there).
enum class RecordStatus { Invalid, Moved, Repeat, Kept, Missing, Moving };

// The word of a status, as the record, shelvio-cli's lines and the run summary spell it.
QLatin1String StatusWord(RecordStatus status);
QLatin1String StatusWord(BookStatus status);
// The status spelled word; false for a word that names none.
bool StatusOfWord(QByteArrayView word, RecordStatus* status);
RecordStatus RecordStatusOf(BookStatus status);

// One book as a record holds it.
struct RecordedBook {
  RecordStatus status = RecordStatus::Kept;
  QByteArray source;
  QByteArray target;
  QString reason;
  BookDigest digest;
  QByteArray archiveEntry;  // for a target that is an archive
  quint32 archiveCrc = 0;
  bool packed = false;
  ArrivedArchive arrived;  // for a book that arrived as a .fb2.zip: its archive
};

struct RunRecord {
  QString path;
  QString started;
  QString program;
  QByteArray folder;
  QList<QPair<QString, QString>> settings;  // key and value, in the record's order
  QList<RecordedBook> books;                // in the run's order
  QList<QByteArray> createdFolders;
  QString ended;       // empty for a run that was killed
  QStringList undone;  // one entry per undo: when, and its counts

  // The values setting had during the run, the first first; a record older than the row has none.
  QStringList OptionValues(const Setting& setting) const;

  // The number of books of each status, in the form "invalid 2, moved 5".
  QString Counts() const;
};

// Reads a record; false with *error set when the file cannot be read or is no record.
bool ReadRunRecord(const QString& path, RunRecord* record, QString* error);

// Appends a line to a record (an undo's), with the current time after the first field.
bool AppendToRecord(const QString& path, const QList<QByteArray>& fields);

// The current time as the record writes it.
QString RecordTime();
