#include "engine/run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <algorithm>
#include <cerrno>

#include "archive/zip_reader.h"
#include "archive/zipped_book.h"
#include "base/error.h"
#include "base/native_name.h"
#include "base/posix_file.h"
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
  // Made level by level, a path the system cannot take would leave every level up to its limit.
  if (!PathLengthProblem(folder).isEmpty()) return ENAMETOOLONG;
  if (const QStringList missing = MissingFolders(folder); !missing.isEmpty()) host.CreatingFolders(missing);
  return files.ForceDirectories(folder);
}

// The three work folders are created when missing. One that cannot be is a setting to mend, not a
// fault of one book: the run ends there, naming it, rather than keep every book that follows.
void EnsureWorkFolder(RunHost& host, BookFiles& files, const QString& folder) {
  if (const int error = MakeFolders(host, files, folder)) {
    const QString problem = PathLengthProblem(folder);
    throw ShelvioError(ShelvioError::Kind::Engine,
                       QStringLiteral("Unable to create directory \"%1\": %2")
                           .arg(DisplayName(folder), problem.isEmpty() ? MoveFailureText(error) : problem));
  }
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

// Why a book went to the folder for repeated files: the file that holds its name, so that the user
// can compare the two. Whatever else the line said (lenient mode's complaint) follows.
void NoteTaken(const QString& holder, BookOutcome& outcome) {
  const QString taken = QStringLiteral("The name is taken by %1").arg(DisplayName(holder));
  outcome.reason = outcome.reason.isEmpty() ? taken : taken + QStringLiteral("; ") + outcome.reason;
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

// One book at its turn: what the run needs of it, taken once.
struct BookWork {
  QString item;      // the list item, as the run uses it
  QString fileName;  // its file name, which the invalid-files and repeat folders keep
  // The book's own name: a packed book is named after the book inside ("a.fb2.zip" holds "a.fb2").
  QString bookName;
  bool zipped = false;  // a .fb2.zip
  // A folder typed without its delimiter is still that folder: the book goes into it, never beside
  // it under a joined name.
  QString badFolder;
  BookVerdict verdict = BookVerdict::NotLoadable;
  const TXSDValidator* validator = nullptr;  // holds the book the verdict was given on
  BookDigest digest;                         // of the bytes the verdict was given on
  FileStamp identity;                        // of the file the verdict was given on
  QString complaint;                         // the schema's, for a book that lenient mode lets through
};

// Where a valid book is to go, from its work type and templates.
struct Placement {
  QString destination;
  int folderError = 0;  // the errno of a sort folder that could not be made
  QString pathProblem;  // why the system cannot take the destination at all
  bool archiving = false;
};

// Handles each book by its verdict, over the run's disk, archive step and genre list.
class BookHandler {
 public:
  BookHandler(RunHost& host, BookFiles& files, ArchiveStep* archive, const GenreList& genres)
      : host_(host), files_(files), archive_(archive), genres_(genres) {}

  BookOutcome Handle(const BookWork& book) {
    BookOutcome outcome;
    outcome.source = book.item;
    outcome.digest = book.digest;
    switch (book.verdict) {
      case BookVerdict::Valid:
        try {
          HandleValid(book, outcome);
        } catch (...) {
          // An error after the move (the archive step's) ends the run, but the book has gone
          // somewhere already: say where, so that no one counts it as untouched.
          if (!outcome.target.isEmpty()) host_.BookDone(outcome);
          throw;
        }
        break;
      case BookVerdict::SourceFailed:
        // A .fb2.zip that is not a book: nothing of it is touched. One that is no longer there
        // (another run took it) is missing, as a plain book is.
        if (files_.EntryExists(book.item)) {
          outcome.status = BookStatus::Kept;
          outcome.reason = book.validator->GetErrorText();
        } else {
          outcome.status = BookStatus::Missing;
          outcome.reason = MoveFailureText(kSourceMissing);
        }
        break;
      case BookVerdict::NotJudged:
        // A book that memory did not suffice to judge: nothing of it is touched.
        outcome.status = BookStatus::Kept;
        outcome.reason = book.validator->GetErrorText();
        break;
      case BookVerdict::NotLoadable:
      case BookVerdict::NotConforming:
        SetAside(book, book.validator->GetErrorText(), outcome);
        break;
    }
    return outcome;
  }

 private:
  // Moves the book to the invalid-files folder for reason.
  void SetAside(const BookWork& book, const QString& reason, BookOutcome& outcome) {
    EnsureWorkFolder(host_, files_, book.badFolder);
    MoveBook(host_, files_, book.item, book.badFolder + book.fileName, BookStatus::Invalid, outcome);
    if (outcome.status == BookStatus::Invalid) outcome.reason = reason;
  }

  // Handles a book that is valid, or that lenient mode lets through with the schema's complaint.
  void HandleValid(const BookWork& book, BookOutcome& outcome) {
    // No input is handled within one book, so the work type read once holds for all of it.
    const int type = TypeWork(host_);
    TBookInfo info;
    if (type > 0 && !ReadInfo(book, info, outcome)) return;
    outcome.reason = book.complaint;
    const Placement placement = Place(book, type, info);
    // A book that already is its destination has nowhere to go, and is no repeat of itself. A
    // packed book with archiving on is its destination's archive: a run over its own output.
    const QString own = book.zipped && placement.archiving ? placement.destination + QStringLiteral(".zip")
                                                           : placement.destination;
    if (files_.SameFile(book.item, own)) {
      outcome.status = BookStatus::Kept;
      outcome.target = own;
      outcome.reason = QStringLiteral("Already at its destination");
      return;
    }
    Deliver(book, placement, outcome);
  }

  // Reads the book's metadata; false when it could not be read, and then the book stays where it
  // is with the reason. One book's metadata is never a reason to leave every later book unhandled,
  // and a book the schema accepts is no invalid book.
  bool ReadInfo(const BookWork& book, TBookInfo& info, BookOutcome& outcome) {
    const bool fullGenres = host_.Checked(CheckOption::FullGenres);
    try {
      // The validator has just parsed the book: reading its tree spares a second parse per book.
      const _xmlDoc* tree = LoadedBookTree(*book.validator);
      info = tree ? ReadBookInfo(*tree, fullGenres, &genres_) : ReadBookInfo(book.item, fullGenres, &genres_);
      return true;
    } catch (const ShelvioError& error) {
      // Only a book's own metadata keeps it; a failure of anything else is the run's.
      if (error.GetKind() != ShelvioError::Kind::Metadata) throw;
      outcome.status = BookStatus::Kept;
      outcome.reason = QStringLiteral("Its metadata cannot be read: %1").arg(error.Message());
      return false;
    }
  }

  // The destination by the work type, with its folder made.
  Placement Place(const BookWork& book, int type, const TBookInfo& info) {
    QString newName;
    QString sortFolder;
    QString processedFolder;
    if (type > 0) {
      const QString namePattern = host_.Text(TextOption::NewNamePattern);
      const bool translit = host_.Checked(CheckOption::Translit);
      const bool useLast = host_.Checked(CheckOption::SortLast);
      const bool useFirst = host_.Checked(CheckOption::SortFirst);
      const bool useMiddle = host_.Checked(CheckOption::SortMiddle);
      const QString sortPattern = host_.Text(TextOption::SortPattern);
      const QString endDir = host_.Text(TextOption::EndDir);
      const bool translitDir = host_.Checked(CheckOption::TranslitDir);
      newName = ToNativePath(MakeFileName(info, namePattern, translit, book.bookName));
      sortFolder =
          ToNativePath(MakeSortFolder(info, sortPattern, endDir, useLast, useFirst, useMiddle, translitDir));
      // The processed folder as the sort folder path begins with it (transliterated when asked).
      processedFolder =
          ToNativePath(MakeSortFolder(TBookInfo(), QString(), endDir, false, false, false, translitDir));
    }

    Placement placement;
    QString folder;
    bool renamed = false;
    if (type == 10 || type == 11) {
      // An empty processed folder leaves the sort folder relative to the books' folder.
      if (!processedFolder.isEmpty()) EnsureWorkFolder(host_, files_, processedFolder);
      folder = sortFolder;
      renamed = type == 11;
    } else {
      folder = ToNativePath(host_.Text(TextOption::EndDir));
      EnsureWorkFolder(host_, files_, folder);
      renamed = type == 1;
    }
    placement.archiving = archive_ != nullptr && host_.Checked(CheckOption::Archive);
    // A new name leaves room for ".zip", or the archive's name would not fit where the book's does.
    placement.destination = IncludeTrailingDelimiter(folder) +
                            (renamed ? FitFileName(newName, placement.archiving ? 4 : 0) : book.bookName);
    // The whole path is judged before the sort folder is made: a book's metadata can make it
    // thousands of levels deep. A sort folder that cannot be made (a file holds its name, say)
    // keeps this book only.
    placement.pathProblem = PathLengthProblem(placement.destination);
    if ((type == 10 || type == 11) && placement.pathProblem.isEmpty())
      placement.folderError = MakeFolders(host_, files_, folder);
    // A file-name template with folders of its own ("%tit\%last") names folders below that one:
    // they are made as the sort folder is, on record, so that an undo removes them again.
    if (renamed && placement.pathProblem.isEmpty() && placement.folderError == 0 && newName.contains(u'/'))
      placement.folderError =
          MakeFolders(host_, files_, placement.destination.left(placement.destination.lastIndexOf(u'/')));
    return placement;
  }

  // Moves the book to its destination (packed when archiving), or to the folder for repeated
  // files when the destination is taken.
  void Deliver(const BookWork& book, const Placement& placement, BookOutcome& outcome) {
    const QString& destination = placement.destination;
    if (DestinationTaken(files_, destination, placement.archiving)) {
      const QString repeatFolder = AsFolder(host_.Text(TextOption::DoubleDir));
      EnsureWorkFolder(host_, files_, repeatFolder);
      MoveBook(host_, files_, book.item, repeatFolder + book.fileName, BookStatus::Repeat, outcome);
      if (outcome.status == BookStatus::Repeat)
        NoteTaken(files_.EntryExists(destination) ? destination : destination + QStringLiteral(".zip"),
                  outcome);
    } else if (!placement.pathProblem.isEmpty()) {
      outcome.target = destination;
      outcome.status = BookStatus::Kept;
      outcome.reason = placement.pathProblem;
    } else if (placement.folderError != 0) {
      // The folder's own failure explains the book staying, not the "no such folder" a move would
      // give.
      outcome.target = destination;
      outcome.status = files_.EntryExists(book.item) ? BookStatus::Kept : BookStatus::Missing;
      outcome.reason =
          MoveFailureText(outcome.status == BookStatus::Kept ? placement.folderError : kSourceMissing);
    } else if (book.zipped) {
      PlacePacked(book, placement, outcome);
    } else {
      FileStamp moved;
      MoveBook(host_, files_, book.item, destination, BookStatus::Moved, outcome, &moved);
      // Only the very book this step has just moved is packed: after a repeat, a failed move or a
      // vanished source, whatever is at the destination belongs to someone else.
      if (placement.archiving && outcome.status == BookStatus::Moved && moved.known)
        Pack(book, destination, moved, outcome);
    }
  }

  // A .fb2.zip with archiving on: the compressed bytes go as they are into an archive of our own;
  // off: the book comes out of its archive. Either way the archive goes only once the book is in
  // place.
  void PlacePacked(const BookWork& book, const Placement& placement, BookOutcome& outcome) {
    const QString& destination = placement.destination;
    outcome.target = placement.archiving ? destination + QStringLiteral(".zip") : destination;
    // On record before the book is published: a run killed between that and the end of the step
    // leaves a line from which an undo can still give the archive back.
    const ArrivalObserver arrived = [&](const ArrivedArchive& arrival) {
      outcome.arrived = arrival;
      outcome.packed = placement.archiving;
      host_.BookMoving(outcome);
    };
    QString reason;
    const bool placed = placement.archiving
                            ? archive_->Repack(book.item, destination, book.identity, &reason, arrived)
                            : files_.UnpackBook(book.item, destination, book.identity, &reason, arrived);
    if (placed) {
      outcome.status = BookStatus::Moved;
      if (placement.archiving) NotePacked(outcome);
      // A source archive that changed meanwhile stays beside the book: the line says so.
      if (!reason.isEmpty())
        outcome.reason = outcome.reason.isEmpty() ? reason : outcome.reason + QStringLiteral("; ") + reason;
    } else {
      outcome.status = files_.EntryExists(book.item) ? BookStatus::Kept : BookStatus::Missing;
      outcome.reason = reason;
      outcome.packed = false;
      outcome.arrived = ArrivedArchive();
    }
  }

  void Pack(const BookWork& book, const QString& destination, const FileStamp& moved, BookOutcome& outcome) {
    const PackOutcome pack = archive_->Pack(destination, moved);
    if (pack.nameTaken) {
      ToRepeatsAfterAll(book, destination, moved, pack.reason, outcome);
    } else if (pack.packed) {
      outcome.target = destination + QStringLiteral(".zip");
      NotePacked(outcome);
    } else if (!pack.reason.isEmpty()) {
      outcome.reason =
          outcome.reason.isEmpty() ? pack.reason : outcome.reason + QStringLiteral("; ") + pack.reason;
    }
  }

  // The archive's name was taken while the book at destination was packed: the destination is
  // taken, and the book, which this run has just moved there, goes on to the repeat folder as if
  // that had been seen before the move. Should that fail, it stays unpacked at destination, why.
  void ToRepeatsAfterAll(const BookWork& book, const QString& destination, const FileStamp& moved,
                         const QString& why, BookOutcome& outcome) {
    const QString repeatFolder = AsFolder(host_.Text(TextOption::DoubleDir));
    BookOutcome repeat = outcome;
    if (MakeFolders(host_, files_, repeatFolder) == 0 &&
        StampOfEntry(NativeName(destination)).SameFile(moved)) {
      MoveBook(host_, files_, destination, repeatFolder + book.fileName, BookStatus::Repeat, repeat);
      if (repeat.status == BookStatus::Repeat) {
        outcome = repeat;
        NoteTaken(destination + QStringLiteral(".zip"), outcome);
        return;
      }
      // The book stays at its destination, where the record of the run must find it.
      host_.BookMoving(outcome);
    }
    outcome.reason = outcome.reason.isEmpty() ? why : outcome.reason + QStringLiteral("; ") + why;
  }

  RunHost& host_;
  BookFiles& files_;
  ArchiveStep* archive_;
  const GenreList& genres_;
};

// The book at index i at its turn: shown to the user, and the invalid-files folder read.
BookWork TakeTurn(RunHost& host, const QStringList& items, qsizetype i) {
  BookWork book;
  book.item = items.at(i);
  book.fileName = ExtractFileName(book.item);
  book.zipped = IsZippedBookName(book.fileName);
  book.bookName = book.zipped ? UnzippedBookName(book.fileName) : book.fileName;
  host.SetStatus(book.fileName);
  host.SetProgress(static_cast<int>(i + 1));
  book.badFolder = AsFolder(host.Text(TextOption::BadDir));
  return book;
}

// Lenient mode: a book that a reader can open is sorted although the schema refuses it, and the
// schema's complaint goes with it.
void Settle(RunHost& host, BookWork& book, const JudgedBook& judged) {
  book.verdict = judged.verdict;
  book.validator = judged.validator;
  book.digest = judged.digest;
  book.identity = judged.identity;
  if (book.verdict == BookVerdict::NotConforming && !host.Checked(CheckOption::Valid) &&
      LoadedBookIsFictionBook(*judged.validator)) {
    book.complaint = judged.validator->GetErrorText();
    book.verdict = BookVerdict::Valid;
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
  // A strict run sets aside every book the schema complains of, so the first complaint is enough.
  LookAhead lookAhead(items, validator, appPath, check ? check : CheckListedBook,
                      host.Checked(CheckOption::Valid));
  BookHandler handler(host, files, archive, genres.List());
  for (qsizetype i = 0; i < items.size(); ++i) {
    host.PumpMessages();
    if (host.CancelRequested()) break;
    BookWork book = TakeTurn(host, items, i);
    JudgedBook judged = lookAhead.Judge(i);
    // Lenient mode since the run began (the settings file edited meanwhile): the book may yet be
    // let through, which needs all of it judged.
    if (judged.stoppedEarly && !host.Checked(CheckOption::Valid)) judged = lookAhead.JudgeWhole(i);
    Settle(host, book, judged);
    host.BookDone(handler.Handle(book));
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
