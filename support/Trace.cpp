#include "support/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/Environment.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// One lock for the sink: the GUI thread and the calibration worker both trace.
std::mutex traceMutex;
std::function<void(const TraceLine&)> traceListener;

std::FILE* OpenSink() {
  const std::string target = Environment("VELTRANE_TRACE");
  if (target.empty()) return nullptr;
  if (target == "-") return stderr;
  std::FILE* file = std::fopen(target.c_str(), "a");
  // Said once, on the first trace line: whoever asked for the trace would look in vain.
  if (file == nullptr) {
    std::fprintf(stderr, "VELTRANE_TRACE: cannot open \"%s\": %s; no trace is written\n",
                 target.c_str(), std::strerror(errno));
  }
  return file;
}

std::FILE* Sink() {
  static std::FILE* sink = OpenSink();
  return sink;
}

}  // namespace

void SetTraceListener(std::function<void(const TraceLine&)> listener) {
  std::lock_guard lock(traceMutex);
  traceListener = std::move(listener);
}

void Trace(const std::wstring& category, const std::wstring& message,
           const std::wstring& sourceFile, int line) {
  std::lock_guard lock(traceMutex);
  if (traceListener) {
    traceListener(TraceLine{category, message, sourceFile, line});
    return;
  }
  std::FILE* sink = Sink();
  if (sink == nullptr) return;
  const std::string text = ToUtf8(category + L" " + sourceFile + L":" + std::to_wstring(line) +
                                  L" " + message + L"\n");
  std::fwrite(text.data(), 1, text.size(), sink);
  std::fflush(sink);
}

}  // namespace veltrane
