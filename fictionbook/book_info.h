#pragma once

#include <QString>
#include <string>

#include "base/error.h"

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
// A field's text is what a reader shows of its element: text and CDATA, internal entities written
// out, the text of inline markup; comments, processing instructions and blank text nodes left
// out. Throws ShelvioError (Metadata) when the file does not load.
TBookInfo ReadBookInfo(const QString& path, bool fullGenreNames, const GenreLookup* genres);

// The same read over a book that libxml2 has already parsed (the validator's tree: see
// validation/loaded_document.h), so that a book is parsed once per run; fields are read as above.
TBookInfo ReadBookInfo(const _xmlDoc& document, bool fullGenreNames, const GenreLookup* genres);
