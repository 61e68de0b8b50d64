#include "engine/archive_step.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <climits>
#include <cstring>

#include "archive/zip_writer.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/file_ops.h"
#include "engine/journal.h"
#include "engine/zipped_books.h"

namespace {

using posix_file::FileDescriptor;

// Puts the writer's temporary name on record before the file is made, and keeps the record until
// the pack is over either way: a kill in between leaves the temporary file, or the archive in place
// beside the book, for the next run to resolve.
class RecordedPack {
 public:
  RecordedPack(TZipWriter& zip, const QString& book) : zip_(zip) {
    const QByteArray source = NativeName(AbsolutePath(book));
    const QByteArray archive = source + ".zip";
    zip_.SetTemporaryNameObserver([this, source, archive](const QByteArray& temporary) {
      move_.Begin(MoveKind::Pack, source, archive, temporary);
    });
  }
  // The record ends after this, when move_ goes: after the cleanup that Pack does on its way out.
  ~RecordedPack() { zip_.SetTemporaryNameObserver(nullptr); }
  RecordedPack(const RecordedPack&) = delete;
  RecordedPack& operator=(const RecordedPack&) = delete;

 private:
  TZipWriter& zip_;
  JournalledMove move_;
};

// Why the archive cannot have its name; empty when it can. A book's name may fit the file system's
// limits while its archive's name does not. That is the book's own metadata, not a fault of the
// disk: the book stays unpacked and the run goes on. The writer works on the absolute path.
QString ArchiveNameProblem(const QString& archiveName) {
  if (NativeName(ExtractFileName(archiveName)).size() > NAME_MAX) return MoveFailureText(ENAMETOOLONG);
  return PathLengthProblem(AbsolutePath(archiveName));
}

// Whether anything but a folder is at path, a link too, dangling or not.
bool NameHeldByFile(const QString& path) {
  struct stat status {};
  return ::lstat(NativeName(path).constData(), &status) == 0 && !S_ISDIR(status.st_mode);
}

// Passes the writer's questions on to its prompt for as long as it lives, and keeps the last text
// asked: a book the writer gave up on carries the reason on its line, not only in the question.
class RememberedPrompt final : public ZipFilePrompt {
 public:
  explicit RememberedPrompt(TZipWriter& zip) : zip_(zip), prompt_(zip.Prompt()) { zip_.SetPrompt(this); }
  ~RememberedPrompt() override { zip_.SetPrompt(prompt_); }
  RememberedPrompt(const RememberedPrompt&) = delete;
  RememberedPrompt& operator=(const RememberedPrompt&) = delete;
  ZipPromptAnswer Ask(const QString& text, const EZipWriterError& error, bool retryOffered) override {
    text_ = text;
    return prompt_ == nullptr ? ZipPromptAnswer::Abort : prompt_->Ask(text, error, retryOffered);
  }
  const QString& Text() const { return text_; }

 private:
  TZipWriter& zip_;
  ZipFilePrompt* prompt_;
  QString text_;
};

}  // namespace

PackOutcome ZipArchiveStep::Pack(const QString& destination, const FileStamp& moved) {
  PackOutcome outcome;
  const QString archiveName = destination + QStringLiteral(".zip");
  outcome.reason = ArchiveNameProblem(archiveName);
  if (!outcome.reason.isEmpty()) return outcome;
  // Held open from here to the end: the file packed must be the one the move put at D, and D must
  // still be that file, untouched, when it goes.
  const QByteArray bookName = NativeName(destination);
  const FileDescriptor book(
      ::open(bookName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  const FileStamp before = book.Valid() ? StampOfDescriptor(book.Get()) : FileStamp();
  if (!before.SameFile(moved)) {
    outcome.reason = MoveFailureText(kSourceChanged);
    return outcome;
  }
  const auto unchanged = [&] {
    return StampOfDescriptor(book.Get()).Unchanged(before) && StampOfEntry(bookName).Unchanged(before);
  };

  const RecordedPack record(zip_, destination);
  RememberedPrompt prompt(zip_);
  zip_.SetFileName(archiveName);
  zip_.SetKeepExisting(true);
  bool archived = false;
  try {
    zip_.Open(TZipWriter::kCreateMode);
    zip_.AddMatching(destination, kAnyFileAttributes, QString());
    archived = zip_.LastCommitEntryCount() == 1;
  } catch (const ShelvioError& error) {
    // Nothing of ours may stay under the archive's name: an empty archive beside the book would
    // make its name look taken to later runs.
    zip_.Abandon();
    if (error.GetKind() != ShelvioError::Kind::Archive) throw;
    // A file that took the name after the run found it free (another run's archive, say) is no
    // fault of the writer: the book goes on as a repeat and the run with it. A folder there is a
    // setting or a mistake to mend, and goes to the prompt as before.
    if (NameHeldByFile(archiveName)) {
      outcome.reason = error.Message();
      outcome.nameTaken = true;
      return outcome;
    }
    const auto* writerError = dynamic_cast<const EZipWriterError*>(&error);
    const ZipPromptAnswer answer =
        prompt.Ask(error.Message(), writerError ? *writerError : EZipWriterError(error.Message(), 0), false);
    if (answer != ZipPromptAnswer::Ignore) throw;
    outcome.reason = error.Message();
    return outcome;
  } catch (...) {
    zip_.Abandon();
    throw;
  }
  if (!archived) {
    // The writer gave up on the book after its question (or nothing matched): the line shows the
    // book unpacked at its destination, and why.
    zip_.Abandon();
    outcome.reason = prompt.Text();
    return outcome;
  }
  // A book still being written, or touched by anyone, while it was packed: the archive may hold
  // other bytes than D, so it goes and D stays.
  if (!unchanged() || NoWriterLease(book.Get()).WriterSeen()) {
    zip_.Abandon();
    outcome.reason = MoveFailureText(kSourceChanged);
    return outcome;
  }
  // The archive is in place and flushed: only now may the unpacked copy go.
  zip_.Close();
  const NoWriterLease lease(book.Get());
  if (lease.WriterSeen() || !unchanged()) {
    outcome.reason = MoveFailureText(kSourceChanged);
    outcome.packed = false;
    return outcome;
  }
  ::unlink(bookName.constData());
  outcome.packed = true;
  return outcome;
}

bool ZipArchiveStep::Repack(const QString& archive, const QString& destination, const FileStamp& judged,
                            QString* reason, const ArrivalObserver& arrived) {
  return RepackZippedBook(zip_, archive, destination, judged, reason, arrived);
}

bool DryRunArchiveStep::Repack(const QString& archive, const QString& destination, const FileStamp&,
                               QString* reason, const ArrivalObserver&) {
  int error = 0;
  if (files_.MoveFile(archive, destination + QStringLiteral(".zip"), &error, nullptr)) return true;
  *reason = MoveFailureText(error);
  return false;
}

ZipCompressionLevel CompressionLevelOfChoice(int zipLevel) {
  switch (zipLevel) {
    case 0:
      return ZipCompressionLevel::clFastest;
    case 1:
      return ZipCompressionLevel::clMax;
    case 3:
      return ZipCompressionLevel::clNone;
    default:
      return ZipCompressionLevel::clNormal;
  }
}

PackOutcome DryRunArchiveStep::Pack(const QString& destination, const FileStamp&) {
  PackOutcome outcome;
  const QString archiveName = destination + QStringLiteral(".zip");
  outcome.reason = ArchiveNameProblem(archiveName);
  if (!outcome.reason.isEmpty()) return outcome;
  int error = 0;
  outcome.packed = files_.MoveFile(destination, archiveName, &error, nullptr);
  if (!outcome.packed) outcome.reason = MoveFailureText(error);
  return outcome;
}
