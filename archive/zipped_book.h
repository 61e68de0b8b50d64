#pragma once

// Reads a book that arrives packed: an archive from anywhere (a library site, zip, 7z, Python)
// whose only entry is one .fb2 file. Archives of unknown make are read through libzip, which
// knows Zip64, data descriptors and encryption flags; the reader of our own archives does not.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

// A file name the file list takes as a packed book: it ends in ".fb2.zip", in any letter case.
bool IsZippedBookName(const QString& name);
// The name of the book inside such a name: the name without its ".zip".
QString UnzippedBookName(const QString& name);

// The limits on what an entry may inflate to, against archives made to exhaust memory or disk.
inline constexpr uint64_t kZippedBookMaxBytes = uint64_t{1} << 30;
// Text and base64 images compress a few times over; an entry declared five hundred times larger
// than its compressed bytes is a bomb, not a book.
inline constexpr uint64_t kZippedBookMaxRatio = 500;

class ZippedBook {
 public:
  ZippedBook();
  ~ZippedBook();
  ZippedBook(const ZippedBook&) = delete;
  ZippedBook& operator=(const ZippedBook&) = delete;

  // Opens the archive at path and checks that it holds a book: exactly one entry, a .fb2 name
  // without a folder part, no encryption, stored or deflated, within the limits above. False with
  // Reason() when it does not (the archive is then not a book and is left alone).
  bool Open(const QString& path);
  // The same for the archive open at fd (read through a duplicate of it), so that the bytes read
  // are those of the very file the caller examined; path only names it in reasons.
  bool Open(const QString& path, int fd);

  // Starts inflating the entry from its first byte (again after an earlier pass).
  bool Rewind();
  // Inflates the next bytes of the entry: the count, 0 at its end, -1 on failure (a broken
  // stream, a CRC that does not match, more bytes than declared), with Reason(). The end is only
  // reported once the CRC has been checked.
  int64_t Read(char* buffer, int64_t length);

  // Copies the entry's compressed bytes as they stand, for a new archive that keeps them. They are
  // inflated on the way, unkept: the end is only reported once they have come to the entry's
  // declared size and CRC, and -1 with Reason() when they do not.
  bool RewindCompressed();
  int64_t ReadCompressed(char* buffer, int64_t length);

  const QString& Reason() const { return reason_; }
  QByteArray EntryName() const;  // as stored, raw bytes
  uint16_t Method() const;       // 0 stored, 8 deflated
  uint32_t Crc() const;
  uint64_t Size() const;  // inflated
  uint64_t CompressedSize() const;
  int64_t ModifiedTime() const;  // seconds since the epoch

 private:
  bool OpenOwn(const QString& path, int fd);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  QString path_;
  QString reason_;
};
