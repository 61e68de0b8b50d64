#pragma once

// Internal to the libraries that write and check archives: the parts of the ZIP format that the
// writer produces and the readers check, so that all of them agree on them. The writer's headers
// themselves are built in zip_headers.h.

#include <cstddef>
#include <cstdint>

namespace zip_format {

// Record signatures.
constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kDescriptorSignature = 0x08074B50;

// Fixed sizes of the records, without their names, extra fields and comments.
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
// The Zip64 end record without an extensible data sector, and its own "size of record" field,
// which leaves out the signature and the field itself.
constexpr size_t kZip64EndSize = 56;
constexpr uint64_t kZip64EndRecordSize = kZip64EndSize - 12;
// The end record with the longest comment it can have.
constexpr uint64_t kEndSearch = kEndRecordSize + 0xFFFF;

// General purpose flags.
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8Name = 0x0800;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

// Zip64: the extra field record's tag, and the values a 32-bit or 16-bit field holds when its
// value lies in the Zip64 records. Without Zip64 every size and offset must stay below kZip32Limit.
constexpr uint16_t kZip64ExtraTag = 0x0001;
constexpr uint64_t kZip32Limit = 0xFFFFFFFF;
constexpr uint16_t kZip16Limit = 0xFFFF;

// Little-endian fields.
inline void PutU16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline void PutU32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t U64(const unsigned char* p) { return uint64_t{U32(p)} | uint64_t{U32(p + 4)} << 32; }

}  // namespace zip_format
