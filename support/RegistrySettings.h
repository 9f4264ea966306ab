#pragma once
// Writes string values below HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\<folder>, where a
// tuner application reads them later. Keys are opened anew for every write and closed before
// it returns. Called on the dialog's thread only.

#include <memory>
#include <optional>
#include <string>

#include "Registry.h"

namespace veltrane {

class CRegistrySettings {
 public:
  explicit CRegistrySettings(std::shared_ptr<Registry> registry);
  virtual ~CRegistrySettings();

  // Takes the folder with leading and trailing white space removed. Touches no key. A folder
  // holding '\' names nested keys; an empty one stores values in the maker key itself.
  void SetFolder(const std::wstring& newFolder);

  // True when the value was stored. Before a folder is set, each call shows the
  // "Registry folder not set." box and stores nothing.
  bool WriteString(const std::wstring& name, const std::wstring& value);

  // Stores value as text made with "%f" (six decimals, '.' as separator).
  bool WriteDouble(const std::wstring& name, double value);

  // Whether a value of this name could be stored in the folder now, without writing
  // anything or showing a box: the folder is set, its path and the name are valid, and the
  // registry can be read. False with the cause in reason otherwise.
  bool CheckWritable(const std::wstring& valueName, std::wstring& reason);

 private:
  std::optional<RegistryKey> OpenKey();

  std::shared_ptr<Registry> registry;
  std::wstring folder = L"Not set";  // the text doubles as the marker "no folder chosen"
};

}  // namespace veltrane
