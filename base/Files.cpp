#include "base/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>

#include "base/Text.h"
#endif

// Flags that not every C library has: Windows' has neither close-on-exec nor non-blocking
// opens (its files cannot be FIFOs), but it needs O_BINARY or it rewrites line ends.
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace veltrane {

bool FileDescriptor::Close() {
  const int result = fd >= 0 ? ::close(fd) : 0;
  fd = -1;
  return result == 0;
}

FileRead ReadWholeFile(const std::string& path, std::string& bytes, struct stat* info,
                       std::size_t maxBytes, int* error) {
  int ignored = 0;
  int& failure = error != nullptr ? *error : ignored;
  failure = 0;
  bytes.clear();
  if (path.empty() || path.find('\0') != std::string::npos) {
    failure = EINVAL;
    return FileRead::CannotOpen;
  }
  int fd = -1;
  do {
#ifdef _WIN32
    // open() takes the ANSI code page there, which cannot name every file (Français).
    fd = ::_wopen(FromUtf8(path).c_str(), O_RDONLY | O_BINARY);
#else
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_BINARY);
#endif
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    failure = errno;
    return failure == ENOENT ? FileRead::Missing : FileRead::CannotOpen;
  }
  const FileDescriptor file(fd);

  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    failure = errno;
    return FileRead::Failed;
  }
  if (!S_ISREG(status.st_mode)) return FileRead::Failed;
  if (info != nullptr) *info = status;
  if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) return FileRead::TooLarge;
  try {
    bytes.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[65536];
    for (;;) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failure = errno;
        return FileRead::Failed;
      }
      if (got == 0) return FileRead::Read;
      if (static_cast<std::size_t>(got) > maxBytes - bytes.size()) {
        bytes = std::string();
        return FileRead::TooLarge;
      }
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
  } catch (const std::bad_alloc&) {
    bytes = std::string();
    return FileRead::NoMemory;
  } catch (const std::length_error&) {
    bytes = std::string();
    return FileRead::NoMemory;
  }
}

}  // namespace veltrane
