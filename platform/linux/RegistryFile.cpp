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

#include "RegistryHive.h"
#include "Utf8.h"

namespace veltrane {
namespace {

const wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";
const wchar_t kRoot[] = L"HKEY_CURRENT_USER";
// Folders that the store creates hold the user's settings only.
constexpr mode_t kNewFolderMode = 0700;
constexpr mode_t kLockFileMode = 0600;

// UTF-8 at the file's edge. Strict on reading: a file that is not clean UTF-8 is not
// one this program wrote, and replacing it would lose what it holds.

std::optional<std::wstring> DecodeUtf8(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::uint32_t c = 0;
    std::size_t extra = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      c = lead & 0x1Fu;
      extra = 1;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      c = lead & 0x0Fu;
      extra = 2;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      c = lead & 0x07u;
      extra = 3;
      smallest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (bytes.size() - i <= extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3Fu);
    }
    if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

// The registry editor's text format, limited to what this hive holds: keys of
// HKEY_CURRENT_USER with string values. Anything else (other hives, other value types,
// comments, deletions) is refused rather than dropped on the next write.

bool IsBlank(const std::wstring& line) {
  return line.find_first_not_of(L" \t") == std::wstring::npos;
}

// Reads a quoted string starting at line[pos] == '"'; leaves pos after the closing quote.
std::optional<std::wstring> ParseQuoted(const std::wstring& line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != L'"') return std::nullopt;
  std::wstring text;
  for (++pos; pos < line.size(); ++pos) {
    const wchar_t c = line[pos];
    if (c == L'"') {
      ++pos;
      return text;
    }
    if (c == L'\\') {
      if (++pos >= line.size() || (line[pos] != L'\\' && line[pos] != L'"')) return std::nullopt;
      text += line[pos];
    } else {
      text += c;
    }
  }
  return std::nullopt;  // the line ended inside the string
}

std::optional<RegistryHive::Value> ParseValueLine(const std::wstring& line) {
  RegistryHive::Value value;
  std::size_t pos = 0;
  if (line[0] == L'@') {
    pos = 1;  // the key's default value, whose name is empty
  } else {
    auto name = ParseQuoted(line, pos);
    if (!name) return std::nullopt;
    value.name = std::move(*name);
  }
  if (pos >= line.size() || line[pos] != L'=') return std::nullopt;
  ++pos;
  auto data = ParseQuoted(line, pos);
  if (!data || pos != line.size()) return std::nullopt;
  value.data = std::move(*data);
  return value;
}

std::optional<std::wstring> ParseSectionLine(const std::wstring& line) {
  if (line.size() < 2 || line.back() != L']') return std::nullopt;
  const std::wstring inner = line.substr(1, line.size() - 2);
  const std::wstring root = kRoot;
  if (inner == root) return std::wstring();
  if (inner.size() <= root.size() + 1 || inner.compare(0, root.size(), root) != 0 ||
      inner[root.size()] != L'\\') {
    return std::nullopt;
  }
  return inner.substr(root.size() + 1);
}

std::optional<RegistryHive> ParseHive(const std::string& bytes) {
  std::string body = bytes;
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
  const auto text = DecodeUtf8(body);
  if (!text) return std::nullopt;

  std::vector<RegistryHive::Key> keys;
  bool headerSeen = false;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find(L'\n', start);
    if (end == std::wstring::npos) end = text->size();
    std::wstring line = text->substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.find_first_of(std::wstring(L"\r\0", 2)) != std::wstring::npos) return std::nullopt;

    if (!headerSeen) {
      if (line != kHeader) return std::nullopt;
      headerSeen = true;
    } else if (IsBlank(line)) {
      continue;
    } else if (line[0] == L'[') {
      auto path = ParseSectionLine(line);
      if (!path) return std::nullopt;
      keys.push_back(RegistryHive::Key{std::move(*path), {}});
    } else if (line[0] == L'"' || line[0] == L'@') {
      auto value = ParseValueLine(line);
      if (!value || keys.empty()) return std::nullopt;
      keys.back().values.push_back(std::move(*value));
    } else {
      return std::nullopt;
    }
  }
  if (!headerSeen) return std::nullopt;
  return RegistryHive::FromKeys(std::move(keys));
}

void AppendQuoted(std::string& out, const std::wstring& text) {
  out += '"';
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += '\\';
    AppendUtf8(out, std::wstring(1, c));
  }
  out += '"';
}

std::string FormatHive(const RegistryHive& hive) {
  std::string out;
  AppendUtf8(out, kHeader);
  out += "\n\n";
  for (const RegistryHive::Key& key : hive.Keys()) {
    out += '[';
    AppendUtf8(out, kRoot);
    if (!key.path.empty()) {
      out += '\\';
      AppendUtf8(out, key.path);
    }
    out += "]\n";
    for (const RegistryHive::Value& value : key.values) {
      if (value.name.empty()) {
        out += '@';
      } else {
        AppendQuoted(out, value.name);
      }
      out += '=';
      AppendQuoted(out, value.data);
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int Get() const { return fd; }
  bool Close() {
    const int result = fd >= 0 ? ::close(fd) : 0;
    fd = -1;
    return result == 0;
  }

 private:
  int fd;
};

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
  bytes.clear();
  missing = false;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) {
    missing = errno == ENOENT;
    return missing;
  }
  if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
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
