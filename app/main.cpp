// shelvio: the window program.

#include <libxml/parser.h>

#include "app/error_box.h"
#include "app/frm_main.h"
#include "app/shelvio_application.h"
#include "engine/allocator.h"

int main(int argc, char** argv) {
  PrepareAllocatorForRuns();
  ShelvioApplication application(argc, argv);
  // The desktop matches the window to its installed menu entry, and takes the icon from there.
  ShelvioApplication::setDesktopFileName(QStringLiteral("org.example.shelvio"));
  // The XML library is set up once for the program's life and cleaned up after the window.
  xmlInitParser();
  const AppPaths paths = DefaultAppPaths();
  if (paths.tmpPath.isEmpty()) {
    ShowErrorBox(nullptr,
                 QStringLiteral("No home folder is known for the settings and the work folders: set HOME"));
    return 1;
  }
  int result = 0;
  {
    TfrmMain frmMain(paths);
    frmMain.show();
    result = ShelvioApplication::exec();
  }
  xmlCleanupParser();
  return result;
}
