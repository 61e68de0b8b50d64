#include "archive/zip_writer.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "archive/zip_format.h"
#include "archive/zip_headers.h"
#include "base/native_name.h"
#include "base/posix_file.h"

namespace {

using namespace zip_format;
using posix_file::FileDescriptor;
using posix_file::PWriteAll;
using posix_file::ReadFull;
using posix_file::WriteAll;

constexpr uint32_t kPendingCrc = 0xFFFFFFFF;

constexpr int kErrInvalidMode = 5;
constexpr int kErrBlankName = 10;
constexpr int kErrNotOpen = 13;
constexpr int kErrCannotOpen = 33;
constexpr int kErrInvalidSize = 34;
constexpr int kErrCompressedTooLarge = 41;
constexpr int kErrTooLarge = 43;
constexpr int kErrWriteStream = 46;
constexpr int kErrNameTooLong = 61;
constexpr int kErrDiskFull = 65;

const char kStreamWriteError[] = "Stream write error";
const char kCompressionError[] = "error";

// Finding files and creating entries is serialised across all writers of the process.
std::mutex& ProcessLock() {
  static std::mutex lock;
  return lock;
}

QString SystemText(int error) {
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not live in buffer.
  return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

EZipWriterError WriterError(const QString& writerName, int code, const QString& text, bool withName = true) {
  QString message;
  if (withName && !writerName.isEmpty()) message = writerName + QStringLiteral(": ");
  message += text + QStringLiteral(" - Native error: ") + QStringLiteral("%1").arg(code, 5, 10, QChar('0'));
  return EZipWriterError(message, code);
}

ShelvioError CannotCreate(const QString& path, int error) {
  return ShelvioError(ShelvioError::Kind::Archive,
                      QStringLiteral("Cannot create file \"%1\". %2").arg(path, SystemText(error)));
}

struct DosDateTime {
  uint16_t time = 0;
  uint16_t date = 0;
};

// MS-DOS time keeps two-second steps and years 1980 to 2107 only.
bool ToDos(time_t when, DosDateTime* out) {
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return false;
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  out->time = static_cast<uint16_t>(local.tm_hour * 2048 + local.tm_min * 32 + local.tm_sec / 2);
  out->date = static_cast<uint16_t>((year - 1980) * 512 + (local.tm_mon + 1) * 32 + local.tm_mday);
  return true;
}

DosDateTime ModificationTime(const struct stat* info) {
  DosDateTime result;
  if (info != nullptr && ToDos(info->st_mtim.tv_sec, &result)) return result;
  (void)ToDos(std::time(nullptr), &result);
  return result;
}

struct ModeProperties {
  uint16_t method;
  size_t chunk;
};

ModeProperties PropertiesOfMode(int mode) {
  if (mode == 0) return {kMethodStored, 0x100000};
  if (mode <= 3) return {kMethodDeflated, 0x80000};
  if (mode <= 6) return {kMethodDeflated, 0x100000};
  return {kMethodDeflated, 0x180000};
}

// One directory entry: the central directory header fields and what is needed to write its data.
struct ZipEntry {
  const ZipRawEntry* raw = nullptr;  // copied as it stands rather than read from sourcePath
  QString storedName;
  QByteArray nameBytes;
  QString sourcePath;
  int mode = 6;
  bool pending = true;
  uint16_t flags = 0;
  uint16_t method = kMethodDeflated;
  DosDateTime modified;
  uint32_t crc = kPendingCrc;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint32_t externalAttributes = 0;
  uint32_t localHeaderOffset = 0;

  uint64_t DataEnd() const {
    return uint64_t{localHeaderOffset} + kLocalHeaderSize + static_cast<uint64_t>(nameBytes.size()) +
           compressedSize;
  }
};

// Printable ASCII goes as it is with bit 11 clear; anything else as UTF-8 with bit 11 set. A
// book's name that is not UTF-8 (windows-1251 bytes, say) is stored as a person reads it, so
// that every unzip shows it readably.
void EncodeName(ZipEntry* entry) {
  if (HasForeignBytes(entry->storedName)) entry->storedName = DisplayName(entry->storedName);
  const bool plain = std::all_of(entry->storedName.cbegin(), entry->storedName.cend(),
                                 [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7E; });
  entry->nameBytes = plain ? entry->storedName.toLatin1() : entry->storedName.toUtf8();
  entry->flags = plain ? 0 : kFlagUtf8Name;
}

// The entry as its headers say it, built by the builder that the rebuild of archives for an undo
// uses too, so that a rebuilt archive is the one this writer made.
ZipHeaderFields HeaderFieldsOf(const ZipEntry& entry) {
  ZipHeaderFields fields;
  fields.flags = entry.flags;
  fields.method = entry.method;
  fields.dosTime = entry.modified.time;
  fields.dosDate = entry.modified.date;
  fields.crc = entry.crc;
  fields.compressedSize = entry.compressedSize;
  fields.size = entry.uncompressedSize;
  fields.nameSize = static_cast<uint16_t>(entry.nameBytes.size());
  fields.externalAttributes = entry.externalAttributes;
  fields.localHeaderOffset = entry.localHeaderOffset;
  return fields;
}

void AppendCentralHeader(const ZipEntry& entry, std::vector<unsigned char>* out) {
  unsigned char h[kCentralHeaderSize];
  FillCentralHeader(HeaderFieldsOf(entry), h);
  out->insert(out->end(), h, h + kCentralHeaderSize);
  out->insert(out->end(), entry.nameBytes.cbegin(), entry.nameBytes.cend());
}

// The MS-DOS attribute word of a file: archive always, read-only when its owner may not write it.
uint32_t AttributesOf(const struct stat& info, const QString& name) {
  uint32_t attributes = kAttrArchive;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  if (S_ISDIR(info.st_mode)) attributes |= kAttrDirectory;
  if (name.startsWith(QLatin1Char('.'))) attributes |= kAttrHidden;
  return attributes;
}

// An entry's external attributes as a Unix host writes them: the file's mode in the high half, for
// the readers that restore it, and the MS-DOS attribute word in the low half, for the others. Only
// the permission bits travel: an extracted book must never come out set-user-ID.
uint32_t ExternalAttributes(const struct stat& info, const QString& name) {
  const uint32_t mode = S_IFREG | (info.st_mode & 0777);
  return mode << 16 | AttributesOf(info, name);
}

// A raw deflate stream kept across entries; deflateReset is far cheaper than a new stream per book.
class DeflateStream {
 public:
  DeflateStream() = default;
  ~DeflateStream() { End(); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Raw deflate (negative window bits) gives exactly the bytes a zlib stream holds between its
  // two-byte header and its Adler-32 trailer, without computing the checksum that would be dropped.
  void Start(int level) {
    if (ready_ && level_ == level) {
      if (deflateReset(&stream_) != Z_OK) throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
      return;
    }
    End();
    stream_ = z_stream{};
    if (deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
    ready_ = true;
    level_ = level;
  }
  z_stream* Get() { return &stream_; }

 private:
  void End() {
    if (ready_) deflateEnd(&stream_);
    ready_ = false;
  }
  z_stream stream_{};
  bool ready_ = false;
  int level_ = -1;
};

// A buffer that keeps its memory between entries and never zero-fills it.
class ByteBuffer {
 public:
  unsigned char* Reserve(size_t size) {
    if (size > capacity_) {
      data_.reset(new unsigned char[size]);
      capacity_ = size;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t capacity_ = 0;
};

QString NewTemporaryName() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t mix = stamp ^ (uint64_t{static_cast<uint32_t>(::getpid())} << 40) ^
                       (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  return QStringLiteral(".zip-%1.tmp").arg(mix, 16, 16, QChar('0'));
}

// A raw entry's bytes did not come as described: the entry is rolled back and AddRaw says so.
struct RawSourceFailed {};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

struct TZipWriter::Impl {
  explicit Impl(const QString& name) : writerName(name) {}

  const QString writerName;
  FileDescriptor archive;
  QString finalPath;  // absolute, as messages show it
  QByteArray finalName;
  QByteArray temporaryName;
  QByteArray folderName;
  bool published = false;
  bool keepExisting = false;
  // A rollback failed: the file holds no consistent archive and must never be put in place.
  bool broken = false;
  std::vector<ZipEntry> directory;

  ByteBuffer input;
  ByteBuffer output;
  std::vector<unsigned char> directoryBytes;
  DeflateStream deflate;

  int Fd() const { return archive.Get(); }

  EZipWriterError Error(int code, const QString& text, bool withName = true) const {
    return WriterError(writerName, code, text, withName);
  }

  ShelvioError CannotWrite(int error) const {
    return ShelvioError(ShelvioError::Kind::Archive,
                        QStringLiteral("Cannot write file \"%1\". %2").arg(finalPath, SystemText(error)));
  }

  void Truncate(off_t size) {
    if (::ftruncate(Fd(), size) != 0 || ::lseek(Fd(), size, SEEK_SET) != size) throw CannotWrite(errno);
  }

  void Flush() {
    if (::fsync(Fd()) != 0) throw CannotWrite(errno);
  }

  // Puts the complete, flushed archive under its final name. When existing entries are kept, the
  // name must still be free: an entry that appeared there meanwhile is someone's, and stays.
  void Publish() {
    if (published) return;
    if (keepExisting) {
      if (const int error = posix_file::RenameNoReplace(temporaryName, finalName))
        throw CannotCreate(finalPath, error);
    } else if (::rename(temporaryName.constData(), finalName.constData()) != 0) {
      throw CannotCreate(finalPath, errno);
    }
    published = true;
    // The rename itself must be durable before the run deletes the book it holds.
    (void)posix_file::SyncFolder(folderName);
  }

  // Looks the mask up as one path and puts an entry for it in the directory when it qualifies.
  void FindEntries(const QString& mask, uint32_t searchAttributes, const QString& excludeMask, int mode) {
    QString path = AbsolutePath(mask);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    if (path.endsWith(QLatin1String("/.")) && path.size() > 2) path.chop(2);
    const QString name = path.section(QLatin1Char('/'), -1);
    if (name.isEmpty()) return;
    const QByteArray encoded = NativeName(path);

    struct stat info {};
    bool tooLong = false;
    if (::stat(encoded.constData(), &info) != 0) {
      // A name the system cannot even look up is reported by the entry writing (too long)
      // rather than passed over as if the book were missing.
      if (errno != ENAMETOOLONG) return;
      tooLong = true;
    }
    const uint32_t attributes = tooLong ? kAttrArchive : AttributesOf(info, name);
    if ((attributes & (kAttrHidden | kAttrSystem | kAttrDirectory)) & ~searchAttributes) return;

    // Never take the archive into itself, neither the one being written nor the one it replaces.
    if (path == finalPath) return;
    if (!tooLong) {
      struct stat own {};
      if (::fstat(Fd(), &own) == 0 && SameFile(own, info)) return;
      if (::stat(finalName.constData(), &own) == 0 && SameFile(own, info)) return;
    }
    if (!excludeMask.isEmpty()) {
      const QByteArray pattern = NativeName(excludeMask);
      if (::fnmatch(pattern.constData(), encoded.constData(), FNM_CASEFOLD) == 0 ||
          ::fnmatch(pattern.constData(), NativeName(name).constData(), FNM_CASEFOLD) == 0)
        return;
    }

    ZipEntry entry;
    entry.storedName = name;
    EncodeName(&entry);
    entry.sourcePath = path;
    entry.mode = mode;
    entry.modified = ModificationTime(tooLong ? nullptr : &info);
    entry.uncompressedSize =
        tooLong ? 0
                : static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(info.st_size), kZip32Limit));
    const auto same = std::find_if(directory.begin(), directory.end(),
                                   [&](const ZipEntry& e) { return e.storedName == name; });
    if (same != directory.end())
      *same = entry;
    else
      directory.push_back(entry);
  }

  // Where the data of the entries written before this add end; new data and the directory go
  // there. The copy counts an entry that the add replaces, so a rollback still finds its data.
  static off_t CommittedEnd(const std::vector<ZipEntry>& rollbackCopy) {
    uint64_t end = 0;
    for (const ZipEntry& entry : rollbackCopy) end = std::max(end, entry.DataEnd());
    return static_cast<off_t>(end);
  }

  // Writes the pending entries, the central directory and the end record, flushes and puts the
  // archive in place. Returns the entries written; rolls back before any error leaves.
  int Commit(const std::vector<ZipEntry>& rollbackCopy, ZipFilePrompt* prompt) {
    const off_t start = CommittedEnd(rollbackCopy);
    try {
      Truncate(start);
      int written = 0;
      for (size_t i = 0; i < directory.size();) {
        if (!directory[i].pending) {
          ++i;
          continue;
        }
        const EntryOutcome outcome = WriteEntryWithPrompt(directory[i], prompt);
        if (outcome == EntryOutcome::Written) {
          directory[i].pending = false;
          ++written;
          ++i;
        } else if (outcome == EntryOutcome::Ignored) {
          directory.erase(directory.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          RollBack(rollbackCopy, start);
          return 0;
        }
      }
      WriteCentralDirectory();
      Flush();
      Publish();
      return written;
    } catch (...) {
      try {
        RollBack(rollbackCopy, start);
      } catch (...) {
        broken = true;
      }
      throw;
    }
  }

  enum class EntryOutcome { Written, Ignored, Aborted };

  // Writes one entry, asking the prompt after each failure of the writer's own kind.
  EntryOutcome WriteEntryWithPrompt(ZipEntry& entry, ZipFilePrompt* prompt) {
    for (;;) {
      const off_t attemptStart = ::lseek(Fd(), 0, SEEK_CUR);
      if (attemptStart < 0) throw CannotWrite(errno);
      try {
        WriteEntry(entry);
        return EntryOutcome::Written;
      } catch (const EZipWriterError& error) {
        // Cut off what the failed attempt wrote: otherwise it stays as dead bytes, and on a full
        // disk an Ignore could not even write the central directory behind them.
        Truncate(attemptStart);
        const bool retryOffered = error.NativeCode() != kErrNameTooLong;
        const QString text =
            retryOffered ? error.Message() + QStringLiteral(". File processing error, possibly disk is full")
                         : error.Message();
        const ZipPromptAnswer answer =
            prompt != nullptr ? prompt->Ask(text, error, retryOffered) : ZipPromptAnswer::Abort;
        if (answer == ZipPromptAnswer::Retry && retryOffered) continue;
        if (answer == ZipPromptAnswer::Ignore) return EntryOutcome::Ignored;
        return EntryOutcome::Aborted;
      }
    }
  }

  // Empties the archive back to its state before the add: the copy's entries and its directory.
  void RollBack(const std::vector<ZipEntry>& rollbackCopy, off_t start) {
    directory = rollbackCopy;
    Truncate(start);
    WriteCentralDirectory();
    Flush();
    Publish();
  }

  void WriteCentralDirectory() {
    const off_t end = ::lseek(Fd(), 0, SEEK_END);
    if (end < 0) throw CannotWrite(errno);
    std::vector<unsigned char>& bytes = directoryBytes;
    bytes.clear();
    for (const ZipEntry& entry : directory) AppendCentralHeader(entry, &bytes);
    if (static_cast<uint64_t>(end) + bytes.size() >= kZip32Limit)
      throw Error(kErrTooLarge,
                  QStringLiteral("Cannot compress file '%1'. Zip64 mode is not enabled").arg(finalPath));
    if (WriteAll(Fd(), bytes.data(), bytes.size()) != 0)
      throw Error(kErrWriteStream, QStringLiteral("Write to stream error"));
    unsigned char record[kEndRecordSize];
    FillEndRecord(static_cast<uint16_t>(directory.size()), static_cast<uint32_t>(bytes.size()),
                  static_cast<uint32_t>(end), record);
    if (WriteAll(Fd(), record, kEndRecordSize) != 0)
      throw ShelvioError(ShelvioError::Kind::Archive, kStreamWriteError);
  }

  EZipWriterError NameTooLong(const ZipEntry& entry) const {
    return Error(kErrNameTooLong, QStringLiteral("File name is too long: \r\n\"%1\"").arg(entry.sourcePath));
  }

  EZipWriterError TooLarge(const ZipEntry& entry, int code) const {
    return Error(
        code, QStringLiteral("Cannot compress file '%1'. Zip64 mode is not enabled").arg(entry.sourcePath));
  }

  // Copies a raw entry's compressed bytes behind its header, which already holds its CRC-32 and
  // sizes. Throws RawSourceFailed when the bytes do not come as described.
  void WriteRawEntry(ZipEntry& entry) {
    const ZipRawEntry& raw = *entry.raw;
    const off_t position = ::lseek(Fd(), 0, SEEK_CUR);
    if (position < 0) throw CannotWrite(errno);
    if (raw.size >= kZip32Limit || raw.compressedSize >= kZip32Limit ||
        static_cast<uint64_t>(position) >= kZip32Limit)
      throw TooLarge(entry, kErrTooLarge);
    entry.localHeaderOffset = static_cast<uint32_t>(position);
    unsigned char header[kLocalHeaderSize];
    FillLocalHeader(HeaderFieldsOf(entry), header);
    const auto* name = reinterpret_cast<const unsigned char*>(entry.nameBytes.constData());
    if (WriteAll(Fd(), header, kLocalHeaderSize) != 0 ||
        WriteAll(Fd(), name, static_cast<size_t>(entry.nameBytes.size())) != 0)
      throw ShelvioError(ShelvioError::Kind::Archive, kStreamWriteError);
    if (!raw.rewind()) throw RawSourceFailed();
    constexpr size_t kChunk = 0x100000;
    unsigned char* buffer = input.Reserve(kChunk);
    uint64_t copied = 0;
    for (;;) {
      const int64_t count = raw.read(reinterpret_cast<char*>(buffer), kChunk);
      if (count < 0) throw RawSourceFailed();
      if (count == 0) break;
      copied += static_cast<uint64_t>(count);
      if (copied > raw.compressedSize) throw RawSourceFailed();
      WriteData(buffer, static_cast<size_t>(count));
    }
    if (copied != raw.compressedSize) throw RawSourceFailed();
  }

  void WriteEntry(ZipEntry& entry) {
    if (entry.raw != nullptr) return WriteRawEntry(entry);
    const QByteArray path = NativeName(entry.sourcePath);
    if (path.size() >= PATH_MAX) throw NameTooLong(entry);
    // O_NONBLOCK keeps a FIFO from hanging the open; it is refused below like any non-regular file.
    FileDescriptor source(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!source.Valid() && errno == ENAMETOOLONG) throw NameTooLong(entry);
    struct stat info {};
    if (!source.Valid() || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode))
      throw Error(kErrCannotOpen, QStringLiteral("Cannot open file \"%1\"").arg(entry.sourcePath));
    (void)::posix_fadvise(source.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // Attributes and time describe the file actually written: after a Retry it may not be the one
    // the search saw (a folder then would turn the entry into a folder for every reader).
    entry.externalAttributes = ExternalAttributes(info, entry.storedName);
    entry.modified = ModificationTime(&info);

    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const off_t position = ::lseek(Fd(), 0, SEEK_CUR);
    if (position < 0) throw CannotWrite(errno);
    if (size >= kZip32Limit || static_cast<uint64_t>(position) >= kZip32Limit)
      throw TooLarge(entry, kErrTooLarge);

    entry.localHeaderOffset = static_cast<uint32_t>(position);
    entry.method = PropertiesOfMode(entry.mode).method;
    entry.crc = kPendingCrc;
    entry.compressedSize = 0;
    entry.uncompressedSize = static_cast<uint32_t>(size);
    unsigned char header[kLocalHeaderSize];
    FillLocalHeader(HeaderFieldsOf(entry), header);
    const auto* name = reinterpret_cast<const unsigned char*>(entry.nameBytes.constData());
    const auto nameSize = static_cast<size_t>(entry.nameBytes.size());
    if (WriteAll(Fd(), header, kLocalHeaderSize) != 0 || WriteAll(Fd(), name, nameSize) != 0)
      throw ShelvioError(ShelvioError::Kind::Archive, kStreamWriteError);

    Compress(source.Get(), size, entry);

    // local header again, with the final method, CRC-32 and sizes: no data descriptor follows the data
    FillLocalHeader(HeaderFieldsOf(entry), header);
    if (!PWriteAll(Fd(), header, kLocalHeaderSize, position))
      throw ShelvioError(ShelvioError::Kind::Archive, kStreamWriteError);
  }

  void WriteData(const unsigned char* data, size_t size) {
    if (WriteAll(Fd(), data, size) != 0)
      throw Error(kErrDiskFull, QStringLiteral("Disk is full. There is not enough free space on disk."),
                  false);
  }

  // Deflates one chunk, Z_FINISH for the last one and Z_SYNC_FLUSH otherwise, and writes the output.
  void DeflateChunk(unsigned char* data, size_t size, bool last, unsigned char* out, size_t outSize,
                    uint64_t* written) {
    z_stream* stream = deflate.Get();
    stream->next_in = data;
    stream->avail_in = static_cast<uInt>(size);
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      stream->next_out = out;
      stream->avail_out = static_cast<uInt>(outSize);
      const int result = ::deflate(stream, flush);
      if (result < 0 && result != Z_BUF_ERROR)
        throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
      const size_t produced = outSize - stream->avail_out;
      WriteData(out, produced);
      *written += produced;
      if (result == Z_STREAM_END) return;
      if (stream->avail_in == 0 && stream->avail_out != 0) {
        // A finishing call that leaves room in the output must have ended the stream.
        if (last) throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
        return;
      }
      if (result == Z_BUF_ERROR) throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
    }
  }

  void Compress(int source, uint64_t size, ZipEntry& entry) {
    const ModeProperties properties = PropertiesOfMode(entry.mode);
    const size_t bufferSize = static_cast<size_t>(std::min<uint64_t>(size, properties.chunk));
    unsigned char* in = input.Reserve(std::max<size_t>(bufferSize, 1));
    // Room for one chunk's output: the chunk plus a tenth plus 12, in whole 256-byte pages.
    const size_t outSize = (bufferSize + bufferSize / 10 + 12 + 255) / 256 * 256;
    const bool deflating = properties.method == kMethodDeflated && size > 0;
    unsigned char* out = nullptr;
    if (deflating) {
      out = output.Reserve(outSize);
      deflate.Start(entry.mode);
    }

    uLong crc = crc32(0, Z_NULL, 0);
    uint64_t read = 0;
    uint64_t written = 0;
    while (read < size) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(properties.chunk, size - read));
      if (ReadFull(source, in, k) != k) break;
      crc = crc32(crc, in, static_cast<uInt>(k));
      if (deflating) {
        DeflateChunk(in, k, read + k == size, out, outSize, &written);
      } else {
        WriteData(in, k);
        written += k;
      }
      read += k;
    }
    // A stream that was sync-flushed but never finished: the source shrank after its first chunk.
    if (deflating && read > 0 && read < size)
      throw ShelvioError(ShelvioError::Kind::Archive, kCompressionError);
    if (read != size)
      throw Error(kErrInvalidSize,
                  QStringLiteral("Invalid compressed size, rfs.size = %1, count = %2").arg(size).arg(read));
    if (written >= kZip32Limit) throw TooLarge(entry, kErrCompressedTooLarge);

    entry.crc = size == 0 ? 0 : static_cast<uint32_t>(crc);
    entry.compressedSize = static_cast<uint32_t>(written);
    entry.uncompressedSize = static_cast<uint32_t>(size);
    if (size == 0) entry.method = kMethodStored;
  }
};

TZipWriter::TZipWriter(const QString& name) : name_(name), impl_(std::make_unique<Impl>(name)) {}

TZipWriter::~TZipWriter() { Close(); }

ZipCompressionLevel TZipWriter::CompressionLevel() const {
  if (compressionMode_ == 0) return ZipCompressionLevel::clNone;
  if (compressionMode_ <= 3) return ZipCompressionLevel::clFastest;
  if (compressionMode_ <= 6) return ZipCompressionLevel::clNormal;
  return ZipCompressionLevel::clMax;
}

void TZipWriter::SetCompressionLevel(ZipCompressionLevel level) {
  switch (level) {
    case ZipCompressionLevel::clNone:
      compressionMode_ = 0;
      break;
    case ZipCompressionLevel::clFastest:
      compressionMode_ = 1;
      break;
    case ZipCompressionLevel::clNormal:
      compressionMode_ = 6;
      break;
    case ZipCompressionLevel::clMax:
      compressionMode_ = 9;
      break;
  }
}

void TZipWriter::SetCompressionMode(int mode) {
  // Negative modes are refused too: no deflate level stands for them.
  if (mode < 0 || mode > 9)
    throw WriterError(name_, kErrInvalidMode,
                      QStringLiteral("Invalid compression mode. Mode must be in [0-9] range"));
  compressionMode_ = mode;
}

bool TZipWriter::IsOpen() const { return impl_->archive.Valid(); }

void TZipWriter::Open(uint16_t mode) {
  if (fileName_.section(QLatin1Char('/'), -1).isEmpty())
    throw WriterError(name_, kErrBlankName,
                      QStringLiteral("File name is blank. Specify appropriate file name"));
  Close();
  if (mode != kCreateMode)
    throw ShelvioError(
        ShelvioError::Kind::Archive,
        QStringLiteral("Cannot open archive \"%1\": only create mode is supported").arg(fileName_));

  Impl& a = *impl_;
  const QString finalPath = AbsolutePath(fileName_);
  const QByteArray finalName = NativeName(finalPath);
  // The rename at the end would replace a read-only file (or anything, when existing entries are
  // kept) and fail on a folder only after all the work; refuse them now, as creating the file in
  // place would.
  struct stat existing {};
  if (::lstat(finalName.constData(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw CannotCreate(finalPath, EISDIR);
    if (keepExisting_) throw CannotCreate(finalPath, EEXIST);
  }
  if (::stat(finalName.constData(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw CannotCreate(finalPath, EISDIR);
    if ((existing.st_mode & S_IWUSR) == 0) throw CannotCreate(finalPath, EACCES);
  }

  const qsizetype lastSlash = finalPath.lastIndexOf(QLatin1Char('/'));
  const QString folder = lastSlash > 0 ? finalPath.left(lastSlash) : QStringLiteral("/");
  FileDescriptor fd;
  QByteArray temporaryName;
  for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
    temporaryName = NativeName(folder + QLatin1Char('/') + NewTemporaryName());
    if (temporaryNameObserver_) temporaryNameObserver_(temporaryName);
    fd = FileDescriptor(::open(temporaryName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() && errno != EEXIST) throw CannotCreate(finalPath, errno);
  }
  if (!fd.Valid()) throw CannotCreate(finalPath, EEXIST);
  // Advisory only: stands for holding the archive without sharing while it is open.
  (void)::flock(fd.Get(), LOCK_EX | LOCK_NB);

  a.archive = std::move(fd);
  a.finalPath = finalPath;
  a.finalName = finalName;
  a.temporaryName = temporaryName;
  a.folderName = NativeName(folder);
  a.published = false;
  a.keepExisting = keepExisting_;
  a.broken = false;
  a.directory.clear();
}

void TZipWriter::AddMatching(const QString& mask, uint32_t searchAttributes, const QString& excludeMask) {
  Impl& a = *impl_;
  if (!a.archive.Valid()) throw WriterError(name_, kErrNotOpen, QStringLiteral("Archive is not open"));
  lastCommitEntryCount_ = 0;
  const std::vector<ZipEntry> rollbackCopy = a.directory;
  try {
    std::lock_guard<std::mutex> lock(ProcessLock());
    a.FindEntries(mask, searchAttributes, excludeMask, compressionMode_);
  } catch (...) {
    a.directory = rollbackCopy;
    throw;
  }
  lastCommitEntryCount_ = a.Commit(rollbackCopy, prompt_);
}

void TZipWriter::Abandon() noexcept {
  Impl& a = *impl_;
  if (!a.archive.Valid()) return;
  if (a.published) {
    // Only while the name still holds this very file: never an archive someone else put there.
    struct stat own {
    }, now{};
    if (::fstat(a.Fd(), &own) == 0 && ::lstat(a.finalName.constData(), &now) == 0 && SameFile(own, now))
      (void)::unlink(a.finalName.constData());
  } else {
    (void)::unlink(a.temporaryName.constData());
  }
  a.archive.Reset();
  a.directory.clear();
}

bool TZipWriter::AddRaw(const ZipRawEntry& raw) {
  Impl& a = *impl_;
  if (!a.archive.Valid()) throw WriterError(name_, kErrNotOpen, QStringLiteral("Archive is not open"));
  lastCommitEntryCount_ = 0;
  const std::vector<ZipEntry> rollbackCopy = a.directory;
  ZipEntry entry;
  entry.raw = &raw;
  entry.storedName = raw.name;
  EncodeName(&entry);
  entry.sourcePath = raw.name;
  entry.method = raw.method;
  entry.crc = raw.crc;
  entry.compressedSize = static_cast<uint32_t>(std::min<uint64_t>(raw.compressedSize, kZip32Limit));
  entry.uncompressedSize = static_cast<uint32_t>(std::min<uint64_t>(raw.size, kZip32Limit));
  if (raw.modified <= 0 || !ToDos(static_cast<time_t>(raw.modified), &entry.modified))
    entry.modified = ModificationTime(nullptr);
  entry.externalAttributes = kPlainFileAttributes;
  const auto same = std::find_if(a.directory.begin(), a.directory.end(),
                                 [&](const ZipEntry& e) { return e.storedName == raw.name; });
  if (same != a.directory.end())
    *same = entry;
  else
    a.directory.push_back(entry);
  try {
    lastCommitEntryCount_ = a.Commit(rollbackCopy, prompt_);
  } catch (const RawSourceFailed&) {
    // Commit rolled the archive back before the failure left it.
    return false;
  }
  // The entry points at the caller's description, which does not outlive this call.
  for (ZipEntry& e : a.directory) e.raw = nullptr;
  return lastCommitEntryCount_ == 1;
}

void TZipWriter::Close() noexcept {
  Impl& a = *impl_;
  if (!a.archive.Valid()) return;
  try {
    if (!a.broken) {
      struct stat info {};
      if (::fstat(a.Fd(), &info) == 0 && info.st_size == 0) {
        unsigned char record[kEndRecordSize];
        FillEndRecord(0, 0, 0, record);
        if (WriteAll(a.Fd(), record, kEndRecordSize) != 0) a.broken = true;
      }
      if (!a.broken && !a.published) {
        a.Flush();
        a.Publish();
      }
    }
  } catch (...) {
    a.broken = true;
  }
  // An archive that never became complete leaves nothing behind.
  if (!a.published) (void)::unlink(a.temporaryName.constData());
  a.archive.Reset();
  a.directory.clear();
}
