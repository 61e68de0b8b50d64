#include "engine/settings.h"

#include "engine/ini_file.h"

#include <iterator>

namespace {

size_t RowOf(const Setting& setting) {
  const auto row = static_cast<size_t>(&setting - kSettings);
  Q_ASSERT(row < std::size(kSettings));
  return row;
}

QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

const Setting& SettingOf(TextOption option) {
  switch (option) {
    case TextOption::BadDir: return SettingNamed("BadFileDir");
    case TextOption::EndDir: return SettingNamed("EndDir");
    case TextOption::DoubleDir: return SettingNamed("DoubleDir");
    case TextOption::NewNamePattern: return SettingNamed("Pattern");
    case TextOption::SortPattern: return SettingNamed("SortPattern");
  }
  Q_UNREACHABLE();
}

const Setting& SettingOf(CheckOption option) {
  switch (option) {
    case CheckOption::Rename: return SettingNamed("Rename");
    case CheckOption::Sort: return SettingNamed("Sort");
    case CheckOption::Archive: return SettingNamed("Archive");
    case CheckOption::Translit: return SettingNamed("Translit");
    case CheckOption::TranslitDir: return SettingNamed("TranslitDir");
    case CheckOption::SortLast: return SettingNamed("SortLast");
    case CheckOption::SortFirst: return SettingNamed("SortFirst");
    case CheckOption::SortMiddle: return SettingNamed("SortMiddle");
    case CheckOption::FullGenres: return SettingNamed("FullGenres");
    case CheckOption::Valid: return SettingNamed("Valid");
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
    case SettingForm::Integer: return setting.number;
    case SettingForm::Boolean: return setting.number != 0;
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
      case SettingForm::Integer: ini.WriteInteger(section, key, values.Number(setting)); break;
      case SettingForm::Boolean: ini.WriteBool(section, key, values.Checked(setting)); break;
      case SettingForm::Text: ini.WriteString(section, key, values.Text(setting)); break;
    }
  }
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
