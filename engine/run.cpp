#include "engine/run.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

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

// What tells whether the file at a path is still the one a verdict was given on.
struct FileIdentity {
  bool known = false;  // false when the path could not be examined
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
};

FileIdentity IdentityOf(const QString& path) {
  FileIdentity identity;
  struct stat status {};
  if (::stat(NativeName(path).constData(), &status) != 0) return identity;
  identity.known = true;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = status.st_size;
  identity.modified = status.st_mtim;
  return identity;
}

bool SameFile(const FileIdentity& before, const FileIdentity& now) {
  return before.known && now.known && before.device == now.device && before.inode == now.inode &&
         before.size == now.size && before.modified.tv_sec == now.modified.tv_sec &&
         before.modified.tv_nsec == now.modified.tv_nsec;
}

// A spare validator for the look-ahead, sharing the run's compiled schema (or over the schema in
// appPath when the run's validator has none); null when it cannot be had, and then fewer books
// are validated ahead.
std::unique_ptr<TXSDValidator> SpareValidator(const TXSDValidator& validator, const QString& appPath) {
  try {
    auto spare = std::make_unique<TXSDValidator>();
    if (spare->ShareSchema(validator) || spare->LoadSchema(appPath + QStringLiteral("fls/FictionBook.xsd")))
      return spare;
  } catch (const std::exception&) {
  }
  return nullptr;
}

// One validator and the book it holds: its verdict, and its tree for the metadata until the book
// has been handled. The slot's worker, a thread that lives as long as the slot, validates the books
// handed to it while the caller's thread does other work; the destructor waits for the book in hand
// and ends the worker, so that neither an error nor a cancel leaves a thread running. The worker
// reads no option and touches no file.
class BookSlot {
 public:
  BookSlot(BookCheck check, TXSDValidator& validator) : check_(check), validator_(validator) {}
  ~BookSlot() {
    Join();
    if (!worker_.joinable()) return;
    Publish(kStop);
    worker_.join();
  }
  BookSlot(const BookSlot&) = delete;
  BookSlot& operator=(const BookSlot&) = delete;

  TXSDValidator& Validator() { return validator_; }
  // The list index of the book held; -1 for none.
  qsizetype Index() const { return index_; }

  // Validates the list item at index on the slot's worker, or right here when no thread can be
  // started. A book is handed over by one atomic exchange: no lock is taken, and the worker is
  // woken (one system call) only when it sleeps.
  // identity is the file's as the caller has just examined it.
  void Start(qsizetype index, const QString& path, const FileIdentity& identity) {
    Assign(index, path);
    bytes_ = identity.size;
    given_ = identity;
    if (!worker_.joinable()) {
      try {
        worker_ = std::thread(&BookSlot::Serve, this);
      } catch (const std::system_error&) {
        Work();
        return;
      }
    }
    Publish(kQueued);
  }

  // The size of the book held when it was started, for the look-ahead's budget.
  qint64 Bytes() const { return bytes_; }
  // The digest of the bytes the verdict was given on; valid after Verdict.
  const BookDigest& Digest() const { return digest_; }

  // Validates the list item at index right here.
  void Validate(qsizetype index, const QString& path) {
    Assign(index, path);
    Work();
  }

  // The verdict at the book's turn, as XMLValid gives it, or the error its validation ended with,
  // rethrown here. A file at path that is no longer the one read (gone, replaced, rewritten) is
  // validated again first.
  int Verdict(const QString& path) {
    Join();
    if (!SameFile(identity_, IdentityOf(path))) Work();
    if (error_) std::rethrow_exception(error_);
    return result_;
  }

 private:
  static constexpr int kIdle = 0;          // no book, or its verdict is made
  static constexpr int kQueued = 1;        // a book is handed to the worker
  static constexpr int kStop = 2;          // the worker is to end
  static constexpr int kSleeping = 0x100;  // added while a thread sleeps until the state changes

  void Assign(qsizetype index, const QString& path) {
    Join();
    index_ = index;
    path_ = path;
    given_ = FileIdentity();
  }

  void Work() noexcept {
    identity_ = FileIdentity();
    result_ = -1;
    error_ = nullptr;
    digest_ = BookDigest();
    try {
      identity_ = given_.known ? given_ : IdentityOf(path_);
      given_ = FileIdentity();
      result_ = check_(validator_, path_);
      // XMLValid digests the bytes it reads; another check reads the book once more for it.
      digest_ = check_ == XMLValid ? validator_.LastBookDigest() : DigestOfFile(path_);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  // The worker. The state is the only word the two threads share: writing it publishes the book
  // to the worker and the verdict back (release and acquire).
  void Serve() {
    for (;;) {
      AwaitChange(kIdle);
      if ((state_.load(std::memory_order_acquire) & ~kSleeping) == kStop) return;
      Work();
      Publish(kIdle);
    }
  }

  // Waits until the book handed to the worker, if any, has its verdict.
  void Join() { AwaitChange(kQueued); }

  // Sets the state, and wakes the other thread only when it sleeps on it.
  void Publish(int state) {
    if (state_.exchange(state, std::memory_order_acq_rel) & kSleeping) Futex(FUTEX_WAKE_PRIVATE, 0);
  }

  // Returns once the state is other than from; sleeps in the kernel only when it has to, after
  // marking the state so that the other thread knows to wake it.
  void AwaitChange(int from) {
    for (;;) {
      int state = state_.load(std::memory_order_acquire);
      if ((state & ~kSleeping) != from) return;
      if ((state & kSleeping) == 0 &&
          !state_.compare_exchange_weak(state, state | kSleeping, std::memory_order_acq_rel))
        continue;
      Futex(FUTEX_WAIT_PRIVATE, from | kSleeping);
    }
  }

  void Futex(int operation, int value) {
    static_assert(sizeof(std::atomic<int>) == sizeof(int));
    ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), operation,
              operation == FUTEX_WAKE_PRIVATE ? 1 : value, nullptr, nullptr, 0);
  }

  BookCheck check_;
  TXSDValidator& validator_;
  std::atomic<int> state_{kIdle};
  qsizetype index_ = -1;
  QString path_;
  qint64 bytes_ = 0;
  FileIdentity given_;  // examined by the caller as the book was handed over
  FileIdentity identity_;
  BookDigest digest_;
  int result_ = -1;
  std::exception_ptr error_;
  std::thread worker_;  // started with the first book handed over
};

}  // namespace

qsizetype LookAheadBooks() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return cores == 1 ? 1 : std::min<qsizetype>(7, static_cast<qsizetype>(cores) * 3);
}

int TypeWork(RunHost& host) {
  return (host.Checked(CheckOption::Rename) ? 1 : 0) + (host.Checked(CheckOption::Sort) ? 10 : 0);
}

void Booker(RunHost& host, const QStringList& items, TXSDValidator& validator, const QString& appPath,
            BookFiles& files, ArchiveStep* archive, BookCheck check) {
  const OpenGenreList genres(appPath + QStringLiteral("fls/genres.list"));
  host.SetProgressMax(static_cast<int>(items.size()));
  const qsizetype count = items.size();
  // Parsing and validation are most of a run, so books are validated ahead, each slot on a thread
  // of its own with a validator of its own, while this thread waits for the current book and
  // handles it. Only verdicts are made ahead: no option is read and nothing is moved, so a cancel
  // or an error leaves everything as a run without look-ahead would, and the books read ahead are
  // simply not handled. Without spare validators every book is validated at its turn.
  InitXmlLibrary();
  const BookCheck checkBook = check ? check : CheckListedBook;
  std::vector<std::unique_ptr<TXSDValidator>> spares;
  for (qsizetype k = 0; k < std::min<qsizetype>(count - 1, LookAheadBooks()); ++k) {
    std::unique_ptr<TXSDValidator> spare = SpareValidator(validator, appPath);
    if (!spare) break;
    spares.push_back(std::move(spare));
  }
  // Declared after the validators they use, so that every thread is joined before those go.
  std::vector<std::unique_ptr<BookSlot>> bookSlots;
  bookSlots.push_back(std::make_unique<BookSlot>(checkBook, validator));
  for (const auto& spare : spares) bookSlots.push_back(std::make_unique<BookSlot>(checkBook, *spare));
  const qsizetype slotCount = static_cast<qsizetype>(bookSlots.size());
  for (qsizetype i = 0; i < count; ++i) {
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
    // Book j is held by slot j % slotCount: the books up to i + slotCount - 1 can be in hand.
    BookSlot* own = bookSlots[static_cast<size_t>(i % slotCount)].get();
    if (slotCount == 1) {
      own->Validate(i, item);
    } else {
      if (own->Index() != i) own->Start(i, item, IdentityOf(item));
      // A book is read ahead only while the books in hand stay small enough together, so that
      // large books are not in memory at once however they fall in the list.
      qint64 bytesInHand = own->Bytes();
      for (qsizetype j = i + 1; j < std::min(count, i + slotCount); ++j) {
        BookSlot& ahead = *bookSlots[static_cast<size_t>(j % slotCount)];
        if (ahead.Index() != j) {
          const FileIdentity identity = IdentityOf(items.at(j));
          if (bytesInHand + identity.size > kLookAheadBytes) break;
          ahead.Start(j, items.at(j), identity);
        }
        bytesInHand += ahead.Bytes();
      }
    }
    TXSDValidator& bookValidator = own->Validator();
    int verdict = own->Verdict(item);
    outcome.digest = own->Digest();
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
