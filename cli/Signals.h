#pragma once
// The stop signals and the broken pipe, which each system delivers its own way.

#include <functional>
#include <thread>

namespace veltrane {

// Calls handler on SIGINT, and where the system has it on SIGTERM.
void CatchStopSignals(void (*handler)(int));

// A reader that went away is a failed write, told like any other, not a silent death in the
// middle of a measurement (progress goes to standard error). Nothing where there is no SIGPIPE.
void IgnoreBrokenPipes();

// Starts body on a new thread that the stop signals do not reach: they go to the others, and
// no call of the back end on that thread is interrupted by them. Throws std::system_error
// as std::thread does.
std::thread ThreadWithoutStopSignals(std::function<void()> body);

}  // namespace veltrane
