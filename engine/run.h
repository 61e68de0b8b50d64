#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include "engine/file_ops.h"
#include "validation/book_digest.h"

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
  // Did not load or did not conform (in lenient mode: did not load as a FictionBook, or its
  // metadata could not be read): moved to the invalid-files folder.
  Invalid,
  Moved,    // moved to its destination (with archiving on, packed there)
  Repeat,   // destination taken: moved to the folder for repeated files
  Kept,     // a move failed (or the book already is its destination): it stays where it was;
            // or a .fb2.zip is not a book
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
};

// The shell around a run: the window over its controls, the command-line runner over a settings
// file, tests over a fake.
class RunHost {
 public:
  virtual ~RunHost() = default;
  virtual QString Text(TextOption option) = 0;
  virtual bool Checked(CheckOption option) = 0;
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

// What became of a pack: packed, or left unpacked at its destination with the reason.
struct PackOutcome {
  bool packed = false;
  QString reason;
};

// Packs a book that the run has just moved to its destination itself, in the same step. With
// "Archive" ticked the run calls it only then: never after a repeat, a failed move or a vanished
// source, so that a run packs nothing but the book it is handling.
class ArchiveStep {
 public:
  virtual ~ArchiveStep() = default;
  // Packs destination into destination + ".zip" and removes destination once the archive holds
  // it. moved identifies the file the move put there: a file at destination that is not that one
  // (or that changes while it is packed) is left alone, and nothing is left of the archive. Throws
  // to end the run.
  virtual PackOutcome Pack(const QString& destination, const FileStamp& moved) = 0;
  // Puts the book packed in archive (a .fb2.zip, judged valid) into destination + ".zip" under
  // destination's name, and removes archive once that is in place. False with *reason when it
  // did not: archive stays as it was. Throws to end the run.
  virtual bool Repack(const QString& archive, const QString& destination, QString* reason) {
    (void)archive;
    (void)destination;
    *reason = QStringLiteral("packed books are not handled here");
    return false;
  }
};

// The disk as the run sees it: the real one, or the simulation of a dry run.
class BookFiles {
 public:
  virtual ~BookFiles() = default;
  // True when any entry (a file, a folder, a link, dangling too) is at path.
  virtual bool EntryExists(const QString& path) = 0;
  // True when both paths name one file.
  virtual bool SameFile(const QString& a, const QString& b) = 0;
  // Creates the folder path; 0 when it exists afterwards, else the errno of the failed creation.
  // Throws EngineError "Unable to create directory" for the empty path.
  virtual int ForceDirectories(const QString& path) = 0;
  // Moves without replacing anything; false with the errno (or kSourceMissing, kSourceChanged) in
  // *error when the book did not go. On success *moved identifies the file now at `to` (unknown
  // when that cannot be told).
  virtual bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) = 0;
  // Finishes or undoes what killed runs left half done on this disk; nothing where nothing is
  // ever changed. Never throws.
  virtual void FinishInterruptedMoves() {}
  // Extracts the book packed in archive (a .fb2.zip, judged valid) to `to` without replacing
  // anything, and removes archive once the book is in place. False with *reason when the archive
  // stays.
  virtual bool UnpackBook(const QString& archive, const QString& to, QString* reason) {
    (void)archive;
    (void)to;
    *reason = QStringLiteral("packed books are not handled here");
    return false;
  }
};

// The real disk, through the safe file operations.
class DiskFiles final : public BookFiles {
 public:
  bool EntryExists(const QString& path) override;
  bool SameFile(const QString& a, const QString& b) override;
  int ForceDirectories(const QString& path) override;
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override;
  void FinishInterruptedMoves() override;
  bool UnpackBook(const QString& archive, const QString& to, QString* reason) override;
};

// The disk as it would be after the moves so far, which are only recorded: the disk is never
// changed. A dry run over it computes the same destinations as the real run that follows.
class DryRunFiles final : public BookFiles {
 public:
  bool EntryExists(const QString& path) override;
  bool SameFile(const QString& a, const QString& b) override;
  int ForceDirectories(const QString& path) override;
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override;
  bool UnpackBook(const QString& archive, const QString& to, QString* reason) override;

 private:
  static QString Key(const QString& path);
  bool FileThere(const QString& path) const;
  bool AnyEntryAt(const QString& key) const;
  bool FolderExists(const QString& key) const;

  QSet<QString> arrived_;  // files moved in
  QSet<QString> left_;     // files moved away
  QSet<QString> folders_;  // folders created
};

// The work type: 1 when "Rename" is ticked, plus 10 when "Sort" is ticked.
int TypeWork(RunHost& host);

// The verdict on one book, as XMLValid gives it. The run may call it on other threads, each with a
// validator of its own, for the books after the current one; it must not touch the host.
using BookCheck = int (*)(TXSDValidator& validator, const QString& path);

// Settles the C library's allocator for long runs, at the start of a program that runs books,
// before any thread. A book's images are held whole while they are checked, and the books of a
// library range from kilobytes to megabytes; left to itself, glibc raises its threshold for
// mapping a block to the largest block freed so far and gives every thread an arena of its own,
// so the heap keeps what the largest books left behind and the peak grows with the run.
void PrepareAllocatorForRuns();

// How many books a run may validate ahead of the one it handles: three per core (at most seven;
// one on a single core), so that the cores stay busy on small books while a large one holds one of
// them.
qsizetype LookAheadBooks();

// Books are read ahead only while those in hand total at most this many bytes; a larger book is in
// hand alone. The memory a book takes while it is validated grows with its largest <binary>, so
// this bounds a run's memory however its large books fall in the list.
inline constexpr qint64 kLookAheadBytes = 12 * 1024 * 1024;

// The run over the list items (bare names, resolved against the current directory), with a
// validator whose schema is loaded. The genre-name list appPath + "fls/genres.list" is open for
// the run's duration. An error (EngineError, FictionBookError, ValidationError, the archive
// step's) ends the run at the current book and is rethrown; the books before stay where they went.
// While a book is handled, up to LookAheadBooks() of the next ones are validated ahead on threads
// of their own, with spare validators over appPath + "fls/FictionBook.xsd"; a book whose file
// changed meanwhile is validated again at its turn. check replaces XMLValid (null: XMLValid).
void Booker(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
            BookFiles& files, ArchiveStep* archive, BookCheck check = nullptr);

// The start button's steps around Booker: resets the meter, loads appPath + "fls/FictionBook.xsd"
// into validator (a fresh one per start) and runs. False, with the validator's reason in
// *schemaError, when the schema does not load; then no book is touched. After a run that was not
// ended by an error the meter is reset and the status shows "Ждём...". Throws what Booker throws,
// and ValidationError for a schema that loads but does not compile.
bool StartRun(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
              BookFiles& files, ArchiveStep* archive, QString* schemaError);
