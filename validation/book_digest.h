#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>

// What tells one book's bytes from another's: their number and a 64-bit XXH3 hash of them. It is
// computed while the validator reads the book, so a run learns it without reading the book again,
// and an undo can tell whether the file a run left is still that book.
struct BookDigest {
  bool known = false;
  qint64 size = 0;
  quint64 hash = 0;

  bool operator==(const BookDigest&) const = default;
};

// Digests bytes fed in order.
class BookDigester {
 public:
  BookDigester();
  ~BookDigester();
  BookDigester(const BookDigester&) = delete;
  BookDigester& operator=(const BookDigester&) = delete;

  void Add(const void* data, size_t size);
  BookDigest Result() const;
  // Starts again, as if nothing had been added.
  void Reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
  qint64 size_ = 0;
};

// The digest of the file at path, read once; unknown when it cannot be read to its end.
BookDigest DigestOfFile(const QString& path);
// The digest of the file open at fd from its current offset to its end; unknown on a read error.
BookDigest DigestOfOpenFile(int fd);
