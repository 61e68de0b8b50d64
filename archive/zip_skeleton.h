#pragma once

// An archive of one entry is its entry's compressed bytes inside a few headers. Kept apart, the
// headers (the "skeleton") and the compressed bytes give the archive back byte for byte when they
// are joined again, whoever made it: an undo puts a book back into the very archive it arrived in.

#include <cstdint>
#include <string>

// The archive's bytes outside its entry's compressed bytes, which lie at dataOffset.
struct ZipSkeleton {
  uint64_t dataOffset = 0;
  std::string bytes;
  uint16_t flags = 0;    // the entry's general purpose flags
  uint32_t dosTime = 0;  // the entry's MS-DOS date (high half) and time (low half)

  // The headers before the compressed bytes, and those after them.
  std::string Head() const { return bytes.substr(0, dataOffset); }
  std::string Tail() const { return bytes.substr(dataOffset); }
};

// Skeletons larger than this (a self-extractor's program) are not kept; the longest comment an
// archive can have fits.
inline constexpr uint64_t kZipSkeletonMaxBytes = 128 * 1024;

// Reads the skeleton of the archive open at fd (archiveSize bytes) whose one entry has
// compressedSize bytes. False when its layout cannot be told for sure (more than one entry, offsets
// that do not add up, compressed bytes that run into the headers after them) or the skeleton is
// larger than kZipSkeletonMaxBytes.
bool ReadZipSkeleton(int fd, uint64_t archiveSize, uint64_t compressedSize, ZipSkeleton* skeleton);

// One entry as the program's own writer lays it out: a local header and the name, the compressed
// bytes, a central directory of one entry and the end record.
struct ZipEntryLayout {
  std::string name;  // raw bytes
  uint16_t flags = 0;
  uint16_t method = 8;
  uint32_t dosTime = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
};

// The skeleton of such an archive; false when the entry does not fit an archive without Zip64.
bool OwnZipSkeleton(const ZipEntryLayout& entry, ZipSkeleton* skeleton);

// A time in seconds since the epoch as MS-DOS date and time in local time, as ZIP headers hold it.
uint32_t DosTimeOf(int64_t seconds);
