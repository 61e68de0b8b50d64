#include "archive/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "archive/zip_format.h"
#include "base/posix_file.h"

using namespace zip_format;
using posix_file::PReadFull;

namespace {

constexpr size_t kChunk = 1 << 16;

class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool Ready() const { return ready_; }
  z_stream* Get() { return &stream_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace

namespace {

struct EntryLayout {
  SingleEntryInfo info;
  uint16_t method = 0;
  uint64_t compressedSize = 0;
  uint64_t dataOffset = 0;
  uint64_t directoryOffset = 0;
};

// Reads the headers of an archive of the writer's shape; false for anything else.
bool ReadLayout(int fd, uint64_t archiveSize, EntryLayout& layout) {
  if (archiveSize < kLocalHeaderSize + kCentralHeaderSize + kEndRecordSize) return false;
  const uint64_t endOffset = archiveSize - kEndRecordSize;
  unsigned char end[kEndRecordSize];
  if (!PReadFull(fd, end, kEndRecordSize, static_cast<off_t>(endOffset))) return false;
  // end of central directory record: disks, entries, directory size and offset, comment length
  if (U32(end) != kEndRecordSignature || U16(end + 4) != 0 || U16(end + 6) != 0 || U16(end + 8) != 1 ||
      U16(end + 10) != 1 || U16(end + 20) != 0)
    return false;
  const uint64_t directorySize = U32(end + 12);
  const uint64_t directoryOffset = U32(end + 16);
  if (directoryOffset + directorySize != endOffset || directorySize < kCentralHeaderSize) return false;

  unsigned char central[kCentralHeaderSize];
  if (!PReadFull(fd, central, kCentralHeaderSize, static_cast<off_t>(directoryOffset))) return false;
  // central directory header: flags, method, CRC-32, sizes, name/extra/comment lengths, offset
  const uint16_t flags = U16(central + 8);
  const uint16_t method = U16(central + 10);
  const uint32_t crc = U32(central + 16);
  const uint64_t compressedSize = U32(central + 20);
  const uint64_t uncompressedSize = U32(central + 24);
  const uint16_t nameLength = U16(central + 28);
  const uint64_t localOffset = U32(central + 42);
  if (U32(central) != kCentralHeaderSignature || (flags & ~kFlagUtf8Name) != 0 ||
      (method != kMethodStored && method != kMethodDeflated) ||
      kCentralHeaderSize + nameLength + U16(central + 30) + U16(central + 32) != directorySize)
    return false;
  if (method == kMethodStored && compressedSize != uncompressedSize) return false;
  std::string name(nameLength, '\0');
  if (nameLength > 0 && !PReadFull(fd, reinterpret_cast<unsigned char*>(name.data()), nameLength,
                                   static_cast<off_t>(directoryOffset + kCentralHeaderSize)))
    return false;

  unsigned char local[kLocalHeaderSize];
  if (!PReadFull(fd, local, kLocalHeaderSize, static_cast<off_t>(localOffset))) return false;
  // local file header: method, CRC-32 and sizes as in the directory; the data follows name and extra
  if (U32(local) != kLocalHeaderSignature || U16(local + 8) != method || U32(local + 14) != crc ||
      U32(local + 18) != compressedSize || U32(local + 22) != uncompressedSize)
    return false;
  const uint64_t dataOffset = localOffset + kLocalHeaderSize + U16(local + 26) + U16(local + 28);
  if (dataOffset + compressedSize > directoryOffset) return false;

  layout.info.name = std::move(name);
  layout.info.crc = crc;
  layout.info.size = uncompressedSize;
  layout.method = method;
  layout.compressedSize = compressedSize;
  layout.dataOffset = dataOffset;
  layout.directoryOffset = directoryOffset;
  return true;
}

}  // namespace

bool ReadSingleEntryInfo(int fd, uint64_t archiveSize, SingleEntryInfo* info) {
  EntryLayout layout;
  if (!ReadLayout(fd, archiveSize, layout)) return false;
  if (info) *info = layout.info;
  return true;
}

bool UnpackSingleEntry(int fd, uint64_t archiveSize, uint64_t expectedSize,
                       const std::function<bool(const unsigned char*, size_t)>& consume) {
  EntryLayout layout;
  if (!ReadLayout(fd, archiveSize, layout) || layout.info.size != expectedSize) return false;
  const uint16_t method = layout.method;
  const uint32_t crc = layout.info.crc;
  const uint64_t compressedSize = layout.compressedSize;
  const uint64_t dataOffset = layout.dataOffset;

  std::unique_ptr<unsigned char[]> in(new unsigned char[kChunk]);
  std::unique_ptr<unsigned char[]> out(new unsigned char[kChunk]);
  Inflater inflater;
  if (!inflater.Ready()) return false;
  z_stream* stream = inflater.Get();
  uLong unpackedCrc = crc32(0, Z_NULL, 0);
  uint64_t unpacked = 0;
  uint64_t consumed = 0;
  bool finished = method == kMethodStored && compressedSize == 0;
  while (consumed < compressedSize) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(kChunk, compressedSize - consumed));
    if (!PReadFull(fd, in.get(), step, static_cast<off_t>(dataOffset + consumed))) return false;
    consumed += step;
    if (method == kMethodStored) {
      if (!consume(in.get(), step)) return false;
      unpackedCrc = crc32(unpackedCrc, in.get(), static_cast<uInt>(step));
      unpacked += step;
      finished = consumed == compressedSize;
      continue;
    }
    stream->next_in = in.get();
    stream->avail_in = static_cast<uInt>(step);
    for (;;) {
      stream->next_out = out.get();
      stream->avail_out = static_cast<uInt>(kChunk);
      const int result = inflate(stream, Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return false;
      const size_t produced = kChunk - stream->avail_out;
      if (!consume(out.get(), produced)) return false;
      unpackedCrc = crc32(unpackedCrc, out.get(), static_cast<uInt>(produced));
      unpacked += produced;
      if (result == Z_STREAM_END) {
        finished = true;
        break;
      }
      if (result == Z_BUF_ERROR) {
        // No progress without more input, which must mean that all of it was taken.
        if (stream->avail_in != 0) return false;
        break;
      }
      if (stream->avail_in == 0 && stream->avail_out != 0) break;
    }
    // Bytes after the end of the stream are no archive of ours.
    if (finished && (stream->avail_in != 0 || consumed != compressedSize)) return false;
  }
  return finished && unpacked == expectedSize && static_cast<uint32_t>(unpackedCrc) == crc;
}

bool IsEmptyArchive(int fd, uint64_t size) {
  if (size != kEndRecordSize) return false;
  unsigned char end[kEndRecordSize];
  unsigned char empty[kEndRecordSize] = {};
  PutU32(empty, kEndRecordSignature);
  return PReadFull(fd, end, kEndRecordSize, 0) && std::memcmp(end, empty, kEndRecordSize) == 0;
}
