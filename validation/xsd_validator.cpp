#include "validation/xsd_validator.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <cerrno>
#include <cstring>

#include "validation/loaded_document.h"

namespace {

// Books come from anywhere: never touch the network, never load an external DTD (no DTDLOAD), and
// keep entity references as references (no NOENT), so that no external entity is ever read and no
// internal one is expanded into the tree. XML_PARSE_HUGE is deliberately absent: see AppendText.
constexpr int kParseOptions = XML_PARSE_NONET;

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct SchemaParserCtxtDeleter {
  void operator()(xmlSchemaParserCtxt* ctxt) const { xmlSchemaFreeParserCtxt(ctxt); }
};
struct SchemaDeleter {
  void operator()(xmlSchema* schema) const { xmlSchemaFree(schema); }
};
struct SchemaValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* ctxt) const { xmlSchemaFreeValidCtxt(ctxt); }
};

using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;
using SchemaParserCtxtPtr = std::unique_ptr<xmlSchemaParserCtxt, SchemaParserCtxtDeleter>;
using SchemaPtr = std::unique_ptr<xmlSchema, SchemaDeleter>;
using SchemaValidCtxtPtr = std::unique_ptr<xmlSchemaValidCtxt, SchemaValidCtxtDeleter>;

// A read-only file descriptor, closed on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

QString FormatError(const xmlError& error) {
  const QString text = QString::fromUtf8(error.message ? error.message : "").trimmed();
  if (error.file != nullptr && error.file[0] != '\0')
    return QStringLiteral("%1:%2: %3").arg(QFile::decodeName(error.file)).arg(error.line).arg(text);
  if (error.line > 0) return QStringLiteral("line %1: %2").arg(error.line).arg(text);
  return text;
}

// Keeps the first error (and the first warning, for failures that libxml2 reports only as one).
class ErrorCollector {
 public:
  void Add(const xmlError& error) {
    QString& slot = error.level >= XML_ERR_ERROR ? firstError_ : firstWarning_;
    if (slot.isEmpty()) slot = FormatError(error);
  }
  void Clear() {
    firstError_.clear();
    firstWarning_.clear();
  }
  QString Reason(const QString& fallback) const {
    if (!firstError_.isEmpty()) return firstError_;
    if (!firstWarning_.isEmpty()) return firstWarning_;
    return fallback;
  }

 private:
  QString firstError_;
  QString firstWarning_;
};

// Called by libxml2: must not let an exception (bad_alloc from QString) unwind through C.
void CollectError(void* userData, xmlErrorPtr error) {
  if (userData == nullptr || error == nullptr) return;
  try {
    static_cast<ErrorCollector*>(userData)->Add(*error);
  } catch (...) {
  }
}

void DiscardGenericError(void*, const char*, ...) {}

// Routes libxml2's per-thread error channels to one collector for the duration of a call, so that
// messages raised without a context (I/O, schema imports) reach the reason and never stderr. The
// previous handlers are restored, so nothing global outlives the call.
class ErrorScope {
 public:
  explicit ErrorScope(ErrorCollector& collector)
      : structured_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext),
        generic_(xmlGenericError),
        genericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(&collector, CollectError);
    xmlSetGenericErrorFunc(nullptr, DiscardGenericError);
  }
  ~ErrorScope() {
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

// A base64 image easily makes a text node longer than libxml2's 10 MB limit, which only
// XML_PARSE_HUGE lifts. But in libxml2 2.9 that option also switches off the entity amplification
// checks ("billion laughs"), so it is raised only while a text node grows and lowered again before
// the parser looks at the next entity reference.
void AppendText(void* context, const xmlChar* text, int length) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
  const int savedOptions = ctxt->options;
  ctxt->options |= XML_PARSE_HUGE;
  xmlSAX2Characters(context, text, length);
  ctxt->options = savedOptions;
}

// Refuses every external entity and DTD: a book must never make us read another file.
xmlParserInputPtr RefuseExternalEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }

int ReadFromDescriptor(void* context, char* buffer, int length) {
  const int fd = *static_cast<const int*>(context);
  for (;;) {
    const ssize_t count = ::read(fd, buffer, static_cast<size_t>(length));
    if (count >= 0) return static_cast<int>(count);
    if (errno != EINTR) return -1;
  }
}

struct ReadResult {
  DocPtr doc;
  QString reason;
};

// Reads and parses the file at path once. The file is opened here rather than by libxml2, whose file
// loader reads standard input for a book named "-" and silently uncompresses gzip. url is the
// document's base URI (imports of a schema resolve against it).
ReadResult ReadXml(const QString& path, const QByteArray& url, ErrorCollector& errors) {
  ReadResult result;
  const QByteArray nativePath = QFile::encodeName(path);
  // O_NONBLOCK: a FIFO named like a book must not block the run before the type check below.
  FileDescriptor file(::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0) {
    result.reason = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return result;
  }
  if (!S_ISREG(status.st_mode)) {
    result.reason = QStringLiteral("%1: not a regular file").arg(path);
    return result;
  }

  ParserCtxtPtr ctxt(xmlNewParserCtxt());
  if (!ctxt) throw ValidationError(QStringLiteral("Unable to create an XML parser"));
  ctxt->sax->resolveEntity = RefuseExternalEntity;
  ctxt->sax->characters = AppendText;
  // With blanks kept (the default) libxml2 reports them through the same callback.
  if (ctxt->sax->ignorableWhitespace == xmlSAX2Characters) ctxt->sax->ignorableWhitespace = AppendText;

  int fd = file.Get();
  errors.Clear();
  DocPtr doc(
      xmlCtxtReadIO(ctxt.get(), ReadFromDescriptor, nullptr, &fd, url.constData(), nullptr, kParseOptions));
  // An undeclared namespace prefix leaves a tree behind, but a namespace-aware reader refuses the
  // file, and so do we; disableSAX marks a parse that libxml2 halted (size limits, memory).
  if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed || ctxt->disableSAX) {
    result.reason = errors.Reason(QStringLiteral("%1: not a well-formed XML document").arg(path));
    return result;
  }
  result.doc = std::move(doc);
  return result;
}

}  // namespace

struct TXSDValidator::Impl {
  // The compiled schema points into its document, so the document lives as long as the schema.
  DocPtr schemaDoc;
  SchemaPtr schema;
  SchemaValidCtxtPtr validCtxt;
  DocPtr document;
  ErrorCollector errors;
};

struct LoadedDocumentAccess {
  static xmlDocPtr Get(const TXSDValidator& validator) { return validator.impl_->document.get(); }
};

xmlDocPtr LoadedDocument(const TXSDValidator& validator) { return LoadedDocumentAccess::Get(validator); }

const _xmlDoc* LoadedBookTree(const TXSDValidator& validator) { return LoadedDocumentAccess::Get(validator); }

TXSDValidator::TXSDValidator() : impl_(std::make_unique<Impl>()) {}

TXSDValidator::~TXSDValidator() = default;

bool TXSDValidator::LoadSchema(const QString& path) {
  Impl& impl = *impl_;
  ErrorScope scope(impl.errors);
  // Imports are resolved against the document's URI; a file URL keeps folders with blanks, "%" or
  // Cyrillic letters in their names from breaking that resolution.
  const QByteArray url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
  ReadResult read = ReadXml(path, url, impl.errors);
  if (!read.doc) {
    ErrorText = read.reason;
    return false;
  }

  impl.errors.Clear();
  SchemaParserCtxtPtr parser(xmlSchemaNewDocParserCtxt(read.doc.get()));
  if (!parser) throw ValidationError(QStringLiteral("Unable to create a schema parser for %1").arg(path));
  xmlSchemaSetParserStructuredErrors(parser.get(), CollectError, &impl.errors);
  SchemaPtr schema(xmlSchemaParse(parser.get()));
  if (!schema)
    throw ValidationError(impl.errors.Reason(QStringLiteral("%1: not a usable XML schema").arg(path)));
  SchemaValidCtxtPtr validCtxt(xmlSchemaNewValidCtxt(schema.get()));
  if (!validCtxt) throw ValidationError(QStringLiteral("Unable to create a schema validation context"));
  xmlSchemaSetValidStructuredErrors(validCtxt.get(), CollectError, &impl.errors);

  // Order matters on replacement: the context refers to the schema, the schema to its document.
  impl.validCtxt.reset();
  impl.schema.reset();
  impl.schemaDoc = std::move(read.doc);
  impl.schema = std::move(schema);
  impl.validCtxt = std::move(validCtxt);
  return true;
}

bool TXSDValidator::LoadDocument(const QString& path) {
  Impl& impl = *impl_;
  ErrorScope scope(impl.errors);
  impl.document.reset();
  ReadResult read = ReadXml(path, QFile::encodeName(path), impl.errors);
  if (!read.doc) {
    ErrorText = read.reason;
    return false;
  }
  impl.document = std::move(read.doc);
  return true;
}

bool TXSDValidator::Validate() {
  Impl& impl = *impl_;
  if (!impl.validCtxt) throw ValidationError(QStringLiteral("No schema is loaded"));
  if (!impl.document) throw ValidationError(QStringLiteral("No document is loaded"));
  ErrorScope scope(impl.errors);
  impl.errors.Clear();
  // A negative result is libxml2 giving up on the book (an entity reference, which its validator
  // does not process, or lack of memory): the book is not shown to conform, so it does not.
  const int result = xmlSchemaValidateDoc(impl.validCtxt.get(), impl.document.get());
  if (result == 0) return true;
  ErrorText = impl.errors.Reason(QStringLiteral("The document does not conform to the schema"));
  return false;
}

QString TXSDValidator::GetErrorText() const { return ErrorText; }

int XMLValid(TXSDValidator& validator, const QString& path) {
  if (!validator.LoadDocument(path)) return 1;
  return validator.Validate() ? 0 : 2;
}
