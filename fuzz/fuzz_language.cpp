// Language files come from users and translators: any bytes must parse without a fault into
// equally many source and translated texts, each source a non-empty trimmed sentence that
// looks up to its entry.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "LanguageSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  veltrane::CLanguageSupport language;
  language.ParseLanguageText(data, size);
  const auto& sources = language.SourceTexts();
  const auto& translations = language.TranslatedTexts();
  FUZZ_CHECK(sources.size() == translations.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::wstring source = sources[i];
    FUZZ_CHECK(!source.empty());
    FUZZ_CHECK(veltrane::CLanguageSupport::SplitLeading(source).empty());
    FUZZ_CHECK(veltrane::CLanguageSupport::SplitTrailing(source).empty());
    FUZZ_CHECK(!language.LookUp(sources[i]).empty());
    veltrane::CLanguageSupport::GetLookUpKeys(translations[i]);
  }
  return 0;
}
