#include "engine/run.h"

#include "engine/engine_error.h"
#include "engine/file_ops.h"
#include "engine/genre_list.h"
#include "engine/templates.h"
#include "fictionbook/book_info.h"
#include "validation/xsd_validator.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// Keeps the genre-name list open exactly as long as the run, also when an error ends it.
class OpenGenreList {
 public:
  explicit OpenGenreList(const QString& path) { list_.Open(path); }
  ~OpenGenreList() { list_.Release(); }
  OpenGenreList(const OpenGenreList&) = delete;
  OpenGenreList& operator=(const OpenGenreList&) = delete;
  const GenreList& List() const { return list_; }

 private:
  GenreList list_;
};

QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Moves the book and fills the outcome: `status` when it went, Kept with the system's reason when
// it stays.
void MoveBook(BookFiles& files, const QString& item, const QString& target, BookStatus status,
              BookOutcome& outcome) {
  outcome.target = target;
  int error = 0;
  if (files.MoveFile(item, target, &error)) {
    outcome.status = status;
  } else {
    outcome.status = BookStatus::Kept;
    outcome.reason = SystemReason(error);
  }
}

// A destination counts as taken when a book is there, or, with archiving on, when the archive it
// would be packed into is there already: packing would replace that archive and lose its book.
bool DestinationTaken(BookFiles& files, const QString& destination, bool archiving) {
  return files.FileExists(destination) ||
         (archiving && files.FileExists(destination + QStringLiteral(".zip")));
}

void HandleValidBook(RunHost& host, const QString& item, const QString& fileName,
                     const TXSDValidator& validator, const GenreList& genres, BookFiles& files,
                     ArchiveStep* archive, BookOutcome& outcome) {
  TBookInfo info;
  if (TypeWork(host) > 0) {
    const bool fullGenres = host.Checked(CheckOption::FullGenres);
    // The validator has just parsed the book: reading its tree spares a second parse per book.
    const _xmlDoc* tree = LoadedBookTree(validator);
    info = tree ? ReadBookInfo(*tree, fullGenres, &genres) : ReadBookInfo(item, fullGenres, &genres);
  }

  QString newName;
  QString sortFolder;
  if (TypeWork(host) > 0) {
    const QString namePattern = host.Text(TextOption::NewNamePattern);
    const bool translit = host.Checked(CheckOption::Translit);
    const bool useLast = host.Checked(CheckOption::SortLast);
    const bool useFirst = host.Checked(CheckOption::SortFirst);
    const bool useMiddle = host.Checked(CheckOption::SortMiddle);
    const QString sortPattern = host.Text(TextOption::SortPattern);
    const QString endDir = host.Text(TextOption::EndDir);
    const bool translitDir = host.Checked(CheckOption::TranslitDir);
    newName = ToNativePath(MakeFileName(info, namePattern, translit));
    sortFolder = ToNativePath(
        MakeSortFolder(info, sortPattern, endDir, useLast, useFirst, useMiddle, translitDir));
  }

  QString folder;
  QString destination;
  switch (TypeWork(host)) {
    case 1:
      folder = ToNativePath(host.Text(TextOption::EndDir));
      destination = IncludeTrailingDelimiter(folder) + newName;
      break;
    case 10:
      folder = sortFolder;
      destination = IncludeTrailingDelimiter(folder) + fileName;
      break;
    case 11:
      folder = sortFolder;
      destination = IncludeTrailingDelimiter(folder) + newName;
      break;
    default:
      folder = ToNativePath(host.Text(TextOption::EndDir));
      destination = IncludeTrailingDelimiter(folder) + fileName;
      break;
  }
  files.ForceDirectories(folder);

  const bool archiving = archive != nullptr && host.Checked(CheckOption::Archive);
  if (DestinationTaken(files, destination, archiving)) {
    const QString repeatTarget =
        IncludeTrailingDelimiter(ToNativePath(host.Text(TextOption::DoubleDir))) + fileName;
    MoveBook(files, item, repeatTarget, BookStatus::Repeat, outcome);
  } else {
    MoveBook(files, item, destination, BookStatus::Moved, outcome);
  }

  // Nothing to pack when the move did not put a book there; and an archive already at the
  // archive's name (possible after a repeat) holds another book that packing would replace.
  const QString archiveName = destination + QStringLiteral(".zip");
  if (archiving && files.FileExists(destination) && !files.FileExists(archiveName)) {
    const bool packed = archive->Pack(destination);
    if (packed && outcome.status == BookStatus::Moved) outcome.target = archiveName;
  }
}

}  // namespace

bool DiskFiles::FileExists(const QString& path) { return ::FileExists(path); }

void DiskFiles::ForceDirectories(const QString& path) { ::ForceDirectories(path); }

bool DiskFiles::MoveFile(const QString& from, const QString& to, int* error) {
  return MoveFileNoReplace(from, to, error);
}

// The kernel refuses a name with a component longer than NAME_MAX bytes, wherever it stands.
static bool HasOverlongComponent(const QString& key) {
  const QStringList parts = key.split(u'/', Qt::SkipEmptyParts);
  return std::any_of(parts.begin(), parts.end(), [](const QString& part) {
    return QFile::encodeName(part).size() > NAME_MAX;
  });
}

QString DryRunFiles::Key(const QString& path) {
  return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

bool DryRunFiles::AnyEntryAt(const QString& key) const {
  if (arrived_.contains(key) || folders_.contains(key)) return true;
  if (left_.contains(key)) return false;
  return QFileInfo::exists(key) || QFileInfo(key).isSymLink();
}

bool DryRunFiles::FolderExists(const QString& key) const {
  return folders_.contains(key) || DirectoryExists(key);
}

bool DryRunFiles::FileExists(const QString& path) {
  if (path.isEmpty()) return false;
  const QString key = Key(path);
  if (arrived_.contains(key)) return true;
  if (left_.contains(key)) return false;
  return ::FileExists(key);
}

void DryRunFiles::ForceDirectories(const QString& path) {
  if (path.isEmpty()) throw EngineError(QStringLiteral("Unable to create directory"));
  // Record the missing folders down from the nearest one that exists; creation would fail below
  // a file or a folder we may not write to, and then nothing is recorded, as nothing would exist.
  QStringList missing;
  QString key = Key(path);
  if (HasOverlongComponent(key)) return;
  while (!FolderExists(key)) {
    if (AnyEntryAt(key)) return;
    missing.prepend(key);
    const QString parent = QFileInfo(key).path();
    if (parent == key) return;
    key = parent;
  }
  if (!missing.isEmpty() && !folders_.contains(key) &&
      !QFileInfo(key).isWritable())
    return;
  for (const QString& folder : missing) folders_.insert(folder);
}

bool DryRunFiles::MoveFile(const QString& from, const QString& to, int* error) {
  const QString fromKey = Key(from);
  const QString toKey = to.isEmpty() ? QString() : Key(to);
  int result = 0;
  if (!FileExists(from) || toKey.isEmpty()) {
    result = ENOENT;
  } else if (HasOverlongComponent(toKey)) {
    result = ENAMETOOLONG;
  } else if (AnyEntryAt(toKey)) {
    result = EEXIST;
  } else if (!FolderExists(QFileInfo(toKey).path())) {
    result = ENOENT;
  }
  if (error) *error = result;
  if (result != 0) return false;
  left_.insert(fromKey);
  arrived_.remove(fromKey);
  arrived_.insert(toKey);
  left_.remove(toKey);
  return true;
}

int TypeWork(RunHost& host) {
  return (host.Checked(CheckOption::Rename) ? 1 : 0) + (host.Checked(CheckOption::Sort) ? 10 : 0);
}

void Booker(RunHost& host, const QStringList& items, TXSDValidator& validator,
            const QString& appPath, BookFiles& files, ArchiveStep* archive) {
  const OpenGenreList genres(appPath + QStringLiteral("fls/genres.list"));
  host.SetProgressMax(static_cast<int>(items.size()));
  const qsizetype count = items.size();
  for (qsizetype i = 0; i < count; ++i) {
    host.PumpMessages();
    if (host.CancelRequested()) break;

    const QString& item = items.at(i);
    const QString fileName = ExtractFileName(item);
    host.SetStatus(fileName);
    host.SetProgress(static_cast<int>(i + 1));

    BookOutcome outcome;
    outcome.source = item;
    // The invalid-files folder is used as typed: nothing is inserted before the file name.
    const QString badTarget = ToNativePath(host.Text(TextOption::BadDir)) + fileName;
    if (XMLValid(validator, item) != 0) {
      const QString reason = validator.GetErrorText();
      MoveBook(files, item, badTarget, BookStatus::Invalid, outcome);
      if (outcome.status == BookStatus::Invalid) outcome.reason = reason;
    } else {
      try {
        HandleValidBook(host, item, fileName, validator, genres.List(), files, archive, outcome);
      } catch (...) {
        // An error after the move (the archive step's) ends the run, but the book has gone
        // somewhere already: say where, so that no one counts it as untouched.
        if (!outcome.target.isEmpty()) host.BookDone(outcome);
        throw;
      }
    }
    host.BookDone(outcome);
  }
}

bool StartRun(RunHost& host, const QStringList& items, TXSDValidator& validator,
              const QString& appPath, BookFiles& files, ArchiveStep* archive,
              QString* schemaError) {
  host.SetProgress(0);
  const bool loaded = validator.LoadSchema(appPath + QStringLiteral("fls/FictionBook.xsd"));
  if (loaded) {
    Booker(host, items, validator, appPath, files, archive);
  } else if (schemaError) {
    *schemaError = validator.GetErrorText();
  }
  host.SetProgress(0);
  host.SetStatus(QStringLiteral("Ждём..."));
  return loaded;
}
