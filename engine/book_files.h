#pragma once

#include <QSet>
#include <QString>
#include <functional>

#include "engine/file_ops.h"

struct ArrivedArchive;

// Hears what an undo needs of the .fb2.zip a book arrived in, once, just before the book is
// published under its new name: a run killed after that finds it on record.
using ArrivalObserver = std::function<void(const ArrivedArchive&)>;

// What became of a pack: packed, or left unpacked at its destination with the reason.
struct PackOutcome {
  bool packed = false;
  QString reason;
  // Someone else's file took the archive's name while the book was packed: the destination is
  // taken after all, which the repeat rule decides, not the writer's prompt.
  bool nameTaken = false;
};

// Packs a book that the run has just moved to its destination itself, in the same step. With
// "Archive" ticked the run calls it only then: never after a repeat, a failed move or a vanished
// source, so that a run packs nothing but the book it is handling.
class ArchiveStep {
 public:
  virtual ~ArchiveStep() = default;
  // Packs destination into destination + ".zip" and removes destination once the archive holds
  // it. moved identifies the file the move put there: a file at destination that is not that one
  // (or that changes while it is packed) is left alone, and nothing is left of the archive. Throws
  // to end the run.
  virtual PackOutcome Pack(const QString& destination, const FileStamp& moved) = 0;
  // Puts the book packed in archive (a .fb2.zip, judged valid) into destination + ".zip" under
  // destination's name, and removes archive once that is in place. judged identifies the archive
  // the verdict was given on: another file at its name, or that one changed, is not placed. False
  // with *reason when it did not: archive stays as it was. True with *reason when the book is in
  // place but archive stayed (it changed meanwhile). arrived, when set, hears what an undo needs
  // of archive. Throws to end the run.
  virtual bool Repack(const QString& archive, const QString& destination, const FileStamp& judged,
                      QString* reason, const ArrivalObserver& arrived) {
    (void)archive;
    (void)arrived;
    (void)destination;
    (void)judged;
    *reason = QStringLiteral("packed books are not handled here");
    return false;
  }
};

// The disk as the run sees it: the real one, or the simulation of a dry run.
class BookFiles {
 public:
  virtual ~BookFiles() = default;
  // True when any entry (a file, a folder, a link, dangling too) is at path.
  virtual bool EntryExists(const QString& path) = 0;
  // True when both paths name one file.
  virtual bool SameFile(const QString& a, const QString& b) = 0;
  // Creates the folder path; 0 when it exists afterwards, else the errno of the failed creation.
  // Throws ShelvioError (Engine) "Unable to create directory" for the empty path.
  virtual int ForceDirectories(const QString& path) = 0;
  // Moves without replacing anything; false with the errno (or kSourceMissing, kSourceChanged) in
  // *error when the book did not go. On success *moved identifies the file now at `to` (unknown
  // when that cannot be told).
  virtual bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) = 0;
  // Finishes or undoes what killed runs left half done on this disk; nothing where nothing is
  // ever changed. Never throws.
  virtual void FinishInterruptedMoves() {}
  // Extracts the book packed in archive (a .fb2.zip, judged valid; judged identifies the file the
  // verdict was given on) to `to` without replacing anything, and removes archive once the book is
  // in place. False with *reason when the archive stays; true with *reason when the book is in
  // place but the archive stayed (it changed). arrived, when set, hears what an undo needs of
  // archive.
  virtual bool UnpackBook(const QString& archive, const QString& to, const FileStamp& judged, QString* reason,
                          const ArrivalObserver& arrived) {
    (void)archive;
    (void)arrived;
    (void)to;
    (void)judged;
    *reason = QStringLiteral("packed books are not handled here");
    return false;
  }
};

// The real disk, through the safe file operations.
class DiskFiles final : public BookFiles {
 public:
  bool EntryExists(const QString& path) override;
  bool SameFile(const QString& a, const QString& b) override;
  int ForceDirectories(const QString& path) override;
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override;
  void FinishInterruptedMoves() override;
  bool UnpackBook(const QString& archive, const QString& to, const FileStamp& judged, QString* reason,
                  const ArrivalObserver& arrived) override;
};

// A set of paths that holds a 128-bit digest of each instead of the path: a dry run remembers two
// paths per book, and a library of a million books would otherwise hold them all as text.
class PathSet {
 public:
  bool contains(const QString& path) const { return digests_.contains(DigestOf(path)); }
  void insert(const QString& path) { digests_.insert(DigestOf(path)); }
  void remove(const QString& path) { digests_.remove(DigestOf(path)); }

  struct Digest {
    quint64 high = 0;
    quint64 low = 0;
    bool operator==(const Digest&) const = default;
  };

 private:
  static Digest DigestOf(const QString& path);
  QSet<Digest> digests_;
};

inline size_t qHash(const PathSet::Digest& digest, size_t seed = 0) noexcept {
  return static_cast<size_t>(digest.low) ^ seed;
}

// The disk as it would be after the moves so far, which are only recorded: the disk is never
// changed. A dry run over it computes the same destinations as the real run that follows.
class DryRunFiles final : public BookFiles {
 public:
  bool EntryExists(const QString& path) override;
  bool SameFile(const QString& a, const QString& b) override;
  int ForceDirectories(const QString& path) override;
  bool MoveFile(const QString& from, const QString& to, int* error, FileStamp* moved) override;
  bool UnpackBook(const QString& archive, const QString& to, const FileStamp& judged, QString* reason,
                  const ArrivalObserver& arrived) override;

 private:
  static QString Key(const QString& path);
  bool FileThere(const QString& path) const;
  bool AnyEntryAt(const QString& key) const;
  bool FolderExists(const QString& key) const;

  PathSet arrived_;        // files moved in
  PathSet left_;           // files moved away
  QSet<QString> folders_;  // folders created
};
