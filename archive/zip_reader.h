#pragma once

// Reads back archives of the shape TZipWriter makes, so that a caller can tell whether an archive
// on disk holds a given book: one entry, stored or deflated, no comment, no Zip64, no encryption,
// sizes in the headers. Anything else is not such an archive.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The single entry of an archive of the writer's shape, as its central directory gives it.
struct SingleEntryInfo {
  std::string name;  // the entry's name, bytes as stored
  uint32_t crc = 0;
  uint64_t size = 0;  // unpacked
};

// Reads the headers of the archive open at fd (archiveSize bytes) without unpacking anything;
// false when it is not an archive of the writer's shape.
bool ReadSingleEntryInfo(int fd, uint64_t archiveSize, SingleEntryInfo* info);

// Unpacks the single entry of the archive open at fd (archiveSize bytes), handing each piece of the
// unpacked bytes to consume in order; consume returns false to stop. True only when the archive has
// the writer's shape, the entry unpacks to exactly expectedSize bytes, every piece was taken, and
// the CRC-32 matches.
bool UnpackSingleEntry(int fd, uint64_t archiveSize, uint64_t expectedSize,
                       const std::function<bool(const unsigned char*, size_t)>& consume);

// True when the file open at fd (size bytes) is an archive of no entries as the writer makes it:
// the bare end record, no comment.
bool IsEmptyArchive(int fd, uint64_t size);
