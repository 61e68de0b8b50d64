// Runs shelvio-cli with archiving on and checks every archive with readers other than ours.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <csignal>
#include <utility>
#include <vector>

#include "cli_test_support.h"
#include "tests/support/zip_level.h"

namespace {

using namespace clitest;

// Tests every archive it is given with Python's zipfile and prints one JSON line per archive:
// [path, first bad entry or null, [[name, sha256 of the bytes read, general purpose flags], ...]].
const char kZipfileReader[] = R"(
import hashlib, json, sys, zipfile
for path in sys.argv[1:]:
    try:
        with zipfile.ZipFile(path) as z:
            bad = z.testzip()
            entries = [[i.filename, hashlib.sha256(z.read(i)).hexdigest(), i.flag_bits]
                       for i in z.infolist()]
    except zipfile.BadZipFile as e:
        bad, entries = 'not an archive: %s' % e, []
    print(json.dumps([path, bad, entries]))
)";

struct ZipEntry {
  QString name;
  QByteArray sha256;
  int flags = 0;
};

struct ZipReport {
  QString bad;  // empty when Python's zipfile found every entry sound
  std::vector<ZipEntry> entries;
};

QMap<QString, ZipReport> ReadWithZipfile(const QStringList& archives) {
  QMap<QString, ZipReport> reports;
  if (archives.isEmpty()) return reports;
  QProcess python;
  python.start("python3", QStringList{"-c", kZipfileReader} + archives);
  EXPECT_TRUE(python.waitForFinished(300000));
  EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
  for (const QByteArray& line : python.readAllStandardOutput().split('\n')) {
    if (line.isEmpty()) continue;
    const QJsonArray row = QJsonDocument::fromJson(line).array();
    ZipReport report;
    report.bad = row.at(1).toString();
    for (const QJsonValue& value : row.at(2).toArray()) {
      const QJsonArray entry = value.toArray();
      report.entries.push_back(
          {entry.at(0).toString(), entry.at(1).toString().toLatin1(), entry.at(2).toInt()});
    }
    reports.insert(row.at(0).toString(), report);
  }
  return reports;
}

QByteArray Sha256Of(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

struct ToolRun {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

ToolRun RunTool(const QString& program, const QStringList& args) {
  QProcess process;
  process.start(program, args);
  ToolRun run;
  if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) return run;
  run.exitCode = process.exitCode();
  run.out = process.readAllStandardOutput();
  run.err = process.readAllStandardError();
  return run;
}

class CliArchive : public Cli {
 protected:
  // What a file holds, comparable across cases: an archive by its entries as Python reads them,
  // anything else (an archive that does not read included) by its bytes.
  QString Describe(const QString& relative) {
    const QString path = Path(relative);
    if (relative.endsWith(".zip")) {
      const ZipReport report = ReadWithZipfile({path}).value(path);
      if (report.bad.isEmpty()) {
        QStringList entries;
        for (const ZipEntry& entry : report.entries) entries << entry.name + "=" + entry.sha256;
        return "archive[" + entries.join(", ") + "]";
      }
    }
    return QString::fromLatin1(Sha256(path));
  }

  QMap<QString, QString> Contents() {
    QMap<QString, QString> contents;
    for (const QString& relative : Files().keys()) contents.insert(relative, Describe(relative));
    return contents;
  }
};

QString Plain(const QByteArray& bytes) { return QString::fromLatin1(Sha256Of(bytes)); }

QString Zipped(const QString& name, const QByteArray& bytes) {
  return "archive[" + name + "=" + QString::fromLatin1(Sha256Of(bytes)) + "]";
}

// Same destination as kIvanov under every template, other bytes.
const QByteArray kIvanovAgain = Book("Иванов", "Иван", "Тихий дом", "detective");
const QByteArray kPetrov = Book("Петров", "Пётр", "Шумный дом");
const QByteArray kOldArchive = "an archive made by an earlier run";
const QByteArray kTooLongName = Book("Иванов", "Иван", QString(200, QChar(u'Д')));

// With archiving on, a destination is taken when the book or its archive is there; a book is
// deleted only once its archive holds it; and a move that put nothing at the destination packs
// nothing, leaves no archive and lets the run go on.
TEST_F(CliArchive, NoBookIsLostOrLeftBehindAnEmptyArchive) {
  const QString ivanov = "Иванов Иван - Тихий дом.fb2";
  const QString cut = "Иванов Иван - " + QString(111, QChar(u'Д')) + ".fb2";
  struct Case {
    const char* what;
    QString settings;
    std::vector<std::pair<QString, QByteArray>> before;
    std::vector<std::pair<QString, QString>> after;  // every file afterwards, as Describe says
    QStringList statuses;
  } const cases[] = {
      {"packed, and the book deleted",
       "Rename=0\nSort=0",
       {{"books/a.fb2", kIvanov}},
       {{"end/a.fb2.zip", Zipped("a.fb2", kIvanov)}},
       {"moved"}},
      {"the same destination twice in one run: the first archive stays",
       "Sort=0",
       {{"books/a.fb2", kIvanov}, {"books/b.fb2", kIvanovAgain}},
       {{"end/" + ivanov + ".zip", Zipped(ivanov, kIvanov)}, {"double/b.fb2", Plain(kIvanovAgain)}},
       {"moved", "repeat"}},
      {"an archive of an earlier run is never replaced",
       "Rename=0\nSort=0",
       {{"books/a.fb2", kIvanov}, {"end/a.fb2.zip", kOldArchive}},
       {{"end/a.fb2.zip", Plain(kOldArchive)}, {"double/a.fb2", Plain(kIvanov)}},
       {"repeat"}},
      {"a repeat leaves the book that was already there alone",
       "Rename=0\nSort=0",
       {{"books/a.fb2", kIvanov}, {"end/a.fb2", kIvanovAgain}},
       {{"end/a.fb2", Plain(kIvanovAgain)}, {"double/a.fb2", Plain(kIvanov)}},
       {"repeat"}},
      {"book and archive both there: neither is touched",
       "Rename=0\nSort=0",
       {{"books/a.fb2", kIvanov}, {"end/a.fb2", kIvanovAgain}, {"end/a.fb2.zip", kOldArchive}},
       {{"end/a.fb2", Plain(kIvanovAgain)},
        {"end/a.fb2.zip", Plain(kOldArchive)},
        {"double/a.fb2", Plain(kIvanov)}},
       {"repeat"}},
      {"the repeat move fails: nothing at the destination to pack",
       "Rename=0\nSort=0",
       {{"books/a.fb2", kIvanov}, {"end/a.fb2.zip", kOldArchive}, {"double/a.fb2", kPetrov}},
       {{"books/a.fb2", Plain(kIvanov)},
        {"end/a.fb2.zip", Plain(kOldArchive)},
        {"double/a.fb2", Plain(kPetrov)}},
       {"kept"}},
      // end/И is a file, so the sort folder below it cannot be created; the next book still goes
      {"a sort folder that cannot be created",
       "Rename=0\nSort=1",
       {{"books/a.fb2", kIvanov}, {"books/b.fb2", kPetrov}, {"end/И", "a file, not a folder"}},
       {{"books/a.fb2", Plain(kIvanov)},
        {"end/И", Plain("a file, not a folder")},
        {"end/П/Петров Пётр/b.fb2.zip", Zipped("b.fb2", kPetrov)}},
       {"kept", "moved"}},
      // 24 bytes of author, 111 two-byte letters and ".fb2": 250 bytes, 254 with ".zip"
      {"a title too long for a name is cut so that its archive's name fits too",
       "Sort=0",
       {{"books/a.fb2", kTooLongName}, {"books/b.fb2", kIvanov}},
       {{"end/" + cut + ".zip", Zipped(cut, kTooLongName)},
        {"end/" + ivanov + ".zip", Zipped(ivanov, kIvanov)}},
       {"moved", "moved"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* folder : {"books", "bad", "end", "double"}) {
      QDir(Path(folder)).removeRecursively();
      QDir(root_.path()).mkpath(folder);
    }
    for (const auto& [name, bytes] : c.before) Write(name, bytes);
    WriteSettings("Archive=1\n" + c.settings);

    const Result result = RunOnBooks();
    EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
    QStringList statuses;
    for (const QString& line : result.lines) {
      const QStringList fields = line.split(u'\t');
      ASSERT_EQ(fields.size(), 4) << line.toStdString();
      statuses << fields[0];
      // A moved book names the archive that holds it; a kept one says why it stayed.
      if (fields[0] == "moved") {
        EXPECT_TRUE(fields[2].endsWith(".zip") && QFile::exists(fields[2])) << line.toStdString();
      }
      if (fields[0] == "kept") {
        EXPECT_FALSE(fields[3].isEmpty()) << line.toStdString();
      }
    }
    EXPECT_EQ(statuses, c.statuses) << result.lines.join("\n").toStdString();
    QMap<QString, QString> expected;
    for (const auto& [name, description] : c.after) expected.insert(name, description);
    EXPECT_EQ(Contents(), expected);
  }
}

// Random bytes, so that deflate cannot shrink them below their base64 text's 3/4.
QByteArray BookWithPicture(int pictureBytes) {
  QByteArray picture(pictureBytes, '\0');
  QRandomGenerator random(20240611);
  for (char& byte : picture) byte = static_cast<char>(random.bounded(256));
  QByteArray book = kIvanov;
  book.replace("</FictionBook>", "<binary id=\"p\" content-type=\"image/jpeg\">" + picture.toBase64() +
                                     "</binary></FictionBook>");
  return book;
}

// Unmounts what it mounted, before the work area is removed.
class TmpfsMount {
 public:
  TmpfsMount(const QString& path, const char* options) : path_(QFile::encodeName(path)) {
    mounted_ = ::mount("tmpfs", path_.constData(), "tmpfs", 0, options) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(path_.constData(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool Mounted() const { return mounted_; }

 private:
  QByteArray path_;
  bool mounted_ = false;
};

// The disk fills while the archive is written: the writer asks, the policy answers, the writer
// gives up on the book. The book stays unpacked and intact with the reason on its line, no archive
// is left, and the run goes on.
TEST_F(CliArchive, BookStaysWhenTheWriterGivesUp) {
  // 40 KB of book on a 64 KB disk: the move fits, the 30 KB that deflate makes of it do not.
  const QByteArray big = BookWithPicture(30000);
  for (const auto& [policy, answered] : {std::pair{"abort", "(aborted)"}, std::pair{"ignore", "(ignored)"}}) {
    SCOPED_TRACE(policy);
    ASSERT_TRUE(QDir(root_.path()).mkpath("small"));
    const TmpfsMount disk(Path("small"), "size=64k");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs was refused";
    Write("books/a.fb2", big);
    Write("books/b.fb2", kIvanov);
    WriteSettings("Archive=1\nRename=0\nSort=0\nEndDir={root}/small/");

    const Result result = RunOnBooks({"--on-zip-error", policy});
    EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
    EXPECT_TRUE(result.errors.contains("Native error: 00065")) << result.errors.toStdString();
    EXPECT_TRUE(result.errors.contains(answered)) << result.errors.toStdString();
    // The line says why the book is not packed, as the question did.
    EXPECT_EQ(
        result.lines,
        (QStringList{"moved\ta.fb2\t" + Path("small/a.fb2") +
                         "\tDisk is full. There is not enough free space on disk. - Native error: 00065. "
                         "File processing error, possibly disk is full",
                     "moved\tb.fb2\t" + Path("small/b.fb2.zip") + "\t"}));
    EXPECT_EQ(Files("small").keys(), (QStringList{"small/a.fb2", "small/b.fb2.zip"}));
    EXPECT_EQ(Sha256(Path("small/a.fb2")), Sha256Of(big));
    EXPECT_EQ(Describe("small/b.fb2.zip"), Zipped("b.fb2", kIvanov));
  }
}

// An error of the writer ends the run (here the archive may not grow past 25 bytes, so even its
// first header does not fit). The book stays at its destination, and the archive that the writer
// rolled back to no entries is not left beside it.
TEST_F(CliArchive, WriterErrorEndsTheRunWithoutAnEmptyArchive) {
  Write("books/a.fb2", kIvanov);
  Write("books/b.fb2", kPetrov);
  WriteSettings("Archive=1\nRename=0\nSort=0");
  const Result result = RunCli({"--app-dir", Path("app"), Path("books")}, -1, [] {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {25, 25};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.errors.contains("Stream write error.\n")) << result.errors.toStdString();
  EXPECT_EQ(Files().keys(), (QStringList{"books/b.fb2", "end/a.fb2"}));
  EXPECT_EQ(Sha256(Path("end/a.fb2")), Sha256Of(kIvanov));
  // The book had moved before the error: its line says where, so the summary does not count it
  // as untouched.
  ASSERT_EQ(result.lines.size(), 1);
  EXPECT_TRUE(result.lines[0].startsWith("moved\ta.fb2\t" + Path("end/a.fb2") + "\t"))
      << result.lines[0].toStdString();
}

// The compression choice of the settings reaches the archives, read the way the window reads it:
// each item its own method and level, normal (level 6) by default and for a value naming no item.
TEST_F(CliArchive, ZipLevelChoosesTheCompression) {
  const QByteArray book = BookOfManyWords();
  const struct {
    const char* line;
    int compression;
  } cases[] = {{"", 6},           {"ZipLevel=0", 1}, {"ZipLevel=1", 9},
               {"ZipLevel=2", 6}, {"ZipLevel=3", 0}, {"ZipLevel=9", 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    QFile::remove(Path("end/a.fb2.zip"));
    Write("books/a.fb2", book);
    WriteSettings(QStringLiteral("Archive=1\nRename=0\nSort=0\n") + c.line);
    const Result result = RunOnBooks();
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    QFile archive(Path("end/a.fb2.zip"));
    ASSERT_TRUE(archive.open(QIODevice::ReadOnly));
    EXPECT_EQ(CompressionOfBook(archive.readAll(), book), c.compression);
  }
}

QStringList CorpusBooks() {
  return QDir(SHELVIO_CORPUS_DIR "/files").entryList({"*.fb2"}, QDir::Files, QDir::Name);
}

// A real collection, renamed, sorted and packed: every archive passes four readers that are not
// ours and gives back the very bytes of its book, under the book's new name.
TEST_F(CliArchive, CorpusArchivesPassEveryReader) {
  for (const char* reader : {"unzip", "7z", "bsdtar", "python3"})
    ASSERT_FALSE(QStandardPaths::findExecutable(reader).isEmpty()) << reader << " is not installed";
  QMap<QString, QByteArray> original;  // list item -> SHA-256
  for (const QString& name : CorpusBooks()) {
    ASSERT_TRUE(QFile::copy(SHELVIO_CORPUS_DIR "/files/" + name, Path("books/" + name)));
    original.insert(name, Sha256(Path("books/" + name)));
  }
  ASSERT_EQ(original.size(), 76);
  // No conforming book of the corpus is above the writer's 1 MiB input chunk: two of ours are, one
  // that deflate shrinks well and one it cannot shrink.
  QByteArray text = kPetrov;
  text.replace("<p>text</p>", QByteArray("<p>Шумный дом стоял на краю города.</p>\n").repeated(60000));
  Write("books/zz text.fb2", text);
  original.insert("zz text.fb2", Sha256Of(text));
  const QByteArray picture = BookWithPicture(1600000);
  Write("books/zz picture.fb2", picture);
  original.insert("zz picture.fb2", Sha256Of(picture));
  WriteSettings("Archive=1\nRename=1\nSort=1\nFullGenres=1");

  const Result result = RunOnBooks();
  ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
  ASSERT_EQ(result.lines.size(), 78) << result.errors.toStdString();

  QMap<QString, QByteArray> expected;  // archive -> SHA-256 of the book it must hold
  for (const QString& line : result.lines) {
    const QStringList fields = line.split(u'\t');
    ASSERT_EQ(fields.size(), 4);
    const QString& status = fields[0];
    EXPECT_NE(status, "kept") << line.toStdString();
    if (status == "moved") {
      ASSERT_TRUE(fields[2].endsWith(".fb2.zip")) << line.toStdString();
      expected.insert(fields[2], original.value(fields[1]));
    } else {
      EXPECT_EQ(Sha256(fields[2]), original.value(fields[1])) << line.toStdString();
    }
  }
  EXPECT_GE(expected.size(), 12);  // 11 books of the corpus conform to the schema, and ours
  // Nothing unpacked or half-written stays in the processed folder.
  QStringList packed;
  for (const QString& relative : Files("end").keys()) {
    EXPECT_TRUE(relative.endsWith(".fb2.zip")) << relative.toStdString();
    packed << Path(relative);
  }
  EXPECT_EQ(packed, expected.keys());

  const QMap<QString, ZipReport> python = ReadWithZipfile(expected.keys());
  for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
    const QString& archive = it.key();
    SCOPED_TRACE(archive.toStdString());
    const QString entryName = QFileInfo(archive).completeBaseName();  // the book's new name
    const ZipReport report = python.value(archive);
    EXPECT_TRUE(report.bad.isEmpty()) << report.bad.toStdString();
    EXPECT_EQ(report.entries.size(), 1u);
    if (report.entries.size() == 1) {
      EXPECT_EQ(report.entries[0].name, entryName);
      EXPECT_EQ(report.entries[0].sha256, it.value());
    }

    const ToolRun unzipTest = RunTool("unzip", {"-t", archive});
    EXPECT_EQ(unzipTest.exitCode, 0) << unzipTest.out.toStdString();
    const ToolRun sevenTest = RunTool("7z", {"t", archive});
    EXPECT_EQ(sevenTest.exitCode, 0) << sevenTest.out.toStdString();
    EXPECT_TRUE(sevenTest.out.contains("Everything is Ok")) << sevenTest.out.toStdString();
    const ToolRun bsdtarList = RunTool("bsdtar", {"-tf", archive});
    EXPECT_EQ(bsdtarList.exitCode, 0) << bsdtarList.err.toStdString();
    EXPECT_EQ(bsdtarList.out.count('\n'), 1) << bsdtarList.out.toStdString();

    for (const auto& [program, args] : std::vector<std::pair<QString, QStringList>>{
             {"unzip", {"-p", archive}}, {"7z", {"x", "-so", archive}}, {"bsdtar", {"-xOf", archive}}}) {
      const ToolRun extract = RunTool(program, args);
      EXPECT_EQ(extract.exitCode, 0) << program.toStdString() << ": " << extract.err.toStdString();
      EXPECT_EQ(Sha256Of(extract.out), it.value()) << program.toStdString() << " extracted other bytes";
    }
  }
}

}  // namespace
