#include "support/AppPaths.h"

#include <algorithm>
#include <string>

#include "base/Text.h"

// The build sets it from the install layout (support/CMakeLists.txt).
#ifndef VELTRANE_DATA_FROM_PROGRAMS
#define VELTRANE_DATA_FROM_PROGRAMS "../share/veltrane"
#endif

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

std::wstring GetInstalledDataDirectory() {
  // Resolved by name, not through the file system: the module directory comes from the
  // system's own path of the executable, which has no links left in it.
  std::wstring directory = moduleDirectory;
  const std::wstring relative = FromUtf8(VELTRANE_DATA_FROM_PROGRAMS);
  std::size_t start = 0;
  while (start < relative.size()) {
    const std::size_t end = std::min(relative.find(L'/', start), relative.size());
    const std::wstring component = relative.substr(start, end - start);
    if (component == L"..") {
      const auto parent = directory.size() < 2
                              ? std::wstring::npos
                              : directory.rfind(kPathSeparator, directory.size() - 2);
      if (parent != std::wstring::npos) directory.erase(parent + 1);
    } else if (!component.empty() && component != L".") {
      directory += component + kPathSeparator;
    }
    start = end + 1;
  }
  return directory;
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
