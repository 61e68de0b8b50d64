// zip_bench: how fast our ZIP writer packs books, one archive per book, next to `zip -6 -j` run
// once per book on the same books. Prints figures and ratios; not a test, nothing is asserted.
//
//   zip_bench [--corpus DIR] [--copies N] [--work DIR]
//
// The books are every .fb2 file of DIR (default: the shared corpus), copied N times (default 4)
// into a scratch folder below --work (default: the system's temporary folder).

#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <vector>

#include "archive/zip_writer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

// Runs a program without a shell and waits for it; false when it could not run or failed.
bool Spawn(const std::vector<QByteArray>& args) {
  std::vector<char*> argv;
  for (const QByteArray& arg : args) argv.push_back(const_cast<char*>(arg.constData()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

qint64 FolderBytes(const QString& folder) {
  qint64 total = 0;
  QDirIterator it(folder, QDir::Files);
  while (it.hasNext()) total += QFileInfo(it.next()).size();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QString corpus = QStringLiteral(SHELVIO_CORPUS_DIR "/files");
  QString work = QDir::tempPath();
  int copies = 4;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == QLatin1String("--corpus"))
      corpus = args[i + 1];
    else if (args[i] == QLatin1String("--copies"))
      copies = args[i + 1].toInt();
    else if (args[i] == QLatin1String("--work"))
      work = args[i + 1];
    else {
      std::fprintf(stderr, "usage: zip_bench [--corpus DIR] [--copies N] [--work DIR]\n");
      return 2;
    }
  }
  if (copies < 1 || (args.size() % 2) == 0) {
    std::fprintf(stderr, "usage: zip_bench [--corpus DIR] [--copies N] [--work DIR]\n");
    return 2;
  }

  QTemporaryDir scratch(work + QStringLiteral("/zip_bench-XXXXXX"));
  if (!scratch.isValid()) {
    std::fprintf(stderr, "zip_bench: cannot make a scratch folder below %s\n", qPrintable(work));
    return 1;
  }
  const QDir root(scratch.path());
  for (const char* folder : {"books", "ours", "zip"}) root.mkpath(QLatin1String(folder));

  const QStringList names = QDir(corpus).entryList({QStringLiteral("*.fb2")}, QDir::Files, QDir::Name);
  QStringList books;
  for (int copy = 0; copy < copies; ++copy) {
    for (const QString& name : names) {
      const QString target = root.filePath(QStringLiteral("books/%1-%2").arg(copy).arg(name));
      if (!QFile::copy(QDir(corpus).filePath(name), target)) {
        std::fprintf(stderr, "zip_bench: cannot copy %s\n", qPrintable(name));
        return 1;
      }
      books << target;
    }
  }
  if (books.isEmpty()) {
    std::fprintf(stderr, "zip_bench: no .fb2 files in %s\n", qPrintable(corpus));
    return 1;
  }
  const double inputMb = static_cast<double>(FolderBytes(root.filePath(QStringLiteral("books")))) / 1e6;

  // Ours, as the run drives it: one writer, one archive per book, each flushed to disk.
  TZipWriter zip;
  const auto oursStart = Clock::now();
  for (const QString& book : books) {
    zip.SetFileName(
        root.filePath(QStringLiteral("ours/") + QFileInfo(book).fileName() + QStringLiteral(".zip")));
    zip.Open(TZipWriter::kCreateMode);
    zip.AddMatching(book, kAnyFileAttributes, QString());
    if (zip.LastCommitEntryCount() != 1) {
      std::fprintf(stderr, "zip_bench: our writer did not pack %s\n", qPrintable(book));
      return 1;
    }
    zip.Close();
  }
  const double ours = Seconds(Clock::now() - oursStart);

  // zip(1) at level 6 without folder names, one process per book as a script would run it.
  const auto zipStart = Clock::now();
  for (const QString& book : books) {
    const QString archive =
        root.filePath(QStringLiteral("zip/") + QFileInfo(book).fileName() + QStringLiteral(".zip"));
    if (!Spawn({"zip", "-6", "-j", "-q", "-X", QFile::encodeName(archive), QFile::encodeName(book)})) {
      std::fprintf(stderr, "zip_bench: zip failed on %s (is zip installed?)\n", qPrintable(book));
      return 1;
    }
  }
  const double zipSeconds = Seconds(Clock::now() - zipStart);

  // What starting a process costs, so that zip's own work can be told from it.
  const auto spawnStart = Clock::now();
  for (qsizetype i = 0; i < books.size(); ++i) (void)Spawn({"true"});
  const double spawn = Seconds(Clock::now() - spawnStart);

  const double oursMb = static_cast<double>(FolderBytes(root.filePath(QStringLiteral("ours")))) / 1e6;
  const double zipMb = static_cast<double>(FolderBytes(root.filePath(QStringLiteral("zip")))) / 1e6;
  const double zipWork = zipSeconds - spawn;
  std::printf("books:                %lld (%d copies of %lld), %.1f MB\n",
              static_cast<long long>(books.size()), copies, static_cast<long long>(names.size()), inputMb);
  std::printf("ours (fsync each):    %.3f s, %.1f MB/s, archives %.2f MB\n", ours, inputMb / ours, oursMb);
  std::printf("zip -6 -j per book:   %.3f s, %.1f MB/s, archives %.2f MB\n", zipSeconds, inputMb / zipSeconds,
              zipMb);
  std::printf("  of which spawning:  %.3f s\n", spawn);
  std::printf("time ratio ours/zip:  %.2f (zip's own work only: %.2f)\n", ours / zipSeconds,
              zipWork > 0 ? ours / zipWork : 0.0);
  std::printf("size ratio ours/zip:  %.4f\n", oursMb / zipMb);
  return 0;
}
