// Which nodes the reader takes and the rules it applies to their text.

#include "fictionbook/book_info.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <map>

#include "fictionbook/tests/metadata/book_fixture.h"

using namespace Qt::StringLiterals;

namespace {

struct FieldCase {
  const char* what;
  QByteArray description;  // content of <description>
  // LastName, FirstName, MiddleName, Title, Genre, Lang, SeqName, SeqNumber
  TBookInfo expected;
};

TEST(ReadBookInfo, ReadsFieldsByTheirRules) {
  const FieldCase cases[] = {
      // The first author only; names trimmed of blanks, tabs and line ends.
      {"three authors",
       "<title-info><genre>sf</genre>"
       "<author><first-name>\tИван\n</first-name><middle-name> Иванович </middle-name>"
       "<last-name>  Иванов</last-name></author>"
       "<author><first-name>Пётр</first-name><last-name>Петров</last-name></author>"
       "<author><first-name>Сидор</first-name><last-name>Сидоров</last-name></author>"
       "<book-title>Книга</book-title><lang>ru</lang></title-info>",
       {u"Иванов"_s, u"Иван"_s, u"Иванович"_s, u"Книга"_s, u"sf"_s, u"ru"_s, {}, {}}},
      // Names read from the first author even when it has none, never from the next one.
      {"nickname-only first author",
       "<title-info><author><nickname>anon</nickname></author>"
       "<author><first-name>A</first-name><last-name>B</last-name></author>"
       "<book-title>T</book-title></title-info>",
       {{}, {}, {}, u"T"_s, {}, {}, {}, {}}},
      {"empty and missing middle-name",
       "<title-info><author><first-name>A</first-name><middle-name/><last-name>B</last-name></author>"
       "</title-info>",
       {u"B"_s, u"A"_s, {}, {}, {}, {}, {}, {}}},
      // Whitespace-only content reads as empty, as a reader that drops blank text nodes sees it.
      {"whitespace-only elements",
       "<title-info><author><first-name>\n  </first-name><last-name> \t </last-name></author>"
       "<book-title>\n</book-title><lang>   </lang></title-info>",
       {}},
      // Forbidden characters go; the title's own spaces stay; language is taken as it stands.
      {"title cleaned but not trimmed, lang kept with spaces",
       "<title-info><book-title>  Who\\/:*?&quot;&lt;&gt;| am I?  </book-title><lang> ru </lang>"
       "</title-info>",
       {{}, {}, {}, u"  Who am I  "_s, {}, u" ru "_s, {}, {}}},
      {"title made only of forbidden characters",
       "<title-info><book-title>\\/:*?\"&lt;&gt;|</book-title></title-info>",
       {}},
      // CDATA counts as text; blank text around it is dropped like any blank text node.
      {"CDATA title",
       "<title-info><book-title>\n  <![CDATA[Tom & Jerry: <Episode 2>]]>\n</book-title></title-info>",
       {{}, {}, {}, u"Tom & Jerry Episode 2"_s, {}, {}, {}, {}}},
      {"sequence name trimmed and cleaned, number without leading zeros",
       "<title-info><sequence name=\" Foundation: \" number=\"007\"/></title-info>",
       {{}, {}, {}, {}, {}, {}, u"Foundation"_s, u"7"_s}},
      {"sequence without number",
       "<title-info><sequence name=\"Foundation\"/></title-info>",
       {{}, {}, {}, {}, {}, {}, u"Foundation"_s, {}}},
      {"sequence without name",
       "<title-info><sequence number=\"3\"/></title-info>",
       {{}, {}, {}, {}, {}, {}, {}, u"3"_s}},
      // The first sequence of title-info; its nested sequence and later ones are ignored.
      {"two sequences and a nested one",
       "<title-info><sequence name=\"Outer\" number=\"1\"><sequence name=\"Inner\" number=\"2\"/>"
       "</sequence><sequence name=\"Second\" number=\"3\"/></title-info>",
       {{}, {}, {}, {}, {}, {}, u"Outer"_s, u"1"_s}},
      // Attributes in another namespace are not the sequence's name.
      {"namespaced name attribute",
       "<title-info><sequence xmlns:x=\"urn:x\" x:name=\"Wrong\" name=\"Right\"/></title-info>",
       {{}, {}, {}, {}, {}, {}, u"Right"_s, {}}},
      // Only direct children of title-info count, wherever the other blocks stand.
      {"authors and sequences outside title-info",
       "<document-info><author><first-name>Doc</first-name><last-name>Maker</last-name></author>"
       "</document-info>"
       "<title-info><annotation><p>x</p></annotation><book-title>Own</book-title></title-info>"
       "<src-title-info><author><last-name>Original</last-name></author>"
       "<book-title>Src</book-title><sequence name=\"SrcSeq\" number=\"1\"/></src-title-info>"
       "<publish-info><sequence name=\"Publisher\" number=\"9\"/></publish-info>",
       {{}, {}, {}, u"Own"_s, {}, {}, {}, {}}},
      {"no title-info", "<document-info><program-used>x</program-used></document-info>", {}},
      // Elements of another namespace do not stand for FictionBook ones.
      {"title-info in another namespace",
       "<x:title-info xmlns:x=\"urn:other\"><x:book-title>Alien</x:book-title></x:title-info>",
       {}},
      {"genre trimmed",
       "<title-info><genre> sf\n</genre><genre>det</genre></title-info>",
       {{}, {}, {}, {}, u"sf"_s, {}, {}, {}}},
      {"empty genre", "<title-info><genre match=\"100\"/></title-info>", {}},
  };
  BookFiles files;
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = files.Write(u"book.fb2"_s, BookWithDescription(c.description));
    EXPECT_EQ(ReadBookInfo(path, false, nullptr), c.expected);
  }
}

// A book without a namespace is read by the namespace of its root, that is, none.
TEST(ReadBookInfo, ReadsBookWithoutNamespace) {
  BookFiles files;
  const QString path =
      files.Write(u"plain.fb2"_s,
                  "<FictionBook><description><title-info><author><last-name>Plain</last-name></author>"
                  "<book-title>No namespace</book-title></title-info></description></FictionBook>");
  EXPECT_EQ(ReadBookInfo(path, false, nullptr),
            (TBookInfo{u"Plain"_s, {}, {}, u"No namespace"_s, {}, {}, {}, {}}));
}

TEST(ReadBookInfo, ConvertsSequenceNumberToDecimalOrEmpty) {
  const struct {
    const char* number;
    const char* expected;
  } cases[] = {
      {"007", "7"},
      {"0", "0"},
      {"-3", "-3"},
      {"+5", "5"},
      {"-0", "0"},
      {" 12 ", "12"},  // surrounding blanks are allowed
      {"2147483647", "2147483647"},
      {"-2147483648", "-2147483648"},
      {"000000000000002147483647", "2147483647"},
      // Out of the 32-bit range.
      {"2147483648", ""},
      {"-2147483649", ""},
      {"99999999999999999999", ""},
      // Not an optionally signed run of decimal digits.
      {"", ""},
      {"   ", ""},
      {"-", ""},
      {"1.5", ""},
      {"1 000", ""},
      {"0x10", ""},
      {"12a", ""},
      {"--1", ""},
      {"١٢", ""},  // Arabic-Indic digits
  };
  BookFiles files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    const QString path = files.Write(
        u"seq.fb2"_s, BookWithTitleInfo(QByteArray("<sequence name=\"S\" number=\"") + c.number + "\"/>"));
    const TBookInfo info = ReadBookInfo(path, false, nullptr);
    EXPECT_EQ(info.SeqNumber, QString::fromUtf8(c.expected));
    EXPECT_EQ(info.SeqName, u"S"_s);
  }
}

// Answers for a few codes and remembers what it was asked.
class FakeGenres : public GenreLookup {
 public:
  QString GenreFullName(const QString& code) const override {
    asked_.append(code);
    static const std::map<QString, QString> kNames = {{u"sf"_s, u"Научная фантастика"_s}};
    const auto it = kNames.find(code);
    return it == kNames.end() ? QString() : it->second;
  }
  const QStringList& Asked() const { return asked_; }

 private:
  mutable QStringList asked_;
};

TEST(ReadBookInfo, ReplacesGenreCodeByFullNameWhenAsked) {
  BookFiles files;
  const QString known = files.Write(u"known.fb2"_s, BookWithTitleInfo("<genre> sf </genre>"));
  const QString unknown = files.Write(u"unknown.fb2"_s, BookWithTitleInfo("<genre>zz_none</genre>"));
  const QString noGenre = files.Write(u"none.fb2"_s, BookWithTitleInfo("<book-title>T</book-title>"));

  FakeGenres genres;
  EXPECT_EQ(ReadBookInfo(known, false, &genres).Genre, u"sf"_s);
  EXPECT_TRUE(genres.Asked().isEmpty()) << "the list is consulted only for full names";

  EXPECT_EQ(ReadBookInfo(known, true, &genres).Genre, u"Научная фантастика"_s);
  EXPECT_EQ(genres.Asked(), QStringList{u"sf"_s}) << "the code is trimmed before the lookup";

  EXPECT_EQ(ReadBookInfo(unknown, true, &genres).Genre, QString());
  EXPECT_EQ(ReadBookInfo(known, true, nullptr).Genre, QString());
  const qsizetype askedBefore = genres.Asked().size();
  EXPECT_EQ(ReadBookInfo(noGenre, true, &genres).Genre, QString());
  EXPECT_EQ(genres.Asked().size(), askedBefore) << "no genre, no lookup";
}

// A field holding a comment, a processing instruction, CDATA beside text or an entity used to
// fail the whole read ("Element does not contain a single text node"), which ended a strict run at
// a book the schema accepts. A field is read as a reader shows it.
TEST(ReadBookInfo, ReadsFieldTextAsAReaderShowsIt) {
  const struct {
    const char* what;
    QByteArray titleInfo;
    TBookInfo expected;
  } cases[] = {
      {"text, comment, text",
       "<author><first-name>Ив<!-- x -->ан</first-name></author>",
       {{}, u"Иван"_s, {}, {}, {}, {}, {}, {}}},
      {"comment only", "<lang><!-- none --></lang>", {}},
      {"comment beside blank text", "<book-title>\n  <!-- none -->\n</book-title>", {}},
      {"text then CDATA", "<book-title>A<![CDATA[&B]]></book-title>", {{}, {}, {}, u"A&B"_s, {}, {}, {}, {}}},
      {"processing instruction inside the code",
       "<genre>s<?pi x?>f</genre>",
       {{}, {}, {}, {}, u"sf"_s, {}, {}, {}}},
      {"processing instruction only", "<genre><?pi x?></genre>", {}},
      // Markup the schema refuses, in a book lenient mode lets through: its text is the field's.
      {"inline markup",
       "<book-title>Tom <emphasis>and</emphasis> Jerry</book-title>",
       {{}, {}, {}, u"Tom and Jerry"_s, {}, {}, {}, {}}},
      // Entities are not substituted into the tree: the reference is written out here.
      {"internal entity reference", "<book-title>&ent;!</book-title>", {{}, {}, {}, u"E!"_s, {}, {}, {}, {}}},
      {"entity within an entity",
       "<author><last-name>&outer;</last-name></author>",
       {u"<E>"_s, {}, {}, {}, {}, {}, {}, {}}},
      {"sequence fine, lang with a comment",
       "<lang>r<!---->u</lang><sequence name=\"S\" number=\"1\"/>",
       {{}, {}, {}, {}, {}, u"ru"_s, u"S"_s, u"1"_s}},
  };
  BookFiles files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QByteArray book = BookWithTitleInfo(c.titleInfo)
                                .replace("<FictionBook",
                                         "<!DOCTYPE FictionBook [<!ENTITY ent \"E\">"
                                         "<!ENTITY outer \"&lt;&ent;&gt;\">]>\n"
                                         "<FictionBook");
    EXPECT_EQ(ReadBookInfo(files.Write(u"field.fb2"_s, book), false, nullptr), c.expected);
  }
}

// The same elements outside the fields read must not fail the read.
TEST(ReadBookInfo, IgnoresMixedContentOutsideTheFieldsRead) {
  BookFiles files;
  const QString path = files.Write(
      u"mixed.fb2"_s,
      BookWithTitleInfo("<author><first-name>A</first-name><nickname>n<!--c-->k</nickname></author>"
                        "<author><last-name>x<!--c-->y</last-name></author>"
                        "<annotation><p>a <emphasis>b</emphasis></p></annotation>"
                        "<book-title>T</book-title>"));
  EXPECT_EQ(ReadBookInfo(path, false, nullptr), (TBookInfo{{}, u"A"_s, {}, u"T"_s, {}, {}, {}, {}}));
}

// Attribute values are the text a reader sees, entity references written out.
TEST(ReadBookInfo, ExpandsInternalEntitiesInAttributes) {
  BookFiles files;
  const QString path =
      files.Write(u"entity.fb2"_s,
                  BookWithTitleInfo("<sequence name=\"&ser; &amp; more\" number=\"&num;\"/>")
                      .replace("<FictionBook",
                               "<!DOCTYPE FictionBook [<!ENTITY ser \"Foundation\"><!ENTITY num \"42\">]>\n"
                               "<FictionBook"));
  const TBookInfo info = ReadBookInfo(path, false, nullptr);
  EXPECT_EQ(info.SeqName, u"Foundation & more"_s);
  EXPECT_EQ(info.SeqNumber, u"42"_s);
}

}  // namespace
