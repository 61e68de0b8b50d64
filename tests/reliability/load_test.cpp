// Load: a run over many generated books keeps its memory flat; a folder of 100,000 files is listed.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>

#include "engine/file_list.h"
#include "reliability_support.h"

namespace {

using reliability::Area;
using reliability::Book;

// Peak resident size in kB of one run of shelvio-cli over the area, measured by wait4.
long PeakKilobytes(const Area& area) {
  const QByteArray cli = SHELVIO_CLI;
  const QByteArray appDir = QFile::encodeName(area.Path("app"));
  const QByteArray settings = QFile::encodeName(area.Path("setting.ini"));
  const QByteArray books = QFile::encodeName(area.Path("books"));
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl(cli.constData(), cli.constData(), "--app-dir", appDir.constData(), "--settings",
            settings.constData(), books.constData(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return usage.ru_maxrss;
}

long RunOverBooks(int count, double* seconds) {
  Area area;
  for (int i = 0; i < count; ++i)
    area.AddBook(QStringLiteral("%1.fb2").arg(i, 6, 10, QChar(u'0')),
                 Book(QStringLiteral("Автор%1").arg(i % 500), "Имя", QStringLiteral("Книга %1").arg(i),
                      QString::number(i)));
  area.WriteSettings("Archive=1");
  QElapsedTimer timer;
  timer.start();
  const long peak = PeakKilobytes(area);
  *seconds = timer.elapsed() / 1000.0;
  const reliability::Inventory inventory = area.Take();
  area.ExpectEveryBookOnce(inventory);
  return peak;
}

// The memory of a run does not grow with the number of books: the peak over ten times the books
// stays within a quarter of the smaller run's.
TEST(Load, MemoryStaysFlatOverManyBooks) {
  const int large = reliability::SoakRequested() ? 20000 : 2000;
  double smallSeconds = 0, largeSeconds = 0;
  const long smallPeak = RunOverBooks(large / 10, &smallSeconds);
  const long largePeak = RunOverBooks(large, &largeSeconds);
  std::printf("[figures] books %d: peak %ld kB in %.1f s; books %d: peak %ld kB in %.1f s\n", large / 10,
              smallPeak, smallSeconds, large, largePeak, largeSeconds);
  EXPECT_LT(largePeak, smallPeak * 5 / 4);
}

// A folder of 100,000 files, a tenth of them books in mixed letter case, is listed completely.
TEST(Load, ListsAFolderOfAHundredThousandFiles) {
  const int files = reliability::SoakRequested() ? 100000 : 20000;
  QTemporaryDir dir;
  for (int i = 0; i < files; ++i) {
    const QString name = QStringLiteral("%1/f%2.%3")
                             .arg(dir.path())
                             .arg(i)
                             .arg(i % 10 == 0 ? (i % 20 ? "FB2" : "fb2") : "txt");
    const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  QElapsedTimer timer;
  timer.start();
  const QStringList list = ListBookFiles(dir.path());
  std::printf("[figures] %d files, %d books listed in %lld ms\n", files, static_cast<int>(list.size()),
              timer.elapsed());
  EXPECT_EQ(list.size(), files / 10);
  EXPECT_LT(timer.elapsed(), 60000);
}

}  // namespace
