#pragma once

// A work area on disk and the built shelvio-cli run in it, for the end-to-end tests.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
#include <ostream>
#include <utility>

#include "tests/support/book_text.h"

// GoogleTest shows a failing QString as readable UTF-8 instead of a dump of its code units. Every
// file of the executable must see it: the printer templates are instantiated once for all.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
// Byte strings here are mostly checksums in hex: shown as text too.
inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << '"' << bytes.toStdString() << '"'; }

namespace clitest {

using Tree = QMap<QString, QByteArray>;  // relative path -> SHA-256 of the bytes

inline const QByteArray kIvanov = Book("Иванов", "Иван", "Тихий дом");
inline const QByteArray kNotWellFormed = "<FictionBook><description>";
inline const QByteArray kNotConforming = Book("Петров", "Пётр", "Шумный дом", "no_such_genre");

struct Result {
  int exitCode = -1;
  QStringList lines;  // standard output, one per book
  QString errors;     // standard error
};

// Runs a shell command in folder; true when it exits 0.
inline bool Shell(const QString& folder, const QString& command) {
  QProcess shell;
  shell.setWorkingDirectory(folder);
  shell.start("bash", {"-c", command});
  shell.waitForFinished(120000);
  return shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
}

inline QByteArray Sha256(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&file);
  return hash.result().toHex();
}

// A work area: app/ (with fls/ linked in), books/, and the three work folders.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    for (const char* folder : {"app", "books", "bad", "end", "double"})
      ASSERT_TRUE(QDir(root_.path()).mkpath(folder));
    ASSERT_TRUE(QFile::link(SHELVIO_FLS_DIR, Path("app/fls")));
  }

  QString Path(const QString& relative) const { return root_.path() + "/" + relative; }

  void Write(const QString& relative, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(Path(relative)).path());
    QFile file(Path(relative));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << relative.toStdString();
    file.write(bytes);
  }

  // A settings file: the work folders of this area, archiving off, then `lines` ("{root}" stands
  // for the area's path). Later keys of the same name do not count, so `lines` go first.
  void WriteSettings(const QString& lines) {
    QString text = "[USER]\n" + lines + "\n";
    text += "BadFileDir={root}/bad/\nEndDir={root}/end/\nDoubleDir={root}/double/\nArchive=0\n";
    text.replace("{root}", root_.path());
    Write("setting.ini", text.toUtf8());
  }

  // childSetup, when given, runs in the child between fork and exec (resource limits and the like).
  Result RunCli(QStringList args, int interruptAfterLines = -1,
                const std::function<void()>& childSetup = {}) {
    const QByteArray settingsBefore = Sha256(Path("setting.ini"));
    QProcess process;
    process.setProgram(SHELVIO_CLI);
    if (!args.contains("--settings") && QFile::exists(Path("setting.ini")))
      args = QStringList{"--settings", Path("setting.ini")} + args;
    process.setArguments(args);
    // Records of runs and journals of moves stay in the area, one state folder per test.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", Path("state"));
    for (auto it = environment_.begin(); it != environment_.end(); ++it)
      environment.insert(it.key(), it.value());
    process.setProcessEnvironment(environment);
    if (childSetup) process.setChildProcessModifier(childSetup);
    process.start();
    EXPECT_TRUE(process.waitForStarted());
    if (interruptAfterLines >= 0) {
      QByteArray seen;
      while (seen.count('\n') < interruptAfterLines && process.waitForReadyRead(10000))
        seen += process.peek(1 << 20);
      ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    }
    EXPECT_TRUE(process.waitForFinished(300000));
    Result result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    result.lines = out.split(u'\n', Qt::SkipEmptyParts);
    result.errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(Sha256(Path("setting.ini")), settingsBefore) << "the settings file was written";
    return result;
  }

  Result RunOnBooks(const QStringList& extra = {}) {
    return RunCli(QStringList{"--app-dir", Path("app")} + extra + QStringList{Path("books")});
  }

  // Every file below the area except the program's folder and the settings file.
  Tree Files(const QString& below = QString()) const {
    Tree tree;
    const QString top = below.isEmpty() ? root_.path() : Path(below);
    QDirIterator it(top, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString relative = QDir(root_.path()).relativeFilePath(it.next());
      if (relative.startsWith("app/") || relative.startsWith("state/") || relative == "setting.ini") continue;
      tree.insert(relative, Sha256(Path(relative)));
    }
    return tree;
  }

  QTemporaryDir root_;
  // Variables the program gets beside the state folder above, or in its place.
  QMap<QString, QString> environment_;
};

}  // namespace clitest
