#pragma once

#include <QMainWindow>
#include <QMargins>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "app/run_summary_dialog.h"
#include "engine/app_paths.h"
#include "engine/run.h"

class BookFileList;
class FolderTree;
class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

class SelectDirDialog;
class WindowFrame;
struct Setting;
class TZipWriter;
class ZipFilePrompt;

// The text of the compression box while no item is chosen.
inline constexpr char16_t kZipLevelPrompt[] = u"Сжатие";

// How much of the title bar's width stays on the desktop, at the least, for a stored placement.
inline constexpr int kPlacementGrip = 50;

// The outer placement that the window takes for the stored one (any int values) on a desktop of
// that virtual geometry: a size of 0 or less gets defaultSize; a size larger than the desktop is
// cut to it; a window whose title bar could not be reached is moved onto the desktop, no further
// than needed. Everything else stays as stored. An invalid desktop (no screen) limits nothing.
QRect PlacementOnDesktop(int left, int top, int width, int height, const QRect& desktop,
                         const QSize& defaultSize);

// Where the running executable finds its data and keeps its settings and work folders.
AppPaths DefaultAppPaths();

// The main window. Its controls are the only store of the options between the settings load at
// creation and the save at close; the run reads them through RunHost at the moment of use. While
// a run is in progress, nothing can start another run or change the list or the folders under it.
class TfrmMain : public QMainWindow, public RunHost {
  Q_OBJECT

 public:
  // Builds the window and loads paths.settingsFile into it (creating the default work folders
  // below paths.tmpPath); runs read fls/ below paths.dataPath.
  explicit TfrmMain(const AppPaths& paths = DefaultAppPaths(), QWidget* parent = nullptr);
  // A portable copy in appPath, which ends in "/".
  explicit TfrmMain(const QString& appPath, QWidget* parent = nullptr);
  ~TfrmMain() override;

  const QString& AppPath() const { return appPath_; }
  const QString& TmpPath() const { return tmpPath_; }
  bool Running() const { return running_; }

  // Reads setting.ini into the controls and creates the default work folders. Never throws: an
  // unreadable file gives the defaults.
  void LoadSetting();
  // Writes the controls into setting.ini. Throws ShelvioError (Engine) "Unable to write to <path>"; the
  // values before the failing one stay written.
  void SaveSetting();

  // Enables the start, cancel and refresh buttons on the files tab and disables them on the
  // settings tab; during a run start and refresh stay disabled.
  void SetButtons();
  // The run over the listed files; does nothing while a run is in progress. Errors are shown in
  // the error box.
  void btnStartClick();
  void btnCancelClick();
  // Reads the list's folder again and updates the count.
  void btnUpdateClick();
  // Updates the count after the list followed the tree.
  void DirectoryTreeChange();
  // The summary of the last run that touched a book, while it is open; null otherwise.
  RunSummaryDialog* RunSummary() const { return summary_; }
  // The folder picker for the work-folder field of tag 0, 1 or 2.
  void SetWorkDir(int tag);
  // The template editor for btnedNewName (tag 0) or btnedSort (tag 1).
  void ShowPatternForm(int tag);

  // RunHost over the controls.
  QString Text(TextOption option) override;
  bool Checked(CheckOption option) override;
  // What the controls hold, and the window's placement; what a save writes.
  SettingValues Options() override;
  void SetStatus(const QString& text) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void PumpMessages() override;
  bool CancelRequested() override;

  // Status strip
  QFrame* pnStatus = nullptr;
  QLabel* lblCount = nullptr;
  QProgressBar* Progress = nullptr;
  QLabel* lblStatus = nullptr;
  // Pages
  QTabWidget* PControl = nullptr;
  QWidget* tabFiles = nullptr;
  QWidget* tabSetting = nullptr;
  QLabel* Panel2 = nullptr;
  FolderTree* DirectoryTree = nullptr;
  BookFileList* FileListBox = nullptr;
  QFrame* pnSelectAction = nullptr;
  QCheckBox* chkValid = nullptr;
  QCheckBox* chkRename = nullptr;
  QCheckBox* chkSort = nullptr;
  QCheckBox* chkConvert = nullptr;
  QCheckBox* chkArchive = nullptr;
  QGroupBox* gbWorkDir = nullptr;
  QLineEdit* btnedBadDir = nullptr;
  QLineEdit* btnedEndDir = nullptr;
  QLineEdit* btnedDoubleDir = nullptr;
  QGroupBox* gbTemplate = nullptr;
  QLineEdit* btnedNewName = nullptr;
  QLineEdit* btnedSort = nullptr;
  QCheckBox* chkTranslit = nullptr;
  QCheckBox* chkTranslitDir = nullptr;
  QCheckBox* chkGenRus = nullptr;
  QCheckBox* chkZipInput = nullptr;
  QGroupBox* gbFIO = nullptr;
  QCheckBox* chkLast = nullptr;
  QCheckBox* chkFirst = nullptr;
  QCheckBox* chkMiddle = nullptr;
  QGroupBox* gbArchive = nullptr;
  QComboBox* cbZipLevel = nullptr;
  QLabel* lblCopyLeft = nullptr;
  QLabel* lblURL = nullptr;
  // Button strip
  QFrame* pnButton = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnCancel = nullptr;
  QPushButton* btnUpdate = nullptr;
  QPushButton* btnExit = nullptr;
  // The work-folder picker shared by the three fields.
  SelectDirDialog* dlgSelectDir = nullptr;
  // The archiver of every run; its per-file failures are asked in a message box.
  std::unique_ptr<TZipWriter> Zip;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool event(QEvent* event) override;

 private:
  // A control that holds a setting of the file between the load and the save.
  struct SettingControl {
    const Setting& setting;
    QWidget* control;
  };
  std::vector<SettingControl> SettingControls() const;
  QWidget* ControlOf(const Setting& setting) const;

  void BuildStatusStrip();
  void BuildFilesPage();
  void BuildSettingsPage();
  void BuildButtonStrip();
  QLineEdit* AddFolderRow(class QGridLayout* grid, int row, const QString& caption, int tag);
  QLineEdit* AddTemplateRow(class QGridLayout* grid, int row, const QString& caption, int tag);
  void SetRunning(bool running);
  // Opens the summary of the run whose record is lastRecord_, unless it holds no book.
  void ShowRunSummary();
  // The frame's widths once known: as the window manager states them under X11, as Qt sees them
  // elsewhere.
  std::optional<QMargins> FrameMargins() const;
  // The placement that the settings file holds: the window with its frame.
  QRect OuterGeometry() const;
  void ApplyOuterSize();
  void UpdateCount();

  // The folder that holds fls/.
  QString appPath_;
  QString tmpPath_;
  QString settingsFile_;
  std::unique_ptr<TXSDValidator> validator_;
  std::unique_ptr<ZipFilePrompt> zipPrompt_;
  bool cancel_ = false;
  bool running_ = false;
  bool closeAfterRun_ = false;
  QString lastRecord_;  // the record of the last run; empty when it left none
  QPointer<RunSummaryDialog> summary_;
  bool shownOnce_ = false;
  WindowFrame* frame_ = nullptr;
  // The outer placement from the settings, applied once the window manager has framed the window
  // (it stays pending where none does: the placement set at loading is then the outer one).
  QRect pendingOuterGeometry_;
};
