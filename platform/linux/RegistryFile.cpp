#include "RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <utility>

#include "Files.h"
#include "HiveFormat.h"
#include "RegistryHive.h"

namespace veltrane {
namespace {

// Folders that the store creates hold the user's settings only.
constexpr mode_t kNewFolderMode = 0700;
constexpr mode_t kLockFileMode = 0600;

std::string ParentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeFolders(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  if (errno != ENOENT) return false;
  const std::string parent = ParentFolder(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return ::mkdir(folder.c_str(), kNewFolderMode) == 0 || errno == EEXIST;
}

// Reads the whole file. missing tells that it does not exist, which is not a failure.
bool ReadFile(const std::string& path, std::string& bytes, bool& missing, struct stat& info) {
  const FileRead result = ReadWholeFile(path, bytes, &info);
  missing = result == FileRead::Missing;
  return result == FileRead::Read || missing;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Writes bytes to a new file in path's folder and renames it over path, so that a reader
// sees either the old or the new file, never a part of one.
bool ReplaceFile(const std::string& path, const std::string& bytes, const struct stat* old) {
  std::string temporary = path + ".tmp-XXXXXX";
  FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.Get() < 0) return false;
  bool ok = WriteAll(file.Get(), bytes);
  if (old != nullptr) {
    // The new file keeps the hive's owner and permissions (root may be writing a user's
    // hive). A hive whose owner cannot be kept is not taken over.
    if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
      ok = ok && ::fchown(file.Get(), old->st_uid, old->st_gid) == 0;
    }
    ok = ok && ::fchmod(file.Get(), old->st_mode & 07777) == 0;
  }
  ok = ok && ::fsync(file.Get()) == 0;
  ok = file.Close() && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself survive a crash. The new file is in place already, so a folder
  // that cannot be synced does not fail the write.
  FileDescriptor folder(::open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() >= 0) ::fsync(folder.Get());
  return true;
}

// The file to replace: the one a symbolic link points to, even when it does not exist yet,
// so that the link stays in place.
std::optional<std::string> ResolveTarget(const std::string& path) {
  // As many links as the kernel follows before it gives up with ELOOP.
  constexpr int kMostLinks = 40;
  std::string current = path;
  for (int links = 0; links < kMostLinks; ++links) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    current = target[0] == '/' ? target : ParentFolder(current) + "/" + target;
  }
  return std::nullopt;
}

using HiveChange = std::function<bool(RegistryHive& hive, bool& changed)>;

// Re-reads the file under the hive's lock, applies change and writes the result back when
// change altered anything. False, with the file untouched, when the file cannot be read or
// parsed, the change fails or the new file cannot be written.
bool UpdateFile(const std::string& path, const HiveChange& change) {
  const auto target = ResolveTarget(path);
  if (!target || !MakeFolders(ParentFolder(*target))) return false;

  // The lock lives in a file of its own: the hive's inode changes with every rename.
  FileDescriptor lock(
      ::open((*target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode));
  if (lock.Get() < 0) return false;
  while (::flock(lock.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }

  std::string bytes;
  bool missing = false;
  struct stat info {};
  if (!ReadFile(*target, bytes, missing, info)) return false;
  std::optional<RegistryHive> hive = missing ? RegistryHive() : ParseHive(bytes);
  if (!hive) return false;
  bool changed = false;
  if (!change(*hive, changed)) return false;
  if (!changed) return true;
  return ReplaceFile(*target, FormatHive(*hive), missing ? nullptr : &info);
}

// Reads without the lock: writers replace the file in one rename.
std::optional<RegistryHive> ReadHive(const std::string& path) {
  std::string bytes;
  bool missing = false;
  struct stat info {};
  if (!ReadFile(path, bytes, missing, info)) return std::nullopt;
  return missing ? RegistryHive() : ParseHive(bytes);
}

}  // namespace

RegistryFile::RegistryFile(std::string path) : path(std::move(path)) {}

std::optional<RegistryKey> RegistryFile::CreateKey(const RegistryKey* parent,
                                                   const std::wstring& subKey) {
  const std::wstring parentPath = parent == nullptr ? std::wstring() : parent->path;
  std::optional<std::wstring> created;
  const bool ok = UpdateFile(path, [&](RegistryHive& hive, bool& changed) {
    created = hive.CreateKey(parentPath, subKey, changed);
    return created.has_value();
  });
  if (!ok) return std::nullopt;
  return RegistryKey{std::move(*created)};
}

bool RegistryFile::SetStringValue(const RegistryKey& key, const std::wstring& name,
                                  const std::wstring& data) {
  return UpdateFile(path, [&](RegistryHive& hive, bool& changed) {
    return hive.SetStringValue(key.path, name, data, changed);
  });
}

void RegistryFile::CloseKey(RegistryKey&) {}

bool RegistryFile::KeyExists(const std::wstring& keyPath) {
  const auto hive = ReadHive(path);
  return hive && hive->KeyExists(keyPath);
}

std::optional<std::wstring> RegistryFile::GetStringValue(const std::wstring& keyPath,
                                                         const std::wstring& name) {
  const auto hive = ReadHive(path);
  if (!hive) return std::nullopt;
  return hive->GetStringValue(keyPath, name);
}

}  // namespace veltrane
