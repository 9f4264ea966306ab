#include <fcntl.h>

#include <cerrno>

#include "base/Files.h"

namespace veltrane {

int OpenToRead(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace veltrane
