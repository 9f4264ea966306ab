#pragma once
// The current user's hive kept in a file in the registry editor's text format (see
// HiveFormat.h). Every write re-reads the file under an advisory lock, changes only its own
// key or value and replaces the file atomically (temporary file, fsync, rename), keeping its
// owner and permissions. A file it cannot parse, a read-only file and a file larger than
// kMostFileBytes are never replaced. A lock held by another program is waited for a bounded
// time. A failed operation leaves its reason in LastError().
// One thread at a time per object; several objects and processes may share one file.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/HiveFile.h"
#include "platform/linux/FileSystemCalls.h"
#include "platform/Registry.h"

namespace veltrane {

class RegistryHive;

class RegistryFile : public Registry {
 public:
  // A settings file beyond this is refused rather than read (see HiveFile.h).
  static constexpr std::uint64_t kMostFileBytes = kMostHiveFileBytes;
  // Long enough for another writer to finish a large hive, short enough that the dialog
  // does not seem to hang.
  static constexpr std::chrono::milliseconds kLockWait{3000};

  explicit RegistryFile(std::string path, const FileSystemCalls& calls = RealFileSystemCalls(),
                        std::chrono::milliseconds lockWait = kLockWait);

  std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                       const std::wstring& subKey) override;
  bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                      const std::wstring& data) override;
  void CloseKey(RegistryKey& key) override;
  bool KeyExists(const std::wstring& path) override;
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) override;
  std::optional<std::vector<StoredString>> ReadStringsBelow(const std::wstring& path) override;
  bool StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                        const std::wstring& data) override;
  bool CanStore(const std::wstring& keyPath, const std::wstring& name,
                std::wstring& reason) override;
  std::wstring LastError() const override { return lastError; }

 private:
  // The hive as it is now, for the reading operations; on failure the reason goes to
  // LastError().
  std::optional<RegistryHive> ReadForReader();
  // Changes the hive; sets changed when it altered anything. Empty when it succeeded,
  // otherwise why not.
  using Change = std::function<std::wstring(RegistryHive& hive, bool& changed)>;
  bool Update(const Change& change);
  std::wstring UpdateLocked(const Change& change);

  std::string path;
  FileSystemCalls calls;
  std::chrono::milliseconds lockWait;
  std::wstring lastError;
};

}  // namespace veltrane
