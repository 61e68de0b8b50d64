#include "archive/zipped_book.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/zip_layout.h"
#include "base/native_name.h"
#include "base/posix_file.h"

namespace {

constexpr char kZipSuffix[] = ".zip";
constexpr char kBookSuffix[] = ".fb2";

QString LibzipText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  const QString text = QString::fromUtf8(zip_error_strerror(&error));
  zip_error_fini(&error);
  return text;
}

QString LibzipText(zip_t* archive) { return QString::fromUtf8(zip_error_strerror(zip_get_error(archive))); }

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};

}  // namespace

bool IsZippedBookName(const QString& name) {
  return name.size() > 8 && name.endsWith(QLatin1String(".fb2.zip"), Qt::CaseInsensitive);
}

QString UnzippedBookName(const QString& name) {
  return name.endsWith(QLatin1String(kZipSuffix), Qt::CaseInsensitive) ? name.chopped(4) : name;
}

namespace {

// Inflates compressed bytes as they are copied, only to learn their size and CRC-32: the bytes
// that go into a new archive unread by anyone must be shown to be the book that was judged.
class CopiedBytesCheck {
 public:
  CopiedBytesCheck() = default;
  ~CopiedBytesCheck() { End(); }
  CopiedBytesCheck(const CopiedBytesCheck&) = delete;
  CopiedBytesCheck& operator=(const CopiedBytesCheck&) = delete;

  bool Start(bool deflated, uint64_t declared) {
    End();
    deflated_ = deflated;
    declared_ = declared;
    size_ = 0;
    crc_ = crc32(0, Z_NULL, 0);
    finished_ = !deflated;
    if (!deflated) return true;
    stream_ = z_stream{};
    active_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    return active_;
  }

  // False when the bytes cannot be what the entry declares (broken, or more than its size).
  bool Add(const char* data, size_t length) {
    if (!deflated_) return Count(reinterpret_cast<const Bytef*>(data), length);
    if (!active_) return false;
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(length);
    while (stream_.avail_in > 0 && !finished_) {
      Bytef out[kScratch];
      stream_.next_out = out;
      stream_.avail_out = kScratch;
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return false;
      if (!Count(out, kScratch - stream_.avail_out)) return false;
      if (result == Z_STREAM_END) finished_ = true;
      // No progress with input left and room for output: the stream is stuck, as damage leaves it.
      if (result == Z_BUF_ERROR && stream_.avail_out == kScratch) return false;
    }
    return true;
  }

  // True when every byte came and they inflate to exactly the declared size and CRC.
  bool Matches(uint32_t crc) {
    if (deflated_ && !finished_) {
      // The last output may still be held by the stream.
      while (active_ && !finished_) {
        Bytef out[kScratch];
        stream_.next_in = nullptr;
        stream_.avail_in = 0;
        stream_.next_out = out;
        stream_.avail_out = kScratch;
        const int result = inflate(&stream_, Z_NO_FLUSH);
        if (!Count(out, kScratch - stream_.avail_out)) return false;
        if (result == Z_STREAM_END) finished_ = true;
        if (result != Z_OK || stream_.avail_out == kScratch) break;
      }
    }
    return finished_ && size_ == declared_ && static_cast<uint32_t>(crc_) == crc;
  }

 private:
  static constexpr uInt kScratch = 64 * 1024;

  bool Count(const Bytef* data, size_t length) {
    size_ += length;
    if (size_ > declared_) return false;
    crc_ = crc32_z(crc_, data, length);
    return true;
  }
  void End() {
    if (active_) inflateEnd(&stream_);
    active_ = false;
  }

  z_stream stream_{};
  bool active_ = false;
  bool deflated_ = false;
  bool finished_ = false;
  uint64_t declared_ = 0;
  uint64_t size_ = 0;
  uLong crc_ = 0;
};

}  // namespace

struct ZippedBook::Impl {
  std::unique_ptr<zip_t, ArchiveCloser> archive;
  std::unique_ptr<zip_file_t, EntryCloser> entry;
  zip_stat_t stat{};
  uint64_t inflated = 0;
  uLong crc = 0;
  CopiedBytesCheck copied;
};

ZippedBook::ZippedBook() : impl_(std::make_unique<Impl>()) {}
ZippedBook::~ZippedBook() = default;

bool ZippedBook::Open(const QString& path) {
  // O_NONBLOCK: a FIFO named like a book must not hang the run before the type check.
  return OpenOwn(path, ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

bool ZippedBook::Open(const QString& path, int fd) { return OpenOwn(path, ::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

bool ZippedBook::OpenOwn(const QString& path, int fd) {
  path_ = path;
  reason_.clear();
  impl_->entry.reset();
  impl_->archive.reset();
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    reason_ = fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("not a regular file");
    if (fd >= 0) ::close(fd);
    return false;
  }
  // libzip takes a descriptor of its own and closes the one it is given; this one stays for
  // reading the archive's records below.
  const posix_file::FileDescriptor held(fd);
  int code = 0;
  // Without ZIP_CHECKCONS: it refuses the zeros that a local header holds before a data
  // descriptor, as every archive written to a pipe has. Damage shows in the CRC and the sizes,
  // which Read checks.
  const int given = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  zip_t* archive = given < 0 ? nullptr : zip_fdopen(given, ZIP_RDONLY, &code);
  if (archive == nullptr) {
    if (given >= 0) ::close(given);
    if (given < 0) code = ZIP_ER_OPEN;
    reason_ = QStringLiteral("not a readable ZIP archive: %1").arg(LibzipText(code));
    return false;
  }
  impl_->archive.reset(archive);

  const zip_int64_t entries = zip_get_num_entries(archive, 0);
  if (entries != 1) {
    reason_ = QStringLiteral("the archive holds %1 entries, not one book").arg(entries);
    return false;
  }
  zip_stat_t& st = impl_->stat;
  zip_stat_init(&st);
  if (zip_stat_index(archive, 0, ZIP_FL_ENC_RAW, &st) != 0) {
    reason_ = QStringLiteral("not a readable ZIP archive: %1").arg(LibzipText(archive));
    return false;
  }
  const zip_uint64_t needed = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                              ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & needed) != needed) {
    reason_ = QStringLiteral("not a readable ZIP archive: its entry is not fully described");
    return false;
  }
  // libzip finds one archive in a file; other readers may find another in the same bytes. A file
  // that is not one entry to all of them is no book to place and remove.
  SingleEntryLayout layout;
  if (const std::string problem =
          SingleEntryLayoutProblem(held.Get(), static_cast<uint64_t>(status.st_size), &layout);
      !problem.empty()) {
    reason_ = QStringLiteral("not one archive that every reader sees alike: %1")
                  .arg(QString::fromStdString(problem));
    return false;
  }
  if (QByteArray::fromStdString(layout.name) != QByteArray(st.name) || layout.method != st.comp_method ||
      layout.crc != st.crc || layout.compressedSize != st.comp_size || layout.size != st.size) {
    reason_ =
        QStringLiteral("not one archive that every reader sees alike: its records disagree with libzip");
    return false;
  }
  const QByteArray name(st.name);
  if (name.contains('/') || name.contains('\\')) {
    reason_ = QStringLiteral("its entry has a folder part");
    return false;
  }
  if (!name.toLower().endsWith(kBookSuffix) || name.size() <= 4) {
    reason_ = QStringLiteral("its entry is not an .fb2 book");
    return false;
  }
  if (st.encryption_method != ZIP_EM_NONE) {
    reason_ = QStringLiteral("its entry is encrypted");
    return false;
  }
  if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE) {
    reason_ =
        QStringLiteral("its entry is compressed by a method other than deflate (%1)").arg(st.comp_method);
    return false;
  }
  if (st.size > kZippedBookMaxBytes) {
    reason_ = QStringLiteral("its entry would inflate to %1 bytes, more than the 1 GiB a book may have")
                  .arg(st.size);
    return false;
  }
  if (st.size > std::max<uint64_t>(st.comp_size, 1) * kZippedBookMaxRatio) {
    reason_ = QStringLiteral("its entry would inflate %1 times over: not a book")
                  .arg(st.size / std::max<uint64_t>(st.comp_size, 1));
    return false;
  }
  return true;
}

bool ZippedBook::Rewind() {
  impl_->entry.reset();
  impl_->inflated = 0;
  impl_->crc = crc32(0, Z_NULL, 0);
  if (!impl_->archive) return false;
  impl_->entry.reset(zip_fopen_index(impl_->archive.get(), 0, 0));
  if (!impl_->entry) {
    reason_ = QStringLiteral("its entry cannot be read: %1").arg(LibzipText(impl_->archive.get()));
    return false;
  }
  return true;
}

int64_t ZippedBook::Read(char* buffer, int64_t length) {
  if (!impl_->entry) return -1;
  const zip_uint64_t declared = impl_->stat.size;
  // One byte more than the entry may still hold shows an entry longer than declared without
  // inflating any further.
  const uint64_t allowed = declared - impl_->inflated + 1;
  const zip_int64_t count =
      zip_fread(impl_->entry.get(), buffer, std::min<uint64_t>(static_cast<uint64_t>(length), allowed));
  if (count < 0) {
    reason_ = QStringLiteral("its entry is damaged: %1")
                  .arg(QString::fromUtf8(zip_error_strerror(zip_file_get_error(impl_->entry.get()))));
    impl_->entry.reset();
    return -1;
  }
  impl_->inflated += static_cast<uint64_t>(count);
  if (impl_->inflated > declared) {
    reason_ = QStringLiteral("its entry inflates past its declared size of %1 bytes").arg(declared);
    impl_->entry.reset();
    return -1;
  }
  if (count > 0) {
    impl_->crc = crc32_z(impl_->crc, reinterpret_cast<const Bytef*>(buffer), static_cast<size_t>(count));
    return count;
  }
  if (impl_->inflated != declared) {
    reason_ = QStringLiteral("its entry ends after %1 of its %2 bytes").arg(impl_->inflated).arg(declared);
    return -1;
  }
  if (static_cast<uint32_t>(impl_->crc) != impl_->stat.crc) {
    reason_ = QStringLiteral("its entry is damaged: the CRC does not match");
    return -1;
  }
  return 0;
}

bool ZippedBook::RewindCompressed() {
  impl_->entry.reset();
  impl_->inflated = 0;
  if (!impl_->archive) return false;
  impl_->entry.reset(zip_fopen_index(impl_->archive.get(), 0, ZIP_FL_COMPRESSED));
  if (!impl_->entry) {
    reason_ = QStringLiteral("its entry cannot be read: %1").arg(LibzipText(impl_->archive.get()));
    return false;
  }
  if (!impl_->copied.Start(impl_->stat.comp_method == ZIP_CM_DEFLATE, impl_->stat.size)) {
    reason_ = QStringLiteral("its entry cannot be checked: out of memory");
    impl_->entry.reset();
    return false;
  }
  return true;
}

int64_t ZippedBook::ReadCompressed(char* buffer, int64_t length) {
  if (!impl_->entry) return -1;
  const zip_int64_t count = zip_fread(impl_->entry.get(), buffer, static_cast<zip_uint64_t>(length));
  if (count < 0) {
    reason_ = QStringLiteral("its entry is damaged: %1")
                  .arg(QString::fromUtf8(zip_error_strerror(zip_file_get_error(impl_->entry.get()))));
    impl_->entry.reset();
    return -1;
  }
  impl_->inflated += static_cast<uint64_t>(count);
  if (count == 0 && impl_->inflated != impl_->stat.comp_size) {
    reason_ = QStringLiteral("its entry ends before its compressed size");
    return -1;
  }
  // The archive may have changed since the book was judged (rewritten in place, or damaged on
  // disk): bytes that do not inflate to the entry's size and CRC must never reach the new archive.
  if (count > 0 ? !impl_->copied.Add(buffer, static_cast<size_t>(count))
                : !impl_->copied.Matches(impl_->stat.crc)) {
    reason_ = QStringLiteral("its entry is damaged: the CRC does not match");
    impl_->entry.reset();
    return -1;
  }
  return count;
}

QByteArray ZippedBook::EntryName() const {
  return impl_->stat.name ? QByteArray(impl_->stat.name) : QByteArray();
}
uint16_t ZippedBook::Method() const { return static_cast<uint16_t>(impl_->stat.comp_method); }
uint32_t ZippedBook::Crc() const { return impl_->stat.crc; }
uint64_t ZippedBook::Size() const { return impl_->stat.size; }
uint64_t ZippedBook::CompressedSize() const { return impl_->stat.comp_size; }
int64_t ZippedBook::ModifiedTime() const {
  return (impl_->stat.valid & ZIP_STAT_MTIME) ? static_cast<int64_t>(impl_->stat.mtime) : 0;
}
