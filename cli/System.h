#pragma once
// What the command line needs of the operating system it runs on: the stop signals, broken
// pipes and whether standard error is a terminal. One implementation per system, in linux/
// and windows/.

#include <functional>
#include <thread>

namespace veltrane {

// Calls handler with the signal's number on Ctrl-C, and on SIGTERM where the system has it.
// The handler runs as a signal handler: it may only touch lock-free atomics.
void InstallStopHandlers(void (*handler)(int));

// A write to a reader that went away fails like any other write instead of ending the
// process.
void IgnoreBrokenPipes();

bool StandardErrorIsTerminal();

// Starts body on a new thread that the stop signals never reach, so that no call of the back
// end made there is interrupted by one. Throws std::system_error as std::thread does.
std::thread StartThreadWithoutStopSignals(std::function<void()> body);

}  // namespace veltrane
