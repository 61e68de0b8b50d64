// Loading and saving the window's controls: the settings file, beside the executable or in the
// user's configuration folder.

#include "app/frm_main.h"

#include "engine/ini_file.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTabWidget>

namespace {

const QString kForm = QStringLiteral("FORM");
const QString kUser = QStringLiteral("USER");

// The file's own numbering of the window state.
constexpr int kStateMaximized = 0;
constexpr int kStateNormal = 1;

constexpr int kZipLevelItems = 4;

}  // namespace

void TfrmMain::LoadSetting() {
  const IniFile ini(settingsFile_);

  const int state = ini.ReadInteger(kForm, QStringLiteral("WinState"), kStateNormal);
  if (state == kStateMaximized) {
    setWindowState(Qt::WindowMaximized);
  } else if (state == kStateNormal) {
    const int height = ini.ReadInteger(kForm, QStringLiteral("Height"), 800);
    const int width = ini.ReadInteger(kForm, QStringLiteral("Width"), 1000);
    const int left = ini.ReadInteger(kForm, QStringLiteral("Left"), 50);
    const int top = ini.ReadInteger(kForm, QStringLiteral("Top"), 50);
    // The file holds the outer size; the frame is taken off once it is known.
    pendingOuterSize_ = QSize(width, height);
    resize(width, height);
    move(left, top);
    setWindowState(Qt::WindowNoState);
  }

  btnedBadDir->setText(ini.ReadString(kUser, QStringLiteral("BadFileDir"), tmpPath_ + QStringLiteral("bad/")));
  btnedEndDir->setText(ini.ReadString(kUser, QStringLiteral("EndDir"), tmpPath_ + QStringLiteral("end/")));
  btnedDoubleDir->setText(
      ini.ReadString(kUser, QStringLiteral("DoubleDir"), tmpPath_ + QStringLiteral("double/")));
  // The default folders exist at every start, whatever the fields name; failures pass silently.
  for (const char* name : {"bad", "end", "double"}) (void)QDir().mkpath(tmpPath_ + QLatin1String(name));

  chkValid->setChecked(ini.ReadBool(kUser, QStringLiteral("Valid"), true));
  chkRename->setChecked(ini.ReadBool(kUser, QStringLiteral("Rename"), true));
  chkSort->setChecked(ini.ReadBool(kUser, QStringLiteral("Sort"), true));
  chkArchive->setChecked(ini.ReadBool(kUser, QStringLiteral("Archive"), true));
  chkConvert->setChecked(ini.ReadBool(kUser, QStringLiteral("Convert"), true));
  const int zipLevel = ini.ReadInteger(kUser, QStringLiteral("ZipLevel"), 2);
  if (zipLevel >= 0 && zipLevel < kZipLevelItems) {
    cbZipLevel->setCurrentIndex(zipLevel);
  } else {
    cbZipLevel->setCurrentIndex(-1);
    cbZipLevel->setEditText(QStringLiteral("Сжатие"));
  }
  // Qt always shows a page: an index other than 0 or 1 leaves the settings page showing.
  const int page = ini.ReadInteger(kUser, QStringLiteral("ActivePage"), 1);
  if (page == 0 || page == 1) PControl->setCurrentIndex(page);
  btnedNewName->setText(
      ini.ReadString(kUser, QStringLiteral("Pattern"), QStringLiteral("Фамилия Имя - Название")));
  btnedSort->setText(ini.ReadString(kUser, QStringLiteral("SortPattern"), QStringLiteral("Алфавит\\Автор")));
  chkTranslit->setChecked(ini.ReadBool(kUser, QStringLiteral("Translit"), false));
  chkTranslitDir->setChecked(ini.ReadBool(kUser, QStringLiteral("TranslitDir"), false));
  chkLast->setChecked(ini.ReadBool(kUser, QStringLiteral("SortLast"), true));
  chkFirst->setChecked(ini.ReadBool(kUser, QStringLiteral("SortFirst"), true));
  chkMiddle->setChecked(ini.ReadBool(kUser, QStringLiteral("SortMiddle"), false));
  chkGenRus->setChecked(ini.ReadBool(kUser, QStringLiteral("FullGenres"), true));

  SetButtons();
}

void TfrmMain::SaveSetting() {
  // An installed program's configuration folder may not exist yet; a failure shows in the write.
  (void)QDir().mkpath(QFileInfo(settingsFile_).path());
  IniFile ini(settingsFile_);

  if (isMinimized()) {
    // The placement of a minimized window says nothing about where it should open.
  } else if (isMaximized()) {
    ini.WriteInteger(kForm, QStringLiteral("WinState"), kStateMaximized);
  } else {
    const QRect outer = frameGeometry();
    ini.WriteInteger(kForm, QStringLiteral("Width"), outer.width());
    ini.WriteInteger(kForm, QStringLiteral("Height"), outer.height());
    ini.WriteInteger(kForm, QStringLiteral("Left"), outer.x());
    ini.WriteInteger(kForm, QStringLiteral("Top"), outer.y());
    ini.WriteInteger(kForm, QStringLiteral("WinState"), kStateNormal);
  }

  ini.WriteString(kUser, QStringLiteral("BadFileDir"), btnedBadDir->text());
  ini.WriteString(kUser, QStringLiteral("EndDir"), btnedEndDir->text());
  ini.WriteString(kUser, QStringLiteral("DoubleDir"), btnedDoubleDir->text());
  ini.WriteBool(kUser, QStringLiteral("Valid"), chkValid->isChecked());
  ini.WriteBool(kUser, QStringLiteral("Rename"), chkRename->isChecked());
  ini.WriteBool(kUser, QStringLiteral("Sort"), chkSort->isChecked());
  ini.WriteBool(kUser, QStringLiteral("Archive"), chkArchive->isChecked());
  ini.WriteBool(kUser, QStringLiteral("Convert"), chkConvert->isChecked());
  ini.WriteInteger(kUser, QStringLiteral("ZipLevel"), cbZipLevel->currentIndex());
  ini.WriteInteger(kUser, QStringLiteral("ActivePage"), PControl->currentIndex());
  ini.WriteString(kUser, QStringLiteral("Pattern"), btnedNewName->text());
  ini.WriteString(kUser, QStringLiteral("SortPattern"), btnedSort->text());
  ini.WriteBool(kUser, QStringLiteral("Translit"), chkTranslit->isChecked());
  ini.WriteBool(kUser, QStringLiteral("TranslitDir"), chkTranslitDir->isChecked());
  ini.WriteBool(kUser, QStringLiteral("SortLast"), chkLast->isChecked());
  ini.WriteBool(kUser, QStringLiteral("SortFirst"), chkFirst->isChecked());
  ini.WriteBool(kUser, QStringLiteral("SortMiddle"), chkMiddle->isChecked());
  ini.WriteBool(kUser, QStringLiteral("FullGenres"), chkGenRus->isChecked());
}
