#include "base/Files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace veltrane {
namespace {

// Reads what is left of the open file, expecting about sizeHint bytes.
FileRead ReadAll(int fd, std::size_t sizeHint, std::size_t maxBytes, std::string& bytes,
                 int& failure) {
  try {
    bytes.reserve(sizeHint);
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


}  // namespace

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
  const int fd = OpenToRead(path);
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
  return ReadAll(fd, static_cast<std::size_t>(status.st_size), maxBytes, bytes, failure);
}

}  // namespace veltrane
