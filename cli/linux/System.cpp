#include "cli/System.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>

namespace veltrane {

void InstallStopHandlers(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::thread StartThreadWithoutStopSignals(std::function<void()> body) {
  // A new thread inherits the signal mask of the thread that starts it.
  sigset_t stops;
  sigset_t previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  std::thread started;
  try {
    started = std::thread(std::move(body));
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace veltrane
