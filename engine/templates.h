#pragma once

#include "fictionbook/book_info.h"

#include <QString>

// The book's new file name from the file-name template, always ending in ".fb2". Path delimiters
// that come from the book's values are removed, so the name stays one path component.
QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate);

// The sort folder path: processedFolder immediately followed by the expanded sort template. A
// path component of the expansion that is "." or ".." becomes "_", so a book's metadata never
// leads outside the processed folder.
QString MakeSortFolder(const TBookInfo& info, const QString& pattern, const QString& processedFolder,
                       bool useLast, bool useFirst, bool useMiddle, bool transliterateFolders);
