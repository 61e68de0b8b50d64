#pragma once

// A work area for runs of the built shelvio-cli, books made to order, and the inventory that every
// reliability test ends with: each book exactly once, with its original bytes, wherever it went.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdlib>

#include "base/native_name.h"

namespace reliability {

// True when the long soaks were asked for (SHELVIO_SOAK=1).
inline bool SoakRequested() {
  const char* value = std::getenv("SHELVIO_SOAK");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

// A valid book; `id` goes into the document id and the body so that every book's bytes differ.
inline QByteArray Book(const QString& last, const QString& first, const QString& title, const QString& id,
                       const QString& sequence = QString()) {
  const QString sequenceElement =
      sequence.isEmpty() ? QString() : QStringLiteral("<sequence name=\"%1\" number=\"1\"/>").arg(sequence);
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description>"
             "<title-info><genre>sf</genre><author><first-name>%2</first-name>"
             "<last-name>%1</last-name></author><book-title>%3</book-title><lang>ru</lang>%5"
             "</title-info><document-info><author><nickname>n</nickname></author><date>2020</date>"
             "<id>%4</id><version>1.0</version></document-info></description>"
             "<body><section><p>Книга %4</p></section></body></FictionBook>\n")
      .arg(last.toHtmlEscaped(), first.toHtmlEscaped(), title.toHtmlEscaped(), id, sequenceElement)
      .toUtf8();
}

inline QByteArray Sha256(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// Paths are QStrings that carry a name's bytes that are not UTF-8 (base/native_name.h): the books
// of some tests are named so.
inline QByteArray ReadAll(const QString& path) {
  QFile file;
  const int fd = ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    if (fd >= 0) ::close(fd);
    return QByteArrayLiteral("<unreadable>");
  }
  return file.readAll();
}

// Every regular file below folder, by the bytes of its name.
inline void AddFilesBelow(const QString& folder, QStringList& files) {
  DIR* dir = ::opendir(NativeName(folder).constData());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray name(entry->d_name);
    if (name == "." || name == "..") continue;
    const QString path = folder + u'/' + NameFromNative(name);
    struct stat info {};
    if (::lstat(NativeName(path).constData(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode))
      AddFilesBelow(path, files);
    else if (S_ISREG(info.st_mode))
      files << path;
  }
  ::closedir(dir);
}

struct ProcessResult {
  bool started = false;
  int exitCode = -1;  // -1 when the process did not exit normally
  QByteArray out;
  QByteArray err;
};

inline ProcessResult RunProgram(
    const QString& program, const QStringList& args, int timeoutMs = 300000,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
  ProcessResult result;
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(program, args);
  result.started = process.waitForStarted();
  if (!result.started) return result;
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished();
  }
  result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.out = process.readAllStandardOutput();
  result.err = process.readAllStandardError();
  return result;
}

// What a run printed: one line per book, STATUS<TAB>SOURCE<TAB>TARGET<TAB>REASON.
struct OutcomeLine {
  QString status, source, target, reason;
};

inline QList<OutcomeLine> ParseOutcomes(const QByteArray& out) {
  QList<OutcomeLine> lines;
  for (const QString& line : QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts)) {
    const QStringList fields = line.split(u'\t');
    OutcomeLine outcome;
    outcome.status = fields.value(0);
    outcome.source = fields.value(1);
    outcome.target = fields.value(2);
    outcome.reason = fields.value(3);
    lines << outcome;
  }
  return lines;
}

// A tmpfs of its own at path, unmounted at the end; Mounted() is false where mounting is refused.
class TmpfsMount {
 public:
  TmpfsMount(const QString& path, const QByteArray& options, bool wanted = true)
      : path_(QFile::encodeName(path)) {
    QDir().mkpath(path);
    mounted_ = wanted && ::mount("tmpfs", path_.constData(), "tmpfs", 0, options.constData()) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(path_.constData(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  // Makes the mount read-only; false where that is refused.
  bool MakeReadOnly() {
    return ::mount("tmpfs", path_.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  QByteArray path_;
  bool mounted_ = false;
};

// Where every book of the area was found: hash of its original bytes -> the places holding it
// ("path" for a plain file, "archive.zip!entry" for an archive member).
struct Inventory {
  QMap<QByteArray, QStringList> places;
  QStringList strangers;      // files whose bytes are no book of ours (partial copies, junk)
  QStringList emptyArchives;  // archives without entries
  QStringList
      temporaryFiles;  // hidden files (".shelvio-XXXXXXXX", ".zip-….tmp") left by an interrupted write
  QStringList unreadableArchives;
};

// The area: app/ (fls/ linked in), books/ (the processed folder), and the work folders, all below
// one temporary folder so that the inventory can look at everything a run may have touched.
class Area {
 public:
  Area() {
    EXPECT_TRUE(root_.isValid());
    for (const char* folder : {"app", "books", "bad", "double"}) QDir(root_.path()).mkpath(folder);
    QFile::link(QStringLiteral(SHELVIO_FLS_DIR), Path("app/fls"));
  }

  QString Root() const { return root_.path(); }
  QString Path(const QString& relative) const { return root_.path() + u'/' + relative; }

  // Writes a file below the area; returns its full path.
  QString Write(const QString& relative, const QByteArray& bytes) {
    const QString path = Path(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile file;
    const int fd = ::open(NativeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_TRUE(fd >= 0 && file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        << relative.toStdString();
    file.write(bytes);
    return path;
  }

  // Writes a book into books/ (or another folder of the area) and remembers its bytes for the
  // inventory.
  QString AddBook(const QString& name, const QByteArray& bytes,
                  const QString& folder = QStringLiteral("books")) {
    books_.insert(Sha256(bytes), name);
    return Write(folder + u'/' + name, bytes);
  }

  // The settings file: `lines` first (earlier keys win), then the area's work folders with the
  // processed folder at end/, and archiving off unless `lines` says otherwise.
  void WriteSettings(const QString& lines = QString()) {
    QString text = QStringLiteral("[USER]\n") + lines + u'\n';
    text +=
        QStringLiteral("BadFileDir={root}/bad/\nEndDir={root}/end/\nDoubleDir={root}/double/\nArchive=0\n");
    text.replace(QStringLiteral("{root}"), root_.path());
    Write(QStringLiteral("setting.ini"), text.toUtf8());
  }

  ProcessResult RunCli(
      const QStringList& extra = {}, int timeoutMs = 600000,
      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) const {
    QStringList args{QStringLiteral("--app-dir"), Path(QStringLiteral("app"))};
    if (QFile::exists(Path(QStringLiteral("setting.ini"))))
      args << QStringLiteral("--settings") << Path(QStringLiteral("setting.ini"));
    args << extra << Path(QStringLiteral("books"));
    return RunProgram(QStringLiteral(SHELVIO_CLI), args, timeoutMs, environment);
  }

  // Walks every file of the area except the program's folder and the settings file; archives are
  // opened with Python's zipfile, a reader that is not ours.
  Inventory Take() const {
    Inventory inventory;
    QStringList archives;
    // Links are no books of ours: only regular files count.
    QStringList files;
    AddFilesBelow(root_.path(), files);
    for (const QString& path : files) {
      const QString relative = path.mid(root_.path().size() + 1);
      if (relative.startsWith(QLatin1String("app/")) || relative == QLatin1String("setting.ini")) continue;
      // The records the runs keep of what they did are the program's, not books.
      if (relative.startsWith(QLatin1String("state/shelvio/runs/"))) continue;
      if (path.endsWith(QLatin1String(".zip"))) {
        archives << path;
        continue;
      }
      const QByteArray hash = Sha256(ReadAll(path));
      if (books_.contains(hash)) {
        inventory.places[hash] << relative;
      } else if (QFileInfo(path).fileName().startsWith(u'.')) {
        inventory.temporaryFiles << relative;
      } else {
        inventory.strangers << relative;
      }
    }
    if (!archives.isEmpty()) ReadArchives(archives, inventory);
    return inventory;
  }

  // Every book exactly once with its original bytes; nothing else but the books.
  void ExpectEveryBookOnce(const Inventory& inventory, bool allowTemporaryFiles = false) const {
    for (auto it = books_.begin(); it != books_.end(); ++it) {
      const QStringList places = inventory.places.value(it.key());
      EXPECT_EQ(places.size(), 1) << "book " << it.value().toStdString()
                                  << " found at: " << places.join(QStringLiteral(", ")).toStdString();
    }
    EXPECT_TRUE(inventory.strangers.isEmpty()) << inventory.strangers.join(u' ').toStdString();
    EXPECT_TRUE(inventory.emptyArchives.isEmpty()) << inventory.emptyArchives.join(u' ').toStdString();
    EXPECT_TRUE(inventory.unreadableArchives.isEmpty())
        << inventory.unreadableArchives.join(u' ').toStdString();
    if (!allowTemporaryFiles) {
      EXPECT_TRUE(inventory.temporaryFiles.isEmpty()) << inventory.temporaryFiles.join(u' ').toStdString();
    }
  }

  // A packed book: books/ (or folder) gets `name`, an archive made by Python's zipfile whose one
  // entry `entry` (deflated, or stored) holds the book; the inventory looks for the book inside it.
  QString AddPackedBook(const QString& name, const QString& entry, const QByteArray& bytes,
                        const QString& folder = QStringLiteral("books"), bool deflated = true) {
    books_.insert(Sha256(bytes), name);
    const QString path = Path(folder + u'/' + name);
    QDir().mkpath(QFileInfo(path).path());
    // Written under a name of plain text and then renamed: the archive's name may be bytes that
    // are no text, which a command line cannot carry.
    const QString written = QFileInfo(path).path() + QStringLiteral("/.packing.zip");
    QProcess python;
    python.start(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys, zipfile\n"
                        "method = zipfile.ZIP_DEFLATED if sys.argv[3] == '1' else zipfile.ZIP_STORED\n"
                        "with zipfile.ZipFile(sys.argv[1], 'w', method) as z:\n"
                        "    z.writestr(sys.argv[2], sys.stdin.buffer.read())"),
         written, entry, deflated ? QStringLiteral("1") : QStringLiteral("0")});
    EXPECT_TRUE(python.waitForStarted());
    python.write(bytes);
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0) << name.toStdString();
    EXPECT_EQ(::rename(NativeName(written).constData(), NativeName(path).constData()), 0);
    return path;
  }

  int BookCount() const { return static_cast<int>(books_.size()); }
  QString Where(const Inventory& inventory, const QByteArray& bytes) const {
    return inventory.places.value(Sha256(bytes)).join(u',');
  }

 private:
  void ReadArchives(const QStringList& archives, Inventory& inventory) const {
    // One interpreter for all archives: per line "OK<TAB>archive<TAB>count", then one
    // "E<TAB>archive<TAB>entry<TAB>sha256" per entry, or "BAD<TAB>archive<TAB>why".
    const QString script = QStringLiteral(
        "import hashlib, os, sys, zipfile\n"
        "out = sys.stdout.buffer\n"
        "def line(*fields): out.write(b'\\t'.join(fields) + b'\\n')\n"
        "for path in sys.stdin.buffer.read().split(b'\\0'):\n"
        "    if not path: continue\n"
        "    try:\n"
        "        with zipfile.ZipFile(os.fsdecode(path)) as z:\n"
        "            if z.testzip() is not None: raise Exception('bad CRC')\n"
        "            names = z.namelist()\n"
        "            line(b'OK', path, b'%d' % len(names))\n"
        "            for n in names:\n"
        "                line(b'E', path, n.encode('utf-8', 'replace'), "
        "hashlib.sha256(z.read(n)).hexdigest().encode())\n"
        "    except Exception as e:\n"
        "        line(b'BAD', path, str(e).replace('\\n', ' ').encode('utf-8', 'replace'))\n");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script});
    EXPECT_TRUE(python.waitForStarted());
    QByteArray paths;
    for (const QString& archive : archives) paths += NativeName(archive) + '\0';
    python.write(paths);
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(600000));
    for (const QByteArray& bytes : python.readAllStandardOutput().split('\n')) {
      if (bytes.isEmpty()) continue;
      QStringList f;
      for (const QByteArray& field : bytes.split('\t')) f << NameFromNative(field);
      const QString relative = f.value(1).mid(root_.path().size() + 1);
      if (f[0] == QLatin1String("OK") && f.value(2) == QLatin1String("0")) {
        inventory.emptyArchives << relative;
      } else if (f[0] == QLatin1String("BAD")) {
        inventory.unreadableArchives << relative + u' ' + f.value(2);
      } else if (f[0] == QLatin1String("E")) {
        const QByteArray hash = f.value(3).toLatin1();
        if (books_.contains(hash))
          inventory.places[hash] << relative + u'!' + f.value(2);
        else
          inventory.strangers << relative + u'!' + f.value(2);
      }
    }
  }

  QTemporaryDir root_;
  QMap<QByteArray, QString> books_;  // hash -> the name it was added under
};

}  // namespace reliability
