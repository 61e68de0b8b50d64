// A preload library for the reliability tests: it forces the paths and the moments that a run on
// an ordinary disk almost never meets, and records the order of the calls that make a move durable.
//
//   SHELVIO_SHIM_NO_RENAMEAT2=1  renameat2 with RENAME_NOREPLACE fails with EINVAL, as on a file
//                                system that does not know the flag
//   SHELVIO_SHIM_NO_LINK=1       link and linkat fail with EPERM, as where hard links are refused
//   SHELVIO_SHIM_FAIL_READ=END   read of a descriptor whose path ends in END fails with EIO, as on
//                                a failing disk
//   SHELVIO_SHIM_PAUSE_US=N      after each rename, link and unlink that succeeded, a pause of up to
//                                N microseconds (random), so that two processes interleave in the
//                                windows between a move and what follows it
//   SHELVIO_SHIM_APPEND_AFTER_MOVE_TO=END  after the first rename, renameat2 or link that succeeded
//                                and whose target ends in END, a byte is appended to the file
//                                SHELVIO_SHIM_APPEND_TO names, opened before the first move:
//                                someone changes a source just as its copy is published
//   SHELVIO_SHIM_APPEND_CLOSES=1 the byte above is written by opening the file then, and closing it
//                                at once: someone wrote the file and is done with it
//   SHELVIO_SHIM_RENAME_AFTER_MOVE_TO=END  after the first rename, renameat2 or link that succeeded
//                                and whose target ends in END, SHELVIO_SHIM_RENAME_FROM is renamed
//                                to SHELVIO_SHIM_RENAME_TO: someone puts another file in a name
//                                just after a move
//   SHELVIO_SHIM_RENAME_AFTER_CLOSE_OF=END  after the first close of a descriptor whose path ends
//                                in END, SHELVIO_SHIM_RENAME_FROM is renamed to that path
//   SHELVIO_SHIM_EXCHANGE_BEFORE_MOVE_FROM=END  before the first rename or renameat2 whose source
//                                ends in END, that source and the file SHELVIO_SHIM_EXCHANGE_WITH
//                                names swap names: someone puts another file in its place just as
//                                the run takes it
//   SHELVIO_SHIM_LOG=FILE        appends one line per call, its fields separated by tabs (names hold
//                                spaces): "fsync PATH", "rename FROM TO", "renameat2 FROM TO",
//                                "link FROM TO", "unlink PATH"
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

int Flag(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

void Log(const char* call, const char* first, const char* second) {
  const char* path = getenv("SHELVIO_SHIM_LOG");
  if (path == nullptr || path[0] == '\0') return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char line[3 * PATH_MAX + 64];
  const int size =
      snprintf(line, sizeof line, "%s\t%s%s%s\n", call, first, second ? "\t" : "", second ? second : "");
  if (size > 0)
    (void)!write(fd, line,
                 static_cast<size_t>(size) < sizeof line ? static_cast<size_t>(size) : sizeof line - 1);
  close(fd);
}

void Pause(void) {
  const char* value = getenv("SHELVIO_SHIM_PAUSE_US");
  if (value == nullptr) return;
  const long most = atol(value);
  if (most <= 0) return;
  static thread_local unsigned seed;
  if (seed == 0) seed = static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
  const long pause = static_cast<long>(rand_r(&seed)) % (most + 1);
  const struct timespec delay = {pause / 1000000, (pause % 1000000) * 1000};
  nanosleep(&delay, nullptr);
}

// The path of an open descriptor; empty when it cannot be told.
void PathOf(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, size - 1);
  path[length > 0 ? length : 0] = '\0';
}

void Done(int result) {
  if (result == 0) Pause();
}

// The file SHELVIO_SHIM_APPEND_TO names, opened before the first move of all: like a program that
// has it open, the byte goes into that very file whatever name it has by then.
int victimFd = -1;

void HoldVictim(void) {
  static int held;
  const char* victim = getenv("SHELVIO_SHIM_APPEND_TO");
  if (held || victim == nullptr || Flag("SHELVIO_SHIM_APPEND_CLOSES")) return;
  held = 1;
  victimFd = open(victim, O_WRONLY | O_APPEND | O_CLOEXEC);
}

bool EndsWith(const char* text, const char* end) {
  const size_t length = strlen(text);
  const size_t endLength = strlen(end);
  return length >= endLength && strcmp(text + length - endLength, end) == 0;
}

// Renames SHELVIO_SHIM_RENAME_FROM to `to` by the system's own call, neither logged nor paused.
void RenameIntruder(const char* to) {
  const char* from = getenv("SHELVIO_SHIM_RENAME_FROM");
  if (from == nullptr || to == nullptr) return;
  const int error = errno;
  (void)Next<int(const char*, const char*)>("rename")(from, to);
  errno = error;
}

void AppendAfterMove(int result, const char* target) {
  if (result != 0) return;
  static int renamed;
  const char* renameEnd = getenv("SHELVIO_SHIM_RENAME_AFTER_MOVE_TO");
  if (!renamed && renameEnd != nullptr && renameEnd[0] != '\0' && EndsWith(target, renameEnd)) {
    renamed = 1;
    RenameIntruder(getenv("SHELVIO_SHIM_RENAME_TO"));
  }
  static int done;
  const char* end = getenv("SHELVIO_SHIM_APPEND_AFTER_MOVE_TO");
  const bool closes = Flag("SHELVIO_SHIM_APPEND_CLOSES");
  if (done || end == nullptr || (victimFd < 0 && !closes) || end[0] == '\0' || !EndsWith(target, end)) return;
  done = 1;
  if (!closes) {
    (void)!write(victimFd, "x", 1);
    return;
  }
  const int error = errno;
  const int fd = open(getenv("SHELVIO_SHIM_APPEND_TO"), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0) {
    (void)!write(fd, "x", 1);
    Next<int(int)>("close")(fd);
  }
  errno = error;
}

void ExchangeBeforeMove(const char* source) {
  static int done;
  const char* end = getenv("SHELVIO_SHIM_EXCHANGE_BEFORE_MOVE_FROM");
  const char* other = getenv("SHELVIO_SHIM_EXCHANGE_WITH");
  if (done || end == nullptr || end[0] == '\0' || other == nullptr || !EndsWith(source, end)) return;
  done = 1;
  auto* real = Next<int(int, const char*, int, const char*, unsigned int)>("renameat2");
  (void)real(AT_FDCWD, source, AT_FDCWD, other, RENAME_EXCHANGE);
}

}  // namespace

extern "C" {

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
  HoldVictim();
  ExchangeBeforeMove(oldpath);
  if ((flags & RENAME_NOREPLACE) && Flag("SHELVIO_SHIM_NO_RENAMEAT2")) {
    errno = EINVAL;
    return -1;
  }
  Log("renameat2", oldpath, newpath);
  auto* real = Next<int(int, const char*, int, const char*, unsigned int)>("renameat2");
  const int result = real(olddirfd, oldpath, newdirfd, newpath, flags);
  const int error = errno;
  Done(result);
  AppendAfterMove(result, newpath);
  errno = error;
  return result;
}

int rename(const char* oldpath, const char* newpath) {
  HoldVictim();
  ExchangeBeforeMove(oldpath);
  Log("rename", oldpath, newpath);
  auto* real = Next<int(const char*, const char*)>("rename");
  const int result = real(oldpath, newpath);
  const int error = errno;
  Done(result);
  AppendAfterMove(result, newpath);
  errno = error;
  return result;
}

int link(const char* oldpath, const char* newpath) {
  HoldVictim();
  if (Flag("SHELVIO_SHIM_NO_LINK")) {
    errno = EPERM;
    return -1;
  }
  Log("link", oldpath, newpath);
  auto* real = Next<int(const char*, const char*)>("link");
  const int result = real(oldpath, newpath);
  const int error = errno;
  Done(result);
  AppendAfterMove(result, newpath);
  errno = error;
  return result;
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  HoldVictim();
  if (Flag("SHELVIO_SHIM_NO_LINK")) {
    errno = EPERM;
    return -1;
  }
  auto* real = Next<int(int, const char*, int, const char*, int)>("linkat");
  const int result = real(olddirfd, oldpath, newdirfd, newpath, flags);
  const int error = errno;
  AppendAfterMove(result, newpath);
  errno = error;
  return result;
}

int unlink(const char* path) {
  Log("unlink", path, nullptr);
  auto* real = Next<int(const char*)>("unlink");
  const int result = real(path);
  const int error = errno;
  Done(result);
  errno = error;
  return result;
}

ssize_t read(int fd, void* buffer, size_t size) {
  const char* end = getenv("SHELVIO_SHIM_FAIL_READ");
  if (end != nullptr && end[0] != '\0') {
    char path[PATH_MAX];
    PathOf(fd, path, sizeof path);
    const size_t length = strlen(path);
    const size_t endLength = strlen(end);
    if (length >= endLength && strcmp(path + length - endLength, end) == 0) {
      errno = EIO;
      return -1;
    }
  }
  auto* real = Next<ssize_t(int, void*, size_t)>("read");
  return real(fd, buffer, size);
}

int close(int fd) {
  static int renamed;
  const char* end = getenv("SHELVIO_SHIM_RENAME_AFTER_CLOSE_OF");
  char path[PATH_MAX] = "";
  if (!renamed && end != nullptr && end[0] != '\0') PathOf(fd, path, sizeof path);
  auto* real = Next<int(int)>("close");
  const int result = real(fd);
  if (path[0] != '\0' && EndsWith(path, end)) {
    renamed = 1;
    RenameIntruder(path);
  }
  return result;
}

int fsync(int fd) {
  char path[PATH_MAX];
  PathOf(fd, path, sizeof path);
  Log("fsync", path, nullptr);
  auto* real = Next<int(int)>("fsync");
  return real(fd);
}

}  // extern "C"
