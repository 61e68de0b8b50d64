#include "validation/xsd_validator.h"

#include <iconv.h>
#include <sys/stat.h>
#include <zlib.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "validation/loaded_document.h"
#include "validation/tests/test_books.h"

namespace {

// A validator with the real FictionBook schema loaded.
std::unique_ptr<TXSDValidator> LoadedValidator() {
  auto validator = std::make_unique<TXSDValidator>();
  EXPECT_TRUE(validator->LoadSchema(SchemaPath())) << validator->GetErrorText().toStdString();
  return validator;
}

QByteArray Recode(const QByteArray& utf8, const char* encoding) {
  iconv_t cd = iconv_open(encoding, "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << encoding;
  QByteArray out(utf8.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(utf8.constData());
  size_t inLeft = utf8.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << encoding;
  iconv_close(cd);
  out.truncate(out.size() - static_cast<qsizetype>(outLeft));
  return out;
}

// The three ways a book is judged, for the tests that hold the tree up as the oracle: its tree
// whatever its size, one streaming pass, and a strict run's pass to the schema's first complaint.
struct EveryPath {
  std::unique_ptr<TXSDValidator> tree = LoadedValidator();
  std::unique_ptr<TXSDValidator> stream = LoadedValidator();
  std::unique_ptr<TXSDValidator> toComplaint = LoadedValidator();
  EveryPath() {
    tree->SetTreeBudget(1 << 30);
    stream->SetTreeBudget(0);
    toComplaint->SetStopAtFirstComplaint(true);
  }
};

const QByteArray kFictionBookOpen = R"(<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0">)";

TEST(XSDValidator, GivesEachBookItsVerdictAndReason) {
  TempFolder folder;
  const QByteArray book = MinimalBook();
  struct Case {
    const char* what;
    QString path;
    int verdict;
    const char* reasonPart;  // a piece of libxml2's message or of the path that the reason must hold
  };
  const Case cases[] = {
      {"conforming book", folder.Write("ok.fb2", book), 0, ""},
      // Not loadable: the file is missing, cut short, not XML, or not a file at all.
      {"missing file", folder.Path("absent.fb2"), 1, "absent.fb2"},
      {"truncated book", folder.Write("cut.fb2", book.left(book.size() - 40)), 1, "cut.fb2:"},
      {"mismatched tags", folder.Write("tags.fb2", kFictionBookOpen + "<body></section></FictionBook>"), 1,
       "mismatch"},
      {"not XML", folder.Write("junk.fb2", "PK\x03\x04 this is no book"), 1, "junk.fb2"},
      {"empty file", folder.Write("empty.fb2", ""), 1, "empty.fb2"},
      {"folder", folder.Write("dir.fb2/inner", "x").section('/', 0, -2), 1, "dir.fb2"},
      // A namespace-aware parser refuses an undeclared prefix although libxml2 builds a tree.
      {"undeclared prefix",
       folder.Write("prefix.fb2",
                    MinimalBook(R"(<body><section><p><a l:href="#n1">1</a></p></section></body>)")
                        .replace(R"( xmlns:l="http://www.w3.org/1999/xlink")", "")),
       1, "l"},
      // Loaded but not conforming.
      {"root in no namespace",
       folder.Write("nons.fb2",
                    QByteArray(book).replace(" xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"", "")),
       2, "FictionBook"},
      {"root in another namespace",
       folder.Write("otherns.fb2",
                    QByteArray(book).replace("gribuser.ru/xml/fictionbook/2.0\"", "example.org/book\"")),
       2, "FictionBook"},
      {"required book-title missing",
       folder.Write("notitle.fb2", QByteArray(book).replace("<book-title>Война и мир</book-title>", "")), 2,
       "lang"},
      {"genre outside the list",
       folder.Write("genre.fb2", QByteArray(book).replace("prose_classic", "prose_contemporary")), 2,
       "prose_contemporary"},
      {"broken base64 in a binary",
       folder.Write("b64.fb2", MinimalBook(R"(<binary id="i" content-type="image/png">AB=C</binary>)")), 2,
       "base64Binary"},
      // An image's blanks, lines, comments and CDATA, as the tree validator judges them.
      {"image of blanks alone",
       folder.Write("blank.fb2", MinimalBook(R"(<binary id="i" content-type="image/png">)"
                                             "\n  \n</binary>")),
       0, ""},
      {"empty image",
       folder.Write("empty-image.fb2", MinimalBook(R"(<binary id="i" content-type="image/png"/>)")), 0, ""},
      {"image in lines",
       folder.Write("lines.fb2", MinimalBook(R"(<binary id="i" content-type="image/png">)"
                                             "\n AAAA\n BBBB \n</binary>")),
       0, ""},
      {"image around a comment and CDATA",
       folder.Write("pieces.fb2", MinimalBook(R"(<binary id="i" content-type="image/png"> AA<!-- x -->AA )"
                                              R"(<![CDATA[AA]]>AA)"
                                              "\n</binary>")),
       0, ""},
      {"broken base64 across lines",
       folder.Write("b64lines.fb2", MinimalBook(R"(<binary id="i" content-type="image/png">AB)"
                                                "\n =C</binary>")),
       2, "base64Binary"},
      // IDs are unique across the whole book, after blanks are collapsed.
      {"two sections with one id",
       folder.Write("ids.fb2", MinimalBook(R"(<body name="notes"><section id="n1"><p>a</p></section>)"
                                           R"(<section id=" n1 "><p>b</p></section></body>)")),
       2, "xs:ID"},
      {"an image with a section's id",
       folder.Write("ids2.fb2", MinimalBook(R"(<body name="notes"><section id="n1"><p>a</p></section></body>)"
                                            R"(<binary id="n1" content-type="image/png">AAAA</binary>)")),
       2, "xs:ID"},
      {"distinct ids",
       folder.Write("ids3.fb2", MinimalBook(R"(<body name="notes"><section id="n1"><p>a</p></section>)"
                                            R"(<section id="n2"><p>b</p></section></body>)")),
       0, ""},
      // A complaint first, then a fault of the XML: the book does not load, whatever came first.
      {"complaint, then mismatched tags",
       folder.Write("both.fb2", QByteArray(book)
                                    .replace("prose_classic", "prose_contemporary")
                                    .replace("<p>Текст</p>", "<p>Текст</q>")),
       1, "mismatch"},
      {"complaint, then an undeclared prefix",
       folder.Write("both2.fb2",
                    MinimalBook(R"(<body><section><p><a l:href="#n1">1</a></p></section></body>)")
                        .replace(R"( xmlns:l="http://www.w3.org/1999/xlink")", "")
                        .replace("prose_classic", "prose_contemporary")),
       1, "l"},
      {"complaint, then a truncated end",
       folder.Write("both3.fb2", QByteArray(book).replace("prose_classic", "prose_contemporary").chopped(30)),
       1, "both3.fb2:"},
  };
  // Small books are judged on their tree, large ones in one streaming pass, and a strict run's
  // books no further than the first complaint: each gives every verdict.
  auto byTree = LoadedValidator();
  auto byStream = LoadedValidator();
  byStream->SetTreeBudget(0);
  auto toComplaint = LoadedValidator();
  toComplaint->SetStopAtFirstComplaint(true);
  const std::pair<TXSDValidator*, const char*> validators[] = {
      {byTree.get(), " (tree)"},
      {byStream.get(), " (stream)"},
      {toComplaint.get(), " (to the first complaint)"}};
  for (const Case& c : cases) {
    for (const auto& [validator, how] : validators) {
      SCOPED_TRACE(std::string(c.what) + how);
      EXPECT_EQ(XMLValid(*validator, c.path), c.verdict) << validator->GetErrorText().toStdString();
      if (c.verdict != 0) {
        EXPECT_TRUE(validator->GetErrorText().contains(QString::fromUtf8(c.reasonPart)))
            << validator->GetErrorText().toStdString();
      }
      const bool stops = validator == toComplaint.get() && c.verdict == 2;
      EXPECT_EQ(validator->LastCheckStoppedEarly(), stops);
    }
  }
}

// A book with a document type is streamed like any other, for a tree of a large book takes twenty
// times its size; what the stream's validator would see otherwise than the tree's (entities,
// attribute defaults) sends it to the tree. The tree is the oracle: every path gives its verdict
// and names the same place.
TEST(XSDValidator, BooksWithADocumentTypeAreJudgedAsTheTreeJudgesThem) {
  TempFolder folder;
  const auto withDoctype = [](const QByteArray& doctype, const QByteArray& book = MinimalBook()) {
    return QByteArray(book).replace("<FictionBook ", doctype + "\n<FictionBook ");
  };
  const QByteArray notes = MinimalBook(R"(<body name="notes"><section id="n1"><p>a</p></section></body>)");
  const struct {
    const char* what;
    QByteArray bytes;
    int verdict;
  } cases[] = {
      {"a declaration alone", withDoctype("<!DOCTYPE FictionBook>"), 0},
      {"a declaration alone, a complaint",
       withDoctype("<!DOCTYPE FictionBook>", MinimalBook().replace("prose_classic", "nope")), 2},
      {"an element declared", withDoctype("<!DOCTYPE FictionBook [<!ELEMENT p ANY>]>"), 0},
      // Defaults reach the stream's validator, not the tree.
      {"an attribute default the schema does not know",
       withDoctype(R"(<!DOCTYPE FictionBook [<!ATTLIST p foo CDATA "x">]>)"), 0},
      // The tree kept the reference as a node its validator gave up on, and the book did not
      // conform; it is replaced by its text now, as a reader shows it.
      {"an entity referred to in text",
       withDoctype(R"(<!DOCTYPE FictionBook [<!ENTITY n "Толстой">]>)",
                   MinimalBook().replace("<p>Текст</p>", "<p>&n;</p>")),
       0},
      {"an entity of markup and another entity",
       withDoctype(
           R"(<!DOCTYPE FictionBook [<!ENTITY n "Лев"><!ENTITY m "<emphasis>&n;</emphasis> Толстой">]>)",
           MinimalBook().replace("<p>Текст</p>", "<p>&m;</p>")),
       0},
      {"an entity of markup the schema refuses there",
       withDoctype(R"(<!DOCTYPE FictionBook [<!ENTITY m "<section/>">]>)",
                   MinimalBook().replace("<p>Текст</p>", "<p>&m;</p>")),
       2},
      // The tree expands it in an attribute; the stream's validator would see "&s;".
      {"an entity referred to in an id",
       withDoctype(R"(<!DOCTYPE FictionBook [<!ENTITY s "n1">]>)",
                   QByteArray(notes).replace("\"n1\"", "\"&s;\"")),
       0},
      {"an entity declared and never referred to", withDoctype(R"(<!DOCTYPE FictionBook [<!ENTITY n "x">]>)"),
       0},
      // Declarations never read: a reference to what they may declare is not fatal.
      {"an undeclared entity with an external subset",
       withDoctype(R"(<!DOCTYPE FictionBook SYSTEM "absent.dtd">)",
                   MinimalBook().replace("<p>Текст</p>", "<p>&x;</p>")),
       2},
  };
  const EveryPath paths;
  TXSDValidator& byTree = *paths.tree;
  const auto place = [](const TXSDValidator& v) { return v.GetErrorText().section(':', 0, 1).toStdString(); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = folder.Write("doctype.fb2", c.bytes);
    ASSERT_EQ(XMLValid(byTree, path), c.verdict) << byTree.GetErrorText().toStdString();
    for (TXSDValidator* validator : {paths.stream.get(), paths.toComplaint.get()}) {
      EXPECT_EQ(XMLValid(*validator, path), c.verdict) << validator->GetErrorText().toStdString();
      if (c.verdict != 0) {
        EXPECT_EQ(place(*validator), place(byTree)) << validator->GetErrorText().toStdString();
      }
    }
  }
}

// libxml2's streaming validator does not compare xs:ID values: the stream finds two equal ones
// and gives the tree's complaint itself, and the tree is the oracle, message and place.
TEST(XSDValidator, EqualIdsAreJudgedAsTheTreeJudgesThem) {
  TempFolder folder;
  const auto notes = [](const QByteArray& sections, const QByteArray& after = {}) {
    return MinimalBook(R"(<body name="notes">)" + sections + "</body>" + after);
  };
  const struct {
    const char* what;
    QByteArray bytes;
  } cases[] = {
      {"two sections", notes(R"(<section id="n1"><p>a</p></section><section id="n1"><p>b</p></section>)")},
      {"blanks around the second",
       notes("<section id=\"n1\"><p>a</p></section><section id=\"  n1\n\"><p>b</p></section>")},
      {"a section and an image", notes(R"(<section id="n1"><p>a</p></section>)",
                                       R"(<binary id="n1" content-type="image/png">AAAA</binary>)")},
      {"a paragraph and a section",
       notes(R"(<section><p id="x">a</p></section><section id="x"><p>b</p></section>)")},
      {"three times", notes(QByteArray(R"(<section id="n"><p>a</p></section>)").repeated(3))},
      {"a complaint before",
       notes(
           R"(<section id="n1"><p>a</p></section><section><nope/></section><section id="n1"><p>b</p></section>)")},
      {"a complaint after",
       notes(R"(<section id="n1"><p>a</p></section><section id="n1"><p>b</p><nope/></section>)")},
      {"an attribute refused after the id",
       notes(R"(<section id="n1"><p>a</p></section><section id="n1" foo="x"><p>b</p></section>)")},
      {"an attribute refused before the id",
       notes(R"(<section id="n1"><p>a</p></section><section foo="x" id="n1"><p>b</p></section>)")},
      {"an element not expected", notes(R"(<section id="n1"><p>a</p></section><p id="n1">b</p>)")},
      {"an ampersand",
       notes(R"(<section id="a&amp;b"><p>a</p></section><section id="a&amp;b"><p>b</p></section>)")},
      {"a value that is no NCName twice",
       notes(R"(<section id="1"><p>a</p></section><section id="1"><p>b</p></section>)")},
      {"an ID declared by the book",
       QByteArray(notes(R"(<section id="n1"><p>a</p></section><section id="n1"><p>b</p></section>)"))
           .replace("<FictionBook ",
                    "<!DOCTYPE FictionBook [<!ATTLIST section id ID #IMPLIED>]>\n<FictionBook ")},
      {"distinct", notes(R"(<section id="n1"><p>a</p></section><section id="n2"><p>b</p></section>)")},
  };
  const EveryPath paths;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = folder.Write("ids.fb2", c.bytes);
    const int verdict = XMLValid(*paths.tree, path);
    for (TXSDValidator* validator : {paths.stream.get(), paths.toComplaint.get()}) {
      EXPECT_EQ(XMLValid(*validator, path), verdict) << validator->GetErrorText().toStdString();
      if (verdict != 0) {
        EXPECT_EQ(validator->GetErrorText().toStdString(), paths.tree->GetErrorText().toStdString());
      }
    }
  }
}

// The stream closes and reopens long runs of children for the validator every so many children,
// which must change no verdict and no message: the tree, which sees each element whole, is the
// oracle, for faults just before, at and after a reopening, and far after it.
TEST(XSDValidator, LongRunsOfChildrenAreJudgedAsTheTreeJudgesThem) {
  TempFolder folder;
  const QByteArray sectionKinds[] = {"<p>абзац</p>",
                                     R"(<image l:href="#i"/>)",
                                     "<poem><stanza><v>строка</v></stanza></poem>",
                                     "<subtitle>подзаголовок</subtitle>",
                                     "<cite><p>цитата</p></cite>",
                                     "<empty-line/>",
                                     "<table><tr><td>ячейка</td></tr></table>"};
  const QByteArray styles[] = {"<strong>a</strong>",      "<emphasis>b</emphasis>", " текст ",
                               R"(<a l:href="#n">c</a>)", "<sub>d</sub>",           "<code>e</code>",
                               R"(<image l:href="#i"/>)"};
  const QByteArray sections[] = {"<section><p>x</p></section>",
                                 R"(<section id="s"><title><p>t</p></title></section>)"};
  const QByteArray citeKinds[] = {"<p>x</p>", "<empty-line/>", "<subtitle>s</subtitle>"};
  // open, the kinds of children in turn, what ends the element and what follows it.
  const struct {
    const char* what;
    QByteArray open;
    const QByteArray* kinds;
    int kindCount;
    QByteArray close;
  } runs[] = {
      {"a section", "<section id=\"s\" xml:lang=\"ru\"><title><p>T</p></title><p>первый</p>\n", sectionKinds,
       7, "</section>"},
      {"a section of sections", "<section><title><p>T</p></title>", sections, 2, "</section>"},
      {"a paragraph", "<section><p id=\"p\">", styles, 7, "</p></section>"},
      {"a verse", "<section><poem><stanza><v>", styles, 7, "</v></stanza></poem></section>"},
      {"a citation", "<section><cite>", citeKinds, 3, "<text-author>a</text-author></cite></section>"},
      {"an epigraph", "<section><epigraph>", citeKinds, 2,
       "<text-author>a</text-author></epigraph><p>x</p></section>"},
  };
  const QByteArray tails[] = {
      "",        "<section><p>x</p></section>", "<title><p>x</p></title>",
      "<nope/>", "<p><section/></p>",           "<text-author>a</text-author><p>x</p>"};
  const EveryPath paths;
  TXSDValidator& byTree = *paths.tree;
  int valid = 0;
  int invalid = 0;
  for (const auto& run : runs) {
    for (const int count : {1023, 1024, 1025, 2047, 2048}) {
      for (const QByteArray& tail : tails) {
        SCOPED_TRACE(std::string(run.what) + ", " + std::to_string(count) + " children, then " +
                     tail.toStdString());
        QByteArray body = "<body>" + run.open;
        for (int k = 0; k < count; ++k) body += run.kinds[k % run.kindCount] + "\n";
        body += tail + run.close + "</body>";
        const QString path = folder.Write(
            "long.fb2", MinimalBook(R"(<body name="notes"><section id="n"><p>n</p></section></body>)")
                            .replace("<body><section><p>Текст</p></section></body>", body));
        const int verdict = XMLValid(byTree, path);
        ++(verdict == 0 ? valid : invalid);
        for (TXSDValidator* validator : {paths.stream.get(), paths.toComplaint.get()}) {
          EXPECT_EQ(XMLValid(*validator, path), verdict) << validator->GetErrorText().toStdString();
          if (verdict != 0) {
            EXPECT_EQ(validator->GetErrorText().toStdString(), byTree.GetErrorText().toStdString());
          }
        }
      }
    }
  }
  // Both kinds of book are there.
  EXPECT_GT(valid, 20);
  EXPECT_GT(invalid, 100);
}

// The stream judges images itself and hands the validator only those it must refuse, so its
// rule must be libxml2's to the character: the tree, which libxml2 judges alone, is the oracle.
// Every text of up to four characters from an alphabet of the cases that matter (data whose last
// bits are zero or not, the pad, a stray character, a blank), then longer and odder ones.
// A book's bytes from memory, as an archive's entry gives them; counts how often it is read.
class MemorySource : public BookSource {
 public:
  explicit MemorySource(QByteArray bytes) : bytes_(std::move(bytes)) {}
  bool Rewind() override {
    position_ = 0;
    ++passes_;
    return true;
  }
  int Read(char* buffer, int length) override {
    const int count = static_cast<int>(std::min<qsizetype>(length, bytes_.size() - position_));
    std::memcpy(buffer, bytes_.constData() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
  }
  QString Reason() const override { return {}; }
  int Passes() const { return passes_; }

 private:
  QByteArray bytes_;
  qsizetype position_ = 0;
  int passes_ = 0;
};

TEST(XSDValidator, StreamJudgesEveryImageAsTheTreeDoes) {
  const QByteArray alphabet[] = {"A", "Q", "B", "=", "*", " "};
  std::vector<QByteArray> texts = {{}};
  for (size_t begin = 0, length = 0; length < 4; ++length) {
    const size_t end = texts.size();
    for (size_t k = begin; k < end; ++k)
      for (const QByteArray& c : alphabet) texts.push_back(texts[k] + c);
    begin = end;
  }
  for (const char* text :
       {"AAAAAA==", "AAAAAAQ=", "AAAAAAA=", "AAAAAAB=", "AAAAAQ==", "AAAAAB==", "AAAA====", "AAAA=\n\t=",
        "AAAA\r\nAAAA", "+/+/", "+/+=", "ЖЖAAAA", "AAAA<!-- AAA -->", "AA<!-- c -->AA",
        "AA<![CDATA[ A= ]]>=", "<![CDATA[AAAA]]>", "AAA<?pi x?>=", "&#65;AAA", "AA&#x3d;="})
    texts.emplace_back(text);
  TempFolder folder;
  auto byTree = LoadedValidator();
  auto byStream = LoadedValidator();
  byStream->SetTreeBudget(0);
  int refused = 0;
  for (const QByteArray& text : texts) {
    SCOPED_TRACE("image text '" + text.toStdString() + "'");
    const QByteArray book = MinimalBook(R"(<binary id="i" content-type="image/png">)" + text + "</binary>");
    const QString path = folder.Write("image.fb2", book);
    const int verdict = XMLValid(*byTree, path);
    ASSERT_NE(verdict, 1) << byTree->GetErrorText().toStdString();
    EXPECT_EQ(XMLValid(*byStream, path), verdict) << byStream->GetErrorText().toStdString();
    // A book from an archive is read again from its start for the validator's own message.
    MemorySource source(book);
    EXPECT_EQ(byStream->CheckSource(QStringLiteral("image.fb2"), source), verdict);
    EXPECT_EQ(source.Passes(), verdict == 2 ? 2 : 1);
    if (verdict == 2) {
      ++refused;
      EXPECT_TRUE(byStream->GetErrorText().contains("base64Binary"))
          << byStream->GetErrorText().toStdString();
    }
  }
  // Both kinds are there in numbers: the table tests something.
  EXPECT_GT(refused, 100);
  EXPECT_GT(static_cast<int>(texts.size()) - refused, 100);
}

// A reason must tell the user where the fault is: the file and the line of the first error.
TEST(XSDValidator, ReasonNamesFileAndLineOfFirstError) {
  TempFolder folder;
  auto validator = LoadedValidator();
  const QString broken =
      folder.Write("broken.fb2", MinimalBook().replace("<p>Текст</p>", "<p>Текст</q>\n<x>"));
  ASSERT_EQ(XMLValid(*validator, broken), 1);
  EXPECT_TRUE(validator->GetErrorText().startsWith(broken + ":7: "))
      << validator->GetErrorText().toStdString();
  EXPECT_FALSE(validator->GetErrorText().contains('\n'));

  // The file as the user knows it: a blank in its name stays a blank, not "%20".
  const QString invalid = folder.Write(
      "invalid book.fb2", MinimalBook().replace("<lang>ru</lang>", "").replace("<version>1.0</version>", ""));
  ASSERT_EQ(XMLValid(*validator, invalid), 2);
  // The first of the two faults (line 4), not the last.
  EXPECT_TRUE(validator->GetErrorText().startsWith(invalid + ":4: "))
      << validator->GetErrorText().toStdString();
}

// Every path names the line the tree names: the start tag of the element judged, also when the
// fault is text that the stream hands on only when the next tag comes.
TEST(XSDValidator, EveryPathNamesTheLineOfTheElementJudged) {
  TempFolder folder;
  const struct {
    const char* what;
    QByteArray book;
    int line;
  } cases[] = {
      // <body> is on line 7; the stray text ends on line 10, the next tag is on line 11.
      {"text in element-only content",
       MinimalBook().replace("<body><section>", "<body>\n\nstray\n\n<section>"), 7},
      {"text before the end of element-only content",
       MinimalBook().replace("</p></section>", "</p>\n\nstray\n\n</section>"), 7},
      {"a child missing at the end",
       MinimalBook().replace("<body><section><p>Текст</p></section></body>", "<body>\n\n</body>"), 7},
      {"an attribute refused", MinimalBook().replace("<body>", "<body\n\nfoo='1'>"), 9},
  };
  auto byTree = LoadedValidator();
  auto byStream = LoadedValidator();
  byStream->SetTreeBudget(0);
  auto toComplaint = LoadedValidator();
  toComplaint->SetStopAtFirstComplaint(true);
  for (const auto& c : cases) {
    const QString path = folder.Write("book.fb2", c.book);
    for (TXSDValidator* validator : {byTree.get(), byStream.get(), toComplaint.get()}) {
      SCOPED_TRACE(std::string(c.what) + (validator == byTree.get() ? " (tree)" : " (stream)"));
      ASSERT_EQ(XMLValid(*validator, path), 2);
      EXPECT_TRUE(validator->GetErrorText().startsWith(path + QStringLiteral(":%1: ").arg(c.line)))
          << validator->GetErrorText().toStdString();
    }
  }
}

TEST(XSDValidator, ErrorTextKeepsTheLastFailureAcrossSuccesses) {
  TempFolder folder;
  const QString ok = folder.Write("ok.fb2", MinimalBook());
  const QString bad = folder.Write("bad.fb2", "<FictionBook");
  const QString invalid = folder.Write("invalid.fb2", MinimalBook().replace("prose_classic", "nope"));

  TXSDValidator validator;
  EXPECT_TRUE(validator.GetErrorText().isEmpty());
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  EXPECT_TRUE(validator.GetErrorText().isEmpty());
  EXPECT_EQ(XMLValid(validator, ok), 0);
  EXPECT_TRUE(validator.GetErrorText().isEmpty());

  EXPECT_EQ(XMLValid(validator, bad), 1);
  const QString badReason = validator.GetErrorText();
  EXPECT_TRUE(badReason.contains("bad.fb2")) << badReason.toStdString();
  EXPECT_EQ(XMLValid(validator, ok), 0);
  EXPECT_EQ(validator.GetErrorText(), badReason);

  EXPECT_EQ(XMLValid(validator, invalid), 2);
  EXPECT_TRUE(validator.GetErrorText().contains("nope")) << validator.GetErrorText().toStdString();
}

// A failed load replaces the previous book: neither validation nor the metadata reader may see
// the book before it.
TEST(XSDValidator, FailedLoadDropsThePreviousBook) {
  TempFolder folder;
  auto validator = LoadedValidator();
  ASSERT_TRUE(validator->LoadDocument(folder.Write("ok.fb2", MinimalBook())));
  ASSERT_NE(LoadedDocument(*validator), nullptr);
  EXPECT_FALSE(validator->LoadDocument(folder.Path("absent.fb2")));
  EXPECT_EQ(LoadedDocument(*validator), nullptr);
  EXPECT_THROW(validator->Validate(), ShelvioError);
}

TEST(XSDValidator, ReadsTheEncodingTheBookDeclares) {
  TempFolder folder;
  const QByteArray bom16le("\xFF\xFE", 2);
  const QByteArray bom16be("\xFE\xFF", 2);
  const QByteArray bom8("\xEF\xBB\xBF", 3);
  struct Case {
    const char* encodingName;
    const char* iconvName;
    QByteArray bom;
  };
  const Case cases[] = {
      {"UTF-16", "UTF-16LE", bom16le}, {"UTF-16", "UTF-16BE", bom16be}, {"UTF-8", "UTF-8", bom8},
      {"windows-1251", "CP1251", {}},  {"KOI8-R", "KOI8-R", {}},
  };
  auto validator = LoadedValidator();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.iconvName) + (c.bom.isEmpty() ? "" : " with BOM"));
    const QByteArray prolog = QByteArray("<?xml version=\"1.0\" encoding=\"") + c.encodingName + "\"?>";
    const QString path = folder.Write(QString("book-%1.fb2").arg(c.iconvName),
                                      c.bom + Recode(MinimalBook({}, prolog), c.iconvName));
    ASSERT_EQ(XMLValid(*validator, path), 0) << validator->GetErrorText().toStdString();
    // The Cyrillic title arrived intact, not as mojibake that happens to validate.
    xmlChar* text = xmlNodeGetContent(LoadedDocument(*validator)->children);
    EXPECT_TRUE(
        QString::fromUtf8(reinterpret_cast<const char*>(text)).contains(QStringLiteral("Война и мир")));
    xmlFree(text);
  }
  // Bytes that are not what the prolog says make the book unloadable, not silently misread.
  const QString lying = folder.Write("lying.fb2", MinimalBook().replace("UTF-8", "UTF-16"));
  EXPECT_EQ(XMLValid(*validator, lying), 1);
}

// Makes a folder the current directory for the life of the object, as the file list does for a run.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const QString& path) : previous_(QDir::currentPath()) {
    EXPECT_TRUE(QDir::setCurrent(path));
  }
  ~CurrentDirectory() { QDir::setCurrent(previous_); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  QString previous_;
};

// The run passes bare file names. libxml2's own file loader reads standard input for "-" and silently
// uncompresses gzip, and a FIFO would block it; the file on disk is what must be judged.
TEST(XSDValidator, JudgesExactlyTheFileAtThePath) {
  TempFolder folder;
  auto validator = LoadedValidator();
  folder.Write("-", MinimalBook());
  const QByteArray book = MinimalBook();
  gzFile gz = gzopen(QFile::encodeName(folder.Path("packed.fb2")).constData(), "wb");
  ASSERT_NE(gz, nullptr);
  gzwrite(gz, book.constData(), static_cast<unsigned>(book.size()));
  gzclose(gz);
  ASSERT_EQ(mkfifo(QFile::encodeName(folder.Path("fifo.fb2")).constData(), 0600), 0);

  CurrentDirectory current(folder.Path(""));
  EXPECT_EQ(XMLValid(*validator, "-"), 0) << validator->GetErrorText().toStdString();
  EXPECT_EQ(XMLValid(*validator, "packed.fb2"), 1);
  EXPECT_EQ(XMLValid(*validator, "fifo.fb2"), 1);
  EXPECT_TRUE(validator->GetErrorText().contains("fifo.fb2"));
}

TEST(XSDValidatorSchema, MissingOrBrokenSchemaFileReturnsFalseWithReason) {
  TempFolder folder;
  const struct {
    const char* what;
    QString path;
  } cases[] = {
      {"missing", folder.Path("FictionBook.xsd")},
      {"not well-formed",
       folder.Write("broken.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TXSDValidator validator;
    EXPECT_FALSE(validator.LoadSchema(c.path));
    EXPECT_TRUE(validator.GetErrorText().contains(QFileInfo(c.path).fileName()))
        << validator.GetErrorText().toStdString();
  }
}

TEST(XSDValidatorSchema, WellFormedFileThatIsNoSchemaThrowsWithLibxmlMessage) {
  TempFolder folder;
  TXSDValidator validator;
  const QString notSchema = folder.Write("not.xsd", "<root/>");
  try {
    validator.LoadSchema(notSchema);
    FAIL() << "no exception";
  } catch (const ShelvioError& e) {
    EXPECT_TRUE(e.Message().contains("schema")) << e.what();
  }
  // An import that is not found is a schema that cannot be compiled.
  const QString badImport = folder.Write(
      "import.xsd",
      R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:l="urn:l" targetNamespace="urn:t">
<xs:import namespace="urn:l" schemaLocation="absent.xsd"/>
<xs:element name="r"><xs:complexType><xs:attribute ref="l:a"/></xs:complexType></xs:element>
</xs:schema>)");
  EXPECT_THROW(validator.LoadSchema(badImport), ShelvioError);
}

// A schema without a target namespace holds no declaration for FictionBook's namespace.
TEST(XSDValidatorSchema, SchemaWithoutTargetNamespaceRejectsFictionBooks) {
  TempFolder folder;
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(
      folder.Write("plain.xsd", R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
<xs:element name="FictionBook"><xs:complexType><xs:sequence><xs:any processContents="skip" minOccurs="0" maxOccurs="unbounded"/></xs:sequence></xs:complexType></xs:element>
</xs:schema>)")));
  EXPECT_EQ(XMLValid(validator, folder.Write("book.fb2", MinimalBook())), 2);
  EXPECT_EQ(XMLValid(validator, folder.Write("plain.fb2", "<FictionBook><x/></FictionBook>")), 0);
}

// The schema imports its three companions from its own folder, wherever that folder is and whatever
// its name holds.
TEST(XSDValidatorSchema, ImportsResolveBesideTheSchemaInAnyFolderName) {
  TempFolder folder;
  const QString fls = folder.Path(QStringLiteral("my apps %41 папка/fls"));
  ASSERT_TRUE(QDir().mkpath(fls));
  for (const char* name :
       {"FictionBook.xsd", "FictionBookGenres.xsd", "FictionBookLang.xsd", "FictionBookLinks.xsd"})
    ASSERT_TRUE(QFile::copy(QStringLiteral(SHELVIO_FLS_DIR "/") + name, fls + "/" + name));
  const QString book = folder.Write("book.fb2", MinimalBook());
  // Resolving against the current directory instead would find nothing there either.
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(folder.Path("")));
  TXSDValidator validator;
  const bool loaded = validator.LoadSchema(fls + "/FictionBook.xsd");
  QDir::setCurrent(previous);
  ASSERT_TRUE(loaded) << validator.GetErrorText().toStdString();
  EXPECT_EQ(XMLValid(validator, book), 0) << validator.GetErrorText().toStdString();
}

// Each run's validator reads the schema file afresh: an edit between runs takes effect at the next.
TEST(XSDValidatorSchema, EachValidatorReadsTheSchemaAgain) {
  TempFolder folder;
  for (const char* name :
       {"FictionBook.xsd", "FictionBookGenres.xsd", "FictionBookLang.xsd", "FictionBookLinks.xsd"})
    ASSERT_TRUE(QFile::copy(QStringLiteral(SHELVIO_FLS_DIR "/") + name, folder.Path(name)));
  const QString schema = folder.Path("FictionBook.xsd");
  const QString book = folder.Write("book.fb2", MinimalBook());

  TXSDValidator first;
  ASSERT_TRUE(first.LoadSchema(schema));
  EXPECT_EQ(XMLValid(first, book), 0);

  QFile::remove(schema);
  folder.Write("FictionBook.xsd", R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"/>)");
  TXSDValidator second;
  ASSERT_TRUE(second.LoadSchema(schema));
  EXPECT_EQ(XMLValid(second, book), 2);
  EXPECT_EQ(XMLValid(first, book), 0);
}

// Validators of one run share one compiled schema: each must judge its books at the same time as
// the others, on threads of their own, and keep the schema after the validator that read it is gone.
TEST(XSDValidatorSchema, SharedSchemaServesValidatorsOnThreadsAndOutlivesItsReader) {
  TempFolder folder;
  const QString valid = folder.Write("ok.fb2", MinimalBook());
  const QString invalid = folder.Write("bad.fb2", MinimalBook().replace("prose_classic", "nope"));
  TXSDValidator none;
  TXSDValidator empty;
  EXPECT_FALSE(empty.ShareSchema(none));

  std::vector<std::unique_ptr<TXSDValidator>> sharers;
  {
    auto reader = LoadedValidator();
    for (int k = 0; k < 4; ++k) {
      sharers.push_back(std::make_unique<TXSDValidator>());
      ASSERT_TRUE(sharers.back()->ShareSchema(*reader));
    }
  }
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (size_t k = 0; k < sharers.size(); ++k) {
    threads.emplace_back([&, k] {
      // Half of them stream, so that both paths run at once over the one schema.
      if (k % 2 == 1) sharers[k]->SetTreeBudget(0);
      for (int round = 0; round < 50; ++round) {
        if (XMLValid(*sharers[k], valid) != 0 || XMLValid(*sharers[k], invalid) != 2) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

// The digest a run records comes from the validator's own read of the book: it must be that of the
// whole file however the parse ended, early on a broken book, or on the tree after the stream.
TEST(XSDValidator, DigestsTheWholeBookItRead) {
  TempFolder folder;
  const auto validator = LoadedValidator();
  QByteArray large = MinimalBook();
  large.replace("<p>", "<p>" + QByteArray(3 * 1024 * 1024, 'x'));  // several reads
  // libxml2 halts at this depth and reads no further
  const QByteArray broken =
      kFictionBookOpen + QByteArray("<a>").repeated(5000) + QByteArray(1024 * 1024, 'y');
  const QByteArray withDoctype =
      "<!DOCTYPE FictionBook [<!ENTITY n \"x\">]>\n" + MinimalBook();  // judged by its tree
  const struct {
    const char* what;
    QString path;
  } cases[] = {
      {"valid", folder.Write("ok.fb2", MinimalBook())},
      {"large", folder.Write("large.fb2", large)},
      {"broken early", folder.Write("broken.fb2", broken)},
      {"doctype", folder.Write("doctype.fb2", withDoctype)},
      {"empty", folder.Write("empty.fb2", "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    validator->Check(c.path);
    const BookDigest digest = validator->LastBookDigest();
    EXPECT_TRUE(digest.known);
    EXPECT_EQ(digest.size, QFileInfo(c.path).size());
    EXPECT_EQ(digest, DigestOfFile(c.path));
  }
  validator->Check(folder.Path("absent.fb2"));
  EXPECT_FALSE(validator->LastBookDigest().known);
  EXPECT_NE(DigestOfFile(cases[0].path), DigestOfFile(cases[1].path));
}

}  // namespace
