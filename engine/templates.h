#pragma once

#include "fictionbook/book_info.h"

#include <QString>
#include <QStringView>

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

// The book's new file name from the file-name template, always ending in ".fb2". Path delimiters
// that come from the book's values are removed, so the name stays one path component.
QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate);

// The sort folder path: processedFolder immediately followed by the expanded sort template. A
// path component of the expansion that is "." or ".." becomes "_", so a book's metadata never
// leads outside the processed folder.
QString MakeSortFolder(const TBookInfo& info, const QString& pattern, const QString& processedFolder,
                       bool useLast, bool useFirst, bool useMiddle, bool transliterateFolders);
