#pragma once
// Files at the program's edge: a descriptor that closes itself, and one whole-file reader.
// Any thread.

#include <sys/stat.h>

#include <cstddef>
#include <limits>
#include <string>

namespace veltrane {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int Get() const { return fd; }
  // False when close reported an error (for a file just written: the data may be lost).
  bool Close();

 private:
  int fd;
};

enum class FileRead {
  Read,        // bytes hold the whole file
  Missing,     // there is no such file
  CannotOpen,  // it exists but cannot be opened (permissions, a bad path)
  Failed,      // opened, but not a regular file, or reading failed
  NoMemory,    // too large to hold in memory
  TooLarge,    // larger than the caller's limit; nothing beyond the limit was read
};

// Opens the file at path (UTF-8) to read, without blocking and not inherited by programs the
// process starts; -1 with errno set when it cannot. Retries a call a signal interrupted.
int OpenToRead(const std::string& path);

// Reads the whole regular file at path (UTF-8). Opens without blocking, so that a FIFO or a
// device named as the file cannot stall the caller; such files are refused as not regular.
// A file that shrinks or grows meanwhile gives the bytes there when the read reaches its
// end. info, when given, receives the file's status. A file of more than maxBytes, by its
// status or by what the read finds, is refused without reading (or holding) more. error, when
// given, receives the errno of the call that failed (0 for a file that is not regular, one
// too large, or when nothing failed).
FileRead ReadWholeFile(const std::string& path, std::string& bytes, struct stat* info = nullptr,
                       std::size_t maxBytes = std::numeric_limits<std::size_t>::max(),
                       int* error = nullptr);

}  // namespace veltrane
