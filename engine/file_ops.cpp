#include "engine/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/journal.h"

namespace {

using posix_file::FileDescriptor;
using posix_file::NoReplaceStep;
using posix_file::ParentOf;
using posix_file::SyncFolder;
using posix_file::TemporaryFile;
using posix_file::TemporaryNameBeside;
using posix_file::WriteAll;

// Renames without replacing; the fallbacks that are not one step are on record until they are over.
int RecordedRenameNoReplace(const QByteArray& from, const QByteArray& to) {
  JournalledMove record;
  return posix_file::RenameNoReplace(from, to, [&](NoReplaceStep step) {
    record.Begin(step == NoReplaceStep::Link ? MoveKind::Link : MoveKind::Reserve, from, to, QByteArray());
  });
}

// Removes the entry at path only while it is still the file of that stamp: a name someone else
// took meanwhile keeps what they put there.
void RemoveIfStill(const QByteArray& path, const FileStamp& stamp) {
  if (StampOfEntry(path).SameFile(stamp)) ::unlink(path.constData());
}

// The source's outcome once it is no longer the file that was copied.
int SourceChangedOutcome(const QByteArray& from) {
  return StampOfEntry(from).known ? kSourceChanged : kSourceMissing;
}

// Moves across file systems: copy into a hidden temporary name in the target folder, flush it,
// publish it under the final name without replacing anything, flush the folder, and only then
// remove the source, and only while the source is still the file that was copied, unchanged.
// Returns 0 or an outcome; on failure the source is untouched and nothing of the copy is left.
int CopyAcross(int source, const FileStamp& before, const QByteArray& from, const QByteArray& to,
               FileStamp* moved) {
  // Fail early, before copying megabytes, when the name is visibly taken.
  struct stat targetStat {};
  if (::lstat(to.constData(), &targetStat) == 0) return EEXIST;

  // The temporary name goes on record before the file is made, so that a kill at any point after
  // leaves nothing of ours that the next run cannot find.
  const QByteArray folder = ParentOf(to);
  JournalledMove record;
  QByteArray temporaryName;
  FileDescriptor copy(CreateRecordedTemporary(record, MoveKind::CopyAcross, from, to, 0600, &temporaryName));
  if (!copy.Valid()) return errno;
  TemporaryFile temporary(temporaryName);

  char buffer[1 << 16];
  off_t copied = 0;
  for (;;) {
    const ssize_t got = ::read(source, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    if (const int error = WriteAll(copy.Get(), buffer, static_cast<size_t>(got))) return error;
    copied += got;
  }
  // A book still being written (or rewritten) is not the book the copy holds: it stays.
  if (copied != before.size || !StampOfDescriptor(source).Unchanged(before)) return kSourceChanged;

  // The copy keeps what a rename would keep: permissions and times. Failing that is not fatal.
  struct stat sourceStat {};
  if (::fstat(source, &sourceStat) == 0) {
    (void)::fchmod(copy.Get(), sourceStat.st_mode & 07777);
    const struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    (void)::futimens(copy.Get(), times);
  }
  if (::fsync(copy.Get()) != 0) return errno;
  const FileStamp copyStamp = StampOfDescriptor(copy.Get());
  if (const int error = copy.Close()) return error;

  if (const int error = RecordedRenameNoReplace(temporaryName, to)) return error;
  temporary.Keep();
  if (const int error = SyncFolder(folder)) {
    RemoveIfStill(to, copyStamp);
    return error;
  }
  // The last look before the only other copy goes: still the very file, not touched since, and not
  // held open by a writer that may go on writing.
  const NoWriterLease lease(source);
  if (lease.WriterSeen() || !StampOfDescriptor(source).Unchanged(before) ||
      !StampOfEntry(from).Unchanged(before)) {
    RemoveIfStill(to, copyStamp);
    return SourceChangedOutcome(from);
  }
  if (::unlink(from.constData()) != 0) {
    // The source cannot go (a read-only folder, say): undo, so that the book exists once.
    const int error = errno;
    RemoveIfStill(to, copyStamp);
    return error;
  }
  if (moved) *moved = copyStamp;
  return 0;
}

}  // namespace

NoWriterLease::NoWriterLease(int fd) : fd_(fd) {
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
    held_ = true;
  else
    writerSeen_ = errno == EAGAIN;
}

NoWriterLease::~NoWriterLease() {
  if (held_) (void)::fcntl(fd_, F_SETLEASE, F_UNLCK);
}

bool FileStamp::Unchanged(const FileStamp& other) const {
  return SameFile(other) && size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

FileStamp StampOf(const struct stat& info) {
  FileStamp stamp;
  stamp.known = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modified = info.st_mtim;
  stamp.changed = info.st_ctim;
  return stamp;
}

FileStamp StampOfDescriptor(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? StampOf(info) : FileStamp();
}

FileStamp StampOfEntry(const QByteArray& path) {
  struct stat info {};
  return ::lstat(path.constData(), &info) == 0 ? StampOf(info) : FileStamp();
}

QString MoveFailureText(int code) {
  if (code == kSourceMissing) return QStringLiteral("The book was gone before its move");
  if (code == kSourceChanged) return QStringLiteral("The book changed while being moved");
  return QString::fromLocal8Bit(std::strerror(code));
}

QString PathLengthProblem(const QString& path) {
  const qsizetype length = NativeName(path).size();
  if (length < PATH_MAX) return QString();
  return QStringLiteral("Path too long: %1 bytes, where the system takes at most %2")
      .arg(length)
      .arg(PATH_MAX - 1);
}

int CreateRecordedTemporary(JournalledMove& record, MoveKind kind, const QByteArray& from,
                            const QByteArray& to, mode_t mode, QByteArray* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = TemporaryNameBeside(to);
    record.Begin(kind, from, to, *name);
    const int fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool MoveFileNoReplace(const QString& from, const QString& to, int* error, FileStamp* moved) {
  const QByteArray fromName = NativeName(from);
  const QByteArray toName = NativeName(to);
  if (moved) *moved = FileStamp();
  int result = 0;
  // Held open, so that what is moved can be told from what was there before and is there after.
  FileDescriptor source(fromName.isEmpty() ? -1
                                           : ::open(fromName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                                                                              O_NOCTTY | O_CLOEXEC));
  const FileStamp before = source.Valid() ? StampOfDescriptor(source.Get()) : FileStamp();
  if (fromName.isEmpty() || toName.isEmpty()) {
    result = ENOENT;
  } else if (!source.Valid() && !StampOfEntry(fromName).known) {
    result = kSourceMissing;
  } else {
    result = RecordedRenameNoReplace(fromName, toName);
    if (result == 0) {
      const FileStamp now = StampOfEntry(toName);
      if (moved && now.SameFile(before)) *moved = now;
    } else if (result == ENOENT && !StampOfEntry(fromName).known) {
      result = kSourceMissing;
    } else if (result == EXDEV) {
      struct stat info {};
      // Only a plain file is copied: a link or anything else stays where it is.
      if (!source.Valid() || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        result = EXDEV;
      else
        result = CopyAcross(source.Get(), before, fromName, toName, moved);
    }
  }
  if (error) *error = result;
  return result == 0;
}

bool DeleteFilePath(const QString& path) { return ::unlink(NativeName(path).constData()) == 0; }

bool FileExists(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(NativeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool EntryExists(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::lstat(NativeName(path).constData(), &info) == 0;
}

bool SameFileAt(const QString& a, const QString& b) {
  struct stat first {
  }, second{};
  return !a.isEmpty() && !b.isEmpty() && ::stat(NativeName(a).constData(), &first) == 0 &&
         ::stat(NativeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool DirectoryExists(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(NativeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

int ForceDirectories(const QString& path) {
  if (path.isEmpty())
    throw ShelvioError(ShelvioError::Kind::Engine, QStringLiteral("Unable to create directory"));
  // Level by level, so that the failure reported is the creation's own (no room, no quota, no
  // permission), not a later "no such folder"; over the path's own bytes, as Qt's mkpath would lose
  // a folder name that is not UTF-8.
  const QByteArray full = NativeName(path);
  // Only the levels below the deepest folder already there are made: a folder that exists costs one
  // look, not a failed creation of every folder above it, for each book.
  const auto isFolder = [](const QByteArray& level) {
    struct stat info {};
    return ::stat(level.constData(), &info) == 0 && S_ISDIR(info.st_mode);
  };
  qsizetype start = full.size();
  while (start > 0 && !isFolder(full.left(start))) start = full.lastIndexOf('/', start - 1);
  if (start == full.size()) return 0;
  for (qsizetype end = std::max<qsizetype>(start, 0) + 1; end <= full.size(); ++end) {
    if (end < full.size() && full[end] != '/') continue;
    const QByteArray level = full.left(end);
    if (level.endsWith('/')) continue;
    if (::mkdir(level.constData(), 0777) == 0 || errno == EEXIST) continue;
    const int error = errno;
    if (DirectoryExists(NameFromNative(level))) continue;
    return error;
  }
  return DirectoryExists(path) ? 0 : ENOTDIR;
}

QString IncludeTrailingDelimiter(const QString& path) {
  if (path.endsWith(u'/') || path.endsWith(u'\\')) return path;
  return path + u'/';
}

QString ToNativePath(const QString& path) {
  QString result = path;
  return result.replace(u'\\', u'/');
}

QString ExtractFileName(const QString& item) { return item.mid(item.lastIndexOf(u'/') + 1); }
