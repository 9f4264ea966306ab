// Windows' C library has neither close-on-exec nor non-blocking opens (its files cannot be
// FIFOs), but it needs O_BINARY or it rewrites line ends; and open() takes the ANSI code page,
// which cannot name every file (Français), so the wide call opens it.
#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "base/Files.h"
#include "base/Text.h"

namespace veltrane {

int OpenToRead(const std::string& path) {
  int fd = -1;
  do {
    fd = ::_wopen(FromUtf8(path).c_str(), O_RDONLY | O_BINARY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace veltrane
