#include "platform/windows/WindowsScheduler.h"

#include <windows.h>

namespace veltrane {
namespace {

constexpr std::uint64_t kLowMaskBits = 0xFFFFFFFFu;

// A real handle to the thread with that id, or the pseudo handle of the calling thread.
class ThreadHandle {
 public:
  explicit ThreadHandle(ThreadRef thread) {
    if (thread == GetCurrentThreadId()) {
      handle = GetCurrentThread();
    } else if (thread != 0) {
      handle = OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE,
                          static_cast<DWORD>(thread));
      owned = handle != nullptr;
    }
  }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ~ThreadHandle() {
    if (owned) CloseHandle(handle);
  }
  HANDLE Get() const { return handle; }

 private:
  HANDLE handle = nullptr;
  bool owned = false;
};

}  // namespace

ThreadRef WindowsScheduler::CurrentThread() { return GetCurrentThreadId(); }

bool WindowsScheduler::GetProcessAffinityMask(std::uint32_t& processMask,
                                              std::uint32_t& systemMask) {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!::GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
  const auto low = static_cast<std::uint32_t>(process & kLowMaskBits);
  // A process confined to processors from number 32 on has nothing that a mask can name.
  if (low == 0) return false;
  processMask = low;
  systemMask = static_cast<std::uint32_t>(system & kLowMaskBits) | low;
  return true;
}

std::uint32_t WindowsScheduler::SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) {
  if (thread == 0 || mask == 0) return 0;
  const ThreadHandle handle(thread);
  if (handle.Get() == nullptr) return 0;
  const DWORD_PTR previous = ::SetThreadAffinityMask(handle.Get(), mask);
  return static_cast<std::uint32_t>(previous & kLowMaskBits);
}

bool WindowsScheduler::SetPriorityClass(PriorityClass priorityClass) {
  std::lock_guard lock(mutex);
  const HANDLE process = GetCurrentProcess();
  if (priorityClass == PriorityClass::Realtime) {
    if (!previousClass) {
      const DWORD current = GetPriorityClass(process);
      previousClass = current != 0 ? current : NORMAL_PRIORITY_CLASS;
    }
    return ::SetPriorityClass(process, REALTIME_PRIORITY_CLASS) != 0;
  }
  if (!previousClass) return true;
  const bool restored = ::SetPriorityClass(process, *previousClass) != 0;
  previousClass.reset();
  return restored;
}

bool WindowsScheduler::SetThreadTimeCritical(ThreadRef thread) {
  const ThreadHandle handle(thread);
  if (handle.Get() == nullptr) return false;
  return SetThreadPriority(handle.Get(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

std::optional<ProcessorTimes> WindowsScheduler::ReadProcessorTimes() {
  // FILETIMEs count 100 ns; the kernel time of GetSystemTimes includes the idle time.
  const auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) *
           1e-7;
  };
  FILETIME idle, kernel, user, created, exited, ownKernel, ownUser;
  if (!GetSystemTimes(&idle, &kernel, &user) ||
      !GetProcessTimes(GetCurrentProcess(), &created, &exited, &ownKernel, &ownUser)) {
    return std::nullopt;
  }
  const double total = seconds(kernel) + seconds(user);
  return ProcessorTimes{total - seconds(idle), total, seconds(ownKernel) + seconds(ownUser)};
}

}  // namespace veltrane
