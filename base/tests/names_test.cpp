#include "base/names.h"

#include <gtest/gtest.h>

#include "tests/support/qstring_printer.h"

namespace {

struct TextCase {
  const char* input;  // UTF-8
  const char* expected;
};

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

TEST(Transliterate, FollowsTheTableForEveryLetterOfBothCases) {
  // Each row pins the table entry by entry; a shifted or swapped entry (ь/ы/ъ order, Ё/ё) fails.
  const TextCase cases[] = {
      {"абвгдеёжзийклмнопрстуфхцчшщьыъэюя", "abvgdejozhzijklmnoprstufhcchshsch'y'ejuja"},
      {"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЬЫЪЭЮЯ", "ABVGDEYoZhZIJKLMNOPRSTUFHCChShSch'Y'EJuJa"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Transliterate(U(c.input)), U(c.expected));
  }
}

TEST(Transliterate, ReplacesWholeEntriesAndPassesEverythingElse) {
  const TextCase cases[] = {
      // words: multi-letter entries are copied whole whatever the neighbours' case
      {"щука", "schuka"},
      {"Щука", "Schuka"},
      {"ЩУКА", "SchUKA"},
      {"Ёж", "Yozh"},
      {"ёж", "jozh"},
      {"Объём", "Ob'jom"},
      {"Мягкий знак", "Mjagkij znak"},
      {"Юлия", "Julija"},
      {"Война и мир 2", "Vojna i mir 2"},
      // Cyrillic letters outside the Russian alphabet pass unchanged
      {"Їжак", "Їzhak"},
      {"іїєґў ІЇЄҐЎ", "іїєґў ІЇЄҐЎ"},
      // paths: delimiters and drive colons stay
      {"C:\\Книги\\И\\Иванов Иван", "C:\\Knigi\\I\\Ivanov Ivan"},
      {"/книги/end/", "/knigi/end/"},
      // nothing to do
      {"", ""},
      {"Latin 123 !?", "Latin 123 !?"},
      // a character beyond the BMP stays a valid pair
      {"ж😀ж", "zh😀zh"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Transliterate(U(c.input)), U(c.expected));
  }
}

TEST(CheckSymbols, RemovesTheNineCharactersOnly) {
  const TextCase cases[] = {
      {"A/B: C?", "AB C"},
      {"\\/:*?\"<>|", ""},
      {"", ""},
      // dots, spaces, control characters and other punctuation stay
      {"..  .\t\x01;,'!#%&()[]{}", "..  .\t\x01;,'!#%&()[]{}"},
      {"Книга: \"Том 1\" <черновик>|", "Книга Том 1 черновик"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(CheckSymbols(U(c.input)), U(c.expected));
  }
}

TEST(TrimControl, RemovesCodesUpToSpaceAtBothEndsOnly) {
  const TextCase cases[] = {
      {"  \t\r\n\x01 a \t b\x1f \x20", "a \t b"},
      {"  ", ""},
      {"", ""},
      // U+00A0 and other Unicode spaces are above 32 and stay
      {"\u00a0x\u3000", "\u00a0x\u3000"},
      {"x", "x"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(TrimControl(U(c.input)), U(c.expected));
  }
}

}  // namespace
