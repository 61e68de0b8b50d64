#include "engine/file_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <QCollator>
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/native_name.h"
#include "engine/run.h"

namespace {

// The folder's entries read by name as the system has them: a name that is not UTF-8 (a Windows
// collection's windows-1251 or cp866 names) is listed like any other, and its bytes are kept.
class FolderEntries {
 public:
  explicit FolderEntries(const QString& folder) : dir_(::opendir(NativeName(folder).constData())) {}
  ~FolderEntries() {
    if (dir_) ::closedir(dir_);
  }
  FolderEntries(const FolderEntries&) = delete;
  FolderEntries& operator=(const FolderEntries&) = delete;
  DIR* Get() const { return dir_; }

 private:
  DIR* dir_;
};

bool EndsWith(const char* name, size_t length, const char* extension) {
  const size_t extensionLength = std::strlen(extension);
  return length > extensionLength && ::strcasecmp(name + length - extensionLength, extension) == 0;
}

bool IsBookName(const char* name, bool zippedBooks) {
  const size_t length = std::strlen(name);
  return name[0] != '.' &&
         (EndsWith(name, length, ".fb2") || (zippedBooks && EndsWith(name, length, ".fb2.zip")));
}

// A regular file itself: links are left out, since the run moves the files it lists.
bool IsRegularFile(DIR* dir, const dirent* entry) {
  if (entry->d_type == DT_REG) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  struct stat info {};
  return ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

QStringList ListBookFiles(const QString& folder, bool zippedBooks) {
  // Names beginning with "." are hidden and not listed; the masks match c.FB2 as well. Names
  // only, read as the folder gives them: a folder of 100,000 books costs little more than them.
  QStringList names;
  const FolderEntries entries(folder);
  if (!entries.Get()) return names;
  while (const dirent* entry = ::readdir(entries.Get())) {
    if (IsBookName(entry->d_name, zippedBooks) && IsRegularFile(entries.Get(), entry))
      names.append(NameFromNative(QByteArray(entry->d_name)));
  }

  // Ordered as they are shown: a windows-1251 name stands among the others by its letters.
  struct Listed {
    QString shown;
    QString name;
  };
  std::vector<Listed> listed;
  listed.reserve(static_cast<size_t>(names.size()));
  for (QString& name : names)
    listed.push_back({HasForeignBytes(name) ? DisplayName(name) : QString(), std::move(name)});
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  // Names equal to the collator keep a fixed order between them.
  std::sort(listed.begin(), listed.end(), [&collator](const Listed& a, const Listed& b) {
    const QString& shownA = a.shown.isNull() ? a.name : a.shown;
    const QString& shownB = b.shown.isNull() ? b.name : b.shown;
    const int order = collator.compare(shownA, shownB);
    return order != 0 ? order < 0 : a.name < b.name;
  });
  names.clear();
  for (Listed& entry : listed) names.append(std::move(entry.name));
  return names;
}

QStringList ListBooksToRun(const QString& folder, BookFiles& files, bool zippedBooks) {
  files.FinishInterruptedMoves();
  return ListBookFiles(folder, zippedBooks);
}
