#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "engine/file_ops.h"
#include "validation/book_digest.h"
#include "validation/xsd_validator.h"

class BookSlot;

// The verdict on one book, as XMLValid gives it. The run may call it on other threads, each with a
// validator of its own, for the books after the current one; it must not touch the host.
using BookCheck = int (*)(TXSDValidator& validator, const QString& path);

// How many books a run may validate ahead of the one it handles: three per core (at most seven;
// one on a single core), so that the cores stay busy on small books while a large one holds one of
// them.
qsizetype LookAheadBooks();

// Books are read ahead only while those in hand total at most this many bytes (a packed book
// counted at its inflated size); a larger book is in hand alone. The memory a book takes while it is
// validated grows with its largest <binary>, so this bounds a run's memory however its large books fall in
// the list.
inline constexpr qint64 kLookAheadBytes = 12 * 1024 * 1024;

// A book's verdict at its turn: the validator that gave it still holds the book (its error text,
// its tree for the metadata) until the next book is judged.
struct JudgedBook {
  BookVerdict verdict = BookVerdict::NotLoadable;
  TXSDValidator* validator = nullptr;
  BookDigest digest;   // of the bytes the verdict was given on
  FileStamp identity;  // of the file the verdict was given on, as it was examined before the reading
  // Not conforming, judged no further than the schema's first complaint (see
  // TXSDValidator::SetStopAtFirstComplaint): what lenient mode needs of it was not read.
  bool stoppedEarly = false;
};

// Validates the books of a run ahead of the one it handles. Parsing and validation are most of a
// run, so each slot validates on a thread of its own with a validator of its own, while the run's
// thread waits for the current book and handles it. Only verdicts are made ahead: no option is
// read and nothing is moved, so a cancel or an error leaves everything as a run without look-ahead
// would, and the books read ahead are simply not handled. Without spare validators (one book, or
// none to be had) every book is validated at its turn. The destructor waits for every thread.
class LookAhead {
 public:
  // validator has its schema loaded; the spares share it (or load appPath + "fls/FictionBook.xsd").
  // With firstComplaintEnough (a strict run) books are judged no further than the schema's first
  // complaint; validator is set so for the look-ahead's life.
  LookAhead(const QStringList& items, TXSDValidator& validator, const QString& appPath, BookCheck check,
            bool firstComplaintEnough = false);
  ~LookAhead();
  LookAhead(const LookAhead&) = delete;
  LookAhead& operator=(const LookAhead&) = delete;

  // The verdict on items[index], asked for in the list's order, and the next books handed to the
  // slots that are free. A book whose file changed since it was read ahead is validated again;
  // an error of its validation is rethrown here.
  JudgedBook Judge(qsizetype index);
  // items[index] judged again, whole, right here: for a book that Judge gave as stopped early when
  // the run turns out to need more of it. Only for the index Judge gave last.
  JudgedBook JudgeWhole(qsizetype index);

 private:
  JudgedBook Judged(BookSlot& slot, qsizetype index);

  const QStringList& items_;
  TXSDValidator& validator_;
  bool validatorStopped_;  // the run's validator's own setting, given back at the end
  std::vector<std::unique_ptr<TXSDValidator>> spares_;
  // Declared after the validators they use, so that every thread is joined before those go.
  std::vector<std::unique_ptr<BookSlot>> slots_;
};
