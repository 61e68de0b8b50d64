#include "engine/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <vector>

#include "base/native_name.h"
#include "engine/file_ops.h"

namespace {

// The XDG base-directory rule: a variable counts only when it holds an absolute path. The value's
// own bytes: a home folder whose name is not UTF-8 is still that folder, not one named in
// replacement characters beside it.
QString AbsoluteOrEmpty(const QByteArray& path) {
  return path.startsWith('/') ? NameFromNative(path) : QString();
}

// access() asks for the real user, as a person who runs the program would; a folder needs search
// permission too before anything can be created in it.
bool Writable(const QString& path, int mode = W_OK) {
  return ::access(NativeName(path).constData(), mode) == 0;
}

bool HoldsData(const QString& folder) {
  return QFile::exists(folder + QStringLiteral("fls/FictionBook.xsd"));
}

}  // namespace

QString HomeFolder() {
  if (QString home = AbsoluteOrEmpty(qgetenv("HOME")); !home.isEmpty()) return home;
  // A service or a cron job may run without HOME; the password entry still names the folder.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return AbsoluteOrEmpty(QByteArray(found->pw_dir));
  return QString();
}

QString BaseFolder(const char* variable, const char* fallback) {
  if (QString base = AbsoluteOrEmpty(qgetenv(variable)); !base.isEmpty()) return base;
  const QString home = HomeFolder();
  return home.isEmpty() ? QString() : home + u'/' + QLatin1String(fallback);
}

QString StateFolder() {
  const QString state = BaseFolder("XDG_STATE_HOME", ".local/state");
  return state.isEmpty() ? QString() : state + QStringLiteral("/shelvio");
}

AppPaths PortableAppPaths(const QString& appPath) {
  const QString path = IncludeTrailingDelimiter(appPath);
  return AppPaths{path, path + QStringLiteral("setting.ini"), path + QStringLiteral("tmp/"), true};
}

AppPaths ResolveAppPaths(const QString& exeDir) {
  const QString appPath = IncludeTrailingDelimiter(QDir(exeDir).absolutePath());
  const QString sharePath =
      IncludeTrailingDelimiter(QDir::cleanPath(appPath + QStringLiteral("../share/shelvio")));
  const bool dataBeside = HoldsData(appPath);
  const bool dataInShare = !dataBeside && HoldsData(sharePath);

  if (!dataInShare) {
    // A writable setting.ini counts even in a read-only folder: the user chose to keep it there.
    const QString settings = appPath + QStringLiteral("setting.ini");
    if ((QFile::exists(settings) && Writable(settings)) || Writable(appPath, W_OK | X_OK))
      return PortableAppPaths(appPath);
  }

  AppPaths paths;
  paths.portable = false;
  paths.dataPath = dataInShare ? sharePath : appPath;
  const QString config = BaseFolder("XDG_CONFIG_HOME", ".config");
  const QString data = BaseFolder("XDG_DATA_HOME", ".local/share");
  if (!config.isEmpty()) paths.settingsFile = config + QStringLiteral("/shelvio/setting.ini");
  if (!data.isEmpty()) paths.tmpPath = data + QStringLiteral("/shelvio/");
  return paths;
}
