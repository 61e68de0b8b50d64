#include "engine/run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <algorithm>
#include <cerrno>

#include "archive/zip_reader.h"
#include "archive/zipped_book.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/engine_error.h"
#include "engine/file_ops.h"
#include "engine/genre_list.h"
#include "engine/journal.h"
#include "engine/templates.h"
#include "engine/zipped_books.h"
#include "fictionbook/book_info.h"
#include "validation/xsd_validator.h"

namespace {

// Keeps the genre-name list open exactly as long as the run, also when an error ends it.
class OpenGenreList {
 public:
  explicit OpenGenreList(const QString& path) { list_.Open(path); }
  ~OpenGenreList() { list_.Release(); }
  OpenGenreList(const OpenGenreList&) = delete;
  OpenGenreList& operator=(const OpenGenreList&) = delete;
  const GenreList& List() const { return list_; }

 private:
  GenreList list_;
};

// A work folder's text as a path that ends in a delimiter; an empty one stays empty.
QString AsFolder(const QString& text) {
  return text.isEmpty() ? text : IncludeTrailingDelimiter(ToNativePath(text));
}

// The folders of path that do not exist yet, the outermost first.
QStringList MissingFolders(const QString& path) {
  QStringList missing;
  QString folder = QDir::cleanPath(AbsolutePath(path));
  struct stat status {};
  while (::lstat(NativeName(folder).constData(), &status) != 0 && errno == ENOENT) {
    missing.prepend(folder);
    const QString parent = folder.left(std::max<qsizetype>(folder.lastIndexOf(u'/'), 1));
    if (parent == folder) break;
    folder = parent;
  }
  return missing;
}

// Creates the folders of path that are missing; the host learns of them first, so that a record of
// the run names every folder an undo may remove again.
int MakeFolders(RunHost& host, BookFiles& files, const QString& folder) {
  if (const QStringList missing = MissingFolders(folder); !missing.isEmpty()) host.CreatingFolders(missing);
  return files.ForceDirectories(folder);
}

// The three work folders are created when missing. One that cannot be is a setting to mend, not a
// fault of one book: the run ends there, naming it, rather than keep every book that follows.
void EnsureWorkFolder(RunHost& host, BookFiles& files, const QString& folder) {
  if (const int error = MakeFolders(host, files, folder))
    throw EngineError(QStringLiteral("Unable to create directory \"%1\": %2")
                          .arg(DisplayName(folder), MoveFailureText(error)));
}

// Moves the book and fills the outcome: `status` when it went, Missing when it was gone, Kept with
// the reason when it stays. *moved identifies the file the move put at target.
void MoveBook(RunHost& host, BookFiles& files, const QString& item, const QString& target, BookStatus status,
              BookOutcome& outcome, FileStamp* moved = nullptr) {
  outcome.target = target;
  if (const QString problem = PathLengthProblem(target); !problem.isEmpty()) {
    outcome.status = BookStatus::Kept;
    outcome.reason = problem;
    return;
  }
  host.BookMoving(outcome);
  int error = 0;
  FileStamp stamp;
  if (files.MoveFile(item, target, &error, &stamp)) {
    outcome.status = status;
    if (moved) *moved = stamp;
  } else {
    outcome.status = error == kSourceMissing ? BookStatus::Missing : BookStatus::Kept;
    outcome.reason = MoveFailureText(error);
  }
}

// A destination counts as taken when anything is there (a book, a folder, a link, dangling or
// not), or, with archiving on, at the name of the archive it would be packed into.
bool DestinationTaken(BookFiles& files, const QString& destination, bool archiving) {
  return files.EntryExists(destination) ||
         (archiving && files.EntryExists(destination + QStringLiteral(".zip")));
}

// Marks the outcome's target as the archive it is, with the name and CRC of its one entry.
void NotePacked(BookOutcome& outcome) {
  outcome.packed = true;
  const posix_file::FileDescriptor archive(
      ::open(NativeName(outcome.target).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat status {};
  SingleEntryInfo entry;
  if (archive.Valid() && ::fstat(archive.Get(), &status) == 0 &&
      ReadSingleEntryInfo(archive.Get(), static_cast<uint64_t>(status.st_size), &entry)) {
    outcome.archiveEntry = QByteArray(entry.name.data(), static_cast<qsizetype>(entry.name.size()));
    outcome.archiveCrc = entry.crc;
  }
}

// Handles a book that is valid, or that lenient mode lets through with the schema's complaint.
void HandleValidBook(RunHost& host, const QString& item, const QString& fileName, const QString& badFolder,
                     const QString& complaint, const TXSDValidator& validator, const GenreList& genres,
                     BookFiles& files, ArchiveStep* archive, BookOutcome& outcome) {
  TBookInfo info;
  if (TypeWork(host) > 0) {
    const bool fullGenres = host.Checked(CheckOption::FullGenres);
    try {
      // The validator has just parsed the book: reading its tree spares a second parse per book.
      const _xmlDoc* tree = LoadedBookTree(validator);
      info = tree ? ReadBookInfo(*tree, fullGenres, &genres) : ReadBookInfo(item, fullGenres, &genres);
    } catch (const FictionBookError& error) {
      // Metadata that cannot be read ends a strict run; lenient mode sets just this book aside,
      // since it lets through books whose text elements the schema would have refused.
      if (host.Checked(CheckOption::Valid)) throw;
      EnsureWorkFolder(host, files, badFolder);
      MoveBook(host, files, item, badFolder + fileName, BookStatus::Invalid, outcome);
      if (outcome.status == BookStatus::Invalid) outcome.reason = error.Message();
      return;
    }
  }
  outcome.reason = complaint;

  QString newName;
  QString sortFolder;
  QString processedFolder;
  if (TypeWork(host) > 0) {
    const QString namePattern = host.Text(TextOption::NewNamePattern);
    const bool translit = host.Checked(CheckOption::Translit);
    const bool useLast = host.Checked(CheckOption::SortLast);
    const bool useFirst = host.Checked(CheckOption::SortFirst);
    const bool useMiddle = host.Checked(CheckOption::SortMiddle);
    const QString sortPattern = host.Text(TextOption::SortPattern);
    const QString endDir = host.Text(TextOption::EndDir);
    const bool translitDir = host.Checked(CheckOption::TranslitDir);
    newName = ToNativePath(MakeFileName(info, namePattern, translit));
    sortFolder =
        ToNativePath(MakeSortFolder(info, sortPattern, endDir, useLast, useFirst, useMiddle, translitDir));
    // The processed folder as the sort folder path begins with it (transliterated when asked).
    processedFolder =
        ToNativePath(MakeSortFolder(TBookInfo(), QString(), endDir, false, false, false, translitDir));
  }

  // A packed book is named after the book inside: "a.fb2.zip" holds "a.fb2".
  const bool zipped = IsZippedBookName(fileName);
  const QString bookName = zipped ? UnzippedBookName(fileName) : fileName;
  QString folder;
  bool renamed = false;
  int folderError = 0;
  const int type = TypeWork(host);
  switch (type) {
    case 1:
      folder = ToNativePath(host.Text(TextOption::EndDir));
      EnsureWorkFolder(host, files, folder);
      renamed = true;
      break;
    case 10:
    case 11:
      // An empty processed folder leaves the sort folder relative to the books' folder.
      if (!processedFolder.isEmpty()) EnsureWorkFolder(host, files, processedFolder);
      // A sort folder that cannot be made (a file holds its name, say) keeps this book only.
      folder = sortFolder;
      folderError = MakeFolders(host, files, folder);
      renamed = type == 11;
      break;
    default:
      folder = ToNativePath(host.Text(TextOption::EndDir));
      EnsureWorkFolder(host, files, folder);
      break;
  }

  const bool archiving = archive != nullptr && host.Checked(CheckOption::Archive);
  // A new name leaves room for ".zip", or the archive's name would not fit where the book's does.
  const QString destination =
      IncludeTrailingDelimiter(folder) + (renamed ? FitFileName(newName, archiving ? 4 : 0) : bookName);
  // A book that already is its destination has nowhere to go, and is no repeat of itself.
  if (files.SameFile(item, destination)) {
    outcome.status = BookStatus::Kept;
    outcome.target = destination;
    outcome.reason = QStringLiteral("Already at its destination");
    return;
  }
  FileStamp moved;
  if (DestinationTaken(files, destination, archiving)) {
    const QString repeatFolder = AsFolder(host.Text(TextOption::DoubleDir));
    EnsureWorkFolder(host, files, repeatFolder);
    const QString repeatTarget = repeatFolder + fileName;
    MoveBook(host, files, item, repeatTarget, BookStatus::Repeat, outcome);
  } else if (folderError != 0) {
    // The folder's own failure explains the book staying, not the "no such folder" a move would
    // give.
    outcome.target = destination;
    outcome.status = files.EntryExists(item) ? BookStatus::Kept : BookStatus::Missing;
    outcome.reason = MoveFailureText(outcome.status == BookStatus::Kept ? folderError : kSourceMissing);
  } else if (zipped) {
    // Archiving on: the compressed bytes go as they are into an archive of our own; off: the book
    // comes out of its archive. Either way the archive goes only once the book is in place.
    QString reason;
    const bool placed = archiving ? archive->Repack(item, destination, &reason)
                                  : files.UnpackBook(item, destination, &reason);
    outcome.target = archiving ? destination + QStringLiteral(".zip") : destination;
    if (placed) {
      outcome.status = BookStatus::Moved;
    } else {
      outcome.status = files.EntryExists(item) ? BookStatus::Kept : BookStatus::Missing;
      outcome.reason = reason;
    }
    return;
  } else {
    MoveBook(host, files, item, destination, BookStatus::Moved, outcome, &moved);
  }

  // Only the very book this step has just moved is packed: after a repeat, a failed move or a
  // vanished source, whatever is at the destination belongs to someone else.
  if (archiving && outcome.status == BookStatus::Moved && moved.known) {
    const PackOutcome pack = archive->Pack(destination, moved);
    if (pack.packed) {
      outcome.target = destination + QStringLiteral(".zip");
      NotePacked(outcome);
    } else if (!pack.reason.isEmpty())
      outcome.reason =
          outcome.reason.isEmpty() ? pack.reason : outcome.reason + QStringLiteral("; ") + pack.reason;
  }
}

}  // namespace

int TypeWork(RunHost& host) {
  return (host.Checked(CheckOption::Rename) ? 1 : 0) + (host.Checked(CheckOption::Sort) ? 10 : 0);
}

void Booker(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
            BookFiles& files, ArchiveStep* archive, BookCheck check) {
  const OpenGenreList genres(appPath + QStringLiteral("fls/genres.list"));
  host.SetProgressMax(static_cast<int>(items.size()));
  const BookCheck checkBook = check ? check : CheckListedBook;
  LookAhead lookAhead(items, validator, appPath, checkBook);
  for (qsizetype i = 0; i < items.size(); ++i) {
    host.PumpMessages();
    if (host.CancelRequested()) break;

    const QString& item = items.at(i);
    const QString fileName = ExtractFileName(item);
    host.SetStatus(fileName);
    host.SetProgress(static_cast<int>(i + 1));

    BookOutcome outcome;
    outcome.source = item;
    // A folder typed without its delimiter is still that folder: the book goes into it, never
    // beside it under a joined name.
    const QString badFolder = AsFolder(host.Text(TextOption::BadDir));
    const JudgedBook judged = lookAhead.Judge(i);
    TXSDValidator& bookValidator = *judged.validator;
    int verdict = judged.verdict;
    outcome.digest = judged.digest;
    QString complaint;
    // Lenient mode: a book that a reader can open is sorted although the schema refuses it, and
    // the schema's complaint goes with it.
    if (verdict == 2 && !host.Checked(CheckOption::Valid) && LoadedBookIsFictionBook(bookValidator)) {
      complaint = bookValidator.GetErrorText();
      verdict = 0;
    }
    if (verdict == kSourceFailed) {
      // A .fb2.zip that is not a book: nothing of it is touched.
      outcome.status = BookStatus::Kept;
      outcome.reason = bookValidator.GetErrorText();
    } else if (verdict != 0) {
      const QString reason = bookValidator.GetErrorText();
      EnsureWorkFolder(host, files, badFolder);
      MoveBook(host, files, item, badFolder + fileName, BookStatus::Invalid, outcome);
      if (outcome.status == BookStatus::Invalid) outcome.reason = reason;
    } else {
      try {
        HandleValidBook(host, item, fileName, badFolder, complaint, bookValidator, genres.List(), files,
                        archive, outcome);
      } catch (...) {
        // An error after the move (the archive step's) ends the run, but the book has gone
        // somewhere already: say where, so that no one counts it as untouched.
        if (!outcome.target.isEmpty()) host.BookDone(outcome);
        throw;
      }
    }
    host.BookDone(outcome);
  }
}

bool StartRun(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
              BookFiles& files, ArchiveStep* archive, QString* schemaError) {
  host.SetProgress(0);
  const bool loaded = validator.LoadSchema(appPath + QStringLiteral("fls/FictionBook.xsd"));
  if (loaded) {
    Booker(host, items, validator, appPath, files, archive);
  } else if (schemaError) {
    *schemaError = validator.GetErrorText();
  }
  host.SetProgress(0);
  host.SetStatus(QString::fromUtf16(kIdleStatus));
  return loaded;
}
