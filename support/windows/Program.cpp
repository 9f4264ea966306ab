#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

#include "support/AppPaths.h"

namespace veltrane {

const wchar_t kPathSeparator = L'\\';

void OpenClosedStandardDescriptors() {}

std::wstring ExecutablePath() {
  // Paths may be longer than MAX_PATH; the buffer grows until the name fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  // argv holds the arguments in the ANSI code page, which cannot hold every name; the wide
  // command line holds them as typed.
  std::vector<std::wstring> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr && count == argc) {
    for (int i = 1; i < count; ++i) arguments.emplace_back(wide[i]);
  } else {
    for (int i = 1; i < argc; ++i) {
      const int length = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0);
      std::wstring argument(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
      MultiByteToWideChar(CP_ACP, 0, argv[i], -1, argument.data(), length);
      argument.resize(argument.size() - 1);
      arguments.push_back(std::move(argument));
    }
  }
  if (wide != nullptr) LocalFree(wide);
  return arguments;
}

}  // namespace veltrane
