// Runs started from the window on real books in temporary folders, with the real schema.

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <algorithm>
#include <cmath>
#include <functional>

#include "app/book_file_list.h"
#include "app/folder_tree.h"
#include "app/frm_main.h"
#include "tests/support/zip_level.h"
#include "window_test_support.h"

namespace {

// The window with a hook in its message pump: the moment at which the user's clicks reach a run.
class PumpedWindow : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  std::function<void(int)> onPump;
  int pumps = 0;

  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump(pumps);
    TfrmMain::PumpMessages();
  }
};

// A window over a folder of books, with work type 0 and no archive, on the files tab.
struct RunFixture {
  TempApp app;
  QTemporaryDir books;
  QString folder = QDir(books.path()).canonicalPath();

  void Write(const QString& name, const QByteArray& content) {
    TempApp::WriteFile(books.filePath(name), content);
  }
  QString Tmp(const QString& path) const { return app.Path() + "tmp/" + path; }

  void Prepare(TfrmMain& window) {
    window.chkRename->setChecked(false);
    window.chkSort->setChecked(false);
    window.chkArchive->setChecked(false);
    window.PControl->setCurrentIndex(0);
    ASSERT_TRUE(window.DirectoryTree->SelectFolder(folder));
  }
};

// Catches a run that misroutes books, or a window that does not return to its idle state.
TEST(RunInWindow, MovesValidAndInvalidBooksThenShowsTheIdleState) {
  RunFixture f;
  f.Write("good.fb2", ValidBook());
  f.Write("broken.fb2", "<FictionBook>");
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  EXPECT_EQ(window.lblCount->text(), QStringLiteral("Файлов:  2"));

  window.btnStart->click();

  EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/good.fb2")));
  EXPECT_TRUE(QFileInfo::exists(f.Tmp("bad/broken.fb2")));
  EXPECT_EQ(window.FileListBox->count(), 0);
  // The count keeps the number from before the run until the next refresh.
  EXPECT_EQ(window.lblCount->text(), QStringLiteral("Файлов:  2"));
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Ждём..."));
  EXPECT_EQ(window.Progress->value(), 0);
}

// The "Валидация" box decides what a book the schema rejects becomes; a book that does not load
// is set aside either way.
TEST(RunInWindow, ValidationBoxChoosesBetweenStrictAndLenient) {
  for (const bool strict : {true, false}) {
    SCOPED_TRACE(strict ? "ticked" : "unticked");
    RunFixture f;
    f.Write("odd.fb2", Book("Толстой", "Лев", "Война и мир", "prose_contemporary"));
    f.Write("broken.fb2", "<FictionBook>");
    TfrmMain window(f.app.Path());
    f.Prepare(window);
    window.chkValid->setChecked(strict);

    window.btnStart->click();

    EXPECT_TRUE(QFileInfo::exists(f.Tmp(strict ? "bad/odd.fb2" : "end/odd.fb2")));
    EXPECT_TRUE(QFileInfo::exists(f.Tmp("bad/broken.fb2")));
    EXPECT_FALSE(window.chkValid->toolTip().isEmpty());
  }
}

// Catches a second run started inside the first, or a list, folder or template changed under it.
TEST(RunInWindow, NothingCanStartARunOrChangeTheListWhileOneIsInProgress) {
  RunFixture f;
  for (const char* name : {"1.fb2", "2.fb2", "3.fb2"}) f.Write(name, ValidBook());
  PumpedWindow window(f.app.Path());
  f.Prepare(window);

  std::vector<bool> during;
  window.onPump = [&](int pump) {
    if (pump != 1) return;
    during = {window.btnStart->isEnabled(),      window.btnUpdate->isEnabled(),
              window.DirectoryTree->isEnabled(), window.btnedBadDir->isEnabled(),
              window.btnedNewName->isEnabled(),  window.btnedSort->isEnabled(),
              window.btnCancel->isEnabled()};
    window.btnStartClick();  // a click that reaches the handler inside the run
    window.PControl->setCurrentIndex(1);
    during.push_back(window.btnCancel->isEnabled());
    window.PControl->setCurrentIndex(0);
  };
  window.btnStart->click();

  EXPECT_EQ(during, (std::vector<bool>{false, false, false, false, false, false, true, true}));
  EXPECT_EQ(window.pumps, 3);  // one per book of the one run
  for (const char* name : {"1.fb2", "2.fb2", "3.fb2"}) EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/") + name));
  EXPECT_FALSE(window.Running());
  EXPECT_TRUE(window.btnStart->isEnabled());
  EXPECT_TRUE(window.btnUpdate->isEnabled());
  EXPECT_TRUE(window.DirectoryTree->isEnabled());
  EXPECT_TRUE(window.gbWorkDir->isEnabled());
  EXPECT_TRUE(window.btnedSort->isEnabled());
}

// WCAG's relative luminance of a pixel.
double Luminance(QRgb pixel) {
  auto linear = [](int c) {
    const double v = c / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(qRed(pixel)) + 0.7152 * linear(qGreen(pixel)) + 0.0722 * linear(qBlue(pixel));
}

// Catches disabled captions drawn in the style's grey, which all but vanishes on the blue gradient:
// measured on the pixels drawn during a run, the darkest pixel of each caption of "Рабочие папки"
// against the darkest background in its rectangle (the lightest pixel of its bottom row: the
// gradient darkens downwards) must reach 4.5:1.
TEST(RunInWindow, DisabledWorkFolderCaptionsStayReadableOnTheGradient) {
  RunFixture f;
  f.Write("good.fb2", ValidBook());
  PumpedWindow window(f.app.Path());
  window.show();  // first: showing selects the start folder
  f.Prepare(window);
  QImage shot;
  window.onPump = [&](int) {
    window.PControl->setCurrentIndex(1);
    ASSERT_FALSE(window.gbWorkDir->isEnabled());
    shot = window.gbWorkDir->grab().toImage();
  };
  window.btnStart->click();
  ASSERT_FALSE(shot.isNull());

  const QList<QLabel*> captions = window.gbWorkDir->findChildren<QLabel*>();
  ASSERT_EQ(captions.size(), 3);
  const qreal scale = shot.devicePixelRatio();
  for (QLabel* caption : captions) {
    SCOPED_TRACE(caption->text().toStdString());
    const QRect area(caption->geometry().topLeft() * scale, caption->geometry().size() * scale);
    double text = 1;
    double background = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x) text = std::min(text, Luminance(shot.pixel(x, y)));
    for (int x = area.left(); x <= area.right(); ++x)
      background = std::max(background, Luminance(shot.pixel(x, area.bottom())));
    EXPECT_GE((background + 0.05) / (text + 0.05), 4.5);
  }
}

// Catches a run error that escapes the window, is shown without its text, or leaves the controls
// locked.
TEST(RunInWindow, AnErrorEndsTheRunInTheErrorBoxAndUnlocksTheWindow) {
  RunFixture f;
  f.Write("good.fb2", ValidBook());
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  window.btnedEndDir->setText(QString());  // no processed folder: the run cannot place the book

  ModalResponder responder;
  window.btnStart->click();

  ASSERT_EQ(responder.boxes.size(), 1);
  EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Shelvio"));
  EXPECT_EQ(responder.boxes[0].text, QStringLiteral("Unable to create directory."));
  EXPECT_TRUE(QFileInfo::exists(f.folder + "/good.fb2"));
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("good.fb2"));  // where the run stopped
  EXPECT_FALSE(window.Running());
  EXPECT_TRUE(window.btnStart->isEnabled());
  EXPECT_TRUE(window.DirectoryTree->isEnabled());
  EXPECT_TRUE(window.btnedEndDir->isEnabled());
}

// A state folder that cannot be written let the window move every book with no record of the
// run, which could then not be undone, without a word. It now asks first, in its own words, and
// moves nothing unless told to go on.
TEST(RunInWindow, AStateFolderThatCannotBeWrittenIsAskedAboutFirst) {
  RunFixture f;
  f.Write("good.fb2", ValidBook());
  QFile blocker(f.app.Path() + "state-file");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const QByteArray previous = qgetenv("XDG_STATE_HOME");
  // Below a file no folder can be made, for root too.
  qputenv("XDG_STATE_HOME", QFile::encodeName(f.app.Path() + "state-file/state"));
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  {
    ModalResponder responder({QMessageBox::No});
    window.btnStart->click();
    ASSERT_EQ(responder.boxes.size(), 1);
    EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Shelvio"));
    EXPECT_TRUE(responder.boxes[0].text.startsWith(QStringLiteral("Журнал сортировки не может быть записан")))
        << responder.boxes[0].text.toStdString();
    EXPECT_TRUE(QFileInfo::exists(f.folder + "/good.fb2"));
    EXPECT_FALSE(window.Running());
  }
  {
    ModalResponder responder({QMessageBox::Yes});
    window.btnStart->click();
    EXPECT_EQ(responder.boxes.size(), 1);
    EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/good.fb2")));
  }
  qputenv("XDG_STATE_HOME", previous);
}

// Catches a close that kills a run in the middle of a book, keeps running the rest, or loses the
// settings.
TEST(RunInWindow, ClosingDuringARunFinishesTheCurrentBookSavesAndCloses) {
  RunFixture f;
  for (const char* name : {"1.fb2", "2.fb2", "3.fb2"}) f.Write(name, ValidBook());
  PumpedWindow window(f.app.Path());
  window.show();  // the first showing selects the start folder; the books' folder comes after
  f.Prepare(window);
  bool visibleAfterClose = false;
  window.onPump = [&](int pump) {
    if (pump != 2) return;
    window.close();
    visibleAfterClose = window.isVisible();
  };
  window.btnStart->click();

  EXPECT_TRUE(visibleAfterClose);  // the close waits for the run
  EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/1.fb2")));
  EXPECT_TRUE(QFileInfo::exists(f.folder + "/2.fb2"));
  EXPECT_TRUE(QFileInfo::exists(f.folder + "/3.fb2"));
  EXPECT_TRUE(QFileInfo::exists(f.app.SettingsPath()));
  EXPECT_FALSE(window.isVisible());
}

// Catches a run that starts without its schema, or a reason that does not reach the user.
TEST(RunInWindow, ASchemaThatDoesNotLoadIsReportedAndNoBookIsTouched) {
  RunFixture f;
  TempApp noSchema(false);
  f.Write("good.fb2", ValidBook());
  TfrmMain window(noSchema.Path());
  f.Prepare(window);
  ModalResponder responder;
  window.btnStart->click();

  ASSERT_EQ(responder.boxes.size(), 1);
  EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Ошибка"));
  EXPECT_EQ(responder.boxes[0].icon, QMessageBox::Critical);
  EXPECT_FALSE(responder.boxes[0].text.trimmed().isEmpty());
  EXPECT_TRUE(QFileInfo::exists(f.folder + "/good.fb2"));
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Ждём..."));
}

// Catches the archive step left out of the window's run, or a book deleted without its archive.
TEST(RunInWindow, ArchivingPacksTheBookBesideItsDestination) {
  RunFixture f;
  f.Write("good.fb2", ValidBook());
  TfrmMain window(f.app.Path());
  f.Prepare(window);
  window.chkArchive->setChecked(true);
  window.btnStart->click();
  EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/good.fb2.zip")));
  EXPECT_FALSE(QFileInfo::exists(f.Tmp("end/good.fb2")));
  EXPECT_FALSE(QFileInfo::exists(f.folder + "/good.fb2"));
}

// Catches a compression choice that the archives do not follow: each item gives its own method and
// deflate level, and "Нормальное" the level 6 of every archive made before the choice took effect.
TEST(RunInWindow, ArchivesFollowTheCompressionChoice) {
  const QByteArray book = BookOfManyWords();
  const int compressionOfItem[] = {1, 9, 6, 0};  // Быстрое, Максимальное, Нормальное, Без сжатия
  for (int item = 0; item < 4; ++item) {
    SCOPED_TRACE(item);
    RunFixture f;
    f.Write("book.fb2", book);
    TfrmMain window(f.app.Path());
    f.Prepare(window);
    window.chkArchive->setChecked(true);
    window.cbZipLevel->setCurrentIndex(item);
    window.btnStart->click();
    QFile archive(f.Tmp("end/book.fb2.zip"));
    ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
    EXPECT_EQ(CompressionOfBook(archive.readAll(), book), compressionOfItem[item]);
  }
}

// Catches a cancel click that is not seen before the next book.
TEST(RunInWindow, CancelStopsBeforeTheNextBook) {
  RunFixture f;
  for (const char* name : {"1.fb2", "2.fb2"}) f.Write(name, ValidBook());
  PumpedWindow window(f.app.Path());
  f.Prepare(window);
  window.onPump = [&](int pump) {
    if (pump == 2) window.btnCancel->click();
  };
  window.btnStart->click();
  EXPECT_TRUE(QFileInfo::exists(f.Tmp("end/1.fb2")));
  EXPECT_TRUE(QFileInfo::exists(f.folder + "/2.fb2"));
  EXPECT_EQ(window.FileListBox->Items(), QStringList{"2.fb2"});
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Ждём..."));
}

}  // namespace

// A folder that vanishes while it is listed, before the run or during it: catches a run that
// touches another folder's books of the same names, a crash, or a list that still offers books
// that are gone.
TEST(RunInWindow, AListedFolderThatVanishesLeavesTheWorkFoldersEmpty) {
  for (const int vanishAtPump : {0, 1}) {
    SCOPED_TRACE(vanishAtPump == 0 ? "before the run" : "during the run");
    RunFixture f;
    for (const char* name : {"1.fb2", "2.fb2"}) f.Write(name, ValidBook());
    // Books of the same names where the program started.
    QTemporaryDir elsewhere;
    for (const char* name : {"1.fb2", "2.fb2"}) TempApp::WriteFile(elsewhere.filePath(name), ValidBook());
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    PumpedWindow window(f.app.Path());
    f.Prepare(window);
    ASSERT_EQ(window.FileListBox->count(), 2);
    window.onPump = [&](int pump) {
      if (pump == vanishAtPump) QDir(f.folder).removeRecursively();
    };
    if (vanishAtPump == 0) QDir(f.folder).removeRecursively();
    ModalResponder responder;
    window.btnStart->click();

    const QStringList moved = QDir(f.Tmp("end")).entryList(QDir::Files);
    EXPECT_LE(moved.size(), vanishAtPump);  // at most the book judged before the folder went
    EXPECT_TRUE(QDir(f.Tmp("bad")).entryList(QDir::Files).isEmpty());
    for (const char* name : {"1.fb2", "2.fb2"})
      EXPECT_TRUE(QFileInfo::exists(elsewhere.filePath(name))) << name;
    EXPECT_EQ(window.FileListBox->count(), 0);
    EXPECT_FALSE(window.Running());
    EXPECT_TRUE(window.btnStart->isEnabled());
    if (window.RunSummary()) window.RunSummary()->close();
    ASSERT_TRUE(QDir::setCurrent(QDir::rootPath()));
  }
}
