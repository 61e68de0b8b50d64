#include "engine/book_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/error.h"
#include "base/native_name.h"
#include "engine/journal.h"
#include "engine/zipped_books.h"

bool DiskFiles::EntryExists(const QString& path) { return ::EntryExists(path); }

bool DiskFiles::SameFile(const QString& a, const QString& b) { return SameFileAt(a, b); }

int DiskFiles::ForceDirectories(const QString& path) { return ::ForceDirectories(path); }

bool DiskFiles::MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) {
  return MoveFileNoReplace(from, to, error, moved);
}

void DiskFiles::FinishInterruptedMoves() { RecoverInterruptedMoves(); }

bool DiskFiles::UnpackBook(const QString& archive, const QString& to, const FileStamp& judged,
                           QString* reason, const ArrivalObserver& arrived) {
  return UnpackZippedBook(archive, to, judged, reason, arrived);
}

bool DryRunFiles::UnpackBook(const QString& archive, const QString& to, const FileStamp&, QString* reason,
                             const ArrivalObserver&) {
  int error = 0;
  if (MoveFile(archive, to, &error, nullptr)) return true;
  *reason = MoveFailureText(error);
  return false;
}

// The kernel refuses a name with a component longer than NAME_MAX bytes, wherever it stands.
static bool HasOverlongComponent(const QString& key) {
  const QStringList parts = key.split(u'/', Qt::SkipEmptyParts);
  return std::any_of(parts.begin(), parts.end(),
                     [](const QString& part) { return NativeName(part).size() > NAME_MAX; });
}

PathSet::Digest PathSet::DigestOf(const QString& path) {
  const QByteArray sum =
      QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(path.utf16()), path.size() * 2),
                               QCryptographicHash::Sha256);
  Digest digest;
  std::memcpy(&digest.high, sum.constData(), sizeof digest.high);
  std::memcpy(&digest.low, sum.constData() + sizeof digest.high, sizeof digest.low);
  return digest;
}

QString DryRunFiles::Key(const QString& path) { return QDir::cleanPath(AbsolutePath(path)); }

bool DryRunFiles::AnyEntryAt(const QString& key) const {
  if (arrived_.contains(key) || folders_.contains(key)) return true;
  if (left_.contains(key)) return false;
  struct stat info {};
  return ::lstat(NativeName(key).constData(), &info) == 0;
}

bool DryRunFiles::FolderExists(const QString& key) const {
  return folders_.contains(key) || DirectoryExists(key);
}

bool DryRunFiles::FileThere(const QString& path) const {
  if (path.isEmpty()) return false;
  const QString key = Key(path);
  if (arrived_.contains(key)) return true;
  if (left_.contains(key)) return false;
  return ::FileExists(key);
}

bool DryRunFiles::EntryExists(const QString& path) { return !path.isEmpty() && AnyEntryAt(Key(path)); }

bool DryRunFiles::SameFile(const QString& a, const QString& b) {
  if (a.isEmpty() || b.isEmpty()) return false;
  const QString first = Key(a);
  const QString second = Key(b);
  if (first == second) return FileThere(first);
  // Two names of one file on disk, neither touched by the run so far.
  const auto untouched = [this](const QString& key) {
    return !arrived_.contains(key) && !left_.contains(key);
  };
  return untouched(first) && untouched(second) && SameFileAt(first, second);
}

int DryRunFiles::ForceDirectories(const QString& path) {
  if (path.isEmpty())
    throw ShelvioError(ShelvioError::Kind::Engine, QStringLiteral("Unable to create directory"));
  // Record the missing folders down from the nearest one that exists; creation would fail below
  // a file or a folder we may not write to, and then nothing is recorded, as nothing would exist.
  QStringList missing;
  QString key = Key(path);
  if (HasOverlongComponent(key)) return ENAMETOOLONG;
  while (!FolderExists(key)) {
    if (AnyEntryAt(key)) return ENOTDIR;
    missing.prepend(key);
    const QString parent = QFileInfo(key).path();
    if (parent == key) return ENOENT;
    key = parent;
  }
  if (!missing.isEmpty() && !folders_.contains(key) && ::access(NativeName(key).constData(), W_OK) != 0)
    return EACCES;
  for (const QString& folder : missing) folders_.insert(folder);
  return 0;
}

bool DryRunFiles::MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) {
  const QString fromKey = Key(from);
  const QString toKey = to.isEmpty() ? QString() : Key(to);
  int result = 0;
  if (!FileThere(from)) {
    result = kSourceMissing;
  } else if (toKey.isEmpty()) {
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
  if (moved) moved->known = true;  // the simulation moves nothing but what it was asked to
  return true;
}
