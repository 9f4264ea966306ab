#pragma once
// Reading a hive file in the registry editor's text format (HiveFormat.h) from disk, within
// the one size limit that every reader and writer of such a file keeps. Shared by the file
// back end, which then changes and replaces the file, and by readers that only look.
// Any thread; no state.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/RegistryHive.h"

namespace veltrane {

// A settings file beyond this is refused rather than read: a hive of 330,000 keys is about
// 30 MB, and the whole file is held in memory several times while it is changed.
constexpr std::uint64_t kMostHiveFileBytes = 64u << 20;

enum class HiveFileRead {
  Read,        // the hive holds what the file holds
  Missing,     // there is no such file: the hive is empty
  CannotRead,  // it cannot be opened or read, or it is not a regular file
  NoMemory,    // too large to hold in memory
  TooLarge,    // more than kMostHiveFileBytes; nothing beyond the limit was read
  NotAHive,    // read, but not in the registry editor's format
};

// Reads and parses the file at path (UTF-8). On anything but Read and Missing, reason says
// why, as a sentence for the user naming the file. info, when given, receives the file's
// status. Never throws; a file no allocation can hold gives NoMemory.
HiveFileRead ReadHiveFile(const std::string& path, std::optional<RegistryHive>& hive,
                          std::wstring& reason, struct stat* info = nullptr);

}  // namespace veltrane
