#pragma once

// A work area for runs of the built shelvio-cli, books made to order, and the inventory that every
// reliability test ends with: each book exactly once, with its original bytes, wherever it went.

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

inline QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArrayLiteral("<unreadable>");
  return file.readAll();
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
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << relative.toStdString();
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
    QDirIterator it(root_.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      const QString relative = QDir(root_.path()).relativeFilePath(path);
      if (relative.startsWith(QLatin1String("app/")) || relative == QLatin1String("setting.ini")) continue;
      // The records the runs keep of what they did are the program's, not books.
      if (relative.startsWith(QLatin1String("state/shelvio/runs/"))) continue;
      if (QFileInfo(path).isSymLink()) continue;  // links are no books of ours
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
    QProcess python;
    python.start(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys, zipfile\n"
                        "method = zipfile.ZIP_DEFLATED if sys.argv[3] == '1' else zipfile.ZIP_STORED\n"
                        "with zipfile.ZipFile(sys.argv[1], 'w', method) as z:\n"
                        "    z.writestr(sys.argv[2], sys.stdin.buffer.read())"),
         path, entry, deflated ? QStringLiteral("1") : QStringLiteral("0")});
    EXPECT_TRUE(python.waitForStarted());
    python.write(bytes);
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0) << name.toStdString();
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
        "import sys, zipfile, hashlib\n"
        "for path in sys.stdin.read().split('\\0'):\n"
        "    if not path: continue\n"
        "    try:\n"
        "        with zipfile.ZipFile(path) as z:\n"
        "            if z.testzip() is not None: raise Exception('bad CRC')\n"
        "            names = z.namelist()\n"
        "            print('OK\\t%s\\t%d' % (path, len(names)))\n"
        "            for n in names:\n"
        "                print('E\\t%s\\t%s\\t%s' % (path, n, hashlib.sha256(z.read(n)).hexdigest()))\n"
        "    except Exception as e:\n"
        "        print('BAD\\t%s\\t%s' % (path, str(e).replace('\\n', ' ')))\n");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script});
    EXPECT_TRUE(python.waitForStarted());
    python.write(archives.join(QChar(0)).toUtf8());
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(600000));
    const QDir root(root_.path());
    for (const QString& line :
         QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
      const QStringList f = line.split(u'\t');
      const QString relative = root.relativeFilePath(f.value(1));
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
