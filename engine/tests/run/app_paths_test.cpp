// Where the programs look for their data and keep their settings: a wrong answer writes into the
// install prefix, loses a portable copy's settings, or sends the books into the wrong folder.

#include "engine/app_paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <map>

#include "base/native_name.h"
#include "engine/journal.h"
#include "engine/run_record.h"
#include "tests/support/qstring_printer.h"

namespace {

constexpr uid_t kNobody = 65534;

// A layout below a temporary folder: a bin/ folder for the executable, data beside it or in
// share/shelvio/, and a home folder.
class Layout {
 public:
  Layout() {
    EXPECT_TRUE(dir_.isValid());
    // An unprivileged user must reach everything in it.
    ::chmod(QFile::encodeName(dir_.path()).constData(), 0755);
    Folder("bin");
    Folder("home");
  }
  // A read-only folder would outlive the test for an unprivileged user.
  ~Layout() { ::chmod(QFile::encodeName(Path("bin")).constData(), 0755); }
  QString Path(const QString& relative) const { return dir_.filePath(relative); }
  void Folder(const QString& relative, mode_t mode = 0755) {
    ASSERT_TRUE(QDir().mkpath(Path(relative)));
    ::chmod(QFile::encodeName(Path(relative)).constData(), mode);
  }
  void File(const QString& relative, mode_t mode = 0644) {
    QFile file(Path(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ::chmod(QFile::encodeName(Path(relative)).constData(), mode);
  }
  void Data(const QString& folder) {
    Folder(folder + "/fls");
    File(folder + "/fls/FictionBook.xsd");
  }

 private:
  QTemporaryDir dir_;
};

// ResolveAppPaths as an ordinary user sees it: root may write anywhere, so as root the decision
// is taken in a child that has become nobody. The environment is the one given, nothing more.
AppPaths ResolveAsUser(const QString& exeDir, const QMap<QByteArray, QByteArray>& environment) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) ::unsetenv(name);
    for (auto it = environment.begin(); it != environment.end(); ++it)
      ::setenv(it.key().constData(), it.value().constData(), 1);
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(3);
    const AppPaths paths = ResolveAppPaths(exeDir);
    const QByteArray answer = QStringList{paths.dataPath, paths.settingsFile, paths.tmpPath,
                                          paths.portable ? "portable" : "installed"}
                                  .join(u'\n')
                                  .toUtf8();
    const bool written = ::write(channel[1], answer.constData(), answer.size()) == answer.size();
    ::_exit(written ? 0 : 4);
  }
  ::close(channel[1]);
  QByteArray answer;
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, got);
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  const QStringList fields = QString::fromUtf8(answer).split(u'\n');
  if (fields.size() != 4) return {};
  return AppPaths{fields[0], fields[1], fields[2], fields[3] == QLatin1String("portable")};
}

TEST(AppPaths, FollowTheLayoutAndTheFolderRights) {
  struct Case {
    const char* what;
    bool dataBeside, dataInShare, binWritable;
    int settingsBeside;  // 0 none, 1 writable, 2 read-only
    bool portable;
    const char* dataPath;  // relative to the layout
  };
  const Case cases[] = {
      // the build folder or a portable copy: as it always was
      {"data beside, folder writable", true, false, true, 0, true, "bin/"},
      {"data beside, folder writable, read-only setting.ini", true, false, true, 2, true, "bin/"},
      // a portable copy on a read-only medium keeps its data and, if it has one, its settings
      {"data beside, read-only folder, writable setting.ini", true, false, false, 1, true, "bin/"},
      {"data beside, read-only folder, no setting.ini", true, false, false, 0, false, "bin/"},
      {"data beside, read-only folder and setting.ini", true, false, false, 2, false, "bin/"},
      // installed: a bin folder that the user may write (a prefix in the home folder, root's
      // /usr/bin) still never receives a setting.ini or a tmp/ folder
      {"installed, bin read-only", false, true, false, 0, false, "share/shelvio/"},
      {"installed, bin writable", false, true, true, 0, false, "share/shelvio/"},
      {"installed, writable setting.ini beside", false, true, true, 1, false, "share/shelvio/"},
      // both layouts: the copy beside the executable wins
      {"data in both places", true, true, false, 0, false, "bin/"},
      // no data anywhere: as before, and the schema's absence is reported by the run
      {"no data, folder writable", false, false, true, 0, true, "bin/"},
      {"no data, read-only folder", false, false, false, 0, false, "bin/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Layout layout;
    if (c.dataBeside) layout.Data("bin");
    if (c.dataInShare) layout.Data("share/shelvio");
    if (c.settingsBeside != 0) layout.File("bin/setting.ini", c.settingsBeside == 1 ? 0666 : 0444);
    layout.Folder("bin", c.binWritable ? 0777 : 0555);
    const QString home = layout.Path("home");

    const AppPaths paths = ResolveAsUser(layout.Path("bin"), {{"HOME", QFile::encodeName(home)}});
    EXPECT_EQ(paths.portable, c.portable);
    EXPECT_EQ(paths.dataPath, layout.Path(c.dataPath));
    if (c.portable) {
      EXPECT_EQ(paths.settingsFile, layout.Path("bin/setting.ini"));
      EXPECT_EQ(paths.tmpPath, layout.Path("bin/tmp/"));
    } else {
      EXPECT_EQ(paths.settingsFile, home + "/.config/shelvio/setting.ini");
      EXPECT_EQ(paths.tmpPath, home + "/.local/share/shelvio/");
    }
  }
}

TEST(AppPaths, InstalledModeFollowsTheXdgVariables) {
  Layout layout;
  layout.Data("share/shelvio");
  const QByteArray home = QFile::encodeName(layout.Path("home"));
  const QString exe = layout.Path("bin");

  // absolute values are taken as they stand
  AppPaths paths = ResolveAsUser(exe, {{"HOME", home}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/d"}});
  EXPECT_EQ(paths.settingsFile, "/cfg/shelvio/setting.ini");
  EXPECT_EQ(paths.tmpPath, "/d/shelvio/");

  // a relative value is ignored, as the base-directory rules say, and the home folder's default used
  paths = ResolveAsUser(exe, {{"HOME", home}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}});
  EXPECT_EQ(paths.settingsFile, layout.Path("home") + "/.config/shelvio/setting.ini");
  EXPECT_EQ(paths.tmpPath, layout.Path("home") + "/.local/share/shelvio/");

  // no HOME (a service, a cron job): the password entry's home folder, never the current folder
  paths = ResolveAsUser(exe, {});
  EXPECT_TRUE(paths.settingsFile.startsWith(u'/'));
  EXPECT_TRUE(paths.settingsFile.endsWith("/.config/shelvio/setting.ini"));
  EXPECT_TRUE(paths.tmpPath.startsWith(u'/'));
}

TEST(AppPaths, PortablePathsLieBesideTheGivenFolder) {
  const AppPaths paths = PortableAppPaths("/opt/books-tool");
  EXPECT_TRUE(paths.portable);
  EXPECT_EQ(paths.dataPath, "/opt/books-tool/");
  EXPECT_EQ(paths.settingsFile, "/opt/books-tool/setting.ini");
  EXPECT_EQ(paths.tmpPath, "/opt/books-tool/tmp/");
}

// Sets variables for the life of the object (a null value unsets one), then puts them back.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::map<QByteArray, QByteArray>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.constData());
      old_[name] = old ? QByteArray(old) : QByteArray();
      if (value.isNull())
        ::unsetenv(name.constData());
      else
        ::setenv(name.constData(), value.constData(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : old_) {
      if (value.isNull())
        ::unsetenv(name.constData());
      else
        ::setenv(name.constData(), value.constData(), 1);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::map<QByteArray, QByteArray> old_;
};

// Without HOME the books went below the password entry's home, while records and journals were
// looked for below HOME alone: none was written and the run could not be undone ("no run to undo
// in "). A HOME whose name is not UTF-8 became a folder of replacement characters beside it. The
// work folders, the settings, the records and the journals now start from one home, by its bytes.
TEST(AppPaths, RecordsJournalsAndWorkFoldersShareOneHome) {
  const passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  const QByteArray passwordHome(user->pw_dir);
  const struct {
    const char* what;
    QByteArray home;      // HOME's value; null: unset
    QByteArray expected;  // the home the folders lie in
  } cases[] = {
      {"no HOME", QByteArray(), passwordHome},
      {"a relative HOME counts as none", "books", passwordHome},
      {"a name in windows-1251", "/home/\xC4\xEE\xEC", "/home/\xC4\xEE\xEC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ScopedEnvironment environment({{"HOME", c.home},
                                         {"XDG_STATE_HOME", QByteArray()},
                                         {"XDG_DATA_HOME", QByteArray()},
                                         {"XDG_CONFIG_HOME", QByteArray()}});
    EXPECT_EQ(NativeName(HomeFolder()), c.expected);
    EXPECT_EQ(NativeName(StateFolder()), c.expected + "/.local/state/shelvio");
    EXPECT_EQ(NativeName(JournalFolder()), c.expected + "/.local/state/shelvio");
    EXPECT_EQ(NativeName(RunsFolder()), c.expected + "/.local/state/shelvio/runs");
    // An executable in no folder at all: installed, its work folders and settings below the home.
    const AppPaths paths = ResolveAppPaths("/nonexistent-shelvio/bin");
    EXPECT_EQ(NativeName(paths.tmpPath), c.expected + "/.local/share/shelvio/");
    EXPECT_EQ(NativeName(paths.settingsFile), c.expected + "/.config/shelvio/setting.ini");
  }
}

// The window and the command line ask before the first book whether a record can be written.
TEST(AppPaths, RecordFolderProblemIsFoundBeforeAnyBook) {
  QTemporaryDir area;
  ASSERT_TRUE(area.isValid());
  QFile file(area.filePath("file"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  {
    // Below a file no folder can be made, for root too.
    const ScopedEnvironment environment({{"XDG_STATE_HOME", QFile::encodeName(area.filePath("file/state"))}});
    EXPECT_TRUE(RecordFolderProblem().contains(area.filePath("file/state")))
        << RecordFolderProblem().toStdString();
  }
  const ScopedEnvironment environment({{"XDG_STATE_HOME", QFile::encodeName(area.filePath("state"))}});
  EXPECT_EQ(RecordFolderProblem(), QString());
  EXPECT_TRUE(QFileInfo(area.filePath("state/shelvio/runs")).isDir());
  EXPECT_EQ(QDir(area.filePath("state/shelvio/runs"))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList())
      << "the probe stays";
}

}  // namespace
