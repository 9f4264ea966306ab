#include "app/SystemHooks.h"

#include <windows.h>

#include <cstdio>

namespace veltrane {

// The window system reports a lost display through its own failures, which end the run
// already.
void EndWhenTheDisplayIsLost() {}

// A window program on Windows has no console of its own: the usage goes to the console it
// was started from, unless its output already goes to a file or a pipe.
void WriteToTheStartingConsole() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output != nullptr && output != INVALID_HANDLE_VALUE &&
      GetFileType(output) != FILE_TYPE_UNKNOWN) {
    return;
  }
  if (AttachConsole(ATTACH_PARENT_PROCESS)) (void)std::freopen("CONOUT$", "w", stdout);
}

}  // namespace veltrane
