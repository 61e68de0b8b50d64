#pragma once

#include <QString>

#include "archive/zip_writer.h"
#include "engine/book_files.h"

// The archive step over the ZIP writer: the book at D is packed into D + ".zip" and removed only
// once the archive is in place and holds it, and only while D is still the very file the move put
// there, unchanged since the pack began. Otherwise, and when the writer gives up on the book (the
// prompt answered Abort or Ignore, or nothing matched), the book stays at D and nothing is left of
// its archive. An error of the writer goes to the writer's prompt: Ignore leaves the book unpacked
// and the run goes on; Abort, or no prompt, passes the error on to end the run.
class ZipArchiveStep final : public ArchiveStep {
 public:
  explicit ZipArchiveStep(TZipWriter& zip) : zip_(zip) {}
  PackOutcome Pack(const QString& destination, const FileStamp& moved) override;
  bool Repack(const QString& archive, const QString& destination, const FileStamp& judged, QString* reason,
              const ArrivalObserver& arrived) override;

 private:
  TZipWriter& zip_;
};

// The archive step of a dry run: the book at D is recorded as gone and D + ".zip" as there, so
// that later books of the run see the names the real run will see.
class DryRunArchiveStep final : public ArchiveStep {
 public:
  explicit DryRunArchiveStep(BookFiles& files) : files_(files) {}
  PackOutcome Pack(const QString& destination, const FileStamp& moved) override;
  bool Repack(const QString& archive, const QString& destination, const FileStamp& judged, QString* reason,
              const ArrivalObserver& arrived) override;

 private:
  BookFiles& files_;
};

// The compression of the settings' choice "ZipLevel", the item of the window's drop-down: 0 fastest
// (deflate level 1), 1 maximum (9), 2 normal (6), 3 none (stored). Any other value, -1 for no item
// chosen, means normal: the writer's own default.
ZipCompressionLevel CompressionLevelOfChoice(int zipLevel);
