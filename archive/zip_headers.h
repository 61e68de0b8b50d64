#pragma once

// Internal to the archive library: the headers of the archives the writer makes, built in one
// place, so that the writer and the byte-exact rebuild of its archives cannot drift apart.

#include <cstdint>

#include "archive/zip_format.h"

namespace zip_format {

// "version needed": ZIP format 2.0.
constexpr uint16_t kZipVersion = 20;
// "version made by": host 3 (Unix), format 2.0. Info-ZIP's unzip takes the names of entries made on
// an MS-DOS host for OEM code page text and garbles UTF-8 names, the UTF-8 flag notwithstanding.
constexpr uint16_t kVersionMadeBy = 0x0300 | kZipVersion;
// External attributes of an entry whose file the writer never saw (a raw entry): a plain file
// readable and writable by its owner (Unix mode, high half), with the MS-DOS archive attribute.
constexpr uint32_t kPlainFileAttributes = (0100644u << 16) | 0x20;

// What one entry's headers say of it; the writer's archives have no extra fields and no comments.
struct ZipHeaderFields {
  uint16_t flags = 0;
  uint16_t method = kMethodDeflated;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t size = 0;
  uint16_t nameSize = 0;
  uint32_t externalAttributes = 0;
  uint32_t localHeaderOffset = 0;  // only the central directory header holds it
};

// The local file header, kLocalHeaderSize bytes, without the name that follows it.
void FillLocalHeader(const ZipHeaderFields& entry, unsigned char* header);

// The central directory header, kCentralHeaderSize bytes, without the name that follows it.
void FillCentralHeader(const ZipHeaderFields& entry, unsigned char* header);

// The end of central directory record, kEndRecordSize bytes, of a single-disk archive without a
// comment.
void FillEndRecord(uint16_t entries, uint32_t directorySize, uint32_t directoryOffset, unsigned char* record);

}  // namespace zip_format
