// Windows has no sigaction, no SIGTERM from a kill and no SIGPIPE; its C library raises SIGINT
// for Ctrl-C on a thread of its own, so no thread needs the signals kept away.
#include <csignal>
#include <utility>

#include "cli/Signals.h"

namespace veltrane {

void CatchStopSignals(void (*handler)(int)) { std::signal(SIGINT, handler); }

void IgnoreBrokenPipes() {}

std::thread ThreadWithoutStopSignals(std::function<void()> body) {
  return std::thread(std::move(body));
}

}  // namespace veltrane
