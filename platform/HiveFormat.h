#pragma once
// The registry editor's text format ("Windows Registry Editor Version 5.00" or "REGEDIT4"),
// for keys of HKEY_CURRENT_USER. Read in UTF-8 (with or without a byte order mark) or in
// UTF-16LE with a byte order mark, as the registry editor exports, with LF or CR LF line
// ends. String values are read as text; values of every other type (dword:, hex:, hex(n):
// with continuation lines) are kept as written. Comment lines are skipped; a key listed
// twice has its sections merged. What could not be written back as it was meant (other
// hives, deletions, unknown types) is refused. FormatHive writes the line ends and header the
// hive was read with, and text that the registry editor reads as meant: UTF-16LE with a byte
// order mark when the hive was read so or holds any character beyond ASCII, otherwise ASCII
// without a byte order mark (the editor reads other files in the ANSI code page and refuses a
// UTF-8 byte order mark). A new hive has LF line ends. Pure functions; any thread.

#include <cstddef>
#include <optional>
#include <string>

#include "platform/RegistryHive.h"

namespace veltrane {

// Where and why bytes are not a hive file.
struct HiveParseError {
  std::size_t line = 0;  // counted from 1; 0 when the file as a whole is at fault
  std::wstring cause;    // a short phrase, e.g. "a value of an unknown type"
};

// nullopt when bytes are not a hive file in the format described above.
std::optional<RegistryHive> ParseHive(const std::string& bytes);
std::optional<RegistryHive> ParseHive(const std::string& bytes, HiveParseError& error);

std::string FormatHive(const RegistryHive& hive);

}  // namespace veltrane
