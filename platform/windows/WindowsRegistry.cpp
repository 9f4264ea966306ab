#include "platform/windows/WindowsRegistry.h"

#include <windows.h>

#include <memory>
#include <utility>

#include "platform/RegistryHive.h"
#include "platform/windows/OpenKey.h"

namespace veltrane {
namespace {

// The longest key and value names the registry allows, in characters, with the terminator.
constexpr DWORD kLongestKeyName = 256;
constexpr DWORD kLongestValueName = 16384;

std::wstring SystemText(long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = length > 0 ? std::wstring(text, length) : L"error " + std::to_wstring(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' ||
                             result.back() == L' ' || result.back() == L'.')) {
    result.pop_back();
  }
  return result;
}

std::wstring JoinPath(const std::wstring& parent, const std::wstring& level) {
  return parent.empty() ? level : parent + L'\\' + level;
}

// The spelling under which parent holds a subkey named like level; level when none does.
std::wstring StoredSpelling(HKEY parent, const std::wstring& level) {
  wchar_t name[kLongestKeyName];
  for (DWORD index = 0;; ++index) {
    DWORD length = kLongestKeyName;
    if (RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return level;
    }
    const std::wstring found(name, length);
    if (SameRegistryName(found, level)) return found;
  }
}

// Every string value of key (at path) and of the keys below it, depth first as the
// registry lists them.
LSTATUS CollectStrings(HKEY key, const std::wstring& path, std::vector<StoredString>& out) {
  std::vector<wchar_t> name(kLongestValueName);
  std::vector<BYTE> data;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = kLongestValueName;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status =
        RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) continue;
    data.assign(size + sizeof(wchar_t), 0);
    nameLength = kLongestValueName;
    status =
        RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) return status;
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    out.push_back({path, std::wstring(name.data(), nameLength), std::move(text)});
  }
  wchar_t subName[kLongestKeyName];
  for (DWORD index = 0;; ++index) {
    DWORD length = kLongestKeyName;
    LSTATUS status =
        RegEnumKeyExW(key, index, subName, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return status;
    const std::wstring sub(subName, length);
    OpenKey below;
    status = RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, below.Out());
    if (status != ERROR_SUCCESS) return status;
    status = CollectStrings(below.Get(), JoinPath(path, sub), out);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

}  // namespace

WindowsRegistry::WindowsRegistry(std::wstring root) : root(std::move(root)) {}

std::wstring WindowsRegistry::Below(const std::wstring& path) const { return JoinPath(root, path); }

void WindowsRegistry::Fail(const std::wstring& what, long code) {
  std::lock_guard lock(mutex);
  lastError = L"The registry key HKEY_CURRENT_USER\\" + what + L" cannot be used: " +
              SystemText(code) + L".";
}

std::optional<RegistryKey> WindowsRegistry::CreateKey(const RegistryKey* parent,
                                                      const std::wstring& subKey) {
  const auto levels = SplitRegistryPath(subKey);
  std::wstring path = parent != nullptr ? parent->path : std::wstring();
  // The registry refuses an over-long name with no more than "The parameter is incorrect",
  // and takes some paths that its editor cannot import again.
  const std::wstring whole = subKey.empty() ? path : JoinPath(path, subKey);
  if (std::wstring why = WhyNotStorable(whole, L"", L"");
      !levels || !why.empty()) {
    std::lock_guard lock(mutex);
    lastError = std::move(why);
    return std::nullopt;
  }
  OpenKey current;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, Below(path).c_str(), 0, nullptr, 0,
                                   KEY_READ | KEY_WRITE, nullptr, current.Out(), nullptr);
  if (status != ERROR_SUCCESS) {
    Fail(Below(path), status);
    return std::nullopt;
  }
  // One level at a time, so the path comes back in the spelling each level already has.
  for (const std::wstring& level : *levels) {
    const std::wstring spelled = StoredSpelling(current.Get(), level);
    auto next = std::make_unique<OpenKey>();
    status = RegCreateKeyExW(current.Get(), spelled.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                             nullptr, next->Out(), nullptr);
    path = JoinPath(path, spelled);
    if (status != ERROR_SUCCESS) {
      Fail(Below(path), status);
      return std::nullopt;
    }
    std::swap(*current.Out(), *next->Out());
  }
  return RegistryKey{path};
}

bool WindowsRegistry::SetStringValue(const RegistryKey& key, const std::wstring& name,
                                     const std::wstring& data) {
  if (std::wstring why = WhyNotStorable(L"", name, data); !why.empty()) {
    std::lock_guard lock(mutex);
    lastError = std::move(why);
    return false;
  }
  OpenKey open;
  LSTATUS status =
      RegOpenKeyExW(HKEY_CURRENT_USER, Below(key.path).c_str(), 0, KEY_SET_VALUE, open.Out());
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(open.Get(), name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  }
  if (status != ERROR_SUCCESS) {
    Fail(Below(key.path), status);
    return false;
  }
  return true;
}

void WindowsRegistry::CloseKey(RegistryKey& key) { key.path.clear(); }

bool WindowsRegistry::KeyExists(const std::wstring& path) {
  if (!SplitRegistryPath(path)) return false;
  OpenKey open;
  return RegOpenKeyExW(HKEY_CURRENT_USER, Below(path).c_str(), 0, KEY_READ, open.Out()) ==
         ERROR_SUCCESS;
}

std::optional<std::wstring> WindowsRegistry::GetStringValue(const std::wstring& path,
                                                            const std::wstring& name) {
  if (!SplitRegistryPath(path)) return std::nullopt;
  DWORD size = 0;
  const std::wstring key = Below(path);
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                   text.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

std::optional<std::vector<StoredString>> WindowsRegistry::ReadStringsBelow(
    const std::wstring& path) {
  std::vector<StoredString> values;
  const auto levels = SplitRegistryPath(path);
  if (!levels) return values;
  // The listing names keys in their stored spelling, as the other back ends do.
  OpenKey current;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, KEY_READ, current.Out());
  if (status == ERROR_FILE_NOT_FOUND) return values;
  std::wstring spelled;
  for (const std::wstring& level : *levels) {
    if (status != ERROR_SUCCESS) break;
    const std::wstring name = StoredSpelling(current.Get(), level);
    auto next = std::make_unique<OpenKey>();
    status = RegOpenKeyExW(current.Get(), name.c_str(), 0, KEY_READ, next->Out());
    if (status == ERROR_FILE_NOT_FOUND) return values;
    spelled = JoinPath(spelled, name);
    std::swap(*current.Out(), *next->Out());
  }
  if (status == ERROR_SUCCESS) status = CollectStrings(current.Get(), spelled, values);
  if (status != ERROR_SUCCESS) {
    Fail(Below(path), status);
    return std::nullopt;
  }
  return values;
}

std::wstring WindowsRegistry::LastError() const {
  std::lock_guard lock(mutex);
  return lastError;
}

}  // namespace veltrane
