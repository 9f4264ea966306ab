// Picture files come from the command line: the header reader sees them before any decoder
// and must take any bytes without a fault, declaring only sizes of zero or more.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "controls/PictureHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto declared =
      veltrane::ReadPictureHeader(std::string_view(reinterpret_cast<const char*>(data), size));
  if (declared) {
    FUZZ_CHECK(declared->size.width >= 0 && declared->size.height >= 0);
    veltrane::IsPictureTooLarge(declared->size);
  }
  return 0;
}
