#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <span>
#include <string_view>
#include <vector>

#include "engine/run.h"

class IniFile;

// The settings file (where it lies: engine/app_paths.h): its keys, their forms and defaults, and the one
// reader and writer of them. The window keeps the values in its controls between the load at start
// and the save at close; the command-line runner reads them once and never writes.

// How a value is written and read back (integers and booleans by the INI layer's integer rule).
enum class SettingForm { Integer, Boolean, Text };

struct Setting {
  std::string_view section;
  std::string_view key;
  SettingForm form;
  int number = 0;              // the default of an integer or a boolean
  const char16_t* text = u"";  // the default of a text
  bool belowTmp = false;       // the text default is a work folder: TmpPath + text
};

// Every key of the file, in the order in which a save writes it (and a first save therefore lays
// it out). To add a setting: add its row here at its place in that order, then bind its control
// in the window (app/frm_main_settings.cpp); a setting the run reads also gets its RunHost option
// and a line in SettingOf and in the list of options beside it (engine/settings.cpp). The
// command-line runner and the record of a run need nothing more.
inline constexpr Setting kSettings[] = {
    // The window's placement; how these are applied depends on WinState.
    {"FORM", "Width", SettingForm::Integer, 1000},
    {"FORM", "Height", SettingForm::Integer, 800},
    {"FORM", "Left", SettingForm::Integer, 50},
    {"FORM", "Top", SettingForm::Integer, 50},
    {"FORM", "WinState", SettingForm::Integer, 1},  // the file's numbering: 0 maximized, 1 normal
    // The settings tab. The three work-folder defaults are also created at every start.
    {"USER", "BadFileDir", SettingForm::Text, 0, u"bad/", true},
    {"USER", "EndDir", SettingForm::Text, 0, u"end/", true},
    {"USER", "DoubleDir", SettingForm::Text, 0, u"double/", true},
    {"USER", "Valid", SettingForm::Boolean, 1},
    {"USER", "Rename", SettingForm::Boolean, 1},
    {"USER", "Sort", SettingForm::Boolean, 1},
    {"USER", "Archive", SettingForm::Boolean, 1},
    {"USER", "Convert", SettingForm::Boolean, 1},
    {"USER", "ZipLevel", SettingForm::Integer, 2},
    {"USER", "ActivePage", SettingForm::Integer, 1},
    {"USER", "Pattern", SettingForm::Text, 0, u"Фамилия Имя - Название"},
    {"USER", "SortPattern", SettingForm::Text, 0, u"Алфавит\\Автор"},
    {"USER", "Translit", SettingForm::Boolean, 0},
    {"USER", "TranslitDir", SettingForm::Boolean, 0},
    {"USER", "SortLast", SettingForm::Boolean, 1},
    {"USER", "SortFirst", SettingForm::Boolean, 1},
    {"USER", "SortMiddle", SettingForm::Boolean, 0},
    {"USER", "FullGenres", SettingForm::Boolean, 1},
    {"USER", "ZipInput", SettingForm::Boolean, 1},  // list .fb2.zip books beside .fb2 ones
};

// The row of key; a key that is not in the table does not compile.
consteval const Setting& SettingNamed(std::string_view key) {
  for (const Setting& setting : kSettings) {
    if (setting.key == key) return setting;
  }
  throw "no such setting";
}

// The setting behind an option of the run.
const Setting& SettingOf(TextOption option);
const Setting& SettingOf(CheckOption option);

// The value of every key of the table that is present; a key left out is neither read back nor
// written.
class SettingValues {
 public:
  SettingValues();

  bool Has(const Setting& setting) const;
  QString Text(const Setting& setting) const;
  bool Checked(const Setting& setting) const;
  int Number(const Setting& setting) const;

  void SetText(const Setting& setting, const QString& text);
  void SetChecked(const Setting& setting, bool checked);
  void SetNumber(const Setting& setting, int number);
  void Remove(const Setting& setting);

 private:
  std::vector<QVariant> values_;  // by row of kSettings; invalid where absent
};

// The value of setting in values as the settings file writes it ("1" or "0" for a boolean); empty
// when values has none.
QString ValueText(const SettingValues& values, const Setting& setting);

// The default of setting: for the work folders below tmpPath.
QVariant DefaultOf(const Setting& setting, const QString& tmpPath);

// Every key of the table from ini, by the INI layer's rules: a missing key, and an integer or
// boolean that does not read as one, give the default. Never throws.
SettingValues ReadSettings(const IniFile& ini, const QString& tmpPath);

// Writes the keys present in values, in table order, one call each. Throws ShelvioError (Engine) "Unable to
// write to <path>" and stops there: the values before stay written.
void WriteSettings(IniFile& ini, const SettingValues& values);

// Creates tmpPath's three default work folders through files (the disk, or a dry run's pretence),
// whatever the settings name; a folder that cannot be created is passed over in silence.
void CreateDefaultWorkFolders(const QString& tmpPath, BookFiles& files);

// What reading ini passes over in silence, one line each for a person: a section other than
// [USER] and [FORM], a key of [USER] or [FORM] that is not in the table (with the known key
// closest to it), and a value that cannot be used (a
// boolean that is not 0 or 1, an integer that is not one or is out of its range) with what is
// used instead.
QStringList SettingsWarnings(const IniFile& ini);
