#pragma once
// Writes string values below HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\<folder>, where a
// tuner application reads them later. Keys are opened anew for every write and closed before
// it returns. Called on the dialog's thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/Registry.h"

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

  // True when a value called name can be stored in the folder now: the names are valid and
  // the store can be read, understood and written. Writes nothing and shows no box, so it
  // may be asked before a long measurement. reason says why not.
  bool CheckWritable(const std::wstring& name, std::wstring& reason);

  // Why the last write that failed failed, as a sentence for the user naming the file and
  // the cause; empty when the store cannot tell.
  const std::wstring& LastError() const { return lastError; }

  // The key that the writes go to, below HKEY_CURRENT_USER: the maker key, then the folder
  // as SetFolder left it (none when it is empty). For reports, which must name that key.
  std::wstring KeyPath() const;

 private:
  std::shared_ptr<Registry> registry;
  std::wstring lastError;
  std::wstring folder = L"Not set";  // the text doubles as the marker "no folder chosen"
};

}  // namespace veltrane
