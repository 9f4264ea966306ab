#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <climits>
#include <string>
#include <vector>

#include "support/AppPaths.h"
#include "base/Text.h"

namespace veltrane {

const wchar_t kPathSeparator = L'/';

void OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    // The lowest free descriptor is fd itself, as the lower ones are open by now.
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

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
