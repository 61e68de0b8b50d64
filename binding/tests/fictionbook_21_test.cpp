#include "binding/fictionbook_21.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <functional>

#include "binding/tests/error_of.h"

namespace {

// A book around the given title-info content and body content.
XMLRef<TXMLFictionBook> Book(const std::string& titleInfo, const std::string& body = "") {
  const std::string xml =
      "<FictionBook xmlns='http://www.gribuser.ru/xml/fictionbook/2.0' "
      "xmlns:l='http://www.w3.org/1999/xlink'><description><title-info>" +
      titleInfo + "</title-info></description><body>" + body + "</body></FictionBook>";
  return LoadBookDocumentFromXML(QByteArray::fromStdString(xml));
}

XMLRef<TXMLTitleinfoType> TitleInfo(const std::string& content) {
  return Book(content)->Description()->Titleinfo();
}

TEST(FictionBookBinding, RootMustBeFictionBookInItsNamespace) {
  EXPECT_NO_THROW(Book(""));
  EXPECT_EQ("Interface not supported",
            ErrorOf([] { LoadBookDocumentFromXML("<FictionBook><description/></FictionBook>"); }));
  EXPECT_EQ("Interface not supported", ErrorOf([] {
              LoadBookDocumentFromXML("<Book xmlns='http://www.gribuser.ru/xml/fictionbook/2.0'/>");
            }));
}

TEST(FictionBookBinding, EmptyListsAnswerNoNodeOrEmptyText) {
  auto info = TitleInfo("<book-title>T</book-title>");
  EXPECT_EQ(0, info->Author()->Count());
  EXPECT_EQ(nullptr, info->Author()->Item(0));
  EXPECT_EQ(nullptr, info->Sequence()->Item(0));
  EXPECT_EQ(nullptr, info->Translator()->Item(5));
  EXPECT_EQ("", info->Genre()->Item(0));
  // Asking did not create anything.
  EXPECT_EQ(1, info->ChildNodes().Count());
  // A non-empty list still checks its index.
  auto withGenre = TitleInfo("<genre>sf</genre>");
  EXPECT_EQ("sf", withGenre->Genre()->Item(0));
  EXPECT_EQ("List index out of bounds (1)", ErrorOf([&] { withGenre->Genre()->Item(1); }));
}

TEST(FictionBookBinding, MissingChildReadsEmptyAndExistsAfterwards) {
  auto info = TitleInfo("<author><first-name>Isaac</first-name><last-name>Asimov</last-name></author>");
  auto author = info->Author()->Item(0);
  EXPECT_EQ("", author->Middlename()->Text());
  EXPECT_EQ("middle-name", author->ChildNodes().Nodes(2)->NodeName());
  EXPECT_EQ("Asimov", author->Lastname()->Text());
  EXPECT_EQ("", info->Lang());
  EXPECT_EQ(2, info->ChildNodes().Count());
}

TEST(FictionBookBinding, TextFieldWithMarkupOrCommentFails) {
  for (const char* title :
       {"<book-title>A<!-- c -->B</book-title>", "<book-title>A <emphasis>B</emphasis></book-title>"}) {
    SCOPED_TRACE(title);
    auto info = TitleInfo(title);
    EXPECT_EQ("Element does not contain a single text node", ErrorOf([&] { info->Booktitle()->Text(); }));
  }
}

TEST(FictionBookBinding, NumberReadersConvertOrFailWithTheVariantMessage) {
  struct Case {
    const char* attributes;
    const char* error;  // nullptr: reads the value
    int number;
  } cases[] = {
      {"", "Could not convert variant of type (Null) into type (Integer)", 0},
      {"number=''", "Could not convert variant of type (Null) into type (Integer)", 0},
      {"number='x1'", "Could not convert variant of type (String) into type (Integer)", 0},
      {"number='2147483648'", "Could not convert variant of type (String) into type (Integer)", 0},
      {"number='007'", nullptr, 7},
      {"number='-3'", nullptr, -3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes);
    auto sequence = TitleInfo(std::string("<sequence name='S' ") + c.attributes + "/>")->Sequence()->Item(0);
    if (c.error) {
      EXPECT_EQ(c.error, ErrorOf([&] { sequence->Number(); }));
    } else {
      EXPECT_EQ(c.number, sequence->Number());
    }
  }
  auto sequence = TitleInfo("<sequence name='S'/>")->Sequence()->Item(0);
  sequence->SetNumber(-12);
  EXPECT_EQ(-12, sequence->Number());

  auto output = LoadBookDocumentFromXML(
                    "<FictionBook xmlns='http://www.gribuser.ru/xml/fictionbook/2.0'><description>"
                    "<output mode='paid' include-all='allow' price='1.5'/><output mode='free'/>"
                    "</description></FictionBook>")
                    ->Description()
                    ->Output();
  EXPECT_FLOAT_EQ(1.5f, output->Item(0)->Price());
  EXPECT_EQ("Could not convert variant of type (Null) into type (Single)",
            ErrorOf([&] { output->Item(1)->Price(); }));
  output->Item(1)->SetPrice(0.1f);
  EXPECT_EQ("0.1", output->Item(1)->Attribute("price")->Text());
  EXPECT_FLOAT_EQ(0.1f, output->Item(1)->Price());
}

TEST(FictionBookBinding, SequencesNestAsListsOfThemselves) {
  auto info = TitleInfo(
      "<sequence name='Outer' number='1'><sequence name='Inner' number='2'/></sequence>"
      "<sequence name='Second'/>");
  ASSERT_EQ(2, info->Sequence()->Count());
  auto outer = info->Sequence()->Item(0);
  EXPECT_EQ(1, outer->Count());
  EXPECT_EQ("Inner", outer->Item(0)->Name());
  EXPECT_EQ("Second", info->Sequence()->Item(1)->Name());
  outer->Add()->SetName("Added");
  EXPECT_EQ(2, outer->Count());
  EXPECT_EQ(2, info->Sequence()->Count());
}

TEST(FictionBookBinding, StyledRunsAreTypedByWhereTheyStand) {
  auto body = Book("",
                   "<section><p>x<strong>s</strong><style name='n'>y</style>"
                   "<a l:href='#1'><strong>ls</strong><style name='m'>z</style>"
                   "<emphasis>e</emphasis><sub>u</sub></a></p></section>")
                  ->Body()
                  ->Item(0);
  auto p = body->Section()->Item(0)->P();
  struct Case {
    const char* what;
    XMLRef<TXMLNode> node;
    NodeTypeCheck expected;
  } cases[] = {
      {"strong in p", p->ChildNodes().Nodes(1), &IsA<TXMLStyleType>},
      {"style in p", p->ChildNodes().Nodes(2), &IsA<TXMLNamedStyleType>},
      {"a in p", p->ChildNodes().Nodes(3), &IsA<TXMLLinkType>},
      {"strong in a", p->A()->ChildNodes().Nodes(0), &IsA<TXMLStyleLinkType>},
      {"style in a", p->A()->ChildNodes().Nodes(1), &IsA<TXMLStyleLinkType>},
      {"emphasis in a", p->A()->ChildNodes().Nodes(2), &IsA<TXMLStyleLinkType>},
      {"sub in a", p->A()->ChildNodes().Nodes(3), &IsA<TXMLStyleType>},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(c.expected(c.node.get()));
  }
  EXPECT_FALSE(IsA<TXMLStyleType>(p->A()->Strong().get()));
  EXPECT_EQ("Interface not supported",
            ErrorOf([&] { NodeAs<TXMLStyleType>(p->A()->ChildNodes().Nodes(0)); }));
  EXPECT_EQ("#1", p->A()->Href());
  EXPECT_EQ("s", p->Strong()->Text());
}

TEST(FictionBookBinding, LinesAuthorsAndCellsArePTypeItems) {
  auto section = Book("",
                      "<section><poem><stanza><v>1</v><v>2</v></stanza>"
                      "<text-author>P</text-author></poem>"
                      "<epigraph><p>e</p><text-author>E</text-author></epigraph>"
                      "<cite><p>c</p><text-author>C1</text-author><text-author>C2</text-author></cite>"
                      "<table><tr><td>a</td><td>b</td><th>h</th></tr></table></section>")
                     ->Body()
                     ->Item(0)
                     ->Section()
                     ->Item(0);
  auto stanza = section->Poem()->Stanza()->Item(0);
  auto row = section->Table()->Item(0);
  struct Case {
    const char* what;
    XMLRef<TXMLPTypeList> list;
    int count;
    const char* first;
  } lists[] = {
      {"stanza lines", stanza->V(), 2, "1"},
      {"poem author", section->Poem()->Textauthor(), 1, "P"},
      {"epigraph author", section->Epigraph()->Item(0)->Textauthor(), 1, "E"},
      {"cite authors", section->Cite()->Textauthor(), 2, "C1"},
  };
  for (const Case& c : lists) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.count, c.list->Count());
    EXPECT_EQ(c.first, c.list->Item(0)->PlainText());
    XMLRef<TXMLPType> added = c.list->Add();
    EXPECT_EQ(c.count + 1, c.list->Count());
    EXPECT_EQ(added, c.list->Item(c.count));
  }
  EXPECT_EQ(2, row->Count());
  EXPECT_EQ("b", row->Item(1)->PlainText());
  row->Insert(0)->SetText("first");
  EXPECT_EQ("first", row->Item(0)->Text());
  EXPECT_EQ(3, row->Count());
  EXPECT_EQ(1, section->Table()->Count());
}

TEST(FictionBookBinding, PlainTextJoinsTextStrongAndCData) {
  struct Case {
    const char* paragraph;
    const char* plain;
  } cases[] = {
      {"<p>one <strong>two</strong><![CDATA[ <three>]]></p>", "one two <three>"},
      {"<p>a<!-- skipped --><emphasis>b<a l:href='#x'>c</a></emphasis>d</p>", "abcd"},
      {"<p/>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.paragraph);
    auto p = Book("", std::string("<section>") + c.paragraph + "</section>")
                 ->Body()
                 ->Item(0)
                 ->Section()
                 ->Item(0)
                 ->P();
    EXPECT_EQ(c.plain, p->PlainText());
  }
}

TEST(FictionBookBinding, XLinkAttributesReadEmptyWhenAbsentAndWriteWithThePrefix) {
  auto image = Book("<coverpage><image l:href='#cover.jpg'/><image/></coverpage>")
                   ->Description()
                   ->Titleinfo()
                   ->Coverpage();
  EXPECT_EQ(2, image->Count());
  EXPECT_EQ("#cover.jpg", image->Item(0)->Href());
  EXPECT_EQ("", image->Item(1)->Href());
  EXPECT_EQ(0, image->Item(1)->AttributeNodes().Count());
  image->Item(1)->SetHref("#b.png");
  EXPECT_EQ("#b.png", image->Item(1)->Attribute("l:href")->Text());
}

// Counts of the classes that a full walk of the wrappers meets.
struct WalkCounts {
  int sections = 0;
  int sectionParagraphs = 0;
  int lines = 0;
  int cells = 0;
};

void Walk(const XMLRef<TXMLNode>& node, WalkCounts& counts) {
  if (auto section = std::dynamic_pointer_cast<TXMLSectionType>(node)) {
    ++counts.sections;
    for (int i = 0; i < section->ChildNodes().Count(); ++i) {
      if (IsA<TXMLPType>(section->ChildNodes().Nodes(i).get()) &&
          section->ChildNodes().Nodes(i)->LocalName() == "p") {
        ++counts.sectionParagraphs;
      }
    }
  }
  if (auto stanza = std::dynamic_pointer_cast<TXMLStanza>(node)) counts.lines += stanza->V()->Count();
  if (auto row = std::dynamic_pointer_cast<TXMLTr>(node)) counts.cells += row->Count();
  for (int i = 0; i < node->ChildNodes().Count(); ++i) Walk(node->ChildNodes().Nodes(i), counts);
}

QString XPath(const QString& file, const QString& expression) {
  QProcess xmllint;
  xmllint.start("xmllint", {"--xpath", expression, file});
  xmllint.waitForFinished(30000);
  return QString::fromUtf8(xmllint.readAllStandardOutput());
}

QString WithoutSpace(QString text) {
  text.remove(QRegularExpression("\\s"));
  return text;
}

TEST(FictionBookBinding, WalksARealBookToItsLastParagraphWithXPathCounts) {
  const QString file = SHELVIO_CORPUS_DIR "/files/fb2cng___Test.fb2";
  auto book = LoadBookDocument(file);
  auto count = [&](const char* path) { return XPath(file, QString("count(%1)").arg(path)).toInt(); };
  const QString section = "*[local-name()='section']";

  WalkCounts counts;
  Walk(book, counts);
  EXPECT_EQ(count("//*[local-name()='section']"), counts.sections);
  EXPECT_EQ(count(("//" + section + "/*[local-name()='p']").toUtf8().constData()), counts.sectionParagraphs);
  EXPECT_EQ(count("//*[local-name()='stanza']/*[local-name()='v']"), counts.lines);
  EXPECT_EQ(count("//*[local-name()='tr']/*[local-name()='td']"), counts.cells);
  EXPECT_GT(counts.sectionParagraphs, 100);

  // Typed path: last body, then the last section at every level, then its last paragraph.
  EXPECT_EQ(count("/*/*[local-name()='body']"), book->Body()->Count());
  auto body = book->Body()->Item(book->Body()->Count() - 1);
  XMLRef<TXMLSectionType> last = body->Section()->Item(body->Section()->Count() - 1);
  QString path = "/*/*[local-name()='body'][last()]/" + section + "[last()]";
  while (last->Section()->Count() > 0) {
    last = last->Section()->Item(last->Section()->Count() - 1);
    path += "/" + section + "[last()]";
  }
  XMLRef<TXMLPType> paragraph;
  for (int i = 0; i < last->ChildNodes().Count(); ++i) {
    auto child = last->ChildNodes().Nodes(i);
    if (child->LocalName() == "p") paragraph = NodeAs<TXMLPType>(child);
  }
  ASSERT_NE(nullptr, paragraph);
  const QString expected = XPath(file, QString("string(%1/*[local-name()='p'][last()])").arg(path));
  EXPECT_FALSE(WithoutSpace(expected).isEmpty());
  // The loader drops white-space-only text between runs; everything else must match.
  EXPECT_EQ(WithoutSpace(expected), WithoutSpace(paragraph->PlainText()));
}

}  // namespace
