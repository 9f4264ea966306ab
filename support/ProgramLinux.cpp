#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "AppPaths.h"
#include "Text.h"

namespace veltrane {

std::wstring ExecutablePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return FromUtf8(std::string(buffer.data(), static_cast<std::size_t>(length)));
}

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(FromUtf8(argv[i]));
  return arguments;
}

}  // namespace veltrane
