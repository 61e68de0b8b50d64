#include "engine/archive_step.h"

#include "archive/zip_writer.h"
#include "engine/file_ops.h"

bool ZipArchiveStep::Pack(const QString& destination) {
  const QString archiveName = destination + QStringLiteral(".zip");
  zip_.SetFileName(archiveName);
  zip_.Open(TZipWriter::kCreateMode);
  zip_.AddMatching(destination, kAnyFileAttributes, QString());
  const bool archived = zip_.LastCommitEntryCount() == 1;
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
