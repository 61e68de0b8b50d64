#pragma once

// Internal to the libraries that read books (validation, fictionbook): one secure way to parse a
// book with libxml2. Not for the engine's headers: it names libxml2 types.

#include <libxml/tree.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>

#include <QByteArray>
#include <QString>
#include <memory>

#include "validation/book_digest.h"

inline constexpr char kFictionBookNamespace[] = "http://www.gribuser.ru/xml/fictionbook/2.0";

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;

// Keeps the first error libxml2 reports (and the first warning, for failures reported only as
// one), as "file:line: text".
class XmlErrorCollector {
 public:
  void Add(const xmlError& error);
  void Clear();
  // The first error, else the first warning, else fallback.
  QString Reason(const QString& fallback) const;
  // Whether an error (not a mere warning) has been added since the last Clear.
  bool HasError() const { return hasError_; }

 private:
  bool hasError_ = false;
  QString firstError_;
  QString firstWarning_;
};

// libxml2's structured error callback for a collector passed as its user data.
void CollectXmlError(void* collector, xmlErrorPtr error);

// Routes libxml2's per-thread error channels to one collector for the duration of a call, so that
// no message reaches stderr; the previous handlers come back at the end.
class XmlErrorScope {
 public:
  explicit XmlErrorScope(XmlErrorCollector& collector);
  ~XmlErrorScope();
  XmlErrorScope(const XmlErrorScope&) = delete;
  XmlErrorScope& operator=(const XmlErrorScope&) = delete;

 private:
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

// Books come from anywhere: never touch the network, never load an external DTD (no DTDLOAD), and
// keep entity references as references (no NOENT), so that no external entity is ever read and no
// internal one is expanded into the tree. XML_PARSE_HUGE is deliberately absent: see AppendText.
constexpr int kParseOptions = XML_PARSE_NONET;

// libxml2's text callback, with the 10 MB limit of a text node lifted while the node grows and
// never while an entity is expanded.
void AppendText(void* parserContext, const xmlChar* text, int length);

// Routes libxml2's allocations through functions that count, per thread, the allocations that
// failed. libxml2 goes on after most of them with a message that blames the book (a validator out
// of memory reports "This element is not expected"), so a verdict given while one failed is no
// verdict. Call it before the first thread other than the main one uses libxml2; again, it does
// nothing.
void WatchXmlAllocations();
// How many of libxml2's allocations have failed on this thread so far (with WatchXmlAllocations);
// our own code counts its std::bad_alloc inside a parse here too (NoteFailedAllocation).
unsigned long FailedXmlAllocations();
void NoteFailedAllocation();

// Refuses every external entity and DTD: a book must never make us read another file.
xmlParserInputPtr RefuseExternalEntity(void*, const xmlChar*, const xmlChar*);

// A book file open for reading: a regular file only, closed on every path, so that the run can move
// the book as soon as the read returns.
class BookFile {
 public:
  explicit BookFile(const QString& path);
  ~BookFile();
  BookFile(const BookFile&) = delete;
  BookFile& operator=(const BookFile&) = delete;
  bool Open() const { return fd_ >= 0; }
  // "path: reason" when it is not open.
  const QString& Reason() const { return reason_; }
  // The size of the open file when it was opened.
  qint64 Size() const { return size_; }

  // libxml2's read callback over a BookFile passed as the context. libxml2 asks for about 4 kB at
  // a time; the file is read in large blocks so that a book costs few system calls.
  static int Read(void* bookFile, char* buffer, int length);
  // Reads again from the first byte, the digest too; false when the file cannot be.
  bool Rewind();

  // The digest of the whole file: what the parse read of it, and the rest when the parse stopped
  // early (a book that is not well-formed). Unknown when the file is not open or a read failed.
  BookDigest Digest();

 private:
  int fd_ = -1;
  qint64 size_ = 0;
  QString reason_;
  std::unique_ptr<char[]> block_;
  size_t blockSize_ = 0;
  size_t blockUsed_ = 0;
  BookDigester digester_;
  bool readFailed_ = false;
};

struct XmlReadResult {
  XmlDocPtr doc;      // null when the file did not load
  QString reason;     // why, when it did not
  BookDigest digest;  // of the file's bytes, when they could be read
};

// Reads and parses the whole file at path, and closes it before returning. No network, no external
// DTD or entity is ever read, entity references stay references, text nodes may exceed libxml2's
// 10 MB limit without lifting its entity expansion limits, and an undeclared namespace prefix or
// a halted parse counts as not loading. url is the document's base URI (a schema's imports resolve
// against it); empty means the path. Messages go to the reason, never to stderr.
XmlReadResult ReadXmlFile(const QString& path, const QByteArray& url = QByteArray());

// The same parse over a book file already open; path names it in messages and as its base URI.
XmlReadResult ReadXmlFile(BookFile& file, const QString& path);

// The same parse over the bytes that read (libxml2's read callback) gives from context; name
// stands for the document in messages.
XmlReadResult ReadXmlIO(const QString& name, xmlInputReadCallback read, void* context);

// The same parse over a document held in memory; url (may be empty) names it in messages.
XmlReadResult ReadXmlMemory(const QByteArray& bytes, const QByteArray& url = QByteArray());
