#pragma once

// Internal to the libraries that read books (validation, fictionbook): one secure way to parse a
// book with libxml2. Not for the engine's headers: it names libxml2 types.

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <QByteArray>
#include <QString>
#include <memory>

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Keeps the first error libxml2 reports (and the first warning, for failures reported only as
// one), as "file:line: text".
class XmlErrorCollector {
 public:
  void Add(const xmlError& error);
  void Clear();
  // The first error, else the first warning, else fallback.
  QString Reason(const QString& fallback) const;

 private:
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

struct XmlReadResult {
  XmlDocPtr doc;   // null when the file did not load
  QString reason;  // why, when it did not
};

// Reads and parses the whole file at path, and closes it before returning. No network, no external
// DTD or entity is ever read, entity references stay references, text nodes may exceed libxml2's
// 10 MB limit without lifting its entity expansion limits, and an undeclared namespace prefix or
// a halted parse counts as not loading. url is the document's base URI (a schema's imports resolve
// against it); empty means the path. Messages go to the reason, never to stderr.
XmlReadResult ReadXmlFile(const QString& path, const QByteArray& url = QByteArray());

// The same parse over a document held in memory; url (may be empty) names it in messages.
XmlReadResult ReadXmlMemory(const QByteArray& bytes, const QByteArray& url = QByteArray());
