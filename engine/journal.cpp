#include "engine/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "archive/zip_reader.h"
#include "archive/zipped_book.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/app_paths.h"
#include "engine/file_ops.h"

// Records are lines of fields separated by one space, paths as the hex of their raw bytes, so that
// a name with a newline, a space or bytes of no encoding cannot break a line:
//   B <id> <C|P|L|R|U|K|Z> <source> <destination> <temporary>   a move begins
//   E <id>                                            it is over
// The journal is emptied whenever no move of its process is under way, so it holds a handful of
// lines at most.

namespace {

constexpr char kJournalPrefix[] = "pending-";
// Nothing this big is a journal of ours; it is not read at all.
constexpr qint64 kJournalSizeLimit = 16 * 1024 * 1024;
constexpr size_t kChunk = 1 << 16;

using posix_file::FileDescriptor;
using posix_file::ParentOf;
using posix_file::ReadFull;
using posix_file::WriteAll;

QByteArray NameOf(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

// Recovery may run in another process with another current folder.
QByteArray AbsolutePath(const QByteArray& path) {
  if (path.startsWith('/')) return path;
  char folder[PATH_MAX];
  if (::getcwd(folder, sizeof folder) == nullptr) return {};
  return QByteArray(folder) + '/' + path;
}

bool HasTemporary(MoveKind kind) {
  return kind == MoveKind::CopyAcross || kind == MoveKind::Pack || kind == MoveKind::Unpack ||
         kind == MoveKind::Repack;
}

char KindLetter(MoveKind kind) {
  switch (kind) {
    case MoveKind::CopyAcross:
      return 'C';
    case MoveKind::Pack:
      return 'P';
    case MoveKind::Link:
      return 'L';
    case MoveKind::Reserve:
      return 'R';
    case MoveKind::Unpack:
      return 'U';
    case MoveKind::Claim:
      return 'K';
    case MoveKind::Repack:
      return 'Z';
  }
  return '?';
}

// The journal of this process. Never destroyed: a move may still end while the process exits.
class ProcessJournal {
 public:
  static ProcessJournal& Instance() {
    static ProcessJournal* const journal = new ProcessJournal;
    return *journal;
  }

  // Returns the record's id, or 0 when nothing could be recorded.
  quint64 Begin(MoveKind kind, const QByteArray& source, const QByteArray& destination,
                const QByteArray& temporary) {
    const QByteArray from = AbsolutePath(source);
    const QByteArray to = AbsolutePath(destination);
    const QByteArray temp = temporary.isEmpty() ? QByteArray() : AbsolutePath(temporary);
    if (from.isEmpty() || to.isEmpty() || (temp.isEmpty() && HasTemporary(kind))) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Ready()) return 0;
    const quint64 id = nextId_++;
    const QByteArray line = "B " + QByteArray::number(id) + ' ' + KindLetter(kind) + ' ' + from.toHex() +
                            ' ' + to.toHex() + ' ' + (temp.isEmpty() ? QByteArray("-") : temp.toHex()) + '\n';
    if (!Append(line)) return 0;
    ++pending_;
    return id;
  }

  void End(quint64 id) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A record begun before a fork belongs to the parent's journal, which the child leaves alone.
    if (fd_ < 0 || owner_ != ::getpid() || pending_ == 0) return;
    --pending_;
    // Emptying the journal keeps it a few lines long, and says "over" for every record at once.
    if (pending_ == 0 && ::ftruncate(fd_, 0) == 0) {
      size_ = 0;
      return;
    }
    (void)Append("E " + QByteArray::number(id) + '\n');
  }

 private:
  ProcessJournal() = default;

  // Opens the journal on first use, and anew in a forked child, which must not write into its
  // parent's file nor release its lock.
  bool Ready() {
    if (closed_) return false;
    const pid_t self = ::getpid();
    if (fd_ >= 0 && owner_ != self) {
      ::close(fd_);  // not LOCK_UN: the lock is shared with the parent and stays with it
      fd_ = -1;
      failed_ = false;
      pending_ = 0;
    }
    if (fd_ >= 0) return true;
    if (failed_) return false;
    failed_ = !Open(self);
    return !failed_;
  }

  bool Open(pid_t self) {
    const QString folder = JournalFolder();
    if (folder.isEmpty() || ForceDirectories(folder) != 0) return false;
    const QByteArray prefix = NativeName(folder) + '/' + kJournalPrefix + QByteArray::number(self) + '-';
    for (int attempt = 0; attempt < 10; ++attempt) {
      const QByteArray path = prefix + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
      const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return false;
      }
      // A recovery that looked in before the lock was taken sees an empty journal of nobody and
      // removes it; then the file has no name left and another one is made.
      struct stat info {};
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &info) == 0 && info.st_nlink > 0) {
        fd_ = fd;
        owner_ = self;
        path_ = path;
        size_ = 0;
        if (!atExitSet_) atExitSet_ = std::atexit([] { Instance().Close(); }) == 0;
        return true;
      }
      ::close(fd);
    }
    return false;
  }

  bool Append(const QByteArray& line) {
    if (WriteAll(fd_, line.constData(), static_cast<size_t>(line.size())) == 0) {
      size_ += line.size();
      return true;
    }
    // A cut line would run into the next record; take it back.
    (void)::ftruncate(fd_, size_);
    return false;
  }

  // At exit: a journal without records goes. One with records (a move still under way on some
  // thread) stays locked until the process is gone, and then is the next run's to resolve.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    if (fd_ < 0 || owner_ != ::getpid() || pending_ > 0) return;
    ::unlink(path_.constData());
    ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  int fd_ = -1;
  pid_t owner_ = 0;
  QByteArray path_;
  qint64 size_ = 0;
  quint64 nextId_ = 1;
  int pending_ = 0;
  bool failed_ = false;
  bool closed_ = false;
  bool atExitSet_ = false;
};

struct Record {
  MoveKind kind = MoveKind::CopyAcross;
  QByteArray source;
  QByteArray destination;
  QByteArray temporary;
};

bool DecodePath(const QByteArray& field, QByteArray* path) {
  if (field.isEmpty() || field.size() % 2 != 0) return false;
  // fromHex skips what is not hex; a damaged field must not turn into another path.
  for (const char c : field) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  *path = QByteArray::fromHex(field);
  return path->startsWith('/') && !path->contains('\0');
}

// The records without their end, oldest first.
std::vector<Record> OpenRecords(const QByteArray& text) {
  std::map<quint64, Record> open;
  qsizetype start = 0;
  for (qsizetype end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
    // A line without its newline was cut by the kill; a record is written before its temporary
    // file is made, so a cut record has nothing to resolve.
    const QList<QByteArray> fields = text.mid(start, end - start).split(' ');
    bool numeric = false;
    const quint64 id = fields.value(1).toULongLong(&numeric);
    if (!numeric) continue;
    if (fields.size() == 2 && fields[0] == "E") {
      open.erase(id);
    } else if (fields.size() == 6 && fields[0] == "B" && fields[2].size() == 1) {
      Record record;
      bool known = false;
      for (const MoveKind kind : {MoveKind::CopyAcross, MoveKind::Pack, MoveKind::Link, MoveKind::Reserve,
                                  MoveKind::Unpack, MoveKind::Claim, MoveKind::Repack}) {
        if (fields[2][0] != KindLetter(kind)) continue;
        record.kind = kind;
        known = true;
      }
      const bool temporaryRead =
          HasTemporary(record.kind) ? DecodePath(fields[5], &record.temporary) : fields[5] == "-";
      if (known && temporaryRead && DecodePath(fields[3], &record.source) &&
          DecodePath(fields[4], &record.destination))
        open[id] = record;
    }
  }
  std::vector<Record> records;
  for (auto& [id, record] : open) records.push_back(record);
  return records;
}

// The names the moves give their temporary files: ".shelvio-" and 8 letters or digits for a copy
// (an undo's unpacked book too), ".zip-" and 16 hex digits and ".tmp" for an archive.
bool IsTemporaryName(const QByteArray& name, MoveKind kind) {
  const bool copy = kind == MoveKind::CopyAcross || kind == MoveKind::Unpack;
  const QByteArray prefix = copy ? ".shelvio-" : ".zip-";
  const QByteArray suffix = copy ? "" : ".tmp";
  const qsizetype letters = copy ? 8 : 16;
  if (name.size() != prefix.size() + letters + suffix.size() || !name.startsWith(prefix) ||
      !name.endsWith(suffix))
    return false;
  const QByteArray middle = name.mid(prefix.size(), letters);
  return std::all_of(middle.begin(), middle.end(), [copy](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
           (copy && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')));
  });
}

// Only what the moves themselves make: a hidden name beside the destination, and for a pack the
// book's own name with ".zip". A record that says otherwise is damaged and resolves nothing.
bool Plausible(const Record& r) {
  if (r.source == r.destination) return false;
  // A claim's hidden name stands beside the archive it took.
  if (r.kind == MoveKind::Claim)
    return r.temporary.isEmpty() && IsTemporaryName(NameOf(r.destination), MoveKind::CopyAcross) &&
           ParentOf(r.destination) == ParentOf(r.source);
  if (!HasTemporary(r.kind)) return r.temporary.isEmpty();
  if (!IsTemporaryName(NameOf(r.temporary), r.kind)) return false;
  if (ParentOf(r.temporary) != ParentOf(r.destination)) return false;
  if (r.kind == MoveKind::Repack) return r.destination.endsWith(".zip");
  return r.kind != MoveKind::Pack || r.destination == r.source + ".zip";
}

void RemoveTemporary(const QByteArray& path) {
  struct stat info {};
  // A link or anything but a plain file at that name is not the file the move made.
  if (::lstat(path.constData(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(path.constData());
}

// A plain file opened without following a link at its last component; -1 for anything else.
int OpenPlainFile(const QByteArray& path, struct stat* info) {
  FileDescriptor fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid() || ::fstat(fd.Get(), info) != 0 || !S_ISREG(info->st_mode)) return -1;
  return fd.Release();
}

// Compares what is fed to it with the source's bytes, in order, to the last byte.
class SourceMatch {
 public:
  SourceMatch(int fd, uint64_t size) : fd_(fd), remaining_(size), buffer_(new unsigned char[kChunk]) {}

  bool Feed(const unsigned char* data, size_t size) {
    while (size > 0) {
      const size_t step = std::min(size, kChunk);
      if (step > remaining_ || ReadFull(fd_, buffer_.get(), step) != step ||
          std::memcmp(buffer_.get(), data, step) != 0)
        return false;
      remaining_ -= step;
      data += step;
      size -= step;
    }
    return true;
  }
  bool Complete() const { return remaining_ == 0; }

 private:
  int fd_;
  uint64_t remaining_;
  std::unique_ptr<unsigned char[]> buffer_;
};

bool CopyMatches(int copy, uint64_t size, SourceMatch& match) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  uint64_t read = 0;
  while (read < size) {
    const size_t got =
        ReadFull(copy, buffer.get(), static_cast<size_t>(std::min<uint64_t>(kChunk, size - read)));
    if (got == 0 || !match.Feed(buffer.get(), got)) return false;
    read += got;
  }
  unsigned char extra;
  return ReadFull(copy, &extra, 1) == 0 && match.Complete();
}

// True when the archive's single entry unpacks to exactly the source's bytes with a matching CRC.
bool ArchiveMatches(int archive, uint64_t archiveSize, uint64_t sourceSize, SourceMatch& match) {
  return UnpackSingleEntry(
             archive, archiveSize, sourceSize,
             [&match](const unsigned char* data, size_t size) { return match.Feed(data, size); }) &&
         match.Complete();
}

// Removes path while it still names the file examined as `was`.
void UnlinkIfStill(const QByteArray& path, const struct stat& was) {
  struct stat now {};
  if (::lstat(path.constData(), &now) == 0 && now.st_dev == was.st_dev && now.st_ino == was.st_ino)
    ::unlink(path.constData());
}

// Inflates the book packed in the archive open at fd (one from anywhere, read through libzip) and
// hands its bytes to consume in order. True only when every byte was taken and the CRC matched.
bool InflatePackedBook(const QByteArray& path, int fd,
                       const std::function<bool(const unsigned char*, size_t)>& consume) {
  ZippedBook book;
  if (!book.Open(QFile::decodeName(path), fd) || !book.Rewind()) return false;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const int64_t got = book.Read(buffer.get(), kChunk);
    if (got <= 0) return got == 0;
    if (!consume(reinterpret_cast<const unsigned char*>(buffer.get()), static_cast<size_t>(got)))
      return false;
  }
}

// True when the archive at destination, a packed book's repack, holds exactly the book of the
// source archive's entry, both inflated and CRC-checked.
bool RepackMatches(const Record& r, int source, int destination) {
  ZippedBook book;
  if (!book.Open(QFile::decodeName(r.source), source) || !book.Rewind()) return false;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  const auto sameAsSource = [&](const unsigned char* data, size_t size) {
    while (size > 0) {
      const int64_t got = book.Read(buffer.get(), static_cast<int64_t>(std::min(size, kChunk)));
      if (got <= 0 || std::memcmp(buffer.get(), data, static_cast<size_t>(got)) != 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  };
  // The source's end is only reported once its CRC has been checked.
  return InflatePackedBook(r.destination, destination, sameAsSource) && book.Read(buffer.get(), 1) == 0;
}

// Removes the source only when the destination holds exactly its bytes: a complete copy, or an
// archive whose one entry unpacks to them (for a repack, to the book of the source's). Anything
// else leaves both.
void RemoveSourceIfInPlace(const Record& r) {
  struct stat sourceInfo {
  }, destinationInfo{};
  const FileDescriptor source(OpenPlainFile(r.source, &sourceInfo));
  const FileDescriptor destination(OpenPlainFile(r.destination, &destinationInfo));
  if (!source.Valid() || !destination.Valid()) return;
  // One file under two names is one copy, not two.
  if (sourceInfo.st_dev == destinationInfo.st_dev && sourceInfo.st_ino == destinationInfo.st_ino) return;
  const uint64_t sourceSize = static_cast<uint64_t>(sourceInfo.st_size);
  const uint64_t destinationSize = static_cast<uint64_t>(destinationInfo.st_size);
  SourceMatch match(source.Get(), sourceSize);
  const bool inPlace =
      r.kind == MoveKind::Repack ? RepackMatches(r, source.Get(), destination.Get())
      : r.kind == MoveKind::Pack
          ? ArchiveMatches(destination.Get(), destinationSize, sourceSize, match)
          : destinationSize == sourceSize && CopyMatches(destination.Get(), destinationSize, match);
  if (!inPlace) return;
  // The name must still be the file just compared.
  UnlinkIfStill(r.source, sourceInfo);
}

// A pack that the writer gave up on publishes an archive of no entries, which the step removes a
// moment later; killed in between, it would make the book's archive name look taken for good. An
// archive of exactly no entries holds nothing and goes, while the book it was for is still there.
void RemoveEmptyArchive(const Record& r) {
  if (r.kind != MoveKind::Pack && r.kind != MoveKind::Repack) return;
  struct stat sourceInfo {
  }, archiveInfo{};
  const FileDescriptor source(OpenPlainFile(r.source, &sourceInfo));
  const FileDescriptor archive(OpenPlainFile(r.destination, &archiveInfo));
  // An empty file is what a publish by reservation leaves when it is killed before its rename.
  if (!source.Valid() || !archive.Valid() ||
      (archiveInfo.st_size != 0 &&
       !IsEmptyArchive(archive.Get(), static_cast<uint64_t>(archiveInfo.st_size))))
    return;
  struct stat now {};
  if (::lstat(r.destination.constData(), &now) != 0 || now.st_dev != archiveInfo.st_dev ||
      now.st_ino != archiveInfo.st_ino)
    return;
  ::unlink(r.destination.constData());
}

// An undo's unpack published and its archive not yet removed: the archive goes once the book holds
// exactly the bytes of its one entry.
void RemoveUnpackedArchive(const Record& r) {
  struct stat archiveInfo {
  }, bookInfo{};
  const FileDescriptor archive(OpenPlainFile(r.source, &archiveInfo));
  const FileDescriptor book(OpenPlainFile(r.destination, &bookInfo));
  if (!archive.Valid() || !book.Valid()) return;
  const uint64_t bookSize = static_cast<uint64_t>(bookInfo.st_size);
  SourceMatch match(book.Get(), bookSize);
  if (!ArchiveMatches(archive.Get(), static_cast<uint64_t>(archiveInfo.st_size), bookSize, match)) {
    // A run unpacks archives from anywhere, which the reader of our own may not read.
    SourceMatch again(book.Get(), bookSize);
    if (::lseek(book.Get(), 0, SEEK_SET) != 0 ||
        !InflatePackedBook(
            r.source, archive.Get(),
            [&again](const unsigned char* data, size_t size) { return again.Feed(data, size); }) ||
        !again.Complete())
      return;
  }
  UnlinkIfStill(r.source, archiveInfo);
}

// A hard link made and its first name not yet removed: one file under two names, which goes on
// under the destination's.
void RemoveFirstName(const Record& r) {
  struct stat source {
  }, destination{};
  if (::lstat(r.source.constData(), &source) != 0 || ::lstat(r.destination.constData(), &destination) != 0)
    return;
  if (!S_ISREG(source.st_mode) || source.st_dev != destination.st_dev || source.st_ino != destination.st_ino)
    return;
  ::unlink(r.source.constData());
}

// A name reserved and the book not yet renamed over it: an empty file under a final name, while
// the book is still where it was.
void RemoveReservation(const Record& r) {
  struct stat source {
  }, destination{};
  if (::lstat(r.source.constData(), &source) != 0 || ::lstat(r.destination.constData(), &destination) != 0)
    return;
  if (!S_ISREG(source.st_mode) || !S_ISREG(destination.st_mode) || destination.st_size != 0 ||
      (source.st_dev == destination.st_dev && source.st_ino == destination.st_ino))
    return;
  ::unlink(r.destination.constData());
}

// A claimed archive goes back under its name, unless someone has taken that name meanwhile: then
// it stays where it is rather than replace anything.
void PutClaimBack(const Record& r) {
  struct stat claimed {};
  if (::lstat(r.destination.constData(), &claimed) != 0 || !S_ISREG(claimed.st_mode)) return;
  posix_file::RenameNoReplace(r.destination, r.source);
}

void Resolve(const Record& record) {
  if (!Plausible(record)) return;
  switch (record.kind) {
    case MoveKind::CopyAcross:
    case MoveKind::Pack:
    case MoveKind::Repack:
      // Never the only copy: the source goes only after the final name exists.
      RemoveTemporary(record.temporary);
      RemoveSourceIfInPlace(record);
      RemoveEmptyArchive(record);
      break;
    case MoveKind::Link:
      RemoveFirstName(record);
      break;
    case MoveKind::Reserve:
      RemoveReservation(record);
      break;
    case MoveKind::Unpack:
      RemoveTemporary(record.temporary);
      RemoveUnpackedArchive(record);
      break;
    case MoveKind::Claim:
      PutClaimBack(record);
      break;
  }
}

// Resolves one journal if its process is gone, then removes it.
void RecoverJournal(const QByteArray& path) {
  FileDescriptor journal(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!journal.Valid() || ::fstat(journal.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  // Held: its process is alive (this one's own journal too).
  if (::flock(journal.Get(), LOCK_EX | LOCK_NB) != 0) return;
  // Resolved and removed by another run between the listing and the lock.
  if (::fstat(journal.Get(), &info) != 0 || info.st_nlink == 0) return;
  if (info.st_size <= kJournalSizeLimit) {
    QByteArray text(static_cast<qsizetype>(info.st_size), Qt::Uninitialized);
    const size_t got = ReadFull(journal.Get(), reinterpret_cast<unsigned char*>(text.data()),
                                static_cast<size_t>(text.size()));
    text.truncate(static_cast<qsizetype>(got));
    for (const Record& record : OpenRecords(text)) Resolve(record);
  }
  // Removed while still locked, so that no other run reads it after this one.
  ::unlink(path.constData());
}

}  // namespace

void JournalledMove::Begin(MoveKind kind, const QByteArray& source, const QByteArray& destination,
                           const QByteArray& temporary) {
  End();
  try {
    id_ = ProcessJournal::Instance().Begin(kind, source, destination, temporary);
  } catch (...) {
    id_ = 0;  // out of memory, say: the move goes on unrecorded
  }
}

void JournalledMove::End() {
  if (id_ == 0) return;
  const quint64 id = id_;
  id_ = 0;
  try {
    ProcessJournal::Instance().End(id);
  } catch (...) {
  }
}

QString JournalFolder() { return StateFolder(); }

void RecoverInterruptedMoves() {
  try {
    const QString folder = JournalFolder();
    if (folder.isEmpty()) return;
    const QByteArray folderName = NativeName(folder);
    std::vector<QByteArray> journals;
    if (DIR* dir = ::opendir(folderName.constData())) {
      while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kJournalPrefix, sizeof kJournalPrefix - 1) == 0)
          journals.push_back(folderName + '/' + entry->d_name);
      }
      ::closedir(dir);
    }
    for (const QByteArray& path : journals) RecoverJournal(path);
  } catch (...) {
    // A failure to recover is no reason to stop a run: what is left stays for the next one.
  }
}
