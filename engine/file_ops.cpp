#include "engine/file_ops.h"

#include "engine/engine_error.h"
#include "engine/journal.h"
#include "base/posix_file.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using posix_file::FileDescriptor;
using posix_file::ParentOf;
using posix_file::WriteAll;

// Removes a temporary file unless it was published.
class TemporaryName {
 public:
  explicit TemporaryName(QByteArray path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!path_.isEmpty()) ::unlink(path_.constData());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void Keep() { path_.clear(); }

 private:
  QByteArray path_;
};

bool IsFlagRefused(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

bool IsLinkRefused(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK ||
         error == ENOSYS;
}


// ".name.XXXXXX" beside path: hidden, and never a name that a book of the run could take.
QByteArray TemporaryNameBeside(const QByteArray& path) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const qsizetype slash = path.lastIndexOf('/');
  QByteArray name = path.left(slash + 1) + '.' + path.mid(slash + 1) + '.';
  for (int i = 0; i < 6; ++i) name += kLetters[QRandomGenerator::global()->bounded(62)];
  return name;
}

// Renames within one file system without ever replacing `to`. Returns 0 or an errno; EXDEV means
// the two names lie on different file systems.
int RenameNoReplace(const QByteArray& from, const QByteArray& to) {
  if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
    return 0;
  int error = errno;
  if (!IsFlagRefused(error)) return error;

  // The file system refuses the flag: a hard link fails when the name is taken, just as atomically.
  // Neither way below is one step, so each is on record until it is over.
  JournalledMove record;
  record.Begin(MoveKind::Link, from, to, QByteArray());
  if (::link(from.constData(), to.constData()) == 0) {
    if (::unlink(from.constData()) == 0) return 0;
    error = errno;
    ::unlink(to.constData());  // keep one name only: the move did not happen
    return error;
  }
  error = errno;
  if (!IsLinkRefused(error)) return error;

  // Neither: reserve the name exclusively, then let rename replace our own empty reservation.
  record.Begin(MoveKind::Reserve, from, to, QByteArray());
  FileDescriptor reservation(
      ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!reservation.Valid()) return errno;
  reservation.Close();
  if (::rename(from.constData(), to.constData()) == 0) return 0;
  error = errno;
  ::unlink(to.constData());
  return error;
}


int SyncFolder(const QByteArray& folder) {
  FileDescriptor dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  // Some file systems cannot sync a folder; the file itself is on disk already.
  if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return 0;
}

// Moves across file systems: copy into a hidden temporary name in the target folder, flush it,
// publish it under the final name without replacing anything, flush the folder, and only then
// remove the source. Returns 0 or an errno; on failure the source is untouched and nothing of the
// copy is left.
int CopyAcross(const QByteArray& from, const QByteArray& to) {
  FileDescriptor source(::open(from.constData(), O_RDONLY | O_CLOEXEC));
  if (!source.Valid()) return errno;
  struct stat sourceStat {};
  if (::fstat(source.Get(), &sourceStat) != 0) return errno;
  if (!S_ISREG(sourceStat.st_mode)) return EXDEV;

  // Fail early, before copying megabytes, when the name is visibly taken.
  struct stat targetStat {};
  if (::lstat(to.constData(), &targetStat) == 0) return EEXIST;

  // The temporary name goes on record before the file is made, so that a kill at any point after
  // leaves nothing of ours that the next run cannot find.
  const QByteArray folder = ParentOf(to);
  JournalledMove record;
  QByteArray temporaryName;
  FileDescriptor copy;
  for (int attempt = 0; attempt < 100 && !copy.Valid(); ++attempt) {
    temporaryName = TemporaryNameBeside(to);
    record.Begin(MoveKind::CopyAcross, from, to, temporaryName);
    copy.Reset(::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!copy.Valid() && errno != EEXIST) return errno;
  }
  if (!copy.Valid()) return EEXIST;
  TemporaryName temporary(temporaryName);

  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(source.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    if (const int error = WriteAll(copy.Get(), buffer, static_cast<size_t>(got))) return error;
  }
  // The copy keeps what a rename would keep: permissions and times. Failing that is not fatal.
  (void)::fchmod(copy.Get(), sourceStat.st_mode & 07777);
  const struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
  (void)::futimens(copy.Get(), times);
  if (::fsync(copy.Get()) != 0) return errno;
  if (const int error = copy.Close()) return error;

  if (const int error = RenameNoReplace(temporaryName, to)) return error;
  temporary.Keep();
  if (const int error = SyncFolder(folder)) {
    ::unlink(to.constData());
    return error;
  }
  source.Close();
  if (::unlink(from.constData()) != 0) {
    // The source cannot go (a read-only folder, say): undo, so that the book exists once.
    const int error = errno;
    ::unlink(to.constData());
    return error;
  }
  return 0;
}

}  // namespace

bool MoveFileNoReplace(const QString& from, const QString& to, int* error) {
  const QByteArray fromName = QFile::encodeName(from);
  const QByteArray toName = QFile::encodeName(to);
  int result = (fromName.isEmpty() || toName.isEmpty()) ? ENOENT : RenameNoReplace(fromName, toName);
  if (result == EXDEV) result = CopyAcross(fromName, toName);
  if (error) *error = result;
  return result == 0;
}

bool DeleteFilePath(const QString& path) {
  return ::unlink(QFile::encodeName(path).constData()) == 0;
}

bool FileExists(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

bool DirectoryExists(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

void ForceDirectories(const QString& path) {
  if (path.isEmpty()) throw EngineError(QStringLiteral("Unable to create directory"));
  (void)QDir().mkpath(path);
}

QString IncludeTrailingDelimiter(const QString& path) {
  if (path.endsWith(u'/') || path.endsWith(u'\\')) return path;
  return path + u'/';
}

QString ToNativePath(const QString& path) {
  QString result = path;
  return result.replace(u'\\', u'/');
}

QString ExtractFileName(const QString& item) {
  return item.mid(item.lastIndexOf(u'/') + 1);
}
