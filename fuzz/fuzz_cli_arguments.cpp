// veltrane-cli's arguments come from whoever starts it. The input is split at NUL bytes into
// arguments, decoded as the program decodes them. Reading them never throws, gives the same
// answer twice, refuses with a reason, and an accepted request is one the program can carry
// out: a calibration names a device and a rate the buffer holds, measures 5 to 840 s, and
// reads back the same from its own canonical arguments.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "engine/Capture.h"
#include "fuzz/FuzzCheck.h"
#include "base/Text.h"

namespace {

using veltrane::CliCommand;
using veltrane::CliRequest;

bool Same(const CliRequest& a, const CliRequest& b) {
  return a.command == b.command && a.helpFor == b.helpFor && a.json == b.json &&
         a.device == b.device && a.rate == b.rate && a.seconds == b.seconds &&
         a.untilPpm == b.untilPpm && a.storeFolder == b.storeFolder && a.prefix == b.prefix &&
         a.showFolder == b.showFolder;
}

std::wstring Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return veltrane::FromUtf8(text);
}

// The arguments that ask for request, each value in its "--name=value" form.
std::vector<std::wstring> Canonical(const CliRequest& request) {
  std::vector<std::wstring> arguments{L"calibrate", L"--device=" + request.device,
                                      L"--rate=" + std::to_wstring(request.rate),
                                      L"--seconds=" + Number(request.seconds)};
  if (request.untilPpm) arguments.push_back(L"--until-ppm=" + Number(*request.untilPpm));
  if (request.storeFolder) arguments.push_back(L"--store=" + *request.storeFolder);
  if (!request.prefix.empty()) arguments.push_back(L"--prefix=" + request.prefix);
  if (request.json) arguments.push_back(L"--json");
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::wstring> arguments(1);
  for (std::size_t i = 0, start = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      arguments.back() = veltrane::FromUtf8(
          std::string_view(reinterpret_cast<const char*>(data) + start, i - start));
      if (i < size) arguments.emplace_back();
      start = i + 1;
    }
  }
  if (size == 0) arguments.clear();

  CliRequest request;
  std::wstring error;
  bool accepted = false;
  try {
    accepted = veltrane::ParseCliArguments(arguments, request, error);
  } catch (...) {
    FUZZ_CHECK(!"ParseCliArguments threw");
  }
  CliRequest again;
  std::wstring againError;
  FUZZ_CHECK(veltrane::ParseCliArguments(arguments, again, againError) == accepted);
  FUZZ_CHECK(againError == error && Same(again, request));
  if (!accepted) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(!veltrane::CliUsage(request.command).empty());
  if (request.command == CliCommand::Show && request.showFolder) {
    // A folder that looks like an option was given after "--".
    const std::wstring& folder = *request.showFolder;
    if (folder.size() > 1 && folder[0] == L'-') {
      bool ended = false;
      for (const std::wstring& argument : arguments) ended = ended || argument == L"--";
      FUZZ_CHECK(ended);
    }
  }
  if (request.command != CliCommand::Calibrate) {
    FUZZ_CHECK(request.device.empty() && request.rate == 0 && !request.storeFolder);
    return 0;
  }
  FUZZ_CHECK(!request.device.empty());
  FUZZ_CHECK(request.rate > 0 && veltrane::RateFitsBuffer(request.rate));
  FUZZ_CHECK(std::isfinite(request.seconds) && request.seconds >= 5.0 && request.seconds <= 840.0);
  FUZZ_CHECK(!request.untilPpm || (std::isfinite(*request.untilPpm) && *request.untilPpm > 0.0));
  FUZZ_CHECK(request.prefix.empty() || request.storeFolder);
  CliRequest canonical;
  FUZZ_CHECK(veltrane::ParseCliArguments(Canonical(request), canonical, error));
  FUZZ_CHECK(Same(canonical, request));
  return 0;
}
