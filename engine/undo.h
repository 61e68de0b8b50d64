#pragma once

#include <QString>

#include "engine/run_record.h"

// How one book of a run ended when the run was undone.
struct UndoOutcome {
  bool restored = false;  // back at its source; else it stays where it is
  QByteArray target;      // where the run left it (its archive, when it was packed)
  QByteArray source;      // where it came from
  QString reason;         // why it stays
};

// The word of an undone book: "restored", or for one that stays the run's own "kept".
QLatin1String UndoWord(bool restored);

class UndoHost {
 public:
  virtual ~UndoHost() = default;
  virtual void BookUndone(const UndoOutcome& outcome) { (void)outcome; }
  // A folder on record as made by the run that the undo leaves alone, and why.
  virtual void FolderKept(const QByteArray& folder, const QString& reason) {
    (void)folder;
    (void)reason;
  }
};

struct UndoSummary {
  int restored = 0;
  int kept = 0;
  int foldersRemoved = 0;
  int foldersKept = 0;  // on record, but not the run's to remove
};

// Puts every book of a run back where it came from, the last moved first. Only books below the
// run's work folders go back, and only into the folder of the run; links and ".." in a recorded
// path count where they lead, and a line that leads elsewhere moves nothing. A book goes back only
// when the file at its target is still the one the run left there (its size and digest; for an
// archive, its one entry's name, CRC and unpacked bytes); a packed book is unpacked to its first
// name and its archive removed once the book is in place. Nothing at a source is ever replaced.
// Folders the run made (its work folders, the levels above them it made, and folders within) are removed when
// they are empty afterwards. The moves go through the same journal and no-replace moves as a run, so a kill
// during an undo loses nothing, and undoing a run again changes nothing. The record gets an "undone" line.
// Never throws for a single book.
UndoSummary UndoRun(const RunRecord& record, UndoHost* host);
