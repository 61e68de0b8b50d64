#include "validation/xml_reading.h"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlmemory.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "base/native_name.h"

namespace {

QString FormatError(const xmlError& error) {
  const QString text = QString::fromUtf8(error.message ? error.message : "").trimmed();
  if (error.file != nullptr && error.file[0] != '\0')
    return QStringLiteral("%1:%2: %3").arg(DisplayName(NameFromNative(error.file))).arg(error.line).arg(text);
  if (error.line > 0) return QStringLiteral("line %1: %2").arg(error.line).arg(text);
  return text;
}

void DiscardGenericError(void*, const char*, ...) {}

thread_local unsigned long failedAllocations = 0;

void* WatchedMalloc(size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr) ++failedAllocations;
  return block;
}

void* WatchedRealloc(void* block, size_t size) {
  void* grown = std::realloc(block, size);
  if (grown == nullptr && size != 0) ++failedAllocations;
  return grown;
}

char* WatchedStrdup(const char* text) {
  char* copy = ::strdup(text);
  if (copy == nullptr) ++failedAllocations;
  return copy;
}

}  // namespace

void WatchXmlAllocations() {
  // The functions stay malloc, realloc and free underneath: a block libxml2 took before the switch
  // is freed as it always was.
  static const bool watched = xmlMemSetup(std::free, WatchedMalloc, WatchedRealloc, WatchedStrdup) == 0;
  (void)watched;
}

unsigned long FailedXmlAllocations() { return failedAllocations; }

void NoteFailedAllocation() { ++failedAllocations; }

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

xmlParserInputPtr RefuseExternalEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }

namespace {
constexpr size_t kBlock = 256 * 1024;
}  // namespace

int BookFile::Read(void* bookFile, char* buffer, int length) {
  auto& file = *static_cast<BookFile*>(bookFile);
  if (length <= 0) return 0;
  if (file.blockUsed_ == file.blockSize_) {
    if (!file.block_) file.block_ = std::make_unique_for_overwrite<char[]>(kBlock);
    ssize_t count;
    do {
      count = ::read(file.fd_, file.block_.get(), kBlock);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
      file.readFailed_ = true;
      return -1;
    }
    // Every byte of the book passes here once: its digest costs no read of its own.
    file.digester_.Add(file.block_.get(), static_cast<size_t>(count));
    file.blockSize_ = static_cast<size_t>(count);
    file.blockUsed_ = 0;
    if (count == 0) return 0;
  }
  const size_t given = std::min(static_cast<size_t>(length), file.blockSize_ - file.blockUsed_);
  std::memcpy(buffer, file.block_.get() + file.blockUsed_, given);
  file.blockUsed_ += given;
  return static_cast<int>(given);
}

namespace {

// Entity references stay references in the tree, but whoever reads a value expands them: the
// schema validator each attribute's, the metadata reader each title's, every time, and libxml2
// does it by appending to a string it measures anew for each reference. A hundred kilobytes of
// entity referred to four thousand times in one attribute took 96 s and 3 GB. Real books declare
// no entities, or a few of a character each (&nbsp;): these bounds are far above them.
constexpr uint64_t kMaxEntityExpansion = 1024 * 1024;
constexpr uint64_t kMaxAttributeReferences = 1000;

class EntityExpansion {
 public:
  explicit EntityExpansion(xmlDoc& doc) : doc_(doc) {}

  // Empty, or why the book is refused.
  QString Problem(const xmlNode* node) {
    Walk(node, false);
    if (expanded_ > kMaxEntityExpansion)
      return QStringLiteral("its entity references expand to more than %1 bytes").arg(kMaxEntityExpansion);
    if (attributeReferences_ > kMaxAttributeReferences)
      return QStringLiteral("more than %1 entity references in attribute values")
          .arg(kMaxAttributeReferences);
    return QString();
  }

 private:
  void Walk(const xmlNode* node, bool inAttribute) {
    for (; node != nullptr && !Exceeded(); node = node->next) {
      if (node->type == XML_ENTITY_REF_NODE) {
        expanded_ += Length(xmlGetDocEntity(&doc_, node->name));
        if (inAttribute) ++attributeReferences_;
        continue;
      }
      if (node->type == XML_ELEMENT_NODE)
        for (const xmlAttr* attribute = node->properties; attribute != nullptr; attribute = attribute->next)
          Walk(attribute->children, true);
      Walk(node->children, inAttribute);
    }
  }

  bool Exceeded() const {
    return expanded_ > kMaxEntityExpansion || attributeReferences_ > kMaxAttributeReferences;
  }

  // The length of an entity's text with the references in it expanded; an upper bound for
  // character references. Past the bound it only needs to be larger.
  uint64_t Length(xmlEntity* entity) {
    if (entity == nullptr || entity->content == nullptr) return 0;
    if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) return 1;
    const auto known = lengths_.find(entity);
    if (known != lengths_.end()) return known->second;
    lengths_[entity] = 0;  // a loop, which libxml2 refuses anyway, adds nothing
    uint64_t length = 0;
    for (const xmlChar* c = entity->content; *c != '\0' && length <= kMaxEntityExpansion;) {
      const xmlChar* end = c[0] == '&' && c[1] != '#' ? xmlStrchr(c, ';') : nullptr;
      if (end == nullptr) {
        ++length;
        ++c;
        continue;
      }
      const QByteArray name(reinterpret_cast<const char*>(c + 1), static_cast<qsizetype>(end - c - 1));
      length += Length(xmlGetDocEntity(&doc_, BAD_CAST name.constData()));
      c = end + 1;
    }
    lengths_[entity] = length;
    return length;
  }

  xmlDoc& doc_;
  std::unordered_map<const xmlEntity*, uint64_t> lengths_;
  uint64_t expanded_ = 0;
  uint64_t attributeReferences_ = 0;
};

// libxml2's schema check gives up on a tree that still holds entity references ("Please
// substitute entities before validation"), which called a book invalid for a word every reader
// shows. Within the bounds above each reference in content becomes a copy of what it stands for;
// the copies are walked again, for the references they hold themselves. A reference to an entity
// that is not the book's own (external, or undeclared) stays, and the book with it.
// What an entity's text reads as where it is referred to: its unprefixed elements in the default
// namespace there, and every node on the reference's line, for the complaints that name one.
void TakeInPlace(xmlNode* node, xmlNs* defaultNamespace, unsigned short line) {
  for (; node != nullptr; node = node->next) {
    node->line = line;
    if (node->type != XML_ELEMENT_NODE) continue;
    if (node->ns == nullptr) node->ns = defaultNamespace;
    TakeInPlace(node->children, defaultNamespace, line);
  }
}

void SubstituteEntities(xmlDoc& doc, xmlNode* parent) {
  for (xmlNode* node = parent->children; node != nullptr;) {
    if (node->type != XML_ENTITY_REF_NODE) {
      if (node->type == XML_ELEMENT_NODE) SubstituteEntities(doc, node);
      node = node->next;
      continue;
    }
    xmlEntity* entity = xmlGetDocEntity(&doc, node->name);
    if (entity == nullptr || entity->etype != XML_INTERNAL_GENERAL_ENTITY) {
      node = node->next;
      continue;
    }
    xmlNode* copies = entity->children != nullptr ? xmlDocCopyNodeList(&doc, entity->children)
                                                  : xmlStringGetNodeList(&doc, entity->content);
    TakeInPlace(copies, xmlSearchNs(&doc, parent, nullptr), node->line);
    xmlNode* first = nullptr;
    for (xmlNode* copy = copies; copy != nullptr;) {
      xmlNode* following = copy->next;
      copy->next = copy->prev = nullptr;
      // A text beside text is merged into it: the node to go on from is then the one before.
      xmlNode* added = xmlAddPrevSibling(node, copy);
      if (first == nullptr) first = added;
      copy = following;
    }
    xmlNode* next = first != nullptr ? first : node->next;
    xmlUnlinkNode(node);
    xmlFreeNode(node);
    node = next;
  }
}

// Runs one parse with the safe callbacks; read performs libxml2's read on the context.
template <typename Read>
XmlReadResult Parse(const QString& name, const QByteArray& url, Read read) {
  XmlReadResult result;
  XmlErrorCollector errors;
  XmlErrorScope scope(errors);
  ParserCtxtPtr ctxt(xmlNewParserCtxt());
  if (!ctxt) {
    result.reason = QStringLiteral("%1: unable to create an XML parser").arg(name);
    return result;
  }
  ctxt->sax->resolveEntity = RefuseExternalEntity;
  ctxt->sax->characters = AppendText;
  // With blanks kept (the default) libxml2 reports them through the same callback.
  if (ctxt->sax->ignorableWhitespace == xmlSAX2Characters) ctxt->sax->ignorableWhitespace = AppendText;

  XmlDocPtr doc(read(ctxt.get(), url.isEmpty() ? nullptr : url.constData()));
  // An undeclared namespace prefix leaves a tree behind, but a namespace-aware reader refuses the
  // file, and so do we; disableSAX marks a parse that libxml2 halted (size limits, memory).
  if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed || ctxt->disableSAX) {
    result.reason = errors.Reason(QStringLiteral("%1: not a well-formed XML document").arg(name));
    return result;
  }
  // Only a book with a document type can refer to an entity.
  if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
    if (const QString problem = EntityExpansion(*doc).Problem(doc->children); !problem.isEmpty()) {
      result.reason = QStringLiteral("%1: %2").arg(name, problem);
      return result;
    }
    SubstituteEntities(*doc, reinterpret_cast<xmlNode*>(doc.get()));
  }
  result.doc = std::move(doc);
  return result;
}

}  // namespace

void XmlErrorCollector::Add(const xmlError& error) {
  const bool isError = error.level >= XML_ERR_ERROR;
  hasError_ = hasError_ || isError;
  QString& slot = isError ? firstError_ : firstWarning_;
  if (slot.isEmpty()) slot = FormatError(error);
}

void XmlErrorCollector::Clear() {
  hasError_ = false;
  firstError_.clear();
  firstWarning_.clear();
}

QString XmlErrorCollector::Reason(const QString& fallback) const {
  if (!firstError_.isEmpty()) return firstError_;
  if (!firstWarning_.isEmpty()) return firstWarning_;
  return fallback;
}

// Called by libxml2: must not let an exception (bad_alloc from QString) unwind through C.
void CollectXmlError(void* collector, xmlErrorPtr error) {
  if (collector == nullptr || error == nullptr) return;
  try {
    static_cast<XmlErrorCollector*>(collector)->Add(*error);
  } catch (...) {
  }
}

XmlErrorScope::XmlErrorScope(XmlErrorCollector& collector)
    : structured_(xmlStructuredError),
      structuredContext_(xmlStructuredErrorContext),
      generic_(xmlGenericError),
      genericContext_(xmlGenericErrorContext) {
  xmlSetStructuredErrorFunc(&collector, CollectXmlError);
  xmlSetGenericErrorFunc(nullptr, DiscardGenericError);
}

XmlErrorScope::~XmlErrorScope() {
  xmlSetStructuredErrorFunc(structuredContext_, structured_);
  xmlSetGenericErrorFunc(genericContext_, generic_);
}

// The file is opened here rather than by libxml2, whose loader reads standard input for a book
// named "-", unescapes "%" sequences and silently uncompresses gzip.
BookFile::BookFile(const QString& path) {
  // O_NONBLOCK: a FIFO named like a book must not block the run before the type check below.
  fd_ = ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status {};
  if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
    reason_ = QStringLiteral("%1: %2").arg(DisplayName(path), QString::fromLocal8Bit(std::strerror(errno)));
  } else if (!S_ISREG(status.st_mode)) {
    reason_ = QStringLiteral("%1: not a regular file").arg(DisplayName(path));
  } else {
    size_ = status.st_size;
  }
  if (!reason_.isEmpty() && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

BookDigest BookFile::Digest() {
  if (fd_ < 0 || readFailed_) return {};
  // Seldom anything is left: the parse stopped before the end (a book that is not well-formed).
  if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kBlock);
  for (;;) {
    const ssize_t count = ::read(fd_, block_.get(), kBlock);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return {};
    if (count == 0) break;
    digester_.Add(block_.get(), static_cast<size_t>(count));
  }
  blockSize_ = blockUsed_ = 0;
  return digester_.Result();
}

bool BookFile::Rewind() {
  if (fd_ < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
  digester_.Reset();
  blockSize_ = blockUsed_ = 0;
  readFailed_ = false;
  return true;
}

BookFile::~BookFile() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

XmlReadResult ReadOpenFile(BookFile& file, const QString& path, const QByteArray& url) {
  XmlReadResult result = Parse(path, url, [&file](xmlParserCtxt* ctxt, const char* base) {
    return xmlCtxtReadIO(ctxt, BookFile::Read, nullptr, &file, base, nullptr, kParseOptions);
  });
  result.digest = file.Digest();
  return result;
}

}  // namespace

XmlReadResult ReadXmlFile(const QString& path, const QByteArray& url) {
  BookFile file(path);
  if (!file.Open()) {
    XmlReadResult result;
    result.reason = file.Reason();
    return result;
  }
  return ReadOpenFile(file, path, url.isEmpty() ? NativeName(path) : url);
}

XmlReadResult ReadXmlFile(BookFile& file, const QString& path) {
  return ReadOpenFile(file, path, NativeName(path));
}

XmlReadResult ReadXmlIO(const QString& name, xmlInputReadCallback read, void* context) {
  const QByteArray nativeName = QFile::encodeName(name);
  return Parse(name, nativeName, [&](xmlParserCtxt* ctxt, const char* base) {
    return xmlCtxtReadIO(ctxt, read, nullptr, context, base, nullptr, kParseOptions);
  });
}

XmlReadResult ReadXmlMemory(const QByteArray& bytes, const QByteArray& url) {
  if (bytes.size() > std::numeric_limits<int>::max()) {
    XmlReadResult result;
    result.reason = QStringLiteral("The document is too large");
    return result;
  }
  return Parse(url.isEmpty() ? QStringLiteral("document") : QFile::decodeName(url), url,
               [&bytes](xmlParserCtxt* ctxt, const char* base) {
                 return xmlCtxtReadMemory(ctxt, bytes.constData(), static_cast<int>(bytes.size()), base,
                                          nullptr, kParseOptions);
               });
}
