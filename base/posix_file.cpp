#include "base/posix_file.h"

#include <QRandomGenerator>

namespace posix_file {

QByteArray TemporaryNameBeside(const QByteArray& path) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  QByteArray name = path.left(path.lastIndexOf('/') + 1) + ".shelvio-";
  for (int i = 0; i < 8; ++i) name += kLetters[QRandomGenerator::global()->bounded(62)];
  return name;
}

int SyncFolder(const QByteArray& folder) {
  FileDescriptor dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return 0;
}

int ReplaceFileAtomically(const QByteArray& target, const QByteArray& bytes) {
  struct stat old {};
  const bool hadOld = ::stat(target.constData(), &old) == 0;
  FileDescriptor fd;
  TemporaryFile temporary;
  for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
    const QByteArray name = TemporaryNameBeside(target);
    // 0666 before the umask, as a newly created file would get.
    fd.Reset(::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.Valid()) {
      temporary.Reset(name);
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  if (!fd.Valid()) return EEXIST;
  if (hadOld) {
    // Best effort: an unprivileged user cannot give a file away, and that is no reason to fail.
    [[maybe_unused]] const int ownerKept = ::fchown(fd.Get(), old.st_uid, old.st_gid);
    [[maybe_unused]] const int modeKept = ::fchmod(fd.Get(), old.st_mode & 07777);
  }
  if (const int error = WriteAll(fd.Get(), bytes.constData(), static_cast<size_t>(bytes.size())))
    return error;
  if (::fsync(fd.Get()) != 0) return errno;
  if (const int error = fd.Close()) return error;
  if (::rename(temporary.Path().constData(), target.constData()) != 0) return errno;
  temporary.Keep();
  (void)SyncFolder(ParentOf(target));
  return 0;
}

}  // namespace posix_file
