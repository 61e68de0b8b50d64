#include "engine/look_ahead.h"

#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>

#include "archive/zipped_book.h"
#include "base/native_name.h"
#include "engine/file_ops.h"
#include "engine/zipped_books.h"
#include "validation/xsd_validator.h"

namespace {

// What tells whether the book at path is still the one a verdict was given on: the file a link
// leads to, as the validator reads it. Unknown when the path cannot be examined.
FileStamp StampOfBook(const QString& path) {
  struct stat status {};
  return ::stat(NativeName(path).constData(), &status) == 0 ? StampOf(status) : FileStamp();
}

// What judging the book at path will take of the look-ahead's budget: its size, and for a packed
// book the size its entry inflates to, which is what the parser reads (a few kilobytes of archive
// can hold a book of hundreds of megabytes). An archive that is not a book counts as it is.
qint64 BudgetBytes(const QString& path, const FileStamp& stamp) {
  if (!IsZippedBookName(path)) return stamp.size;
  ZippedBook book;
  if (!book.Open(path)) return stamp.size;
  return static_cast<qint64>(std::min<uint64_t>(book.Size(), std::numeric_limits<qint64>::max()));
}

// A spare validator for the look-ahead, sharing the run's compiled schema (or over the schema in
// appPath when the run's validator has none); null when it cannot be had, and then fewer books
// are validated ahead.
std::unique_ptr<TXSDValidator> SpareValidator(const TXSDValidator& validator, const QString& appPath) {
  try {
    auto spare = std::make_unique<TXSDValidator>();
    if (spare->ShareSchema(validator) || spare->LoadSchema(appPath + QStringLiteral("fls/FictionBook.xsd")))
      return spare;
  } catch (const std::exception&) {
  }
  return nullptr;
}

}  // namespace

// One validator and the book it holds: its verdict, and its tree for the metadata until the book
// has been handled. The slot's worker, a thread that lives as long as the slot, validates the books
// handed to it while the caller's thread does other work; the destructor waits for the book in hand
// and ends the worker, so that neither an error nor a cancel leaves a thread running. The worker
// reads no option and touches no file.
class BookSlot {
 public:
  BookSlot(BookCheck check, TXSDValidator& validator) : check_(check), validator_(validator) {}
  ~BookSlot() {
    Join();
    if (!worker_.joinable()) return;
    Publish(kStop);
    worker_.join();
  }
  BookSlot(const BookSlot&) = delete;
  BookSlot& operator=(const BookSlot&) = delete;

  TXSDValidator& Validator() { return validator_; }
  // The list index of the book held; -1 for none.
  qsizetype Index() const { return index_; }

  // Validates the list item at index on the slot's worker, or right here when no thread can be
  // started. A book is handed over by one atomic exchange: no lock is taken, and the worker is
  // woken (one system call) only when it sleeps.
  // identity is the file's as the caller has just examined it.
  void Start(qsizetype index, const QString& path, const FileStamp& identity, qint64 bytes) {
    Assign(index, path);
    bytes_ = bytes;
    given_ = identity;
    if (!worker_.joinable()) {
      try {
        worker_ = std::thread(&BookSlot::Serve, this);
      } catch (const std::system_error&) {
        Work();
        return;
      }
    }
    Publish(kQueued);
  }

  // What the book held takes of the look-ahead's budget (see BudgetBytes).
  qint64 Bytes() const { return bytes_; }
  // The digest of the bytes the verdict was given on; valid after Verdict.
  const BookDigest& Digest() const { return digest_; }
  // The file the verdict was given on; valid after Verdict.
  const FileStamp& Identity() const { return identity_; }

  // Returns once the book handed to the worker, if any, has its verdict.
  void Wait() { Join(); }

  // Validates the list item at index right here.
  void Validate(qsizetype index, const QString& path) {
    Assign(index, path);
    Work();
  }

  // The verdict at the book's turn, as XMLValid gives it, or the error its validation ended with,
  // rethrown here. A file at path that is no longer the one read (gone, replaced, rewritten) is
  // validated again first.
  int Verdict(const QString& path) {
    Join();
    if (!StampOfBook(path).Unchanged(identity_)) Work();
    if (error_) std::rethrow_exception(error_);
    return result_;
  }

 private:
  static constexpr int kIdle = 0;          // no book, or its verdict is made
  static constexpr int kQueued = 1;        // a book is handed to the worker
  static constexpr int kStop = 2;          // the worker is to end
  static constexpr int kSleeping = 0x100;  // added while a thread sleeps until the state changes

  void Assign(qsizetype index, const QString& path) {
    Join();
    index_ = index;
    path_ = path;
    given_ = FileStamp();
  }

  void Work() noexcept {
    identity_ = FileStamp();
    result_ = -1;
    error_ = nullptr;
    digest_ = BookDigest();
    try {
      identity_ = given_.known ? given_ : StampOfBook(path_);
      given_ = FileStamp();
      result_ = check_(validator_, path_);
      // The validator digests the bytes of a plain book as it reads them; a packed book's digest
      // is its archive's, and any other check reads the book once more for it.
      const bool digestedByCheck =
          check_ == XMLValid || (check_ == CheckListedBook && !IsZippedBookName(path_));
      if (digestedByCheck) digest_ = validator_.LastBookDigest();
      if (!digest_.known) digest_ = DigestOfFile(path_);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  // The worker. The state is the only word the two threads share: writing it publishes the book
  // to the worker and the verdict back (release and acquire).
  void Serve() {
    for (;;) {
      AwaitChange(kIdle);
      if ((state_.load(std::memory_order_acquire) & ~kSleeping) == kStop) return;
      Work();
      Publish(kIdle);
    }
  }

  // Waits until the book handed to the worker, if any, has its verdict.
  void Join() { AwaitChange(kQueued); }

  // Sets the state, and wakes the other thread only when it sleeps on it.
  void Publish(int state) {
    if (state_.exchange(state, std::memory_order_acq_rel) & kSleeping) Futex(FUTEX_WAKE_PRIVATE, 0);
  }

  // Returns once the state is other than from; sleeps in the kernel only when it has to, after
  // marking the state so that the other thread knows to wake it.
  void AwaitChange(int from) {
    for (;;) {
      int state = state_.load(std::memory_order_acquire);
      if ((state & ~kSleeping) != from) return;
      if ((state & kSleeping) == 0 &&
          !state_.compare_exchange_weak(state, state | kSleeping, std::memory_order_acq_rel))
        continue;
      Futex(FUTEX_WAIT_PRIVATE, from | kSleeping);
    }
  }

  void Futex(int operation, int value) {
    static_assert(sizeof(std::atomic<int>) == sizeof(int));
    ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), operation,
              operation == FUTEX_WAKE_PRIVATE ? 1 : value, nullptr, nullptr, 0);
  }

  BookCheck check_;
  TXSDValidator& validator_;
  std::atomic<int> state_{kIdle};
  qsizetype index_ = -1;
  QString path_;
  qint64 bytes_ = 0;
  FileStamp given_;  // examined by the caller as the book was handed over
  FileStamp identity_;
  BookDigest digest_;
  int result_ = -1;
  std::exception_ptr error_;
  std::thread worker_;  // started with the first book handed over
};

LookAhead::LookAhead(const QStringList& items, TXSDValidator& validator, const QString& appPath,
                     BookCheck check, bool firstComplaintEnough)
    : items_(items), validator_(validator), validatorStopped_(validator.StopsAtFirstComplaint()) {
  InitXmlLibrary();
  validator.SetStopAtFirstComplaint(firstComplaintEnough);
  for (qsizetype k = 0; k < std::min<qsizetype>(items.size() - 1, LookAheadBooks()); ++k) {
    std::unique_ptr<TXSDValidator> spare = SpareValidator(validator, appPath);
    if (!spare) break;
    spare->SetStopAtFirstComplaint(firstComplaintEnough);
    spares_.push_back(std::move(spare));
  }
  slots_.push_back(std::make_unique<BookSlot>(check, validator));
  for (const auto& spare : spares_) slots_.push_back(std::make_unique<BookSlot>(check, *spare));
}

LookAhead::~LookAhead() {
  slots_.clear();  // every thread joined before the run's validator is set back
  validator_.SetStopAtFirstComplaint(validatorStopped_);
}

JudgedBook LookAhead::Judge(qsizetype index) {
  const qsizetype count = items_.size();
  const qsizetype slotCount = static_cast<qsizetype>(slots_.size());
  const QString& item = items_.at(index);
  // Book j is held by slot j % slotCount: the books up to index + slotCount - 1 can be in hand.
  BookSlot& own = *slots_[static_cast<size_t>(index % slotCount)];
  if (slotCount == 1) {
    own.Validate(index, item);
  } else {
    if (own.Index() != index) {
      const FileStamp stamp = StampOfBook(item);
      own.Start(index, item, stamp, BudgetBytes(item, stamp));
    }
    // A book is read ahead only while the books in hand stay small enough together, so that
    // large books are not in memory at once however they fall in the list.
    qint64 bytesInHand = own.Bytes();
    for (qsizetype j = index + 1; j < std::min(count, index + slotCount); ++j) {
      BookSlot& ahead = *slots_[static_cast<size_t>(j % slotCount)];
      if (ahead.Index() != j) {
        const FileStamp stamp = StampOfBook(items_.at(j));
        const qint64 bytes = BudgetBytes(items_.at(j), stamp);
        if (bytesInHand + bytes > kLookAheadBytes) break;
        ahead.Start(j, items_.at(j), stamp, bytes);
      }
      bytesInHand += ahead.Bytes();
    }
  }
  return Judged(own, index);
}

JudgedBook LookAhead::JudgeWhole(qsizetype index) {
  BookSlot& own = *slots_[static_cast<size_t>(index % static_cast<qsizetype>(slots_.size()))];
  TXSDValidator& validator = own.Validator();
  const bool stops = validator.StopsAtFirstComplaint();
  validator.SetStopAtFirstComplaint(false);
  own.Validate(index, items_.at(index));
  // Judged validates once more should the file change meanwhile: that too must be whole.
  JudgedBook judged = Judged(own, index);
  validator.SetStopAtFirstComplaint(stops);
  return judged;
}

JudgedBook LookAhead::Judged(BookSlot& slot, qsizetype index) {
  JudgedBook judged;
  judged.validator = &slot.Validator();
  int verdict = slot.Verdict(items_.at(index));
  if (verdict == kNotJudged && slots_.size() > 1) {
    // Memory ran short while other books were judged beside this one: once more, alone.
    for (const auto& other : slots_) other->Wait();
    slot.Validate(index, items_.at(index));
    verdict = slot.Verdict(items_.at(index));
  }
  judged.verdict = static_cast<BookVerdict>(verdict);
  judged.digest = slot.Digest();
  judged.identity = slot.Identity();
  judged.stoppedEarly = judged.validator->LastCheckStoppedEarly();
  return judged;
}

qsizetype LookAheadBooks() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return cores == 1 ? 1 : std::min<qsizetype>(7, static_cast<qsizetype>(cores) * 3);
}
