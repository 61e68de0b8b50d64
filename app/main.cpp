// shelvio: the window program.

#include "app/frm_main.h"
#include "app/shelvio_application.h"
#include "engine/run.h"

#include <libxml/parser.h>

int main(int argc, char** argv) {
  PrepareAllocatorForRuns();
  ShelvioApplication application(argc, argv);
  // The XML library is set up once for the program's life and cleaned up after the window.
  xmlInitParser();
  int result = 0;
  {
    TfrmMain frmMain;
    frmMain.show();
    result = ShelvioApplication::exec();
  }
  xmlCleanupParser();
  return result;
}
