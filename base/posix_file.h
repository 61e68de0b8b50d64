#pragma once

// Internal to the libraries that write files (the archive writer and reader, the engine's file
// operations and journal of moves): the few POSIX helpers they share.

#include <QByteArray>

#include <cerrno>
#include <cstddef>
#include <sys/types.h>
#include <unistd.h>

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

}  // namespace posix_file
