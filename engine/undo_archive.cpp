#include "engine/undo_archive.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "archive/zip_format.h"
#include "archive/zip_reader.h"
#include "archive/zip_skeleton.h"
#include "archive/zipped_book.h"
#include "base/posix_file.h"

namespace {

using posix_file::PReadFull;
using posix_file::ReadFull;

constexpr size_t kChunk = 256 * 1024;
constexpr quint16 kFlagUtf8Name = 0x0800;
// In place of the skeleton's offset in a record: why no skeleton was kept.
constexpr char kTooLarge[] = "large";
constexpr char kUnreadable[] = "layout";

// Levels tried, most common first, for an entry deflated by zlib or by a compressor that agrees
// with it (Python's zipfile, most library sites): the default, the best, then the rest.
constexpr int kLevels[] = {6, 9, 1, 2, 3, 4, 5, 7, 8};

QByteArray Hex(quint64 value, int width) { return QByteArray::number(value, 16).rightJustified(width, '0'); }

// The archive as it is written: every byte goes to the file and into its digest.
class ArchiveOut {
 public:
  explicit ArchiveOut(int fd) : fd_(fd) {}
  bool Restart() {
    digester_ = std::make_unique<BookDigester>();
    written_ = 0;
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return Fail(errno);
    return true;
  }
  bool Write(const void* data, size_t size) {
    if (const int error = posix_file::WriteAll(fd_, static_cast<const char*>(data), size)) return Fail(error);
    digester_->Add(data, size);
    written_ += size;
    return true;
  }
  bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
  BookDigest Result() const { return digester_->Result(); }
  quint64 Written() const { return written_; }
  int Error() const { return error_; }

 private:
  bool Fail(int error) {
    error_ = error;
    return false;
  }
  int fd_;
  std::unique_ptr<BookDigester> digester_ = std::make_unique<BookDigester>();
  quint64 written_ = 0;
  int error_ = 0;
};

// The CRC-32 of the first size bytes of in; a value no CRC takes when they cannot be read.
quint64 CrcOf(int in, quint64 size) {
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  uLong crc = crc32(0, nullptr, 0);
  for (quint64 offset = 0; offset < size;) {
    const size_t step = static_cast<size_t>(std::min<quint64>(size - offset, kChunk));
    if (!PReadFull(in, buffer.get(), step, static_cast<off_t>(offset))) return ~0ULL;
    crc = crc32(crc, buffer.get(), static_cast<uInt>(step));
    offset += step;
  }
  return crc;
}

// Copies size bytes of in from offset to out.
bool Copy(int in, quint64 offset, quint64 size, ArchiveOut& out) {
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  while (size > 0) {
    const size_t step = static_cast<size_t>(std::min<quint64>(size, kChunk));
    if (!PReadFull(in, buffer.get(), step, static_cast<off_t>(offset)) || !out.Write(buffer.get(), step))
      return false;
    offset += step;
    size -= step;
  }
  return true;
}

// Deflates the size bytes of in into out at level; false once more than limit bytes come out (not
// the stream sought) or on an error.
bool Deflate(int in, quint64 size, int level, quint64 limit, ArchiveOut& out) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  const std::unique_ptr<unsigned char[]> input(new unsigned char[kChunk]);
  const std::unique_ptr<unsigned char[]> output(new unsigned char[kChunk]);
  quint64 offset = 0, produced = 0;
  bool ok = true;
  for (int flush = Z_NO_FLUSH; ok && flush != Z_FINISH;) {
    const size_t step = static_cast<size_t>(std::min<quint64>(size - offset, kChunk));
    if (!PReadFull(in, input.get(), step, static_cast<off_t>(offset))) {
      ok = false;
      break;
    }
    offset += step;
    flush = offset == size ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input.get();
    stream.avail_in = static_cast<uInt>(step);
    do {
      stream.next_out = output.get();
      stream.avail_out = static_cast<uInt>(kChunk);
      if (deflate(&stream, flush) == Z_STREAM_ERROR) ok = false;
      const size_t have = kChunk - stream.avail_out;
      produced += have;
      if (produced > limit || !out.Write(output.get(), have)) ok = false;
    } while (ok && stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return ok;
}

// The size and digest of the size bytes of in.
BookDigest DigestOf(int in, quint64 size) {
  BookDigester digester;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  for (quint64 offset = 0; offset < size;) {
    const size_t step = static_cast<size_t>(std::min<quint64>(size - offset, kChunk));
    if (!PReadFull(in, buffer.get(), step, static_cast<off_t>(offset))) return BookDigest();
    digester.Add(buffer.get(), step);
    offset += step;
  }
  unsigned char extra;
  if (::pread(in, &extra, 1, static_cast<off_t>(size)) != 0) return BookDigest();
  return digester.Result();
}

// Whether the one entry of the archive open at fd reads whole through libzip: size bytes, and the
// CRC checked at its end.
bool EntryReadsWhole(int fd, quint64 size) {
  ZippedBook book;
  if (!book.Open(QString(), fd) || book.Size() != size || !book.Rewind()) return false;
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  quint64 read = 0;
  for (int64_t count; (count = book.Read(buffer.get(), kChunk)) != 0; read += static_cast<quint64>(count)) {
    if (count < 0) return false;
  }
  return read == size;
}

// Where the compressed bytes of an archive of the writer's shape begin, from its local header;
// 0 when it does not hold the arrival's entry as the run wrote it.
quint64 OwnEntryData(int fd, quint64 archiveSize, const ArrivedArchive& arrived, const QByteArray& name) {
  using namespace zip_format;
  SingleEntryInfo info;
  unsigned char header[kLocalHeaderSize];
  if (!ReadSingleEntryInfo(fd, archiveSize, &info) || QByteArray::fromStdString(info.name) != name ||
      info.crc != arrived.crc || info.size != arrived.size || !PReadFull(fd, header, kLocalHeaderSize, 0) ||
      U32(header) != kLocalHeaderSignature || U16(header + 8) != arrived.method ||
      U32(header + 18) != arrived.compressedSize)
    return 0;
  const quint64 data = kLocalHeaderSize + U16(header + 26) + U16(header + 28);
  if (data + arrived.compressedSize > archiveSize) return 0;
  // The compressed bytes must give the entry back: the headers alone say nothing of them. The run
  // copied them as they came, and they may run on past the end of their stream (an entry whose
  // stated size reaches into the headers after it), which the strict reader of our own refuses and
  // the reader the run took them with reads: that one decides, CRC and size checked.
  if (!UnpackSingleEntry(fd, archiveSize, arrived.size, [](const unsigned char*, size_t) { return true; }) &&
      !EntryReadsWhole(fd, arrived.size))
    return 0;
  return data;
}

}  // namespace

ArrivedArchive DescribeArrival(const ZippedBook& book, int fd) {
  ArrivedArchive arrived;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return arrived;
  arrived.known = true;
  arrived.entryName = book.EntryName();
  arrived.method = book.Method();
  arrived.crc = book.Crc();
  arrived.compressedSize = book.CompressedSize();
  arrived.size = book.Size();
  arrived.dosTime = DosTimeOf(book.ModifiedTime());
  ZipSkeleton skeleton;
  const auto archiveSize = static_cast<uint64_t>(info.st_size);
  if (ReadZipSkeleton(fd, archiveSize, arrived.compressedSize, &skeleton)) {
    arrived.dataOffset = skeleton.dataOffset;
    arrived.skeleton = QByteArray::fromStdString(skeleton.bytes);
    arrived.dosTime = skeleton.dosTime;
    arrived.flags = skeleton.flags;
  } else {
    arrived.unkept =
        archiveSize >= arrived.compressedSize && archiveSize - arrived.compressedSize > kZipSkeletonMaxBytes
            ? ArrivedArchive::Unkept::TooLarge
            : ArrivedArchive::Unkept::Unreadable;
    // A name that reads as UTF-8 beyond ASCII says so, as the program's own archives do.
    const QString text = QString::fromUtf8(arrived.entryName);
    const bool ascii = std::all_of(arrived.entryName.cbegin(), arrived.entryName.cend(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii && text.toUtf8() == arrived.entryName && !text.contains(QChar::ReplacementCharacter))
      arrived.flags = kFlagUtf8Name;
  }
  return arrived;
}

QList<QByteArray> ArrivalFields(const ArrivedArchive& a) {
  const QByteArray bookSize = a.book.known ? QByteArray::number(a.book.size) : QByteArray();
  const QByteArray bookHash = a.book.known ? Hex(a.book.hash, 16) : QByteArray();
  return {a.entryName,
          QByteArray::number(a.method),
          Hex(a.crc, 8),
          QByteArray::number(a.compressedSize),
          QByteArray::number(a.size),
          Hex(a.dosTime, 8),
          Hex(a.flags, 4),
          bookSize,
          bookHash,
          !a.skeleton.isEmpty()                            ? QByteArray::number(a.dataOffset)
          : a.unkept == ArrivedArchive::Unkept::TooLarge   ? QByteArray(kTooLarge)
          : a.unkept == ArrivedArchive::Unkept::Unreadable ? QByteArray(kUnreadable)
                                                           : QByteArray(),
          a.skeleton.toBase64()};
}

ArrivedArchive ArrivalFromFields(const QList<QByteArray>& f) {
  ArrivedArchive a;
  if (f.size() < 11) return a;
  bool ok[9] = {};
  a.entryName = f[0];
  a.method = static_cast<quint16>(f[1].toUInt(&ok[0]));
  a.crc = f[2].toUInt(&ok[1], 16);
  a.compressedSize = f[3].toULongLong(&ok[2]);
  a.size = f[4].toULongLong(&ok[3]);
  a.dosTime = f[5].toUInt(&ok[4], 16);
  a.flags = static_cast<quint16>(f[6].toUInt(&ok[5], 16));
  if (!f[7].isEmpty()) {
    a.book.size = f[7].toLongLong(&ok[6]);
    a.book.hash = f[8].toULongLong(&ok[7], 16);
    a.book.known = ok[6] && ok[7];
  }
  if (f[9] == kTooLarge) {
    a.unkept = ArrivedArchive::Unkept::TooLarge;
  } else if (f[9] == kUnreadable) {
    a.unkept = ArrivedArchive::Unkept::Unreadable;
  } else if (!f[9].isEmpty()) {
    const auto skeleton = QByteArray::fromBase64Encoding(f[10]);
    a.dataOffset = f[9].toULongLong(&ok[8]);
    if (ok[8] && skeleton && a.dataOffset <= static_cast<quint64>(skeleton.decoded.size()))
      a.skeleton = skeleton.decoded;
  }
  a.known = ok[0] && ok[1] && ok[2] && ok[3] && ok[4] && ok[5] && !a.entryName.isEmpty();
  return a;
}

bool IsRunsFile(const ArrivedArchive& arrived, int from, bool fromArchive, const QByteArray& entryName,
                quint64* data) {
  struct stat info {};
  if (::fstat(from, &info) != 0) return false;
  const quint64 fromSize = static_cast<quint64>(info.st_size);
  if (fromArchive) return (*data = OwnEntryData(from, fromSize, arrived, entryName)) != 0;
  *data = 0;
  return arrived.book.known && DigestOf(from, fromSize) == arrived.book;
}

bool HoldsArrivedEntry(const QString& path, const ArrivedArchive& arrived, const BookDigest& archive) {
  if (archive.known && DigestOfFile(path) == archive) return true;
  // Rebuilt entry for entry: its book must be the very one unpacked.
  ZippedBook book;
  if (!arrived.book.known || !book.Open(path) || book.EntryName() != arrived.entryName ||
      book.Crc() != arrived.crc || book.Size() != arrived.size || !book.Rewind())
    return false;
  BookDigester digester;
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (int64_t count; (count = book.Read(buffer.get(), kChunk)) != 0;) {
    if (count < 0) return false;
    digester.Add(buffer.get(), static_cast<size_t>(count));
  }
  return digester.Result() == arrived.book;
}

QString EntryExactReason(const ArrivedArchive& arrived, bool fromArchive) {
  const QString rebuilt = QStringLiteral("Rebuilt with the same book inside: %1");
  if (!arrived.skeleton.isEmpty())
    return rebuilt.arg(fromArchive || arrived.method == 0
                           ? QStringLiteral("the archive's other bytes did not fit its entry again")
                           : QStringLiteral("its compressor could not be reproduced"));
  switch (arrived.unkept) {
    case ArrivedArchive::Unkept::TooLarge:
      return rebuilt.arg(
          QStringLiteral("the archive's other bytes (a long comment, say) were too many to keep"));
    case ArrivedArchive::Unkept::Unreadable:
      return rebuilt.arg(
          QStringLiteral("the archive's layout could not be read for sure, so it was not kept"));
    case ArrivedArchive::Unkept::Unknown:
      break;
  }
  return rebuilt.arg(QStringLiteral("the archive's layout was not kept"));
}

Rebuilt RebuildArrivedArchive(const ArrivedArchive& arrived, const BookDigest& archive, int from,
                              bool fromArchive, const QByteArray& entryName, int out, int* error) {
  struct stat info {};
  quint64 data = 0;
  if (::fstat(from, &info) != 0 || !IsRunsFile(arrived, from, fromArchive, entryName, &data))
    return Rebuilt::Failed;
  const quint64 fromSize = static_cast<quint64>(info.st_size);

  ArchiveOut output(out);
  // The compressed bytes between the headers: those the run kept, or the book compressed again.
  const auto entry = [&](const std::string& head, const std::string& tail, int level, quint64 limit) {
    if (!output.Restart() || !output.Write(head)) return false;
    const bool body = fromArchive           ? Copy(from, data, arrived.compressedSize, output)
                      : arrived.method == 0 ? Copy(from, 0, fromSize, output)
                                            : Deflate(from, fromSize, level, limit, output);
    return body && output.Write(tail);
  };
  const auto exact = [&] { return archive.known && output.Result() == archive; };

  if (!arrived.skeleton.isEmpty()) {
    ZipSkeleton skeleton;
    skeleton.dataOffset = arrived.dataOffset;
    skeleton.bytes = arrived.skeleton.toStdString();
    const std::string head = skeleton.Head(), tail = skeleton.Tail();
    if (fromArchive || arrived.method == 0) {
      if (entry(head, tail, 0, 0) && exact()) return Rebuilt::Exact;
    } else {
      for (const int level : kLevels) {
        if (entry(head, tail, level, arrived.compressedSize) && exact()) return Rebuilt::Exact;
        if (output.Error() != 0) break;
      }
    }
    if (output.Error() != 0) {
      *error = output.Error();
      return Rebuilt::Failed;
    }
  }

  // No compressor reproduced it: the same entry, laid out as the program lays out its own. Its
  // name, CRC and size come from the record, which must agree with the book (a repacked entry's
  // were checked against the run's archive): a damaged one would give back an archive that no tool
  // opens, or one that unpacks outside its folder, while the book's good copy goes.
  if (arrived.entryName.contains('/') ||
      (!fromArchive && (fromSize != arrived.size || CrcOf(from, fromSize) != arrived.crc)))
    return Rebuilt::Failed;
  ZipEntryLayout layout;
  layout.name = arrived.entryName.toStdString();
  layout.flags = arrived.flags & kFlagUtf8Name;
  layout.method = arrived.method;
  layout.dosTime = arrived.dosTime;
  layout.crc = arrived.crc;
  layout.size = arrived.size;
  layout.compressedSize = arrived.compressedSize;
  ZipSkeleton own;
  if (!fromArchive && arrived.method != 0) {
    // The compressed size is known once the book is compressed: the headers follow it.
    if (!OwnZipSkeleton(layout, &own) || !entry(std::string(own.dataOffset, '\0'), std::string(), 6, ~0ULL)) {
      *error = output.Error();
      return Rebuilt::Failed;
    }
    layout.compressedSize = output.Written() - own.dataOffset;
  }
  if (!OwnZipSkeleton(layout, &own)) return Rebuilt::Failed;
  const std::string head = own.Head(), tail = own.Tail();
  const bool written =
      (!fromArchive && arrived.method != 0)
          ? posix_file::PWriteAll(out, reinterpret_cast<const unsigned char*>(head.data()), head.size(), 0) &&
                output.Write(tail)
          : entry(head, tail, 0, 0);
  if (!written) {
    *error = output.Error() != 0 ? output.Error() : errno;
    return Rebuilt::Failed;
  }
  return Rebuilt::EntryExact;
}
