#pragma once
// Hive files as the registry editor and other programs write them, byte for byte, for the
// tests that read such files.

#include <filesystem>
#include <fstream>
#include <string>

#include "base/Unicode.h"

namespace veltrane {

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// UTF-16LE with a byte order mark, as the registry editor exports.
inline std::string Utf16(const std::wstring& text) {
  std::string out = "\xFF\xFE";
  const auto unit = [&](unsigned long u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (c >= 0x10000) {
      unit(HighSurrogateOf(c));
      unit(LowSurrogateOf(c));
    } else {
      unit(c);
    }
  }
  return out;
}

}  // namespace veltrane
