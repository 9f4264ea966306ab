// The hive file may have been edited by hand or by the registry editor. Whatever parses must
// format and parse again to the same keys and values, or a write would change what it keeps.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/HiveFormat.h"

namespace {

bool SameKeysAndValues(const veltrane::RegistryHive& a, const veltrane::RegistryHive& b) {
  if (a.Keys().size() != b.Keys().size()) return false;
  for (std::size_t k = 0; k < a.Keys().size(); ++k) {
    const auto& keyA = a.Keys()[k];
    const auto& keyB = b.Keys()[k];
    if (keyA.path != keyB.path || keyA.values.size() != keyB.values.size()) return false;
    for (std::size_t v = 0; v < keyA.values.size(); ++v) {
      if (keyA.values[v].name != keyB.values[v].name) return false;
      if (keyA.values[v].data != keyB.values[v].data) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto hive = veltrane::ParseHive(std::string(reinterpret_cast<const char*>(data), size));
  if (!hive) return 0;
  const std::string text = veltrane::FormatHive(*hive);
  const auto again = veltrane::ParseHive(text);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(SameKeysAndValues(*hive, *again));
  // Whatever the format holds beyond names and data must survive as well.
  FUZZ_CHECK(veltrane::FormatHive(*again) == text);
  return 0;
}
