#pragma once
// The calibration worker: records from the device into one big buffer and every 2000 ms
// reports how many samples arrived since a reference instant and how long that took.
// No wxWidgets here: the worker reaches the dialog only through its RunState.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Audio.h"
#include "engine/Capture.h"
#include "engine/RunState.h"
#include "platform/Scheduler.h"

namespace veltrane {

// The worker's body. Runs on its own thread; ends by itself only when it cannot record, and
// otherwise when stopRequested is set. Marks the run state's worker as ended as its last act.
void CalibrationThread(std::shared_ptr<RunState> state);

// Starts body on a new, detached thread; false when no thread could be started. No handle
// comes back: a detached thread may have ended and its handle gone stale by the time anyone
// used it, so whatever must be done to the thread, the thread does to itself. Replaceable so
// that tests can refuse.
using ThreadLauncher = std::function<bool(std::function<void()> body)>;
ThreadLauncher DefaultThreadLauncher();

// The pause between two looks at the position. A loop without any pause, at the highest
// priority on the worker's one processor, starves whatever else the kernel puts there, and
// the sound server that moves the position is among it: its steps then come up to 100 ms late
// (the kernel's real-time throttling lets it run for 50 ms a second). A pause this short lets
// it run and costs a step's detection a few tens of microseconds, about 0.1 ppm over 300 s.
constexpr std::uint32_t kPositionPollPauseUs = 20;

}  // namespace veltrane
