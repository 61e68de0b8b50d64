#include "app/frm_main.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "app/book_file_list.h"
#include "app/error_box.h"
#include "app/folder_tree.h"
#include "app/run_summary_dialog.h"
#include "app/select_dir_dialog.h"
#include "app/window_frame.h"
#include "app/zip_prompt_box.h"
#include "base/native_name.h"
#include "dialogs/frm_name.h"
#include "dialogs/frm_sort.h"
#include "dialogs/theme.h"
#include "engine/archive_step.h"
#include "engine/file_ops.h"
#include "engine/run_record.h"
#include "engine/settings.h"
#include "validation/xsd_validator.h"

namespace {

constexpr int kDesignWidth = 880;
constexpr int kDesignHeight = 688;
constexpr int kStatusStripHeight = 70;
constexpr int kButtonStripHeight = 41;
constexpr int kHeaderHeight = 30;
constexpr int kTreeWidth = 313;
constexpr int kRowLabelWidth = 181;
constexpr int kZipLevelWidth = 183;
constexpr int kButtonWidth = 89;
constexpr int kButtonGap = 12;
constexpr int kUpdateButtonLeft = 320;
constexpr int kStripMargin = 8;

const char kSiteUrl[] = "https://shelvio.example.org/";
const char16_t kCountCaption[] = u"Файлов:  ";

QString Css(const char* rule, const char* a = "", const char* b = "") {
  return QString::fromLatin1(rule).arg(QLatin1String(a), QLatin1String(b));
}

}  // namespace

AppPaths DefaultAppPaths() { return ResolveAppPaths(QCoreApplication::applicationDirPath()); }

TfrmMain::TfrmMain(const QString& appPath, QWidget* parent) : TfrmMain(PortableAppPaths(appPath), parent) {}

TfrmMain::TfrmMain(const AppPaths& paths, QWidget* parent)
    : QMainWindow(parent),
      appPath_(paths.dataPath),
      tmpPath_(paths.tmpPath),
      settingsFile_(paths.settingsFile) {
  setWindowTitle(QString::fromUtf16(kProgramTitle));
  setWindowIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
  ApplyTheme(this);
  setStyleSheet(
      GroovedStripRule(QStringLiteral("QFrame#pnStatus")) +
      GroovedStripRule(QStringLiteral("QFrame#pnButton")) + DisabledTextRule() +
      GradientRule(QStringLiteral("QGroupBox#gbWorkDir, QGroupBox#gbTemplate, QGroupBox#gbArchive")) +
      Css("QGroupBox#gbWorkDir, QGroupBox#gbTemplate, QGroupBox#gbArchive, QGroupBox#gbFIO"
          " { border: 1px solid %2; border-radius: 3px; margin-top: 7px; padding-top: 5px; }\n"
          "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }\n"
          "QGroupBox#gbFIO { background: transparent; }\n"
          "QWidget#tabFiles, QWidget#tabSetting, QFrame#pnSelectAction { background: %1; }\n"
          "QTabWidget::pane { background: %1; border: 1px solid %2; }\n"
          "QTabBar::tab { background: %2; height: 19px; padding: 0 12px; border: 1px solid %1; }\n"
          "QTabBar::tab:selected { background: %1; }\n"
          "QProgressBar { background: %1; border: 1px solid %2; text-align: center; }\n"
          "QProgressBar::chunk { background: %2; }\n"
          "QLabel#lblCount, QLabel#lblStatus { background: transparent; }\n",
          kThemeLight, kThemeMedium));

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildStatusStrip();
  PControl = new QTabWidget(central);
  PControl->setObjectName(QStringLiteral("PControl"));
  BuildFilesPage();
  BuildSettingsPage();
  BuildButtonStrip();
  layout->addWidget(pnStatus);
  layout->addWidget(PControl, 1);
  layout->addWidget(pnButton);
  setCentralWidget(central);
  resize(kDesignWidth, kDesignHeight);

  frame_ = new WindowFrame(this);
  connect(frame_, &WindowFrame::Changed, this, [this] { ApplyOuterSize(); });
  dlgSelectDir = new SelectDirDialog(this);
  Zip = std::make_unique<TZipWriter>();
  zipPrompt_ = std::make_unique<ZipPromptBox>(this);
  Zip->SetPrompt(zipPrompt_.get());
  // The choice applies from the next book on, like every other option of the settings tab.
  connect(cbZipLevel, &QComboBox::currentIndexChanged, this,
          [this](int index) { Zip->SetCompressionLevel(CompressionLevelOfChoice(index)); });
  // The design shows the settings page; the settings may choose another.
  PControl->setCurrentIndex(1);

  connect(PControl, &QTabWidget::currentChanged, this, [this] { Guarded(this, [this] { SetButtons(); }); });
  connect(btnStart, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnStartClick(); }); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnCancelClick(); }); });
  connect(btnUpdate, &QPushButton::clicked, this, [this] { Guarded(this, [this] { btnUpdateClick(); }); });
  connect(btnExit, &QPushButton::clicked, this, [this] { Guarded(this, [this] { close(); }); });
  connect(DirectoryTree, &FolderTree::FolderChanged, this, [this](const QString& folder) {
    Guarded(this, [&] {
      FileListBox->SetFolder(folder);
      DirectoryTreeChange();
    });
  });
  // The count label keeps its number until the next refresh, as after a run.
  connect(chkZipInput, &QCheckBox::toggled, this,
          [this](bool on) { Guarded(this, [&] { FileListBox->SetZippedBooks(on); }); });
  connect(lblURL, &QLabel::linkActivated, this, [this](const QString& link) {
    Guarded(this, [&] {
      QDesktopServices::openUrl(QUrl(link));
      lblURL->setText(QStringLiteral("<a href=\"%1\" style=\"color: purple;\">Посетить сайт программы</a>")
                          .arg(QLatin1String(kSiteUrl)));
    });
  });

  LoadSetting();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::BuildStatusStrip() {
  pnStatus = new QFrame;
  pnStatus->setObjectName(QStringLiteral("pnStatus"));
  pnStatus->setFixedHeight(kStatusStripHeight);
  auto* layout = new QVBoxLayout(pnStatus);
  layout->setContentsMargins(kStripMargin, 3, kStripMargin, 3);
  layout->setSpacing(2);
  lblCount = new QLabel(QString::fromUtf16(kCountCaption), pnStatus);
  lblCount->setObjectName(QStringLiteral("lblCount"));
  Progress = new QProgressBar(pnStatus);
  Progress->setObjectName(QStringLiteral("Progress"));
  Progress->setRange(0, 100);
  Progress->setValue(0);
  Progress->setFormat(QStringLiteral("%p%"));
  Progress->setTextVisible(true);
  lblStatus = new QLabel(QString::fromUtf16(kIdleStatus), pnStatus);
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  layout->addWidget(lblCount);
  layout->addWidget(Progress, 1);
  layout->addWidget(lblStatus);
}

void TfrmMain::BuildFilesPage() {
  tabFiles = new QWidget;
  tabFiles->setObjectName(QStringLiteral("tabFiles"));
  auto* layout = new QVBoxLayout(tabFiles);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Panel2 = new QLabel(QStringLiteral("Выберите папку с файлами *.fb2"), tabFiles);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  Panel2->setFixedHeight(kHeaderHeight);
  Panel2->setAlignment(Qt::AlignCenter);
  QFont headerFont = font();
  headerFont.setPixelSize(13);
  headerFont.setBold(true);
  Panel2->setFont(headerFont);
  Panel2->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(kThemeDarkRed)));

  auto* splitter = new QSplitter(Qt::Horizontal, tabFiles);
  DirectoryTree = new FolderTree(splitter);
  DirectoryTree->setObjectName(QStringLiteral("DirectoryTree"));
  FileListBox = new BookFileList(splitter);
  FileListBox->setObjectName(QStringLiteral("FileListBox"));
  splitter->addWidget(DirectoryTree);
  splitter->addWidget(FileListBox);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({kTreeWidth, kDesignWidth - kTreeWidth});

  layout->addWidget(Panel2);
  layout->addWidget(splitter, 1);
  PControl->addTab(tabFiles, QStringLiteral("Файлы"));
}

QLineEdit* TfrmMain::AddFolderRow(QGridLayout* grid, int row, const QString& caption, int tag) {
  auto* label = new QLabel(caption);
  label->setMinimumWidth(kRowLabelWidth);
  auto* edit = new QLineEdit;
  QAction* browse =
      AddTrailingButton(edit, style()->standardIcon(QStyle::SP_DirOpenIcon), QStringLiteral("Выбрать папку"));
  connect(browse, &QAction::triggered, this, [this, tag] { Guarded(this, [&] { SetWorkDir(tag); }); });
  grid->addWidget(label, row, 0);
  grid->addWidget(edit, row, 1);
  return edit;
}

QLineEdit* TfrmMain::AddTemplateRow(QGridLayout* grid, int row, const QString& caption, int tag) {
  auto* label = new QLabel(caption);
  label->setMinimumWidth(kRowLabelWidth);
  auto* edit = new QLineEdit;
  QAction* browse = AddTrailingButton(edit, style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                                      QStringLiteral("Изменить шаблон"));
  connect(browse, &QAction::triggered, this, [this, tag] { Guarded(this, [&] { ShowPatternForm(tag); }); });
  grid->addWidget(label, row, 0);
  grid->addWidget(edit, row, 1);
  return edit;
}

void TfrmMain::BuildSettingsPage() {
  tabSetting = new QWidget;
  tabSetting->setObjectName(QStringLiteral("tabSetting"));
  auto* layout = new QVBoxLayout(tabSetting);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(6);

  pnSelectAction = new QFrame(tabSetting);
  pnSelectAction->setObjectName(QStringLiteral("pnSelectAction"));
  pnSelectAction->setFixedHeight(30);
  auto* actions = new QHBoxLayout(pnSelectAction);
  actions->setContentsMargins(4, 0, 4, 0);
  chkValid = new QCheckBox(QStringLiteral("Валидация"));
  chkValid->setToolTip(
      QStringLiteral("Отмечено: книга, не соответствующая схеме FictionBook, отправляется в папку для "
                     "неправильных файлов.\nСнято: такая книга сортируется как правильная, если она читается "
                     "(правильный XML с корнем FictionBook) и её описание можно прочесть;\nв папку для "
                     "неправильных файлов попадают только нечитаемые книги."));
  chkRename = new QCheckBox(QStringLiteral("Переименование"));
  chkSort = new QCheckBox(QStringLiteral("Сортировка"));
  chkConvert = new QCheckBox(QStringLiteral("Конвертация"));
  chkArchive = new QCheckBox(QStringLiteral("Архивирование"));
  chkZipInput = new QCheckBox(QStringLiteral("Обрабатывать архивы .fb2.zip"));
  chkZipInput->setToolTip(QStringLiteral(
      "Архив .fb2.zip с одной книгой внутри обрабатывается как книга: проверяется без распаковки "
      "на диск,\nпри архивировании переносится в новый архив без пересжатия, иначе распаковывается."));
  for (QCheckBox* box : {chkValid, chkRename, chkSort, chkConvert, chkArchive, chkZipInput})
    actions->addWidget(box);
  actions->addStretch();
  // Stored and restored, never shown.
  chkConvert->setVisible(false);

  gbWorkDir = new QGroupBox(QStringLiteral("Рабочие папки"), tabSetting);
  gbWorkDir->setObjectName(QStringLiteral("gbWorkDir"));
  gbWorkDir->setFixedHeight(106);
  auto* dirs = new QGridLayout(gbWorkDir);
  btnedBadDir = AddFolderRow(dirs, 0, QStringLiteral("Папка для невалидных файлов:  "), 0);
  btnedEndDir = AddFolderRow(dirs, 1, QStringLiteral("Папка для обработанных файлов:  "), 1);
  btnedDoubleDir = AddFolderRow(dirs, 2, QStringLiteral("Папка для повторных файлов:  "), 2);

  gbTemplate = new QGroupBox(QStringLiteral("Шаблоны"), tabSetting);
  gbTemplate->setObjectName(QStringLiteral("gbTemplate"));
  gbTemplate->setFixedHeight(198);
  auto* templates = new QVBoxLayout(gbTemplate);
  templates->setSpacing(3);
  auto* templateRows = new QGridLayout;
  btnedNewName = AddTemplateRow(templateRows, 0, QStringLiteral("Новое имя файла:  "), 0);
  btnedSort = AddTemplateRow(templateRows, 1, QStringLiteral("Порядок сортировки:  "), 1);
  templates->addLayout(templateRows);
  chkTranslit = new QCheckBox(QStringLiteral("Транслитерация имён файлов"));
  chkTranslitDir = new QCheckBox(QStringLiteral("Транслитерация названий папок"));
  chkGenRus = new QCheckBox(QStringLiteral("Полные названия жанров"));
  for (QCheckBox* box : {chkTranslit, chkTranslitDir, chkGenRus}) templates->addWidget(box);
  gbFIO = new QGroupBox(QStringLiteral("ФИО автора в названии папки при сортировке"));
  gbFIO->setObjectName(QStringLiteral("gbFIO"));
  auto* names = new QHBoxLayout(gbFIO);
  chkLast = new QCheckBox(QStringLiteral("Фамилия"));
  chkFirst = new QCheckBox(QStringLiteral("Имя"));
  chkMiddle = new QCheckBox(QStringLiteral("Отчество"));
  for (QCheckBox* box : {chkLast, chkFirst, chkMiddle}) names->addWidget(box);
  names->addStretch();
  templates->addWidget(gbFIO, 1);

  gbArchive = new QGroupBox(QStringLiteral("Архивирование"), tabSetting);
  gbArchive->setObjectName(QStringLiteral("gbArchive"));
  gbArchive->setFixedHeight(50);
  auto* archive = new QHBoxLayout(gbArchive);
  archive->setContentsMargins(9, 2, 9, 2);
  auto* levelLabel = new QLabel(QStringLiteral("Уровень сжатия:  "));
  levelLabel->setMinimumWidth(kRowLabelWidth);
  // Not editable: a typed text would become a fifth item that no compression stands for.
  cbZipLevel = new QComboBox;
  cbZipLevel->setFixedWidth(kZipLevelWidth);
  cbZipLevel->addItems({QStringLiteral("Быстрое"), QStringLiteral("Максимальное"),
                        QStringLiteral("Нормальное"), QStringLiteral("Без сжатия")});
  cbZipLevel->setPlaceholderText(QString::fromUtf16(kZipLevelPrompt));
  cbZipLevel->setCurrentIndex(-1);
  archive->addWidget(levelLabel);
  archive->addWidget(cbZipLevel);
  archive->addStretch();

  lblCopyLeft = new QLabel(QStringLiteral("© 2026 Команда Shelvio"), tabSetting);
  lblCopyLeft->setAlignment(Qt::AlignCenter);
  lblCopyLeft->setStyleSheet(QStringLiteral("color: #7A8699;"));
  // A light shadow below and to the right makes the grey text look engraved.
  auto* engraved = new QGraphicsDropShadowEffect(lblCopyLeft);
  engraved->setColor(Qt::white);
  engraved->setOffset(1, 1);
  engraved->setBlurRadius(0);
  lblCopyLeft->setGraphicsEffect(engraved);
  lblURL = new QLabel(tabSetting);
  lblURL->setAlignment(Qt::AlignCenter);
  lblURL->setText(QStringLiteral("<a href=\"%1\">Посетить сайт программы</a>").arg(QLatin1String(kSiteUrl)));
  lblURL->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  lblURL->setCursor(Qt::PointingHandCursor);

  layout->addWidget(pnSelectAction);
  layout->addWidget(gbWorkDir);
  layout->addWidget(gbTemplate);
  layout->addWidget(gbArchive);
  layout->addStretch(1);
  layout->addWidget(lblCopyLeft);
  layout->addWidget(lblURL);
  PControl->addTab(tabSetting, QStringLiteral("Настройки"));
}

void TfrmMain::BuildButtonStrip() {
  pnButton = new QFrame;
  pnButton->setObjectName(QStringLiteral("pnButton"));
  pnButton->setFixedHeight(kButtonStripHeight);
  auto* layout = new QHBoxLayout(pnButton);
  layout->setContentsMargins(kStripMargin, 4, kStripMargin, 4);
  layout->setSpacing(0);
  btnStart = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"));
  btnCancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Отмена"));
  btnUpdate = new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Обновить"));
  btnExit = new QPushButton(QStringLiteral("Выход"));
  for (QPushButton* button : {btnStart, btnCancel, btnUpdate, btnExit}) {
    button->setFixedWidth(kButtonWidth);
    button->setAutoDefault(false);
  }
  layout->addWidget(btnStart);
  layout->addSpacing(kButtonGap);
  layout->addWidget(btnCancel);
  // The refresh button stands 320 pixels from the strip's left edge.
  layout->addSpacing(kUpdateButtonLeft - kStripMargin - 2 * kButtonWidth - kButtonGap);
  layout->addWidget(btnUpdate);
  layout->addStretch(1);
  layout->addWidget(btnExit);
}

void TfrmMain::SetButtons() {
  const int page = PControl->currentIndex();
  if (page == 0) {
    btnStart->setEnabled(!running_);
    btnCancel->setEnabled(true);
    btnUpdate->setEnabled(!running_);
  } else if (page == 1) {
    btnStart->setEnabled(false);
    // A run can be cancelled from either tab.
    btnCancel->setEnabled(running_);
    btnUpdate->setEnabled(false);
  }
}

void TfrmMain::SetRunning(bool running) {
  running_ = running;
  DirectoryTree->setEnabled(!running);
  gbWorkDir->setEnabled(!running);
  btnedNewName->setEnabled(!running);
  btnedSort->setEnabled(!running);
  // It re-reads the list, which must not change under a run.
  chkZipInput->setEnabled(!running);
  SetButtons();
}

void TfrmMain::btnStartClick() {
  // A click that arrives while the run pumps events must not start a run inside it.
  if (running_) return;
  // A run without a record cannot be undone: the user learns it before the first book and decides.
  if (const QString problem = RecordFolderProblem(); !problem.isEmpty()) {
    // The question first, in the user's words; the system's own text below it, for whoever
    // mends the folder.
    QMessageBox box(QMessageBox::Question, QString::fromUtf16(kProgramTitle),
                    QStringLiteral("Журнал сортировки не может быть записан, и отменить её будет нельзя. "
                                   "Начать сортировку без журнала?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    const QString folder = RunsFolder();
    box.setInformativeText(QStringLiteral("Папка журналов: %1\nПричина: %2")
                               .arg(folder.isEmpty() ? QStringLiteral("не известна") : folder, problem));
    if (box.exec() != QMessageBox::Yes) return;
  }
  cancel_ = false;
  validator_ = std::make_unique<TXSDValidator>();
  SetRunning(true);
  bool loaded = true;
  QString schemaError;
  QString failure;
  try {
    // The items are bare names: the listed folder must be the current directory.
    (void)SetCurrentDirectory(FileListBox->Folder());
    DiskFiles disk;
    ZipArchiveStep archive(*Zip);
    // The record of the run, for the person who reads it and for an undo.
    RecordingHost recording(*this, FileListBox->Folder(), QStringLiteral("shelvio"));
    try {
      loaded = StartRun(recording, FileListBox->Items(), *validator_, appPath_, disk, &archive, &schemaError);
      recording.Finish(cancel_ ? QStringLiteral("cancelled") : QStringLiteral("done"));
    } catch (...) {
      failure = CurrentErrorMessage();
      recording.Finish(QStringLiteral("error: ") + failure);
    }
    lastRecord_ = recording.Path();
  } catch (...) {
    failure = CurrentErrorMessage();
  }
  SetRunning(false);
  if (!failure.isEmpty()) {
    ShowErrorBox(this, failure);
  } else if (!loaded) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Ошибка"), schemaError + u'\n', QMessageBox::Ok,
                    this);
    box.exec();
  }
  // The books before an error have gone: the list must not offer them again.
  FileListBox->ReadFolder();
  if (!closeAfterRun_) ShowRunSummary();
  if (closeAfterRun_) {
    closeAfterRun_ = false;
    close();
  }
}

void TfrmMain::ShowRunSummary() {
  RunRecord record;
  if (lastRecord_.isEmpty() || !ReadRunRecord(lastRecord_, &record, nullptr) || record.books.isEmpty())
    return;
  if (summary_) summary_->close();
  summary_ = new RunSummaryDialog(record, this);
  summary_->setAttribute(Qt::WA_DeleteOnClose);
  // The undone books are back in the listed folder: the list shows them again.
  connect(summary_, &RunSummaryDialog::RunUndone, this, [this] {
    FileListBox->ReadFolder();
    UpdateCount();
  });
  summary_->show();
}

void TfrmMain::btnCancelClick() { cancel_ = true; }

void TfrmMain::btnUpdateClick() {
  FileListBox->ReadFolder();
  UpdateCount();
}

void TfrmMain::DirectoryTreeChange() { UpdateCount(); }

void TfrmMain::UpdateCount() {
  lblCount->setText(QString::fromUtf16(kCountCaption) + QString::number(FileListBox->count()));
}

void TfrmMain::SetWorkDir(int tag) {
  QLineEdit* field = nullptr;
  QString caption;
  switch (tag) {
    case 0:
      field = btnedBadDir;
      caption = QStringLiteral("Папка для невалидных файлов");
      break;
    case 1:
      field = btnedEndDir;
      caption = QStringLiteral("Папка для обработанных файлов");
      break;
    case 2:
      field = btnedDoubleDir;
      caption = QStringLiteral("Папка для дублей файлов");
      break;
    default:
      return;
  }
  dlgSelectDir->setWindowTitle(caption);
  QString folder;
  if (dlgSelectDir->Execute(&folder)) field->setText(IncludeTrailingDelimiter(folder));
}

void TfrmMain::ShowPatternForm(int tag) {
  std::unique_ptr<TemplateDialog> dialog;
  QLineEdit* field = nullptr;
  if (tag == 0) {
    dialog = std::make_unique<TfrmName>(this);
    field = btnedNewName;
  } else if (tag == 1) {
    dialog = std::make_unique<TfrmSort>(this);
    field = btnedSort;
  } else {
    return;
  }
  dialog->SetTemplate(field->text());
  if (dialog->exec() == QDialog::Accepted) field->setText(dialog->Template());
}

QString TfrmMain::Text(TextOption option) {
  return static_cast<const QLineEdit*>(ControlOf(SettingOf(option)))->text();
}

bool TfrmMain::Checked(CheckOption option) {
  return static_cast<const QCheckBox*>(ControlOf(SettingOf(option)))->isChecked();
}

void TfrmMain::SetStatus(const QString& text) { lblStatus->setText(DisplayName(text)); }

void TfrmMain::SetProgressMax(int max) {
  // A range of 0 to 0 would turn the meter into a busy indicator.
  Progress->setRange(0, std::max(max, 1));
}

void TfrmMain::SetProgress(int position) { Progress->setValue(position); }

void TfrmMain::PumpMessages() { QCoreApplication::processEvents(); }

bool TfrmMain::CancelRequested() { return cancel_; }

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (running_) {
    // The run finishes its current book, then btnStartClick closes the window again.
    cancel_ = true;
    closeAfterRun_ = true;
    event->ignore();
    return;
  }
  QString failure;
  try {
    SaveSetting();
    event->accept();
    return;
  } catch (...) {
    failure = CurrentErrorMessage();
  }
  ShowErrorBox(this, failure);
  const auto answer = QMessageBox::question(
      this, QString::fromUtf16(kProgramTitle),
      QStringLiteral("Настройки не сохранены. Закрыть программу без сохранения настроек?"),
      QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  if (answer == QMessageBox::Yes)
    event->accept();
  else
    event->ignore();
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  DirectoryTree->SelectStartFolder();
  frame_->Watch();
}

bool TfrmMain::event(QEvent* event) {
  const bool result = QMainWindow::event(event);
  // A window maximized before its frame is known keeps its state; elsewhere than under X11 Qt
  // learns the frame from the move or resize that follows the framing.
  if (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
      event->type() == QEvent::WindowStateChange)
    ApplyOuterSize();
  return result;
}

std::optional<QMargins> TfrmMain::FrameMargins() const {
  if (frame_->Watching()) return frame_->Margins();
  const QRect outer = frameGeometry();
  const QRect inner = geometry();
  const QMargins margins(inner.left() - outer.left(), inner.top() - outer.top(),
                         outer.right() - inner.right(), outer.bottom() - inner.bottom());
  if (margins.isNull()) return std::nullopt;
  return margins;
}

QRect TfrmMain::OuterGeometry() const {
  const std::optional<QMargins> frame = FrameMargins();
  return frame ? geometry().marginsAdded(*frame) : frameGeometry();
}

void TfrmMain::ApplyOuterSize() {
  if (!pendingOuterGeometry_.isValid()) return;
  if (windowState() != Qt::WindowNoState) {
    pendingOuterGeometry_ = QRect();
    return;
  }
  // Without a frame yet the placement set at loading is the outer one already. Taking a frame off
  // before it is known would make the window grow by its frame at every start, or move it.
  const std::optional<QMargins> frame = FrameMargins();
  if (!frame) return;
  const QRect outer = pendingOuterGeometry_;
  pendingOuterGeometry_ = QRect();
  // The client's rectangle inside the stored outer one: the frame's corner lands on the stored
  // corner even where the size stays at the window's minimum.
  setGeometry(outer.marginsRemoved(*frame));
}
