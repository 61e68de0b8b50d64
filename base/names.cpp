#include "base/names.h"

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
