#include "engine/file_list.h"

#include <QCollator>
#include <QDir>

#include <algorithm>

QStringList ListBookFiles(const QString& folder) {
  // Without QDir::Hidden, names beginning with "." are not listed; without QDir::CaseSensitive,
  // the mask matches c.FB2 as well. Links are left out: the run moves the files it lists.
  QDir dir(folder, QStringLiteral("*.fb2"), QDir::NoSort,
           QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
  QStringList names = dir.entryList();

  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  // Names equal to the collator keep a fixed order between them.
  std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
    const int order = collator.compare(a, b);
    return order != 0 ? order < 0 : a < b;
  });
  return names;
}
