#include "binding/xml_node.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "binding/tests/error_of.h"

namespace {

// Small node classes of our own, so that the layer is tested apart from the FictionBook binding.
class Leaf : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
};

class OtherLeaf : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
};

constexpr ChildClass kHolderChildren[] = {Reg<Leaf>("item"), Reg<Leaf>("entry"), Reg<OtherLeaf>("other")};

class Holder : public TXMLNode {
 public:
  explicit Holder(const NodeInit& init) : TXMLNode(init, kHolderChildren) {}
  XMLRef<TXMLTypedList<Leaf>> Items() { return Share(items_); }
  XMLRef<TXMLTypedList<Leaf>> Others() { return Share(others_); }
  XMLRef<TXMLNodeCollection> Untagged() { return Share(untagged_); }

 private:
  TXMLTypedList<Leaf>* items_ = CreateList<TXMLTypedList<Leaf>>("item;entry");
  // "other" elements are wrapped as OtherLeaf, so a list of Leaf items never holds one.
  TXMLTypedList<Leaf>* others_ = CreateList<TXMLTypedList<Leaf>>("other");
  TXMLNodeCollection* untagged_ = CreateList<TXMLNodeCollection>("");
};

constexpr const char* kNs = "urn:test";

XMLRef<Holder> LoadHolder(const char* xml) {
  auto document = TXMLDocument::LoadFromXML(xml);
  return NodeAs<Holder>(document->BindRoot<Holder>("r", kNs));
}

QStringList ChildNames(TXMLNode& node) {
  QStringList names;
  for (int i = 0; i < node.ChildNodes().Count(); ++i) names << node.ChildNodes().Nodes(i)->NodeName();
  return names;
}

TEST(XMLDocument, DropsEveryWhiteSpaceOnlyTextButKeepsPreservedSpace) {
  // NOBLANKS would keep the blank that is an element's only child; the loader must drop it too.
  auto root = LoadHolder(
      "<r xmlns='urn:test'>\n  <a>   </a>\n  <b>\t\r\n</b><c xml:space='preserve'> </c>"
      "<d> x </d></r>");
  EXPECT_EQ(QStringList({"a", "b", "c", "d"}), ChildNames(*root));
  EXPECT_FALSE(root->Child("a")->HasChildNodes());
  EXPECT_EQ("", root->Child("b")->Text());
  EXPECT_EQ(" ", root->Child("c")->Text());
  EXPECT_EQ(" x ", root->Child("d")->Text());
}

TEST(XMLDocument, RefusesWhatDoesNotLoadWithTheParsersReasonAndPrintsNothing) {
  struct Case {
    const char* what;
    const char* xml;
    const char* reasonPart;
  } cases[] = {
      {"mismatched tags", "<r><a></b></r>", "mismatch"},
      {"undefined entity", "<r>&nbsp;</r>", "nbsp"},
      // A namespace-aware parser refuses an undeclared prefix; libxml2 alone would build a tree.
      {"undeclared prefix", "<r><l:a/></r>", "Namespace prefix l"},
      {"not XML", "just text", "Start tag expected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    const std::string error = ErrorOf([&] { TXMLDocument::LoadFromXML(c.xml); });
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_NE(std::string::npos, error.find(c.reasonPart)) << error;
  }
  // The same reason as the metadata reader gives: the path and the system's words.
  EXPECT_EQ("/nonexistent/book.fb2: No such file or directory",
            ErrorOf([] { TXMLDocument::LoadFromFile("/nonexistent/book.fb2"); }));
}

TEST(XMLDocument, NeverLoadsExternalEntitiesAndStopsEntityExpansionQuickly) {
  QTemporaryDir dir;
  QFile secret(dir.filePath("secret.txt"));
  ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
  secret.write("SECRET");
  secret.close();
  const QByteArray external = "<!DOCTYPE r [<!ENTITY x SYSTEM 'file://" +
                              QFile::encodeName(dir.filePath("secret.txt")) +
                              "'>]><r xmlns='urn:test'><a>&x;</a></r>";
  try {
    auto root = LoadHolder(external.constData());
    EXPECT_FALSE(root->Child("a")->HasChildNodes() &&
                 root->Child("a")->ChildNodes().Nodes(0)->Text().contains("SECRET"));
  } catch (const ShelvioError&) {
    // Refusing the file is as good as not reading the entity.
  }

  QByteArray laughs = "<!DOCTYPE r [<!ENTITY l0 'lol'>";
  for (int i = 1; i <= 12; ++i) {
    laughs += QByteArray("<!ENTITY l") + QByteArray::number(i) + " '" + QByteArray("&l") +
              QByteArray::number(i - 1) + ";" + "&l" + QByteArray::number(i - 1) + ";&l" +
              QByteArray::number(i - 1) + ";&l" + QByteArray::number(i - 1) + ";&l" +
              QByteArray::number(i - 1) + ";'>";
  }
  laughs += "]>";
  // In an attribute too: a parse that lifts libxml2's size limits for large images must not
  // lift its entity expansion limits with them.
  for (const char* body : {"<r>&l12;</r>", "<r a='&l12;'/>"}) {
    SCOPED_TRACE(body);
    QElapsedTimer timer;
    timer.start();
    try {
      TXMLDocument::LoadFromXML(laughs + body);
    } catch (const ShelvioError&) {
    }
    EXPECT_LT(timer.elapsed(), 2000);
  }
}

TEST(XMLNode, ChildByNameCreatesAMissingElementLastInTheOwnersNamespaceAndPrefix) {
  struct Case {
    const char* what;
    const char* xml;
    QStringList namesAfter;
  } cases[] = {
      {"default namespace", "<r xmlns='urn:test'><a>1</a><b/></r>", {"a", "b", "middle-name"}},
      {"prefixed owner", "<t:r xmlns:t='urn:test'><t:a>1</t:a></t:r>", {"t:a", "t:middle-name"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto root = LoadHolder(c.xml);
    auto created = root->Child("middle-name");
    EXPECT_EQ("", created->Text());
    EXPECT_EQ(kNs, created->NamespaceURI());
    EXPECT_EQ(c.namesAfter, ChildNames(*root));
    // The same wrapper on the next read: the element is found, not created again.
    EXPECT_EQ(created, root->Child("middle-name"));
    EXPECT_EQ(c.namesAfter.size(), root->ChildNodes().Count());
  }
}

TEST(XMLNode, ChildByNameFailsWhenNothingMayBeCreated) {
  auto root = LoadHolder("<r xmlns='urn:test'/>");
  auto document = root->OwnerDocument();
  EXPECT_EQ("Node \"x\" not found", ErrorOf([&] { document->Node()->Child("x"); }));
  document->SetNodeAutoCreate(false);
  EXPECT_EQ("Node \"missing\" not found", ErrorOf([&] { root->Child("missing"); }));
  EXPECT_EQ(root, document->Node()->Child("r"));
}

TEST(XMLNode, ChildInAForeignNamespaceIsNotFoundByNameAndGetsTheGenericClass) {
  auto root = LoadHolder("<r xmlns='urn:test' xmlns:o='urn:other'><o:item>x</o:item></r>");
  auto foreign = root->ChildNodes().Nodes(0);
  EXPECT_EQ("o:item", foreign->NodeName());
  EXPECT_EQ("Interface not supported", ErrorOf([&] { NodeAs<Leaf>(foreign); }));
  // By name, only the owner's namespace counts: a new element is created beside it.
  auto own = root->Child("item");
  EXPECT_NE(foreign, own);
  EXPECT_NO_THROW(NodeAs<Leaf>(own));
  EXPECT_EQ(1, root->Items()->Count());
}

TEST(XMLNode, RegistryMatchesNamespacesWithoutRegardToAsciiCase) {
  auto root = LoadHolder("<r xmlns='urn:test' xmlns:u='URN:TEST'><u:item/></r>");
  EXPECT_NO_THROW(NodeAs<Leaf>(root->ChildNodes().Nodes(0)));
}

TEST(XMLNode, RegistrationAfterTheChildListWasBuiltRebuildsIt) {
  auto root = LoadHolder("<r xmlns='urn:test'><late/><item/></r>");
  auto before = root->ChildNodes().Nodes(0);
  EXPECT_EQ("Interface not supported", ErrorOf([&] { NodeAs<Leaf>(before); }));
  const int itemsBefore = root->Items()->Count();
  root->RegisterChildNode<Leaf>("late");
  EXPECT_NO_THROW(NodeAs<Leaf>(root->ChildNodes().Nodes(0)));
  EXPECT_EQ(2, root->ChildNodes().Count());
  EXPECT_EQ(1, itemsBefore);
  // The old wrapper stays usable while it is referenced.
  EXPECT_EQ("late", before->NodeName());
  // A registration in another namespace does not apply to the owner's children.
  root->RegisterChildNode<OtherLeaf>("item", "urn:elsewhere");
  EXPECT_NO_THROW(NodeAs<Leaf>(root->ChildNodes().Nodes(1)));
}

TEST(XMLNode, TextIsDefinedOnlyForAtMostOneTextOrCDataChild) {
  struct Case {
    const char* what;
    const char* content;
    const char* text;  // nullptr: the read fails
  } cases[] = {
      {"text", "Foundation", "Foundation"},
      {"CDATA", "<![CDATA[a<b]]>", "a<b"},
      {"entity of the XML set", "a &amp; b", "a & b"},
      {"empty", "", ""},
      {"comment", "<!--c-->", nullptr},
      {"text and comment", "a<!--c-->b", nullptr},
      {"text and element", "a<i>b</i>", nullptr},
      {"text and CDATA", "a<![CDATA[b]]>", nullptr},
      {"element", "<i/>", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto root = LoadHolder((std::string("<r xmlns='urn:test'><x>") + c.content + "</x></r>").c_str());
    auto x = root->Child("x");
    if (c.text) {
      EXPECT_EQ(c.text, x->Text());
      x->SetText("new");
      EXPECT_EQ("new", x->Text());
      EXPECT_EQ(1, x->ChildNodes().Count());
    } else {
      EXPECT_EQ("Element does not contain a single text node", ErrorOf([&] { x->Text(); }));
      EXPECT_EQ("Element does not contain a single text node", ErrorOf([&] { x->SetText("n"); }));
    }
  }
}

TEST(XMLNode, EmptyElementGetsOneEmptyTextNodeAndReadsAsNull) {
  auto root = LoadHolder("<r xmlns='urn:test'><x/></r>");
  auto x = root->Child("x");
  EXPECT_EQ(0, x->ChildNodes().Count());
  EXPECT_TRUE(x->NodeValue().isNull());
  ASSERT_EQ(1, x->ChildNodes().Count());
  EXPECT_TRUE(x->ChildNodes().Nodes(0)->IsTextNode());
  x->Text();
  EXPECT_EQ(1, x->ChildNodes().Count());
  x->SetNodeValue(42);
  EXPECT_EQ("42", x->Text());
}

TEST(XMLNode, AttributeByNameCreatesAnEmptyAttributeThatReadsAsNull) {
  auto root = LoadHolder("<r xmlns='urn:test' xml:lang='ru' a='1'/>");
  EXPECT_EQ("ru", root->Attribute("xml:lang")->Text());
  EXPECT_EQ("ru", root->Attribute("lang")->Text());
  EXPECT_EQ(2, root->AttributeNodes().Count());
  auto number = root->Attribute("number");
  EXPECT_TRUE(number->NodeValue().isNull());
  EXPECT_EQ(3, root->AttributeNodes().Count());
  EXPECT_EQ(number, root->Attribute("number"));
  number->SetText("7");
  EXPECT_EQ("7", root->Attribute("number")->Text());
  root->SetAttribute("a", QVariant());
  EXPECT_EQ(QStringList({"xml:lang", "number"}), [&] {
    QStringList names;
    for (int i = 0; i < root->AttributeNodes().Count(); ++i)
      names << root->AttributeNodes().Nodes(i)->NodeName();
    return names;
  }());
  root->SetAttribute("a", 2.5);
  EXPECT_EQ("2.5", root->Attribute("a")->Text());
}

TEST(XMLNode, AttributesInANamespaceAreReadWithoutCreatingAndWrittenWithTheInScopePrefix) {
  constexpr const char* kXLink = "http://www.w3.org/1999/xlink";
  auto root =
      LoadHolder("<r xmlns='urn:test' xmlns:l='http://www.w3.org/1999/xlink'><a l:href='#n1'/><b/></r>");
  auto a = root->Child("a");
  EXPECT_EQ("#n1", a->GetAttributeNS("href", kXLink).toString());
  EXPECT_TRUE(a->GetAttributeNS("type", kXLink).isNull());
  EXPECT_TRUE(a->GetAttributeNS("href", "urn:other").isNull());
  EXPECT_EQ(1, a->AttributeNodes().Count());

  a->SetAttributeNS("type", kXLink, "simple");
  EXPECT_EQ("simple", a->Attribute("l:type")->Text());
  a->SetAttributeNS("href", kXLink, QVariant());
  EXPECT_TRUE(a->GetAttributeNS("href", kXLink).isNull());

  // No prefix in scope: the attribute still lands in the namespace.
  auto document = TXMLDocument::LoadFromXML("<r xmlns='http://www.w3.org/1999/xlink'/>");
  auto plain = document->DocumentElement();
  plain->SetAttributeNS("href", kXLink, "#x");
  EXPECT_EQ("#x", plain->GetAttributeNS("href", kXLink).toString());
}

TEST(XMLNode, AddChildInsertsAtAPositionOfTheChildList) {
  auto root = LoadHolder("<r xmlns='urn:test'><a/><b/></r>");
  EXPECT_NO_THROW(NodeAs<Leaf>(root->AddChild("item", 1)));
  root->AddChild("c");
  root->AddChild("z", 0);
  EXPECT_EQ(QStringList({"z", "a", "item", "b", "c"}), ChildNames(*root));
  EXPECT_EQ("List index out of bounds (9)", ErrorOf([&] { root->AddChild("x", 9); }));
  EXPECT_EQ(1, root->Items()->Count());
}

TEST(XMLNodeCollection, ItemsFollowTagTypeAndEveryChange) {
  auto root = LoadHolder("<r xmlns='urn:test'><item>1</item><x/><entry>2</entry><other/><item>3</item></r>");
  auto items = root->Items();
  EXPECT_EQ(3, items->Count());
  EXPECT_EQ("2", items->Item(1)->Text());
  // Wrapped as OtherLeaf, so never an item of a Leaf list.
  EXPECT_EQ(0, root->Others()->Count());
  EXPECT_EQ(nullptr, root->Others()->Item(0));

  items->Insert(1)->SetText("new");
  // Before the item it displaces, not at the child position of that index.
  EXPECT_EQ(QStringList({"item", "x", "item", "entry", "other", "item"}), ChildNames(*root));
  auto added = items->Add();
  EXPECT_EQ(5, items->Count());
  EXPECT_EQ(QStringList({"item", "x", "item", "entry", "other", "item", "item"}), ChildNames(*root));
  EXPECT_EQ(4, items->Remove(added));
  EXPECT_EQ(-1, items->Remove(added));
  items->Delete(0);
  EXPECT_EQ("new", items->Item(0)->Text());
  // A change made through the host is seen too.
  root->AddChild("entry", 0);
  EXPECT_EQ(4, items->Count());
  EXPECT_EQ(items->Item(0), NodeAs<Leaf>(root->ChildNodes().Nodes(0)));
  items->Clear();
  EXPECT_EQ(0, items->Count());
  EXPECT_EQ(QStringList({"x", "other"}), ChildNames(*root));
}

TEST(XMLNodeCollection, FailuresOfIndexAndTag) {
  auto root = LoadHolder("<r xmlns='urn:test'><item/></r>");
  struct Case {
    const char* what;
    std::function<void()> action;
    const char* message;
  } cases[] = {
      {"index past the end", [&] { root->Items()->Nodes(1); }, "List index out of bounds (1)"},
      {"negative index", [&] { root->Items()->Item(-1); }, "List index out of bounds (-1)"},
      {"empty list by index", [&] { root->Others()->Nodes(0); }, "List index out of bounds (0)"},
      {"delete on empty", [&] { root->Others()->Delete(0); }, "List index out of bounds (0)"},
      {"insert far", [&] { root->Items()->Insert(3); }, "List index out of bounds (3)"},
      {"no item tag", [&] { root->Untagged()->AddItem(); }, "ItemTag property is not initialized"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.message, ErrorOf(c.action));
  }
}

TEST(XMLDocument, BindRootGivesTheBoundClassOnlyToTheRootInTheBoundNamespace) {
  struct Case {
    const char* xml;
    bool bound;
  } cases[] = {
      {"<r xmlns='urn:test'/>", true},
      {"<r/>", false},
      {"<r xmlns='urn:other'/>", false},
      {"<q xmlns='urn:test'/>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    auto document = TXMLDocument::LoadFromXML(c.xml);
    auto root = document->BindRoot<Holder>("r", kNs);
    EXPECT_EQ(c.bound, IsA<Holder>(root.get()));
    if (!c.bound) {
      EXPECT_EQ("Interface not supported", ErrorOf([&] { NodeAs<Holder>(root); }));
    }
  }
}

TEST(XMLDocument, AReferenceToAnyNodeKeepsTheDocumentAlive) {
  std::weak_ptr<TXMLDocument> watch;
  XMLRef<TXMLNode> leaf;
  {
    auto root = LoadHolder("<r xmlns='urn:test'><a><b>deep</b></a></r>");
    watch = root->OwnerDocument();
    leaf = root->Child("a")->Child("b");
    root->Child("a")->Child("c");
  }
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ("deep", leaf->Text());
  EXPECT_EQ("a", leaf->ParentNode()->NodeName());
  leaf.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(XMLDocument, RemovedItemsStayReadableWhileReferenced) {
  auto root = LoadHolder("<r xmlns='urn:test'><item>kept</item></r>");
  auto item = root->Items()->Item(0);
  root->Items()->Clear();
  EXPECT_EQ("kept", item->Text());
  EXPECT_EQ(0, root->ChildNodes().Count());
}

}  // namespace
