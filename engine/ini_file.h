#pragma once

#include <QString>
#include <QStringList>

// A settings file in INI form, read and written one value at a time, each call going to the file
// itself. Section and key names match without regard to letter case; unknown lines are kept byte
// for byte on rewrite; UTF-16LE (with its byte-order mark), UTF-8 and windows-1251 files are read,
// and a file keeps its encoding when rewritten where every character fits.
class IniFile {
 public:
  explicit IniFile(const QString& path);

  const QString& Path() const { return path_; }

  // The value of section/key, at most 2047 characters; defaultValue when the file, section or key
  // is missing. A key present with an empty value gives the empty string.
  QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
  // Decimal, or hexadecimal after "0x" when the value has three or more characters; the default
  // for a missing key, an empty value or text that is not an integer.
  int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
  // An integer by the rule above: non-zero is true.
  bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;
  // The keys of every section of that name, in file order, each once (as first written).
  QStringList Keys(const QString& section) const;
  // The names of the file's sections, in file order, each once (as first written).
  QStringList Sections() const;

  // Replaces the key's first line in place, or adds the key at the end of its section, the section
  // at the end of the file, or creates the file. Atomic: the file is the old one or the new one.
  // Throws ShelvioError (Engine) "Unable to write to <path>".
  void WriteString(const QString& section, const QString& key, const QString& value);
  void WriteInteger(const QString& section, const QString& key, int value);
  void WriteBool(const QString& section, const QString& key, bool value);

 private:
  QString path_;
};
