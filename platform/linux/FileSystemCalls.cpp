#include "platform/linux/FileSystemCalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {

const FileSystemCalls& RealFileSystemCalls() {
  static const FileSystemCalls real{
      [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
      ::mkostemp,
      ::write,
      ::fsync,
      ::fchmod,
      ::fchown,
      ::rename,
      ::unlink,
      ::flock,
      ::mkdir,
  };
  return real;
}

}  // namespace veltrane
