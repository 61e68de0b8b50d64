#include "validation/book_stream.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/native_name.h"

// libxml2 calls the schema validator's handlers first and then ours (the "plug"), so a pass has
// two layers of handlers of its own around it:
//   parser -> outer layer -> schema validator -> head layer
// The outer layer gathers text into pieces that grow with the run: the validator's streaming mode
// appends every piece to the value it keeps with strlen + realloc, which is quadratic in the
// parser's 4 kB pieces of a multi-megabyte <binary>. It judges images itself (see
// StreamImages and ImageCheck), and watches the xs:ID values. The head layer builds, with libxml2's own tree
// builder, the root element and its <description> and nothing else, for the metadata.
namespace {

// The value of each base64 character, 64 for the pad "=", -1 for any other character.
constexpr std::array<signed char, 256> kBase64Values = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (int k = 0; k < 26; ++k) {
    values[static_cast<size_t>('A' + k)] = static_cast<signed char>(k);
    values[static_cast<size_t>('a' + k)] = static_cast<signed char>(26 + k);
  }
  for (int k = 0; k < 10; ++k) values[static_cast<size_t>('0' + k)] = static_cast<signed char>(52 + k);
  values['+'] = 62;
  values['/'] = 63;
  values['='] = 64;
  return values;
}();

// libxml2's lexical rule for xs:base64Binary, character for character, over an image's text as it
// passes: characters outside the alphabet are skipped; the others come in quanta of four, the last
// one padded with one "=" (then its last character carries 16 bits) or two (8 bits), and nothing
// but pads follows the first pad.
class ImageCheck {
 public:
  void Add(const xmlChar* text, int length) {
    for (const xmlChar* c = text; c != text + length; ++c) {
      const int decoded = kBase64Values[*c];
      if (decoded < 0) continue;
      if (decoded == 64) {
        ++pads_;
      } else if (pads_ > 0) {
        broken_ = true;
      } else {
        ++characters_;
        last_ = decoded;
      }
    }
  }
  // Whether the validator would take the image's whole text.
  bool Conforms() const {
    if (broken_) return false;
    switch (pads_) {
      case 0:
        return characters_ % 4 == 0;
      case 1:
        return characters_ % 4 == 3 && (last_ & ~0x3c) == 0;
      case 2:
        return characters_ % 4 == 2 && (last_ & ~0x30) == 0;
      default:
        return false;
    }
  }

 private:
  size_t characters_ = 0;
  int last_ = 0;  // the value of the last character before the pads
  int pads_ = 0;
  bool broken_ = false;  // a character after a pad
};

struct Loop;

// The xs:ID values seen: their text one after the other in one block, found through one
// open-addressed table of where each begins. A book of short sections with an id each holds a
// million of them, which as strings in a node-based set took 70 bytes apiece (a 100 MB book
// peaked at 101 MB); here each takes its length and a byte, and 8 to 16 bytes of table.
class IdSet {
 public:
  // False when the value was there already.
  bool Insert(const std::string& value) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    for (size_t k = Hash(value) & (slots_.size() - 1);; k = (k + 1) & (slots_.size() - 1)) {
      if (slots_[k] == 0) {
        slots_[k] = text_.size() + 1;
        text_.append(value).push_back('\0');
        ++count_;
        return true;
      }
      if (At(slots_[k]) == value) return false;
    }
  }

 private:
  static size_t Hash(std::string_view value) { return std::hash<std::string_view>()(value); }
  // The value a slot holds: slots hold where it begins in text_, plus one (0 is a free slot).
  std::string_view At(uint64_t slot) const { return std::string_view(text_.c_str() + slot - 1); }

  void Grow() {
    std::vector<uint64_t> old(std::max<size_t>(1024, slots_.size() * 2), 0);
    old.swap(slots_);
    for (const uint64_t slot : old) {
      if (slot == 0) continue;
      size_t k = Hash(At(slot)) & (slots_.size() - 1);
      while (slots_[k] != 0) k = (k + 1) & (slots_.size() - 1);
      slots_[k] = slot;
    }
  }

  std::string text_;             // every value, each ended by a NUL (XML holds none)
  std::vector<uint64_t> slots_;  // a power of two of them, at most three quarters taken
  size_t count_ = 0;
};

// An open element, for the elements that are reopened (see ReopenElement).
struct OpenElement {
  bool reopenable = false;     // in the book's namespace, without namespace declarations of its own
  const Loop* loop = nullptr;  // the run of children it is in, once its first child of one came
  bool loopEnded = false;      // a child outside the run came after it
  int children = 0;            // of the run passed on since its first, or since the last reopening
  const xmlChar* localName = nullptr;
  const xmlChar* prefix = nullptr;
  const xmlChar* uri = nullptr;
};

// The pass over one book. The head layer finds it through the parser's _private pointer; the
// outer layer, whose user data belongs to the validator, through CurrentPass.
struct Pass {
  xmlParserCtxtPtr parser = nullptr;
  int depth = 0;        // of the element being parsed; the root is 1
  bool inHead = false;  // inside the root's <description>
  // The depth of the <annotation> or <history> in the head whose content is not built, 0 for none.
  int skipDepth = 0;
  bool doctype = false;  // the book has a document type declaration
  bool needsTree = false;
  TreeCause treeCause = TreeCause::None;
  xmlSAXHandler validator{};  // the schema validator's handlers, which the outer layer calls
  std::string text;           // text not yet handed to the validator
  size_t textHandedOn = 0;    // of the current run of text
  int outerDepth = 0;         // of the element the outer layer is in; the root is 1
  // Inside an image (<binary>): judged here as it passes (see ImageCheck), or, handed to the
  // validator, its text reaches it collapsed (see CollapseInto).
  bool inBinary = false;
  bool imagesToValidator = false;
  bool needsImages = false;    // an image the validator must judge: the pass stopped
  bool binaryStarted = false;  // a character other than a blank has been passed on
  bool binaryBlank = false;    // blanks seen and not yet passed on
  ImageCheck image;            // of the image being read, when it is judged here
  IdSet ids;
  // Set for StreamDepth::UntilFirstComplaint: the collector that tells of the first complaint, and
  // the outer layer, whose handlers then go.
  const XmlErrorCollector* stopAtComplaintOf = nullptr;
  xmlSAXHandler* outer = nullptr;
  bool stoppedAtComplaint = false;
  // The lines of the open elements' start tags, and the one of the element being closed: the
  // validator finds most faults of an element at its end, and the tree names its start.
  std::vector<unsigned long> startLines;
  // The open elements, as far as a <section> whose children the validator is spared needs them.
  std::vector<OpenElement> open;
  XmlErrorCollector* schemaErrors = nullptr;
  bool equalIds = false;  // the stream gave the complaint of a value seen before
  xmlSAXHandler* head = nullptr;
  unsigned long closingLine = 0;
};

thread_local Pass* CurrentPass = nullptr;

// Text buffers beyond this are given back after use rather than kept for the next run of text.
constexpr size_t kKeptTextCapacity = 1 << 20;
constexpr size_t kFirstTextPiece = 64 * 1024;
constexpr size_t kTextMargin = 16 * 1024;  // more than the parser hands over at once

Pass& PassOf(void* parserContext) {
  return *static_cast<Pass*>(static_cast<xmlParserCtxtPtr>(parserContext)->_private);
}

unsigned long LineOf(const xmlParserCtxt* parser) {
  return parser != nullptr && parser->input != nullptr ? static_cast<unsigned long>(parser->input->line) : 0;
}

void GiveUpStreaming(Pass& pass, TreeCause cause) {
  pass.needsTree = true;
  pass.treeCause = cause;
  xmlStopParser(pass.parser);
}

// ---- The head layer; its context is the parser's.

// Inside the content of an <annotation> or <history> of the head: rich text of any length, which
// the metadata never reads, so it is not built.
bool Skipping(const Pass& pass) { return pass.skipDepth != 0 && pass.depth >= pass.skipDepth; }

bool Building(const Pass& pass) { return pass.depth == 1 || (pass.inHead && !Skipping(pass)); }

void HeadStartElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                      int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaultedCount,
                      const xmlChar** attributes) {
  Pass& pass = PassOf(ctx);
  const bool skipped = Skipping(pass);
  ++pass.depth;
  if (pass.depth == 2 && xmlStrEqual(localName, BAD_CAST "description")) pass.inHead = true;
  if (skipped || !Building(pass)) return;
  xmlSAX2StartElementNs(ctx, localName, prefix, uri, namespaceCount, namespaces, attributeCount,
                        defaultedCount, attributes);
  if (pass.depth >= 3 &&
      (xmlStrEqual(localName, BAD_CAST "annotation") || xmlStrEqual(localName, BAD_CAST "history")))
    pass.skipDepth = pass.depth;
}

void HeadEndElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
  Pass& pass = PassOf(ctx);
  const bool skipped = pass.skipDepth != 0 && pass.depth > pass.skipDepth;
  if (!skipped && (pass.depth == 1 || pass.inHead)) xmlSAX2EndElementNs(ctx, localName, prefix, uri);
  if (pass.depth == pass.skipDepth) pass.skipDepth = 0;
  if (pass.depth == 2) pass.inHead = false;
  --pass.depth;
}

bool BuildingContent(void* ctx) {
  const Pass& pass = PassOf(ctx);
  return pass.inHead && !Skipping(pass);
}

void HeadText(void* ctx, const xmlChar* text, int length) {
  if (BuildingContent(ctx)) AppendText(ctx, text, length);
}

void HeadCData(void* ctx, const xmlChar* text, int length) {
  if (BuildingContent(ctx)) xmlSAX2CDataBlock(ctx, text, length);
}

void HeadComment(void* ctx, const xmlChar* text) {
  if (BuildingContent(ctx)) xmlSAX2Comment(ctx, text);
}

void HeadInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
  if (BuildingContent(ctx)) xmlSAX2ProcessingInstruction(ctx, target, data);
}

void HeadReference(void* ctx, const xmlChar* name) {
  if (BuildingContent(ctx)) xmlSAX2Reference(ctx, name);
}

// A document type declaration alone changes nothing the validator sees, and the book is streamed
// as any other; what it may declare does (see HeadEntity and OuterStartElement).
void HeadDoctype(void* ctx, const xmlChar* name, const xmlChar* externalId, const xmlChar* systemId) {
  PassOf(ctx).doctype = true;
  xmlSAX2InternalSubset(ctx, name, externalId, systemId);
}

// An entity: the tree keeps its references as nodes that its validator gives up on, and expands
// those in attribute values, while the stream's validator sees neither. Such a book goes to the
// tree (and only a small one: see kEntityTreeBytes).
void HeadEntity(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
  GiveUpStreaming(PassOf(ctx), TreeCause::Entities);
}

void HeadUnparsedEntity(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, const xmlChar*) {
  GiveUpStreaming(PassOf(ctx), TreeCause::Entities);
}

// ---- The outer layer; its context is the validator's.

// After the schema's first complaint, when that is all the caller asks: the parser goes on alone,
// still checking that the book is well-formed, and no longer hands anything to the validator or to
// the head. True when the handler that asks is to return at once.
bool StopsAtComplaint(Pass& pass) {
  if (pass.stopAtComplaintOf == nullptr || !pass.stopAtComplaintOf->HasError()) return false;
  xmlSAXHandler& outer = *pass.outer;
  outer.startElementNs = nullptr;
  outer.endElementNs = nullptr;
  outer.characters = nullptr;
  outer.ignorableWhitespace = nullptr;
  outer.cdataBlock = nullptr;
  outer.comment = nullptr;
  outer.processingInstruction = nullptr;
  outer.reference = nullptr;
  outer.endDocument = nullptr;
  pass.stopAtComplaintOf = nullptr;
  pass.stoppedAtComplaint = true;
  return true;
}

// Ends a run of text: what is left of it goes to the validator.
void FlushText(Pass& pass, void* ctx) {
  const char* data = pass.text.data();
  size_t left = pass.text.size();
  while (left > 0) {
    const int piece = static_cast<int>(std::min<size_t>(left, INT_MAX));
    pass.validator.characters(ctx, reinterpret_cast<const xmlChar*>(data), piece);
    data += piece;
    left -= static_cast<size_t>(piece);
  }
  if (pass.text.capacity() > kKeptTextCapacity)
    std::string().swap(pass.text);
  else
    pass.text.clear();
}

bool IsBlank(xmlChar c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A <binary> is xs:base64Binary, whose value the validator collapses (runs of blanks to one space,
// none at either end) before it checks it; its check ignores every character outside the base64
// alphabet. An image handed to it is collapsed on its way, which spares the validator that copy:
// its verdict is the same, and its message quotes the value collapsed.
void CollapseInto(Pass& pass, const xmlChar* text, int length) {
  const xmlChar* c = text;
  const xmlChar* const end = text + length;
  while (c != end) {
    if (IsBlank(*c)) {
      pass.binaryBlank = true;
      ++c;
      continue;
    }
    const xmlChar* word = c;
    while (c != end && !IsBlank(*c)) ++c;
    if (pass.binaryBlank && pass.binaryStarted) pass.text.push_back(' ');
    pass.binaryBlank = false;
    pass.binaryStarted = true;
    pass.text.append(reinterpret_cast<const char*>(word), static_cast<size_t>(c - word));
  }
}

void EndText(Pass& pass, void* ctx) {
  // Something other than text follows inside the image: a blank before it stays one space.
  if (pass.inBinary && pass.binaryBlank && pass.binaryStarted) {
    pass.text.push_back(' ');
    pass.binaryBlank = false;
  }
  FlushText(pass, ctx);
  pass.textHandedOn = 0;
}

// An image judged here: the validator sees it as an image with no text, which it takes, so one
// that the rule refuses, or anything the stream cannot follow inside an image, stops the pass.
bool JudgesImage(const Pass& pass) { return pass.inBinary && !pass.imagesToValidator; }

void NeedImages(Pass& pass) {
  pass.needsImages = true;
  xmlStopParser(pass.parser);
}

// Text is handed on in pieces of at least a quarter of what the validator holds of the run, so
// that a long run costs it a few dozen appends, and this buffer a fifth of the run at most.
void OuterText(void* ctx, const xmlChar* text, int length) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  if (JudgesImage(pass)) {
    pass.image.Add(text, length);
    return;
  }
  const size_t piece = std::max(kFirstTextPiece, pass.textHandedOn / 4);
  if (pass.text.empty() && pass.text.capacity() < piece) pass.text.reserve(piece + kTextMargin);
  if (pass.inBinary)
    CollapseInto(pass, text, length);
  else
    pass.text.append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  if (pass.text.size() >= piece) {
    pass.textHandedOn += pass.text.size();
    FlushText(pass, ctx);
  }
}

// xs:ID's whitespace rule: runs of blanks become one space, none at either end.
std::string CollapsedValue(const xmlChar* begin, const xmlChar* end) {
  std::string value;
  bool blank = false;
  for (const xmlChar* c = begin; c != end; ++c) {
    if (IsBlank(*c)) {
      blank = !value.empty();
      continue;
    }
    if (blank) value.push_back(' ');
    blank = false;
    value.push_back(static_cast<char>(*c));
  }
  return value;
}

// Whether an attribute value as the parser hands it on holds an entity reference: it passes "&"
// itself on as "&#38;", so any other "&" begins one.
bool HoldsEntityReference(const xmlChar* begin, const xmlChar* end) {
  for (const xmlChar* c = begin; c != end; ++c)
    if (*c == '&' && (c + 1 == end || c[1] != '#')) return true;
  return false;
}

// libxml2 checks the children of an element against its content model with an automaton that,
// for most models of the book's text, keeps a copy of every child's name and a state to go back to
// per child until the element ends: about 110 bytes per paragraph, 740 MB for a 104 MB book of
// short paragraphs in one section. But each of these models ends in a run of children that may
// come in any number and order, after which the element may end: once two children of the run
// have been taken, the validator is in the same place as at the element opened afresh and given
// two such children. So every so many children in the run the element is closed and opened again
// for the validator alone, with two children of the run that hold nothing, which drops what it
// kept and changes no verdict and no message (with one, its messages would list what it expects,
// unlike the tree's). The element's parent takes it twice as it takes it once (every parent of
// these has them in a run of its own; not so an <annotation>, which a title-info or a section has
// once, so its paragraphs still cost), and the element's attributes are all optional. Only while
// the schema has not complained: after a complaint nothing that follows is reported.
struct Loop {
  const char* element;
  std::initializer_list<const char*> children;  // the run
  const char* filler;                           // a child of the run that holds nothing
  std::initializer_list<const char*> begins;    // the children that begin the run (empty: any of it)
};

const Loop kLoops[] = {
    // After its title, epigraphs, image and annotation; its first child of text begins the run.
    {"section",
     {"p", "image", "poem", "subtitle", "cite", "empty-line", "table"},
     "empty-line",
     {"p", "poem", "subtitle", "cite", "empty-line", "table"}},
    {"section", {"section"}, "section", {}},
    // Up to its text-author.
    {"cite", {"p", "poem", "empty-line", "subtitle", "table"}, "empty-line", {}},
    {"epigraph", {"p", "poem", "cite", "empty-line"}, "empty-line", {}},
    // Text with styles in between.
    {"p", {"strong", "emphasis", "style", "a", "strikethrough", "sub", "sup", "code", "image"}, "strong", {}},
    {"v", {"strong", "emphasis", "style", "a", "strikethrough", "sub", "sup", "code", "image"}, "strong", {}},
};

constexpr int kChildrenBeforeReopening = 1024;

bool Among(const xmlChar* name, std::initializer_list<const char*> names) {
  for (const char* candidate : names)
    if (xmlStrEqual(name, BAD_CAST candidate)) return true;
  return false;
}

void ReopenElement(Pass& pass, void* ctx, const OpenElement& element) {
  // The validator's handlers call the head layer's too: it must not see the element move.
  xmlSAXHandler& head = *pass.head;
  const auto start = head.startElementNs;
  const auto end = head.endElementNs;
  head.startElementNs = nullptr;
  head.endElementNs = nullptr;
  const auto* filler = BAD_CAST element.loop->filler;
  pass.validator.endElementNs(ctx, element.localName, element.prefix, element.uri);
  pass.validator.startElementNs(ctx, element.localName, element.prefix, element.uri, 0, nullptr, 0, 0,
                                nullptr);
  for (int k = 0; k < 2; ++k) {
    pass.validator.startElementNs(ctx, filler, element.prefix, element.uri, 0, nullptr, 0, 0, nullptr);
    pass.validator.endElementNs(ctx, filler, element.prefix, element.uri);
  }
  head.startElementNs = start;
  head.endElementNs = end;
}

// Counts the child of the innermost open element, reopening it first when the validator has kept
// enough of its run.
void CountChild(Pass& pass, void* ctx, const xmlChar* localName, const xmlChar* uri) {
  if (pass.open.empty()) return;
  OpenElement& parent = pass.open.back();
  if (!parent.reopenable || parent.loopEnded) return;
  const bool ours = xmlStrEqual(uri, BAD_CAST kFictionBookNamespace);
  if (parent.loop == nullptr) {
    for (const Loop& loop : kLoops) {
      if (ours && xmlStrEqual(parent.localName, BAD_CAST loop.element) &&
          Among(localName, loop.begins.size() != 0 ? loop.begins : loop.children)) {
        parent.loop = &loop;
        break;
      }
    }
    return;
  }
  if (!ours || !Among(localName, parent.loop->children)) {
    parent.loopEnded = true;
    return;
  }
  if (++parent.children < kChildrenBeforeReopening || pass.schemaErrors->HasError()) return;
  ReopenElement(pass, ctx, parent);
  parent.children = 0;
}

// The tree validator records each xs:ID value in the document and refuses one recorded before,
// as a value its type does not take; the stream's validator records none. So the stream gives
// that complaint itself, worded and placed as the tree's, when it would be the book's first: the
// tree makes it among the element's own, after those of everything before. When the element drew
// a complaint of its own, only the tree can tell which came first.
void ComplainOfEqualId(Pass& pass, const xmlChar* localName, const xmlChar* uri, const xmlChar** attribute) {
  if (pass.schemaErrors->HasError()) {
    GiveUpStreaming(pass, TreeCause::EqualIds);
    return;
  }
  std::string message = "Element '";
  if (uri != nullptr) message.append("{").append(reinterpret_cast<const char*>(uri)).append("}");
  message.append(reinterpret_cast<const char*>(localName)).append("', attribute 'id': '");
  message.append(reinterpret_cast<const char*>(attribute[3]),
                 static_cast<size_t>(attribute[4] - attribute[3]));
  message.append("' is not a valid value of the atomic type 'xs:ID'.\n");
  xmlError error{};
  error.domain = XML_FROM_SCHEMASV;
  error.code = XML_SCHEMAV_CVC_DATATYPE_VALID_1_2_1;
  error.level = XML_ERR_ERROR;
  error.message = message.data();
  error.file = const_cast<char*>(pass.parser->input->filename);
  error.line = static_cast<int>(pass.startLines.back());
  pass.schemaErrors->Add(error);
  pass.equalIds = true;
}

void OuterStartElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                       int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaultedCount,
                       const xmlChar** attributes) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  EndText(pass, ctx);
  // Attributes defaulted by the book's own declarations reach the stream's validator and not the
  // tree's; an entity reference the parser leaves in a value ("&name;") the tree expands.
  if (defaultedCount > 0) {
    GiveUpStreaming(pass, TreeCause::Entities);
    return;
  }
  // Every "id" attribute the schema allows is an xs:ID, whose values the stream's validator does
  // not compare (see ComplainOfEqualId).
  const xmlChar** equalId = nullptr;
  for (int i = 0; i < attributeCount; ++i) {
    const xmlChar** attribute = attributes + 5 * i;
    if (pass.doctype && HoldsEntityReference(attribute[3], attribute[4])) {
      GiveUpStreaming(pass, TreeCause::Entities);
      return;
    }
    if (attribute[2] == nullptr && xmlStrEqual(attribute[0], BAD_CAST "id") &&
        !pass.ids.Insert(CollapsedValue(attribute[3], attribute[4]))) {
      // The book's own declarations may make the attribute an ID for the tree, which then judges
      // it otherwise, and the stream quotes a "&" as "&#38;".
      if (pass.doctype || std::find(attribute[3], attribute[4], '&') != attribute[4]) {
        GiveUpStreaming(pass, TreeCause::EqualIds);
        return;
      }
      equalId = attribute;
    }
  }
  CountChild(pass, ctx, localName, uri);
  ++pass.outerDepth;
  pass.startLines.push_back(LineOf(pass.parser));
  OpenElement element;
  element.reopenable = namespaceCount == 0 && xmlStrEqual(uri, BAD_CAST kFictionBookNamespace);
  element.localName = localName;
  element.prefix = prefix;
  element.uri = uri;
  pass.open.push_back(element);
  pass.inBinary = pass.outerDepth == 2 && xmlStrEqual(localName, BAD_CAST "binary") &&
                  xmlStrEqual(uri, BAD_CAST kFictionBookNamespace);
  pass.binaryStarted = false;
  pass.binaryBlank = false;
  pass.image = ImageCheck();
  const bool complainedBefore = pass.schemaErrors->HasError();
  pass.validator.startElementNs(ctx, localName, prefix, uri, namespaceCount, namespaces, attributeCount,
                                defaultedCount, attributes);
  if (equalId != nullptr && !complainedBefore) ComplainOfEqualId(pass, localName, uri, equalId);
}

void OuterEndElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  if (!pass.startLines.empty()) {
    pass.closingLine = pass.startLines.back();
    pass.startLines.pop_back();
    pass.open.pop_back();
  }
  if (JudgesImage(pass) && !pass.image.Conforms()) {
    NeedImages(pass);
    return;
  }
  pass.binaryBlank = false;  // blanks at the end of an image go
  EndText(pass, ctx);
  pass.inBinary = false;
  --pass.outerDepth;
  pass.validator.endElementNs(ctx, localName, prefix, uri);
  pass.closingLine = 0;
}

void OuterCData(void* ctx, const xmlChar* text, int length) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  if (JudgesImage(pass)) {
    pass.image.Add(text, length);  // part of the image's value, as text is
    return;
  }
  EndText(pass, ctx);
  pass.validator.cdataBlock(ctx, text, length);
}

void OuterComment(void* ctx, const xmlChar* text) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  EndText(pass, ctx);
  if (pass.validator.comment) pass.validator.comment(ctx, text);
}

void OuterInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  EndText(pass, ctx);
  if (pass.validator.processingInstruction) pass.validator.processingInstruction(ctx, target, data);
}

// A reference to an entity that is not declared (a book whose declarations are in an external
// subset, which is never read): the tree keeps it as a node its validator gives up on, the
// stream's validator passes it by.
void OuterReference(void*, const xmlChar*) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  GiveUpStreaming(pass, TreeCause::Entities);
}

void OuterEndDocument(void* ctx) {
  Pass& pass = *CurrentPass;
  if (StopsAtComplaint(pass)) return;
  EndText(pass, ctx);
  if (pass.validator.endDocument) pass.validator.endDocument(ctx);
}

// Where the validator's messages point: the start tag of the element it judges, as the tree's
// messages do.
int LocateInParser(void* ctx, const char** file, unsigned long* line) {
  auto* parser = static_cast<xmlParserCtxtPtr>(ctx);
  const bool known = parser != nullptr && parser->input != nullptr;
  if (file) *file = known ? parser->input->filename : nullptr;
  if (line) {
    // An element being closed, else the innermost open one: text reaches the validator only when
    // the next tag comes, and belongs to the element around it.
    unsigned long start = 0;
    if (parser != nullptr) {
      const Pass& pass = PassOf(parser);
      start = pass.closingLine != 0 ? pass.closingLine : pass.startLines.empty() ? 0 : pass.startLines.back();
    }
    *line = start != 0 ? start : LineOf(parser);
  }
  return 0;
}

// Our handlers run inside libxml2, which an exception must not cross: an allocation of ours that
// fails (the text gathered, the IDs seen) stops the parse and counts as libxml2's failures do.
template <auto Handler>
struct Guarded;
template <typename... Args, void (*Handler)(void*, Args...)>
struct Guarded<Handler> {
  static void Call(void* ctx, Args... args) noexcept {
    try {
      Handler(ctx, args...);
    } catch (const std::bad_alloc&) {
      NoteFailedAllocation();
      if (CurrentPass != nullptr) xmlStopParser(CurrentPass->parser);
    }
  }
};

// Sets the pass for the outer layer on this thread, and the previous one back at the end.
class CurrentPassScope {
 public:
  explicit CurrentPassScope(Pass& pass) : previous_(CurrentPass) { CurrentPass = &pass; }
  ~CurrentPassScope() { CurrentPass = previous_; }
  CurrentPassScope(const CurrentPassScope&) = delete;
  CurrentPassScope& operator=(const CurrentPassScope&) = delete;

 private:
  Pass* previous_;
};

// The validator's handlers stay on the parser for one parse only.
class Plug {
 public:
  Plug(xmlSchemaValidCtxtPtr validCtxt, xmlParserCtxtPtr parser)
      : validCtxt_(validCtxt), plug_(xmlSchemaSAXPlug(validCtxt, &parser->sax, &parser->userData)) {
    if (plug_) xmlSchemaValidateSetLocator(validCtxt, LocateInParser, parser);
  }
  ~Plug() {
    if (!plug_) return;
    xmlSchemaValidateSetLocator(validCtxt_, nullptr, nullptr);
    xmlSchemaSAXUnplug(plug_);  // gives the parser its own handlers and user data back
  }
  Plug(const Plug&) = delete;
  Plug& operator=(const Plug&) = delete;
  bool Plugged() const { return plug_ != nullptr; }

 private:
  xmlSchemaValidCtxtPtr validCtxt_;
  xmlSchemaSAXPlugPtr plug_;
};

}  // namespace

StreamResult ValidateBookStream(xmlSchemaValidCtxtPtr validCtxt, XmlErrorCollector& schemaErrors,
                                BookFile& file, const QString& path, StreamDepth depth, StreamImages images) {
  StreamResult result =
      ValidateBookStream(validCtxt, schemaErrors, path, BookFile::Read, &file, depth, images);
  if (result.verdict == StreamVerdict::NeedsImages) {
    if (!file.Rewind()) {
      result.verdict = StreamVerdict::NotLoadable;
      result.reason = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
      return result;
    }
    result = ValidateBookStream(validCtxt, schemaErrors, path, BookFile::Read, &file, depth,
                                StreamImages::ToValidator);
  }
  result.digest = file.Digest();
  return result;
}

StreamResult ValidateBookStream(xmlSchemaValidCtxtPtr validCtxt, XmlErrorCollector& schemaErrors,
                                const QString& path, xmlInputReadCallback read, void* context,
                                StreamDepth depth, StreamImages images) {
  StreamResult result;
  XmlErrorCollector parseErrors;
  const XmlErrorScope scope(parseErrors);
  schemaErrors.Clear();

  ParserCtxtPtr parser(xmlNewParserCtxt());
  if (!parser) {
    result.reason = QStringLiteral("%1: unable to create an XML parser").arg(path);
    return result;
  }
  xmlCtxtUseOptions(parser.get(), kParseOptions);
  Pass pass;
  pass.parser = parser.get();
  parser->_private = &pass;
  xmlSAXHandler& head = *parser->sax;
  head.resolveEntity = RefuseExternalEntity;
  head.internalSubset = HeadDoctype;
  head.entityDecl = HeadEntity;
  head.unparsedEntityDecl = HeadUnparsedEntity;
  head.startElementNs = HeadStartElement;
  head.endElementNs = HeadEndElement;
  head.characters = HeadText;
  head.ignorableWhitespace = HeadText;
  head.cdataBlock = HeadCData;
  head.comment = HeadComment;
  head.processingInstruction = HeadInstruction;
  head.reference = HeadReference;

  xmlParserInputBufferPtr buffer =
      xmlParserInputBufferCreateIO(read, nullptr, context, XML_CHAR_ENCODING_NONE);
  xmlParserInputPtr input =
      buffer ? xmlNewIOInputStream(parser.get(), buffer, XML_CHAR_ENCODING_NONE) : nullptr;
  if (!input) {
    if (buffer) xmlFreeParserInputBuffer(buffer);
    result.reason = QStringLiteral("%1: unable to create an XML parser").arg(path);
    return result;
  }
  input->filename = reinterpret_cast<const char*>(xmlStrdup(BAD_CAST NativeName(path).constData()));
  inputPush(parser.get(), input);

  bool valid = false;
  {
    const Plug plug(validCtxt, parser.get());
    if (!plug.Plugged()) {
      result.verdict = StreamVerdict::NeedsTree;
      return result;
    }
    pass.validator = *parser->sax;
    xmlSAXHandler outer = pass.validator;
    outer.characters = Guarded<OuterText>::Call;
    outer.ignorableWhitespace = Guarded<OuterText>::Call;
    outer.startElementNs = Guarded<OuterStartElement>::Call;
    outer.endElementNs = Guarded<OuterEndElement>::Call;
    outer.cdataBlock = Guarded<OuterCData>::Call;
    outer.comment = Guarded<OuterComment>::Call;
    outer.processingInstruction = Guarded<OuterInstruction>::Call;
    outer.reference = Guarded<OuterReference>::Call;
    outer.endDocument = Guarded<OuterEndDocument>::Call;
    pass.outer = &outer;
    pass.imagesToValidator = images == StreamImages::ToValidator;
    if (depth == StreamDepth::UntilFirstComplaint) pass.stopAtComplaintOf = &schemaErrors;
    pass.schemaErrors = &schemaErrors;
    pass.head = &head;
    const CurrentPassScope current(pass);
    parser->sax = &outer;
    xmlParseDocument(parser.get());
    parser->sax = &pass.validator;  // never leave the parser pointing at this frame
    valid = xmlSchemaIsValid(validCtxt) == 1 && !pass.equalIds;
  }
  XmlDocPtr doc(parser->myDoc);
  parser->myDoc = nullptr;

  if (pass.needsTree) {
    result.verdict = StreamVerdict::NeedsTree;
    result.treeCause = pass.treeCause;
  } else if (pass.needsImages) {
    result.verdict = StreamVerdict::NeedsImages;
  } else if (!doc || !parser->wellFormed || !parser->nsWellFormed || parser->disableSAX) {
    // As for the tree: an undeclared namespace prefix, or a parse that libxml2 halted, does not load.
    result.verdict = StreamVerdict::NotLoadable;
    result.reason = parseErrors.Reason(QStringLiteral("%1: not a well-formed XML document").arg(path));
  } else if (!valid) {
    result.verdict = StreamVerdict::NotConforming;
    result.reason = schemaErrors.Reason(QStringLiteral("The document does not conform to the schema"));
    result.head = std::move(doc);
    result.stoppedAtComplaint = pass.stoppedAtComplaint;
  } else {
    result.verdict = StreamVerdict::Valid;
    result.head = std::move(doc);
  }
  return result;
}
