// Language files come from users and translators: any bytes must parse without a fault into
// equally many source and translated texts, each source a non-empty trimmed sentence, and a
// loaded file must translate every one-sentence source as its entry says.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "SharedSources/LanguageSupport.h"
#include "base/Text.h"

namespace {

constexpr std::size_t kTranslatedEntries = 32;

bool IsOneSentence(const std::wstring& text) {
  return text.find_first_of(L".\\\r\n") == std::wstring::npos;
}

// The file the language is loaded from, as the program does it; removed at exit.
struct InputFile {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("veltrane-fuzz-language-" + std::to_string(getpid())))
                         .string();
  ~InputFile() { std::filesystem::remove(path); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using veltrane::CLanguageSupport;
  static const InputFile file;
  const std::string& path = file.path;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  CLanguageSupport language;
  FUZZ_CHECK(language.LoadLanguage(veltrane::FromUtf8(path)));
  const auto& sources = language.SourceTexts();
  const auto& translations = language.TranslatedTexts();
  FUZZ_CHECK(sources.size() == translations.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::wstring source = sources[i];
    FUZZ_CHECK(!source.empty());
    FUZZ_CHECK(CLanguageSupport::SplitLeading(source).empty());
    FUZZ_CHECK(CLanguageSupport::SplitTrailing(source).empty());
    // Each look-up walks the entries: translating them all would make big inputs quadratic.
    if (i >= kTranslatedEntries) continue;
    const std::wstring translated = language.Translate(sources[i]);
    if (IsOneSentence(sources[i])) FUZZ_CHECK(translated == language.LookUp(sources[i]));
    language.Translate(translations[i]);
  }
  return 0;
}
