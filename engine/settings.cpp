#include "engine/settings.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <vector>

#include "base/names.h"
#include "base/native_name.h"
#include "engine/ini_file.h"

namespace {

size_t RowOf(const Setting& setting) {
  const auto row = static_cast<size_t>(&setting - kSettings);
  Q_ASSERT(row < std::size(kSettings));
  return row;
}

QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Every option of the run.
constexpr TextOption kTextOptions[] = {TextOption::BadDir, TextOption::EndDir, TextOption::DoubleDir,
                                       TextOption::NewNamePattern, TextOption::SortPattern};
constexpr CheckOption kCheckOptions[] = {
    CheckOption::Rename,      CheckOption::Sort,     CheckOption::Archive,   CheckOption::Translit,
    CheckOption::TranslitDir, CheckOption::SortLast, CheckOption::SortFirst, CheckOption::SortMiddle,
    CheckOption::FullGenres,  CheckOption::Valid};

}  // namespace

SettingValues RunHost::Options() {
  SettingValues values;
  for (const TextOption option : kTextOptions) values.SetText(SettingOf(option), Text(option));
  for (const CheckOption option : kCheckOptions) values.SetChecked(SettingOf(option), Checked(option));
  return values;
}

const Setting& SettingOf(TextOption option) {
  switch (option) {
    case TextOption::BadDir:
      return SettingNamed("BadFileDir");
    case TextOption::EndDir:
      return SettingNamed("EndDir");
    case TextOption::DoubleDir:
      return SettingNamed("DoubleDir");
    case TextOption::NewNamePattern:
      return SettingNamed("Pattern");
    case TextOption::SortPattern:
      return SettingNamed("SortPattern");
  }
  Q_UNREACHABLE();
}

const Setting& SettingOf(CheckOption option) {
  switch (option) {
    case CheckOption::Rename:
      return SettingNamed("Rename");
    case CheckOption::Sort:
      return SettingNamed("Sort");
    case CheckOption::Archive:
      return SettingNamed("Archive");
    case CheckOption::Translit:
      return SettingNamed("Translit");
    case CheckOption::TranslitDir:
      return SettingNamed("TranslitDir");
    case CheckOption::SortLast:
      return SettingNamed("SortLast");
    case CheckOption::SortFirst:
      return SettingNamed("SortFirst");
    case CheckOption::SortMiddle:
      return SettingNamed("SortMiddle");
    case CheckOption::FullGenres:
      return SettingNamed("FullGenres");
    case CheckOption::Valid:
      return SettingNamed("Valid");
  }
  Q_UNREACHABLE();
}

SettingValues::SettingValues() : values_(std::size(kSettings)) {}

bool SettingValues::Has(const Setting& setting) const { return values_[RowOf(setting)].isValid(); }

QString SettingValues::Text(const Setting& setting) const { return values_[RowOf(setting)].toString(); }

bool SettingValues::Checked(const Setting& setting) const { return values_[RowOf(setting)].toBool(); }

int SettingValues::Number(const Setting& setting) const { return values_[RowOf(setting)].toInt(); }

void SettingValues::SetText(const Setting& setting, const QString& text) { values_[RowOf(setting)] = text; }

void SettingValues::SetChecked(const Setting& setting, bool checked) { values_[RowOf(setting)] = checked; }

void SettingValues::SetNumber(const Setting& setting, int number) { values_[RowOf(setting)] = number; }

void SettingValues::Remove(const Setting& setting) { values_[RowOf(setting)] = QVariant(); }

QVariant DefaultOf(const Setting& setting, const QString& tmpPath) {
  switch (setting.form) {
    case SettingForm::Integer:
      return setting.number;
    case SettingForm::Boolean:
      return setting.number != 0;
    case SettingForm::Text: {
      const QString text = QString::fromUtf16(setting.text);
      return setting.belowTmp ? tmpPath + text : text;
    }
  }
  Q_UNREACHABLE();
}

SettingValues ReadSettings(const IniFile& ini, const QString& tmpPath) {
  SettingValues values;
  for (const Setting& setting : kSettings) {
    const QString section = Latin1(setting.section);
    const QString key = Latin1(setting.key);
    const QVariant fallback = DefaultOf(setting, tmpPath);
    switch (setting.form) {
      case SettingForm::Integer:
        values.SetNumber(setting, ini.ReadInteger(section, key, fallback.toInt()));
        break;
      case SettingForm::Boolean:
        values.SetChecked(setting, ini.ReadBool(section, key, fallback.toBool()));
        break;
      case SettingForm::Text:
        values.SetText(setting, ini.ReadString(section, key, fallback.toString()));
        break;
    }
  }
  return values;
}

void WriteSettings(IniFile& ini, const SettingValues& values) {
  for (const Setting& setting : kSettings) {
    if (!values.Has(setting)) continue;
    const QString section = Latin1(setting.section);
    const QString key = Latin1(setting.key);
    switch (setting.form) {
      case SettingForm::Integer:
        ini.WriteInteger(section, key, values.Number(setting));
        break;
      case SettingForm::Boolean:
        ini.WriteBool(section, key, values.Checked(setting));
        break;
      case SettingForm::Text:
        ini.WriteString(section, key, values.Text(setting));
        break;
    }
  }
}

QString ValueText(const SettingValues& values, const Setting& setting) {
  if (!values.Has(setting)) return QString();
  switch (setting.form) {
    case SettingForm::Integer:
      return QString::number(values.Number(setting));
    case SettingForm::Boolean:
      return values.Checked(setting) ? QStringLiteral("1") : QStringLiteral("0");
    case SettingForm::Text:
      return values.Text(setting);
  }
  Q_UNREACHABLE();
}

void CreateDefaultWorkFolders(const QString& tmpPath, BookFiles& files) {
  for (const Setting& setting : kSettings) {
    if (!setting.belowTmp) continue;
    // The folder itself, without the trailing delimiter that the field's default carries. It is
    // never empty, and ForceDirectories reports nothing else.
    QString folder = DefaultOf(setting, tmpPath).toString();
    folder.chop(1);
    files.ForceDirectories(folder);
  }
}

namespace {

// Edits to turn a into b, letters compared without regard to case.
qsizetype EditDistance(const QString& a, const QString& b) {
  const QString x = a.toLower();
  const QString y = b.toLower();
  std::vector<qsizetype> row(static_cast<size_t>(y.size()) + 1);
  for (qsizetype j = 0; j <= y.size(); ++j) row[static_cast<size_t>(j)] = j;
  for (qsizetype i = 1; i <= x.size(); ++i) {
    qsizetype diagonal = row[0];
    row[0] = i;
    for (qsizetype j = 1; j <= y.size(); ++j) {
      const qsizetype above = row[static_cast<size_t>(j)];
      const qsizetype change = diagonal + (x.at(i - 1) == y.at(j - 1) ? 0 : 1);
      row[static_cast<size_t>(j)] = std::min({above + 1, row[static_cast<size_t>(j - 1)] + 1, change});
      diagonal = above;
    }
  }
  return row[static_cast<size_t>(y.size())];
}

// The integers whose meaning has bounds: the window's choices.
struct IntegerRange {
  std::string_view key;
  int lowest;
  int highest;
};
constexpr IntegerRange kIntegerRanges[] = {{"ZipLevel", 0, 3}, {"ActivePage", 0, 1}, {"WinState", 0, 1}};

// A key or value of the file as a warning shows it: on one line, its controls escaped, and no
// longer than a line (a file of junk may hold a "key" of megabytes).
QString Shown(const QString& text) {
  constexpr qsizetype kMostBytes = 80;
  const QString shown = ShortenToBytes(text, kMostBytes);
  return DisplayName(shown.size() < text.size() ? shown + QStringLiteral("...") : shown);
}

QString KeyText(const Setting& setting) {
  return QStringLiteral("[%1] %2").arg(
      QLatin1String(setting.section.data(), qsizetype(setting.section.size())),
      QLatin1String(setting.key.data(), qsizetype(setting.key.size())));
}

}  // namespace

QStringList SettingsWarnings(const IniFile& ini) {
  QStringList warnings;
  // A file whose section is misnamed ("[User Settings]", "[Settings]") gave every default in
  // silence: the books went to the default folders.
  for (const QString& section : ini.Sections()) {
    if (section.compare(u"USER", Qt::CaseInsensitive) == 0 ||
        section.compare(u"FORM", Qt::CaseInsensitive) == 0)
      continue;
    warnings << QStringLiteral("unknown section [%1] is ignored; the settings are read from [USER]")
                    .arg(Shown(section));
  }
  for (const char* section : {"USER", "FORM"}) {
    for (const QString& fullKey : ini.Keys(QLatin1String(section))) {
      // No known key is longer: the rest of a long one cannot bring it closer to any.
      const QString key = fullKey.left(64);
      const Setting* closest = nullptr;
      qsizetype distance = 0;
      bool known = false;
      for (const Setting& setting : kSettings) {
        if (setting.section != section) continue;
        const QString name = QLatin1String(setting.key.data(), qsizetype(setting.key.size()));
        if (name.compare(fullKey, Qt::CaseInsensitive) == 0) known = true;
        // A slip keeps a key's first letters more often than not: a shared beginning counts.
        qsizetype shared = 0;
        while (shared < std::min(key.size(), name.size()) &&
               key.at(shared).toLower() == name.at(shared).toLower())
          ++shared;
        const qsizetype d = EditDistance(key, name) - shared;
        if (!closest || d < distance) closest = &setting, distance = d;
      }
      if (known) continue;
      warnings << QStringLiteral("unknown key [%1] %2 is ignored; the closest known key is %3")
                      .arg(QLatin1String(section), Shown(fullKey),
                           QLatin1String(closest->key.data(), qsizetype(closest->key.size())));
    }
  }
  for (const Setting& setting : kSettings) {
    if (setting.form == SettingForm::Text) continue;
    const QString section = QLatin1String(setting.section.data(), qsizetype(setting.section.size()));
    const QString key = QLatin1String(setting.key.data(), qsizetype(setting.key.size()));
    const QString raw = ini.ReadString(section, key, QString());
    if (raw.isNull()) continue;
    constexpr int kUnread = std::numeric_limits<int>::min();
    const int number = ini.ReadInteger(section, key, kUnread);
    if (setting.form == SettingForm::Boolean) {
      if (raw == u"0" || raw == u"1") continue;
      warnings << (number == kUnread ? QStringLiteral("%1 = %2 is not 0 or 1: the default %3 is used")
                                           .arg(KeyText(setting), Shown(raw))
                                           .arg(setting.number)
                                     : QStringLiteral("%1 = %2 is not 0 or 1: it counts as %3")
                                           .arg(KeyText(setting), Shown(raw))
                                           .arg(number != 0 ? 1 : 0));
      continue;
    }
    if (number == kUnread) {
      warnings << QStringLiteral("%1 = %2 is not an integer: the default %3 is used")
                      .arg(KeyText(setting), Shown(raw))
                      .arg(setting.number);
      continue;
    }
    for (const IntegerRange& range : kIntegerRanges) {
      if (range.key == setting.key && (number < range.lowest || number > range.highest))
        warnings << QStringLiteral("%1 = %2 is out of its range %3..%4")
                        .arg(KeyText(setting), Shown(raw))
                        .arg(range.lowest)
                        .arg(range.highest);
    }
  }
  return warnings;
}
