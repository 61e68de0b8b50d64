// LoadSetting and SaveSetting over a real setting.ini in a temporary app folder.

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <limits>

#include "app/frm_main.h"
#include "archive/zip_writer.h"
#include "window_test_support.h"

namespace {

QStringList Lines(const QByteArray& text) { return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts); }

// The lines of one section, its header excluded.
QStringList Section(const QByteArray& text, const QString& name) {
  QStringList result;
  bool inside = false;
  for (const QString& line : Lines(text)) {
    if (line.startsWith(u'[')) {
      inside = line == u'[' + name + u']';
      continue;
    }
    if (inside) result << line;
  }
  return result;
}

// Catches a missing default, a wrong default, or default work folders that are not created.
TEST(Settings, WithoutAFileEveryControlHasItsDefaultAndTheWorkFoldersExist) {
  TempApp app;
  TfrmMain window(app.Path());

  EXPECT_EQ(window.windowState(), Qt::WindowNoState);
  EXPECT_EQ(window.frameGeometry().size(), QSize(1000, 800));
  EXPECT_EQ(window.pos(), QPoint(50, 50));
  EXPECT_EQ(window.PControl->currentIndex(), 1);
  EXPECT_FALSE(window.btnStart->isEnabled());
  EXPECT_FALSE(window.btnCancel->isEnabled());
  EXPECT_FALSE(window.btnUpdate->isEnabled());

  EXPECT_EQ(window.btnedBadDir->text(), app.Path() + "tmp/bad/");
  EXPECT_EQ(window.btnedEndDir->text(), app.Path() + "tmp/end/");
  EXPECT_EQ(window.btnedDoubleDir->text(), app.Path() + "tmp/double/");
  for (const char* folder : {"tmp/bad", "tmp/end", "tmp/double"})
    EXPECT_TRUE(QFileInfo(app.Path() + folder).isDir()) << folder;

  const struct {
    QCheckBox* box;
    bool expected;
  } checks[] = {{window.chkValid, true},        {window.chkRename, true},  {window.chkSort, true},
                {window.chkArchive, true},      {window.chkConvert, true}, {window.chkTranslit, false},
                {window.chkTranslitDir, false}, {window.chkLast, true},    {window.chkFirst, true},
                {window.chkMiddle, false},      {window.chkGenRus, true}};
  for (const auto& check : checks)
    EXPECT_EQ(check.box->isChecked(), check.expected) << check.box->text().toStdString();
  EXPECT_EQ(window.cbZipLevel->currentIndex(), 2);
  EXPECT_EQ(window.btnedNewName->text(), QStringLiteral("Фамилия Имя - Название"));
  EXPECT_EQ(window.btnedSort->text(), QStringLiteral("Алфавит\\Автор"));
  EXPECT_TRUE(window.chkConvert->isHidden());
}

// An installed window: catches a save that fails because the configuration folder does not exist
// yet, and anything written beside the data instead of in the user's folders.
TEST(Settings, AnInstalledWindowKeepsItsFilesInTheUsersFolders) {
  TempApp data;
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  const AppPaths paths{data.Path(), home.filePath("config/shelvio/setting.ini"),
                       home.filePath("data/shelvio/"), false};
  const QStringList dataBefore = QDir(data.Path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  {
    TfrmMain window(paths);
    EXPECT_EQ(window.btnedEndDir->text(), paths.tmpPath + "end/");
    for (const char* folder : {"bad", "end", "double"})
      EXPECT_TRUE(QFileInfo(paths.tmpPath + folder).isDir()) << folder;
    window.chkTranslit->setChecked(true);
    window.SaveSetting();
  }
  EXPECT_EQ(QDir(data.Path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), dataBefore);
  TfrmMain window(paths);
  EXPECT_TRUE(window.chkTranslit->isChecked());
}

// Catches a key written under the wrong name or form, a lost value, or keys out of their order.
TEST(Settings, WhatASaveWritesComesBackAtTheNextStartInTheFixedKeyOrder) {
  TempApp app;
  {
    TfrmMain window(app.Path());
    window.resize(700, 500);
    window.move(12, 34);
    window.btnedBadDir->setText(QStringLiteral("/books/плохие"));  // typed: no trailing "/"
    window.btnedEndDir->setText(QStringLiteral(" /books/end/ "));
    window.btnedDoubleDir->setText(QString());
    window.btnedNewName->setText(QStringLiteral("\"Название\""));
    window.btnedSort->setText(QStringLiteral("Жанр\\Автор"));
    for (QCheckBox* box : {window.chkValid, window.chkRename, window.chkSort, window.chkArchive,
                           window.chkConvert, window.chkTranslit, window.chkTranslitDir, window.chkLast,
                           window.chkFirst, window.chkMiddle, window.chkGenRus})
      box->setChecked(!box->isChecked());
    window.cbZipLevel->setCurrentIndex(3);
    window.PControl->setCurrentIndex(0);
    window.SaveSetting();
  }
  const QByteArray text = app.Settings();
  const QStringList keys = {"Width", "Height", "Left", "Top", "WinState"};
  QStringList formKeys;
  for (const QString& line : Section(text, "FORM")) formKeys << line.section(u'=', 0, 0);
  EXPECT_EQ(formKeys, keys);
  QStringList userKeys;
  for (const QString& line : Section(text, "USER")) userKeys << line.section(u'=', 0, 0);
  EXPECT_EQ(userKeys,
            (QStringList{"BadFileDir", "EndDir", "DoubleDir", "Valid", "Rename", "Sort", "Archive", "Convert",
                         "ZipLevel", "ActivePage", "Pattern", "SortPattern", "Translit", "TranslitDir",
                         "SortLast", "SortFirst", "SortMiddle", "FullGenres", "ZipInput"}));
  EXPECT_TRUE(Section(text, "USER").contains("Valid=0"));

  TfrmMain window(app.Path());
  EXPECT_EQ(window.frameGeometry(), QRect(12, 34, 700, 500));
  EXPECT_EQ(window.btnedBadDir->text(), QStringLiteral("/books/плохие"));
  EXPECT_EQ(window.btnedEndDir->text(), QStringLiteral(" /books/end/ "));
  EXPECT_EQ(window.btnedDoubleDir->text(), QString());
  EXPECT_EQ(window.btnedNewName->text(), QStringLiteral("\"Название\""));
  EXPECT_EQ(window.btnedSort->text(), QStringLiteral("Жанр\\Автор"));
  EXPECT_FALSE(window.chkValid->isChecked());
  EXPECT_FALSE(window.chkConvert->isChecked());
  EXPECT_TRUE(window.chkTranslit->isChecked());
  EXPECT_TRUE(window.chkMiddle->isChecked());
  EXPECT_FALSE(window.chkGenRus->isChecked());
  EXPECT_EQ(window.cbZipLevel->currentIndex(), 3);
  EXPECT_EQ(window.PControl->currentIndex(), 0);
  EXPECT_TRUE(window.btnStart->isEnabled());
}

// Catches WinState read with the usual numbering (0 normal), or placement applied where it must
// not be.
TEST(Settings, WinStateChoosesMaximizedNormalOrTheDesignPlacement) {
  const struct {
    const char* form;
    bool maximized;
    QSize outerSize;
  } cases[] = {
      {"WinState=0\nWidth=640\nHeight=480\n", true, QSize()},
      {"WinState=1\nWidth=640\nHeight=480\nLeft=5\nTop=6\n", false, QSize(640, 480)},
      // Any other state leaves the design size of 880 by 688.
      {"WinState=2\nWidth=640\nHeight=480\n", false, QSize(880, 688)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form);
    TempApp app;
    app.WriteSettings(QByteArray("[FORM]\n") + c.form);
    TfrmMain window(app.Path());
    EXPECT_EQ(window.isMaximized(), c.maximized);
    if (!c.maximized) {
      EXPECT_EQ(window.frameGeometry().size(), c.outerSize);
    }
  }
}

// A careless or hostile [FORM]: catches a window that opens where its title bar cannot be reached,
// a size of 0 or less, int overflow, and a window of 32767 pixels a side whose pixels take
// gigabytes (the program stopped answering).
TEST(Settings, AStoredPlacementNoScreenCanShowIsBroughtOntoTheDesktop) {
  const QRect desktop(0, 0, 1920, 1080);
  const QSize defaults(1000, 800);
  const int big = std::numeric_limits<int>::max();
  const int small = std::numeric_limits<int>::min();
  const struct {
    QRect stored;  // left, top, width, height as the file holds them
    QRect placed;
  } cases[] = {
      // Within reach: as stored, also hanging over the right and the bottom edge.
      {{50, 50, 1000, 800}, {50, 50, 1000, 800}},
      {{1800, 1000, 1000, 800}, {1800, 1000, 1000, 800}},
      {{-900, 0, 1000, 800}, {-900, 0, 1000, 800}},
      // No size: the default.
      {{50, 50, 0, -5}, {50, 50, 1000, 800}},
      // Larger than the desktop: cut to it.
      {{0, 0, 40000, 1000}, {0, 0, 1920, 1000}},
      // The title bar above the desktop, beyond its right or bottom edge, or less than the grip
      // showing on the left: moved in as far as needed.
      {{100, -300, 1000, 800}, {100, 0, 1000, 800}},
      {{5000, 5000, 1000, 800}, {920, 280, 1000, 800}},
      {{-960, 100, 1000, 800}, {0, 100, 1000, 800}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stored.x() << "," << c.stored.y() << " " << c.stored.width() << "x"
                                    << c.stored.height());
    EXPECT_EQ(PlacementOnDesktop(c.stored.x(), c.stored.y(), c.stored.width(), c.stored.height(), desktop,
                                 defaults),
              c.placed);
  }
  // The extremes of int, which no QRect can hold.
  EXPECT_EQ(PlacementOnDesktop(big, big, big, big, desktop, defaults), desktop);
  EXPECT_EQ(PlacementOnDesktop(small, small, small, small, desktop, defaults), QRect(0, 0, 1000, 800));

  // The window applies it, and the next save writes what it shows.
  ASSERT_EQ(QGuiApplication::primaryScreen()->virtualGeometry(), desktop);
  TempApp app;
  app.WriteSettings("[FORM]\nWidth=2147483647\nHeight=-1\nLeft=0x7fffffff\nTop=-2147483648\nWinState=1\n");
  TfrmMain window(app.Path());
  EXPECT_EQ(window.frameGeometry(), QRect(0, 0, 1920, 800));
  window.SaveSetting();
  EXPECT_EQ(Section(app.Settings(), "FORM"),
            (QStringList{"Width=1920", "Height=800", "Left=0", "Top=0", "WinState=1"}));
}

// Catches a maximized or minimized window overwriting the normal placement.
TEST(Settings, MaximizedSaveWritesOnlyWinStateAndMinimizedLeavesFormAlone) {
  const QByteArray form = "[FORM]\nWidth=640\nHeight=480\nLeft=5\nTop=6\nWinState=1\n";
  {
    TempApp app;
    app.WriteSettings(form);
    TfrmMain window(app.Path());
    window.setWindowState(Qt::WindowMaximized);
    window.SaveSetting();
    EXPECT_EQ(Section(app.Settings(), "FORM"),
              (QStringList{"Width=640", "Height=480", "Left=5", "Top=6", "WinState=0"}));
  }
  {
    TempApp app;
    app.WriteSettings(form);
    TfrmMain window(app.Path());
    window.setWindowState(Qt::WindowMinimized);
    window.SaveSetting();
    EXPECT_EQ(Section(app.Settings(), "FORM"), Section(form, "FORM"));
    EXPECT_FALSE(Section(app.Settings(), "USER").isEmpty());
  }
}

// Catches values read with the wrong form: words, hexadecimal, out-of-range pages, empty strings.
TEST(Settings, ValueFormsFollowTheIntegerAndStringRules) {
  TempApp app;
  app.WriteSettings(
      "[user]\n"
      "rename = yes\n"  // not an integer: the default, true
      "Translit=yes\n"  // the default, false
      "Sort=2\n"        // non-zero: true
      "ZipLevel=0x3\n"  // hexadecimal
      "ActivePage=5\n"  // no such page
      "BadFileDir=\n"   // present and empty: empty, not the default
      "Pattern=" +
      QByteArray(3000, 'x') + "\n");
  TfrmMain window(app.Path());
  EXPECT_TRUE(window.chkRename->isChecked());
  EXPECT_FALSE(window.chkTranslit->isChecked());
  EXPECT_TRUE(window.chkSort->isChecked());
  EXPECT_EQ(window.cbZipLevel->currentIndex(), 3);
  EXPECT_EQ(window.cbZipLevel->currentText(), QStringLiteral("Без сжатия"));
  EXPECT_EQ(window.PControl->currentIndex(), 1);
  EXPECT_EQ(window.btnedBadDir->text(), QString());
  EXPECT_TRUE(QFileInfo(app.Path() + "tmp/bad").isDir());
  EXPECT_EQ(window.btnedNewName->text(), QString(2047, u'x'));

  window.SaveSetting();
  EXPECT_TRUE(Section(app.Settings(), "user").contains("ActivePage=1"));
}

// Catches a compression choice that does not reach the archiver, an editable box that takes a
// typed fifth item, or a value naming no item that is saved as anything but -1.
TEST(Settings, CompressionChoiceSetsTheArchiverAndSavesItsIndex) {
  const struct {
    const char* line;
    int index;
    const char* shown;
    int mode;
  } cases[] = {
      {"", 2, "Нормальное", 6},
      {"ZipLevel=0", 0, "Быстрое", 1},
      {"ZipLevel=1", 1, "Максимальное", 9},
      {"ZipLevel=3", 3, "Без сжатия", 0},
      {"ZipLevel=4", -1, "", 6},
      {"ZipLevel=-1", -1, "", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TempApp app;
    app.WriteSettings(QByteArray("[USER]\n") + c.line + "\n");
    TfrmMain window(app.Path());
    EXPECT_FALSE(window.cbZipLevel->isEditable());
    EXPECT_EQ(window.cbZipLevel->count(), 4);
    EXPECT_EQ(window.cbZipLevel->currentIndex(), c.index);
    EXPECT_EQ(window.cbZipLevel->currentText(), QString::fromUtf8(c.shown));
    EXPECT_EQ(window.cbZipLevel->placeholderText(), QStringLiteral("Сжатие"));
    EXPECT_EQ(window.Zip->CompressionMode(), c.mode);
    window.SaveSetting();
    EXPECT_TRUE(Section(app.Settings(), "USER").contains(QStringLiteral("ZipLevel=%1").arg(c.index)));
  }
  // A choice the user makes applies at once, to the next book archived.
  TempApp app;
  TfrmMain window(app.Path());
  const int modeOfItem[] = {1, 9, 6, 0};
  for (const int item : {3, 0, 1, 2}) {
    window.cbZipLevel->setCurrentIndex(item);
    EXPECT_EQ(window.Zip->CompressionMode(), modeOfItem[item]) << "item " << item;
  }
}

// Catches a save that drops what the program does not know.
TEST(Settings, SaveKeepsUnknownSectionsKeysAndComments) {
  TempApp app;
  app.WriteSettings(
      "; written by hand\n"
      "[USER]\n"
      "Favourite=42\n"
      "Rename=0\n"
      "[OTHER]\n"
      "Key=value\n");
  {
    TfrmMain window(app.Path());
    EXPECT_FALSE(window.chkRename->isChecked());
    window.SaveSetting();
  }
  const QStringList lines = Lines(app.Settings());
  EXPECT_EQ(lines.first(), QStringLiteral("; written by hand"));
  EXPECT_TRUE(lines.contains("Favourite=42"));
  EXPECT_TRUE(Section(app.Settings(), "OTHER").contains("Key=value"));
  EXPECT_TRUE(Section(app.Settings(), "USER").contains("Rename=0"));
}

// Catches a settings file that cannot be written trapping the user, or closing without asking.
TEST(Settings, UnwritableFileShowsTheErrorAndAsksBeforeClosingWithoutSaving) {
  for (const bool closeAnyway : {false, true}) {
    SCOPED_TRACE(closeAnyway ? "answer yes" : "answer no");
    TempApp app;
    // A folder in the file's place refuses every write, for root too.
    ASSERT_TRUE(QDir().mkpath(app.SettingsPath()));
    TfrmMain window(app.Path());
    window.show();
    ModalResponder responder({QMessageBox::Ok, closeAnyway ? QMessageBox::Yes : QMessageBox::No});
    window.close();
    ASSERT_EQ(responder.boxes.size(), 2);
    EXPECT_EQ(responder.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Shelvio"));
    EXPECT_EQ(responder.boxes[0].text, "Unable to write to " + app.SettingsPath() + ".");
    EXPECT_EQ(responder.boxes[1].icon, QMessageBox::Question);
    EXPECT_EQ(window.isVisible(), !closeAnyway);
  }
}

}  // namespace
