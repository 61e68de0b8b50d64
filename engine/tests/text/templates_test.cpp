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
const QString kOwn = U("book 1.fb2");  // the file the book came in

TEST(Templates, WorkedExamplesWithTheDefaultTemplates) {
  const TBookInfo info = Ivanov();
  const QString processed = U("C:\\books\\end\\");
  EXPECT_EQ(MakeFileName(info, kDefaultName, false, kOwn), U("Иванов Иван - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, kDefaultName, true, kOwn), U("Ivanov Ivan - Tihij dom.fb2"));
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, processed, true, true, false, false),
            U("C:\\books\\end\\И\\Иванов Иван"));
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, processed, true, true, false, true),
            U("C:\\books\\end\\I\\Ivanov Ivan"));
  // Empty fields go with the text that joins them: no name begins with " - ".
  EXPECT_EQ(MakeFileName(info, U("Серия Номер - Название"), false, kOwn), U("Тихий дом.fb2"));
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
      {"empty template: not the hidden name \".fb2\" but the book's own", "", "Иванов", "book 1.fb2"},
      // n spaces become ceil(n/2); the ends lose their blanks
      {"one space", "a b", "", "a b.fb2"},
      {"two spaces", "a  b", "", "a b.fb2"},
      {"three spaces", "a   b", "", "a  b.fb2"},
      {"four spaces", "a    b", "", "a  b.fb2"},
      {"five spaces", "a     b", "", "a   b.fb2"},
      {"ends trimmed", "  Фамилия ", "X", "X.fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info = Ivanov();
    info.LastName = U(c.lastName);
    EXPECT_EQ(MakeFileName(info, U(c.pattern), false, kOwn), U(c.expected));
  }
}

TEST(MakeFileName, UsesEveryFieldInItsPlace) {
  TBookInfo info = Ivanov();
  info.MiddleName = U("Петрович");
  info.SeqName = U("Дома");
  info.SeqNumber = U("3");
  EXPECT_EQ(MakeFileName(info, U("Серия Номер. Фамилия Имя Отчество - Название"), false, kOwn),
            U("Дома 3. Иванов Иван Петрович - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("%seq %num. %last %first %mid - %tit"), true, kOwn),
            U("Doma 3. Ivanov Ivan Petrovich - Tihij dom.fb2"));
}

// Books with an empty author, title or series gave names such as " - .fb2" and " - Тихий дом.fb2",
// which then collided in the folder for repeated files. A part whose words are empty goes with the
// text that joins it; what is left is never blank at its ends.
TEST(MakeFileName, EmptyPartsLeaveNoHoles) {
  struct Case {
    const char* what;
    const char* pattern;
    const char* last;
    const char* first;
    const char* title;
    const char* seq;
    const char* num;
    const char* expected;
  };
  const Case cases[] = {
      {"no author", "Фамилия Имя - Название", "", "", "Тихий дом", "", "", "Тихий дом.fb2"},
      {"first name only", "Фамилия Имя - Название", "", "Иван", "Тихий дом", "", "", "Иван - Тихий дом.fb2"},
      {"no title: the trailing text goes too", "Фамилия Имя - Название", "Иванов", "Иван", "", "", "",
       "Иванов Иван.fb2"},
      {"several empty words in a row keep the text before the next filled one",
       "Фамилия Имя Отчество - Название", "Иванов", "", "Тихий дом", "", "", "Иванов - Тихий дом.fb2"},
      {"dots", "Серия Номер. Фамилия - Название", "Иванов", "", "Тихий дом", "", "",
       "Иванов - Тихий дом.fb2"},
      {"dots after a filled series", "Серия Номер. Фамилия", "Иванов", "", "", "Дома", "",
       "Дома. Иванов.fb2"},
      {"commas", "Серия, Номер, Название", "", "", "Тихий дом", "Дома", "", "Дома, Тихий дом.fb2"},
      {"a bracketed group with nothing in it goes with its brackets", "Название (Серия, Номер)", "", "",
       "Тихий дом", "", "", "Тихий дом.fb2"},
      {"a bracketed group keeps what it has", "Название (Серия, Номер)", "", "", "Тихий дом", "", "3",
       "Тихий дом (3).fb2"},
      {"square brackets in front", "[Серия] Название", "", "", "Тихий дом", "", "", "Тихий дом.fb2"},
      {"brackets without words are the template's own text", "Название (fb2)", "", "", "Тихий дом", "", "",
       "Тихий дом (fb2).fb2"},
      {"text in front goes with an empty first word", "№Номер Название", "", "", "Тихий дом", "", "",
       "Тихий дом.fb2"},
      {"all filled: today's name", "Серия, Номер. Фамилия Имя - Название (Номер)", "Иванов", "Иван",
       "Тихий дом", "Дома", "3", "Дома, 3. Иванов Иван - Тихий дом (3).fb2"},
      {"everything empty: the book's own name", "Фамилия Имя - Название", "", "", "", "", "", "book 1.fb2"},
      {"only punctuation left: the book's own name", "Серия. (Номер)", "", "", "", "", "", "book 1.fb2"},
      {"a value of blanks and dashes only", "Фамилия - Название", " - ", "", "", "", "", "book 1.fb2"},
      {"an empty folder level is left out", "Серия/Название", "", "", "Тихий дом", "", "", "Тихий дом.fb2"},
      {"an empty name below a folder is the book's own", "Серия/Название", "", "", "", "Дома", "",
       "Дома/book 1.fb2"},
      {"a folder level made only of text stays", "Книги\\Фамилия", "", "", "Тихий дом", "", "",
       "Книги\\book 1.fb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info;
    info.LastName = U(c.last);
    info.FirstName = U(c.first);
    info.Title = U(c.title);
    info.SeqName = U(c.seq);
    info.SeqNumber = U(c.num);
    EXPECT_EQ(MakeFileName(info, U(c.pattern), false, kOwn), U(c.expected));
  }
  // The book's own name is cleaned as a value is, and is never blank.
  EXPECT_EQ(MakeFileName(TBookInfo(), kDefaultName, false, U(" - .FB2")), U("_.fb2"));
  EXPECT_EQ(MakeFileName(TBookInfo(), kDefaultName, true, U("книга.fb2")), U("kniga.fb2"));
}

// A book without an author went loose into the processed folder; a blank level is never a folder.
TEST(MakeSortFolder, EmptyLevelsBecomeFoldersForTheBooksWithout) {
  struct Case {
    const char* what;
    const char* pattern;
    const char* last;
    const char* seq;
    const char* genre;
    const char* lang;
    const char* expected;  // after the processed folder "/e/"
  };
  const Case cases[] = {
      {"no author: one folder, not two", "Алфавит\\Автор", "", "", "sf", "ru", "Без автора"},
      {"no author, letter second", "Автор/Алфавит", "", "", "sf", "ru", "Без автора"},
      {"no series between filled levels", "Жанр\\Серия\\Автор", "Иванов", "", "sf", "ru",
       "sf\\Без серии\\Иванов"},
      {"no genre, no language", "Язык/Жанр", "Иванов", "", "", "", "Без языка/Без жанра"},
      {"a level of several words named by its first", "Серия - Автор", "", "", "sf", "ru", "Без серии"},
      {"a level of text only stays", "Книги\\Автор", "", "", "sf", "ru", "Книги\\Без автора"},
      {"empty levels of the template are no folders", "\\Автор\\\\", "Иванов", "", "sf", "ru", "Иванов"},
      {"a filled level loses its blank ends and holes", "Серия - Автор", "Иванов", "", "sf", "ru", "Иванов"},
      {"a value's own levels lose blank ones", "Серия", "Иванов", " a / /b ", "sf", "ru", "a/b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info;
    info.LastName = U(c.last);
    info.SeqName = U(c.seq);
    info.Genre = U(c.genre);
    info.Lang = U(c.lang);
    EXPECT_EQ(MakeSortFolder(info, U(c.pattern), U("/e/"), true, true, false, false),
              U("/e/") + U(c.expected));
  }
  EXPECT_EQ(MakeSortFolder(TBookInfo(), kDefaultSort, U("/e/"), true, true, false, true), U("/e/Bez avtora"));
}

// A book's metadata must not turn its file name into a path; the template's own delimiters stay.
TEST(MakeFileName, DropsDelimitersComingFromTheBook) {
  TBookInfo info = Ivanov();
  info.LastName = U("../../x");
  info.FirstName = U("a\\b/c");
  info.SeqName = U("S/1");
  EXPECT_EQ(MakeFileName(info, kDefaultName, false, kOwn), U("_...x abc - Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("Серия/Название"), false, kOwn), U("S1/Тихий дом.fb2"));
  EXPECT_EQ(MakeFileName(info, U("Серия\\Название"), false, kOwn), U("S1\\Тихий дом.fb2"));
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
      {"last only is trimmed too", " иванов", "Иван", "", true, false, false, "и\\иванов"},
      {"letter keeps its case", "иванов", "", "", true, true, false, "и\\иванов"},
      {"nickname only: one folder for the books without an author", "", "", "", true, true, true,
       "Без автора"},
      {"nothing ticked", "Иванов", "Иван", "", false, false, false, "Без автора"},
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
  // A processed folder typed without its delimiter is still the folder, not a prefix of names.
  EXPECT_EQ(MakeSortFolder(info, kDefaultSort, U("/e"), true, true, false, false), U("/e/И\\Иванов Иван"));
  EXPECT_EQ(MakeSortFolder(info, QString(), QString(), true, true, false, false), QString());
}

TEST(MakeSortFolder, TransliteratesTheWholePathWhenAsked) {
  EXPECT_EQ(MakeSortFolder(Ivanov(), kDefaultSort, U("/книги/конец/"), true, true, false, true),
            U("/knigi/konec/I\\Ivanov Ivan"));
}

// Metadata such as author "../../x" must not climb out of the processed folder, nor ".x" make a
// hidden folder; the folder the user typed is left as it is.
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
      {".hidden", "Алфавит\\Автор", "/books/../end/_\\_hidden"},
      {"...", "Автор", "/books/../end/_.."},
      {"..x/x..", "Автор", "/books/../end/_.x/x.."},
      {"a/.b/c.", "Автор", "/books/../end/a/_b/c."},
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

// Values from a book as they come out in names, byte for byte: the file name by the template
// "Название" and the sort folder by "Алфавит/Автор" below "/e/".
TEST(NameRules, BookValuesGiveNamesThatWorkOnLinux) {
  struct Case {
    const char* what;
    const char* value;     // the title and the last name, UTF-8
    const char* fileName;  // UTF-8 bytes expected
    const char* folder;
  };
  const Case cases[] = {
      {"a line break is a space", "Тихий\nдом", "Тихий дом.fb2", "/e/Т/Тихий дом"},
      {"blanks around a line break are one space", "Тихий \r\n\t дом", "Тихий дом.fb2", "/e/Т/Тихий дом"},
      {"line and paragraph separators", "a\u2028b \u2029 c", "a b c.fb2", "/e/a/a b c"},
      {"bidirectional overrides and isolates go without a trace", "gp\u202Ej.exe\u202C\u2066x\u2069",
       "gpj.exex.fb2", "/e/g/gpj.exex"},
      {"other controls go", "a\x01\x1f\x7f\u0085\u009fb", "a b.fb2", "/e/a/a b"},
      {"controls inside a word leave no space", "до\x01м", "дом.fb2", "/e/д/дом"},
      {"blanks inside stay, at the ends go", "a  b ", "a b.fb2", "/e/a/a  b"},
      {"no-break space is no control", "a\u00a0b", "a\u00a0b.fb2", "/e/a/a\u00a0b"},
      {"a leading dot would hide the book", ".Тихий дом", "_Тихий дом.fb2", "/e/_/_Тихий дом"},
      {"a line break before a dot goes, and the dot is not hidden", "\n.x", "_x.fb2", "/e/_/_x"},
      {"a title of controls only", "\x01\x02", "book 1.fb2", "/e/Без автора"},
      {"the letter is a whole character", "\U0001D504рхип", "\U0001D504рхип.fb2",
       "/e/\U0001D504/\U0001D504рхип"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info = Ivanov();
    info.Title = U(c.value);
    info.LastName = U(c.value);
    EXPECT_EQ(MakeFileName(info, U("Название"), false, kOwn).toUtf8(), QByteArray(c.fileName));
    EXPECT_EQ(MakeSortFolder(info, U("Алфавит/Автор"), U("/e/"), true, false, false, false).toUtf8(),
              QByteArray(c.folder));
  }
}

// A title of 300 bytes gave "File name too long" and the book stayed; every name now fits in 255
// bytes, is cut between characters, keeps ".fb2", and leaves room for ".zip" when asked.
TEST(NameRules, LongNamesAreCutAtACharacterBoundary) {
  struct Case {
    const char* what;
    QString title;
    bool transliterate;
    qsizetype reserve;
    QString stem;  // expected before ".fb2"
  };
  const Case cases[] = {
      {"ASCII fills the limit", QString(300, u'a'), false, 0, QString(251, u'a')},
      {"ASCII with room for .zip", QString(300, u'a'), false, 4, QString(247, u'a')},
      {"two-byte letters never split", QString(150, u'я'), false, 0, QString(125, u'я')},
      {"two-byte letters with room for .zip", QString(150, u'я'), false, 4, QString(123, u'я')},
      {"surrogate pairs stay whole", U("\U0001D504").repeated(100), false, 0, U("\U0001D504").repeated(62)},
      {"cut after transliteration", QString(100, u'щ'), true, 0, U("sch").repeated(84).left(251)},
      {"short names untouched", U("Тихий дом"), false, 4, U("Тихий дом")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TBookInfo info = Ivanov();
    info.Title = c.title;
    const QString name = FitFileName(MakeFileName(info, U("Название"), c.transliterate, kOwn), c.reserve);
    EXPECT_EQ(name, c.stem + ".fb2");
    EXPECT_LE(name.toUtf8().size(), 255 - c.reserve);
  }
  // Each component of a file-name template with folders, and of the sort folder, fits too.
  TBookInfo info = Ivanov();
  info.SeqName = QString(200, u'я');
  EXPECT_EQ(MakeFileName(info, U("Серия/Серия"), false, kOwn),
            QString(127, u'я') + "/" + QString(125, u'я') + ".fb2");
  EXPECT_EQ(MakeSortFolder(info, U("Серия\\Серия"), U("/e/"), true, true, false, false),
            "/e/" + QString(127, u'я') + "\\" + QString(127, u'я'));
}

}  // namespace
