#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fictionbook/book_info.h"

// The DOM behind the layer is libxml2's; its types stay opaque here.
struct _xmlNode;
struct _xmlDoc;

class TXMLDocument;
class TXMLNode;
class TXMLNodeCollection;

// A counted reference to a wrapper. It keeps the whole document (DOM and every wrapper) alive.
template <class T>
using XMLRef = std::shared_ptr<T>;

// What a wrapper is made of. host is set for a collection that presents another node's children.
struct NodeInit {
  TXMLDocument* document = nullptr;
  TXMLNode* parent = nullptr;
  _xmlNode* node = nullptr;
  TXMLNode* host = nullptr;
};

using NodeFactory = std::unique_ptr<TXMLNode> (*)(const NodeInit&);
using NodeTypeCheck = bool (*)(const TXMLNode*);

template <class T>
std::unique_ptr<TXMLNode> MakeNode(const NodeInit& init) {
  return std::make_unique<T>(init);
}

// True when the wrapper was created with class T or a class derived from it.
template <class T>
bool IsA(const TXMLNode* node) {
  return dynamic_cast<const T*>(node) != nullptr;
}

// One fixed registration of a class: an element name in the registering node's own namespace.
struct ChildClass {
  const char* name;
  NodeFactory factory;
};

template <class T>
constexpr ChildClass Reg(const char* name) {
  return {name, &MakeNode<T>};
}

using ChildTable = std::span<const ChildClass>;

// Converts a wrapper to class T; a null reference stays null.
// Throws ShelvioError (Metadata) "Interface not supported" when it was not created with T (or a subclass).
template <class T>
XMLRef<T> NodeAs(const XMLRef<TXMLNode>& node) {
  if (!node) return nullptr;
  auto typed = std::dynamic_pointer_cast<T>(node);
  if (!typed) throw ShelvioError(ShelvioError::Kind::Metadata, QStringLiteral("Interface not supported"));
  return typed;
}

// The wrapped children of a node, or its attributes, in document order.
class TXMLNodeList {
 public:
  int Count() const { return static_cast<int>(nodes_.size()); }
  // Throws ShelvioError (Metadata) "List index out of bounds (%d)" outside 0..Count()-1.
  XMLRef<TXMLNode> Nodes(int index) const;
  // The first node whose qualified or local name is name (for child lists, also in the list's
  // default namespace); null when there is none. Creates nothing.
  XMLRef<TXMLNode> FindNode(std::string_view name) const;
  int IndexOf(const TXMLNode* node) const;

 private:
  friend class TXMLNode;
  friend class TXMLNodeCollection;
  friend class TXMLDocument;
  TXMLNode* FindRaw(std::string_view name) const;

  std::vector<TXMLNode*> nodes_;
  bool isChildList_ = true;
  std::string defaultNamespace_;
  bool hasDefaultNamespace_ = false;
};

// A wrapper of one DOM node. Wrappers belong to their document; every result handed out is an
// XMLRef, so a wrapper lives as long as its document or a reference to anything of it.
class TXMLNode {
 public:
  explicit TXMLNode(const NodeInit& init, ChildTable table = {});
  virtual ~TXMLNode();
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;

  // The DOM's names of the node: qualified name ("#text" and the like for non-elements), local
  // name, namespace URI and prefix (empty when there is none).
  QString NodeName() const;
  QString LocalName() const;
  QString NamespaceURI() const;
  QString Prefix() const;
  bool IsElement() const;
  bool IsTextNode() const;  // text or CDATA
  bool HasChildNodes() const;
  XMLRef<TXMLNode> ParentNode() const;
  XMLRef<TXMLDocument> OwnerDocument() const;

  // Adds a class for child elements of that name, tried after the earlier ones; without a
  // namespace URI the node's own is taken. Drops a child list already built.
  void RegisterChildNode(std::string_view name, NodeFactory factory,
                         std::optional<std::string> namespaceURI = std::nullopt);
  template <class T>
  void RegisterChildNode(std::string_view name, std::optional<std::string> namespaceURI = std::nullopt) {
    RegisterChildNode(name, &MakeNode<T>, std::move(namespaceURI));
  }

  // The wrapped children, built once on first use with the classes of the registry.
  TXMLNodeList& ChildNodes();
  // The wrapped attributes of an element.
  TXMLNodeList& AttributeNodes();

  // The first child element of that name in the owner's namespace; when there is none and the
  // document allows it, a new empty element appended last. Throws "Node "%s" not found".
  XMLRef<TXMLNode> Child(std::string_view name);
  // The attribute of that (qualified or local) name, created with an empty value when absent.
  XMLRef<TXMLNode> Attribute(std::string_view name);

  // The element's only text or CDATA child's value; an empty element gets an empty text node and
  // reads "". Other nodes: their DOM value. Throws "Element does not contain a single text node".
  QString Text();
  // Same rule as Text(), then the value is written into the single text child.
  void SetText(const QString& text);
  // Text() with the empty text read as null.
  QVariant NodeValue();
  // Sets the value converted to text (null gives the empty text).
  void SetNodeValue(const QVariant& value);

  // A null value removes the attribute; anything else is set as text.
  void SetAttribute(std::string_view name, const QVariant& value);
  // The attribute of that local name and namespace URI, or null; creates nothing.
  QVariant GetAttributeNS(std::string_view localName, std::string_view namespaceURI) const;
  // Sets (null: removes) the attribute, prefixed as an in-scope declaration of the URI says.
  void SetAttributeNS(std::string_view localName, std::string_view namespaceURI, const QVariant& value);

  // A new element of that name in the owner's namespace and prefix, inserted at position of the
  // child list (-1 appends). Throws "List index out of bounds (%d)" for other positions.
  XMLRef<TXMLNode> AddChild(std::string_view name, int position = -1);

  // The counted reference to this wrapper.
  XMLRef<TXMLNode> Self() { return Share(this); }

 protected:
  friend class TXMLDocument;
  friend class TXMLNodeCollection;
  friend class TXMLNodeList;

  template <class T>
  XMLRef<T> Share(T* node) const;

  // Accessor mechanics for the typed classes built on this layer.
  template <class T>
  XMLRef<T> ChildAs(std::string_view name) {
    return NodeAs<T>(Child(name));
  }
  QString ChildText(std::string_view name) { return Child(name)->Text(); }
  void SetChildText(std::string_view name, const QString& text) { Child(name)->SetNodeValue(text); }
  QString AttributeText(std::string_view name) { return Attribute(name)->Text(); }
  void SetAttributeText(std::string_view name, const QString& text) { SetAttribute(name, text); }
  // Throws "Could not convert variant of type (%s) into type (%s)" on an empty or non-numeric value.
  int AttributeInt(std::string_view name);
  float AttributeFloat(std::string_view name);
  QString XLinkText(std::string_view localName) const;
  void SetXLinkText(std::string_view localName, const QString& text);
  // A list of this node's children tagged tag; the list lives with the document.
  template <class L>
  L* CreateList(const char* tag);

  // The node whose children this wrapper presents: itself, or the host of a hosted collection.
  TXMLNode* Owner() { return host_ ? host_ : this; }
  _xmlNode* DomNode() const { return node_; }
  TXMLDocument* Document() const { return document_; }

 private:
  struct Registration {
    std::string name;
    NodeFactory factory;
    std::string namespaceURI;
  };

  NodeFactory ChooseClass(_xmlNode* child) const;
  TXMLNode* Wrap(_xmlNode* child);
  void BuildChildren();
  void SyncAttributes();
  void DropChildren();
  // DOM changes of the child list, kept in step with the wrappers and the watching collections.
  TXMLNode* InsertChildNode(_xmlNode* child, int position);
  void RemoveChildNode(TXMLNode* child);
  TXMLNode* CreateChild(std::string_view name, int position);
  _xmlNode* SingleTextChild();

  TXMLDocument* document_;
  TXMLNode* parent_;
  TXMLNode* host_;
  _xmlNode* node_;
  ChildTable table_;
  std::vector<Registration> registrations_;
  std::unique_ptr<TXMLNodeList> children_;
  std::unique_ptr<TXMLNodeList> attributes_;
  std::vector<TXMLNodeCollection*> watchers_;
};

// A node that also presents the children tagged with its item tag and of its item type.
class TXMLNodeCollection : public TXMLNode {
 public:
  TXMLNodeCollection(const NodeInit& init, ChildTable table = {}, const char* itemTag = nullptr,
                     NodeTypeCheck itemType = &IsA<TXMLNode>);
  ~TXMLNodeCollection() override;

  int Count();
  // Throws "List index out of bounds (%d)".
  XMLRef<TXMLNode> Nodes(int index);
  // A new element named by the (first) item tag, before item index or after the last item (-1).
  // Throws "ItemTag property is not initialized" or "List index out of bounds (%d)".
  XMLRef<TXMLNode> AddItem(int index = -1);
  void Clear();
  // Throws "List index out of bounds (%d)".
  void Delete(int index);
  // Removes the item from the element; its former index, or -1 when it is not an item.
  int Remove(const XMLRef<TXMLNode>& node);

  // Item elements' names, several separated by ";".
  QString ItemTag() const { return QString::fromUtf8(itemTag_); }
  void SetItemTag(std::string_view tag);
  void SetItemType(NodeTypeCheck itemType);
  QString ItemNamespaceURI() const { return QString::fromUtf8(itemNamespace_); }

 private:
  friend class TXMLNode;
  bool IsItem(const TXMLNode& node) const;
  std::vector<TXMLNode*>& Items();
  void ChildInserted(TXMLNode* child);
  void ChildRemoved(TXMLNode* child);
  void Reset() { items_.reset(); }

  std::string itemTag_;
  std::vector<std::string> itemTags_;
  NodeTypeCheck itemType_;
  std::string itemNamespace_;
  std::optional<std::vector<TXMLNode*>> items_;
};

// Items of class T, with the accessors every typed list shares.
template <class T>
class TXMLTypedList : public TXMLNodeCollection {
 public:
  explicit TXMLTypedList(const NodeInit& init, ChildTable table = {}, const char* itemTag = nullptr)
      : TXMLNodeCollection(init, table, itemTag, &IsA<T>) {}
  XMLRef<T> Add() { return NodeAs<T>(AddItem(-1)); }
  // No node when the list is empty; otherwise the item (out of range: "List index out of bounds").
  XMLRef<T> Item(int index) { return Count() <= 0 ? nullptr : NodeAs<T>(Nodes(index)); }
  XMLRef<T> Insert(int index) { return NodeAs<T>(AddItem(index)); }
};

// Items of any node, read and written as text.
class TXMLTextList : public TXMLNodeCollection {
 public:
  explicit TXMLTextList(const NodeInit& init) : TXMLNodeCollection(init) {}
  XMLRef<TXMLNode> Add(const QString& text);
  // The empty string when the list is empty; otherwise the item's text.
  QString Item(int index);
  XMLRef<TXMLNode> Insert(int index, const QString& text);
};

struct XmlReadResult;

// One parsed file and its wrappers. Created only through the Load functions (always held by a
// shared pointer), with node creation on access switched on.
class TXMLDocument : public std::enable_shared_from_this<TXMLDocument> {
 public:
  ~TXMLDocument();
  TXMLDocument(const TXMLDocument&) = delete;
  TXMLDocument& operator=(const TXMLDocument&) = delete;

  // Parses a file (read completely and closed) or a text, never touching the network, external
  // DTDs or entities; white-space-only text is dropped unless xml:space="preserve" is in scope.
  // Throws ShelvioError (Metadata) with the parser's reason.
  static XMLRef<TXMLDocument> LoadFromFile(const QString& path);
  static XMLRef<TXMLDocument> LoadFromXML(const QByteArray& xml);

  // The wrapper of the DOM document node; its children's classes come from the root bindings.
  XMLRef<TXMLNode> Node();
  // The wrapper of the document element, null when there is none.
  XMLRef<TXMLNode> DocumentElement();
  // Adds the root binding, rebuilds the document node's wrapper, creates a missing document
  // element, and returns the document element's wrapper.
  XMLRef<TXMLNode> BindRoot(std::string_view name, NodeFactory factory, std::string_view namespaceURI);
  template <class T>
  XMLRef<TXMLNode> BindRoot(std::string_view name, std::string_view namespaceURI) {
    return BindRoot(name, &MakeNode<T>, namespaceURI);
  }

  // Whether a missing child read by name is created (on by default).
  bool NodeAutoCreate() const { return nodeAutoCreate_; }
  void SetNodeAutoCreate(bool value) { nodeAutoCreate_ = value; }

 private:
  friend class TXMLNode;
  struct Private {};

 public:
  TXMLDocument(Private, _xmlDoc* doc);

 private:
  static XMLRef<TXMLDocument> Parse(const QByteArray& bytes, const QString& url);
  static XMLRef<TXMLDocument> FromRead(XmlReadResult&& read);
  TXMLNode* Adopt(std::unique_ptr<TXMLNode> node);
  void Detach(_xmlNode* node);

  _xmlDoc* doc_;
  bool nodeAutoCreate_ = true;
  std::vector<TXMLNode::Registration> rootBindings_;
  TXMLNode* documentNode_ = nullptr;
  std::vector<std::unique_ptr<TXMLNode>> wrappers_;
  std::vector<_xmlNode*> detached_;
};

template <class T>
XMLRef<T> TXMLNode::Share(T* node) const {
  if (!node) return nullptr;
  return XMLRef<T>(document_->shared_from_this(), node);
}

template <class L>
L* TXMLNode::CreateList(const char* tag) {
  TXMLNode* owner = Owner();
  auto list = std::make_unique<L>(NodeInit{document_, owner->parent_, owner->node_, owner});
  list->SetItemTag(tag);
  return static_cast<L*>(document_->Adopt(std::move(list)));
}
