#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A move that cannot be done in one atomic step (a copy to another file system, packing a book into
// its archive) passes through moments where a kill leaves the book twice, or a hidden temporary
// file beside the destination. Such moves are recorded while they are under way, so that the next
// run can finish or undo what a killed run left half done.
//
// Each process keeps its records in a journal file of its own in JournalFolder(), made on its first
// record and locked (flock) for as long as the process lives; a journal whose lock can be taken
// belongs to a process that is gone. Same-file-system renames are atomic and are never recorded.

enum class MoveKind {
  // source copied into temporary beside destination, published as destination, source removed
  CopyAcross,
  // source packed into temporary beside destination (source + ".zip"), published, source removed
  Pack,
  // where the file system refuses to rename without replacing: source given destination as a
  // second name (a hard link), then its first name removed; no temporary
  Link,
  // where it refuses hard links too: destination reserved as an empty file, then source renamed
  // over the reservation; no temporary
  Reserve,
  // an undo: the archive source unpacked into temporary beside destination, published as
  // destination (the book's first name), the archive removed
  Unpack,
  // a packed book's archive source renamed to destination, a hidden name beside it, while its
  // book is put in place, so that no other run can take the archive meanwhile; no temporary.
  // A killed run's claim goes back under its name.
  Claim,
  // a packed book's archive source, its entry's compressed bytes copied into temporary beside
  // destination (an archive of our own under the book's new name), published, the archive removed
  Repack,
};

// One move of this process, on record from Begin until End or the object's end. Paths are native
// bytes; relative ones count from the current folder. Recording never fails a move: when the journal
// cannot be made or written, the move goes on unrecorded.
class JournalledMove {
 public:
  JournalledMove() = default;
  ~JournalledMove() { End(); }
  JournalledMove(const JournalledMove&) = delete;
  JournalledMove& operator=(const JournalledMove&) = delete;

  // Records that temporary is about to be created with O_EXCL on the way from source to
  // destination (empty for the kinds without one); call it before every name tried. Ends the
  // record this object held before.
  void Begin(MoveKind kind, const QByteArray& source, const QByteArray& destination,
             const QByteArray& temporary);
  // Records that the move is over, whether it went through or was undone.
  void End();

 private:
  quint64 id_ = 0;
};

// StateFolder() (engine/app_paths.h): the journals lie beside the records of runs, found by the
// same rule as the books' work folders. Empty when no home folder is known.
QString JournalFolder();

// Resolves the records left by runs that are no longer alive: removes their temporary files and,
// where the book is in place at its destination with the source's exact bytes, the source; puts
// claimed archives back under their names where those are free. Nothing else is touched. Safe to call while
// other runs are alive; never throws.
void RecoverInterruptedMoves();
