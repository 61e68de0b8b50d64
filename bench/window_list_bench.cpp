// Times how long the window's file list takes to show a folder: from SetFolder until the list has
// been laid out and painted once. Usage: shelvio-window-list-bench FOLDER [REPEATS]; prints
// "items N best_ms M median_ms K". Runs on any Qt platform (offscreen without a display).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/book_file_list.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() < 2) {
    std::fputs("Usage: shelvio-window-list-bench FOLDER [REPEATS]\n", stderr);
    return 2;
  }
  const QString folder = QDir(args.at(1)).absolutePath();
  const int repeats = args.size() > 2 ? std::max(1, args.at(2).toInt()) : 3;
  std::vector<double> times;
  int items = 0;
  for (int i = 0; i < repeats; ++i) {
    BookFileList list;
    list.resize(400, 600);
    list.show();
    QApplication::processEvents();
    QElapsedTimer timer;
    timer.start();
    list.SetFolder(folder);
    list.repaint();
    QApplication::processEvents();
    times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    items = list.count();
    // The next round must read the folder again, not find it listed already.
    (void)QDir::setCurrent(QDir::rootPath());
  }
  std::sort(times.begin(), times.end());
  std::printf("items %d best_ms %.1f median_ms %.1f\n", items, times.front(), times[times.size() / 2]);
  return 0;
}
