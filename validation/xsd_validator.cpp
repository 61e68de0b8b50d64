#include "validation/xsd_validator.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <new>

#include "base/native_name.h"
#include "validation/book_stream.h"
#include "validation/loaded_document.h"
#include "validation/xml_reading.h"

namespace {

struct SchemaParserCtxtDeleter {
  void operator()(xmlSchemaParserCtxt* ctxt) const { xmlSchemaFreeParserCtxt(ctxt); }
};
struct SchemaDeleter {
  void operator()(xmlSchema* schema) const { xmlSchemaFree(schema); }
};
struct SchemaValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* ctxt) const { xmlSchemaFreeValidCtxt(ctxt); }
};

using SchemaParserCtxtPtr = std::unique_ptr<xmlSchemaParserCtxt, SchemaParserCtxtDeleter>;
using SchemaPtr = std::unique_ptr<xmlSchema, SchemaDeleter>;
using SchemaValidCtxtPtr = std::unique_ptr<xmlSchemaValidCtxt, SchemaValidCtxtDeleter>;

}  // namespace

// A compiled schema, never changed after it is built: every validator that shares it validates
// through a context of its own, so that they may run at once on different threads.
struct CompiledSchema {
  // The order of the members matters: the schema points into its document, so it goes first.
  XmlDocPtr document;
  SchemaPtr schema;
};

struct TXSDValidator::Impl {
  std::shared_ptr<const CompiledSchema> schema;
  // Refers to the schema: declared after it, so that it goes first.
  SchemaValidCtxtPtr validCtxt;
  XmlDocPtr document;
  XmlErrorCollector errors;
  qint64 treeBudget = kTreeBookBytes;
  StreamDepth depth = StreamDepth::WholeBook;
  bool stoppedEarly = false;  // of the last verdict
};

struct LoadedDocumentAccess {
  static xmlDocPtr Get(const TXSDValidator& validator) { return validator.impl_->document.get(); }
};

xmlDocPtr LoadedDocument(const TXSDValidator& validator) { return LoadedDocumentAccess::Get(validator); }

const _xmlDoc* LoadedBookTree(const TXSDValidator& validator) { return LoadedDocumentAccess::Get(validator); }

bool LoadedBookIsFictionBook(const TXSDValidator& validator) {
  const xmlDoc* document = LoadedDocumentAccess::Get(validator);
  const xmlNode* root = document ? xmlDocGetRootElement(document) : nullptr;
  return root != nullptr && xmlStrEqual(root->name, BAD_CAST "FictionBook") && root->ns != nullptr &&
         xmlStrEqual(root->ns->href, BAD_CAST kFictionBookNamespace);
}

TXSDValidator::TXSDValidator() : impl_(std::make_unique<Impl>()) { WatchXmlAllocations(); }

TXSDValidator::~TXSDValidator() = default;

bool TXSDValidator::LoadSchema(const QString& path) {
  Impl& impl = *impl_;
  XmlErrorScope scope(impl.errors);
  // Imports are resolved against the document's URI; a file URL keeps folders with blanks, "%" or
  // Cyrillic letters in their names from breaking that resolution.
  const QByteArray url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
  XmlReadResult read = ReadXmlFile(path, url);
  if (!read.doc) {
    ErrorText = read.reason;
    return false;
  }

  impl.errors.Clear();
  SchemaParserCtxtPtr parser(xmlSchemaNewDocParserCtxt(read.doc.get()));
  if (!parser)
    throw ShelvioError(ShelvioError::Kind::Validation,
                       QStringLiteral("Unable to create a schema parser for %1").arg(path));
  xmlSchemaSetParserStructuredErrors(parser.get(), CollectXmlError, &impl.errors);
  SchemaPtr schema(xmlSchemaParse(parser.get()));
  if (!schema)
    throw ShelvioError(ShelvioError::Kind::Validation,
                       impl.errors.Reason(QStringLiteral("%1: not a usable XML schema").arg(path)));
  auto compiled = std::make_shared<CompiledSchema>();
  compiled->document = std::move(read.doc);
  compiled->schema = std::move(schema);
  UseSchema(std::move(compiled));
  return true;
}

bool TXSDValidator::ShareSchema(const TXSDValidator& other) {
  if (!other.impl_->schema) return false;
  UseSchema(other.impl_->schema);
  return true;
}

void TXSDValidator::UseSchema(std::shared_ptr<const CompiledSchema> schema) {
  Impl& impl = *impl_;
  // libxml2 takes the schema as mutable, but validation only reads it.
  SchemaValidCtxtPtr validCtxt(xmlSchemaNewValidCtxt(schema->schema.get()));
  if (!validCtxt)
    throw ShelvioError(ShelvioError::Kind::Validation,
                       QStringLiteral("Unable to create a schema validation context"));
  xmlSchemaSetValidStructuredErrors(validCtxt.get(), CollectXmlError, &impl.errors);
  // Order matters on replacement: the context refers to the schema.
  impl.validCtxt.reset();
  impl.schema = std::move(schema);
  impl.validCtxt = std::move(validCtxt);
}

void TXSDValidator::SetTreeBudget(qint64 bytes) { impl_->treeBudget = bytes; }

void TXSDValidator::SetStopAtFirstComplaint(bool value) {
  impl_->depth = value ? StreamDepth::UntilFirstComplaint : StreamDepth::WholeBook;
}

bool TXSDValidator::StopsAtFirstComplaint() const { return impl_->depth == StreamDepth::UntilFirstComplaint; }

bool TXSDValidator::LastCheckStoppedEarly() const { return impl_->stoppedEarly; }

bool TXSDValidator::LoadDocument(const QString& path) {
  impl_->document.reset();
  lastDigest_ = {};
  BookFile file(path);
  if (!file.Open()) {
    ErrorText = file.Reason();
    return false;
  }
  return LoadDocument(file, path);
}

bool TXSDValidator::LoadDocument(BookFile& file, const QString& path) {
  Impl& impl = *impl_;
  XmlErrorScope scope(impl.errors);
  impl.document.reset();
  XmlReadResult read = ReadXmlFile(file, path);
  lastDigest_ = read.digest;
  if (!read.doc) {
    ErrorText = read.reason;
    return false;
  }
  // libxml2 gives the tree its path as a URI ("%20" for a blank), and the validator's messages name
  // the book by it: they must name the file as the user knows it.
  xmlFree(const_cast<xmlChar*>(read.doc->URL));
  read.doc->URL = xmlStrdup(BAD_CAST NativeName(path).constData());
  impl.document = std::move(read.doc);
  return true;
}

bool TXSDValidator::Validate() {
  Impl& impl = *impl_;
  if (!impl.validCtxt)
    throw ShelvioError(ShelvioError::Kind::Validation, QStringLiteral("No schema is loaded"));
  if (!impl.document)
    throw ShelvioError(ShelvioError::Kind::Validation, QStringLiteral("No document is loaded"));
  XmlErrorScope scope(impl.errors);
  impl.errors.Clear();
  // A negative result is libxml2 giving up on the book (an entity reference, which its validator
  // does not process, or lack of memory): the book is not shown to conform, so it does not.
  const int result = xmlSchemaValidateDoc(impl.validCtxt.get(), impl.document.get());
  if (result == 0) return true;
  ErrorText = impl.errors.Reason(QStringLiteral("The document does not conform to the schema"));
  return false;
}

namespace {

// What the stream keeps of a book that loads, and all its metadata needs: the root element with its
// <description>. The rest of a book's tree goes as soon as the book is judged, so that the books
// validated ahead of their turn hold little.
void KeepHead(xmlDoc& doc) {
  xmlNode* root = xmlDocGetRootElement(&doc);
  if (root == nullptr) return;
  for (xmlNode* child = root->children; child != nullptr;) {
    xmlNode* next = child->next;
    if (child->type != XML_ELEMENT_NODE || !xmlStrEqual(child->name, BAD_CAST "description")) {
      xmlUnlinkNode(child);
      xmlFreeNode(child);
    }
    child = next;
  }
}

QString TooLargeForEntities(const QString& name) {
  return QStringLiteral("%1: a book with entities or attribute defaults of its own is read only up to %2 MiB")
      .arg(name)
      .arg(kEntityTreeBytes / (1024 * 1024));
}

// A streamed book's verdict as XMLValid gives it, its head kept for the metadata of a book that
// loads; kNeedsTree when it must be loaded and validated whole.
constexpr int kNeedsTree = -1;
int StreamedVerdict(StreamResult& stream, XmlDocPtr& document, QString& errorText, bool& stoppedEarly) {
  stoppedEarly = stream.stoppedAtComplaint;
  switch (stream.verdict) {
    case StreamVerdict::Valid:
      document = std::move(stream.head);
      return 0;
    case StreamVerdict::NotLoadable:
      errorText = stream.reason;
      return 1;
    case StreamVerdict::NotConforming:
      document = std::move(stream.head);
      errorText = stream.reason;
      return 2;
    case StreamVerdict::NeedsTree:
    case StreamVerdict::NeedsImages:  // streamed again by ValidateBookStream's callers
      break;
  }
  return kNeedsTree;
}

}  // namespace

// libxml2 carries on past most failed allocations and then blames the book: an element "not
// expected", a document "not well-formed". A verdict given so is thrown away, and the book keeps
// its place with a reason that says why.
template <typename Judge>
int TXSDValidator::Judged(const QString& name, Judge judge) {
  const unsigned long failedBefore = FailedXmlAllocations();
  int verdict = kNotJudged;
  try {
    verdict = judge();
  } catch (const std::bad_alloc&) {
    NoteFailedAllocation();
  }
  if (FailedXmlAllocations() == failedBefore) return verdict;
  impl_->document.reset();
  impl_->stoppedEarly = false;
  lastDigest_ = {};
  ErrorText = QStringLiteral("%1: not enough memory to judge the book").arg(DisplayName(name));
  return kNotJudged;
}

int TXSDValidator::Check(const QString& path) {
  return Judged(path, [&] { return CheckFile(path); });
}

int TXSDValidator::CheckFile(const QString& path) {
  Impl& impl = *impl_;
  impl.document.reset();
  impl.stoppedEarly = false;
  lastDigest_ = {};
  // Each byte of a book is read here, once, through this file.
  BookFile file(path);
  if (!file.Open()) {
    ErrorText = file.Reason();
    return 1;
  }
  // A tree holds the whole book while it is validated: only books within the budget are read as
  // one (see kTreeBookBytes), unless the first complaint is enough, which only the stream can stop at.
  if (impl.validCtxt && (impl.depth == StreamDepth::UntilFirstComplaint || file.Size() > impl.treeBudget)) {
    StreamResult stream = ValidateBookStream(impl.validCtxt.get(), impl.errors, file, path, impl.depth);
    lastDigest_ = stream.digest;
    const int verdict = StreamedVerdict(stream, impl.document, ErrorText, impl.stoppedEarly);
    if (verdict != kNeedsTree) return verdict;
    if (stream.treeCause == TreeCause::Entities && file.Size() > kEntityTreeBytes) {
      ErrorText = TooLargeForEntities(path);
      return 1;
    }
    return LoadDocument(path) ? (Validate() ? 0 : 2) : 1;
  }
  if (!LoadDocument(file, path)) return 1;
  const bool valid = Validate();
  KeepHead(*impl.document);
  return valid ? 0 : 2;
}

namespace {

// libxml2's read callback over a BookSource; remembers that the source failed, since libxml2 only
// sees an I/O error, or that it gave more than limit bytes, when one is set.
struct SourceReader {
  BookSource& source;
  bool failed = false;
  qint64 limit = -1;
  qint64 given = 0;
  bool tooLarge = false;
  static int Read(void* context, char* buffer, int length) {
    auto& reader = *static_cast<SourceReader*>(context);
    const int count = reader.source.Read(buffer, length);
    if (count < 0) reader.failed = true;
    if (count > 0) reader.given += count;
    if (reader.limit >= 0 && reader.given > reader.limit) {
      reader.tooLarge = true;
      return -1;
    }
    return count;
  }
};

}  // namespace

int TXSDValidator::CheckSource(const QString& name, BookSource& source) {
  return Judged(name, [&] { return CheckSourceOnce(name, source); });
}

int TXSDValidator::CheckSourceOnce(const QString& name, BookSource& source) {
  Impl& impl = *impl_;
  impl.document.reset();
  impl.stoppedEarly = false;
  // Never the digest of the book this validator read before.
  lastDigest_ = {};
  SourceReader reader{source};
  const auto sourceFailed = [&] {
    impl.document.reset();
    impl.stoppedEarly = false;
    ErrorText = source.Reason();
    return kSourceFailed;
  };
  if (!source.Rewind()) return sourceFailed();
  if (impl.validCtxt) {
    StreamResult stream =
        ValidateBookStream(impl.validCtxt.get(), impl.errors, name, SourceReader::Read, &reader, impl.depth);
    if (stream.verdict == StreamVerdict::NeedsImages) {
      if (reader.failed || !source.Rewind()) return sourceFailed();
      stream = ValidateBookStream(impl.validCtxt.get(), impl.errors, name, SourceReader::Read, &reader,
                                  impl.depth, StreamImages::ToValidator);
    }
    if (reader.failed) return sourceFailed();
    const int verdict = StreamedVerdict(stream, impl.document, ErrorText, impl.stoppedEarly);
    if (verdict != kNeedsTree) return verdict;
    if (!source.Rewind()) return sourceFailed();
    if (stream.treeCause == TreeCause::Entities) reader.limit = kEntityTreeBytes;
  }
  XmlReadResult read;
  {
    XmlErrorScope scope(impl.errors);
    read = ReadXmlIO(name, SourceReader::Read, &reader);
  }
  if (reader.failed) return sourceFailed();
  if (reader.tooLarge) {
    ErrorText = TooLargeForEntities(name);
    return 1;
  }
  if (!read.doc) {
    ErrorText = read.reason;
    return 1;
  }
  impl.document = std::move(read.doc);
  return Validate() ? 0 : 2;
}

QString TXSDValidator::GetErrorText() const { return ErrorText; }

void InitXmlLibrary() { xmlInitParser(); }

int XMLValid(TXSDValidator& validator, const QString& path) { return validator.Check(path); }
