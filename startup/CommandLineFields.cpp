#include "startup/CommandLineFields.h"

namespace veltrane {

std::wstring GetCommandLineField(const std::wstring& commandLineText, int n) {
  if (n < 0) return {};
  std::size_t start = 0;
  for (int k = 0; k < n; ++k) {
    const auto separator = commandLineText.find(L';', start);
    if (separator == std::wstring::npos) return {};
    start = separator + 1;
  }
  const auto end = commandLineText.find(L';', start);
  return commandLineText.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

CommandLineFields ReadCommandLineFields(const std::wstring& commandLineText) {
  const auto field = [&commandLineText](int n) { return GetCommandLineField(commandLineText, n); };
  return CommandLineFields{field(0), field(1), field(2), field(3), field(4), field(5)};
}

}  // namespace veltrane
