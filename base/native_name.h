#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// A Linux file name is a string of bytes, and many in old collections are not UTF-8 (windows-1251
// or cp866 names unpacked from Windows archives). Qt's own conversion (QFile::encodeName and
// decodeName) replaces every byte that is not UTF-8 and so loses the name. Paths here are QStrings
// that carry such a byte b as the lone surrogate U+DC00 + b, which no valid UTF-8 decodes to, so
// that a name read from the system goes back to it byte for byte. A path on its way to a system
// call goes through NativeName, never through Qt's file classes.

// The name's bytes: UTF-8, with each U+DC80..U+DCFF back as its byte.
QByteArray NativeName(const QString& path);

// The bytes as a QString, losslessly: valid UTF-8 decoded, every other byte carried as above.
QString NameFromNative(const QByteArray& bytes);
inline QString NameFromNative(const char* bytes) { return NameFromNative(QByteArray(bytes)); }

// True when path holds bytes that are not UTF-8.
bool HasForeignBytes(const QString& path);

// The name as a person reads it. A name whose bytes are all either ASCII or not UTF-8 is taken as
// windows-1251, the likely origin of such names; in any other, each byte that is not UTF-8 shows
// as "\xC8". A control character, a line separator or a bidirectional control (IsNameControl)
// shows as its UTF-8 bytes so escaped, so that every name takes one line and reads as it is
// stored. Only for showing: it does not lead back to the file.
QString DisplayName(const QString& path);

// The current directory, losslessly; empty when it cannot be read.
QString CurrentDirectory();

// path made absolute against the current directory, without touching the disk otherwise.
QString AbsolutePath(const QString& path);

// The names of the subfolders of folder (links to folders too), hidden ones (a leading ".") left
// out, in the order the system gives them; at most limit of them when limit is not negative.
QStringList SubfolderNames(const QString& folder, qsizetype limit = -1);

// Makes path the current directory; false when it cannot be entered.
bool SetCurrentDirectory(const QString& path);

// windows-1251, the encoding of Russian Windows: the character of a byte (the unassigned 0x98
// gives U+0098, so that every byte survives a read and a rewrite), and the byte of a character.
char16_t Windows1251ToUnicode(unsigned char byte);
std::optional<char> UnicodeToWindows1251(char16_t c);
