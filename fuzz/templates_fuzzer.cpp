// Template expansion, transliteration and name cleaning on arbitrary metadata and templates: a new
// name is one file name ending in ".fb2" below its folder, and a sort folder never climbs out.

#include <QStringList>

#include "base/names.h"
#include "engine/templates.h"
#include "fuzz_support.h"

namespace {

// True when a folder component of path (every component but the last when lastIsFile) is "."
// or "..".
bool ClimbsOut(const QString& path, bool lastIsFile) {
  QString native = path;
  native.replace(u'\\', u'/');
  QStringList parts = native.split(u'/');
  if (lastIsFile) parts.removeLast();
  return parts.contains(QStringLiteral("..")) || parts.contains(QStringLiteral("."));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Fields are separated by a zero byte: last, first, middle, title, genre, lang, seq, number,
  // file-name template, sort template; the first byte holds the switches.
  if (size == 0) return 0;
  const uint8_t switches = data[0];
  const QList<QByteArray> fields =
      QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)).split('\0');
  auto field = [&](int i) { return QString::fromUtf8(fields.value(i)); };
  TBookInfo info;
  info.LastName = field(0);
  info.FirstName = field(1);
  info.MiddleName = field(2);
  info.Title = field(3);
  info.Genre = field(4);
  info.Lang = field(5);
  info.SeqName = field(6);
  info.SeqNumber = field(7);
  const QString namePattern = fields.size() > 8 ? field(8) : QStringLiteral("Фамилия Имя - Название");
  const QString sortPattern = fields.size() > 9 ? field(9) : QStringLiteral("Алфавит\\Автор");

  const QString name = MakeFileName(info, namePattern, switches & 1, QStringLiteral("book.fb2"));
  if (!name.endsWith(QLatin1String(".fb2"))) fuzz::Finding("a new name without .fb2");
  if (ClimbsOut(name, true)) fuzz::Finding("a new name with a . or .. folder");
  const QString processed = QStringLiteral("/books/end/");
  const QString folder =
      MakeSortFolder(info, sortPattern, processed, switches & 2, switches & 4, switches & 8, switches & 16);
  if (!folder.startsWith(switches & 16 ? Transliterate(processed) : processed))
    fuzz::Finding("a sort folder outside the processed folder");
  if (ClimbsOut(folder.mid(processed.size()), false)) fuzz::Finding("a sort folder with a . or .. component");

  const QString cleaned = CheckSymbols(info.Title);
  for (QChar c : QStringLiteral("\\/:*?\"<>|"))
    if (cleaned.contains(c)) fuzz::Finding("CheckSymbols left a forbidden character");
  const QString trimmed = TrimControl(info.Title);
  if (!trimmed.isEmpty() && (trimmed.front().unicode() <= 32 || trimmed.back().unicode() <= 32))
    fuzz::Finding("TrimControl left a control character at an end");
  (void)Transliterate(info.Title);
  return 0;
}
