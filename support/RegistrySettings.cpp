#include "RegistrySettings.h"

#include <locale.h>
#include <wctype.h>

#include <utility>

#include "MessageBox.h"
#include "RegistryHive.h"
#include "Text.h"

namespace veltrane {
namespace {

const wchar_t kFolderNotSet[] = L"Not set";

// The wide white-space test of the C.UTF-8 locale: blank, tab, CR, LF, VT, FF and the
// Unicode spaces, the same whatever locale the GUI has switched the process to.
bool IsWhiteSpace(wchar_t c) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return unicode != static_cast<locale_t>(0) ? iswspace_l(static_cast<wint_t>(c), unicode) != 0
                                             : iswspace(static_cast<wint_t>(c)) != 0;
}

}  // namespace

CRegistrySettings::CRegistrySettings(std::shared_ptr<Registry> registry)
    : registry(std::move(registry)) {}

CRegistrySettings::~CRegistrySettings() = default;

void CRegistrySettings::SetFolder(const std::wstring& newFolder) {
  std::size_t first = 0;
  std::size_t last = newFolder.size();
  while (first < last && IsWhiteSpace(newFolder[first])) ++first;
  while (last > first && IsWhiteSpace(newFolder[last - 1])) --last;
  folder = newFolder.substr(first, last - first);
}

std::optional<RegistryKey> CRegistrySettings::OpenKey() {
  if (folder == kFolderNotSet) {
    ShowMessageBox(L"Registry folder not set.", L"Error", MessageIcon::None);
    return std::nullopt;
  }
  if (!registry) return std::nullopt;

  auto software = registry->CreateKey(nullptr, L"SOFTWARE");
  if (!software) return std::nullopt;
  auto maker = registry->CreateKey(&*software, L"Ombrel's Projects");
  if (!maker) {
    registry->CloseKey(*software);
    return std::nullopt;
  }
  std::optional<RegistryKey> result;
  if (folder.empty()) {
    result = std::move(maker);  // stays open for the caller
  } else {
    result = registry->CreateKey(&*maker, folder);
    registry->CloseKey(*maker);
  }
  registry->CloseKey(*software);
  return result;
}

bool CRegistrySettings::WriteString(const std::wstring& name, const std::wstring& value) {
  auto key = OpenKey();
  if (!key) return false;
  const bool stored = registry->SetStringValue(*key, name, value);
  registry->CloseKey(*key);
  return stored;
}

bool CRegistrySettings::WriteDouble(const std::wstring& name, double value) {
  return WriteString(name, FormatText(L"%f", value));
}

bool CRegistrySettings::CheckWritable(const std::wstring& valueName, std::wstring& reason) {
  if (folder == kFolderNotSet) {
    reason = L"Registry folder not set.";
    return false;
  }
  if (!registry) {
    reason = L"There is no registry.";
    return false;
  }
  if (!SplitRegistryPath(folder)) {
    reason = L"The registry folder \"" + folder + L"\" is not a valid key name.";
    return false;
  }
  if (!IsStorableRegistryText(valueName)) {
    reason = L"The value name \"" + valueName + L"\" cannot be stored.";
    return false;
  }
  // The root always exists in a registry that can be read; a file that cannot be read or
  // parsed would also refuse the write.
  if (!registry->KeyExists(L"")) {
    reason = L"The registry cannot be read.";
    return false;
  }
  return true;
}

}  // namespace veltrane
