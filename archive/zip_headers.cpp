#include "archive/zip_headers.h"

namespace zip_format {

void FillLocalHeader(const ZipHeaderFields& entry, unsigned char* h) {
  PutU32(h + 0, kLocalHeaderSignature);
  PutU16(h + 4, kZipVersion);
  PutU16(h + 6, entry.flags);
  PutU16(h + 8, entry.method);
  PutU16(h + 10, entry.dosTime);
  PutU16(h + 12, entry.dosDate);
  PutU32(h + 14, entry.crc);
  PutU32(h + 18, entry.compressedSize);
  PutU32(h + 22, entry.size);
  PutU16(h + 26, entry.nameSize);
  PutU16(h + 28, 0);  // extra field length
}

void FillCentralHeader(const ZipHeaderFields& entry, unsigned char* h) {
  PutU32(h + 0, kCentralHeaderSignature);
  PutU16(h + 4, kVersionMadeBy);
  PutU16(h + 6, kZipVersion);  // version needed to extract
  PutU16(h + 8, entry.flags);
  PutU16(h + 10, entry.method);
  PutU16(h + 12, entry.dosTime);
  PutU16(h + 14, entry.dosDate);
  PutU32(h + 16, entry.crc);
  PutU32(h + 20, entry.compressedSize);
  PutU32(h + 24, entry.size);
  PutU16(h + 28, entry.nameSize);
  PutU16(h + 30, 0);  // extra field length
  PutU16(h + 32, 0);  // file comment length
  PutU16(h + 34, 0);  // disk number start
  PutU16(h + 36, 0);  // internal file attributes
  PutU32(h + 38, entry.externalAttributes);
  PutU32(h + 42, entry.localHeaderOffset);
}

void FillEndRecord(uint16_t entries, uint32_t directorySize, uint32_t directoryOffset, unsigned char* r) {
  PutU32(r + 0, kEndRecordSignature);
  PutU16(r + 4, 0);  // number of this disk
  PutU16(r + 6, 0);  // disk where the central directory starts
  PutU16(r + 8, entries);
  PutU16(r + 10, entries);
  PutU32(r + 12, directorySize);
  PutU32(r + 16, directoryOffset);
  PutU16(r + 20, 0);  // comment length
}

}  // namespace zip_format
