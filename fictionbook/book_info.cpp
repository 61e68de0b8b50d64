#include "fictionbook/book_info.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <QByteArray>
#include <QFile>
#include <cstdint>
#include <limits>
#include <memory>

#include "base/names.h"
#include "validation/xml_reading.h"

namespace {

struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// Parses the whole file at path and closes it, so that the run can move the book right after.
XmlDocPtr LoadBook(const QString& path) {
  XmlReadResult read = ReadXmlFile(path);
  if (!read.doc) throw ShelvioError(ShelvioError::Kind::Metadata, read.reason);
  return std::move(read.doc);
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

// A title far beyond any file name is still read whole up to here; an entity repeated into it
// cannot make the read grow without end.
constexpr qsizetype kTextLimit = 64 * 1024;
// Entities nest within entities; libxml2 refuses loops, this bounds the depth all the same.
constexpr int kEntityDepthLimit = 16;

void AppendText(const xmlDoc* doc, const xmlNode* first, int depth, QString& text);

// The text of an entity reference as a reader shows it: the entity's parsed content, or its
// declared text where it was never parsed.
void AppendEntityText(const xmlDoc* doc, const xmlNode* reference, int depth, QString& text) {
  if (depth >= kEntityDepthLimit || doc == nullptr) return;
  const xmlEntity* entity = xmlGetDocEntity(doc, reference->name);
  if (entity == nullptr || entity->etype != XML_INTERNAL_GENERAL_ENTITY) return;
  if (entity->children != nullptr) {
    AppendText(doc, entity->children, depth + 1, text);
  } else if (entity->content != nullptr) {
    text += FromXml(entity->content);
  }
}

// The text of first and its siblings in document order, as a reader shows it: text and CDATA
// kept, entities written out, the text inside inline markup kept, comments and processing
// instructions left out. Blank text nodes go, as a reader not preserving white space drops them.
void AppendText(const xmlDoc* doc, const xmlNode* first, int depth, QString& text) {
  for (const xmlNode* node = first; node != nullptr && text.size() < kTextLimit; node = node->next) {
    switch (node->type) {
      case XML_TEXT_NODE:
        if (!IsDroppedBlank(node)) text += FromXml(node->content);
        break;
      case XML_CDATA_SECTION_NODE:
        text += FromXml(node->content);
        break;
      case XML_ENTITY_REF_NODE:
        AppendEntityText(doc, node, depth, text);
        break;
      case XML_ELEMENT_NODE:
        AppendText(doc, node->children, depth, text);
        break;
      default:
        break;
    }
  }
}

// The element's text as a reader shows it; empty for an absent or empty element. A comment or an
// entity in a title is no reason to refuse a book that the schema accepts.
QString ElementText(const xmlNode* element) {
  if (element == nullptr) return {};
  QString text;
  AppendText(element->doc, element->children, 0, text);
  return text.left(kTextLimit);
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
  const XmlDocPtr document = LoadBook(path);
  return ReadFromTree(*document, fullGenreNames, genres);
}

TBookInfo ReadBookInfo(const _xmlDoc& document, bool fullGenreNames, const GenreLookup* genres) {
  return ReadFromTree(document, fullGenreNames, genres);
}
