#pragma once

// Whether an archive of one entry means the same to every reader. Readers find an archive in
// different ways: from the end record, from the central directory it names, from the local
// headers read front to back; and they forgive different things (bytes before the archive, bytes
// after it, a gap). Two archives joined in one file, or an entry hidden where one reader looks and
// another does not, show one book to one reader and another book to the next. A file the program
// removes once it has placed "its" book must hold nothing that another reader would call a book.

#include <cstdint>
#include <string>

// The one entry as every record of such an archive gives it.
struct SingleEntryLayout {
  std::string name;  // raw bytes, as stored
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;  // unpacked
};

// Reads the records of the archive open at fd (archiveSize bytes). Empty, with *layout filled, when
// the file is exactly one entry: its local header at the first byte, its compressed bytes, a data
// descriptor where its flags call for one, a central directory of that one entry, the Zip64 records
// where present, and the end record with its comment; every record agreeing with the others, and
// no byte outside them but the comment and bytes after it, neither holding a record's signature.
// Otherwise what is wrong, for a reason shown to the user.
std::string SingleEntryLayoutProblem(int fd, uint64_t archiveSize, SingleEntryLayout* layout);
