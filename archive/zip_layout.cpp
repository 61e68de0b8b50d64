#include "archive/zip_layout.h"

#include <sys/types.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "archive/zip_format.h"
#include "base/posix_file.h"

namespace {

using namespace zip_format;

// The flags that change how a reader finds or reads the entry: the two headers must agree on them.
constexpr uint16_t kFlagsThatMatter = kFlagEncrypted | kFlagDescriptor | kFlagUtf8Name;

bool ReadAt(int fd, uint64_t offset, size_t size, std::vector<unsigned char>* out) {
  out->resize(size);
  return size == 0 || posix_file::PReadFull(fd, out->data(), size, static_cast<off_t>(offset));
}

// Whether the bytes hold the signature of any record a reader might take up.
bool HoldsSignature(const unsigned char* bytes, size_t size) {
  constexpr uint32_t kSignatures[] = {kCentralHeaderSignature, kLocalHeaderSignature,  kEndRecordSignature,
                                      kZip64EndSignature,      kZip64LocatorSignature, kDescriptorSignature};
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (std::find(std::begin(kSignatures), std::end(kSignatures), U32(bytes + i)) != std::end(kSignatures))
      return true;
  }
  return false;
}

// The fields a header holds as all ones, with their Zip64 values from its extra field.
struct Wide {
  uint64_t size = 0;
  uint64_t compressedSize = 0;
  uint64_t offset = 0;
  uint64_t disk = 0;
};

// Walks the extra field's records, which must fill it exactly, and takes each field of *wide that
// holds all ones from the Zip64 record, in the order the format gives them. False when the
// records do not add up, or a field so marked has no value.
bool WidenFromExtra(const unsigned char* extra, size_t size, Wide* wide, bool hasOffset) {
  const unsigned char* zip64 = nullptr;
  size_t zip64Size = 0;
  for (size_t i = 0; i < size;) {
    if (size - i < 4) return false;
    const uint16_t tag = U16(extra + i);
    const size_t length = U16(extra + i + 2);
    if (size - i - 4 < length) return false;
    if (tag == kZip64ExtraTag) {
      if (zip64 != nullptr) return false;
      zip64 = extra + i + 4;
      zip64Size = length;
    }
    i += 4 + length;
  }
  size_t at = 0;
  const auto take = [&](uint64_t* field, uint64_t marker, size_t width) {
    if (*field != marker) return true;
    if (zip64 == nullptr || at + width > zip64Size) return false;
    *field = width == 8 ? U64(zip64 + at) : U32(zip64 + at);
    at += width;
    return true;
  };
  return take(&wide->size, kZip32Limit, 8) && take(&wide->compressedSize, kZip32Limit, 8) &&
         (!hasOffset || (take(&wide->offset, kZip32Limit, 8) && take(&wide->disk, kZip16Limit, 4)));
}

// The Zip64 end record as its locator before the end record names it; empty when it agrees with
// the 32-bit end record and ends where the locator begins, else why not.
struct EndValues {
  uint64_t disk = 0;
  uint64_t directoryDisk = 0;
  uint64_t entriesHere = 0;
  uint64_t entries = 0;
  uint64_t directorySize = 0;
  uint64_t directoryOffset = 0;
};

std::string ReadZip64End(int fd, uint64_t locatorOffset, const unsigned char* locator, EndValues* end,
                         uint64_t* zip64EndOffset) {
  // Zip64 end of central directory locator: disk of the record, its offset, the number of disks
  if (U32(locator + 4) != 0 || U32(locator + 16) > 1) return "it spans several disks";
  const uint64_t offset = U64(locator + 8);
  std::vector<unsigned char> record;
  if (offset > locatorOffset || locatorOffset - offset != kZip64EndSize ||
      !ReadAt(fd, offset, kZip64EndSize, &record) || U32(record.data()) != kZip64EndSignature ||
      U64(record.data() + 4) != kZip64EndRecordSize)
    return "its Zip64 end record is not where its locator says";
  // Zip64 end of central directory record: the 32-bit record's fields, each either the same value
  // or all ones
  const EndValues wide{U32(record.data() + 16), U32(record.data() + 20), U64(record.data() + 24),
                       U64(record.data() + 32), U64(record.data() + 40), U64(record.data() + 48)};
  const auto agrees = [](uint64_t narrow, uint64_t value, uint64_t marker) {
    return narrow == value || narrow == marker;
  };
  if (!agrees(end->disk, wide.disk, kZip16Limit) ||
      !agrees(end->directoryDisk, wide.directoryDisk, kZip16Limit) ||
      !agrees(end->entriesHere, wide.entriesHere, kZip16Limit) ||
      !agrees(end->entries, wide.entries, kZip16Limit) ||
      !agrees(end->directorySize, wide.directorySize, kZip32Limit) ||
      !agrees(end->directoryOffset, wide.directoryOffset, kZip32Limit))
    return "its Zip64 end record and its end record disagree";
  *end = wide;
  *zip64EndOffset = offset;
  return std::string();
}

// The data descriptor that follows the compressed bytes of an entry flagged for one: with or
// without its signature, sizes of 4 or 8 bytes, which the gap's length tells apart.
bool DescriptorAgrees(const std::vector<unsigned char>& gap, uint32_t crc, uint64_t compressedSize,
                      uint64_t size) {
  const unsigned char* p = gap.data();
  size_t length = gap.size();
  if (length == 16 || length == 24) {
    if (U32(p) != kDescriptorSignature) return false;
    p += 4;
    length -= 4;
  }
  if (length == 12) return U32(p) == crc && U32(p + 4) == compressedSize && U32(p + 8) == size;
  if (length == 20) return U32(p) == crc && U64(p + 4) == compressedSize && U64(p + 12) == size;
  return false;
}

}  // namespace

std::string SingleEntryLayoutProblem(int fd, uint64_t archiveSize, SingleEntryLayout* layout) {
  if (archiveSize < kLocalHeaderSize + kCentralHeaderSize + kEndRecordSize) return "it is too short";

  // End of central directory record: the last one in the file, as readers that search from the end
  // take it; its comment must reach exactly to the end, with nothing in it a reader could take up.
  const uint64_t tailSize = std::min(archiveSize, kEndSearch);
  const uint64_t tailStart = archiveSize - tailSize;
  std::vector<unsigned char> tail;
  if (!ReadAt(fd, tailStart, static_cast<size_t>(tailSize), &tail)) return "it cannot be read";
  size_t found = tail.size();
  for (size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
    if (U32(&tail[i]) == kEndRecordSignature) {
      found = i;
      break;
    }
  }
  if (found == tail.size()) return "it has no end record";
  const unsigned char* record = &tail[found];
  const uint64_t end = tailStart + found;
  const size_t commentSize = U16(record + 20);
  // Bytes after the comment (padding from a download, a signature block) change no reader's view
  // while they hold no record: every reader takes this end record, which the search found last.
  if (found + kEndRecordSize + commentSize > tail.size()) return "its end record's comment runs past its end";
  if (HoldsSignature(record + kEndRecordSize, tail.size() - found - kEndRecordSize))
    return "its comment or the bytes after it hold another record";
  EndValues values{U16(record + 4),  U16(record + 6),  U16(record + 8),
                   U16(record + 10), U32(record + 12), U32(record + 16)};

  // The central directory ends where the Zip64 records begin, or else at the end record.
  uint64_t directoryEnd = end;
  std::vector<unsigned char> locator;
  if (end >= kZip64LocatorSize && ReadAt(fd, end - kZip64LocatorSize, kZip64LocatorSize, &locator) &&
      U32(locator.data()) == kZip64LocatorSignature) {
    const std::string problem =
        ReadZip64End(fd, end - kZip64LocatorSize, locator.data(), &values, &directoryEnd);
    if (!problem.empty()) return problem;
  }
  if (values.disk != 0 || values.directoryDisk != 0) return "it spans several disks";
  if (values.entriesHere != 1 || values.entries != 1) return "its end record counts other than one entry";
  if (values.directoryOffset > directoryEnd || directoryEnd - values.directoryOffset != values.directorySize)
    return "its central directory is not where its end record says";
  if (values.directorySize < kCentralHeaderSize ||
      values.directorySize > kCentralHeaderSize + 3 * kZip16Limit)
    return "its central directory is not one entry";

  // Central directory header: one, filling the directory exactly.
  std::vector<unsigned char> central;
  if (!ReadAt(fd, values.directoryOffset, static_cast<size_t>(values.directorySize), &central))
    return "it cannot be read";
  const unsigned char* c = central.data();
  const size_t nameSize = U16(c + 28);
  const size_t extraSize = U16(c + 30);
  if (U32(c) != kCentralHeaderSignature ||
      kCentralHeaderSize + nameSize + extraSize + U16(c + 32) != values.directorySize)
    return "its central directory is not one entry";
  const uint16_t flags = U16(c + 8);
  const uint16_t method = U16(c + 10);
  const uint32_t crc = U32(c + 16);
  Wide entry{U32(c + 24), U32(c + 20), U32(c + 42), U16(c + 34)};
  if (!WidenFromExtra(c + kCentralHeaderSize + nameSize, extraSize, &entry, true))
    return "its central directory's extra field does not add up";
  if (entry.disk != 0) return "it spans several disks";
  if (entry.offset != 0) return "bytes come before its first header";

  // Local file header at the first byte: the same entry as the directory says.
  std::vector<unsigned char> local;
  if (!ReadAt(fd, 0, kLocalHeaderSize, &local) || U32(local.data()) != kLocalHeaderSignature)
    return "its first bytes are no local header";
  const unsigned char* l = local.data();
  const uint16_t localFlags = U16(l + 6);
  const size_t localNameSize = U16(l + 26);
  const size_t localExtraSize = U16(l + 28);
  std::vector<unsigned char> localTail;
  if (!ReadAt(fd, kLocalHeaderSize, localNameSize + localExtraSize, &localTail)) return "it cannot be read";
  if (localNameSize != nameSize ||
      !std::equal(localTail.begin(), localTail.begin() + static_cast<std::ptrdiff_t>(nameSize),
                  c + kCentralHeaderSize))
    return "its two headers name the entry differently";
  if (U16(l + 8) != method || (localFlags & kFlagsThatMatter) != (flags & kFlagsThatMatter))
    return "its two headers disagree";
  const uint32_t localCrc = U32(l + 14);
  Wide localEntry{U32(l + 22), U32(l + 18), 0, 0};
  if (!WidenFromExtra(localTail.data() + nameSize, localExtraSize, &localEntry, false))
    return "its local header's extra field does not add up";
  const bool described = (flags & kFlagDescriptor) != 0;
  // With a data descriptor the local header may leave the values as zeros, never as others.
  const auto agrees = [described](uint64_t inLocal, uint64_t inCentral) {
    return inLocal == inCentral || (described && inLocal == 0);
  };
  if (!agrees(localCrc, crc) || !agrees(localEntry.compressedSize, entry.compressedSize) ||
      !agrees(localEntry.size, entry.size))
    return "its two headers disagree";

  // The compressed bytes, then the data descriptor if flagged, then the directory: no gap.
  const uint64_t dataOffset = kLocalHeaderSize + localNameSize + localExtraSize;
  if (entry.compressedSize > values.directoryOffset ||
      values.directoryOffset - entry.compressedSize < dataOffset)
    return "its entry's data overlaps its central directory";
  const uint64_t gap = values.directoryOffset - entry.compressedSize - dataOffset;
  if (described) {
    std::vector<unsigned char> descriptor;
    if (gap > 24 || !ReadAt(fd, dataOffset + entry.compressedSize, static_cast<size_t>(gap), &descriptor) ||
        !DescriptorAgrees(descriptor, crc, entry.compressedSize, entry.size))
      return "bytes lie between its entry and its central directory";
  } else if (gap != 0) {
    return "bytes lie between its entry and its central directory";
  }

  layout->name.assign(reinterpret_cast<const char*>(c + kCentralHeaderSize), nameSize);
  layout->method = method;
  layout->crc = crc;
  layout->compressedSize = entry.compressedSize;
  layout->size = entry.size;
  return std::string();
}
