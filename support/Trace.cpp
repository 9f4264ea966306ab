#include "Trace.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "Environment.h"
#include "Text.h"

namespace veltrane {
namespace {

// One lock for the sink: the GUI thread and the calibration worker both trace.
std::mutex traceMutex;
std::function<void(const TraceLine&)> traceListener;

std::FILE* OpenSink() {
  const std::string target = Environment("VELTRANE_TRACE");
  if (target.empty()) return nullptr;
  if (target == "-") return stderr;
  return std::fopen(target.c_str(), "a");
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
