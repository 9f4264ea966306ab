#pragma once
// A new thread on Linux inherits its creator's real-time policy and processor affinity. The
// calibration worker runs pinned to one processor under SCHED_FIFO and spins while it waits
// for the device's position to step; a helper thread that it starts (a back end's reader
// thread, the threads that ALSA's plugins start inside snd_pcm_open) would sit on that
// processor at that priority and never run, and the position would never step. These give
// such threads the scheduling of an ordinary thread instead.

#include <sched.h>

#include <thread>
#include <utility>

namespace veltrane {

// While alive, the calling thread runs with an ordinary thread's scheduling: SCHED_OTHER in
// place of SCHED_FIFO/SCHED_RR, and the processors that the process may use (the main
// thread's affinity) in place of its own. Its nice value is kept. Every thread started in
// the scope, also by a library inside a call, inherits that. The destructor gives the thread
// back its own policy and affinity. Use it on the thread itself, around the calls that start
// threads (for example the whole of snd_pcm_open); scopes nest.
class ScopedNormalThreadAttributes {
 public:
  ScopedNormalThreadAttributes();
  ~ScopedNormalThreadAttributes();
  ScopedNormalThreadAttributes(const ScopedNormalThreadAttributes&) = delete;
  ScopedNormalThreadAttributes& operator=(const ScopedNormalThreadAttributes&) = delete;

 private:
  int policy = SCHED_OTHER;
  sched_param param{};
  bool policyChanged = false;
  cpu_set_t affinity{};
  bool affinityChanged = false;
};

// std::thread(function, args...) started with an ordinary thread's scheduling, whatever the
// caller's. Throws std::system_error, as std::thread does, when the thread cannot start.
template <class Function, class... Args>
std::thread StartNormalThread(Function&& function, Args&&... args) {
  ScopedNormalThreadAttributes normal;
  return std::thread(std::forward<Function>(function), std::forward<Args>(args)...);
}

}  // namespace veltrane
