#include "platform/linux/RegistryFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "base/Files.h"
#include "platform/HiveFile.h"
#include "platform/HiveFormat.h"
#include "platform/RegistryHive.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// Folders that the store creates hold the user's settings only.
constexpr mode_t kNewFolderMode = 0700;
constexpr mode_t kLockFileMode = 0600;
// How often a held lock is tried again: short against the whole wait, long enough not to
// spin.
constexpr std::chrono::milliseconds kLockPoll{10};
// A temporary file is the hive's name, this mark, the writer's process id, '-' and the six
// characters that mkostemp puts in place of its X's: a name no one gives a file of their own,
// and one that says whose it is.
const char kTemporaryMark[] = ".veltrane-tmp-";
constexpr std::size_t kTemporaryRandomChars = 6;

std::wstring ErrorText(int error) {
  char buffer[256];
  return FromUtf8(strerror_r(error, buffer, sizeof buffer));
}

std::wstring Wide(const std::string& path) { return FromUtf8(path); }

std::wstring NoMemory(const std::string& path) {
  return FormatText(L"There is not enough memory to read and change the settings file \"%ls\".",
                    Wide(path).c_str());
}

std::wstring InUse(const std::string& path) {
  return FormatText(
      L"The settings file \"%ls\" is in use by another program. Try again when it "
      L"has finished.",
      Wide(path).c_str());
}

std::wstring ReadOnly(const std::string& path) {
  return FormatText(
      L"The settings file \"%ls\" is read-only. Make it writable to store values "
      L"in it.",
      Wide(path).c_str());
}

std::wstring FolderFailed(const std::string& folder, int error) {
  return FormatText(L"The folder \"%ls\" for the settings file cannot be created: %ls.",
                    Wide(folder).c_str(), ErrorText(error).c_str());
}

std::wstring LockFailed(const std::string& lockPath, int error) {
  return FormatText(L"The lock file \"%ls\" of the settings file cannot be opened: %ls.",
                    Wide(lockPath).c_str(), ErrorText(error).c_str());
}

std::string ParentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// 0 when folder exists or was made, with its missing parents; else the errno.
int MakeFolders(const FileSystemCalls& calls, const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const std::string parent = ParentFolder(folder);
  if (parent != folder) {
    if (const int error = MakeFolders(calls, parent)) return error;
  }
  return calls.mkdir(folder.c_str(), kNewFolderMode) == 0 || errno == EEXIST ? 0 : errno;
}

std::string TemporaryPattern(const std::string& path) {
  return path + kTemporaryMark + std::to_string(::getpid()) + "-" +
         std::string(kTemporaryRandomChars, 'X');
}

// Whether a write could make what it needs in folder, tried rather than judged from the
// permissions: root passes every permission test, yet cannot create files in /proc or on a
// read-only mount. The first missing folder is made and removed again; in an existing folder
// a temporary file of the hive's is made and removed (and if the check is killed meanwhile,
// the next write takes it for the stale temporary it is). 0 when it could, else the errno;
// existed tells whether folder is there already.
int TryFolder(const FileSystemCalls& calls, const std::string& folder, const std::string& hive,
              bool& existed) {
  std::string existing = folder;
  std::string missing;
  struct stat info {};
  while (::stat(existing.c_str(), &info) != 0) {
    if (errno != ENOENT || ParentFolder(existing) == existing) return errno;
    missing = existing;
    existing = ParentFolder(existing);
  }
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  existed = missing.empty();
  if (!existed) {
    if (calls.mkdir(missing.c_str(), kNewFolderMode) != 0) return errno == EEXIST ? 0 : errno;
    ::rmdir(missing.c_str());
    return 0;
  }
  std::string temporary = TemporaryPattern(hive);
  FileDescriptor file(calls.mkostemp(temporary.data(), O_CLOEXEC));
  if (file.Get() < 0) return errno;
  file.Close();
  calls.unlink(temporary.c_str());
  return 0;
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

std::wstring BrokenLink(const std::string& path) {
  return FormatText(L"The settings file \"%ls\" is a symbolic link that cannot be followed.",
                    Wide(path).c_str());
}

// Reads and parses the hive; a missing file is an empty hive. nullopt with reason set when
// the file cannot be read, is too large or is not a hive.
std::optional<RegistryHive> ReadHive(const std::string& path, struct stat& info, bool& missing,
                                     std::wstring& reason) {
  std::optional<RegistryHive> hive;
  missing = ReadHiveFile(path, hive, reason, &info) == HiveFileRead::Missing;
  return hive;
}

// The user took away the write permission (or the file system is mounted read-only): the
// rename could replace the file all the same, but the user's wish is kept.
bool IsReadOnly(const std::string& path, const struct stat& info) {
  if ((info.st_mode & 0222) == 0) return true;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 &&
         (errno == EACCES || errno == EROFS);
}

// 0 when the lock is held, else the errno; EWOULDBLOCK when another holder kept it for
// longer than wait.
int LockWithin(const FileSystemCalls& calls, int fd, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (calls.flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    if (std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
    std::this_thread::sleep_for(kLockPoll);
  }
}

// The process id in name when name is one of the hive's temporary files (prefix, decimal
// id, '-', kTemporaryRandomChars letters or digits), else 0.
pid_t TemporaryOwner(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() + 1 + kTemporaryRandomChars ||
      name.compare(0, prefix.size(), prefix) != 0) {
    return 0;
  }
  const std::size_t dash = name.size() - kTemporaryRandomChars - 1;
  if (name[dash] != '-' || dash - prefix.size() > 9) return 0;
  long long pid = 0;
  for (std::size_t i = prefix.size(); i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  for (std::size_t i = dash + 1; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return 0;
  }
  return static_cast<pid_t>(pid);
}

// Temporary files that a writer killed before its rename left behind. Every writer holds the
// lock while its temporary file exists, so under the lock any that is left is stale; what is
// taken must also be certainly one: named as this hive's, a regular file of this user's, and
// its writer gone (or this very process, which is not writing now).
void RemoveStaleTemporaries(const FileSystemCalls& calls, const std::string& path) {
  const std::string folder = ParentFolder(path);
  const std::string prefix = BaseName(path) + kTemporaryMark;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    const pid_t owner = TemporaryOwner(name, prefix);
    if (owner <= 0) continue;
    const bool gone = owner == ::getpid() || (::kill(owner, 0) != 0 && errno == ESRCH);
    struct stat info {};
    const std::string full = folder + "/" + name;
    if (gone && ::lstat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == ::geteuid()) {
      stale.push_back(full);
    }
  }
  for (const std::string& full : stale) calls.unlink(full.c_str());
}

bool WriteAll(const FileSystemCalls& calls, int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = calls.write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote == 0) errno = EIO;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Writes bytes to a new file in path's folder and renames it over path, so that a reader
// sees either the old or the new file, never a part of one. Empty on success, else why not;
// the old file is then untouched and the temporary file gone.
std::wstring ReplaceFile(const FileSystemCalls& calls, const std::string& path,
                         const std::string& bytes, const struct stat* old) {
  std::string temporary = TemporaryPattern(path);
  FileDescriptor file(calls.mkostemp(temporary.data(), O_CLOEXEC));
  const wchar_t* failed = file.Get() < 0 ? L"creating a temporary file" : nullptr;
  int error = errno;
  const auto step = [&](bool ok, const wchar_t* what) {
    if (failed == nullptr && !ok) {
      failed = what;
      error = errno;
    }
  };
  if (failed == nullptr) {
    step(WriteAll(calls, file.Get(), bytes), L"writing");
    if (old != nullptr) {
      // The new file keeps the hive's owner and permissions (root may be writing a user's
      // hive). A hive whose owner cannot be kept is not taken over.
      if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
        step(failed == nullptr && calls.fchown(file.Get(), old->st_uid, old->st_gid) == 0,
             L"keeping the owner");
      }
      step(failed == nullptr && calls.fchmod(file.Get(), old->st_mode & 07777) == 0,
           L"keeping the permissions");
    }
    step(failed == nullptr && calls.fsync(file.Get()) == 0, L"flushing to disk");
    step(file.Close(), L"closing");
    step(failed == nullptr && calls.rename(temporary.c_str(), path.c_str()) == 0, L"renaming");
    if (failed != nullptr) calls.unlink(temporary.c_str());
  }
  if (failed != nullptr) {
    return FormatText(
        L"The settings file \"%ls\" could not be written (%ls: %ls). It was left "
        L"as it was.",
        Wide(path).c_str(), failed, ErrorText(error).c_str());
  }
  // Make the rename itself survive a crash. The new file is in place already, so a folder
  // that cannot be synced does not fail the write.
  FileDescriptor folder(
      calls.open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (folder.Get() >= 0) calls.fsync(folder.Get());
  return {};
}

}  // namespace

RegistryFile::RegistryFile(std::string path, const FileSystemCalls& calls,
                           std::chrono::milliseconds lockWait)
    : path(std::move(path)), calls(calls), lockWait(lockWait) {}

bool RegistryFile::Update(const Change& change) {
  try {
    lastError = UpdateLocked(change);
  } catch (const std::bad_alloc&) {
    lastError = NoMemory(path);
  } catch (const std::length_error&) {
    lastError = NoMemory(path);
  }
  return lastError.empty();
}

// Re-reads the file under the hive's lock, applies change and writes the result back when
// change altered anything. Empty on success, else why not, with the file untouched.
std::wstring RegistryFile::UpdateLocked(const Change& change) {
  const auto target = ResolveTarget(path);
  if (!target) return BrokenLink(path);
  const std::string folder = ParentFolder(*target);
  if (const int error = MakeFolders(calls, folder)) return FolderFailed(folder, error);

  // The lock lives in a file of its own: the hive's inode changes with every rename.
  const std::string lockPath = *target + ".lock";
  FileDescriptor lock(calls.open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode));
  if (lock.Get() < 0) {
    return LockFailed(lockPath, errno);
  }
  if (const int error = LockWithin(calls, lock.Get(), lockWait)) {
    if (error == EWOULDBLOCK) return InUse(*target);
    return FormatText(L"The settings file \"%ls\" cannot be locked: %ls.", Wide(*target).c_str(),
                      ErrorText(error).c_str());
  }
  RemoveStaleTemporaries(calls, *target);

  struct stat info {};
  bool missing = false;
  std::wstring reason;
  std::optional<RegistryHive> hive = ReadHive(*target, info, missing, reason);
  if (!hive) return reason;
  bool changed = false;
  reason = change(*hive, changed);
  if (!reason.empty() || !changed) return reason;
  if (!missing && IsReadOnly(*target, info)) return ReadOnly(*target);
  return ReplaceFile(calls, *target, FormatHive(*hive), missing ? nullptr : &info);
}

std::optional<RegistryKey> RegistryFile::CreateKey(const RegistryKey* parent,
                                                   const std::wstring& subKey) {
  const std::wstring parentPath = parent == nullptr ? std::wstring() : parent->path;
  std::optional<std::wstring> created;
  const bool ok = Update([&](RegistryHive& hive, bool& changed) {
    created = hive.CreateKey(parentPath, subKey, changed);
    if (created) return std::wstring();
    std::wstring why = WhyNotStorable(subKey, L"", L"");
    if (!why.empty()) return why;
    return FormatText(L"The registry key \"%ls\" does not exist in the settings file \"%ls\".",
                      parentPath.c_str(), Wide(path).c_str());
  });
  if (!ok) return std::nullopt;
  return RegistryKey{std::move(*created)};
}

bool RegistryFile::SetStringValue(const RegistryKey& key, const std::wstring& name,
                                  const std::wstring& data) {
  return Update([&](RegistryHive& hive, bool& changed) {
    if (hive.SetStringValue(key.path, name, data, changed)) return std::wstring();
    std::wstring why = WhyNotStorable(L"", name, data);
    if (!why.empty()) return why;
    return FormatText(L"The registry key \"%ls\" does not exist in the settings file \"%ls\".",
                      key.path.c_str(), Wide(path).c_str());
  });
}

bool RegistryFile::StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                                    const std::wstring& data) {
  lastError = WhyNotStorable(keyPath, name, data);
  if (!lastError.empty()) return false;
  return Update([&](RegistryHive& hive, bool& changed) {
    bool created = false;
    const auto stored = hive.CreateKey(L"", keyPath, created);
    if (!stored || !hive.SetStringValue(*stored, name, data, changed)) {
      return WhyNotStorable(keyPath, name, data);  // checked above: cannot happen
    }
    changed = changed || created;
    return std::wstring();
  });
}

bool RegistryFile::CanStore(const std::wstring& keyPath, const std::wstring& name,
                            std::wstring& reason) {
  reason = WhyNotStorable(keyPath, name, L"");
  if (!reason.empty()) return false;
  try {
    const auto target = ResolveTarget(path);
    if (!target) {
      reason = BrokenLink(path);
      return false;
    }
    const std::string folder = ParentFolder(*target);
    bool existed = false;
    if (const int error = TryFolder(calls, folder, *target, existed)) {
      reason = existed ? FormatText(
                             L"No file can be written in the folder \"%ls\" of the "
                             L"settings file: %ls.",
                             Wide(folder).c_str(), ErrorText(error).c_str())
                       : FolderFailed(folder, error);
      return false;
    }
    // Only an existing lock file is opened: a check creates nothing.
    const std::string lockPath = *target + ".lock";
    FileDescriptor lock(calls.open(lockPath.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (lock.Get() < 0 && errno != ENOENT) {
      reason = LockFailed(lockPath, errno);
      return false;
    }
    if (lock.Get() >= 0 && calls.flock(lock.Get(), LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
      reason = InUse(*target);
      return false;
    }
    lock.Close();
    struct stat info {};
    bool missing = false;
    if (!ReadHive(*target, info, missing, reason)) return false;
    if (!missing && IsReadOnly(*target, info)) reason = ReadOnly(*target);
  } catch (const std::bad_alloc&) {
    reason = NoMemory(path);
  } catch (const std::length_error&) {
    reason = NoMemory(path);
  }
  return reason.empty();
}

void RegistryFile::CloseKey(RegistryKey&) {}

// Reads without the lock: writers replace the file in one rename.
std::optional<RegistryHive> RegistryFile::ReadForReader() {
  try {
    struct stat info {};
    bool missing = false;
    std::wstring reason;
    auto hive = ReadHive(path, info, missing, reason);
    lastError = hive ? std::wstring() : reason;
    return hive;
  } catch (const std::exception&) {
    lastError = NoMemory(path);
    return std::nullopt;
  }
}

bool RegistryFile::KeyExists(const std::wstring& keyPath) {
  const auto hive = ReadForReader();
  return hive && hive->KeyExists(keyPath);
}

std::optional<std::wstring> RegistryFile::GetStringValue(const std::wstring& keyPath,
                                                         const std::wstring& name) {
  const auto hive = ReadForReader();
  if (!hive) return std::nullopt;
  return hive->GetStringValue(keyPath, name);
}

std::optional<std::vector<StoredString>> RegistryFile::ReadStringsBelow(
    const std::wstring& keyPath) {
  const auto hive = ReadForReader();
  if (!hive) return std::nullopt;
  return hive->StringsBelow(keyPath);
}

}  // namespace veltrane
