// On Windows the current user's store is the registry itself: the values of one key,
// enumerated with their types, read with the key opened for reading only.

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "calibration/KeyValues.h"
#include "platform/windows/OpenKey.h"

namespace veltrane {
namespace {

// The longest value name the registry allows, in characters, with the terminator.
constexpr DWORD kLongestValueName = 16384;
// A string value longer than this (bytes) is not a calibration's and is not read.
constexpr DWORD kLongestData = 1u << 20;

veltrane_calibration_error ErrorOf(LSTATUS status) {
  if (status == ERROR_FILE_NOT_FOUND) return VELTRANE_CALIBRATION_NOT_FOUND;
  if (status == ERROR_OUTOFMEMORY || status == ERROR_NOT_ENOUGH_MEMORY) {
    return VELTRANE_CALIBRATION_NO_MEMORY;
  }
  return VELTRANE_CALIBRATION_UNREADABLE;
}

// The text of a value of another type, in the registry editor's words where short.
std::wstring OtherTypeText(DWORD type, const std::vector<BYTE>& data, DWORD size) {
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | data[static_cast<std::size_t>(i)];
    return FormatText(L"dword:%08lx", static_cast<unsigned long>(number));
  }
  return FormatText(L"hex(%lx):", static_cast<unsigned long>(type));
}

// The value at index, or status; ERROR_MORE_DATA for one too long to be a calibration's.
LSTATUS ReadValue(HKEY key, DWORD index, FoundValue& value) {
  std::vector<wchar_t> name(kLongestValueName);
  DWORD nameLength = kLongestValueName;
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status =
      RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  if (size > kLongestData) return ERROR_MORE_DATA;
  std::vector<BYTE> data(static_cast<std::size_t>(size) + 2 * sizeof(wchar_t), 0);
  nameLength = kLongestValueName;
  status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
  if (status != ERROR_SUCCESS) return status;
  value.name.assign(name.data(), nameLength);
  value.isString = type == REG_SZ;
  if (value.isString) {
    std::wstring text(size / sizeof(wchar_t), L'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    // Stored with its terminator, or without one by a careless writer.
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    value.text = text;
  } else {
    value.text = OtherTypeText(type, data, size);
  }
  return ERROR_SUCCESS;
}

}  // namespace

veltrane_calibration_error ValuesInUserStore(const std::wstring& keyPath, KeyValues& out) {
  out = KeyValues();
  OpenKey key;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.Out());
  if (status == ERROR_FILE_NOT_FOUND) return VELTRANE_CALIBRATION_OK;  // an empty folder
  if (status != ERROR_SUCCESS) return ErrorOf(status);
  for (DWORD index = 0;; ++index) {
    FoundValue value;
    status = ReadValue(key.Get(), index, value);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return ErrorOf(status);
    out.Add(std::move(value));
  }
  return VELTRANE_CALIBRATION_OK;
}

}  // namespace veltrane
