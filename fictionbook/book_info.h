#pragma once

#include <QString>
#include <stdexcept>
#include <string>

// libxml2's document, named only so that a book parsed elsewhere can be handed over.
struct _xmlDoc;

// The metadata that the run needs of one book; every field is empty unless the book supplies it.
struct TBookInfo {
  QString LastName;
  QString FirstName;
  QString MiddleName;
  QString Title;
  QString Genre;
  QString Lang;
  QString SeqName;
  QString SeqNumber;

  bool operator==(const TBookInfo&) const = default;
};

// Error of the document layer: a book that does not load, or an element whose text is not a
// single text node. The message is the text a user sees.
class FictionBookError : public std::runtime_error {
 public:
  explicit FictionBookError(const QString& message)
      : std::runtime_error(message.toStdString()), message_(message) {}
  const QString& Message() const { return message_; }

 private:
  QString message_;
};

// Where full genre names come from. The engine's genre-name list implements it; the reader only
// asks, so that this library does not depend on the engine.
class GenreLookup {
 public:
  virtual ~GenreLookup() = default;
  // The full name for a genre code, or the empty string when there is none.
  virtual QString GenreFullName(const QString& code) const = 0;
};

// Reads the metadata of the book at path (resolved against the current directory). The file is
// read completely and closed before the function returns. When fullGenreNames is set, the first
// genre's trimmed code is replaced by genres->GenreFullName(code) (empty when genres is null).
// Throws FictionBookError when the file does not load, or when a text element read holds anything
// but a single text or CDATA node ("Element does not contain a single text node").
TBookInfo ReadBookInfo(const QString& path, bool fullGenreNames, const GenreLookup* genres);

// The same read over a book that libxml2 has already parsed (the validator's tree: see
// validation/loaded_document.h), so that a book is parsed once per run. Blank text nodes in the
// tree are passed over. Throws FictionBookError for a text element as above.
TBookInfo ReadBookInfo(const _xmlDoc& document, bool fullGenreNames, const GenreLookup* genres);
