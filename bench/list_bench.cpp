// Times the file list's reading of one folder: ListBookFiles, the call the window's list makes.
// Usage: shelvio-list-bench FOLDER [REPEATS]; prints "items N best_ms M median_ms K".

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/file_list.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) {
    std::fputs("Usage: shelvio-list-bench FOLDER [REPEATS]\n", stderr);
    return 2;
  }
  const int repeats = args.size() > 2 ? std::max(1, args.at(2).toInt()) : 3;
  std::vector<double> times;
  qsizetype items = 0;
  for (int i = 0; i < repeats; ++i) {
    QElapsedTimer timer;
    timer.start();
    items = ListBookFiles(args.at(1)).size();
    times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }
  std::sort(times.begin(), times.end());
  std::printf("items %lld best_ms %.1f median_ms %.1f\n", static_cast<long long>(items), times.front(),
              times[times.size() / 2]);
  return 0;
}
