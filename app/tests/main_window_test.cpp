// The window's controls, the error box, the folder tree with its file list, and the folder picker.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTranslator>
#include <memory>

#include "app/book_file_list.h"
#include "app/error_box.h"
#include "app/folder_tree.h"
#include "app/frm_main.h"
#include "app/select_dir_dialog.h"
#include "app/shelvio_application.h"
#include "base/error.h"
#include "base/native_name.h"
#include "window_test_support.h"

namespace {

// Catches the buttons following anything but the active tab.
TEST(MainWindow, SetButtonsEnablesStartCancelAndRefreshOnlyOnTheFilesTab) {
  TempApp app;
  TfrmMain window(app.Path());
  const auto states = [&] {
    return std::vector<bool>{window.btnStart->isEnabled(), window.btnCancel->isEnabled(),
                             window.btnUpdate->isEnabled(), window.btnExit->isEnabled()};
  };
  EXPECT_EQ(states(), (std::vector<bool>{false, false, false, true}));
  window.PControl->setCurrentIndex(0);
  EXPECT_EQ(states(), (std::vector<bool>{true, true, true, true}));
  window.PControl->setCurrentIndex(1);
  EXPECT_EQ(states(), (std::vector<bool>{false, false, false, true}));
}

// Catches the full stop appended by the wrong comparison, or twice.
TEST(ErrorBox, AppendsAFullStopOnlyAfterACharacterAboveTheFullStop) {
  const struct {
    const char16_t* message;
    const char16_t* shown;
  } cases[] = {
      {u"Unable to create directory", u"Unable to create directory."},
      {u"Файл не найден", u"Файл не найден."},
      {u"ends in a slash/", u"ends in a slash/."},  // "/" comes after "."
      {u"Already ends.", u"Already ends."},
      {u"Question?", u"Question?."},  // "?" comes after "." too
      {u"Exclaims!", u"Exclaims!"},   // "!" comes before "."
      {u"hyphen-", u"hyphen-"},
      {u"(bracket)", u"(bracket)"},
      {u"", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(QString::fromUtf16(c.message).toStdString());
    EXPECT_EQ(ErrorBoxText(QString::fromUtf16(c.message)), QString::fromUtf16(c.shown));
  }
}

// Catches an exception crossing the event loop, or a box with the wrong icon or caption.
TEST(ErrorBox, GuardedHandlerShowsTheErrorAndReturns) {
  TempApp app;
  TfrmMain window(app.Path());
  ModalResponder responder;
  bool after = false;
  Guarded(&window, [] {
    throw ShelvioError(ShelvioError::Kind::Engine, QStringLiteral("Unable to create directory"));
  });
  after = true;
  ASSERT_EQ(responder.boxes.size(), 1);
  EXPECT_EQ(responder.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(responder.boxes[0].title, QStringLiteral("Shelvio"));
  EXPECT_EQ(responder.boxes[0].text, QStringLiteral("Unable to create directory."));
  EXPECT_TRUE(after);
}

// Catches a case-sensitive mask, hidden or foreign files listed, a wrong order, a stale current
// directory, a wrong count line, or a re-read of an unchanged folder.
TEST(FileList, ShowsTheFolderBooksInLocaleOrderAndKeepsTheCurrentDirectory) {
  TempApp app;
  QTemporaryDir books;
  for (const char* name : {"c.FB2", "a.fb2", "B.fb2", "d.txt", ".e.fb2", "sub/f.fb2"})
    TempApp::WriteFile(books.filePath(name), "x");
  TfrmMain window(app.Path());
  EXPECT_EQ(window.lblCount->text(), QStringLiteral("Файлов:  "));

  ASSERT_TRUE(window.DirectoryTree->SelectFolder(books.path()));
  EXPECT_EQ(window.DirectoryTree->CurrentFolder(), QDir(books.path()).canonicalPath());
  EXPECT_EQ(window.FileListBox->Items(), (QStringList{"a.fb2", "B.fb2", "c.FB2"}));
  EXPECT_EQ(window.lblCount->text(), QStringLiteral("Файлов:  3"));
  EXPECT_EQ(QDir::currentPath(), QDir(books.path()).canonicalPath());
  EXPECT_EQ(window.FileListBox->visualItemRect(window.FileListBox->item(0)).height(), 18);

  // Selecting the listed folder again does not read it; the refresh button does.
  QFile::remove(books.filePath("a.fb2"));
  window.DirectoryTree->setCurrentItem(nullptr);
  window.DirectoryTree->SelectFolder(books.path());
  EXPECT_EQ(window.FileListBox->count(), 3);
  window.PControl->setCurrentIndex(0);
  window.btnUpdate->click();
  EXPECT_EQ(window.FileListBox->Items(), (QStringList{"B.fb2", "c.FB2"}));
  EXPECT_EQ(window.lblCount->text(), QStringLiteral("Файлов:  2"));
}

// Catches a folder that cannot be entered emptying the list or moving the current directory.
TEST(FileList, AFolderThatCannotBeEnteredKeepsThePreviousOne) {
  QTemporaryDir books;
  TempApp::WriteFile(books.filePath("a.fb2"), "x");
  BookFileList list;
  list.SetFolder(books.path());
  list.SetFolder(books.filePath("missing"));
  EXPECT_EQ(list.Folder(), QDir(books.path()).canonicalPath());
  EXPECT_EQ(list.Items(), QStringList{"a.fb2"});
  EXPECT_EQ(QDir::currentPath(), QDir(books.path()).canonicalPath());
}

// Catches Qt's own texts left in English in the Russian window: the buttons of the ZIP error box and
// of the other boxes, and the edit fields' context menu.
TEST(QtTranslation, StandardButtonsAndContextMenuSpeakRussian) {
  QTranslator* translator = InstallQtRussian(QCoreApplication::instance());
  ASSERT_NE(translator, nullptr) << "Qt's Russian translation (qt6-translations-l10n) is not installed";
  QMessageBox box(
      QMessageBox::Question, QStringLiteral("Shelvio"), QStringLiteral("?"),
      QMessageBox::Yes | QMessageBox::No | QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
  QStringList buttons;
  for (const QMessageBox::StandardButton button :
       {QMessageBox::Yes, QMessageBox::No, QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore})
    buttons << box.button(button)->text();
  QLineEdit edit;
  const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
  QStringList actions;
  for (const QAction* action : menu->actions())
    if (!action->isSeparator()) actions << action->text().section(u'\t', 0, 0);  // without the shortcut
  QCoreApplication::removeTranslator(translator);
  delete translator;

  EXPECT_EQ(buttons, (QStringList{"&Да", "&Нет", "Прервать", "Повторить", "Пропустить"}));
  EXPECT_EQ(actions.first(), QStringLiteral("&Отменить действие"));
  EXPECT_EQ(actions.last(), QStringLiteral("Выделить всё"));
}

// Catches a folder or book whose name is not UTF-8 (a windows-1251 collection) left out, shown
// as replacement characters, or handed to the run without its own bytes.
TEST(FileList, ShowsNamesThatAreNotUtf8Readably) {
  QTemporaryDir root;
  const QString top = QDir(root.path()).canonicalPath();
  const QByteArray folder = QFile::encodeName(top) + "/\xCA\xED\xE8\xE3\xE8";  // "Книги"
  ASSERT_EQ(::mkdir(folder.constData(), 0700), 0);
  const QByteArray names[] = {"\xC8\xE2\xE0\xED\xEE\xE2.fb2", "\xC4\xEE\xEC\xFF\xD0\x96.fb2",
                              "zz\n\xE2\x80\xAEtxt.fb2"};
  for (const QByteArray& name : names) {
    const int fd = ::open((folder + "/" + name).constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  FolderTree tree(nullptr, [&] { return QList<Volume>{{top, QStringLiteral("Test (") + top + ")", false}}; });
  tree.expandItem(tree.topLevelItem(0));
  ASSERT_EQ(tree.topLevelItem(0)->childCount(), 1);
  EXPECT_EQ(tree.topLevelItem(0)->child(0)->text(0), QStringLiteral("Книги"));
  tree.setCurrentItem(tree.topLevelItem(0)->child(0));
  EXPECT_EQ(NativeName(tree.CurrentFolder()), folder);

  BookFileList list;
  list.SetFolder(tree.CurrentFolder());
  EXPECT_EQ(NativeName(list.Folder()), folder);
  // Only foreign bytes: read as windows-1251; mixed with UTF-8: each foreign byte escaped; a line
  // break or a right-to-left override would hide or disguise the rest of the name: escaped too.
  // Each item leads back to its book's own bytes.
  const QStringList items = list.Items();
  ASSERT_EQ(items.size(), 3);
  QMap<QString, QByteArray> shown;
  for (int i = 0; i < list.count(); ++i) shown.insert(list.item(i)->text(), NativeName(items.at(i)));
  EXPECT_EQ(shown, (QMap<QString, QByteArray>{{QStringLiteral("Иванов.fb2"), names[0]},
                                              {QStringLiteral("\\xC4\\xEE\\xEC\\xFFЖ.fb2"), names[1]},
                                              {QStringLiteral("zz\\x0A\\xE2\\x80\\xAEtxt.fb2"), names[2]}}));
  char current[4096];
  ASSERT_NE(::getcwd(current, sizeof current), nullptr);
  EXPECT_EQ(QByteArray(current), folder);
  ASSERT_EQ(::chdir("/"), 0);
  QProcess::execute("rm", {"-rf", top});
}

// Catches children read eagerly, unsorted, with hidden folders, or with wrong expand marks.
TEST(FolderTree, ReadsChildrenOnExpandSortedWithoutHiddenFolders) {
  QTemporaryDir root;
  for (const char* folder : {"b", "A", ".hidden", "c/inner", "Ё"}) QDir().mkpath(root.filePath(folder));
  const QString top = QDir(root.path()).canonicalPath();
  FolderTree tree(nullptr, [&] { return QList<Volume>{{top, QStringLiteral("Test (") + top + ")", false}}; });
  QTreeWidgetItem* node = tree.topLevelItem(0);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_EQ(node->childCount(), 0);  // nothing read before the first expansion

  tree.expandItem(node);
  QStringList names;
  for (int i = 0; i < node->childCount(); ++i) names << node->child(i)->text(0);
  EXPECT_EQ(names, (QStringList{"A", "b", "c", "Ё"}));
  EXPECT_EQ(node->child(2)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_EQ(node->child(0)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);

  ASSERT_TRUE(tree.SelectFolder(top + "/c/inner"));
  EXPECT_EQ(tree.CurrentFolder(), top + "/c/inner");
  EXPECT_FALSE(tree.SelectFolder(QStringLiteral("/elsewhere")));
}

// Catches volumes that appear or vanish only after a restart, or a selection left on a removed node.
TEST(FolderTree, FollowsVolumesThatComeAndGo) {
  QTemporaryDir a, b, c;
  QList<Volume> volumes = {{a.path(), "a", false}, {c.path(), "c", true}};
  FolderTree tree(nullptr, [&] { return volumes; });
  QStringList changes;
  QObject::connect(&tree, &FolderTree::FolderChanged, [&](const QString& f) { changes << f; });
  tree.setCurrentItem(tree.topLevelItem(1));

  volumes = {{a.path(), "a", false}, {b.path(), "b", true}};
  tree.RefreshVolumes();
  QStringList labels;
  for (int i = 0; i < tree.topLevelItemCount(); ++i) labels << tree.topLevelItem(i)->text(0);
  EXPECT_EQ(labels, (QStringList{"a", "b"}));
  EXPECT_FALSE(tree.CurrentFolder().isEmpty());
  EXPECT_NE(tree.CurrentFolder(), c.path());
  EXPECT_EQ(changes.last(), tree.CurrentFolder());
  EXPECT_EQ(tree.topLevelItem(1)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
}

// Catches every volume shown with one icon: network shares, removable media, optical discs and
// fixed disks are told apart and each gets an icon of its own.
TEST(FolderTree, VolumesGetTheIconOfTheirKind) {
  const struct {
    const char* root;
    const char* type;
    bool removableDevice;
    VolumeKind kind;
  } cases[] = {
      {"/mnt/books", "ext4", false, VolumeKind::FixedDisk},
      {"/mnt/stick", "vfat", true, VolumeKind::Removable},
      {"/media/reader/KINGSTON", "exfat", false, VolumeKind::Removable},
      {"/run/media/reader/disk", "ntfs3", false, VolumeKind::Removable},
      {"/media/cdrom0", "iso9660", true, VolumeKind::Optical},
      {"/mnt/library", "nfs4", false, VolumeKind::Network},
      {"/mnt/share", "cifs", false, VolumeKind::Network},
      {"/home/reader/remote", "fuse.sshfs", false, VolumeKind::Network},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KindOfMount(c.root, c.type, c.removableDevice), c.kind) << c.root << " " << c.type;

  const VolumeKind kinds[] = {VolumeKind::FixedDisk, VolumeKind::Home, VolumeKind::Removable,
                              VolumeKind::Optical, VolumeKind::Network};
  QList<Volume> volumes;
  for (const VolumeKind kind : kinds) volumes.append({QDir::tempPath(), QStringLiteral("v"), false, kind});
  FolderTree tree(nullptr, [&] { return volumes; });
  QList<QImage> icons;
  for (int i = 0; i < tree.topLevelItemCount(); ++i) {
    const QImage icon = tree.topLevelItem(i)->icon(0).pixmap(16, 16).toImage();
    EXPECT_FALSE(icon.isNull()) << i;
    EXPECT_FALSE(icons.contains(icon)) << "kind " << i << " has the icon of another kind";
    icons.append(icon);
  }
}

// Catches a picker that drops or doubles the trailing "/", that changes a field on cancel, or that
// forgets the folder confirmed last.
TEST(WorkFolderPicker, SetsTheFieldWithOneTrailingSlashAndRemembersTheFolder) {
  TempApp app;
  QTemporaryDir chosen;
  const QString folder = QDir(chosen.path()).canonicalPath();
  TfrmMain window(app.Path());

  QString openedOn;
  QString captionSeen;
  bool confirm = true;
  QString select = folder;
  ModalResponder responder({}, [&](QWidget* modal) {
    auto* dialog = qobject_cast<SelectDirDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    openedOn = dialog->tree->CurrentFolder();
    captionSeen = dialog->windowTitle();
    dialog->tree->SelectFolder(select);
    (confirm ? dialog->btnOK : dialog->btnCancel)->click();
  });

  window.SetWorkDir(0);
  EXPECT_EQ(captionSeen, QStringLiteral("Папка для невалидных файлов"));
  EXPECT_EQ(window.btnedBadDir->text(), folder + "/");

  select = QStringLiteral("/");
  window.SetWorkDir(2);
  EXPECT_EQ(openedOn, folder);
  EXPECT_EQ(captionSeen, QStringLiteral("Папка для дублей файлов"));
  EXPECT_EQ(window.btnedDoubleDir->text(), QStringLiteral("/"));

  confirm = false;
  window.btnedEndDir->setText(QStringLiteral("typed by hand"));
  window.SetWorkDir(1);
  EXPECT_EQ(window.btnedEndDir->text(), QStringLiteral("typed by hand"));
  EXPECT_EQ(responder.others, 3);
}

}  // namespace
