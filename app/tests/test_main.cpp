// The widgets need an application object; without a display they draw off screen.

#include <QApplication>
#include <QTemporaryFile>

#include "gtest/gtest.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Off screen, a desktop of 1920 by 1080 like a common monitor (the plugin's own is 800 by 600,
  // smaller than the window's default size).
  QTemporaryFile desktop;
  if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && desktop.open()) {
    desktop.write(R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920, "height": 1080}]})");
    desktop.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + desktop.fileName().toLocal8Bit());
  }
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
