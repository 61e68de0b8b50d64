#include "engine/zipped_books.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include "archive/zip_writer.h"
#include "archive/zipped_book.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/file_ops.h"
#include "engine/journal.h"
#include "engine/undo_archive.h"
#include "validation/xsd_validator.h"

namespace {

using posix_file::FileDescriptor;
using posix_file::WriteAll;

QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The validator's view of an archive: its entry, inflated as the parser asks for it. The archive
// is opened and checked at the first Rewind.
class ZippedBookSource final : public BookSource {
 public:
  explicit ZippedBookSource(const QString& path) : path_(path) {}
  bool Rewind() override {
    if (!opened_) {
      opened_ = true;
      if (!book_.Open(path_)) return false;
    }
    return book_.Rewind();
  }
  int Read(char* buffer, int length) override { return static_cast<int>(book_.Read(buffer, length)); }
  QString Reason() const override { return QStringLiteral("%1: not a book: %2").arg(path_, book_.Reason()); }

 private:
  QString path_;
  ZippedBook book_;
  bool opened_ = false;
};

QByteArray AbsoluteName(const QString& path) { return NativeName(AbsolutePath(path)); }

// Whether an archive still holds the bytes it held: the same file, of the same size and modification
// time. Not the change time: another run's claim by a second name (where the file system has no
// rename without replacing) changes it, and the bytes not at all.
bool SameBytes(const FileStamp& now, const FileStamp& then) {
  return now.SameFile(then) && now.size == then.size && now.modified.tv_sec == then.modified.tv_sec &&
         now.modified.tv_nsec == then.modified.tv_nsec;
}

// Holds the source archive open from the start: it goes at the end only while its name still holds
// this very file, untouched. An archive rewritten or replaced meanwhile is not the one judged.
class HeldArchive {
 public:
  HeldArchive(const QString& path, const FileStamp& judged)
      : path_(path),
        name_(NativeName(path)),
        fd_(::open(name_.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)),
        before_(fd_.Valid() ? StampOfDescriptor(fd_.Get()) : FileStamp()),
        judged_(judged) {}
  ~HeldArchive() { PutBack(); }
  HeldArchive(const HeldArchive&) = delete;
  HeldArchive& operator=(const HeldArchive&) = delete;

  // Opens the book in the archive held: the one judged, and still as it was then. A book is judged
  // first and placed later; whatever took its name or rewrote it meanwhile was never judged, so it
  // is neither placed nor touched. False with *reason otherwise.
  bool OpenJudged(ZippedBook& book, QString* reason) const {
    if (!before_.known || !SameBytes(before_, judged_)) {
      *reason = QStringLiteral("The archive changed after it was checked and was kept");
      return false;
    }
    if (!book.Open(path_, fd_.Get())) {
      *reason = book.Reason();
      return false;
    }
    return true;
  }

  // Takes the archive from its name to a hidden one beside it before its book is put in place. A
  // plain book's move claims its source in the same step that places it; an archive is read, and
  // only removed afterwards: another run that finds the book's destination taken meanwhile would
  // otherwise move the very archive to the repeat folder, and the book would be in two places. On
  // record, so that a killed run's claim goes back under its name. Empty, or why the book stays.
  QString Claim() {
    if (!before_.known) return QStringLiteral("The source archive changed meanwhile and was kept");
    const QByteArray claimed = posix_file::TemporaryNameBeside(name_);
    record_.Begin(MoveKind::Claim, AbsoluteNative(name_), AbsoluteNative(claimed), QByteArray());
    if (const int error = posix_file::RenameNoReplace(name_, claimed); error != 0) {
      record_.End();
      return MoveFailureText(error == ENOENT ? kSourceMissing : error);
    }
    claimed_ = claimed;
    // The name must have held the archive that was judged; a rename changes nothing else of it.
    if (!SameBytes(StampOfEntry(claimed_), before_)) {
      PutBack();
      return QStringLiteral("The source archive changed meanwhile and was kept");
    }
    before_ = StampOfDescriptor(fd_.Get());
    return QString();
  }

  // The archive judged, open.
  int Descriptor() const { return fd_.Get(); }

  // Empty once the archive is gone; otherwise why it stays, for the book's line: the book is in
  // place either way, but the user must learn that the archive beside it was not removed.
  QString RemoveIfUnchanged() {
    const QByteArray& current = claimed_.isEmpty() ? name_ : claimed_;
    if (!before_.known || !SameBytes(StampOfDescriptor(fd_.Get()), before_) ||
        !SameBytes(StampOfEntry(current), before_))
      return PutBack("The source archive changed meanwhile and was kept");
    if (::unlink(current.constData()) != 0)
      return PutBack(QStringLiteral("The source archive was kept: %1").arg(SystemReason(errno)));
    claimed_.clear();
    record_.End();
    return QString();
  }

 private:
  static QByteArray AbsoluteNative(const QByteArray& name) { return AbsoluteName(NameFromNative(name)); }

  // Gives a claimed archive its name back; one taken meanwhile is never replaced, and the archive
  // then keeps its hidden name, which the reason tells.
  QString PutBack(const QString& why = QString()) {
    if (claimed_.isEmpty()) return why;
    const int error = posix_file::RenameNoReplace(claimed_, name_);
    QString reason = why;
    if (error != 0) {
      reason = QStringLiteral("The source archive was kept as %1: %2")
                   .arg(NameFromNative(claimed_), SystemReason(error));
    }
    claimed_.clear();
    // A claim left under its hidden name stays on record: the next run tries once more.
    if (error == 0) record_.End();
    return reason;
  }

  QString path_;
  QByteArray name_;
  FileDescriptor fd_;
  FileStamp before_;
  FileStamp judged_;
  QByteArray claimed_;
  JournalledMove record_;
};

}  // namespace

int CheckListedBook(TXSDValidator& validator, const QString& path) {
  if (!IsZippedBookName(path)) return XMLValid(validator, path);
  ZippedBookSource source(path);
  return validator.CheckSource(path, source);
}

bool UnpackZippedBook(const QString& archive, const QString& destination, const FileStamp& judged,
                      QString* reason, const ArrivalObserver& arrived) {
  // Held before the book is read: the archive removed at the end must be the one unpacked.
  HeldArchive held(archive, judged);
  ZippedBook book;
  if (!held.OpenJudged(book, reason)) return false;
  if (!book.Rewind()) {
    *reason = book.Reason();
    return false;
  }
  if (*reason = held.Claim(); !reason->isEmpty()) return false;
  ArrivedArchive description = DescribeArrival(book, held.Descriptor());
  BookDigester digester;
  // On record before the temporary file exists: a kill leaves nothing the next run cannot clear,
  // and once the book is published the next run removes the archive that holds it.
  JournalledMove record;
  QByteArray temporary;
  FileDescriptor out(CreateRecordedTemporary(record, MoveKind::Unpack, AbsoluteName(archive),
                                             AbsoluteName(destination), 0644, &temporary));
  if (!out.Valid()) {
    *reason = SystemReason(errno);
    return false;
  }
  const auto fail = [&](const QString& why) {
    out.Reset();
    ::unlink(temporary.constData());
    *reason = why;
    return false;
  };
  constexpr int64_t kChunk = 256 * 1024;
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const int64_t count = book.Read(buffer.get(), kChunk);
    if (count < 0) return fail(book.Reason());
    if (count == 0) break;
    if (const int error = WriteAll(out.Get(), buffer.get(), static_cast<size_t>(count)); error != 0)
      return fail(SystemReason(error));
    digester.Add(buffer.get(), static_cast<size_t>(count));
  }
  if (::fsync(out.Get()) != 0) return fail(SystemReason(errno));
  if (const int error = out.Close(); error != 0) return fail(SystemReason(error));
  description.book = digester.Result();
  if (arrived) arrived(description);
  int error = 0;
  if (!MoveFileNoReplace(NameFromNative(temporary), destination, &error)) {
    ::unlink(temporary.constData());
    *reason = SystemReason(error);
    return false;
  }
  // The rename itself must be on disk before the archive goes, or a crash could keep neither.
  const QByteArray published = NativeName(AbsolutePath(destination));
  (void)posix_file::SyncFolder(published.left(std::max<qsizetype>(published.lastIndexOf('/'), 1)));
  // The book is complete under its name: only now may its archive go.
  *reason = held.RemoveIfUnchanged();
  return true;
}

bool RepackZippedBook(TZipWriter& zip, const QString& archive, const QString& destination,
                      const FileStamp& judged, QString* reason, const ArrivalObserver& arrived) {
  const QString archiveName = destination + QStringLiteral(".zip");
  if (NativeName(ExtractFileName(archiveName)).size() > NAME_MAX) {
    *reason = SystemReason(ENAMETOOLONG);
    return false;
  }
  HeldArchive held(archive, judged);
  ZippedBook book;
  if (!held.OpenJudged(book, reason)) return false;
  if (*reason = held.Claim(); !reason->isEmpty()) return false;
  const ArrivedArchive description = DescribeArrival(book, held.Descriptor());
  ZipRawEntry entry;
  entry.name = ExtractFileName(destination);
  entry.method = book.Method();
  entry.crc = book.Crc();
  entry.compressedSize = book.CompressedSize();
  entry.size = book.Size();
  entry.modified = book.ModifiedTime();
  entry.rewind = [&book] { return book.RewindCompressed(); };
  entry.read = [&book](char* buffer, int64_t length) { return book.ReadCompressed(buffer, length); };

  // On record: the next run clears a temporary file a kill left, and once the archive is published
  // removes the source whose book it holds, or the book would be left in both.
  JournalledMove record;
  const QByteArray source = AbsoluteName(archive);
  const QByteArray target = AbsoluteName(archiveName);
  zip.SetTemporaryNameObserver([&record, source, target](const QByteArray& temporary) {
    record.Begin(MoveKind::Repack, source, target, temporary);
  });
  struct ObserverReset {
    TZipWriter& zip;
    ~ObserverReset() { zip.SetTemporaryNameObserver(nullptr); }
  } const observerReset{zip};

  // The writer publishes the archive as soon as it holds the entry.
  if (arrived) arrived(description);
  zip.SetFileName(archiveName);
  // Published without replacing: an archive someone else put under the name stays theirs.
  zip.SetKeepExisting(true);
  bool written = false;
  try {
    zip.Open(TZipWriter::kCreateMode);
    written = zip.AddRaw(entry);
  } catch (const ShelvioError& error) {
    zip.Abandon();
    if (error.GetKind() != ShelvioError::Kind::Archive) throw;
    // A name that someone took after the run found it free is theirs: this book stays, as a plain
    // book does when its destination is taken at the move, and the run goes on.
    if (!StampOfEntry(NativeName(archiveName)).known) throw;
    *reason = error.Message();
    return false;
  } catch (...) {
    zip.Abandon();
    throw;
  }
  if (!written) {
    // The new archive holds nothing: it would only make the name look taken.
    zip.Abandon();
    *reason = book.Reason().isEmpty() ? QStringLiteral("the book could not be added to its archive")
                                      : book.Reason();
    return false;
  }
  zip.Close();
  *reason = held.RemoveIfUnchanged();
  return true;
}
