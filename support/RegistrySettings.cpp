#include "support/RegistrySettings.h"

#include <utility>

#include "base/Text.h"
#include "platform/RegistryHive.h"
#include "support/MessageBox.h"
#include "support/StoredNames.h"

namespace veltrane {
namespace {

const wchar_t kFolderNotSet[] = L"Not set";
const wchar_t kFolderNotSetText[] = L"Registry folder not set.";

}  // namespace

CRegistrySettings::CRegistrySettings(std::shared_ptr<Registry> registry)
    : registry(std::move(registry)) {}

CRegistrySettings::~CRegistrySettings() = default;

void CRegistrySettings::SetFolder(const std::wstring& newFolder) {
  folder = TrimmedFolder(newFolder);
}

// The folder's own rule (StoredNames.h), which the calibration reader shares.
std::wstring CRegistrySettings::KeyPath() const { return FolderKeyPath(folder); }

bool CRegistrySettings::WriteString(const std::wstring& name, const std::wstring& value) {
  lastError.clear();
  if (folder == kFolderNotSet) {
    ShowMessageBox(kFolderNotSetText, L"Error", MessageIcon::None);
    lastError = kFolderNotSetText;
    return false;
  }
  if (!registry) return false;
  // One call, so that the file back end reads and replaces its file once per value.
  if (registry->StoreStringValue(KeyPath(), name, value)) return true;
  lastError = registry->LastError();
  return false;
}

bool CRegistrySettings::CheckWritable(const std::wstring& name, std::wstring& reason) {
  reason.clear();
  if (folder == kFolderNotSet) {
    reason = kFolderNotSetText;
    return false;
  }
  return registry && registry->CanStore(KeyPath(), name, reason);
}

bool CRegistrySettings::WriteDouble(const std::wstring& name, double value) {
  return WriteString(name, FormatText(L"%f", value));
}

}  // namespace veltrane
