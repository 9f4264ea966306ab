#include "support/StoredNames.h"

#include "base/Text.h"

namespace veltrane {

std::wstring CalibrationValueName(const std::wstring& prefix, std::int32_t nominalRate,
                                  const std::wstring& deviceName) {
  return prefix + L"Calib_" + FormatText(L"%d", static_cast<int>(nominalRate)) + L"_Of " +
         deviceName;
}

}  // namespace veltrane
