#pragma once

#include <QString>
#include <QStringList>

class TXSDValidator;

// What the run reads of its options. Each is read at the moment the run needs it, so a change in
// the shell applies to the next book that reads it.
enum class TextOption { BadDir, EndDir, DoubleDir, NewNamePattern, SortPattern };
enum class CheckOption { Rename, Sort, Archive, Translit, TranslitDir, SortLast, SortFirst, SortMiddle, FullGenres };

// How one book ended.
enum class BookStatus {
  Invalid,  // did not load or did not conform: moved (or tried) to the invalid-files folder
  Moved,    // moved to its destination (with archiving on, packed there)
  Repeat,   // destination taken: moved to the folder for repeated files
  Kept,     // a move failed: the book stays in the source folder
};

struct BookOutcome {
  BookStatus status = BookStatus::Kept;
  QString source;  // the list item as the run used it
  QString target;  // where the book went (or was to go)
  QString reason;  // the validator's reason for Invalid, the system's reason for Kept
};

// The shell around a run: the window over its controls, the command-line runner over a settings
// file, tests over a fake.
class RunHost {
 public:
  virtual ~RunHost() = default;
  virtual QString Text(TextOption option) = 0;
  virtual bool Checked(CheckOption option) = 0;
  virtual void SetStatus(const QString& text) = 0;
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgress(int position) = 0;
  // Called once before each book; the window handles its pending events here.
  virtual void PumpMessages() = 0;
  // Tested right after PumpMessages.
  virtual bool CancelRequested() = 0;
  // Called once for every book the run has finished with.
  virtual void BookDone(const BookOutcome& outcome) { (void)outcome; }
};
