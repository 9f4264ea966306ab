#include "support/AppPaths.h"

#include <string>

#include "base/Text.h"

namespace veltrane {
namespace {
std::wstring moduleDirectory;
}  // namespace

void SetModuleDirectory(const std::wstring& path) {
  const auto last = path.rfind(kPathSeparator);
  moduleDirectory = last == std::wstring::npos ? std::wstring(1, kPathSeparator)
                                               : path.substr(0, last + 1);
}

std::wstring GetModuleDirectory() { return moduleDirectory; }

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
