#include "cli/System.h"

#include <io.h>

#include <csignal>
#include <cstdio>

namespace veltrane {

void InstallStopHandlers(void (*handler)(int)) {
  // Windows has no sigaction; its C library raises SIGINT for Ctrl-C on its own thread.
  std::signal(SIGINT, handler);
}

// Windows has no SIGPIPE: a write to a closed pipe already fails with an error.
void IgnoreBrokenPipes() {}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// Ctrl-C reaches a thread of the C library's own, never the back end's calls.
std::thread StartThreadWithoutStopSignals(std::function<void()> body) {
  return std::thread(std::move(body));
}

}  // namespace veltrane
