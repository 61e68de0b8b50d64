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

class UndoHost {
 public:
  virtual ~UndoHost() = default;
  virtual void BookUndone(const UndoOutcome& outcome) { (void)outcome; }
};

struct UndoSummary {
  int restored = 0;
  int kept = 0;
  int foldersRemoved = 0;
};

// Puts every book of a run back where it came from, the last moved first. A book goes back only
// when the file at its target is still the one the run left there (its size and digest; for an
// archive, its one entry's name, CRC and unpacked bytes); a packed book is unpacked to its first
// name and its archive removed once the book is in place. Nothing at a source is ever replaced.
// Folders the run made are removed when they are empty afterwards. The moves go through the same
// journal and no-replace moves as a run, so a kill during an undo loses nothing, and undoing a
// run again changes nothing. The record gets an "undone" line. Never throws for a single book.
UndoSummary UndoRun(const RunRecord& record, UndoHost* host);
