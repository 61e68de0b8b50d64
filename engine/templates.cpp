#include "engine/templates.h"

#include <QStringView>
#include <algorithm>
#include <climits>
#include <iterator>
#include <vector>

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

// A substituted value is wrapped in these two private-use characters, so that joining the parts
// can tell a book's text from the template's own; a book's own ones are dropped.
constexpr QChar kValueOpen(0xE000);
constexpr QChar kValueClose(0xE001);

bool IsMarker(QChar c) { return c == kValueOpen || c == kValueClose; }

QString Marked(QString value) {
  value.removeIf(IsMarker);
  return kValueOpen + value + kValueClose;
}

// The marks a name may not begin or end with: blanks, dashes and the punctuation that joins
// words. Dots stay, as "Т. 1." needs its last one; a leading one is made harmless elsewhere.
bool IsEdgeSeparator(QChar c) {
  return c.unicode() <= 32 || c.isSpace() || c == u'-' || (c.unicode() >= 0x2010 && c.unicode() <= 0x2015) ||
         c == u',' || c == u';' || c == u':';
}

QString TrimSeparators(QStringView text) {
  qsizetype start = 0;
  qsizetype end = text.size();
  while (start < end && IsEdgeSeparator(text[start])) ++start;
  while (end > start && IsEdgeSeparator(text[end - 1])) --end;
  return text.mid(start, end - start).toString();
}

// A name of nothing but blanks and punctuation ("()", ". ") tells nothing of the book.
bool SaysNothing(QStringView text) {
  return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isSpace() || c.isPunct(); });
}

QChar ClosingBracket(QChar open) {
  switch (open.unicode()) {
    case u'(':
      return u')';
    case u'[':
      return u']';
    case u'{':
      return u'}';
    case 0x00AB:
      return QChar(0x00BB);  // « »
    default:
      return QChar();
  }
}

// One part of a template: a substituted value or a bracketed group with values inside, or the
// template's literal text between them.
struct Part {
  bool word = false;
  bool filled = false;
  QString text;
};

// The end of the value opened at start (one past its closing mark); values may nest, when one
// held a token that a later step expanded.
qsizetype ValueEnd(QStringView text, qsizetype start) {
  int depth = 0;
  for (qsizetype i = start; i < text.size(); ++i) {
    if (text[i] == kValueOpen) ++depth;
    if (text[i] == kValueClose && --depth == 0) return i + 1;
  }
  return text.size();
}

// The position of the bracket closing the one at start, outside values, or -1.
qsizetype GroupEnd(QStringView text, qsizetype start) {
  const QChar open = text[start];
  const QChar close = ClosingBracket(open);
  int depth = 0;
  for (qsizetype i = start; i < text.size(); ++i) {
    if (text[i] == kValueOpen) {
      i = ValueEnd(text, i) - 1;
    } else if (text[i] == open) {
      ++depth;
    } else if (text[i] == close && --depth == 0) {
      return i;
    }
  }
  return -1;
}

struct Joined {
  QString text;
  bool hasWords = false;
};

// One path level of a substituted template with its empty parts gone. A value is a word; a
// bracketed group holding values is one word, filled when any of its values is. Text before the
// first word goes with it and text after the last one with that; a word that is empty takes its
// text along. Between two filled words with empty ones between them only the text just before the
// later filled word stays, so "Фамилия Имя - Название" without a first name joins with " - ".
Joined JoinParts(QStringView text) {
  std::vector<Part> parts;
  const auto literal = [&parts](QStringView piece) {
    if (parts.empty() || parts.back().word) parts.push_back(Part());
    parts.back().text += piece;
  };
  for (qsizetype i = 0; i < text.size();) {
    if (text[i] == kValueOpen) {
      const qsizetype end = ValueEnd(text, i);
      QString value = text.mid(i, end - i).toString();
      value.removeIf(IsMarker);
      parts.push_back({true, !value.trimmed().isEmpty(), value});
      i = end;
      continue;
    }
    if (!ClosingBracket(text[i]).isNull()) {
      if (const qsizetype end = GroupEnd(text, i); end > i) {
        const Joined inner = JoinParts(text.mid(i + 1, end - i - 1));
        const QString group = text[i] + inner.text + text[end];
        if (!inner.hasWords)
          literal(group);
        else
          parts.push_back({true, !inner.text.trimmed().isEmpty(), group});
        i = end + 1;
        continue;
      }
    }
    literal(text.mid(i, 1));
    ++i;
  }

  Joined joined;
  QString pending;  // the last text since the last filled word
  bool anyFilled = false;
  bool lastFilled = false;
  for (const Part& part : parts) {
    if (!part.word) {
      pending = part.text;
      continue;
    }
    // Text before the first word belongs to it; text before any later one joins it to the last
    // filled word, and there is none to join to before the first filled one.
    if (part.filled && (anyFilled || !joined.hasWords)) joined.text += pending;
    if (part.filled) {
      joined.text += part.text;
      pending.clear();
      anyFilled = true;
    }
    joined.hasWords = true;
    lastFilled = part.filled;
  }
  if (!joined.hasWords) return {pending, false};
  if (lastFilled && !parts.back().word) joined.text += parts.back().text;
  return joined;
}

// The template's path levels with their delimiters: the text before each delimiter and the
// delimiter itself (none after the last level).
struct Level {
  QString text;
  QChar delimiter;
};

std::vector<Level> SplitLevels(const QString& path) {
  std::vector<Level> levels(1);
  for (const QChar c : path) {
    if (IsDelimiter(c)) {
      levels.back().delimiter = c;
      levels.emplace_back();
    } else {
      levels.back().text += c;
    }
  }
  return levels;
}

QString JoinLevels(const std::vector<Level>& levels) {
  QString path;
  for (const Level& level : levels) {
    path += level.text;
    if (!level.delimiter.isNull()) path += level.delimiter;
  }
  return path;
}

// text with every token of words replaced by its marked value, in the table's order; a value
// holding a later token is expanded by that step, and no step rescans what it inserted.
template <size_t N>
QString Substitute(QString text, const TemplateWord (&words)[N], const QString (&values)[N]) {
  for (size_t i = 0; i < N; ++i) text = ReplaceEvery(text, words[i].token, Marked(values[i]));
  return text;
}

template <size_t N>
QString Tokenised(const QString& pattern, const TemplateWord (&words)[N]) {
  QString text = pattern;
  for (const TemplateWord& word : words) text = ReplaceEvery(text, word.word, word.token);
  return text;
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
  return TrimControl(author);
}

}  // namespace

QString MakeFileName(const TBookInfo& info, const QString& pattern, bool transliterate,
                     const QString& ownName) {
  const QString values[] = {
      FileNameValue(info.LastName), FileNameValue(info.FirstName), FileNameValue(info.MiddleName),
      FileNameValue(info.Title),    FileNameValue(info.SeqName),   FileNameValue(info.SeqNumber),
  };
  // The template's own delimiters make folders of the levels between them; a level that comes out
  // empty is left out.
  std::vector<Level> levels = SplitLevels(Tokenised(pattern, kFileNameWords));
  std::vector<Level> kept;
  for (size_t i = 0; i < levels.size(); ++i) {
    QString text = JoinParts(Substitute(levels[i].text, kFileNameWords, values)).text;
    // Doubled spaces in the template are halved once, as they always were.
    text = TrimSeparators(ReplaceEvery(text, u"  ", u" "));
    if (i + 1 == levels.size()) {
      // A book with nothing the template asks for keeps its own name rather than a name of
      // punctuation, or the hidden ".fb2".
      if (text.isEmpty() || SaysNothing(text)) {
        QString own = ownName;
        if (own.endsWith(u".fb2", Qt::CaseInsensitive)) own.chop(4);
        text = TrimSeparators(FileNameValue(own));
        if (text.isEmpty()) text = QStringLiteral("_");
      }
      kept.push_back({text, QChar()});
    } else if (!text.isEmpty() && !SaysNothing(text)) {
      kept.push_back({text, levels[i].delimiter});
    }
  }
  QString name = NeutraliseDotComponents(JoinLevels(kept));
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
  const QString values[] = {author, letter, CleanNameValue(info.Genre), CleanNameValue(info.SeqName),
                            CleanNameValue(info.Lang)};
  // What a level is called when the book has nothing for it, by the first word of the level.
  static constexpr QStringView kNothing[] = {u"Без автора", u"Без автора", u"Без жанра", u"Без серии",
                                             u"Без языка"};
  static_assert(std::size(kNothing) == std::size(kSortWords));

  std::vector<Level> kept;
  for (const Level& level : SplitLevels(Tokenised(pattern, kSortWords))) {
    // A book's value may open levels of its own (a genre "Фантастика\Космос"); each of those is
    // tidied as the template's levels are.
    std::vector<Level> own;
    for (Level part : SplitLevels(JoinParts(Substitute(level.text, kSortWords, values)).text)) {
      part.text = TrimSeparators(part.text);
      if (!part.text.isEmpty()) own.push_back(part);
    }
    if (!own.empty()) {
      own.back().delimiter = level.delimiter;
      kept.insert(kept.end(), own.begin(), own.end());
      continue;
    }
    // A level with words and nothing in them: a folder for the books without; one such folder
    // for a run of levels that would all say the same ("Алфавит\Автор").
    qsizetype first = -1;
    size_t word = 0;
    for (size_t i = 0; i < std::size(kSortWords); ++i) {
      const qsizetype at = UpperPerUnit(level.text).indexOf(UpperPerUnit(kSortWords[i].token));
      if (at >= 0 && (first < 0 || at < first)) {
        first = at;
        word = i;
      }
    }
    if (first < 0) continue;
    const QString nothing = kNothing[word].toString();
    if (!kept.empty() && kept.back().text == nothing) continue;
    kept.push_back({nothing, level.delimiter.isNull() ? QChar(u'\\') : level.delimiter});
  }
  if (!kept.empty()) kept.back().delimiter = QChar();

  // Transliteration goes letter by letter, so the two parts may be taken apart; only the expansion
  // is the book's to shorten, the folder the user typed stays as it is.
  QString folder = processedFolder.isEmpty() ? processedFolder : IncludeTrailingDelimiter(processedFolder);
  QString expansion = NeutraliseDotComponents(JoinLevels(kept));
  if (transliterateFolders) {
    folder = Transliterate(folder);
    expansion = Transliterate(expansion);
  }
  return folder + FitComponents(expansion);
}
