#include "validation/xsd_validator.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

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

struct TXSDValidator::Impl {
  // The compiled schema points into its document, so the document lives as long as the schema.
  XmlDocPtr schemaDoc;
  SchemaPtr schema;
  SchemaValidCtxtPtr validCtxt;
  XmlDocPtr document;
  XmlErrorCollector errors;
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

TXSDValidator::TXSDValidator() : impl_(std::make_unique<Impl>()) {}

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
  if (!parser) throw ValidationError(QStringLiteral("Unable to create a schema parser for %1").arg(path));
  xmlSchemaSetParserStructuredErrors(parser.get(), CollectXmlError, &impl.errors);
  SchemaPtr schema(xmlSchemaParse(parser.get()));
  if (!schema)
    throw ValidationError(impl.errors.Reason(QStringLiteral("%1: not a usable XML schema").arg(path)));
  SchemaValidCtxtPtr validCtxt(xmlSchemaNewValidCtxt(schema.get()));
  if (!validCtxt) throw ValidationError(QStringLiteral("Unable to create a schema validation context"));
  xmlSchemaSetValidStructuredErrors(validCtxt.get(), CollectXmlError, &impl.errors);

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
  XmlErrorScope scope(impl.errors);
  impl.document.reset();
  XmlReadResult read = ReadXmlFile(path);
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
  XmlErrorScope scope(impl.errors);
  impl.errors.Clear();
  // A negative result is libxml2 giving up on the book (an entity reference, which its validator
  // does not process, or lack of memory): the book is not shown to conform, so it does not.
  const int result = xmlSchemaValidateDoc(impl.validCtxt.get(), impl.document.get());
  if (result == 0) return true;
  ErrorText = impl.errors.Reason(QStringLiteral("The document does not conform to the schema"));
  return false;
}

int TXSDValidator::Check(const QString& path) {
  Impl& impl = *impl_;
  if (impl.validCtxt) {
    impl.document.reset();
    StreamResult stream = ValidateBookStream(impl.validCtxt.get(), impl.errors, path);
    switch (stream.verdict) {
      case StreamVerdict::Valid:
        impl.document = std::move(stream.head);
        return 0;
      case StreamVerdict::NotLoadable:
        ErrorText = stream.reason;
        return 1;
      case StreamVerdict::NotConforming:
        impl.document = std::move(stream.head);
        ErrorText = stream.reason;
        return 2;
      case StreamVerdict::NeedsTree:
        break;
    }
  }
  if (!LoadDocument(path)) return 1;
  return Validate() ? 0 : 2;
}

QString TXSDValidator::GetErrorText() const { return ErrorText; }

void InitXmlLibrary() { xmlInitParser(); }

int XMLValid(TXSDValidator& validator, const QString& path) { return validator.Check(path); }
