// Picture files come from the command line: the header reader sees them before any decoder
// and must take any bytes without a fault, declaring only sizes of zero or more.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "PictureHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto declared =
      veltrane::ReadPictureSize(std::string_view(reinterpret_cast<const char*>(data), size));
  if (declared) {
    FUZZ_CHECK(declared->width >= 0 && declared->height >= 0);
    veltrane::IsPictureTooLarge(*declared);
  }
  return 0;
}
