#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <QByteArray>
#include <QString>

#include "engine/journal.h"

// File operations of the run. Paths are native: only "/" is a delimiter here. Text that a person
// typed or a template made goes through ToNativePath first, so that its "\" counts as "/".

// What tells one file from another, and whether it changed: its identity (device and inode), size,
// and modification and change times. A rename or a new link changes the change time, so a file
// renamed away and back does not pass for unchanged.
struct FileStamp {
  bool known = false;  // false when the file could not be examined
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool SameFile(const FileStamp& other) const {
    return known && other.known && device == other.device && inode == other.inode;
  }
  bool Unchanged(const FileStamp& other) const;
};

FileStamp StampOf(const struct stat& info);
// The stamp of an open file; unknown when fstat fails.
FileStamp StampOfDescriptor(int fd);
// The stamp of the entry at path itself (a link is not followed); unknown when there is none.
FileStamp StampOfEntry(const QByteArray& path);

// Held from its making to its end: a read lease on an open file, which the kernel grants only while
// no one has the file open for writing. A book that someone (cp, unzip, a download) is still
// writing must not lose its name: what they write after that would go into a file without one.
class NoWriterLease {
 public:
  explicit NoWriterLease(int fd);
  ~NoWriterLease();
  NoWriterLease(const NoWriterLease&) = delete;
  NoWriterLease& operator=(const NoWriterLease&) = delete;
  // True when the file is open for writing elsewhere. False also where no lease can be had (a file
  // of another owner without the privilege, a file system without leases): then it cannot be told.
  bool WriterSeen() const { return writerSeen_; }

 private:
  int fd_;
  bool held_ = false;
  bool writerSeen_ = false;
};

// Outcomes of a move besides the errno values.
inline constexpr int kSourceMissing = -1;  // the source was gone before the move
inline constexpr int kSourceChanged = -2;  // it changed while being copied: the copy was discarded
// The errno's text, or the text of the two outcomes above.
QString MoveFailureText(int code);

// Why path cannot be handed to the system at all, "Path too long: ..." (the system itself would say
// only "File name too long"); empty when it can.
QString PathLengthProblem(const QString& path);

// Moves a file, never replacing an existing entry (also when another process races for the name),
// across file systems too: the final name never shows a partial file, and the source is removed
// only after its copy is complete and on disk, and only while it is still exactly the file that was
// copied. False when the file was not moved; then the source is where it was (or gone, when someone
// else took it), and *error (when given) holds the errno or one of the outcomes above. On success
// *moved (when given) identifies the very file now at `to`, when that can be told.
bool MoveFileNoReplace(const QString& from, const QString& to, int* error = nullptr,
                       FileStamp* moved = nullptr);
// Creates a new hidden file beside `to` (".shelvio-" and 8 letters: never a name a book of a run
// could take), put on record as a move of kind from `from` to `to` before it exists, so that a kill
// leaves nothing of ours that recovery cannot find. The open descriptor, or -1 with errno set;
// *name is the file's name.
int CreateRecordedTemporary(JournalledMove& record, MoveKind kind, const QByteArray& from,
                            const QByteArray& to, mode_t mode, QByteArray* name);
// Deletes a file; false when it could not.
bool DeleteFilePath(const QString& path);
// True when a regular file, or a link to one, exists at path.
bool FileExists(const QString& path);
// True when any entry is at path: a file, a folder, a link (dangling too), anything.
bool EntryExists(const QString& path);
// True when a and b name the same file (one name, or two links to one inode).
bool SameFileAt(const QString& a, const QString& b);
// True when a folder, or a link to one, exists at path.
bool DirectoryExists(const QString& path);
// Creates the folder and every missing parent. Returns 0 when the folder exists afterwards, else
// the errno of the creation that failed; an empty path throws ShelvioError (Engine) "Unable to create
// directory".
int ForceDirectories(const QString& path);
// path with "/" appended unless it already ends in "/" or "\"; the empty path becomes "/".
QString IncludeTrailingDelimiter(const QString& path);
// Typed or template-made text as a path: every "\" becomes "/".
QString ToNativePath(const QString& path);
// The file-name part of a list item: the text after its last "/".
QString ExtractFileName(const QString& item);
