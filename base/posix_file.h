#pragma once

// Internal to the libraries that write files (the archive writer and reader, the engine's file
// operations and journal of moves): the few POSIX helpers they share.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <cstddef>
#include <functional>

namespace posix_file {

// Owns one file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports close's own error, which is where some file systems report a failed
  // write-back.
  int Close() {
    int result = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) result = errno;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Writes all of data; 0 or an errno.
inline int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

inline int WriteAll(int fd, const unsigned char* data, size_t size) {
  return WriteAll(fd, reinterpret_cast<const char*>(data), size);
}

// Writes all of data at offset; false on an error (errno tells which).
inline bool PWriteAll(int fd, const unsigned char* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until size bytes, the end of the file or an error; returns the bytes read.
inline size_t ReadFull(int fd, unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// Reads exactly size bytes at offset; false when the file ends first or on an error.
inline bool PReadFull(int fd, unsigned char* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The folder part of a native path: "." for a bare name, "/" for a name in the root.
inline QByteArray ParentOf(const QByteArray& path) {
  const qsizetype slash = path.lastIndexOf('/');
  if (slash < 0) return QByteArrayLiteral(".");
  if (slash == 0) return QByteArrayLiteral("/");
  return path.left(slash);
}

// Removes a temporary file when it goes out of scope, unless it was kept (published).
class TemporaryFile {
 public:
  explicit TemporaryFile(QByteArray path = QByteArray()) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.isEmpty()) ::unlink(path_.constData());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const QByteArray& Path() const { return path_; }
  void Keep() { path_.clear(); }
  void Reset(QByteArray path) {
    if (!path_.isEmpty()) ::unlink(path_.constData());
    path_ = std::move(path);
  }

 private:
  QByteArray path_;
};

// ".shelvio-XXXXXXXX" beside path: hidden, never a name that a book of the run could take, and of
// one short length, so that any final name the file system accepts can be copied to.
QByteArray TemporaryNameBeside(const QByteArray& path);

// Makes the entries of a folder (a rename, a new name) durable. 0 or an errno; file systems that
// cannot sync a folder count as done, the file itself being on disk already.
int SyncFolder(const QByteArray& folder);

// Replaces target with a file holding bytes, so that target is at every moment either the old file
// or the new one, and the new one is on disk before its name is. The new file keeps the old one's
// owner and permissions where it may. 0 or an errno; once the rename is done the file is replaced,
// and a folder that cannot be synced does not undo that. For files of our own only (the settings
// file): it replaces whatever is at target.
int ReplaceFileAtomically(const QByteArray& target, const QByteArray& bytes);

// The ways a rename that must not replace anything can go where the file system refuses the flag.
enum class NoReplaceStep {
  Link,     // `to` made a second name of the file (a hard link), then `from` removed
  Reserve,  // `to` reserved as an empty file, then the file renamed over that reservation
};

// ENOTSUP and EOPNOTSUPP are one value on Linux and two on some other systems.
inline bool IsNotSupported(int error) {
  if constexpr (ENOTSUP != EOPNOTSUPP) {
    if (error == ENOTSUP) return true;
  }
  return error == EOPNOTSUPP;
}

inline bool IsFlagRefused(int error) { return error == EINVAL || error == ENOSYS || IsNotSupported(error); }

inline bool IsLinkRefused(int error) {
  return error == EPERM || error == EMLINK || error == ENOSYS || IsNotSupported(error);
}

// Renames within one file system without ever replacing an entry at `to`. Returns 0 or an errno;
// EXDEV means the two names lie on different file systems. beforeStep (may be empty) is told before
// a fallback begins, so that a caller can record it: neither fallback is one atomic step.
inline int RenameNoReplace(const QByteArray& from, const QByteArray& to,
                           const std::function<void(NoReplaceStep)>& beforeStep = {}) {
  if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  if (!IsFlagRefused(error)) return error;

  // A hard link fails when the name is taken, just as atomically.
  if (beforeStep) beforeStep(NoReplaceStep::Link);
  if (::link(from.constData(), to.constData()) == 0) {
    if (::unlink(from.constData()) == 0) return 0;
    error = errno;
    ::unlink(to.constData());  // keep one name only: the move did not happen
    return error;
  }
  error = errno;
  if (!IsLinkRefused(error)) return error;

  // Neither: reserve the name exclusively, then let rename replace our own empty reservation, and
  // only while the name still holds that reservation.
  if (beforeStep) beforeStep(NoReplaceStep::Reserve);
  FileDescriptor reservation(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!reservation.Valid()) return errno;
  struct stat reserved {
  }, now{};
  if (::fstat(reservation.Get(), &reserved) != 0) {
    error = errno;
    ::unlink(to.constData());
    return error;
  }
  reservation.Close();
  if (::lstat(to.constData(), &now) != 0 || now.st_dev != reserved.st_dev || now.st_ino != reserved.st_ino ||
      now.st_size != 0)
    return EEXIST;
  if (::rename(from.constData(), to.constData()) == 0) return 0;
  error = errno;
  ::unlink(to.constData());
  return error;
}

}  // namespace posix_file
