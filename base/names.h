#pragma once

#include <QString>

// The text without the nine characters that Windows file names cannot hold: \ / : * ? " < > |
QString CheckSymbols(const QString& text);

// Russian letters of both cases replaced by their Latin spelling from the fixed table; every other
// character passes unchanged.
QString Transliterate(const QString& text);

// Characters of code 32 or below removed from both ends; nothing inside changes.
QString TrimControl(const QString& text);
