#pragma once

#include <QString>

// Where both programs find their data and keep their settings file and default work folders.
//
// Portable: everything beside the executable, as it always was: fls/, setting.ini and tmp/.
// Installed: the data in ../share/shelvio/fls/ relative to the executable, the settings in
// $XDG_CONFIG_HOME/shelvio/setting.ini and the default work folders in $XDG_DATA_HOME/shelvio/,
// so that nothing is ever written below the install prefix.
struct AppPaths {
  // The folder that holds fls/ (the schema and the genre-name list); ends in "/".
  QString dataPath;
  // The settings file.
  QString settingsFile;
  // The parent of the default work folders bad/, end/ and double/; ends in "/".
  QString tmpPath;
  bool portable = true;
};

// The user's home folder: $HOME when it holds an absolute path, else the password entry's (a
// service or a cron job may run without HOME); empty when neither is known. The books' work
// folders, the settings, the records of runs and the journals all start from this one answer.
// Names keep their bytes (base/native_name.h).
QString HomeFolder();

// $variable when it holds an absolute path, else fallback below HomeFolder(); empty when neither
// is known.
QString BaseFolder(const char* variable, const char* fallback);

// $XDG_STATE_HOME/shelvio (~/.local/state/shelvio): the records of runs and the journals of moves.
// Empty when no home folder is known. Read anew on each call.
QString StateFolder();

// Everything beside appPath, which stands for the executable's folder.
AppPaths PortableAppPaths(const QString& appPath);

// The decision for an executable in exeDir. Portable when fls/ lies beside the executable, or when
// the data is found nowhere, and the folder holds a writable setting.ini or is itself writable.
// Installed when the data lies in ../share/shelvio/fls/: a writable bin folder (root's /usr/bin,
// a prefix in the user's home) does not make it portable. Otherwise installed with the data beside
// the executable. Empty settingsFile and tmpPath when installed and no home folder is known.
AppPaths ResolveAppPaths(const QString& exeDir);
