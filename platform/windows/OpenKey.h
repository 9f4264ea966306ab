#pragma once
// A registry key handle that closes itself, for every reader and writer of the Windows
// registry.

#include <windows.h>

namespace veltrane {

class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (key != nullptr) RegCloseKey(key);
  }
  HKEY* Out() { return &key; }
  HKEY Get() const { return key; }

 private:
  HKEY key = nullptr;
};

}  // namespace veltrane
