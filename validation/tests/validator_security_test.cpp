#include <libxml/tree.h>
#include <malloc.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "gtest/gtest.h"
#include "validation/loaded_document.h"
#include "validation/tests/test_books.h"
#include "validation/xsd_validator.h"

namespace {

// Ten levels of entities, each ten references to the one below: 10^9 "lol"s once expanded.
QByteArray LaughsDoctype() {
  QByteArray dtd = "<!DOCTYPE FictionBook [\n<!ENTITY lol0 \"lol\">\n";
  for (int level = 1; level <= 9; ++level) {
    dtd += "<!ENTITY lol" + QByteArray::number(level) + " \"";
    for (int i = 0; i < 10; ++i) dtd += "&lol" + QByteArray::number(level - 1) + ";";
    dtd += "\">\n";
  }
  return dtd + "]>\n";
}

const xmlNode* FindElement(const xmlNode* node, const char* name) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(name))) return node;
    if (const xmlNode* found = FindElement(node->children, name)) return found;
  }
  return nullptr;
}

long PeakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A line of /proc/self/status in kilobytes ("VmRSS:", "VmHWM:"); 0 when it cannot be read.
long StatusKilobytes(const char* key) {
  long kilobytes = 0;
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr)
      if (std::strncmp(line, key, std::strlen(key)) == 0) kilobytes = std::atol(line + std::strlen(key));
    std::fclose(status);
  }
  return kilobytes;
}

QByteArray Base64Image(qsizetype rawBytes) {
  QByteArray raw(rawBytes, Qt::Uninitialized);
  QRandomGenerator generator(42);
  generator.fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
  return raw.toBase64();
}

// What a bounded run of XMLValid in a child process came to.
constexpr int kTookTooLong = -1;
constexpr int kUsedTooMuchMemory = 10;

// Runs XMLValid in a child process with 10 s and at most 1 GB more address space, so that a parser that
// expands the entities fails the test instead of hanging it or exhausting the machine. The child
// exits with the verdict, or kUsedTooMuchMemory when its peak resident size grew by 200 MB or more.
int BoundedVerdict(TXSDValidator& validator, const QString& path) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 30);
    const rlimit addressSpace{limit, limit};
    setrlimit(RLIMIT_AS, &addressSpace);
    const long peakBefore = PeakResidentKilobytes();
    const int verdict = XMLValid(validator, path);
    _exit(PeakResidentKilobytes() - peakBefore >= 200 * 1024 ? kUsedTooMuchMemory : verdict);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kTookTooLong;
}

TEST(XSDValidatorSecurity, BillionLaughsIsRejectedQuicklyWithBoundedMemory) {
  TempFolder folder;
  const QByteArray prolog = "<?xml version=\"1.0\"?>\n" + LaughsDoctype();
  const struct {
    const char* what;
    QByteArray afterBody;
  } cases[] = {
      {"in element text", "<body><section><p>&lol9;</p></section></body>"},
      {"in an attribute value", "<body name=\"&lol9;\"><section><p/></section></body>"},
      // Text first: the option that long text nodes need must be off again when the entity comes.
      {"after a long text node", "<binary id=\"i\" content-type=\"image/png\">" +
                                     Base64Image(11 * 1000 * 1000) +
                                     "</binary><binary id=\"j\" content-type=\"&lol9;\">AAAA</binary>"},
  };
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = folder.Write("laughs.fb2", MinimalBook(c.afterBody, prolog));
    const int verdict = BoundedVerdict(validator, path);
    ASSERT_TRUE(verdict == 1 || verdict == 2) << "verdict or failure " << verdict;
    // Safe to repeat here now, for the reason.
    EXPECT_EQ(XMLValid(validator, path), verdict);
    EXPECT_FALSE(validator.GetErrorText().isEmpty());
  }
}

// The child's side of MemoryThatRunsShortIsNoVerdict: judges the book "path|tree|megabytes" with
// that much more address space than it has after loading the schema, and exits with the verdict.
[[noreturn]] void JudgeWithLittleMemory(const QString& job) {
  const QStringList parts = job.split('|');
  TXSDValidator validator;
  if (parts.size() != 3 || !validator.LoadSchema(SchemaPath())) _exit(101);
  validator.SetTreeBudget(parts[1] == "tree" ? 1 << 30 : 0);
  long pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const rlim_t limit =
      static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 20) * parts[2].toUInt();
  const rlimit addressSpace{limit, limit};
  setrlimit(RLIMIT_AS, &addressSpace);
  const int verdict = XMLValid(validator, parts[0]);
  _exit(verdict == kNotJudged && !validator.GetErrorText().contains("not enough memory") ? 100 : verdict);
}

// A book must never be called invalid because memory ran short: libxml2 then reports "Memory
// allocation failed", or goes on and blames the book ("This element is not expected"). Judged in
// a fresh process (a heap grown by the tests before would serve it whatever the limit) under a
// range of address-space limits, a valid book is valid or not judged, never invalid, on the tree
// and on the stream; the limits reach from too little to enough.
TEST(XSDValidatorSecurity, MemoryThatRunsShortIsNoVerdict) {
  if (const QByteArray job = qgetenv("SHELVIO_MEMORY_JOB"); !job.isEmpty()) JudgeWithLittleMemory(job);
  TempFolder folder;
  // A long paragraph: the validator holds its text on every path.
  QByteArray words;
  for (int k = 0; k < 800 * 1000; ++k) words += "слово ";
  const QString path =
      folder.Write("long.fb2", MinimalBook().replace("<p>Текст</p>", "<p>" + words + "</p>"));
  for (const char* way : {"tree", "stream"}) {
    SCOPED_TRACE(way);
    std::map<int, int> verdicts;
    for (int megabytes = 1; megabytes <= 256; megabytes += megabytes < 16 ? 2 : megabytes / 4) {
      QProcess child;
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert("SHELVIO_MEMORY_JOB", QStringLiteral("%1|%2|%3").arg(path, way).arg(megabytes));
      child.setProcessEnvironment(environment);
      child.start("/proc/self/exe", {"--gtest_filter=XSDValidatorSecurity.MemoryThatRunsShortIsNoVerdict"});
      ASSERT_TRUE(child.waitForFinished(60000));
      const int verdict = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
      EXPECT_TRUE(verdict == 0 || verdict == kNotJudged) << megabytes << " MB more: verdict " << verdict;
      ++verdicts[verdict];
    }
    QString seen;
    for (const auto& [verdict, count] : verdicts) seen += QStringLiteral(" %1×%2").arg(verdict).arg(count);
    EXPECT_GT(verdicts[kNotJudged], 0) << seen.toStdString();
    EXPECT_GT(verdicts[0], 0) << seen.toStdString();
  }
}

// About megabytes of short paragraphs, twenty to a section: a tree of them takes twenty times that.
QByteArray Paragraphs(int megabytes) {
  QByteArray text;
  for (int k = 0; text.size() < megabytes * 1024 * 1024; ++k) {
    text += "<section>";
    for (int p = 0; p < 20; ++p) text += "<p>Короткий абзац " + QByteArray::number(k) + ".</p>\n";
    text += "</section>\n";
  }
  return text;
}

// What a run holds of a book must not grow with the book, whatever its shape: a document type
// used to send it to the tree, the validator kept a state per paragraph of a section, the IDs
// seen were kept as strings, a repeated ID sent the book to the tree, an annotation was built whole for the
// metadata, and an entity referred to in an attribute was expanded once per reference. Each is judged in a
// child process that fails the test when it takes 10 s or grows by 64 MB.
TEST(XSDValidatorSecurity, BooksOfEveryShapeAreJudgedInBoundedMemory) {
  TempFolder folder;
  const QByteArray book = MinimalBook();
  const QByteArray paragraphs = Paragraphs(16);
  const QByteArray body = "<body>" + paragraphs + "</body>";
  const QByteArray doctype = "<?xml version=\"1.0\"?>\n<!DOCTYPE FictionBook>";
  QByteArray identified;
  for (int k = 0; identified.size() < 16 * 1024 * 1024; ++k)
    identified += "<p id=\"p" + QByteArray::number(k) + "\"/>";
  const QByteArray entityTimes4000 =
      "<!DOCTYPE FictionBook [<!ENTITY e \"" + QByteArray(100 * 1000, 'a') + "\">]>";
  const struct {
    const char* what;
    QByteArray bytes;
    int verdict;
    const char* reasonPart;
  } cases[] = {
      {"a document type declaration",
       MinimalBook({}, doctype).replace("<body><section><p>Текст</p></section></body>", body), 0, ""},
      {"entities declared",
       MinimalBook({}, "<?xml version=\"1.0\"?>\n<!DOCTYPE FictionBook [<!ENTITY n \"x\">]>")
           .replace("<body><section><p>Текст</p></section></body>", body),
       1, "2 MiB"},
      // libxml2's automaton keeps a state per child of a section.
      {"one section of paragraphs",
       MinimalBook().replace("<p>Текст</p>", QByteArray("<p>а</p>\n").repeated(16 * 1024 * 1024 / 10)), 0,
       ""},
      // Every xs:ID value is remembered, to find two equal ones.
      {"an id on each of a million paragraphs", MinimalBook().replace("<p>Текст</p>", identified), 0, ""},
      // libxml2's streaming validator does not compare them, and the tree did.
      {"an id repeated at the end",
       MinimalBook().replace("<body><section><p>Текст</p></section></body>",
                             "<body>" + paragraphs + R"(<section id="x"><p>a</p></section>)" +
                                 R"(<section id="x"><p>b</p></section></body>)"),
       2, "xs:ID"},
      {"a long annotation",
       QByteArray(book).replace("<lang>ru</lang>", "<annotation>" +
                                                       QByteArray(paragraphs).replace("section>", "cite>") +
                                                       "</annotation><lang>ru</lang>"),
       0, ""},
      {"an entity referred to 4,000 times in an attribute",
       MinimalBook({}, "<?xml version=\"1.0\"?>\n" + entityTimes4000)
           .replace("<body>", "<body name=\"" + QByteArray("&e;").repeated(4000) + "\">"),
       1, "expand"},
  };
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = folder.Write("shape.fb2", c.bytes);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      alarm(10);
      // The heap's free pages go back, and the high-water mark starts again here: pages of the
      // parent's heap already resident would otherwise take the growth unseen.
      malloc_trim(0);
      if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", clear);
        std::fclose(clear);
      }
      const long before = StatusKilobytes("VmRSS:");
      const int verdict = XMLValid(validator, path);
      _exit(StatusKilobytes("VmHWM:") - before >= 64 * 1024 ? kUsedTooMuchMemory : verdict);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "took too long";
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.verdict);
    if (WIFEXITED(status) && WEXITSTATUS(status) == c.verdict && c.verdict != 0) {
      EXPECT_EQ(XMLValid(validator, path), c.verdict);
      EXPECT_TRUE(validator.GetErrorText().contains(c.reasonPart)) << validator.GetErrorText().toStdString();
    }
  }
}

// Watches one file for being opened, through inotify.
class OpenWatch {
 public:
  explicit OpenWatch(const QString& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(inotify_add_watch(fd_, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS), 0);
  }
  ~OpenWatch() { close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  bool Touched() const {
    char buffer[4096];
    return read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_;
};

TEST(XSDValidatorSecurity, NeverReadsExternalEntitiesOrDtds) {
  TempFolder folder;
  const QString secret = folder.Write("secret.txt", "SECRET-CONTENT");
  const QString secretDtd = folder.Write("secret.dtd", "<!ENTITY leak \"SECRET-CONTENT\">");
  const QByteArray text = "<body><section><p>&leak;</p></section></body>";
  const struct {
    const char* what;
    QByteArray doctype;
  } cases[] = {
      {"external general entity", "<!DOCTYPE FictionBook [<!ENTITY leak SYSTEM \"secret.txt\">]>"},
      {"absolute file URL",
       "<!DOCTYPE FictionBook [<!ENTITY leak SYSTEM \"file://" + QFile::encodeName(secret) + "\">]>"},
      {"external DTD", "<!DOCTYPE FictionBook SYSTEM \"secret.dtd\">"},
      {"external parameter entity", "<!DOCTYPE FictionBook [<!ENTITY % ext SYSTEM \"secret.dtd\"> %ext;]>"},
  };
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QString path =
        folder.Write("entity.fb2", MinimalBook(text, "<?xml version=\"1.0\"?>\n" + c.doctype));
    OpenWatch secretWatch(secret);
    OpenWatch dtdWatch(secretDtd);
    const int verdict = XMLValid(validator, path);
    EXPECT_NE(verdict, 0);
    EXPECT_FALSE(secretWatch.Touched());
    EXPECT_FALSE(dtdWatch.Touched());
    EXPECT_FALSE(validator.GetErrorText().contains("SECRET")) << validator.GetErrorText().toStdString();
    if (xmlDocPtr doc = LoadedDocument(validator)) {
      xmlChar* content = xmlNodeGetContent(xmlDocGetRootElement(doc));
      EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(content)).indexOf("SECRET"), -1);
      xmlFree(content);
    }
  }
}

// libxml2's validator gives up on a tree that holds entity references, which made a book invalid
// for a name every reader shows: a book's own entities are substituted, within the bound on their
// expansion, nested ones too; external ones stay out (see above).
TEST(XSDValidatorSecurity, InternalEntitiesAreSubstitutedWithinTheirBound) {
  TempFolder folder;
  const QString path = folder.Write(
      "internal.fb2",
      MinimalBook(
          "", "<?xml version=\"1.0\"?>\n<!DOCTYPE FictionBook [<!ENTITY t \"Толст\"><!ENTITY n \"&t;ой\">]>")
          .replace("<last-name>Толстой</last-name>", "<last-name>&n;</last-name>"));
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  ASSERT_TRUE(validator.LoadDocument(path)) << validator.GetErrorText().toStdString();
  const xmlNode* lastName = FindElement(xmlDocGetRootElement(LoadedDocument(validator)), "last-name");
  ASSERT_NE(lastName, nullptr);
  xmlChar* content = xmlNodeGetContent(lastName);
  EXPECT_STREQ(reinterpret_cast<const char*>(content), "Толстой");
  xmlFree(content);
  for (const xmlNode* child = lastName->children; child != nullptr; child = child->next)
    EXPECT_NE(child->type, XML_ENTITY_REF_NODE);
  EXPECT_TRUE(validator.Validate()) << validator.GetErrorText().toStdString();
}

TEST(XSDValidatorSecurity, BookWithTwelveMegabyteImageValidates) {
  TempFolder folder;
  const QByteArray image = Base64Image(9 * 1024 * 1024);
  ASSERT_GT(image.size(), 12 * 1000 * 1000);
  const QString path = folder.Write(
      "big.fb2", MinimalBook("<binary id=\"cover.png\" content-type=\"image/png\">" + image + "</binary>"));
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  QElapsedTimer timer;
  timer.start();
  ASSERT_EQ(XMLValid(validator, path), 0) << validator.GetErrorText().toStdString();
  EXPECT_LT(timer.elapsed(), 20000);
  // Read as a tree, the whole image is there, not a truncated node.
  ASSERT_TRUE(validator.LoadDocument(path)) << validator.GetErrorText().toStdString();
  const xmlNode* binary = xmlDocGetRootElement(LoadedDocument(validator))->last;
  while (binary != nullptr && binary->type != XML_ELEMENT_NODE) binary = binary->prev;
  ASSERT_NE(binary, nullptr);
  xmlChar* content = xmlNodeGetContent(binary);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(content)), image);
  xmlFree(content);
}

// Redirects standard error into a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    Restore();
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  QByteArray Take() {
    Restore();
    QByteArray text;
    std::rewind(file_);
    char buffer[1024];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, file_))
      text.append(buffer, static_cast<qsizetype>(n));
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

// libxml2 prints to stderr by default; every message must go into a reason instead.
TEST(XSDValidatorSecurity, PrintsNothingOnStandardError) {
  TempFolder folder;
  const QString missing = folder.Path("absent.fb2");
  const QString broken = folder.Write("broken.fb2", "<FictionBook><a></b>");
  const QString prefix = folder.Write("prefix.fb2", "<FictionBook><l:a/></FictionBook>");
  const QString invalid = folder.Write("invalid.fb2", MinimalBook().replace("prose_classic", "nope"));
  const QString entity =
      folder.Write("entity.fb2", "<!DOCTYPE x SYSTEM \"http://127.0.0.1:9/x.dtd\"><x>&e;</x>");
  const QString notSchema = folder.Write("not.xsd", "<root/>");

  StderrCapture capture;
  {
    TXSDValidator validator;
    EXPECT_FALSE(validator.LoadSchema(folder.Path("absent.xsd")));
    EXPECT_THROW(validator.LoadSchema(notSchema), ShelvioError);
    ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
    EXPECT_EQ(XMLValid(validator, missing), 1);
    EXPECT_EQ(XMLValid(validator, broken), 1);
    EXPECT_EQ(XMLValid(validator, prefix), 1);
    EXPECT_EQ(XMLValid(validator, invalid), 2);
    EXPECT_NE(XMLValid(validator, entity), 0);
  }
  EXPECT_EQ(capture.Take(), QByteArray());
}

}  // namespace
