#pragma once

#include <QString>

#include "fictionbook/book_info.h"

// Full genre names from the section GENRES of a genre-name file. Every lookup asks the file
// itself; a missing file, section or key gives the empty string, never an error.
class GenreList : public GenreLookup {
 public:
  // Binds the list to a file; nothing is read or checked here.
  void Open(const QString& path);
  QString GenreFullName(const QString& code) const override;
  void Release();
  bool IsOpen() const { return open_; }

 private:
  QString path_;
  bool open_ = false;
};
