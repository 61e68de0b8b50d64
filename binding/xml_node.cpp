#include "binding/xml_node.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <QFile>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "validation/xml_reading.h"

namespace {

const xmlChar* Utf8(std::string_view text, std::string& buffer) {
  buffer.assign(text);
  return reinterpret_cast<const xmlChar*>(buffer.c_str());
}

std::string_view View(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

QString ToQString(const xmlChar* text) {
  return text ? QString::fromUtf8(reinterpret_cast<const char*>(text)) : QString();
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

bool IsElementNode(const xmlNode* node) { return node->type == XML_ELEMENT_NODE; }

bool IsAttributeNode(const xmlNode* node) { return node->type == XML_ATTRIBUTE_NODE; }

bool IsTextLike(const xmlNode* node) {
  return node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE;
}

bool IsDocumentNode(const xmlNode* node) {
  return node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE;
}

// Elements and attributes carry a namespace; every other node reads as "no namespace".
std::string_view NamespaceOf(const xmlNode* node) {
  if ((IsElementNode(node) || IsAttributeNode(node)) && node->ns) return View(node->ns->href);
  return {};
}

std::string_view PrefixOf(const xmlNode* node) {
  if ((IsElementNode(node) || IsAttributeNode(node)) && node->ns) return View(node->ns->prefix);
  return {};
}

// Qualified or local name, as the DOM's nodeName and localName are both accepted.
bool NameMatches(const xmlNode* node, std::string_view name) {
  const std::string_view local = View(node->name);
  if (local == name) return true;
  const std::string_view prefix = PrefixOf(node);
  return !prefix.empty() && name.size() == prefix.size() + 1 + local.size() &&
         name.substr(0, prefix.size()) == prefix && name[prefix.size()] == ':' &&
         name.substr(prefix.size() + 1) == local;
}

xmlAttr* FindAttribute(xmlNode* element, std::string_view name) {
  for (xmlAttr* attr = element->properties; attr; attr = attr->next) {
    if (NameMatches(reinterpret_cast<xmlNode*>(attr), name)) return attr;
  }
  return nullptr;
}

xmlAttr* FindAttributeNS(xmlNode* element, std::string_view localName, std::string_view namespaceURI) {
  for (xmlAttr* attr = element->properties; attr; attr = attr->next) {
    if (attr->ns && View(attr->ns->href) == namespaceURI && View(attr->name) == localName) return attr;
  }
  return nullptr;
}

QString OwnedContent(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  QString text = ToQString(content);
  xmlFree(content);
  return text;
}

[[noreturn]] void ThrowOutOfBounds(int index) {
  throw ShelvioError(ShelvioError::Kind::Metadata,
                     QStringLiteral("List index out of bounds (%1)").arg(index));
}

[[noreturn]] void ThrowNotSingleText() {
  throw ShelvioError(ShelvioError::Kind::Metadata,
                     QStringLiteral("Element does not contain a single text node"));
}

[[noreturn]] void ThrowConversion(const QVariant& value, const char* target) {
  throw ShelvioError(
      ShelvioError::Kind::Metadata,
      QStringLiteral("Could not convert variant of type (%1) into type (%2)")
          .arg(value.isNull() ? QStringLiteral("Null") : QStringLiteral("String"), QLatin1String(target)));
}

QString VariantText(const QVariant& value) {
  if (value.isNull()) return QString();
  if (value.typeId() == QMetaType::Float) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value.toFloat());
    return QString::fromLatin1(buffer, int(result.ptr - buffer));
  }
  return value.toString();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TXMLNodeList

TXMLNode* TXMLNodeList::FindRaw(std::string_view name) const {
  for (TXMLNode* node : nodes_) {
    const xmlNode* dom = node->DomNode();
    if (isChildList_) {
      if (!IsElementNode(dom)) continue;
      if (hasDefaultNamespace_ && !EqualsAsciiNoCase(NamespaceOf(dom), defaultNamespace_)) continue;
    }
    if (NameMatches(dom, name)) return node;
  }
  return nullptr;
}

XMLRef<TXMLNode> TXMLNodeList::Nodes(int index) const {
  if (index < 0 || index >= Count()) ThrowOutOfBounds(index);
  return nodes_[index]->Self();
}

XMLRef<TXMLNode> TXMLNodeList::FindNode(std::string_view name) const {
  TXMLNode* node = FindRaw(name);
  return node ? node->Self() : nullptr;
}

int TXMLNodeList::IndexOf(const TXMLNode* node) const {
  const auto it = std::find(nodes_.begin(), nodes_.end(), node);
  return it == nodes_.end() ? -1 : int(it - nodes_.begin());
}

// ---------------------------------------------------------------------------------------------
// TXMLNode

TXMLNode::TXMLNode(const NodeInit& init, ChildTable table)
    : document_(init.document), parent_(init.parent), host_(init.host), node_(init.node), table_(table) {}

TXMLNode::~TXMLNode() = default;

QString TXMLNode::NodeName() const {
  switch (node_->type) {
    case XML_TEXT_NODE:
      return QStringLiteral("#text");
    case XML_CDATA_SECTION_NODE:
      return QStringLiteral("#cdata-section");
    case XML_COMMENT_NODE:
      return QStringLiteral("#comment");
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
      return QStringLiteral("#document");
    default:
      break;
  }
  const QString local = ToQString(node_->name);
  const std::string_view prefix = PrefixOf(node_);
  return prefix.empty() ? local : QString::fromUtf8(prefix.data(), qsizetype(prefix.size())) + u':' + local;
}

QString TXMLNode::LocalName() const {
  return (IsElementNode(node_) || IsAttributeNode(node_)) ? ToQString(node_->name) : QString();
}

QString TXMLNode::NamespaceURI() const {
  const std::string_view ns = NamespaceOf(node_);
  return QString::fromUtf8(ns.data(), qsizetype(ns.size()));
}

QString TXMLNode::Prefix() const {
  const std::string_view prefix = PrefixOf(node_);
  return QString::fromUtf8(prefix.data(), qsizetype(prefix.size()));
}

bool TXMLNode::IsElement() const { return IsElementNode(node_); }

bool TXMLNode::IsTextNode() const { return IsTextLike(node_); }

bool TXMLNode::HasChildNodes() const {
  return (IsElementNode(node_) || IsDocumentNode(node_)) && node_->children != nullptr;
}

XMLRef<TXMLNode> TXMLNode::ParentNode() const { return Share(parent_); }

XMLRef<TXMLDocument> TXMLNode::OwnerDocument() const { return document_->shared_from_this(); }

void TXMLNode::RegisterChildNode(std::string_view name, NodeFactory factory,
                                 std::optional<std::string> namespaceURI) {
  TXMLNode* owner = Owner();
  std::string ns = namespaceURI ? std::move(*namespaceURI) : std::string(NamespaceOf(owner->node_));
  owner->registrations_.push_back({std::string(name), factory, std::move(ns)});
  owner->DropChildren();
}

NodeFactory TXMLNode::ChooseClass(_xmlNode* child) const {
  if (!IsElementNode(child)) return &MakeNode<TXMLNode>;
  const std::string_view childNs = NamespaceOf(child);
  auto matches = [&](std::string_view entryNs, std::string_view entryName) {
    return (entryNs.empty() || EqualsAsciiNoCase(entryNs, childNs)) && NameMatches(child, entryName);
  };
  if (IsDocumentNode(node_)) {
    for (const Registration& entry : document_->rootBindings_) {
      if (matches(entry.namespaceURI, entry.name)) return entry.factory;
    }
    return &MakeNode<TXMLNode>;
  }
  const std::string_view ownNs = NamespaceOf(node_);
  for (const ChildClass& entry : table_) {
    if (matches(ownNs, entry.name)) return entry.factory;
  }
  for (const Registration& entry : registrations_) {
    if (matches(entry.namespaceURI, entry.name)) return entry.factory;
  }
  return &MakeNode<TXMLNode>;
}

TXMLNode* TXMLNode::Wrap(_xmlNode* child) {
  return document_->Adopt(ChooseClass(child)(NodeInit{document_, this, child, nullptr}));
}

void TXMLNode::BuildChildren() {
  auto list = std::make_unique<TXMLNodeList>();
  list->isChildList_ = true;
  const std::string_view ns = NamespaceOf(node_);
  list->hasDefaultNamespace_ = !ns.empty();
  list->defaultNamespace_ = ns;
  // Attribute values are not presented as children: libxml2 replaces them on every write.
  if (IsElementNode(node_) || IsDocumentNode(node_)) {
    for (xmlNode* child = node_->children; child; child = child->next) {
      list->nodes_.push_back(Wrap(child));
    }
  }
  children_ = std::move(list);
}

TXMLNodeList& TXMLNode::ChildNodes() {
  TXMLNode* owner = Owner();
  if (!owner->children_) owner->BuildChildren();
  return *owner->children_;
}

void TXMLNode::DropChildren() {
  children_.reset();
  for (TXMLNodeCollection* watcher : watchers_) watcher->Reset();
}

void TXMLNode::SyncAttributes() {
  if (!attributes_) return;
  std::vector<TXMLNode*> synced;
  for (xmlAttr* attr = node_->properties; attr; attr = attr->next) {
    auto* dom = reinterpret_cast<xmlNode*>(attr);
    const auto it = std::find_if(attributes_->nodes_.begin(), attributes_->nodes_.end(),
                                 [dom](TXMLNode* node) { return node->node_ == dom; });
    synced.push_back(it != attributes_->nodes_.end() ? *it
                                                     : document_->Adopt(std::make_unique<TXMLNode>(
                                                           NodeInit{document_, this, dom, nullptr})));
  }
  attributes_->nodes_ = std::move(synced);
}

TXMLNodeList& TXMLNode::AttributeNodes() {
  TXMLNode* owner = Owner();
  if (!owner->attributes_) {
    owner->attributes_ = std::make_unique<TXMLNodeList>();
    owner->attributes_->isChildList_ = false;
    if (IsElementNode(owner->node_)) owner->SyncAttributes();
  }
  return *owner->attributes_;
}

TXMLNode* TXMLNode::InsertChildNode(_xmlNode* child, int position) {
  TXMLNodeList& list = ChildNodes();
  if (position < 0 || position >= list.Count()) {
    xmlAddChild(node_, child);
    position = list.Count();
  } else {
    xmlAddPrevSibling(list.nodes_[position]->node_, child);
  }
  TXMLNode* wrapper = Wrap(child);
  list.nodes_.insert(list.nodes_.begin() + position, wrapper);
  for (TXMLNodeCollection* watcher : watchers_) watcher->ChildInserted(wrapper);
  return wrapper;
}

void TXMLNode::RemoveChildNode(TXMLNode* child) {
  TXMLNodeList& list = ChildNodes();
  const int index = list.IndexOf(child);
  if (index < 0) return;
  xmlUnlinkNode(child->node_);
  document_->Detach(child->node_);
  list.nodes_.erase(list.nodes_.begin() + index);
  for (TXMLNodeCollection* watcher : watchers_) watcher->ChildRemoved(child);
}

TXMLNode* TXMLNode::CreateChild(std::string_view name, int position) {
  std::string buffer;
  xmlNs* ns = IsElementNode(node_) ? node_->ns : nullptr;
  xmlNode* element = xmlNewDocNode(document_->doc_, ns, Utf8(name, buffer), nullptr);
  return InsertChildNode(element, position);
}

XMLRef<TXMLNode> TXMLNode::Child(std::string_view name) {
  TXMLNode* owner = Owner();
  if (TXMLNode* found = owner->ChildNodes().FindRaw(name)) return Share(found);
  const bool mayCreate = document_->nodeAutoCreate_ &&
                         (IsElementNode(owner->node_) ||
                          (IsDocumentNode(owner->node_) && !xmlDocGetRootElement(document_->doc_)));
  if (!mayCreate) {
    throw ShelvioError(
        ShelvioError::Kind::Metadata,
        QStringLiteral("Node \"%1\" not found").arg(QString::fromUtf8(name.data(), qsizetype(name.size()))));
  }
  return Share(owner->CreateChild(name, -1));
}

XMLRef<TXMLNode> TXMLNode::AddChild(std::string_view name, int position) {
  TXMLNode* owner = Owner();
  if (position < -1 || position > owner->ChildNodes().Count()) ThrowOutOfBounds(position);
  return Share(owner->CreateChild(name, position));
}

XMLRef<TXMLNode> TXMLNode::Attribute(std::string_view name) {
  TXMLNode* owner = Owner();
  TXMLNodeList& list = owner->AttributeNodes();
  if (TXMLNode* found = list.FindRaw(name)) return Share(found);
  if (!IsElementNode(owner->node_)) {
    throw ShelvioError(
        ShelvioError::Kind::Metadata,
        QStringLiteral("Node \"%1\" not found").arg(QString::fromUtf8(name.data(), qsizetype(name.size()))));
  }
  std::string buffer;
  auto* created = reinterpret_cast<xmlNode*>(xmlSetProp(owner->node_, Utf8(name, buffer), BAD_CAST ""));
  owner->SyncAttributes();
  for (TXMLNode* node : list.nodes_) {
    if (node->node_ == created) return Share(node);
  }
  return nullptr;
}

_xmlNode* TXMLNode::SingleTextChild() {
  xmlNode* first = node_->children;
  if (!first) {
    xmlNode* empty = xmlNewDocText(document_->doc_, BAD_CAST "");
    if (Owner()->children_) {
      Owner()->InsertChildNode(empty, -1);
    } else {
      xmlAddChild(node_, empty);
    }
    return empty;
  }
  if (first->next || !IsTextLike(first)) ThrowNotSingleText();
  return first;
}

QString TXMLNode::Text() {
  if (IsElementNode(node_)) return ToQString(SingleTextChild()->content);
  if (IsTextLike(node_) || node_->type == XML_COMMENT_NODE || node_->type == XML_PI_NODE)
    return ToQString(node_->content);
  if (IsAttributeNode(node_)) return OwnedContent(node_);
  return QString();
}

void TXMLNode::SetText(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  const auto* value = reinterpret_cast<const xmlChar*>(utf8.constData());
  if (IsElementNode(node_)) {
    xmlNodeSetContent(SingleTextChild(), value);
  } else if (IsAttributeNode(node_)) {
    // Through the element, so that the value is stored as given, not parsed for entities.
    xmlSetNsProp(node_->parent, node_->ns, node_->name, value);
  } else if (IsTextLike(node_) || node_->type == XML_COMMENT_NODE) {
    xmlNodeSetContent(node_, value);
  }
}

QVariant TXMLNode::NodeValue() {
  QString text = Text();
  return text.isEmpty() ? QVariant() : QVariant(text);
}

void TXMLNode::SetNodeValue(const QVariant& value) { SetText(VariantText(value)); }

void TXMLNode::SetAttribute(std::string_view name, const QVariant& value) {
  TXMLNode* owner = Owner();
  if (!IsElementNode(owner->node_)) return;
  if (value.isNull()) {
    if (xmlAttr* attr = FindAttribute(owner->node_, name)) {
      xmlUnlinkNode(reinterpret_cast<xmlNode*>(attr));
      document_->Detach(reinterpret_cast<xmlNode*>(attr));
    }
  } else {
    std::string buffer;
    const QByteArray utf8 = VariantText(value).toUtf8();
    if (xmlAttr* attr = FindAttribute(owner->node_, name)) {
      xmlSetNsProp(owner->node_, attr->ns, attr->name, BAD_CAST utf8.constData());
    } else {
      xmlSetProp(owner->node_, Utf8(name, buffer), BAD_CAST utf8.constData());
    }
  }
  owner->SyncAttributes();
}

QVariant TXMLNode::GetAttributeNS(std::string_view localName, std::string_view namespaceURI) const {
  if (!IsElementNode(node_)) return QVariant();
  xmlAttr* attr = FindAttributeNS(node_, localName, namespaceURI);
  return attr ? QVariant(OwnedContent(reinterpret_cast<xmlNode*>(attr))) : QVariant();
}

void TXMLNode::SetAttributeNS(std::string_view localName, std::string_view namespaceURI,
                              const QVariant& value) {
  TXMLNode* owner = Owner();
  xmlNode* element = owner->node_;
  if (!IsElementNode(element)) return;
  xmlAttr* attr = FindAttributeNS(element, localName, namespaceURI);
  if (value.isNull()) {
    if (attr) {
      xmlUnlinkNode(reinterpret_cast<xmlNode*>(attr));
      document_->Detach(reinterpret_cast<xmlNode*>(attr));
    }
  } else {
    const QByteArray utf8 = VariantText(value).toUtf8();
    xmlNs* ns = attr ? attr->ns : nullptr;
    std::string uriBuffer;
    const xmlChar* uri = Utf8(namespaceURI, uriBuffer);
    if (!ns) ns = xmlSearchNsByHref(document_->doc_, element, uri);
    if (!ns || !ns->prefix) {
      // A default-namespace declaration cannot name an attribute: declare a prefix of our own.
      std::string prefix;
      for (int n = 1;; ++n) {
        prefix = "ns" + std::to_string(n);
        if (!xmlSearchNs(document_->doc_, element, BAD_CAST prefix.c_str())) break;
      }
      ns = xmlNewNs(element, uri, BAD_CAST prefix.c_str());
    }
    std::string nameBuffer;
    xmlSetNsProp(element, ns, Utf8(localName, nameBuffer), BAD_CAST utf8.constData());
  }
  owner->SyncAttributes();
}

int TXMLNode::AttributeInt(std::string_view name) {
  const QVariant value = Attribute(name)->NodeValue();
  bool ok = false;
  const int number = value.isNull() ? 0 : value.toString().toInt(&ok);
  if (!ok) ThrowConversion(value, "Integer");
  return number;
}

float TXMLNode::AttributeFloat(std::string_view name) {
  const QVariant value = Attribute(name)->NodeValue();
  bool ok = false;
  const float number = value.isNull() ? 0.0f : value.toString().toFloat(&ok);
  if (!ok || !std::isfinite(number)) ThrowConversion(value, "Single");
  return number;
}

QString TXMLNode::XLinkText(std::string_view localName) const {
  return GetAttributeNS(localName, "http://www.w3.org/1999/xlink").toString();
}

void TXMLNode::SetXLinkText(std::string_view localName, const QString& text) {
  SetAttributeNS(localName, "http://www.w3.org/1999/xlink", text);
}

// ---------------------------------------------------------------------------------------------
// TXMLNodeCollection

TXMLNodeCollection::TXMLNodeCollection(const NodeInit& init, ChildTable table, const char* itemTag,
                                       NodeTypeCheck itemType)
    : TXMLNode(init, table), itemType_(itemType) {
  if (itemTag) SetItemTag(itemTag);
  itemNamespace_ = NamespaceOf(DomNode());
  Owner()->watchers_.push_back(this);
}

TXMLNodeCollection::~TXMLNodeCollection() = default;

void TXMLNodeCollection::SetItemTag(std::string_view tag) {
  itemTag_ = tag;
  itemTags_.clear();
  for (std::string_view rest = tag; !rest.empty();) {
    const size_t split = rest.find(';');
    itemTags_.emplace_back(rest.substr(0, split));
    rest = split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);
  }
  items_.reset();
}

void TXMLNodeCollection::SetItemType(NodeTypeCheck itemType) {
  itemType_ = itemType;
  items_.reset();
}

bool TXMLNodeCollection::IsItem(const TXMLNode& node) const {
  if (!node.IsElement()) return false;
  const std::string_view local = View(node.DomNode()->name);
  return std::find(itemTags_.begin(), itemTags_.end(), local) != itemTags_.end() && itemType_(&node);
}

std::vector<TXMLNode*>& TXMLNodeCollection::Items() {
  if (!items_) {
    std::vector<TXMLNode*> items;
    for (TXMLNode* child : ChildNodes().nodes_) {
      if (IsItem(*child)) items.push_back(child);
    }
    items_ = std::move(items);
  }
  return *items_;
}

void TXMLNodeCollection::ChildInserted(TXMLNode* child) {
  if (!items_ || !IsItem(*child)) return;
  size_t before = 0;
  for (TXMLNode* sibling : ChildNodes().nodes_) {
    if (sibling == child) break;
    if (IsItem(*sibling)) ++before;
  }
  items_->insert(items_->begin() + before, child);
}

void TXMLNodeCollection::ChildRemoved(TXMLNode* child) {
  if (!items_) return;
  items_->erase(std::remove(items_->begin(), items_->end(), child), items_->end());
}

int TXMLNodeCollection::Count() { return int(Items().size()); }

XMLRef<TXMLNode> TXMLNodeCollection::Nodes(int index) {
  std::vector<TXMLNode*>& items = Items();
  if (index < 0 || index >= int(items.size())) ThrowOutOfBounds(index);
  return Share(items[index]);
}

XMLRef<TXMLNode> TXMLNodeCollection::AddItem(int index) {
  if (itemTags_.empty()) {
    throw ShelvioError(ShelvioError::Kind::Metadata, QStringLiteral("ItemTag property is not initialized"));
  }
  std::vector<TXMLNode*>& items = Items();
  const int count = int(items.size());
  int position = -1;
  if (index == -1 || index == count) {
    // After the last item, so that items stay together among the element's other children.
    if (!items.empty()) position = ChildNodes().IndexOf(items.back()) + 1;
  } else if (index >= 0 && index < count) {
    position = ChildNodes().IndexOf(items[index]);
  } else {
    ThrowOutOfBounds(index);
  }
  return Share(Owner()->CreateChild(itemTags_.front(), position));
}

void TXMLNodeCollection::Clear() {
  while (Count() > 0) Delete(0);
}

void TXMLNodeCollection::Delete(int index) { Remove(Nodes(index)); }

int TXMLNodeCollection::Remove(const XMLRef<TXMLNode>& node) {
  std::vector<TXMLNode*>& items = Items();
  const auto it = std::find(items.begin(), items.end(), node.get());
  if (it == items.end()) return -1;
  const int index = int(it - items.begin());
  Owner()->RemoveChildNode(*it);
  return index;
}

// ---------------------------------------------------------------------------------------------
// TXMLTextList

XMLRef<TXMLNode> TXMLTextList::Add(const QString& text) { return Insert(-1, text); }

QString TXMLTextList::Item(int index) { return Count() <= 0 ? QString() : Nodes(index)->Text(); }

XMLRef<TXMLNode> TXMLTextList::Insert(int index, const QString& text) {
  XMLRef<TXMLNode> item = AddItem(index);
  item->SetNodeValue(text);
  return item;
}

// ---------------------------------------------------------------------------------------------
// TXMLDocument

namespace {

bool IsBlank(const xmlChar* text) {
  for (; text && *text; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
  }
  return true;
}

// xml:space on the element, or the inherited setting when it has none.
bool PreservesSpace(const xmlNode* element, bool inherited) {
  for (const xmlAttr* attr = element->properties; attr; attr = attr->next) {
    if (attr->ns && View(attr->ns->href) == View(XML_XML_NAMESPACE) && View(attr->name) == "space" &&
        attr->children) {
      return View(attr->children->content) == "preserve";
    }
  }
  return inherited;
}

// The parser keeps some white-space-only text (the only child of an element): drop all of it.
void DropBlankText(xmlNode* parent, bool preserve) {
  for (xmlNode* child = parent->children; child;) {
    xmlNode* next = child->next;
    if (child->type == XML_TEXT_NODE && !preserve && IsBlank(child->content)) {
      xmlUnlinkNode(child);
      xmlFreeNode(child);
    } else if (child->type == XML_ELEMENT_NODE) {
      DropBlankText(child, PreservesSpace(child, preserve));
    }
    child = next;
  }
}

}  // namespace

TXMLDocument::TXMLDocument(Private, _xmlDoc* doc) : doc_(doc) {}

TXMLDocument::~TXMLDocument() {
  wrappers_.clear();
  // Detached nodes still use the document's dictionary: free them before the document.
  for (xmlNode* node : detached_) {
    if (IsAttributeNode(node)) {
      xmlFreeProp(reinterpret_cast<xmlAttr*>(node));
    } else {
      xmlFreeNode(node);
    }
  }
  xmlFreeDoc(doc_);
}

// Both loaders go through the one safe parse that the validator uses too.
XMLRef<TXMLDocument> TXMLDocument::FromRead(XmlReadResult&& read) {
  if (!read.doc) throw ShelvioError(ShelvioError::Kind::Metadata, read.reason);
  DropBlankText(reinterpret_cast<xmlNode*>(read.doc.get()), false);
  return std::make_shared<TXMLDocument>(Private{}, read.doc.release());
}

XMLRef<TXMLDocument> TXMLDocument::Parse(const QByteArray& bytes, const QString& url) {
  return FromRead(ReadXmlMemory(bytes, QFile::encodeName(url)));
}

XMLRef<TXMLDocument> TXMLDocument::LoadFromFile(const QString& path) { return FromRead(ReadXmlFile(path)); }

XMLRef<TXMLDocument> TXMLDocument::LoadFromXML(const QByteArray& xml) { return Parse(xml, {}); }

TXMLNode* TXMLDocument::Adopt(std::unique_ptr<TXMLNode> node) {
  wrappers_.push_back(std::move(node));
  return wrappers_.back().get();
}

void TXMLDocument::Detach(_xmlNode* node) { detached_.push_back(node); }

XMLRef<TXMLNode> TXMLDocument::Node() {
  if (!documentNode_) {
    documentNode_ =
        Adopt(std::make_unique<TXMLNode>(NodeInit{this, nullptr, reinterpret_cast<xmlNode*>(doc_), nullptr}));
  }
  return documentNode_->Self();
}

XMLRef<TXMLNode> TXMLDocument::DocumentElement() {
  XMLRef<TXMLNode> node = Node();
  for (TXMLNode* child : node->ChildNodes().nodes_) {
    if (child->IsElement()) return child->Self();
  }
  return nullptr;
}

XMLRef<TXMLNode> TXMLDocument::BindRoot(std::string_view name, NodeFactory factory,
                                        std::string_view namespaceURI) {
  rootBindings_.push_back({std::string(name), factory, std::string(namespaceURI)});
  documentNode_ = nullptr;
  if (!xmlDocGetRootElement(doc_)) {
    std::string buffer;
    xmlNode* root = xmlNewDocNode(doc_, nullptr, Utf8(name, buffer), nullptr);
    if (!namespaceURI.empty()) {
      xmlSetNs(root, xmlNewNs(root, Utf8(namespaceURI, buffer), nullptr));
    }
    xmlDocSetRootElement(doc_, root);
  }
  return DocumentElement();
}
