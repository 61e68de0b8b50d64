#pragma once

#include <QString>
#include <QStringView>

#include "fictionbook/book_info.h"

// A template word: the Russian field word that the template dialogs insert, and the token it is
// read as. The dialogs' button tags are indexes into these tables.
struct TemplateWord {
  QStringView word;
  QStringView token;
};

inline constexpr TemplateWord kFileNameWords[] = {
    {u"Фамилия", u"%last"}, {u"Имя", u"%first"}, {u"Отчество", u"%mid"},
    {u"Название", u"%tit"}, {u"Серия", u"%seq"}, {u"Номер", u"%num"},
};

inline constexpr TemplateWord kSortWords[] = {
    {u"Автор", u"%aut"}, {u"Алфавит", u"%alph"}, {u"Жанр", u"%gen"}, {u"Серия", u"%seq"}, {u"Язык", u"%lang"},
};

// The book's new file name from the file-name template, always ending in ".fb2". The book's values
// are cleaned (CleanNameValue) and lose their path delimiters, so each stays within one path
// component. A part of the template whose values are all empty goes with the text that joins it
// to its neighbours; a folder level that comes out empty is left out, and a name that comes out
// empty or of punctuation only is ownName (the book's file name) without its ".fb2". No component
// begins or ends with a blank, dash, comma, colon or semicolon. A component "." or ".." becomes
// "_", one starting with "." starts with "_" instead, and every component fits the file system's
// limit for a name (FitFileName).
QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate,
                     const QString& ownName);

// name with each component shortened at a character boundary to the file system's limit for one
// name, the last one to that limit less reserveBytes (room for ".zip", say) and keeping its ".fb2".
QString FitFileName(const QString& name, qsizetype reserveBytes);

// The sort folder path: processedFolder, with a trailing delimiter added when missing (the empty
// folder stays empty), followed by the expanded sort template. The book's values are cleaned
// (CleanNameValue) and empty parts go as in MakeFileName; a level whose values are all empty is a
// folder "Без автора" (or "Без жанра", "Без серии", "Без языка" by its first word), one for a run of
// levels that would repeat it, and no component is empty or has blanks or dashes at its ends. A
// path component of the expansion that is "." or ".." becomes "_", so a book's
// metadata never leads outside the processed folder, one starting with "." starts with "_" instead,
// and one longer than the file system's limit for a name is shortened at a character boundary.
QString MakeSortFolder(const TBookInfo& info, const QString& pattern, const QString& processedFolder,
                       bool useLast, bool useFirst, bool useMiddle, bool transliterateFolders);
