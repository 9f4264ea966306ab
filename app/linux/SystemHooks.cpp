#include "app/SystemHooks.h"

#include <unistd.h>

#include <cstdio>

#include "app/VeltraneDlg.h"
#include "support/Trace.h"
// Last: Xlib's header defines macros (None, Status, Bool) that clash with other code.
#include <X11/Xlib.h>

namespace veltrane {
namespace {

// GTK's own handler of a lost X connection ends the process with status 1, which says
// "canceled by the user", and wxWidgets hides its message. A lost display is a run that could
// not go on: it says so and ends with status 3. Set after GTK opened the display, since
// opening it installs GTK's handler.
int OnDisplayLost(Display*) {
  static const char kMessage[] = "veltrane: the connection to the display was lost\n";
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  Trace(L"TR_CALIBRATION", L"The connection to the display was lost", L"VeltraneApp", __LINE__);
  std::fflush(nullptr);
  _exit(kExitFailed);
}

}  // namespace

void EndWhenTheDisplayIsLost() { XSetIOErrorHandler(OnDisplayLost); }

// A program started from a terminal writes to it already.
void WriteToTheStartingConsole() {}

}  // namespace veltrane
