#include "engine/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

#include "archive/zip_format.h"
#include "archive/zip_reader.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/file_ops.h"
#include "engine/journal.h"
#include "engine/settings.h"
#include "engine/templates.h"
#include "engine/undo_archive.h"

namespace {

using posix_file::FileDescriptor;

QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The run's moves take QStrings; a recorded name that does not survive the trip is not touched.
bool AsPath(const QByteArray& bytes, QString* path) {
  *path = NameFromNative(bytes);
  return !bytes.isEmpty() && NativeName(*path) == bytes;
}

// A folder by its identity on disk.
struct FolderId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FolderId&) const = default;
};

FolderId IdOf(const struct stat& info) { return {info.st_dev, info.st_ino}; }

// The folder part of path; false with errno EINVAL when the path is not absolute or its last name
// is no name.
bool FolderOf(const QByteArray& path, QByteArray* folder) {
  const qsizetype slash = path.lastIndexOf('/');
  const QByteArray name = path.mid(slash + 1);
  if (!path.startsWith('/') || name.isEmpty() || name == "." || name == "..") {
    errno = EINVAL;
    return false;
  }
  *folder = slash == 0 ? QByteArray("/") : path.left(slash);
  return true;
}

int OpenFolder(const QByteArray& path) { return ::open(path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC); }

// The folder open at fd and every folder above it up to the root, as the system walks them by "..":
// unlike a resolved path's text, this knows no length limit (realpath fails past PATH_MAX on
// folders the system reaches through links).
QList<FolderId> Chain(int fd) {
  QList<FolderId> chain;
  FileDescriptor current(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  struct stat info {};
  for (int level = 0; current.Valid() && level < 8192 && ::fstat(current.Get(), &info) == 0; ++level) {
    const FolderId id = IdOf(info);
    if (!chain.isEmpty() && chain.last() == id) break;  // the root is its own ".."
    chain << id;
    current.Reset(::openat(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return chain;
}

// The folders a run took books from and put them into, as the file system reaches them now. A
// record is a file anyone can edit, and another program's or a damaged one says anything: what it
// names outside these folders (by its path, a "..", or a link on the way) is not the run's to move
// or remove.
class RunFolders {
 public:
  enum class Place { Inside, Outside, Unreachable };

  explicit RunFolders(const RunRecord& record) {
    if (!record.folder.startsWith('/')) return;
    if (const FileDescriptor books(OpenFolder(record.folder)); books.Valid())
      books_ = Chain(books.Get()).mid(0, 1);
    // A work folder typed relative counts from the folder of the run, where the run works.
    const auto add = [&](const QString& text) {
      QByteArray path = NativeName(ToNativePath(text));
      if (!path.startsWith('/')) path = record.folder + '/' + path;
      const FileDescriptor folder(OpenFolder(path));
      if (!folder.Valid()) return;
      const QList<FolderId> chain = Chain(folder.Get());
      if (chain.isEmpty()) return;
      work_ << chain.first();
      onTheWay_ << chain;
    };
    // A folder changed during the run took books from that book on: each it had counts. One the
    // record does not name is empty, which is the folder of the run.
    const auto values = [&](const Setting& row) {
      const QStringList recorded = record.OptionValues(row);
      return recorded.isEmpty() ? QStringList{QString()} : recorded;
    };
    const QStringList endFolders = values(SettingNamed("EndDir"));
    for (const QString& folder : values(SettingNamed("BadFileDir"))) add(folder);
    for (const QString& folder : values(SettingNamed("DoubleDir"))) add(folder);
    for (const QString& folder : endFolders) add(folder);
    // Sorted books go below the transliterated form of the processed folder.
    if (record.OptionValues(SettingNamed("TranslitDir")).contains(QLatin1String("1"))) {
      for (const QString& folder : endFolders)
        add(MakeSortFolder(TBookInfo(), QString(), folder, false, false, false, true));
    }
  }

  // Where path lies: below the folder the run took its books from.
  Place OfSource(const QByteArray& path) const { return Of(path, books_); }
  // Below one of its work folders.
  Place OfWork(const QByteArray& path) const { return Of(path, work_); }
  // A folder the run made: a work folder, one below it, or a level on the way to one (a work
  // folder is made with every missing level above it).
  Place OfMade(const QByteArray& folder) const {
    const Place place = OfWork(folder);
    struct stat info {};
    if (place != Place::Outside || ::lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
      return place;
    return onTheWay_.contains(IdOf(info)) ? Place::Inside : Place::Outside;
  }

 private:
  // Whether the folder of path, as the system reaches it (every link and ".." on the way followed;
  // its last name as it stands, which the undo's own calls never follow), is one of folders or lies
  // below one.
  static Place Of(const QByteArray& path, const QList<FolderId>& folders) {
    QByteArray folder;
    if (!FolderOf(path, &folder)) return Place::Outside;
    const FileDescriptor fd(OpenFolder(folder));
    // Only a folder that is not there, or not the user's to enter, holds nothing and takes
    // nothing; one the system cannot open for another cause is not taken to be the run's.
    if (!fd.Valid())
      return errno == ENOENT || errno == ENOTDIR || errno == EACCES ? Place::Unreachable : Place::Outside;
    const QList<FolderId> chain = Chain(fd.Get());
    return std::any_of(chain.cbegin(), chain.cend(), [&](const FolderId& id) { return folders.contains(id); })
               ? Place::Inside
               : Place::Outside;
  }

  QList<FolderId> books_;
  QList<FolderId> work_;
  QList<FolderId> onTheWay_;  // the work folders and every folder above them
};

bool Exists(const QByteArray& path) {
  struct stat info {};
  return ::lstat(path.constData(), &info) == 0;
}

// A plain file opened without following a link; -1 for anything else.
int OpenPlain(const QByteArray& path, struct stat* info) {
  FileDescriptor fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.Valid() && (::fstat(fd.Get(), info) != 0 || !S_ISREG(info->st_mode))) fd.Reset();
  return fd.Release();
}

bool RestorePlain(const RecordedBook& book, const QString& target, const QString& source,
                  UndoOutcome& outcome) {
  if (!book.digest.known) {
    outcome.reason = QStringLiteral("No checksum on record");
    return false;
  }
  struct stat info {};
  const FileDescriptor file(OpenPlain(book.target, &info));
  if (!file.Valid() || info.st_size != book.digest.size || DigestOfOpenFile(file.Get()) != book.digest) {
    outcome.reason = QStringLiteral("The file at the target is not the book the run left there");
    return false;
  }
  // The file checked must be the one moved: one put in its place since is not the run's book.
  const FileStamp checked = StampOfDescriptor(file.Get());
  if (!StampOfEntry(book.target).Unchanged(checked)) {
    outcome.reason = QStringLiteral("The file at the target is not the book the run left there");
    return false;
  }
  int error = 0;
  FileStamp moved;
  if (!MoveFileNoReplace(target, source, &error, &moved)) {
    outcome.reason = MoveFailureText(error);
    return false;
  }
  // A rename keeps the file's identity; a copy to another file system makes a new file, whose
  // source the copy itself checks.
  if (moved.known && moved.device == checked.device && !moved.SameFile(checked)) {
    // Swapped in the moment between the check and the move: that file goes back where it was.
    outcome.reason = QStringLiteral("The file at the target changed while being moved back");
    if (!MoveFileNoReplace(source, target, &error))
      outcome.reason += QStringLiteral("; it is now at the source");
    return false;
  }
  return true;
}

// Writes what goes back to source beside it under a hidden name, on record as coming from target,
// and publishes it without replacing anything. write fills the open file; false with
// outcome.reason set when it could not. False with outcome.reason when nothing was published. The
// record stays with the caller until the file at target is gone.
bool PublishAtSource(JournalledMove& record, const QByteArray& target, const QString& source,
                     UndoOutcome& outcome, const std::function<bool(int)>& write) {
  QByteArray temporaryName;
  FileDescriptor copy(
      CreateRecordedTemporary(record, MoveKind::Unpack, target, NativeName(source), 0666, &temporaryName));
  if (!copy.Valid()) {
    outcome.reason = SystemReason(errno);
    return false;
  }
  posix_file::TemporaryFile temporary(temporaryName);
  if (!write(copy.Get())) return false;
  if (::fsync(copy.Get()) != 0) {
    outcome.reason = SystemReason(errno);
    return false;
  }
  const FileStamp written = StampOfDescriptor(copy.Get());
  if (const int error = copy.Close()) {
    outcome.reason = SystemReason(error);
    return false;
  }
  int error = 0;
  if (!MoveFileNoReplace(NameFromNative(temporaryName), source, &error)) {
    outcome.reason = MoveFailureText(error);
    return false;
  }
  temporary.Keep();
  // The new name must be on disk before the run's file goes, or a crash could leave neither.
  const QByteArray published = NativeName(source);
  if (const int syncError = posix_file::SyncFolder(posix_file::ParentOf(published))) {
    if (StampOfEntry(published).SameFile(written)) ::unlink(published.constData());
    outcome.reason = SystemReason(syncError);
    return false;
  }
  return true;
}

// Removes the run's file once the book is back at its source. One that cannot go (a read-only work
// folder, say) leaves the book twice, and the line says so.
void RemoveRunsFile(const QByteArray& path, UndoOutcome& outcome) {
  if (::unlink(path.constData()) == 0) return;
  const QString removal =
      QStringLiteral("the file at the target could not be removed: %1").arg(SystemReason(errno));
  outcome.reason = outcome.reason.isEmpty() ? QStringLiteral("Given back, but ") + removal
                                            : outcome.reason + QStringLiteral("; ") + removal;
}

// The time the book had when it was packed, which its entry keeps as MS-DOS local time to two
// seconds; false when the archive's first header says nothing.
bool PackedTime(int archive, timespec* when) {
  using namespace zip_format;
  unsigned char header[kLocalHeaderSize];
  if (!posix_file::PReadFull(archive, header, kLocalHeaderSize, 0) || U32(header) != kLocalHeaderSignature)
    return false;
  const uint16_t time = U16(header + 10), date = U16(header + 12);
  struct tm local {};
  local.tm_year = (date >> 9) + 80;
  local.tm_mon = ((date >> 5) & 0xF) - 1;
  local.tm_mday = date & 0x1F;
  local.tm_hour = time >> 11;
  local.tm_min = (time >> 5) & 0x3F;
  local.tm_sec = (time & 0x1F) * 2;
  local.tm_isdst = -1;
  const time_t seconds = ::mktime(&local);
  if (seconds == static_cast<time_t>(-1)) return false;
  *when = {seconds, 0};
  return true;
}

// Whether the archive open at fd (info its status) is the one the record describes: one entry of the
// recorded name, CRC and size. A book caught on its way has no entry on record; its digest must be.
bool IsRecordedArchive(const RecordedBook& book, int fd, const struct stat& info, SingleEntryInfo* entry) {
  return ReadSingleEntryInfo(fd, static_cast<uint64_t>(info.st_size), entry) &&
         (book.archiveEntry.isEmpty() ||
          (entry->name == book.archiveEntry.toStdString() && entry->crc == book.archiveCrc)) &&
         (!book.digest.known || static_cast<qint64>(entry->size) == book.digest.size) &&
         (!book.archiveEntry.isEmpty() || book.digest.known);
}

bool RestorePacked(const RecordedBook& book, const QByteArray& archivePath, const QString& source,
                   UndoOutcome& outcome) {
  const QString changed = QStringLiteral("The archive at the target is not the one the run left there");
  struct stat info {};
  const FileDescriptor archive(OpenPlain(archivePath, &info));
  SingleEntryInfo entry;
  if (!archive.Valid() || !IsRecordedArchive(book, archive.Get(), info, &entry)) {
    outcome.reason = changed;
    return false;
  }

  // Unpacked beside the source under a hidden name, on record, then published without replacing
  // anything; the archive goes only once the book is in place.
  JournalledMove record;
  const bool published = PublishAtSource(record, archivePath, source, outcome, [&](int copy) {
    BookDigester digester;
    int writeError = 0;
    const bool unpacked = UnpackSingleEntry(archive.Get(), static_cast<uint64_t>(info.st_size), entry.size,
                                            [&](const unsigned char* data, size_t size) {
                                              digester.Add(data, size);
                                              writeError = posix_file::WriteAll(copy, data, size);
                                              return writeError == 0;
                                            });
    if (writeError != 0) {
      outcome.reason = SystemReason(writeError);
      return false;
    }
    if (!unpacked || (book.digest.known && digester.Result() != book.digest)) {
      outcome.reason = changed;
      return false;
    }
    // The book comes back with the time it had, not the moment of the undo. Failing that is no
    // reason to keep it packed.
    timespec times[2] = {{0, UTIME_OMIT}, {}};
    if (PackedTime(archive.Get(), &times[1])) (void)::futimens(copy, times);
    return true;
  });
  if (!published) return false;
  struct stat now {};
  if (::lstat(archivePath.constData(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino)
    RemoveRunsFile(archivePath, outcome);
  return true;
}

// Gives back the .fb2.zip a book arrived in, from the book the run unpacked or the archive it
// repacked the book into: rebuilt beside the source under a hidden name, on record, published
// without replacing anything, and only then the run's file removed.
bool RestoreArrived(const RecordedBook& book, const QString& source, UndoOutcome& outcome) {
  const QString changed = book.packed
                              ? QStringLiteral("The archive at the target is not the one the run left there")
                              : QStringLiteral("The file at the target is not the book the run left there");
  struct stat info {};
  const FileDescriptor from(OpenPlain(book.target, &info));
  if (!from.Valid()) {
    outcome.reason = changed;
    return false;
  }
  const FileStamp checked = StampOfDescriptor(from.Get());
  JournalledMove record;
  Rebuilt rebuilt = Rebuilt::Failed;
  const bool published = PublishAtSource(record, book.target, source, outcome, [&](int copy) {
    int writeError = 0;
    rebuilt = RebuildArrivedArchive(book.arrived, book.digest, from.Get(), book.packed, book.archiveEntry,
                                    copy, &writeError);
    if (rebuilt == Rebuilt::Failed) outcome.reason = writeError != 0 ? SystemReason(writeError) : changed;
    return rebuilt != Rebuilt::Failed;
  });
  if (!published) return false;
  if (rebuilt == Rebuilt::EntryExact) outcome.reason = EntryExactReason(book.arrived, book.packed);
  // The run's file goes only while it is the very one read, untouched.
  if (StampOfDescriptor(from.Get()).Unchanged(checked) && StampOfEntry(book.target).Unchanged(checked))
    RemoveRunsFile(book.target, outcome);
  else
    outcome.reason = QStringLiteral("The file at the target changed meanwhile and was kept");
  return true;
}

// Whether the file at path is the recorded book, by its digest; for a book that arrived packed,
// an archive holding its very entry (a rebuilt archive need not match the first byte for byte).
bool IsTheBook(const RecordedBook& book, const QString& path) {
  if (book.arrived.known) return HoldsArrivedEntry(path, book.arrived, book.digest);
  return book.digest.known && DigestOfFile(path) == book.digest;
}

// A book repacked by a run killed just before its archive was published is on record without the
// name of the archive's entry, which the writer chose: it is read from the archive, whose entry
// must still match the arrival in everything else.
RecordedBook WithEntryName(const RecordedBook& book) {
  if (!book.packed || !book.arrived.known || !book.archiveEntry.isEmpty()) return book;
  RecordedBook named = book;
  struct stat info {};
  const FileDescriptor file(OpenPlain(book.target, &info));
  SingleEntryInfo entry;
  if (file.Valid() && ReadSingleEntryInfo(file.Get(), static_cast<uint64_t>(info.st_size), &entry))
    named.archiveEntry = QByteArray::fromStdString(entry.name);
  return named;
}

// An undo killed after it gave an archive back and before it removed the run's file leaves both:
// the run's file goes now, while it is still the one the run left, untouched. It stays when it is
// the very file found at the source (one file under both names, through a link or an edited record):
// the run's archive can be the arrival byte for byte, and it is then the book's only copy.
void RemoveLeftOver(const RecordedBook& book, const struct stat& atSource) {
  struct stat info {};
  const FileDescriptor file(OpenPlain(book.target, &info));
  quint64 data = 0;
  if (!file.Valid() || (info.st_dev == atSource.st_dev && info.st_ino == atSource.st_ino) ||
      !IsRunsFile(book.arrived, file.Get(), book.packed, book.archiveEntry, &data))
    return;
  const FileStamp checked = StampOfDescriptor(file.Get());
  if (StampOfEntry(book.target).Unchanged(checked)) ::unlink(book.target.constData());
}

// An undo that gave back a book the run packed but could not remove the run's archive (an immutable
// file, a read-only work folder) left the book twice; once the archive can go, it goes, but only
// while it is the very archive the run left: the one the record describes, whose entry unpacks
// (CRC checked) to the book now at the source, and not that file itself under another name. An
// archive guessed beside a book caught on its way may be the user's own, and is not touched.
void RemovePackedLeftOver(const RecordedBook& book, const QString& source, const struct stat& atSource,
                          UndoOutcome& outcome) {
  const QByteArray& archivePath = book.target;
  if (!Exists(archivePath)) return;
  const auto kept = [&](const QString& why) { outcome.reason += QStringLiteral("; ") + why; };
  struct stat info {};
  const FileDescriptor archive(OpenPlain(archivePath, &info));
  if (archive.Valid() && info.st_dev == atSource.st_dev && info.st_ino == atSource.st_ino) {
    kept(QStringLiteral("the file at the target is the one at the source and was kept"));
    return;
  }
  SingleEntryInfo entry;
  BookDigester digester;
  if (!archive.Valid() || !book.digest.known || !IsRecordedArchive(book, archive.Get(), info, &entry) ||
      !UnpackSingleEntry(archive.Get(), static_cast<uint64_t>(info.st_size), entry.size,
                         [&](const unsigned char* data, size_t size) {
                           digester.Add(data, size);
                           return true;
                         }) ||
      digester.Result() != book.digest || DigestOfFile(source) != book.digest) {
    kept(QStringLiteral("the archive at the target is not the one the run left there and was kept"));
    return;
  }
  const FileStamp checked = StampOfDescriptor(archive.Get());
  if (!StampOfEntry(archivePath).Unchanged(checked)) {
    kept(QStringLiteral("the file at the target changed meanwhile and was kept"));
    return;
  }
  // The book at the source must be on disk before its only other copy goes.
  if (const int error = posix_file::SyncFolder(posix_file::ParentOf(NativeName(source)))) {
    kept(QStringLiteral("the file at the target could not be removed: %1").arg(SystemReason(error)));
    return;
  }
  if (::unlink(archivePath.constData()) != 0)
    kept(QStringLiteral("the file at the target could not be removed: %1").arg(SystemReason(errno)));
}

// A book that came out of a .fb2.zip, or went from it into an archive of the run's: finished, or
// caught by a kill once it was on record, just before it was published.
bool PlacedFromArchive(const RecordedBook& book) {
  return book.arrived.known && (book.status == RecordStatus::Moved || book.status == RecordStatus::Moving);
}

bool MovedByRun(RecordStatus status) {
  return status == RecordStatus::Invalid || status == RecordStatus::Moved || status == RecordStatus::Repeat ||
         status == RecordStatus::Moving;
}

UndoOutcome UndoBook(const RecordedBook& book, const RunFolders& folders) {
  UndoOutcome outcome;
  outcome.source = book.source;
  outcome.target = book.target;
  QString source, target;
  if (!AsPath(book.source, &source) || !AsPath(book.target, &target)) {
    outcome.reason = QStringLiteral("The name cannot be handled");
    return outcome;
  }
  // Nothing is moved out of or into a folder that is not the run's. A folder that cannot be reached
  // holds nothing to move, nor takes anything: the steps below say so in their own words.
  if (folders.OfWork(book.target) == RunFolders::Place::Outside) {
    outcome.reason = QStringLiteral("The target lies outside the run's work folders");
    return outcome;
  }
  if (folders.OfSource(book.source) == RunFolders::Place::Outside) {
    outcome.reason = QStringLiteral("The source lies outside the folder of the run");
    return outcome;
  }

  struct stat info {};
  if (::lstat(book.source.constData(), &info) == 0) {
    const bool inPlace = S_ISREG(info.st_mode) && IsTheBook(book, source);
    outcome.reason = inPlace ? QStringLiteral("Already in its place")
                             : QStringLiteral("The source name is taken by another file");
    if (inPlace && PlacedFromArchive(book))
      RemoveLeftOver(WithEntryName(book), info);
    else if (inPlace && book.packed && !book.archiveEntry.isEmpty())
      RemovePackedLeftOver(book, source, info, outcome);
    return outcome;
  }

  bool packed = book.packed;
  // A book caught on its way may be at its target, or already in the archive beside it.
  if (book.status == RecordStatus::Moving && !book.arrived.known && !Exists(book.target) &&
      Exists(book.target + ".zip")) {
    packed = true;
    outcome.target = book.target + ".zip";
  }
  if (!Exists(outcome.target)) {
    outcome.reason = QStringLiteral("No longer at the target");
    return outcome;
  }
  if (PlacedFromArchive(book))
    outcome.restored = RestoreArrived(WithEntryName(book), source, outcome);
  else
    outcome.restored = packed ? RestorePacked(book, outcome.target, source, outcome)
                              : RestorePlain(book, target, source, outcome);
  return outcome;
}

}  // namespace

UndoSummary UndoRun(const RunRecord& record, UndoHost* host) {
  // An undo killed earlier may have left an unpacked book beside its archive.
  RecoverInterruptedMoves();
  const RunFolders runFolders(record);
  UndoSummary summary;
  for (auto book = record.books.crbegin(); book != record.books.crend(); ++book) {
    if (!MovedByRun(book->status)) continue;
    UndoOutcome outcome;
    try {
      outcome = UndoBook(*book, runFolders);
    } catch (const std::exception& e) {
      outcome.source = book->source;
      outcome.target = book->target;
      outcome.reason = QString::fromLocal8Bit(e.what());
    }
    ++(outcome.restored ? summary.restored : summary.kept);
    if (host) host->BookUndone(outcome);
  }

  // Deepest first; a folder that holds anything stays.
  QList<QByteArray> folders = record.createdFolders;
  std::sort(folders.begin(), folders.end(),
            [](const QByteArray& a, const QByteArray& b) { return a.size() > b.size(); });
  for (const QByteArray& folder : folders) {
    if (!Exists(folder)) continue;
    if (runFolders.OfMade(folder) == RunFolders::Place::Outside) {
      ++summary.foldersKept;
      if (host) host->FolderKept(folder, QStringLiteral("It lies outside the run's work folders"));
    } else if (::rmdir(folder.constData()) == 0) {
      ++summary.foldersRemoved;
    }
  }

  AppendToRecord(
      record.path,
      {"undone", QStringLiteral("restored %1, kept %2").arg(summary.restored).arg(summary.kept).toUtf8()});
  return summary;
}

QLatin1String UndoWord(bool restored) {
  return restored ? QLatin1String("restored") : StatusWord(RecordStatus::Kept);
}
