// The command line comes from whoever starts the program. The input is split at NUL bytes
// into arguments; their joined text must split into fields that hold no ';' and that,
// joined with ';' again, give back the text, field by field.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/AppPaths.h"
#include "startup/CommandLineFields.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> pieces{"veltrane"};
  pieces.emplace_back();
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<char*> argv;
  for (std::string& piece : pieces) argv.push_back(piece.data());
  argv.push_back(nullptr);

  const std::wstring text = veltrane::JoinArguments(static_cast<int>(pieces.size()), argv.data());
  FUZZ_CHECK(text.find(L'\0') == std::wstring::npos);

  std::wstring joined;
  int n = 0;
  for (;; ++n) {
    const std::wstring field = veltrane::GetCommandLineField(text, n);
    FUZZ_CHECK(field.find(L';') == std::wstring::npos);
    if (n > 0) joined += L';';
    joined += field;
    FUZZ_CHECK(text.compare(0, joined.size(), joined) == 0);
    if (joined.size() == text.size()) break;
    FUZZ_CHECK(joined.size() < text.size() && text[joined.size()] == L';');
  }
  FUZZ_CHECK(joined == text);
  FUZZ_CHECK(veltrane::GetCommandLineField(text, n + 1).empty());
  return 0;
}
