#include "engine/file_list.h"

#include "engine/run.h"

#include <QCollator>
#include <QDir>
#include <QDirIterator>

#include <algorithm>

QStringList ListBookFiles(const QString& folder) {
  // Without QDir::Hidden, names beginning with "." are not listed; without QDir::CaseSensitive,
  // the mask matches c.FB2 as well. Links are left out: the run moves the files it lists.
  // An iterator, not QDir::entryList: that one holds a QFileInfo for every entry at once, which
  // for a folder of 100,000 books costs far more than the names themselves.
  QStringList names;
  QDirIterator it(folder, {QStringLiteral("*.fb2")},
                  QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
  while (it.hasNext()) {
    it.next();
    names.append(it.fileName());
  }

  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  // Names equal to the collator keep a fixed order between them.
  std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
    const int order = collator.compare(a, b);
    return order != 0 ? order < 0 : a < b;
  });
  return names;
}

QStringList ListBooksToRun(const QString& folder, BookFiles& files) {
  files.FinishInterruptedMoves();
  return ListBookFiles(folder);
}
