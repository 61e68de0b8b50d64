// How the reader loads a file: encodings, files that do not load, hostile input, size, and the
// handover of a tree parsed elsewhere.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <QDir>
#include <QElapsedTimer>
#include <memory>

#include "fictionbook/book_info.h"
#include "fictionbook/tests/metadata/book_fixture.h"

using namespace Qt::StringLiterals;

namespace {

const TBookInfo kIvan = {u"Щукин"_s, u"Пётр"_s, {}, u"Ёж"_s, {}, {}, {}, {}};

// "Щукин", "Пётр", "Ёж" in windows-1251 and KOI8-R.
const char kCp1251Book[] =
    "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"
    "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
    "<author><first-name>\xcf\xb8\xf2\xf0</first-name><last-name>\xd9\xf3\xea\xe8\xed</last-name>"
    "</author><book-title>\xa8\xe6</book-title></title-info></description></FictionBook>";
const char kKoi8rBook[] =
    "<?xml version=\"1.0\" encoding=\"KOI8-R\"?>\n"
    "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
    "<author><first-name>\xf0\xa3\xd4\xd2</first-name><last-name>\xfd\xd5\xcb\xc9\xce</last-name>"
    "</author><book-title>\xb3\xd6</book-title></title-info></description></FictionBook>";

QByteArray Utf16Book(bool bigEndian) {
  const QString text =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
      "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
      "<author><first-name>Пётр</first-name><last-name>Щукин</last-name></author>"
      "<book-title>Ёж</book-title></title-info></description></FictionBook>"_s;
  QByteArray bytes = bigEndian ? QByteArray("\xfe\xff", 2) : QByteArray("\xff\xfe", 2);
  for (QChar c : text) {
    const char high = static_cast<char>(c.unicode() >> 8);
    const char low = static_cast<char>(c.unicode() & 0xff);
    bytes.append(bigEndian ? high : low).append(bigEndian ? low : high);
  }
  return bytes;
}

TEST(ReadBookInfo, ReadsDeclaredEncodings) {
  const struct {
    const char* what;
    QByteArray content;
  } cases[] = {
      {"windows-1251", kCp1251Book},
      {"KOI8-R", kKoi8rBook},
      {"UTF-16LE with BOM", Utf16Book(false)},
      {"UTF-16BE with BOM", Utf16Book(true)},
      {"UTF-8 with BOM",
       "\xef\xbb\xbf" +
           BookWithTitleInfo("<author><first-name>Пётр</first-name>"
                             "<last-name>Щукин</last-name></author><book-title>Ёж</book-title>")},
  };
  BookFiles files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadBookInfo(files.Write(u"enc.fb2"_s, c.content), false, nullptr), kIvan);
  }
}

// Opens book files that the reader must refuse, by what they show.
TEST(ReadBookInfo, RefusesFilesThatDoNotLoad) {
  BookFiles files;
  const struct {
    const char* what;
    QString path;
    QString messageStart;  // the message names the file, and the line where known
  } cases[] = {
      {"missing file", files.Path(u"missing.fb2"_s), files.Path(u"missing.fb2"_s) + u": "_s},
      {"folder", files.Path(u""_s), files.Path(u""_s)},
      {"mismatched tags",
       files.Write(u"tags.fb2"_s, "<?xml version=\"1.0\"?>\n<FictionBook>\n<description>\n</FictionBook>\n"),
       files.Path(u"tags.fb2"_s) + u":4: "_s},
      {"not XML at all", files.Write(u"text.fb2"_s, "just some text\n"),
       files.Path(u"text.fb2"_s) + u":1: "_s},
      {"empty file", files.Write(u"empty.fb2"_s, ""), files.Path(u"empty.fb2"_s)},
      {"undefined entity", files.Write(u"entity.fb2"_s, BookWithTitleInfo("<book-title>&nbsp;</book-title>")),
       files.Path(u"entity.fb2"_s) + u":3: "_s},
      // libxml2 keeps a tree, but a namespace-aware reader refuses the file.
      {"undeclared prefix",
       files.Write(u"prefix.fb2"_s, BookWithTitleInfo("<coverpage><image x:href=\"#c\"/></coverpage>")),
       files.Path(u"prefix.fb2"_s) + u":3: "_s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      ReadBookInfo(c.path, false, nullptr);
      ADD_FAILURE() << "no error";
    } catch (const ShelvioError& error) {
      EXPECT_TRUE(error.Message().startsWith(c.messageStart)) << error.Message().toStdString();
      EXPECT_GT(error.Message().size(), c.messageStart.size()) << "a reason follows the place";
    }
  }
}

// libxml2 prints to stderr by default, and a run of thousands of books must not; nor may a
// descriptor stay open, or the run could not move the book on every file system.
TEST(ReadBookInfo, LeavesNoOutputAndNoOpenFile) {
  BookFiles files;
  const QString good = files.Write(u"good.fb2"_s, BookWithTitleInfo("<book-title>T</book-title>"));
  const QString bad = files.Write(u"bad.fb2"_s, "<FictionBook><description></FictionBook>");
  const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).entryList(QDir::Files | QDir::System).size(); };
  const qsizetype before = openFiles();

  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(ReadBookInfo(good, false, nullptr));
  EXPECT_THROW(ReadBookInfo(bad, false, nullptr), ShelvioError);
  EXPECT_THROW(ReadBookInfo(files.Path(u"missing.fb2"_s), false, nullptr), ShelvioError);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  EXPECT_EQ(openFiles(), before);
}

TEST(ReadBookInfo, RejectsBillionLaughsQuickly) {
  QByteArray entities = "<!ENTITY lol0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 9; ++i)
    entities += QByteArray("<!ENTITY lol") + QByteArray::number(i) + " \"" +
                QByteArray("&lol").append(QByteArray::number(i - 1)).append(";").repeated(10) + "\">";
  const QByteArray doctype = "<!DOCTYPE FictionBook [" + entities + "]>\n<FictionBook";
  const struct {
    const char* what;
    QByteArray titleInfo;
  } cases[] = {
      {"in element text", "<book-title>&lol9;</book-title>"},
      {"in an attribute", "<sequence name=\"&lol9;\" number=\"1\"/>"},
  };
  BookFiles files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path =
        files.Write(u"lol.fb2"_s, BookWithTitleInfo(c.titleInfo).replace("<FictionBook", doctype));
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(ReadBookInfo(path, false, nullptr), ShelvioError);
    EXPECT_LT(timer.elapsed(), 2000);
  }
}

// An external entity must never make the reader open another file.
TEST(ReadBookInfo, NeverReadsExternalEntities) {
  BookFiles files;
  files.Write(u"secret.txt"_s, "SECRET");
  const QString secretUrl = "file://" + files.Path(u"secret.txt"_s);
  const QByteArray doctype =
      "<!DOCTYPE FictionBook [<!ENTITY ext SYSTEM \"" + secretUrl.toUtf8() + "\">]>\n<FictionBook";
  const QString path =
      files.Write(u"ext.fb2"_s,
                  BookWithTitleInfo("<author><last-name>&ext;</last-name></author><book-title>T</book-title>")
                      .replace("<FictionBook", doctype));
  try {
    const TBookInfo info = ReadBookInfo(path, false, nullptr);
    EXPECT_FALSE(info.LastName.contains(u"SECRET"_s));
  } catch (const ShelvioError& error) {
    EXPECT_FALSE(error.Message().contains(u"SECRET"_s));
  }
}

// Base64 images make text nodes beyond libxml2's default 10 MB limit.
TEST(ReadBookInfo, ReadsBookWithLargeBinary) {
  const QByteArray base64 = QByteArray(12 * 1024 * 1024, 'A');
  const QByteArray book = BookWithTitleInfo("<book-title>Big</book-title>")
                              .replace("</FictionBook>", "<binary id=\"c.jpg\" content-type=\"image/jpeg\">" +
                                                             base64 + "</binary></FictionBook>");
  BookFiles files;
  EXPECT_EQ(ReadBookInfo(files.Write(u"big.fb2"_s, book), false, nullptr).Title, u"Big"_s);
}

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

// A tree that keeps blank text nodes (as the validator's does) reads like the file itself.
TEST(ReadBookInfo, ReadsTreeParsedElsewhere) {
  const QByteArray book = BookWithTitleInfo(
      "\n  <genre>\n sf </genre>\n  <author>\n    <first-name> A </first-name>\n    <middle-name>\n"
      "    </middle-name>\n    <last-name>B</last-name>\n  </author>\n"
      "  <book-title>\n    <![CDATA[T]]>\n  </book-title>\n  <lang> </lang>\n"
      "  <sequence name=\" S \" number=\" 08 \">\n    <sequence name=\"N\"/>\n  </sequence>\n");
  const std::unique_ptr<xmlDoc, DocDeleter> tree(
      xmlReadMemory(book.constData(), static_cast<int>(book.size()), "tree.fb2", nullptr, XML_PARSE_NONET));
  ASSERT_NE(tree, nullptr);
  const xmlNode* root = xmlDocGetRootElement(tree.get());
  ASSERT_EQ(root->children->type, XML_TEXT_NODE) << "the tree keeps blank text nodes";

  const TBookInfo expected = {u"B"_s, u"A"_s, {}, u"T"_s, u"sf"_s, {}, u"S"_s, u"8"_s};
  EXPECT_EQ(ReadBookInfo(*tree, false, nullptr), expected);
  BookFiles files;
  EXPECT_EQ(ReadBookInfo(files.Write(u"tree.fb2"_s, book), false, nullptr), expected);
}

}  // namespace
