#pragma once

#include <QString>

// The text without the nine characters that Windows file names cannot hold: \ / : * ? " < > |
QString CheckSymbols(const QString& text);

// Russian letters of both cases replaced by their Latin spelling from the fixed table; every other
// character passes unchanged.
QString Transliterate(const QString& text);

// Characters of code 32 or below removed from both ends; nothing inside changes.
QString TrimControl(const QString& text);

// True for the characters that never reach a generated name, and that a listing shows escaped:
// control characters (U+0000..U+001F, U+007F..U+009F), the line and paragraph separators U+2028
// and U+2029, and the bidirectional overrides and isolates (U+202A..U+202E, U+2066..U+2069). They
// are invisible, break lines in listings and terminals, or reorder what a person sees of a name.
constexpr bool IsNameControl(char16_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// A value taken from a book, fit to stand in a file or folder name: the characters of
// IsNameControl are removed. A run of blanks and such characters that held a blank or a line break
// becomes one space; one that held none of those simply goes. Other blanks stay as they are.
QString CleanNameValue(const QString& text);

// The first character of text, whole: both halves of a surrogate pair. Empty for empty text.
QString FirstCharacter(const QString& text);

// text cut at a character boundary so that its UTF-8 form takes at most maxBytes bytes.
QString ShortenToBytes(const QString& text, qsizetype maxBytes);
