#pragma once

#include <QString>
#include <memory>

#include "base/error.h"
#include "validation/book_digest.h"

class BookFile;
struct CompiledSchema;

// Books up to this size are judged on their whole tree, larger ones in one streaming pass. On books
// of text the tree costs a few per cent less work than the stream, on books of large images a few
// per cent more, and it holds the whole book while it is validated.
inline constexpr qint64 kTreeBookBytes = 1024 * 1024;

// A book that declares entities is judged by its tree (see ValidateBookStream), which holds the
// whole book: a tree takes twenty times a book of short paragraphs and more. Larger ones are not
// read, and do not load. Real books declare no entities, or a few in books of a few kilobytes.
inline constexpr qint64 kEntityTreeBytes = 2 * 1024 * 1024;

// A book's bytes from somewhere other than a file of its own: an archive's entry. A failure of
// the source (a damaged archive) is no verdict on the book.
class BookSource {
 public:
  virtual ~BookSource() = default;
  // Starts again from the first byte; false with Reason() when the source cannot be read.
  virtual bool Rewind() = 0;
  // The next bytes: their count, 0 at the end, -1 with Reason() on failure.
  virtual int Read(char* buffer, int length) = 0;
  virtual QString Reason() const = 0;
};

// The verdict on one book; Check, CheckSource and XMLValid give it as its int value.
enum class BookVerdict {
  Valid = 0,
  NotLoadable = 1,    // does not load as XML, or cannot be read
  NotConforming = 2,  // loads, but does not conform to the schema
  SourceFailed = 3,   // the source failed (a damaged archive): the book was not judged
  NotJudged = 4,      // memory ran short while the book was judged: no verdict on it
};

// The verdict on a book whose source failed: the book was not judged.
inline constexpr int kSourceFailed = static_cast<int>(BookVerdict::SourceFailed);
// The verdict on a book that could not be judged for lack of memory: whatever libxml2 said of it
// then says nothing of the book.
inline constexpr int kNotJudged = static_cast<int>(BookVerdict::NotJudged);

// Validates books against the FictionBook schema. One validator serves one run: the schema is read
// at LoadSchema, and every book is loaded and validated in turn.
class TXSDValidator {
 public:
  TXSDValidator();
  ~TXSDValidator();
  TXSDValidator(const TXSDValidator&) = delete;
  TXSDValidator& operator=(const TXSDValidator&) = delete;

  // Loads and compiles the schema at path; imports resolve relative to the schema's own folder.
  // False when the file does not load as XML, with ErrorText set. Throws ShelvioError (Validation) when the
  // file loads but is not a usable schema.
  bool LoadSchema(const QString& path);
  // Validates against the schema other has loaded, without reading or compiling it again; the
  // two may then validate at once on different threads. False when other has none loaded.
  bool ShareSchema(const TXSDValidator& other);
  // Loads one book, replacing the previous one. False when it does not load, with ErrorText set.
  bool LoadDocument(const QString& path);
  // Validates the loaded book. False when it does not conform, with ErrorText set.
  bool Validate();
  // Judges one book: up to the tree budget by loading and validating its tree, above it in a
  // single streaming pass (a book whose declarations or IDs the stream cannot judge as the tree
  // would is loaded and validated whole); the verdict as XMLValid gives it, with ErrorText set on
  // failure. For a book that loads, valid or not, the loaded document is then (at least) its root
  // element with the <description>, all the metadata needs. kNotJudged, with no document, when
  // memory ran short meanwhile.
  int Check(const QString& path);
  // The size in bytes up to which Check judges a book by its tree (kTreeBookBytes by default).
  void SetTreeBudget(qint64 bytes);
  // Whether Check and CheckSource may stop judging a book at the schema's first complaint, as a
  // strict run needs no more: every book is then streamed, whatever its size, and one that does
  // not conform is only parsed on to its end (a book that does not load stays one), which spares
  // most of the work on the many books that complain in their <description>. Its loaded document
  // may then hold less than the head, and its error text is the same first complaint.
  void SetStopAtFirstComplaint(bool value);
  bool StopsAtFirstComplaint() const;
  // True when the last verdict was given so (not conforming, judged no further): a run that lets
  // such books through must judge it again whole.
  bool LastCheckStoppedEarly() const;

  // Check over a book read from source; name stands for it in messages. kSourceFailed, with the
  // source's reason as ErrorText, when the source failed, whatever the bytes read so far showed.
  // kNotJudged as for Check.
  int CheckSource(const QString& name, BookSource& source);
  // The reason of the most recent failure; a success leaves it unchanged.
  QString GetErrorText() const;
  // The digest of the bytes of the book that the last Check or LoadDocument read; unknown when the
  // book could not be read to its end.
  BookDigest LastBookDigest() const { return lastDigest_; }

  bool Async() const { return async_; }
  void SetAsync(bool value) { async_ = value; }

 private:
  struct Impl;
  void UseSchema(std::shared_ptr<const CompiledSchema> schema);
  bool LoadDocument(BookFile& file, const QString& path);
  int CheckFile(const QString& path);
  int CheckSourceOnce(const QString& name, BookSource& source);
  // What judge gives, or kNotJudged when an allocation failed meanwhile.
  template <typename Judge>
  int Judged(const QString& name, Judge judge);
  // Gives validation/loaded_document.h the loaded book without libxml2 types in this header.
  friend struct LoadedDocumentAccess;
  QString ErrorText;
  bool async_ = false;
  BookDigest lastDigest_;
  std::unique_ptr<Impl> impl_;
};

// Sets up the XML library's shared state. Call it on the main thread before a validator is used on
// another thread; calling it again does nothing.
void InitXmlLibrary();

// The verdict on one book: 0 valid, 1 does not load as XML, 2 does not conform (kNotJudged when
// memory ran short).
int XMLValid(TXSDValidator& validator, const QString& path);

struct _xmlDoc;
// The book loaded by the last successful LoadDocument, or the head of the last book Check found
// loadable, still owned by the validator (null when none is loaded), so that the metadata of a
// book is read from what was already parsed.
const _xmlDoc* LoadedBookTree(const TXSDValidator& validator);

// True when a book is loaded and its root is <FictionBook> in the FictionBook 2 namespace: a book
// that a reader can open even where it does not conform.
bool LoadedBookIsFictionBook(const TXSDValidator& validator);
