#include "fictionbook/book_info.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "engine/names.h"

namespace {

// Books come from anywhere: no network, no external DTD (no DTDLOAD), and entity references stay
// references (no NOENT), so no external entity is ever read and no internal one is expanded into
// the tree. XML_PARSE_HUGE is deliberately absent: see AppendText.
constexpr int kParseOptions = XML_PARSE_NONET;

const char kNotSingleText[] = "Element does not contain a single text node";

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// A read-only file descriptor, closed on every path, so that the run can move the book as soon as
// the read returns.
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

// Keeps the first error libxml2 reports (a warning only when no error comes), as "file:line: text".
class ErrorCollector {
 public:
  explicit ErrorCollector(const QString& path) : path_(path) {}
  void Add(const xmlError& error) {
    QString& slot = error.level >= XML_ERR_ERROR ? firstError_ : firstWarning_;
    if (!slot.isEmpty()) return;
    const QString text = QString::fromUtf8(error.message ? error.message : "").trimmed();
    slot = QStringLiteral("%1:%2: %3").arg(path_).arg(error.line).arg(text);
  }
  QString Reason() const {
    if (!firstError_.isEmpty()) return firstError_;
    if (!firstWarning_.isEmpty()) return firstWarning_;
    return QStringLiteral("%1: not a well-formed XML document").arg(path_);
  }

 private:
  QString path_;
  QString firstError_;
  QString firstWarning_;
};

// Called by libxml2: nothing may unwind through C, not even bad_alloc from QString.
void CollectError(void* userData, xmlErrorPtr error) {
  if (userData == nullptr || error == nullptr) return;
  try {
    static_cast<ErrorCollector*>(userData)->Add(*error);
  } catch (...) {
  }
}

void DiscardGenericError(void*, const char*, ...) {}

// Sends libxml2's per-thread error channels to one collector for the duration of a read, so that
// no message reaches stderr; the previous handlers come back at the end.
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
// XML_PARSE_HUGE lifts. In libxml2 2.9 that option also switches off the entity amplification
// checks ("billion laughs"), so it is raised only while a text node grows.
void AppendText(void* context, const xmlChar* text, int length) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
  const int savedOptions = ctxt->options;
  ctxt->options |= XML_PARSE_HUGE;
  xmlSAX2Characters(context, text, length);
  ctxt->options = savedOptions;
}

// A book must never make us read another file.
xmlParserInputPtr RefuseExternalEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }

int ReadFromDescriptor(void* context, char* buffer, int length) {
  const int fd = *static_cast<const int*>(context);
  for (;;) {
    const ssize_t count = ::read(fd, buffer, static_cast<size_t>(length));
    if (count >= 0) return static_cast<int>(count);
    if (errno != EINTR) return -1;
  }
}

// Parses the whole file at path and closes it. The file is opened here rather than by libxml2,
// whose loader reads standard input for "-", unescapes "%" sequences and uncompresses gzip.
DocPtr LoadBook(const QString& path) {
  const QByteArray nativePath = QFile::encodeName(path);
  // O_NONBLOCK: a FIFO named like a book must not block before the type check.
  FileDescriptor file(::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0) {
    const int error = errno;
    throw FictionBookError(
        QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
  }
  if (!S_ISREG(status.st_mode)) throw FictionBookError(QStringLiteral("%1: not a regular file").arg(path));

  ErrorCollector errors(path);
  ErrorScope scope(errors);
  ParserCtxtPtr ctxt(xmlNewParserCtxt());
  if (!ctxt) throw FictionBookError(QStringLiteral("Unable to create an XML parser"));
  ctxt->sax->resolveEntity = RefuseExternalEntity;
  ctxt->sax->characters = AppendText;
  if (ctxt->sax->ignorableWhitespace == xmlSAX2Characters) ctxt->sax->ignorableWhitespace = AppendText;

  int fd = file.Get();
  DocPtr doc(xmlCtxtReadIO(ctxt.get(), ReadFromDescriptor, nullptr, &fd, nativePath.constData(),
                           nullptr, kParseOptions));
  // An undeclared namespace prefix still leaves a tree, but a namespace-aware reader refuses the
  // file; disableSAX marks a parse that libxml2 halted (limits, memory).
  if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed || ctxt->disableSAX)
    throw FictionBookError(errors.Reason());
  return doc;
}

QString FromXml(const xmlChar* text) {
  return text ? QString::fromUtf8(reinterpret_cast<const char*>(text)) : QString();
}

bool SameNamespace(const xmlNs* ns, const xmlChar* href) {
  const xmlChar* own = ns ? ns->href : nullptr;
  if (own == nullptr || href == nullptr) return own == href;
  return xmlStrEqual(own, href) != 0;
}

// The first child element of that local name in the book's namespace; null when there is none,
// which every read below takes as a present but empty element.
const xmlNode* Child(const xmlNode* parent, const char* localName, const xmlChar* ns) {
  if (parent == nullptr) return nullptr;
  const auto* name = reinterpret_cast<const xmlChar*>(localName);
  for (const xmlNode* node = parent->children; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, name) && SameNamespace(node->ns, ns))
      return node;
  }
  return nullptr;
}

bool IsXmlBlank(const xmlChar* text) {
  if (text == nullptr) return true;
  for (; *text != 0; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') return false;
  }
  return true;
}

// A tree parsed with blanks kept holds whitespace-only text nodes that a reader not preserving
// white space would never have built; they are passed over as if absent.
bool IsDroppedBlank(const xmlNode* node) { return node->type == XML_TEXT_NODE && IsXmlBlank(node->content); }

// The value of the element's only child when it is text or CDATA; empty without children.
// Throws FictionBookError for any other content: several children, a comment, an entity reference.
QString ElementText(const xmlNode* element) {
  if (element == nullptr) return {};
  const xmlNode* only = nullptr;
  for (const xmlNode* node = element->children; node != nullptr; node = node->next) {
    if (IsDroppedBlank(node)) continue;
    if (only != nullptr) throw FictionBookError(QString::fromLatin1(kNotSingleText));
    only = node;
  }
  if (only == nullptr) return {};
  if (only->type != XML_TEXT_NODE && only->type != XML_CDATA_SECTION_NODE)
    throw FictionBookError(QString::fromLatin1(kNotSingleText));
  return FromXml(only->content);
}

// The value of an attribute without namespace; empty when absent. References to internal entities
// are written out as their text; the parser has already bounded how large that can grow.
QString AttributeText(const xmlNode* element, const char* name) {
  if (element == nullptr) return {};
  const auto* wanted = reinterpret_cast<const xmlChar*>(name);
  for (const xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
    if (attr->ns != nullptr || !xmlStrEqual(attr->name, wanted)) continue;
    const xmlNode* value = attr->children;
    if (value == nullptr) return {};
    if (value->next == nullptr && value->type == XML_TEXT_NODE) return FromXml(value->content);
    XmlCharPtr text(xmlNodeListGetString(attr->doc, value, 1));
    return FromXml(text.get());
  }
  return {};
}

// An optionally signed run of ASCII decimal digits within the 32-bit signed range, written back
// without leading zeros; surrounding characters of code 32 or below are allowed. Anything else,
// including an empty text, gives the empty string.
QString ConvertSequenceNumber(const QString& text) {
  const QString trimmed = TrimControl(text);
  qsizetype pos = 0;
  bool negative = false;
  if (pos < trimmed.size() && (trimmed[pos] == u'+' || trimmed[pos] == u'-')) {
    negative = trimmed[pos] == u'-';
    ++pos;
  }
  if (pos == trimmed.size()) return {};
  // Accumulated as a magnitude so that -2147483648 fits while 2147483648 does not.
  const std::int64_t limit = negative ? std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1
                                      : std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (; pos < trimmed.size(); ++pos) {
    const char16_t c = trimmed[pos].unicode();
    if (c < u'0' || c > u'9') return {};
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > limit) return {};
  }
  return QString::number(negative ? -magnitude : magnitude);
}

TBookInfo ReadFromTree(const xmlDoc& document, bool fullGenreNames, const GenreLookup* genres) {
  TBookInfo info;
  const xmlNode* root = xmlDocGetRootElement(&document);
  const xmlChar* ns = root && root->ns ? root->ns->href : nullptr;
  const xmlNode* titleInfo = Child(Child(root, "description", ns), "title-info", ns);

  info.Title = CheckSymbols(ElementText(Child(titleInfo, "book-title", ns)));
  if (const xmlNode* author = Child(titleInfo, "author", ns)) {
    info.LastName = TrimControl(ElementText(Child(author, "last-name", ns)));
    info.FirstName = TrimControl(ElementText(Child(author, "first-name", ns)));
    info.MiddleName = TrimControl(ElementText(Child(author, "middle-name", ns)));
  }
  if (const xmlNode* genre = Child(titleInfo, "genre", ns)) {
    const QString code = TrimControl(ElementText(genre));
    if (!fullGenreNames) {
      info.Genre = code;
    } else if (genres != nullptr) {
      info.Genre = genres->GenreFullName(code);
    }
  }
  info.Lang = ElementText(Child(titleInfo, "lang", ns));
  if (const xmlNode* sequence = Child(titleInfo, "sequence", ns)) {
    info.SeqName = CheckSymbols(TrimControl(AttributeText(sequence, "name")));
    info.SeqNumber = ConvertSequenceNumber(AttributeText(sequence, "number"));
  }
  return info;
}

}  // namespace

TBookInfo ReadBookInfo(const QString& path, bool fullGenreNames, const GenreLookup* genres) {
  const DocPtr document = LoadBook(path);
  return ReadFromTree(*document, fullGenreNames, genres);
}

TBookInfo ReadBookInfo(const _xmlDoc& document, bool fullGenreNames, const GenreLookup* genres) {
  return ReadFromTree(document, fullGenreNames, genres);
}
