#pragma once

// Tells from an archive's bytes how the program compressed the one book it holds, so that a test
// of the compression choice sees what the user gets rather than a setting.

#include <zlib.h>

#include <QByteArray>
#include <QStringList>

#include "tests/support/book_text.h"

// A valid book of about 100 KB of varied words: deflate at levels 1, 6 and 9 gives three different
// streams for it, and it fits in one input chunk of every compression mode.
inline QByteArray BookOfManyWords() {
  const QStringList words = {"книга ", "дом ", "тихий ", "the ", "глава ",
                             "автор ", "лес ", "река ",  "и ",   "в "};
  QString body = QStringLiteral("<p>");
  uint32_t seed = 1;
  while (body.size() < 60000) {
    seed = seed * 1103515245u + 12345u;
    body += words.at(static_cast<int>((seed >> 16) % 10));
    if ((seed >> 8) % 13 == 0) body += QStringLiteral("</p><p>");
  }
  body += QStringLiteral("</p>");
  QByteArray book = Book("Толстой", "Лев", "Анна Каренина");
  book.replace("<p>text</p>", body.toUtf8());
  return book;
}

// The raw deflate stream of data compressed at level in one call, as the writer makes it for a book
// that fits in one chunk.
inline QByteArray RawDeflate(const QByteArray& data, int level) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  QByteArray out(static_cast<qsizetype>(deflateBound(&s, static_cast<uLong>(data.size()))), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&s, Z_FINISH);
  out.truncate(static_cast<qsizetype>(s.total_out));
  deflateEnd(&s);
  return result == Z_STREAM_END ? out : QByteArray();
}

// How the first entry of archive holds book: 0 stored, 1 to 9 the lowest deflate level whose stream
// it holds, -1 anything else (not an archive, other bytes).
inline int CompressionOfBook(const QByteArray& archive, const QByteArray& book) {
  auto u16 = [&](int at) {
    return static_cast<uint8_t>(archive[at]) | static_cast<uint8_t>(archive[at + 1]) << 8;
  };
  if (archive.size() < 30 || !archive.startsWith(QByteArray("PK\x03\x04", 4))) return -1;
  const int method = u16(8);
  const qsizetype size = u16(18) | static_cast<qsizetype>(u16(20)) << 16;
  const QByteArray data = archive.mid(30 + u16(26), size);
  if (method == 0) return data == book ? 0 : -1;
  if (method != 8) return -1;
  for (int level = 1; level <= 9; ++level)
    if (data == RawDeflate(book, level)) return level;
  return -1;
}
