#include <windows.h>

#include <cstdio>

#include "app/Console.h"

namespace veltrane {

void WriteToTheStartingConsole() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output != nullptr && output != INVALID_HANDLE_VALUE &&
      GetFileType(output) != FILE_TYPE_UNKNOWN) {
    return;
  }
  if (AttachConsole(ATTACH_PARENT_PROCESS)) (void)std::freopen("CONOUT$", "w", stdout);
}

}  // namespace veltrane
