#include "engine/genre_list.h"

#include "engine/ini_file.h"

namespace {

constexpr char16_t kGenreSection[] = u"GENRES";

}  // namespace

void GenreList::Open(const QString& path) {
  path_ = path;
  open_ = true;
}

QString GenreList::GenreFullName(const QString& code) const {
  // A book without a genre code has no full name, whatever the file lists under an empty key.
  if (!open_ || code.isEmpty()) return QString();
  return IniFile(path_).ReadString(QString::fromUtf16(kGenreSection), code, QString());
}

void GenreList::Release() {
  path_.clear();
  open_ = false;
}
