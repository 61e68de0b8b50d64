#include "engine/templates.h"

#include <QStringView>
#include <algorithm>
#include <iterator>

#include "base/names.h"

namespace {

bool IsDelimiter(QChar c) { return c == u'/' || c == u'\\'; }

// Upper case one UTF-16 unit at a time, so that positions in the result match the original
// (QString::toUpper may lengthen a text, as with ß).
QString UpperPerUnit(QStringView text) {
  QString result(text.size(), Qt::Uninitialized);
  for (qsizetype i = 0; i < text.size(); ++i) result[i] = text[i].toUpper();
  return result;
}

// Every occurrence of find replaced by replacement, matched in upper case, left to right without
// overlap; the inserted text is not scanned again.
QString ReplaceEvery(const QString& text, QStringView find, QStringView replacement) {
  if (find.isEmpty() || text.size() < find.size()) return text;
  const QString upperText = UpperPerUnit(text);
  const QString upperFind = UpperPerUnit(find);
  QString result;
  result.reserve(text.size());
  qsizetype start = 0;
  qsizetype found = upperText.indexOf(upperFind, start, Qt::CaseSensitive);
  while (found >= 0) {
    result.append(QStringView(text).mid(start, found - start));
    result.append(replacement);
    start = found + find.size();
    found = upperText.indexOf(upperFind, start, Qt::CaseSensitive);
  }
  result.append(QStringView(text).mid(start));
  return result;
}

QString WithoutDelimiters(QString value) {
  value.removeIf(IsDelimiter);
  return value;
}

// A component "." or ".." of the expanded sort template would climb out of the processed folder
// (author "../../x"); it becomes "_". The delimiters themselves stay as they were.
QString NeutraliseDotComponents(const QString& path) {
  QString result;
  result.reserve(path.size());
  qsizetype start = 0;
  while (start <= path.size()) {
    qsizetype end = start;
    while (end < path.size() && !IsDelimiter(path.at(end))) ++end;
    const QStringView component = QStringView(path).mid(start, end - start);
    if (component == u"." || component == u"..") {
      result.append(u'_');
    } else {
      result.append(component);
    }
    if (end < path.size()) result.append(path.at(end));
    start = end + 1;
  }
  return result;
}

QString AuthorFolderName(const TBookInfo& info, bool useLast, bool useFirst, bool useMiddle) {
  QString author;
  if (useLast) author = info.LastName;
  if (useFirst) author = TrimControl(author + u' ' + info.FirstName);
  if (useMiddle) author = TrimControl(author + u' ' + info.MiddleName);
  return author;
}

}  // namespace

QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate) {
  QString name = pattern;
  for (const TemplateWord& placeholder : kFileNameWords) {
    name = ReplaceEvery(name, placeholder.word, placeholder.token);
  }
  // The values are the book's own text; a delimiter in one would move the file into a folder the
  // user never asked for, possibly outside the processed folder.
  const QString values[] = {
      WithoutDelimiters(info.LastName), WithoutDelimiters(info.FirstName), WithoutDelimiters(info.MiddleName),
      WithoutDelimiters(info.Title),    WithoutDelimiters(info.SeqName),   WithoutDelimiters(info.SeqNumber),
  };
  for (size_t i = 0; i < std::size(kFileNameWords); ++i) {
    name = ReplaceEvery(name, kFileNameWords[i].token, values[i]);
  }
  // Empty fields leave double spaces behind; one pass halves every run of them.
  name = ReplaceEvery(name, u"  ", u" ");
  // The template's own delimiters make folders of the values between them; a value "." or ".."
  // there would climb out of the destination folder. The last component gains ".fb2" and is safe.
  const qsizetype lastDelimiter = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
  if (lastDelimiter >= 0)
    name = NeutraliseDotComponents(name.left(lastDelimiter + 1)) + name.mid(lastDelimiter + 1);
  if (transliterate) name = Transliterate(name);
  return name + QStringLiteral(".fb2");
}

QString MakeSortFolder(const TBookInfo& info, const QString& pattern, const QString& processedFolder,
                       bool useLast, bool useFirst, bool useMiddle, bool transliterateFolders) {
  const QString author = AuthorFolderName(info, useLast, useFirst, useMiddle);
  // An author known only by nickname has an empty folder name, and then an empty letter.
  const QString letter = author.left(1);

  QString expansion = pattern;
  for (const TemplateWord& placeholder : kSortWords) {
    expansion = ReplaceEvery(expansion, placeholder.word, placeholder.token);
  }
  const QString values[] = {author, letter, info.Genre, info.SeqName, info.Lang};
  for (size_t i = 0; i < std::size(kSortWords); ++i) {
    expansion = ReplaceEvery(expansion, kSortWords[i].token, values[i]);
  }

  QString path = processedFolder + NeutraliseDotComponents(expansion);
  if (transliterateFolders) path = Transliterate(path);
  return path;
}
