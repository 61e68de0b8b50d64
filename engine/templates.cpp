#include "engine/templates.h"

#include <QStringView>
#include <algorithm>
#include <climits>
#include <iterator>

#include "base/names.h"
#include "engine/file_ops.h"

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

// A book's value as it may stand in the file name: one line, and no delimiter, which would move the
// file into a folder the user never asked for, possibly outside the processed folder.
QString FileNameValue(const QString& text) {
  QString value = CleanNameValue(text);
  value.removeIf(IsDelimiter);
  return value;
}

// path with each component between delimiters replaced by change(component); the delimiters stay
// as they were.
template <typename Change>
QString EachComponent(const QString& path, Change change) {
  QString result;
  result.reserve(path.size());
  qsizetype start = 0;
  while (start <= path.size()) {
    qsizetype end = start;
    while (end < path.size() && !IsDelimiter(path.at(end))) ++end;
    result.append(change(QStringView(path).mid(start, end - start)));
    if (end < path.size()) result.append(path.at(end));
    start = end + 1;
  }
  return result;
}

// A component "." or ".." of a generated path would climb out of its folder (author "../../x"):
// it becomes "_". Any other component starting with "." would be hidden, and the run's own listing
// would never see the book again: its leading "." becomes "_".
QString NeutraliseDotComponents(const QString& path) {
  return EachComponent(path, [](QStringView component) {
    if (component == u"." || component == u"..") return QStringLiteral("_");
    if (component.startsWith(u'.')) return u'_' + component.mid(1).toString();
    return component.toString();
  });
}

// Every component of a generated path within the file system's limit for one name.
QString FitComponents(const QString& path) {
  return EachComponent(path,
                       [](QStringView component) { return ShortenToBytes(component.toString(), NAME_MAX); });
}

QString AuthorFolderName(const TBookInfo& info, bool useLast, bool useFirst, bool useMiddle) {
  QString author;
  if (useLast) author = CleanNameValue(info.LastName);
  if (useFirst) author = TrimControl(author + u' ' + CleanNameValue(info.FirstName));
  if (useMiddle) author = TrimControl(author + u' ' + CleanNameValue(info.MiddleName));
  return author;
}

}  // namespace

QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate) {
  QString name = pattern;
  for (const TemplateWord& placeholder : kFileNameWords) {
    name = ReplaceEvery(name, placeholder.word, placeholder.token);
  }
  const QString values[] = {
      FileNameValue(info.LastName), FileNameValue(info.FirstName), FileNameValue(info.MiddleName),
      FileNameValue(info.Title),    FileNameValue(info.SeqName),   FileNameValue(info.SeqNumber),
  };
  for (size_t i = 0; i < std::size(kFileNameWords); ++i) {
    name = ReplaceEvery(name, kFileNameWords[i].token, values[i]);
  }
  // Empty fields leave double spaces behind; one pass halves every run of them.
  name = ReplaceEvery(name, u"  ", u" ");
  // The template's own delimiters make folders of the values between them. An empty name would
  // leave the hidden ".fb2"; "_" keeps the extension.
  if (name.isEmpty() || IsDelimiter(name.back())) name += u'_';
  name = NeutraliseDotComponents(name);
  if (transliterate) name = Transliterate(name);
  return FitFileName(name + QStringLiteral(".fb2"), 0);
}

QString FitFileName(const QString& name, qsizetype reserveBytes) {
  static constexpr QStringView kExtension = u".fb2";
  const qsizetype lastDelimiter = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
  const QString folders = FitComponents(name.left(lastDelimiter + 1));
  QString last = name.mid(lastDelimiter + 1);
  const qsizetype limit = NAME_MAX - reserveBytes;
  if (last.toUtf8().size() <= limit) return folders + last;
  if (!last.endsWith(kExtension, Qt::CaseInsensitive)) return folders + ShortenToBytes(last, limit);
  const QString extension = last.right(kExtension.size());
  last.chop(kExtension.size());
  return folders + ShortenToBytes(last, limit - extension.size()) + extension;
}

QString MakeSortFolder(const TBookInfo& info, const QString& pattern, const QString& processedFolder,
                       bool useLast, bool useFirst, bool useMiddle, bool transliterateFolders) {
  const QString author = AuthorFolderName(info, useLast, useFirst, useMiddle);
  // An author known only by nickname has an empty folder name, and then an empty letter.
  const QString letter = FirstCharacter(author);

  QString expansion = pattern;
  for (const TemplateWord& placeholder : kSortWords) {
    expansion = ReplaceEvery(expansion, placeholder.word, placeholder.token);
  }
  const QString values[] = {author, letter, CleanNameValue(info.Genre), CleanNameValue(info.SeqName),
                            CleanNameValue(info.Lang)};
  for (size_t i = 0; i < std::size(kSortWords); ++i) {
    expansion = ReplaceEvery(expansion, kSortWords[i].token, values[i]);
  }

  // Transliteration goes letter by letter, so the two parts may be taken apart; only the expansion
  // is the book's to shorten, the folder the user typed stays as it is.
  QString folder = processedFolder.isEmpty() ? processedFolder : IncludeTrailingDelimiter(processedFolder);
  expansion = NeutraliseDotComponents(expansion);
  if (transliterateFolders) {
    folder = Transliterate(folder);
    expansion = Transliterate(expansion);
  }
  return folder + FitComponents(expansion);
}
