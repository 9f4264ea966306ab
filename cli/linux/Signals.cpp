#include <pthread.h>
#include <signal.h>

#include <csignal>
#include <utility>

#include "cli/Signals.h"

namespace veltrane {

void CatchStopSignals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

std::thread ThreadWithoutStopSignals(std::function<void()> body) {
  // A new thread takes its creator's signal mask.
  sigset_t stops;
  sigset_t previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  try {
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
}

}  // namespace veltrane
