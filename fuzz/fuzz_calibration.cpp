// The calibration reader on a hive file of any bytes, through its C API as a tuner calls it:
// every answer is one of its error codes, a ratio it gives is plausible, and a list it gives
// holds strings to read and details whose texts end. Each input goes through one file of
// the fuzzer's process in /tmp (/tmp/veltrane-fuzz-calibration-<pid>.reg), left behind.
#include <unistd.h>

#include <veltrane/calibration.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"

namespace {

bool Terminated(const char* text, std::size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void CheckDetails(const veltrane_calibration_details& details) {
  FUZZ_CHECK(Terminated(details.date_text, sizeof details.date_text));
  FUZZ_CHECK(Terminated(details.method, sizeof details.method));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/veltrane-fuzz-calibration-" + std::to_string(::getpid()) + ".reg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  double ratio = 0;
  veltrane_calibration_details details;
  const auto read = veltrane_calibration_read_file(path.c_str(), "Tuner", "Input1", 44100,
                                                   "Default Input", &ratio, &details);
  FUZZ_CHECK(read >= VELTRANE_CALIBRATION_OK && read <= VELTRANE_CALIBRATION_UNSUPPORTED);
  if (read == VELTRANE_CALIBRATION_OK) {
    FUZZ_CHECK(ratio > 0 && ratio < 2);
    CheckDetails(details);
  }
  veltrane_calibration_list* list = nullptr;
  const auto listed = veltrane_calibration_list_file(path.c_str(), "Tuner", &list);
  FUZZ_CHECK((listed == VELTRANE_CALIBRATION_OK) == (list != nullptr));
  for (std::size_t i = 0; i < veltrane_calibration_list_count(list); ++i) {
    const veltrane_calibration_entry* entry = veltrane_calibration_list_entry(list, i);
    FUZZ_CHECK(entry && std::strstr(entry->name, "Calib_") && entry->text && entry->prefix &&
               entry->device);
    CheckDetails(entry->details);
  }
  veltrane_calibration_list_free(list);
  return 0;
}
