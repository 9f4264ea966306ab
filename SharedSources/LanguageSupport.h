#pragma once
// Plain-text language files of source/translation pairs (UTF-16LE) that lie next to the
// program (or, installed, in its data folder), and the sentence-by-sentence translation of
// shown texts. GUI thread only.

#include <cstddef>
#include <string>
#include <vector>

namespace veltrane {

class CLanguageSupport {
 public:
  CLanguageSupport() = default;
  virtual ~CLanguageSupport() = default;

  // True when the language is "English" or its file was read. Failures keep English texts.
  bool LoadLanguage(const std::wstring& name);
  // The translation of every sentence of text that the loaded file has; text itself otherwise.
  std::wstring Translate(const std::wstring& text) const;

  // Reads "<module directory>Text - <name>.txt", or the file name itself when it holds a '/'.
  // Where there is no such file, reads "Text - <name>.txt" in the installed data folder
  // (GetInstalledDataDirectory). False when the file cannot be opened or read; the entries
  // then stay as they were.
  bool LoadLanguageFile(const std::wstring& name);
  // Replaces the entries with those of the given UTF-16LE bytes. Any bytes are accepted.
  void ParseLanguageText(const unsigned char* bytes, std::size_t count);
  // Remove the leading (trailing) run of blanks, punctuation, line breaks and \r \n escape
  // pairs from text and return it.
  static std::wstring SplitLeading(std::wstring& text);
  static std::wstring SplitTrailing(std::wstring& text);
  // The translation of core from the first entry that has it, or core itself.
  std::wstring LookUp(const std::wstring& core) const;

  // The bare sentences of text that Translate looks up, in order; a complete language file
  // has a translation for each of them.
  static std::vector<std::wstring> GetLookUpKeys(const std::wstring& text);

  bool IsLoaded() const { return loaded; }
  const std::wstring& GetLanguageName() const { return languageName; }
  const std::vector<std::wstring>& SourceTexts() const { return sourceTexts; }
  const std::vector<std::wstring>& TranslatedTexts() const { return translatedTexts; }

 private:
  bool loaded = false;
  std::vector<std::wstring> sourceTexts;
  std::vector<std::wstring> translatedTexts;
  std::wstring languageName;
};

// The one language store of the program.
extern CLanguageSupport theLanguage;

// Shorthand for theLanguage.Translate.
inline std::wstring Translate(const std::wstring& text) { return theLanguage.Translate(text); }

}  // namespace veltrane
