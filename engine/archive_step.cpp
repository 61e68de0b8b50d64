#include "engine/archive_step.h"

#include "archive/zip_writer.h"
#include "engine/file_ops.h"
#include "engine/journal.h"

#include <QFile>
#include <QFileInfo>

#include <climits>

namespace {

// Puts the writer's temporary name on record before the file is made, and keeps the record until
// the pack is over either way: a kill in between leaves the temporary file, or the archive in place
// beside the book, for the next run to resolve.
class RecordedPack {
 public:
  RecordedPack(TZipWriter& zip, const QString& book) : zip_(zip) {
    const QByteArray source = QFile::encodeName(QFileInfo(book).absoluteFilePath());
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

}  // namespace

bool ZipArchiveStep::Pack(const QString& destination) {
  const QString archiveName = destination + QStringLiteral(".zip");
  // A book's name may fit the file system's limit while its archive's name does not. That is the
  // book's own metadata, not a fault of the disk: the book stays unpacked and the run goes on.
  if (QFile::encodeName(ExtractFileName(archiveName)).size() > NAME_MAX) return false;
  const RecordedPack record(zip_, destination);
  zip_.SetFileName(archiveName);
  zip_.Open(TZipWriter::kCreateMode);
  bool archived = false;
  try {
    zip_.AddMatching(destination, kAnyFileAttributes, QString());
    archived = zip_.LastCommitEntryCount() == 1;
  } catch (...) {
    // The writer rolled the archive back to no entries before the error left it; the error ends
    // the run, and an empty archive left beside the book would make its name look taken.
    zip_.Close();
    DeleteFilePath(archiveName);
    throw;
  }
  zip_.Close();
  if (!archived) {
    // The archive was made for this book a moment ago and holds nothing: an empty archive
    // beside the book would only make its name look taken to later runs.
    DeleteFilePath(archiveName);
    return false;
  }
  // The archive is in place and flushed: only now may the unpacked copy go.
  DeleteFilePath(destination);
  return true;
}

ZipCompressionLevel CompressionLevelOfChoice(int zipLevel) {
  switch (zipLevel) {
    case 0: return ZipCompressionLevel::clFastest;
    case 1: return ZipCompressionLevel::clMax;
    case 3: return ZipCompressionLevel::clNone;
    default: return ZipCompressionLevel::clNormal;
  }
}

bool DryRunArchiveStep::Pack(const QString& destination) {
  int error = 0;
  return files_.MoveFile(destination, destination + QStringLiteral(".zip"), &error);
}
