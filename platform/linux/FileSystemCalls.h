#pragma once
// The file-system calls that the registry file makes to change the disk, gathered in one
// table so that a test can make any of them fail on purpose and see that nothing is lost.
// Each entry behaves as the POSIX call of the same name (-1 and errno on failure).

#include <sys/types.h>

namespace veltrane {

struct FileSystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*mkostemp)(char* pattern, int flags);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*flock)(int fd, int operation);
  int (*mkdir)(const char* path, mode_t mode);
};

// The operating system's own calls.
const FileSystemCalls& RealFileSystemCalls();

}  // namespace veltrane
