#include "platform/HiveFile.h"

#include <limits>
#include <exception>
#include <system_error>

#include "base/Files.h"
#include "base/Text.h"
#include "platform/HiveFormat.h"

namespace veltrane {
namespace {

std::wstring ErrorText(int error) { return FromUtf8(std::generic_category().message(error)); }

std::wstring TooLarge(const std::string& path, std::uint64_t bytes) {
  return FormatText(
      L"The settings file \"%ls\" is too large: %llu bytes, at most %llu are accepted.",
      FromUtf8(path).c_str(), static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(kMostHiveFileBytes));
}

std::wstring NoMemory(const std::string& path) {
  return FormatText(L"There is not enough memory to read and change the settings file \"%ls\".",
                    FromUtf8(path).c_str());
}

std::wstring NotAHive(const std::string& path, const HiveParseError& fault) {
  return fault.line == 0
             ? FormatText(L"The settings file \"%ls\" is not in the registry editor's format: %ls.",
                          FromUtf8(path).c_str(), fault.cause.c_str())
             : FormatText(
                   L"The settings file \"%ls\" is not in the registry editor's format at "
                   L"line %zu: %ls.",
                   FromUtf8(path).c_str(), fault.line, fault.cause.c_str());
}

HiveFileRead ReadAndParse(const std::string& path, std::optional<RegistryHive>& hive,
                          std::wstring& reason, struct stat& info) {
  // Refused before it is read: reading a huge file would take the memory and the time.
  if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) > kMostHiveFileBytes) {
    reason = TooLarge(path, static_cast<std::uint64_t>(info.st_size));
    return HiveFileRead::TooLarge;
  }
  std::string bytes;
  int error = 0;
  const FileRead result =
      ReadWholeFile(path, bytes, &info, std::numeric_limits<std::size_t>::max(), &error);
  if (result == FileRead::Missing) {
    hive.emplace();
    return HiveFileRead::Missing;
  }
  if (result == FileRead::NoMemory) {
    reason = NoMemory(path);
    return HiveFileRead::NoMemory;
  }
  if (result != FileRead::Read) {
    reason = FormatText(L"The settings file \"%ls\" cannot be read: %ls.", FromUtf8(path).c_str(),
                        error != 0 ? ErrorText(error).c_str() : L"it is not a regular file");
    return HiveFileRead::CannotRead;
  }
  if (bytes.size() > kMostHiveFileBytes) {
    reason = TooLarge(path, bytes.size());
    return HiveFileRead::TooLarge;
  }
  HiveParseError fault;
  hive = ParseHive(bytes, fault);
  if (hive) return HiveFileRead::Read;
  reason = NotAHive(path, fault);
  return HiveFileRead::NotAHive;
}

}  // namespace

HiveFileRead ReadHiveFile(const std::string& path, std::optional<RegistryHive>& hive,
                          std::wstring& reason, struct stat* info) {
  struct stat own {};
  hive.reset();
  reason.clear();
  try {
    return ReadAndParse(path, hive, reason, info ? *info : own);
  } catch (const std::exception&) {  // bad_alloc, or length_error from a string too long
    hive.reset();
    reason = NoMemory(path);
    return HiveFileRead::NoMemory;
  }
}

}  // namespace veltrane
