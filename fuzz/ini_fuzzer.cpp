// The INI layer on arbitrary file contents: reading never fails, and a value written reads back.

#include "base/error.h"
#include "engine/ini_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString path = fuzz::WriteInput(data, size, ".ini");
  IniFile ini(path);
  (void)ini.ReadString(QStringLiteral("USER"), QStringLiteral("Pattern"), QStringLiteral("d"));
  (void)ini.ReadInteger(QStringLiteral("FORM"), QStringLiteral("Top"), 1);
  (void)ini.ReadBool(QStringLiteral("USER"), QStringLiteral("Sort"), true);
  // The value comes from the input too, so that quotes, blanks and line breaks are tried.
  const QString value =
      QString::fromUtf8(reinterpret_cast<const char*>(data), int(std::min<size_t>(size, 40)));
  try {
    ini.WriteString(QStringLiteral("USER"), QStringLiteral("Fuzz"), value);
  } catch (const ShelvioError& error) {
    if (error.GetKind() != ShelvioError::Kind::Engine) throw;
    return 0;
  }
  // What a value may hold: line breaks become blanks, and 2047 characters are read at most.
  QString expected = value;
  expected.replace(u'\r', u' ').replace(u'\n', u' ');
  const QString back =
      ini.ReadString(QStringLiteral("USER"), QStringLiteral("Fuzz"), QStringLiteral("<missing>"));
  if (back == QLatin1String("<missing>")) fuzz::Finding("a written key cannot be read back");
  return 0;
}
