// The C API of <veltrane/calibration.h>: UTF-8 in and out, every exception caught here.

#include <veltrane/calibration.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/Text.h"
#include "calibration/Details.h"
#include "calibration/KeyValues.h"
#include "platform/RegistryHive.h"
#include "support/StoredNames.h"

namespace veltrane {
namespace {

// One entry with the strings it points into.
struct OwnedEntry {
  std::string name, text, prefix, device;
  veltrane_calibration_entry entry{};
};

// Reads the values of keyPath from the file at path, or from the user's store when path is
// nullptr.
veltrane_calibration_error ReadFrom(const char* path, const std::wstring& keyPath,
                                    KeyValues& out) {
  return path ? ValuesInFile(path, keyPath, out) : ValuesInUserStore(keyPath, out);
}

bool Decode(const char* text, std::wstring& out) {
  if (!text) return false;
  auto decoded = FromUtf8Strict(text);
  if (!decoded) return false;
  out = std::move(*decoded);
  return true;
}

// The folder's key below HKEY_CURRENT_USER, as the settings store makes it; nullopt when
// the folder cannot name a key.
std::optional<std::wstring> KeyOf(const char* folder) {
  std::wstring wide;
  if (!Decode(folder, wide)) return std::nullopt;
  std::wstring key = FolderKeyPath(wide);
  if (!SplitRegistryPath(key)) return std::nullopt;
  return key;
}

template <typename Call>
veltrane_calibration_error Guarded(Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return VELTRANE_CALIBRATION_NO_MEMORY;
  } catch (const std::length_error&) {
    return VELTRANE_CALIBRATION_NO_MEMORY;
  } catch (...) {
    return VELTRANE_CALIBRATION_UNREADABLE;
  }
}

veltrane_calibration_error Read(const char* path, const char* folder, const char* prefix,
                                std::int32_t rate, const char* device, double* ratio,
                                veltrane_calibration_details* details) {
  std::wstring widePrefix, wideDevice;
  const auto key = KeyOf(folder);
  if (!key || !ratio || !Decode(prefix, widePrefix) || !Decode(device, wideDevice)) {
    return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  }
  const std::wstring name = CalibrationValueName(widePrefix, rate, wideDevice);
  if (!IsStorableRegistryText(name)) return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  KeyValues values;
  if (const auto error = ReadFrom(path, *key, values); error != VELTRANE_CALIBRATION_OK) {
    return error;
  }
  const FoundValue* value = values.Find(name);
  if (!value) return VELTRANE_CALIBRATION_NOT_FOUND;
  if (!value->isString) return VELTRANE_CALIBRATION_WRONG_TYPE;
  const auto found = RatioOf(value->text);
  if (!found) return VELTRANE_CALIBRATION_NOT_A_RATIO;
  if (details) *details = DetailsOf(values, value->name, value->text);
  *ratio = *found;
  return VELTRANE_CALIBRATION_OK;
}

}  // namespace
}  // namespace veltrane

struct veltrane_calibration_list {
  std::string key;
  std::vector<veltrane::OwnedEntry> entries;
};

namespace veltrane {
namespace {

void AddEntry(veltrane_calibration_list& list, const KeyValues& values, const FoundValue& value) {
  OwnedEntry& owned = list.entries.emplace_back();
  owned.name = ToUtf8(value.name);
  owned.text = ToUtf8(value.text);
  veltrane_calibration_entry& entry = owned.entry;
  entry.is_string = value.isString ? 1 : 0;
  if (const auto parts = ParseCalibrationValueName(value.name)) {
    entry.name_parsed = 1;
    owned.prefix = ToUtf8(parts->prefix);
    owned.device = ToUtf8(parts->device);
    entry.rate = parts->rate;
  }
  if (const auto ratio = value.isString ? RatioOf(value.text) : std::nullopt) {
    entry.has_ratio = 1;
    entry.ratio = *ratio;
  }
  if (value.isString) entry.details = DetailsOf(values, value.name, value.text);
}

veltrane_calibration_error List(const char* path, const char* folder,
                                veltrane_calibration_list** list) {
  if (!list) return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  *list = nullptr;
  const auto key = KeyOf(folder);
  if (!key) return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  KeyValues values;
  if (const auto error = ReadFrom(path, *key, values); error != VELTRANE_CALIBRATION_OK) {
    return error;
  }
  auto made = std::make_unique<veltrane_calibration_list>();
  made->key = ToUtf8(*key);
  for (const FoundValue& value : values.Values()) {
    if (value.name.find(L"Calib_") == std::wstring::npos || IsCalibrationDetailName(value.name)) continue;
    AddEntry(*made, values, value);
  }
  // The strings are in place for good now: the entries may point into them.
  for (OwnedEntry& owned : made->entries) {
    owned.entry.name = owned.name.c_str();
    owned.entry.text = owned.text.c_str();
    owned.entry.prefix = owned.prefix.c_str();
    owned.entry.device = owned.device.c_str();
  }
  *list = made.release();
  return VELTRANE_CALIBRATION_OK;
}

}  // namespace
}  // namespace veltrane

extern "C" {

const char* veltrane_calibration_error_text(veltrane_calibration_error error) {
  switch (error) {
    case VELTRANE_CALIBRATION_OK: return "No error.";
    case VELTRANE_CALIBRATION_INVALID_ARGUMENT:
      return "An argument is missing, not UTF-8, or cannot name a registry key or value.";
    case VELTRANE_CALIBRATION_NOT_FOUND: return "No calibration is stored under that name.";
    case VELTRANE_CALIBRATION_WRONG_TYPE:
      return "A value of that name is stored, but it is not a string value.";
    case VELTRANE_CALIBRATION_NOT_A_RATIO:
      return "The stored value is not a sample-rate ratio (a number above 0 and below 2).";
    case VELTRANE_CALIBRATION_UNREADABLE: return "The settings store cannot be read.";
    case VELTRANE_CALIBRATION_TOO_LARGE:
      return "The settings file is larger than Veltrane accepts (64 MiB).";
    case VELTRANE_CALIBRATION_BAD_FORMAT:
      return "The settings file is not in the registry editor's format.";
    case VELTRANE_CALIBRATION_NO_MEMORY: return "There is not enough memory.";
    case VELTRANE_CALIBRATION_UNSUPPORTED: return "This build cannot do that.";
  }
  return "An unknown error code.";
}

const char* veltrane_calibration_version(void) { return VELTRANE_CALIBRATION_VERSION_STRING; }

veltrane_calibration_error veltrane_calibration_read(const char* folder, const char* prefix,
                                                     int32_t rate, const char* device,
                                                     double* ratio,
                                                     veltrane_calibration_details* details) {
  return veltrane::Guarded(
      [&] { return veltrane::Read(nullptr, folder, prefix, rate, device, ratio, details); });
}

veltrane_calibration_error veltrane_calibration_read_file(const char* hive_path,
                                                          const char* folder, const char* prefix,
                                                          int32_t rate, const char* device,
                                                          double* ratio,
                                                          veltrane_calibration_details* details) {
  if (!hive_path) return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  return veltrane::Guarded(
      [&] { return veltrane::Read(hive_path, folder, prefix, rate, device, ratio, details); });
}

double veltrane_calibration_correct(double measured_hz, double ratio) {
  return measured_hz * ratio;
}

veltrane_calibration_error veltrane_calibration_list_folder(const char* folder,
                                                            veltrane_calibration_list** list) {
  return veltrane::Guarded([&] { return veltrane::List(nullptr, folder, list); });
}

veltrane_calibration_error veltrane_calibration_list_file(const char* hive_path,
                                                          const char* folder,
                                                          veltrane_calibration_list** list) {
  if (!hive_path) {
    if (list) *list = nullptr;
    return VELTRANE_CALIBRATION_INVALID_ARGUMENT;
  }
  return veltrane::Guarded([&] { return veltrane::List(hive_path, folder, list); });
}

size_t veltrane_calibration_list_count(const veltrane_calibration_list* list) {
  return list ? list->entries.size() : 0;
}

const veltrane_calibration_entry* veltrane_calibration_list_entry(
    const veltrane_calibration_list* list, size_t index) {
  return list && index < list->entries.size() ? &list->entries[index].entry : nullptr;
}

const char* veltrane_calibration_list_key(const veltrane_calibration_list* list) {
  return list ? list->key.c_str() : "";
}

void veltrane_calibration_list_free(veltrane_calibration_list* list) { delete list; }

}  // extern "C"
