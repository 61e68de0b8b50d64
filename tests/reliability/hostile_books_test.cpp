// Books made to hurt: entity bombs, external resources, absurd sizes and names, metadata that aims
// outside the processed folder. Each run must finish, keep every book, and touch nothing else.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <cerrno>
#include <climits>

#include "reliability_support.h"

namespace {

using reliability::Area;
using reliability::Book;
using reliability::OutcomeLine;
using reliability::ParseOutcomes;
using reliability::ProcessResult;

const QByteArray kHead =
    "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
    "<genre>sf</genre><author><first-name>a</first-name><last-name>b</last-name></author>";
const QByteArray kTail =
    "<lang>ru</lang></title-info><document-info><author><nickname>n</nickname></author><date>2020"
    "</date><id>x</id><version>1.0</version></document-info></description><body><section><p>t</p>"
    "</section></body></FictionBook>\n";

// A book whose title is `title`, after an optional internal DTD subset.
QByteArray BookWithTitle(const QByteArray& doctype, const QByteArray& title) {
  return "<?xml version=\"1.0\"?>\n" + doctype + "\n" + kHead + "<book-title>" + title + "</book-title>" +
         kTail;
}

QByteArray BillionLaughs() {
  QByteArray dtd = "<!DOCTYPE FictionBook [\n<!ENTITY l0 \"lol\">\n";
  for (int level = 1; level <= 10; ++level) {
    dtd += "<!ENTITY l" + QByteArray::number(level) + " \"";
    for (int i = 0; i < 10; ++i) dtd += "&l" + QByteArray::number(level - 1) + ";";
    dtd += "\">\n";
  }
  return BookWithTitle(dtd + "]>", "&l10;");
}

// One 100 kB entity referenced 30,000 times: 3 GB of text once expanded.
QByteArray QuadraticBlowup() {
  return BookWithTitle("<!DOCTYPE FictionBook [<!ENTITY a \"" + QByteArray(100000, 'a') + "\">]>",
                       QByteArray("&a;").repeated(30000));
}

QByteArray DeepNesting(int depth) {
  return "<?xml version=\"1.0\"?>\n" + kHead + "<book-title>t</book-title>" +
         kTail.left(kTail.indexOf("<p>")) + QByteArray("<section>").repeated(depth) + "<p>t</p>" +
         QByteArray("</section>").repeated(depth) + "</section></body></FictionBook>\n";
}

QByteArray HugeAttribute(qsizetype size) {
  QByteArray book = Book("Огромов", "Атрибут", "Большой", "huge");
  book.replace("<p>", "<p id=\"" + QByteArray(size, 'x') + "\">");
  return book;
}

QByteArray RandomBytes(qsizetype size) {
  QRandomGenerator random(20240517);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char& c : bytes) c = static_cast<char>(random.bounded(256));
  return bytes;
}

// A book in UTF-16LE without a byte-order mark; its prolog says UTF-16.
QByteArray Utf16WithoutBom() {
  QString text = QString::fromUtf8(Book("Шестнадцатибитов", "Юникод", "Без метки", "utf16"));
  text.replace(QStringLiteral("encoding=\"UTF-8\""), QStringLiteral("encoding=\"UTF-16\""));
  return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

// A listening socket on the loopback interface that must never be called.
class Tripwire {
 public:
  Tripwire() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "no loopback socket: " << std::strerror(errno);
    port_ = ntohs(address.sin_port);
  }
  ~Tripwire() {
    if (fd_ >= 0) ::close(fd_);
  }
  QByteArray Url(const char* path) const {
    return "http://127.0.0.1:" + QByteArray::number(port_) + "/" + path;
  }
  bool Called() const {
    const int client = ::accept(fd_, nullptr, nullptr);
    if (client >= 0) ::close(client);
    return client >= 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct HostileCase {
  const char* name;
  QByteArray bytes;
  const char* status;  // the status line the run must print for it
};

// Everything in one run, as a user's library would hold it: the run goes through all of them with
// bounded memory, gives each its verdict, reads no file and calls no host on a book's say-so.
TEST(HostileBooks, NoBookMakesTheRunMisbehave) {
  Area area;
  const QByteArray secret = "TOPSECRET-" + QByteArray::number(QRandomGenerator::global()->generate());
  const QString secretPath = area.Write("secret.txt", secret);
  const QByteArray secretUrl = "file://" + QFile::encodeName(secretPath);
  Tripwire tripwire;
  const QByteArray longName = QByteArray(NAME_MAX - 4, 'n');  // 255 bytes with ".fb2"

  const HostileCase cases[] = {
      // entity bombs: rejected without expansion
      {"billion_laughs.fb2", BillionLaughs(), "invalid"},
      {"quadratic_blowup.fb2", QuadraticBlowup(), "invalid"},
      // external entities and DTDs: never read, never fetched
      {"entity_local_file.fb2",
       BookWithTitle("<!DOCTYPE FictionBook [<!ENTITY s SYSTEM \"" + secretUrl + "\">]>", "&s;"), "invalid"},
      {"entity_network.fb2",
       BookWithTitle("<!DOCTYPE FictionBook [<!ENTITY s SYSTEM \"" + tripwire.Url("e") + "\">]>", "&s;"),
       "invalid"},
      {"parameter_entity.fb2",
       BookWithTitle("<!DOCTYPE FictionBook [<!ENTITY % p SYSTEM \"" + tripwire.Url("p") + "\"> %p;]>", "pe"),
       "moved"},
      {"external_dtd.fb2",
       BookWithTitle("<!DOCTYPE FictionBook SYSTEM \"" + tripwire.Url("d.dtd") + "\">", "dtd"), "moved"},
      {"external_local_dtd.fb2", BookWithTitle("<!DOCTYPE FictionBook SYSTEM \"" + secretUrl + "\">", "ldtd"),
       "moved"},
      // sizes and shapes the parser must refuse or survive
      {"deep_nesting.fb2", DeepNesting(100000), "invalid"},
      {"huge_attribute.fb2", HugeAttribute(100 * 1024 * 1024), "invalid"},
      {"empty.fb2", QByteArray(), "invalid"},
      {"random.fb2", RandomBytes(65536), "invalid"},
      {"utf16_without_bom.fb2", Utf16WithoutBom(), "moved"},
      // names that test the output format and the file system's limit
      {"new\nline.fb2", Book("Перевод", "Строки", "Имя с переводом строки", "nl"), "moved"},
      {"tab\there.fb2", Book("Табуляция", "В", "Имени", "tab"), "moved"},
      {nullptr, Book("Длинное", "Имя", "Файла", "long"), "moved"},
      {nullptr, QByteArray("<not-a-book>"), "invalid"},
  };
  QMap<QString, const HostileCase*> byName;
  int unnamed = 0;
  for (const HostileCase& c : cases) {
    // The two unnamed rows get names of exactly 255 bytes.
    const QString name = c.name ? QString::fromUtf8(c.name)
                                : QString::fromLatin1(longName.left(longName.size() - unnamed++)) + ".fb2";
    area.AddBook(name, c.bytes);
    byName.insert(name, &c);
  }
  // Not books: a folder named like one, a link loop, a dangling link. They are never listed.
  ASSERT_TRUE(QDir().mkpath(area.Path("books/folder.fb2")));
  ASSERT_EQ(::symlink("loop2.fb2", QFile::encodeName(area.Path("books/loop1.fb2")).constData()), 0);
  ASSERT_EQ(::symlink("loop1.fb2", QFile::encodeName(area.Path("books/loop2.fb2")).constData()), 0);
  ASSERT_EQ(::symlink("nowhere", QFile::encodeName(area.Path("books/dangling.fb2")).constData()), 0);
  area.WriteSettings();

  // At most 3 GB of address space: an expanding parser dies instead of exhausting the machine.
  // AddressSanitizer's shadow memory alone is larger; there the run goes unbounded, and the
  // sanitizer watches for the faults instead.
  QStringList command{
      SHELVIO_CLI, "--app-dir", area.Path("app"), "--settings", area.Path("setting.ini"), area.Path("books")};
#ifndef __SANITIZE_ADDRESS__
  command = QStringList{"--as=3221225472", "--"} + command;
  const QString launcher = "prlimit";
#else
  const QString launcher = command.takeFirst();
#endif
  QElapsedTimer timer;
  timer.start();
  const ProcessResult result = reliability::RunProgram(launcher, command, 120000);
  const qint64 elapsed = timer.elapsed();
  ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
  EXPECT_LT(elapsed, 60000) << "the hostile books took too long";

  const QList<OutcomeLine> lines = ParseOutcomes(result.out);
  EXPECT_EQ(lines.size(), std::size(cases)) << result.out.toStdString();
  for (const OutcomeLine& line : lines) {
    QString source = line.source;
    source.replace("\\n", "\n").replace("\\t", "\t");
    SCOPED_TRACE(source.toStdString());
    ASSERT_TRUE(byName.contains(source)) << "listed something that is no book";
    EXPECT_EQ(line.status, QLatin1String(byName[source]->status)) << line.reason.toStdString();
    EXPECT_FALSE(line.target.contains(QString::fromLatin1(secret)));
    EXPECT_FALSE(line.reason.contains(QString::fromLatin1(secret)));
    if (line.status == "moved") {
      EXPECT_TRUE(line.target.startsWith(area.Path("end/"))) << line.target.toStdString();
    }
    if (line.status == "invalid") {
      EXPECT_EQ(line.target, area.Path("bad/") + source);
    }
  }
  EXPECT_FALSE(tripwire.Called()) << "a book made the run call the network";
  EXPECT_FALSE(result.out.contains(secret) || result.err.contains(secret));

  reliability::Inventory inventory = area.Take();
  inventory.strangers.removeAll("secret.txt");
  area.ExpectEveryBookOnce(inventory);
  for (const char* notBook : {"books/loop1.fb2", "books/loop2.fb2", "books/dangling.fb2"})
    EXPECT_TRUE(QFileInfo(area.Path(notBook)).isSymLink()) << notBook;
  EXPECT_TRUE(QFileInfo(area.Path("books/folder.fb2")).isDir());
}

// Metadata that spells a way out, through every field that reaches a name or a folder: every book
// stays below the processed folder, none climbs into its parents. The processed folder sits two
// levels down, so that a climb of one or two levels shows.
TEST(HostileBooks, MetadataCannotLeaveTheProcessedFolder) {
  const QByteArray books[] = {
      Book("..", "..", "..", "dots", ".."),
      Book("..\\..\\..\\..\\..\\..\\..\\..\\tmp", "x", "../../../../../../../../tmp/escaped", "back",
           "..\\.."),
      Book("../../../../../../../../tmp", "/", "/etc/passwd", "slash", "../../.."),
      Book(".", ".", ".", "dot", "."),
      Book("a/../..", "b\\..\\..", "..\\../", "mixed", "./../"),
  };
  struct Case {
    const char* settings;
    // false where the values of several books clean to one name ("." and ".." both become "_"):
    // the later ones are repeats
    bool allMoved;
  };
  const Case cases[] = {
      // every sort field, archived or not
      {"SortPattern=Серия\\Автор\\Алфавит\\%seq\nSortMiddle=1\nArchive=0", true},
      {"SortPattern=Серия\\Автор\\Алфавит\\%seq\nSortMiddle=1\nArchive=1", true},
      // a file-name template with folders of its own puts the values between delimiters
      {"Sort=0\nPattern=Название\\Фамилия\\Имя\\Серия", false},
      {"Sort=0\nPattern=Фамилия\\Название", false},
      {"SortPattern=Серия\nPattern=Серия\\Название\\Фамилия", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    Area area;
    int n = 0;
    for (const QByteArray& book : books) area.AddBook(QStringLiteral("b%1.fb2").arg(n++), book);
    area.WriteSettings(QStringLiteral("EndDir={root}/lib/end/\n") + QString::fromUtf8(c.settings));
    const ProcessResult result = area.RunCli();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    EXPECT_EQ(lines.size(), std::size(books));
    for (const OutcomeLine& line : lines) {
      SCOPED_TRACE(line.target.toStdString());
      if (c.allMoved || line.status != "repeat") {
        EXPECT_EQ(line.status, "moved") << line.reason.toStdString();
        EXPECT_TRUE(line.target.startsWith(area.Path("lib/end/")));
      } else {
        EXPECT_TRUE(line.target.startsWith(area.Path("double/")));
      }
      EXPECT_FALSE(line.target.split(u'/').contains("..")) << "a target names a parent folder";
    }
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    for (const QStringList& places : inventory.places) {
      for (const QString& place : places) {
        EXPECT_TRUE(place.startsWith("lib/end/") || (!c.allMoved && place.startsWith("double/")))
            << place.toStdString();
      }
    }
    EXPECT_FALSE(QFileInfo::exists("/tmp/escaped.fb2"));
  }
}

// A new name or a sort folder longer than the file system's 255 bytes left the book "kept" with
// "File name too long"; it is shortened to fit, and with archiving on the new name leaves room for
// ".zip", so that the book is packed too.
TEST(HostileBooks, OverlongNamesAreShortenedToFit) {
  const QString cyrillic150 = QString(150, QChar(u'Ж'));  // 300 bytes in UTF-8
  // "Фамилия Имя - Название": "A B - " + title + ".fb2" is exactly 255 bytes when the title is 245.
  const QString title245 = QString(245, QChar(u't'));
  struct Case {
    const char* what;
    QByteArray book;
    bool archive;
  };
  const Case cases[] = {
      {"new name too long", Book("A", "B", cyrillic150, "n1"), false},
      {"author folder too long", Book(cyrillic150, "B", "T", "n2"), false},
      {"name fits, its archive would not", Book("A", "B", title245, "n3"), true},
      {"name too long while archiving", Book("A", "B", cyrillic150, "n4"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Area area;
    area.AddBook("a.fb2", c.book);
    const QByteArray next = Book("Следующая", "Книга", "После", "next");
    area.AddBook("b.fb2", next);
    area.WriteSettings(QString("Sort=0\nArchive=%1\nSortPattern=Автор").arg(c.archive ? 1 : 0));
    if (QByteArray(c.what).startsWith("author")) area.WriteSettings("Sort=1\nRename=0\nSortPattern=Автор");
    const ProcessResult result = area.RunCli();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QList<OutcomeLine> lines = ParseOutcomes(result.out);
    ASSERT_EQ(lines.size(), 2) << result.out.toStdString();
    EXPECT_EQ(lines[0].status, "moved") << lines[0].reason.toStdString();
    for (const QString& part : lines[0].target.split(u'/')) EXPECT_LE(part.toUtf8().size(), 255);
    EXPECT_EQ(lines[1].status, "moved");
    const reliability::Inventory inventory = area.Take();
    area.ExpectEveryBookOnce(inventory);
    const QString where = area.Where(inventory, c.book);
    EXPECT_TRUE(where.startsWith("end/")) << where.toStdString();
    EXPECT_EQ(where.contains(".zip!"), c.archive) << where.toStdString();
  }
}

}  // namespace
