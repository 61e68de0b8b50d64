#include "archive/zip_skeleton.h"

#include <sys/types.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "archive/zip_format.h"
#include "archive/zip_headers.h"
#include "base/posix_file.h"

namespace {

using namespace zip_format;

// Bytes appended after an archive's end record that its skeleton still keeps.
constexpr uint64_t kZipSkeletonTrailingBytes = 4096;

// The entry's compressed size and local header offset from the Zip64 field of its central header
// (the one entry's, in central), where the header itself holds 0xFFFFFFFF; false when that field
// is needed and missing.
bool Zip64Sizes(const std::vector<unsigned char>& central, uint64_t* compressed, uint64_t* local) {
  const bool sizeThere = U32(central.data() + 24) == kZip32Limit;
  const bool compressedThere = *compressed == kZip32Limit;
  const bool localThere = *local == kZip32Limit;
  if (!sizeThere && !compressedThere && !localThere) return true;
  size_t at = kCentralHeaderSize + U16(central.data() + 28);
  const size_t extraEnd = at + U16(central.data() + 30);
  if (extraEnd > central.size()) return false;
  while (at + 4 <= extraEnd) {
    const uint16_t id = U16(&central[at]), size = U16(&central[at + 2]);
    if (at + 4 + size > extraEnd) return false;
    if (id == kZip64ExtraTag) {
      size_t field = at + 4;
      const auto next = [&](bool there, uint64_t* value) {
        if (!there) return true;
        if (field + 8 > at + 4 + size) return false;
        *value = U64(&central[field]);
        field += 8;
        return true;
      };
      uint64_t unpacked = 0;
      return next(sizeThere, &unpacked) && next(compressedThere, compressed) && next(localThere, local);
    }
    at += 4 + size;
  }
  return false;
}

bool ReadAt(int fd, uint64_t offset, size_t size, std::vector<unsigned char>* out) {
  out->resize(size);
  return size == 0 || posix_file::PReadFull(fd, out->data(), size, static_cast<off_t>(offset));
}

}  // namespace

bool ReadZipSkeleton(int fd, uint64_t archiveSize, uint64_t compressedSize, ZipSkeleton* skeleton) {
  if (archiveSize < compressedSize || archiveSize - compressedSize > kZipSkeletonMaxBytes) return false;
  const uint64_t tailSize = std::min(archiveSize, kEndSearch + kZipSkeletonTrailingBytes);
  std::vector<unsigned char> tail;
  if (!ReadAt(fd, archiveSize - tailSize, static_cast<size_t>(tailSize), &tail)) return false;
  // The last end record whose comment reaches exactly to the end of the file; failing that, the
  // last one whose comment fits in it (bytes appended after the archive stay in the skeleton).
  uint64_t end = 0;
  bool found = false;
  for (const bool exact : {true, false}) {
    for (size_t i = tail.size() >= kEndRecordSize ? tail.size() - kEndRecordSize + 1 : 0;
         !found && i-- > 0;) {
      const size_t reach = i + kEndRecordSize + U16(&tail[i + 20]);
      if (U32(&tail[i]) == kEndRecordSignature && (exact ? reach == tail.size() : reach <= tail.size())) {
        end = archiveSize - tailSize + i;
        found = true;
      }
    }
  }
  if (!found) return false;
  const unsigned char* record = &tail[static_cast<size_t>(end - (archiveSize - tailSize))];
  uint64_t directorySize = U32(record + 12);
  uint64_t directoryOffset = U32(record + 16);
  uint64_t directoryEnd = end;
  std::vector<unsigned char> locator;
  if (end >= kZip64LocatorSize + kZip64EndSize &&
      ReadAt(fd, end - kZip64LocatorSize, kZip64LocatorSize, &locator) &&
      U32(locator.data()) == kZip64LocatorSignature) {
    // Zip64 keeps the directory's place in a record of its own, just before its locator.
    directoryEnd = end - kZip64LocatorSize - kZip64EndSize;
    std::vector<unsigned char> zip64;
    if (U32(locator.data() + 4) != 0 || U32(locator.data() + 16) != 1 ||
        !ReadAt(fd, directoryEnd, kZip64EndSize, &zip64) || U32(zip64.data()) != kZip64EndSignature ||
        U64(zip64.data() + 4) != kZip64EndRecordSize || U32(zip64.data() + 16) != 0 ||
        U32(zip64.data() + 20) != 0 || U64(zip64.data() + 24) != 1 || U64(zip64.data() + 32) != 1)
      return false;
    directorySize = U64(zip64.data() + 40);
    directoryOffset = U64(zip64.data() + 48);
  } else if (U16(record + 4) != 0 || U16(record + 6) != 0 || U16(record + 8) != 1 || U16(record + 10) != 1 ||
             directorySize == kZip32Limit || directoryOffset == kZip32Limit) {
    return false;
  }
  if (directorySize > directoryEnd || directorySize > kZipSkeletonMaxBytes) return false;
  const uint64_t directory = directoryEnd - directorySize;
  // Bytes before the archive proper (a self-extractor's program) shift every offset in it.
  if (directory < directoryOffset) return false;
  const uint64_t shift = directory - directoryOffset;
  std::vector<unsigned char> central;
  if (directorySize < kCentralHeaderSize ||
      !ReadAt(fd, directory, static_cast<size_t>(directorySize), &central) ||
      U32(central.data()) != kCentralHeaderSignature)
    return false;
  uint64_t entryCompressed = U32(central.data() + 20);
  uint64_t localOffset = U32(central.data() + 42);
  if (!Zip64Sizes(central, &entryCompressed, &localOffset) || entryCompressed != compressedSize) return false;
  const uint64_t local = localOffset + shift;
  std::vector<unsigned char> header;
  if (local + kLocalHeaderSize > directory || !ReadAt(fd, local, kLocalHeaderSize, &header) ||
      U32(header.data()) != kLocalHeaderSignature)
    return false;
  const uint64_t dataOffset = local + kLocalHeaderSize + U16(header.data() + 26) + U16(header.data() + 28);
  if (dataOffset + compressedSize > directory) return false;

  std::vector<unsigned char> before, after;
  if (!ReadAt(fd, 0, static_cast<size_t>(dataOffset), &before) ||
      !ReadAt(fd, dataOffset + compressedSize, static_cast<size_t>(archiveSize - dataOffset - compressedSize),
              &after))
    return false;
  skeleton->dataOffset = dataOffset;
  skeleton->bytes.assign(before.begin(), before.end());
  skeleton->bytes.append(after.begin(), after.end());
  skeleton->flags = U16(central.data() + 8);
  skeleton->dosTime = uint32_t{U16(central.data() + 14)} << 16 | U16(central.data() + 12);
  return true;
}

bool OwnZipSkeleton(const ZipEntryLayout& entry, ZipSkeleton* skeleton) {
  const uint64_t nameSize = entry.name.size();
  if (nameSize > kZip16Limit || entry.size >= kZip32Limit || entry.compressedSize >= kZip32Limit ||
      kLocalHeaderSize + nameSize + entry.compressedSize >= kZip32Limit)
    return false;
  // The writer's headers of a raw entry: the rebuilt archive is the one it wrote, byte for byte.
  ZipHeaderFields fields;
  fields.flags = entry.flags;
  fields.method = entry.method;
  fields.dosTime = static_cast<uint16_t>(entry.dosTime);
  fields.dosDate = static_cast<uint16_t>(entry.dosTime >> 16);
  fields.crc = entry.crc;
  fields.compressedSize = static_cast<uint32_t>(entry.compressedSize);
  fields.size = static_cast<uint32_t>(entry.size);
  fields.nameSize = static_cast<uint16_t>(nameSize);
  fields.externalAttributes = kPlainFileAttributes;
  fields.localHeaderOffset = 0;
  unsigned char local[kLocalHeaderSize];
  FillLocalHeader(fields, local);
  unsigned char central[kCentralHeaderSize];
  FillCentralHeader(fields, central);
  unsigned char end[kEndRecordSize];
  FillEndRecord(1, static_cast<uint32_t>(kCentralHeaderSize + nameSize),
                static_cast<uint32_t>(kLocalHeaderSize + nameSize + entry.compressedSize), end);

  std::string& bytes = skeleton->bytes;
  bytes.assign(reinterpret_cast<const char*>(local), kLocalHeaderSize);
  bytes += entry.name;
  skeleton->dataOffset = bytes.size();
  bytes.append(reinterpret_cast<const char*>(central), kCentralHeaderSize);
  bytes += entry.name;
  bytes.append(reinterpret_cast<const char*>(end), kEndRecordSize);
  skeleton->flags = entry.flags;
  skeleton->dosTime = entry.dosTime;
  return true;
}

uint32_t DosTimeOf(int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm local {};
  if (seconds <= 0 || ::localtime_r(&when, &local) == nullptr || local.tm_year < 80)
    return (0u << 25 | 1u << 21 | 1u << 16);  // 1980-01-01 00:00, the earliest MS-DOS can say
  const uint32_t date =
      static_cast<uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  const uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  return date << 16 | time;
}
