#include "engine/archive_step.h"

#include "archive/zip_writer.h"
#include "engine/file_ops.h"

#include <QFile>

#include <climits>

bool ZipArchiveStep::Pack(const QString& destination) {
  const QString archiveName = destination + QStringLiteral(".zip");
  // A book's name may fit the file system's limit while its archive's name does not. That is the
  // book's own metadata, not a fault of the disk: the book stays unpacked and the run goes on.
  if (QFile::encodeName(ExtractFileName(archiveName)).size() > NAME_MAX) return false;
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

bool DryRunArchiveStep::Pack(const QString& destination) {
  int error = 0;
  return files_.MoveFile(destination, destination + QStringLiteral(".zip"), &error);
}
