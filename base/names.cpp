#include "base/names.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// The Cyrillic block U+0400..U+045F, indexed by code - kCyrillicFirst. An empty entry means the
// character passes unchanged (Ukrainian, Belarusian and other letters outside the Russian 33).
constexpr char16_t kCyrillicFirst = 0x0400;
constexpr char16_t kCyrillicLast = 0x045F;

using LatinTable = std::array<std::string_view, kCyrillicLast - kCyrillicFirst + 1>;

constexpr LatinTable MakeLatinTable() {
  LatinTable table{};
  // Upper case А..Я (U+0410..U+042F) and lower case а..я (U+0430..U+044F), in code order; the
  // irregular entries (Ё "Yo" against ё "jo", both signs "'" in either case) are deliberate.
  constexpr std::string_view kUpper[32] = {"A", "B",  "V",  "G",   "D", "E", "Zh", "Z", "I",  "J", "K",
                                           "L", "M",  "N",  "O",   "P", "R", "S",  "T", "U",  "F", "H",
                                           "C", "Ch", "Sh", "Sch", "'", "Y", "'",  "E", "Ju", "Ja"};
  constexpr std::string_view kLower[32] = {"a", "b",  "v",  "g",   "d", "e", "zh", "z", "i",  "j", "k",
                                           "l", "m",  "n",  "o",   "p", "r", "s",  "t", "u",  "f", "h",
                                           "c", "ch", "sh", "sch", "'", "y", "'",  "e", "ju", "ja"};
  for (int i = 0; i < 32; ++i) {
    table[0x10 + i] = kUpper[i];
    table[0x30 + i] = kLower[i];
  }
  table[0x01] = "Yo";  // Ё
  table[0x51] = "jo";  // ё
  return table;
}

constexpr LatinTable kLatin = MakeLatinTable();

constexpr bool IsForbiddenInFileName(char16_t c) {
  switch (c) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return false;
  }
}

}  // namespace

QString CheckSymbols(const QString& text) {
  QString result;
  result.reserve(text.size());
  for (QChar c : text) {
    if (!IsForbiddenInFileName(c.unicode())) result.append(c);
  }
  return result;
}

QString Transliterate(const QString& text) {
  QString result;
  // Most entries are one letter; a few are two or three.
  result.reserve(text.size() + text.size() / 4);
  for (QChar c : text) {
    const char16_t code = c.unicode();
    if (code >= kCyrillicFirst && code <= kCyrillicLast) {
      const std::string_view latin = kLatin[code - kCyrillicFirst];
      if (!latin.empty()) {
        result.append(QLatin1String(latin.data(), qsizetype(latin.size())));
        continue;
      }
    }
    result.append(c);
  }
  return result;
}

QString TrimControl(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin).unicode() <= 32) ++begin;
  while (end > begin && text.at(end - 1).unicode() <= 32) --end;
  if (begin == 0 && end == text.size()) return text;
  return text.mid(begin, end - begin);
}

namespace {

// What separates words: a run holding one of these becomes a space, not nothing.
constexpr bool SeparatesWords(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == 0x85 ||
         c == 0x2028 || c == 0x2029;
}

}  // namespace

QString CleanNameValue(const QString& text) {
  if (std::none_of(text.begin(), text.end(), [](QChar c) { return IsNameControl(c.unicode()); })) return text;
  QString result;
  result.reserve(text.size());
  qsizetype i = 0;
  while (i < text.size()) {
    const char16_t c = text.at(i).unicode();
    if (c != u' ' && !IsNameControl(c)) {
      result.append(text.at(i++));
      continue;
    }
    // A run of blanks and removed characters: left alone when it holds nothing to remove.
    const qsizetype start = i;
    bool removes = false;
    bool separates = false;
    for (; i < text.size(); ++i) {
      const char16_t r = text.at(i).unicode();
      if (r != u' ' && !IsNameControl(r)) break;
      removes = removes || IsNameControl(r);
      separates = separates || SeparatesWords(r);
    }
    if (!removes)
      result.append(QStringView(text).mid(start, i - start));
    else if (separates)
      result.append(u' ');
  }
  return result;
}

QString FirstCharacter(const QString& text) {
  if (text.size() >= 2 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate()) return text.left(2);
  return text.left(1);
}

QString ShortenToBytes(const QString& text, qsizetype maxBytes) {
  qsizetype bytes = 0;
  qsizetype i = 0;
  while (i < text.size()) {
    const char16_t c = text.at(i).unicode();
    qsizetype units = 1;
    qsizetype length = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
      units = 2;
      length = 4;
    }
    if (bytes + length > maxBytes) return text.left(i);
    bytes += length;
    i += units;
  }
  return text;
}
