#pragma once

// The code pages a settings file may be written in: UTF-8 (with or without a byte-order mark),
// UTF-16LE with its mark, and windows-1251, which older settings files and their editors use.

#include <QByteArray>
#include <QString>
#include <optional>

namespace ini_encoding {

enum class Encoding { Utf8, Utf16Le, Windows1251 };

inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
inline constexpr char kUtf16LeBom[] = "\xFF\xFE";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut sequence.
bool IsValidUtf8(const char* data, qsizetype size);

QString Decode(const QByteArray& bytes, Encoding encoding);

// The text in the encoding, or nothing when a character has no code there.
std::optional<QByteArray> Encode(const QString& text, Encoding encoding);

}  // namespace ini_encoding
