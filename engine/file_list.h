#pragma once

#include <QString>
#include <QStringList>

// The .fb2 files of folder as the file list shows them: bare names of regular files whose name
// ends in ".fb2" in any letter case, hidden files (a leading ".") left out, in the order of the
// user's locale without regard to case. With zippedBooks, files ending in ".fb2.zip" (one book
// each) are listed too. A folder that cannot be read gives an empty list.
QStringList ListBookFiles(const QString& folder, bool zippedBooks = false);

class BookFiles;

// The list a run is given: what killed runs left half done on files' disk is finished first, so
// that a book a killed run left twice is listed once and not taken for a repeat. The hosts list
// through this and only this.
QStringList ListBooksToRun(const QString& folder, BookFiles& files, bool zippedBooks = false);
