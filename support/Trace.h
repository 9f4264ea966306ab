#pragma once
// Trace lines for diagnosis. Off by default; VELTRANE_TRACE=path appends the lines to that
// file, VELTRANE_TRACE=- writes them to standard error. Safe to call from any thread; a
// trace never changes what the program does.

#include <functional>
#include <string>

namespace veltrane {

void Trace(const std::wstring& category, const std::wstring& message,
           const std::wstring& sourceFile, int line);

// Redirects trace lines to sink (tests); an empty function restores the environment's choice.
// Each line arrives as "<message>\n" together with its category, file and line.
struct TraceLine {
  std::wstring category;
  std::wstring message;
  std::wstring sourceFile;
  int line = 0;
};
void SetTraceListener(std::function<void(const TraceLine&)> listener);

}  // namespace veltrane
