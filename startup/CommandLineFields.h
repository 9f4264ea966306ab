#pragma once
// The dialog's command line: one text of six fields separated by ';', read once at start-up
// and handed to whoever needs a field.

#include <string>

namespace veltrane {

// Field n of the ';'-separated text, unchanged (no trimming, no quoting); empty when it does
// not exist.
std::wstring GetCommandLineField(const std::wstring& commandLineText, int n);

// The six fields, each as given; text after a sixth ';' is never read.
struct CommandLineFields {
  std::wstring deviceName;       // 0: the recording device's name
  std::wstring folder;           // 1: the registry folder
  std::wstring valueNamePrefix;  // 2: the start of the stored value's name
  std::wstring language;         // 3: the language of the texts
  std::wstring picturePath;      // 4: a picture to show, may be empty
  std::wstring nominalRate;      // 5: the nominal sample rate, as written
};

CommandLineFields ReadCommandLineFields(const std::wstring& commandLineText);

}  // namespace veltrane
