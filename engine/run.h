#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include "engine/book_files.h"
#include "engine/file_ops.h"
#include "engine/look_ahead.h"
#include "engine/undo_archive.h"
#include "validation/book_digest.h"

class SettingValues;
class TXSDValidator;

// The status line between runs.
inline constexpr char16_t kIdleStatus[] = u"Ждём...";

// What the run reads of its options. Each is read at the moment the run needs it, so a change in
// the shell applies to the next book that reads it.
enum class TextOption { BadDir, EndDir, DoubleDir, NewNamePattern, SortPattern };
// Valid unticked is the lenient mode: a book that loads as a FictionBook but does not conform is
// handled like a valid one.
enum class CheckOption {
  Rename,
  Sort,
  Archive,
  Translit,
  TranslitDir,
  SortLast,
  SortFirst,
  SortMiddle,
  FullGenres,
  Valid
};
// ZipInput (listing .fb2.zip books) is read where the list is made, not by the run.

// How one book ended.
enum class BookStatus {
  // Did not load or did not conform (in lenient mode: did not load as a FictionBook): moved to
  // the invalid-files folder.
  Invalid,
  Moved,    // moved to its destination (with archiving on, packed there)
  Repeat,   // destination taken: moved to the folder for repeated files
  Kept,     // a move failed, the book already is its destination, or its metadata could not be
            // read: it stays where it was; or a .fb2.zip is not a book
  Missing,  // the book was gone before its move (another program or run took it)
};

struct BookOutcome {
  BookStatus status = BookStatus::Kept;
  QString source;  // the list item as the run used it
  QString target;  // where the book went (or was to go); the archive when it was packed
  // The validator's reason for Invalid, the system's reason for Kept and Missing; for a book that
  // lenient mode moved although it does not conform, the schema's first complaint; for Moved, why
  // the book was not packed (after that complaint).
  QString reason;
  BookDigest digest;        // of the book's bytes, taken while it was validated
  bool packed = false;      // target is the archive the book was packed into
  QByteArray archiveEntry;  // then: the archive's one entry's name, as stored
  quint32 archiveCrc = 0;   // and its CRC-32
  // For a book that arrived as a .fb2.zip and was unpacked or repacked: what an undo needs to give
  // back that archive.
  ArrivedArchive arrived;
};

// The shell around a run: the window over its controls, the command-line runner over a settings
// file, tests over a fake.
class RunHost {
 public:
  virtual ~RunHost() = default;
  virtual QString Text(TextOption option) = 0;
  virtual bool Checked(CheckOption option) = 0;
  // Every option as it stands now, by the rows of kSettings (engine/settings.h), for the run's
  // record; a row the host has no value of is left out. By default the options the run reads,
  // through Text and Checked.
  virtual SettingValues Options();
  virtual void SetStatus(const QString& text) = 0;
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgress(int position) = 0;
  // Called once before each book; the window handles its pending events here.
  virtual void PumpMessages() = 0;
  // Tested right after PumpMessages.
  virtual bool CancelRequested() = 0;
  // Called once for every book the run has finished with.
  virtual void BookDone(const BookOutcome& outcome) { (void)outcome; }
  // Called right before the run moves a book on the disk, with source, target and digest set, so
  // that a record of the run knows of a book that a kill catches on its way.
  virtual void BookMoving(const BookOutcome& outcome) { (void)outcome; }
  // Called before the run creates folders that do not exist yet, the outermost first.
  virtual void CreatingFolders(const QStringList& folders) { (void)folders; }
};

// The work type: 1 when "Rename" is ticked, plus 10 when "Sort" is ticked.
int TypeWork(RunHost& host);

// The run over the list items (bare names, resolved against the current directory), with a
// validator whose schema is loaded. The genre-name list appPath + "fls/genres.list" is open for
// the run's duration. A book whose metadata cannot be read stays where it is (Kept, with the
// reason) and the run goes on. An error of the run's setting or of the archive step (a ShelvioError
// of any kind but Metadata) ends the run at the current book and is rethrown; the books
// before stay where they went.
// While a book is handled, up to LookAheadBooks() of the next ones are validated ahead on threads
// of their own, with spare validators over appPath + "fls/FictionBook.xsd"; a book whose file
// changed meanwhile is validated again at its turn. check replaces XMLValid (null: XMLValid).
void Booker(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
            BookFiles& files, ArchiveStep* archive, BookCheck check = nullptr);

// The start button's steps around Booker: resets the meter, loads appPath + "fls/FictionBook.xsd"
// into validator (a fresh one per start) and runs. False, with the validator's reason in
// *schemaError, when the schema does not load; then no book is touched. After a run that was not
// ended by an error the meter is reset and the status shows "Ждём...". Throws what Booker throws,
// and ShelvioError (Validation) for a schema that loads but does not compile.
bool StartRun(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
              BookFiles& files, ArchiveStep* archive, QString* schemaError);
