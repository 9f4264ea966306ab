#include "support/AppPaths.h"

#include <string>

#include "base/Text.h"

namespace veltrane {
namespace {
std::wstring moduleDirectory;
std::wstring commandLineText;
}  // namespace

void SetModuleDirectory(const std::wstring& path) {
  const auto last = path.rfind(kPathSeparator);
  moduleDirectory = last == std::wstring::npos ? std::wstring(1, kPathSeparator)
                                               : path.substr(0, last + 1);
}

std::wstring GetModuleDirectory() { return moduleDirectory; }

void SetCommandLineText(const std::wstring& text) { commandLineText = text; }

std::wstring GetCommandLineText() { return commandLineText; }

std::wstring GetCommandLineField(int n) {
  if (n < 0) return {};
  std::size_t start = 0;
  for (int k = 0; k < n; ++k) {
    const auto separator = commandLineText.find(L';', start);
    if (separator == std::wstring::npos) return {};
    start = separator + 1;
  }
  const auto end = commandLineText.find(L';', start);
  return commandLineText.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring JoinArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(FromUtf8(argv[i]));
  return JoinArguments(arguments);
}

std::wstring JoinArguments(const std::vector<std::wstring>& arguments) {
  std::wstring text;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += L' ';
    text += arguments[i];
  }
  return text;
}

}  // namespace veltrane
