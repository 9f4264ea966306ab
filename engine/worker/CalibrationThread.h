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

}  // namespace veltrane
