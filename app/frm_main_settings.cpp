// Loading and saving the window's controls: the settings file, beside the executable or in the
// user's configuration folder.

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTabWidget>
#include <algorithm>

#include "app/frm_main.h"
#include "engine/file_ops.h"
#include "engine/ini_file.h"
#include "engine/settings.h"

namespace {

// The file's own numbering of the window state.
constexpr int kStateMaximized = 0;
constexpr int kStateNormal = 1;

void Show(QWidget* control, const Setting& setting, const SettingValues& values) {
  if (auto* field = qobject_cast<QLineEdit*>(control)) {
    field->setText(values.Text(setting));
  } else if (auto* box = qobject_cast<QCheckBox*>(control)) {
    box->setChecked(values.Checked(setting));
  } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
    // A value that names no item leaves none chosen: the box shows its placeholder and saves -1.
    const int index = values.Number(setting);
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
  } else if (auto* pages = qobject_cast<QTabWidget*>(control)) {
    // Qt always shows a page: an index out of range leaves the page that shows.
    const int index = values.Number(setting);
    if (index >= 0 && index < pages->count()) pages->setCurrentIndex(index);
  }
}

void Take(const QWidget* control, const Setting& setting, SettingValues& values) {
  if (auto* field = qobject_cast<const QLineEdit*>(control)) {
    values.SetText(setting, field->text());
  } else if (auto* box = qobject_cast<const QCheckBox*>(control)) {
    values.SetChecked(setting, box->isChecked());
  } else if (auto* combo = qobject_cast<const QComboBox*>(control)) {
    values.SetNumber(setting, combo->currentIndex());
  } else if (auto* pages = qobject_cast<const QTabWidget*>(control)) {
    values.SetNumber(setting, pages->currentIndex());
  }
}

}  // namespace

QRect PlacementOnDesktop(int left, int top, int width, int height, const QRect& desktop,
                         const QSize& defaultSize) {
  // A size that is no size (hand-edited, or a file from elsewhere) gets the default.
  if (width <= 0) width = defaultSize.width();
  if (height <= 0) height = defaultSize.height();
  if (!desktop.isValid()) return {left, top, width, height};
  // A window larger than the desktop cannot be seen whole, and its pixels alone may take gigabytes.
  width = std::min(width, desktop.width());
  height = std::min(height, desktop.height());
  // Kept where the title bar can be taken with the mouse: its top on the desktop and a grip of it
  // across; a window placed further out is brought in only as far as needed. 64-bit sums: the file
  // may hold any int.
  const qint64 x = left;
  const qint64 y = top;
  const bool reachable = y >= desktop.top() && y <= qint64(desktop.bottom()) - kPlacementGrip &&
                         x + width - 1 >= qint64(desktop.left()) + kPlacementGrip &&
                         x <= qint64(desktop.right()) - kPlacementGrip;
  if (reachable) return {left, top, width, height};
  return {int(std::clamp<qint64>(x, desktop.left(), qint64(desktop.right()) + 1 - width)),
          int(std::clamp<qint64>(y, desktop.top(), qint64(desktop.bottom()) + 1 - height)), width, height};
}

std::vector<TfrmMain::SettingControl> TfrmMain::SettingControls() const {
  return {
      {SettingNamed("BadFileDir"), btnedBadDir},   {SettingNamed("EndDir"), btnedEndDir},
      {SettingNamed("DoubleDir"), btnedDoubleDir}, {SettingNamed("Valid"), chkValid},
      {SettingNamed("Rename"), chkRename},         {SettingNamed("Sort"), chkSort},
      {SettingNamed("Archive"), chkArchive},       {SettingNamed("Convert"), chkConvert},
      {SettingNamed("ZipLevel"), cbZipLevel},      {SettingNamed("ActivePage"), PControl},
      {SettingNamed("Pattern"), btnedNewName},     {SettingNamed("SortPattern"), btnedSort},
      {SettingNamed("Translit"), chkTranslit},     {SettingNamed("TranslitDir"), chkTranslitDir},
      {SettingNamed("SortLast"), chkLast},         {SettingNamed("SortFirst"), chkFirst},
      {SettingNamed("SortMiddle"), chkMiddle},     {SettingNamed("FullGenres"), chkGenRus},
      {SettingNamed("ZipInput"), chkZipInput},
  };
}

QWidget* TfrmMain::ControlOf(const Setting& setting) const {
  for (const SettingControl& bound : SettingControls()) {
    if (&bound.setting == &setting) return bound.control;
  }
  return nullptr;
}

void TfrmMain::LoadSetting() {
  const IniFile ini(settingsFile_);
  const SettingValues values = ReadSettings(ini, tmpPath_);

  const int state = values.Number(SettingNamed("WinState"));
  if (state == kStateMaximized) {
    setWindowState(Qt::WindowMaximized);
  } else if (state == kStateNormal) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect desktop = screen ? screen->virtualGeometry() : QRect();
    const QRect outer =
        PlacementOnDesktop(values.Number(SettingNamed("Left")), values.Number(SettingNamed("Top")),
                           values.Number(SettingNamed("Width")), values.Number(SettingNamed("Height")),
                           desktop, QSize(SettingNamed("Width").number, SettingNamed("Height").number));
    // The file holds the outer placement; the frame is taken off once it is known.
    pendingOuterGeometry_ = outer;
    resize(outer.size());
    move(outer.topLeft());
    setWindowState(Qt::WindowNoState);
  }

  DiskFiles disk;
  CreateDefaultWorkFolders(tmpPath_, disk);
  for (const SettingControl& bound : SettingControls()) Show(bound.control, bound.setting, values);

  SetButtons();
}

void TfrmMain::SaveSetting() {
  // An installed program's configuration folder may not exist yet; a failure shows in the write.
  // By the name's bytes: a home whose name is not UTF-8 is still the home.
  if (const qsizetype slash = settingsFile_.lastIndexOf(u'/'); slash > 0)
    (void)ForceDirectories(settingsFile_.left(slash));
  IniFile ini(settingsFile_);
  WriteSettings(ini, Options());
}

SettingValues TfrmMain::Options() {
  SettingValues values;
  if (isMinimized()) {
    // The placement of a minimized window says nothing about where it should open.
  } else if (isMaximized()) {
    values.SetNumber(SettingNamed("WinState"), kStateMaximized);
  } else {
    const QRect outer = OuterGeometry();
    values.SetNumber(SettingNamed("Width"), outer.width());
    values.SetNumber(SettingNamed("Height"), outer.height());
    values.SetNumber(SettingNamed("Left"), outer.x());
    values.SetNumber(SettingNamed("Top"), outer.y());
    values.SetNumber(SettingNamed("WinState"), kStateNormal);
  }

  for (const SettingControl& bound : SettingControls()) Take(bound.control, bound.setting, values);
  return values;
}
