#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "base/error.h"

// An error of the writer with its native code. The message is composed as "Zip: ", the text, " -
// Native error: " and the code in five digits ("Disk is full..." goes without the writer's name).
class EZipWriterError : public ShelvioError {
 public:
  EZipWriterError(const QString& message, int nativeCode)
      : ShelvioError(Kind::Archive, message), nativeCode_(nativeCode) {}
  int NativeCode() const { return nativeCode_; }

 private:
  int nativeCode_;
};

// The four compression choices; each stands for a compression mode (0, 1, 6, 9).
enum class ZipCompressionLevel { clNone = 0, clFastest = 1, clNormal = 2, clMax = 3 };

enum class ZipPromptAnswer { Abort, Retry, Ignore };

// Settles a failure while one entry is written: the window asks the user, the command-line runner
// answers by its policy. Retry writes the entry again, Ignore leaves it out, Abort (and Retry where it
// was not offered) empties the archive back to its state before the add.
class ZipFilePrompt {
 public:
  virtual ~ZipFilePrompt() = default;
  // text is what the user reads; retryOffered is false for a name that is too long (native code 61),
  // which offers Abort and Ignore only. Must not throw.
  virtual ZipPromptAnswer Ask(const QString& text, const EZipWriterError& error, bool retryOffered) = 0;
};

// MS-DOS file attributes, as the search attributes of AddMatching and an entry's external attributes.
inline constexpr uint32_t kAttrReadOnly = 0x0001;
inline constexpr uint32_t kAttrHidden = 0x0002;
inline constexpr uint32_t kAttrSystem = 0x0004;
inline constexpr uint32_t kAttrDirectory = 0x0010;
inline constexpr uint32_t kAttrArchive = 0x0020;
// The search attributes the processing run passes: every kind of file, hidden ones included.
inline constexpr uint32_t kAnyFileAttributes = 0x28BF;

// An entry whose compressed bytes are copied as they stand from another archive, with the method,
// CRC-32 and sizes that archive gives for them: nothing is inflated or compressed again.
struct ZipRawEntry {
  QString name;
  uint16_t method = 8;  // 0 stored, 8 deflated
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // seconds since the epoch; 0 for now
  // Starts the compressed bytes from their first (again, when a write is retried); false on failure.
  std::function<bool()> rewind;
  // Gives the next compressed bytes: their count, 0 at the end, -1 on failure.
  std::function<int64_t(char*, int64_t)> read;
};

// Writes a ZIP archive that holds a book. Per book: SetFileName(book + ".zip"), Open(kCreateMode),
// AddMatching(book, kAnyFileAttributes, {}), Close(). The archive is built under a temporary name in
// its own folder and appears under FileName only once complete and flushed to disk.
class TZipWriter {
 public:
  static constexpr uint16_t kCreateMode = 0xFFFF;

  // name starts every message of the writer's errors ("Zip: ...").
  explicit TZipWriter(const QString& name = QStringLiteral("Zip"));
  // Closes the archive as Close does.
  ~TZipWriter();
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  // The archive's path; a plain value that Open and AddMatching read.
  const QString& FileName() const { return fileName_; }
  void SetFileName(const QString& fileName) { fileName_ = fileName; }

  ZipCompressionLevel CompressionLevel() const;
  // Also sets the compression mode: 0, 1, 6 or 9.
  void SetCompressionLevel(ZipCompressionLevel level);
  int CompressionMode() const { return compressionMode_; }
  // Mode m deflates at level m (stored for 0). Throws EZipWriterError 5 outside 0 to 9.
  void SetCompressionMode(int mode);

  // Answers failures while an entry is written; not owned. Without a prompt the answer is Abort.
  void SetPrompt(ZipFilePrompt* prompt) { prompt_ = prompt; }
  ZipFilePrompt* Prompt() const { return prompt_; }

  // When set, nothing at FileName is ever replaced: Open refuses a name taken by anything (a file,
  // a folder, a link) with "File exists", and a name taken while the archive is written makes its
  // publishing fail, the entry there untouched. Read by Open.
  void SetKeepExisting(bool keep) { keepExisting_ = keep; }

  // Called by Open with the full path of each temporary name just before it tries to create it
  // (a name found taken is followed by another call), so that a caller can record where a killed
  // process would leave the file. Empty by default.
  void SetTemporaryNameObserver(std::function<void(const QByteArray&)> observer) {
    temporaryNameObserver_ = std::move(observer);
  }

  // Closes the archive held, then creates an empty archive for FileName (replacing any file of that
  // name once written, unless existing entries are kept). Throws EZipWriterError 10 when FileName has no name
  // part, ShelvioError "Cannot create file "%s". %s" when it cannot be created; the writer is closed then.
  // Only kCreateMode exists: any other mode throws ShelvioError.
  void Open(uint16_t mode);
  // Adds the file at mask (a full path, taken literally) when its attributes pass searchAttributes
  // and it matches neither excludeMask (a wildcard mask, may be empty) nor the archive itself, then
  // writes, flushes and puts the archive in place. A missing file adds nothing. Failures of the entry
  // go to the prompt; throws EZipWriterError 13 when closed, and rolls the archive back before any
  // other error (EZipWriterError, or ShelvioError for compression and the archive file) leaves.
  void AddMatching(const QString& mask, uint32_t searchAttributes, const QString& excludeMask);
  // Adds entry as AddMatching adds a file: written, flushed and put in place. False, with the
  // archive rolled back to no such entry, when its bytes do not come as described (fewer or more
  // than compressedSize, or a failed read). Throws as AddMatching does for the archive's own faults.
  bool AddRaw(const ZipRawEntry& entry);
  // Completes (an archive without entries when nothing was added), flushes, puts in place and
  // releases the archive. Never throws; an archive that cannot be completed is removed.
  void Close() noexcept;
  // Drops the archive held instead of completing it: its temporary file goes, or, when it was put
  // in place already, the archive, as long as its name still holds this very file. Never throws.
  void Abandon() noexcept;

  bool IsOpen() const;
  // Entries that the most recent AddMatching wrote: 0 when nothing matched, after Abort or Ignore,
  // and after an error.
  int LastCommitEntryCount() const { return lastCommitEntryCount_; }

 private:
  struct Impl;
  QString name_;
  QString fileName_;
  int compressionMode_ = 6;
  ZipFilePrompt* prompt_ = nullptr;
  bool keepExisting_ = false;
  std::function<void(const QByteArray&)> temporaryNameObserver_;
  int lastCommitEntryCount_ = 0;
  std::unique_ptr<Impl> impl_;
};
