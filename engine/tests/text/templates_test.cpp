#include "engine/templates.h"

#include <gtest/gtest.h>

#include "tests/support/qstring_printer.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The book of the worked examples: no middle name, no sequence.
TBookInfo Ivanov() {
  TBookInfo info;
  info.LastName = U("Иванов");
  info.FirstName = U("Иван");
  info.Title = U("Тихий дом");
  info.Genre = U("sf");
  info.Lang = U("ru");
  return info;
}

const QString kDefaultName = U("Фамилия Имя - Название");
const QString kDefaultSort = U("Алфавит\\Автор");

TEST(Templates, WorkedExamplesWithTheDefaultTemplates) {
  const TBookInfo info = Ivanov();
  const QString processed = U("C:\\books\\end\\");
  EXPECT_EQ(MakeFileName(info, kDefaultName, false), U("Иванов Иван - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, kDefaultName, true), U("Ivanov Ivan - Tihij dom.fb2"));
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, processed, true, true, false, false),
            U("C:\\books\\end\\И\\Иванов Иван"));
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, processed, true, true, false, true),
            U("C:\\books\\end\\I\\Ivanov Ivan"));
  // Empty fields leave spaces that are halved once, and the leading one stays.
  EXPECT_EQ(MakeFileName(info, U("Серия Номер - Название"), false), U(" - Тихий дом.fb2"));
}

TEST(MakeFileName, ReplacesInTheTabledModeAndOrder) {
  struct Case {
    const char* what;
    const char* pattern;
    const char* lastName;
    const char* expected;
  };
  const Case cases[] = {
      {"words and tokens in any letter case", "фамилия ФАМИЛИЯ %LAST %Tit", "Иванов",
       "Иванов Иванов Иванов Тихий дом.fb2"},
      {"a word inside a longer word", "ПоИМЯнно", "Иванов", "ПоИваннно.fb2"},
      {"a value holding a later token is expanded by that step", "Фамилия", "%tit", "Тихий дом.fb2"},
      {"a step does not rescan what it inserted", "Фамилия", "%last%LAST", "%last%LAST.fb2"},
      {"values are never taken for words", "Фамилия", "Имя Название", "Имя Название.fb2"},
      {"tokens do not overlap", "%last%last", "ab", "abab.fb2"},
      {"no placeholders: the same name for every book", "книга", "Иванов", "книга.fb2"},
      {"empty template", "", "Иванов", ".fb2"},
      // n spaces become ceil(n/2); ends are not trimmed
      {"one space", "a b", "", "a b.fb2"},
      {"two spaces", "a  b", "", "a b.fb2"},
      {"three spaces", "a   b", "", "a  b.fb2"},
      {"four spaces", "a    b", "", "a  b.fb2"},
      {"five spaces", "a     b", "", "a   b.fb2"},
      {"ends kept", "  Фамилия ", "X", " X .fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info = Ivanov();
    info.LastName = U(c.lastName);
    EXPECT_EQ(MakeFileName(info, U(c.pattern), false), U(c.expected));
  }
}

TEST(MakeFileName, UsesEveryFieldInItsPlace) {
  TBookInfo info = Ivanov();
  info.MiddleName = U("Петрович");
  info.SeqName = U("Дома");
  info.SeqNumber = U("3");
  EXPECT_EQ(MakeFileName(info, U("Серия Номер. Фамилия Имя Отчество - Название"), false),
            U("Дома 3. Иванов Иван Петрович - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("%seq %num. %last %first %mid - %tit"), true),
            U("Doma 3. Ivanov Ivan Petrovich - Tihij dom.fb2"));
}

// A book's metadata must not turn its file name into a path; the template's own delimiters stay.
TEST(MakeFileName, DropsDelimitersComingFromTheBook) {
  TBookInfo info = Ivanov();
  info.LastName = U("../../x");
  info.FirstName = U("a\\b/c");
  info.SeqName = U("S/1");
  EXPECT_EQ(MakeFileName(info, kDefaultName, false), U("....x abc - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("Серия/Название"), false), U("S1/Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("Серия\\Название"), false), U("S1\\Тихий дом.fb2"));
}

TEST(MakeSortFolder, BuildsTheAuthorFolderNameAndItsLetter) {
  struct Case {
    const char* what;
    const char* last;
    const char* first;
    const char* middle;
    bool useLast, useFirst, useMiddle;
    const char* expected;  // after the processed folder "/e/"
  };
  const Case cases[] = {
      {"last and first", "Иванов", "Иван", "Петрович", true, true, false, "И\\Иванов Иван"},
      {"all three", "Иванов", "Иван", "Петрович", true, true, true, "И\\Иванов Иван Петрович"},
      {"first only, trimmed", "Иванов", "Иван", "", false, true, false, "И\\Иван"},
      {"middle only", "Иванов", "Иван", "Петрович", false, false, true, "П\\Петрович"},
      {"no last name: no leading space", "", "Иван", "", true, true, false, "И\\Иван"},
      {"last only is not trimmed", " иванов", "Иван", "", true, false, false, " \\ иванов"},
      {"letter keeps its case", "иванов", "", "", true, true, false, "и\\иванов"},
      {"nickname only: empty name and empty letter", "", "", "", true, true, true, "\\"},
      {"nothing ticked", "Иванов", "Иван", "", false, false, false, "\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info = Ivanov();
    info.LastName = U(c.last);
    info.FirstName = U(c.first);
    info.MiddleName = U(c.middle);
    EXPECT_EQ(MakeSortFolder(info, kDefaultSort, U("/e/"), c.useLast, c.useFirst, c.useMiddle, false),
              U("/e/") + U(c.expected));
  }
}

TEST(MakeSortFolder, ExpandsEveryPlaceholderWithoutCollapsingSpaces) {
  TBookInfo info = Ivanov();
  info.SeqName = U("Дома");
  info.Genre = U("Фантастика\\Космос");  // a full genre name may open folder levels
  EXPECT_EQ(MakeSortFolder(info, U("жанр/язык/СЕРИЯ/%ALPH/%aut  x"), U("/e/"), true, true, false, false),
            U("/e/Фантастика\\Космос/ru/Дома/И/Иванов Иван  x"));
  EXPECT_EQ(MakeSortFolder(info, QString(), U("/e/"), true, true, false, false), U("/e/"));
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, U("/e"), true, true, false, false), U("/eИ\\Иванов Иван"));
}

TEST(MakeSortFolder, TransliteratesTheWholePathWhenAsked) {
  EXPECT_EQ(MakeSortFolder(Ivanov(), kDefaultSort, U("/книги/конец/"), true, true, false, true),
            U("/knigi/konec/I\\Ivanov Ivan"));
}

// Metadata such as author "../../x" must not climb out of the processed folder; the folder the user
// typed is left as it is.
TEST(MakeSortFolder, NeutralisesDotComponentsOfTheExpansion) {
  struct Case {
    const char* last;
    const char* pattern;
    const char* expected;
  };
  const Case cases[] = {
      {"../../x", "Алфавит\\Автор", "/books/../end/_\\_/_/x"},
      {"..\\..\\x", "Автор", "/books/../end/_\\_\\x"},
      {"..", "Автор/Автор", "/books/../end/_/_"},
      {".", "Алфавит", "/books/../end/_"},
      {".hidden", "Алфавит\\Автор", "/books/../end/_\\.hidden"},
      // names that only look like dots are ordinary names
      {"...", "Автор", "/books/../end/..."},
      {"..x/x..", "Автор", "/books/../end/..x/x.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last);
    TBookInfo info = Ivanov();
    info.LastName = U(c.last);
    EXPECT_EQ(MakeSortFolder(info, U(c.pattern), U("/books/../end/"), true, false, false, false),
              U(c.expected));
  }
  // The same holds after transliteration, which cannot create dots.
  TBookInfo info = Ivanov();
  info.LastName = U("../..");
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, U("/конец/"), true, false, false, true), U("/konec/_\\_/_"));
}

}  // namespace
