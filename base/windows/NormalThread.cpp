// On Windows a new thread starts with the process's affinity mask and the normal priority
// of its class, whatever its creator was pinned to or raised to, so no attributes are needed.
#include <process.h>
#include <windows.h>

#include <utility>

#include "base/NormalThread.h"

namespace veltrane {

bool NormalThread::Start(std::function<void()> newBody) {
  if (started) return false;
  body = std::move(newBody);
  const std::uintptr_t created = _beginthreadex(
      nullptr, 0,
      [](void* self) -> unsigned {
        Entry(self);
        return 0;
      },
      this, 0, nullptr);
  started = created != 0;
  if (started) thread = created;
  return started;
}

void NormalThread::Join() {
  if (!started) return;
  const auto handle = reinterpret_cast<HANDLE>(thread);
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  started = false;
}

void* NormalThread::Entry(void* self) {
  static_cast<NormalThread*>(self)->body();
  return nullptr;
}

}  // namespace veltrane
