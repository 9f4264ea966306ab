#pragma once
// A helper thread with an ordinary thread's scheduling, whatever its creator runs with.
//
// A new thread inherits its creator's processor affinity and real-time policy. The
// calibration worker runs pinned to one processor at the highest priority and spins while it
// waits for the device's position to step; a thread that it starts (a recording device's
// own thread, which moves the position) would sit on that processor at that priority and
// starve, and the position would step late or never. So such threads run with normal
// scheduling on the processors of the process that the creator is not pinned to (all of
// them when the creator is not pinned).

#include <cstdint>
#include <functional>

namespace veltrane {

class NormalThread {
 public:
  NormalThread() = default;
  NormalThread(const NormalThread&) = delete;
  NormalThread& operator=(const NormalThread&) = delete;
  ~NormalThread() { Join(); }

  // Starts body. False when no thread could be started. The thread that owns the object.
  bool Start(std::function<void()> body);
  // Waits for the body to return; nothing when no thread runs. The thread that owns the object.
  void Join();
  bool Joinable() const { return started; }

 private:
  static void* Entry(void* self);

  std::function<void()> body;
  std::uintptr_t thread = 0;  // pthread_t, or the thread's HANDLE on Windows
  bool started = false;
};

}  // namespace veltrane
