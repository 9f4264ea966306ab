// Language files: the reader's line-end, escape and trimming rules, the sentence-wise
// translation, loading from the program's directory, bad files, and the shipped files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/AppPaths.h"
#include "SharedSources/LanguageSupport.h"
#include "SharedSources/ProgramTexts.h"
#include "base/Text.h"
#include "support/Trace.h"
#include "support/WaitCursor.h"

namespace veltrane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::u16string kMarkerLine = u"[Translate the text below]\r\n";

std::string Utf16Le(const std::u16string& text, bool byteOrderMark = true) {
  std::string bytes;
  if (byteOrderMark) bytes += "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// A language store filled from the given file text (with byte order mark) and marked loaded
// the way a real load does it.
class LanguageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "veltrane-lang-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory = pattern;
    SetModuleDirectory(FromUtf8(directory + "/veltrane"));
    SetTraceListener([this](const TraceLine& line) { traces.push_back(line); });
  }

  void TearDown() override {
    SetTraceListener({});
    SetWaitCursorHooks({}, {});
    std::filesystem::remove_all(directory);
  }

  void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(directory + "/" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }

  // Loads text as the language "Test" through the program's directory.
  void Load(const std::u16string& text) { LoadBytes(Utf16Le(text)); }

  void LoadBytes(const std::string& bytes) {
    WriteFile("Text - Test.txt", bytes);
    ASSERT_TRUE(language.LoadLanguage(L"Test"));
  }

  std::vector<std::wstring> TraceMessages() const {
    std::vector<std::wstring> messages;
    for (const TraceLine& line : traces) messages.push_back(line.message);
    return messages;
  }

  std::string directory;
  std::vector<TraceLine> traces;
  CLanguageSupport language;
};

TEST_F(LanguageFileTest, TwoLineEntriesTranslateSentencesAndKeepTheProgramsPunctuation) {
  Load(kMarkerLine + u"Cancel\r\nAbbrechen\r\nPlease try again\r\nBitte nochmal!\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Cancel", L"Please try again"));
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"Abbrechen", L"Bitte nochmal"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
  EXPECT_EQ(language.Translate(kTextCanceled), L"The calibration is canceled.\nBitte nochmal.");
}

TEST_F(LanguageFileTest, OneLineEntriesWithTabsAndCommentsGiveTheSameEntries) {
  Load(kMarkerLine +
       u"Cancel\tAbbrechen\tthe button\r\nPlease try again\tBitte nochmal!\tafter failures\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Cancel", L"Please try again"));
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"Abbrechen", L"Bitte nochmal"));
}

TEST_F(LanguageFileTest, LineEndRules) {
  // Line feeds alone work like CR LF.
  Load(u"A\nB\nC\nD\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A", L"C"));
  // LF CR is one line end after a source; after a translation the rest of the next line is
  // skipped, here "C", and the line after it ("\rD") starts with a line end: the list ends.
  Load(u"A\n\rB\n\rC\n\rD\n\r");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A"));
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"B"));
  // Lone carriage returns: after the first entry the reader waits for a line feed.
  Load(u"Cancel\rAbbrechen\rTime left\rZeit\r");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Cancel"));
  // Mixed: CR LF after the source, LF after the translation.
  Load(u"A\r\nB\nC\r\nD\n");
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"B", L"D"));
  // A tab ends the source; the translation's line end then starts the next entry.
  Load(u"A\t\nC\tD\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A", L"C"));
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"", L"D"));
}

TEST_F(LanguageFileTest, BlankOrPunctuationOnlyLineEndsTheList) {
  Load(kMarkerLine + u"A\r\nB\r\n\r\nC\r\nD\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A"));
  Load(kMarkerLine + u"A\r\nB\r\n . !?\r\nC\r\nD\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A"));
  Load(kMarkerLine + u"\r\nA\r\nB\r\n");
  EXPECT_THAT(language.SourceTexts(), IsEmpty());
}

TEST_F(LanguageFileTest, HeaderMarker) {
  // The two units after the marker are skipped whatever they are: a lone line feed there
  // costs the first character of the first source.
  Load(u"Free text\r\n[Translate the text below]\nCancel\r\nAbbrechen\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"ancel"));
  // Without a byte order mark the marker is found the same way.
  LoadBytes(Utf16Le(kMarkerLine + u"Cancel\r\nAbbrechen\r\n", false));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
  // Without a marker the entries start at the top (after the byte order mark).
  Load(u"Cancel\r\nAbbrechen\r\n");
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
  LoadBytes(Utf16Le(u"Cancel\r\nAbbrechen\r\n", false));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
}

TEST_F(LanguageFileTest, HeaderMarkerMustEndWithinTheFirstTenThousandUnits) {
  const std::u16string entries = u"\r\nCancel\r\nAbbrechen\r\n";
  const std::u16string marker = u"[Translate the text below]";
  // Byte order mark + filler + marker ending exactly at unit 10000: a header.
  Load(std::u16string(10000 - 1 - marker.size(), u'x') + marker + entries);
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Cancel"));
  // One unit later it is ordinary text: filler and marker form the first source.
  Load(std::u16string(10000 - marker.size(), u'x') + marker + entries);
  ASSERT_EQ(language.SourceTexts().size(), 2u);
  EXPECT_THAT(language.SourceTexts()[0], ::testing::EndsWith(L"x[Translate the text below]"));
  EXPECT_EQ(language.TranslatedTexts()[0], L"Cancel");
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

TEST_F(LanguageFileTest, EscapesBecomeLineBreaksAndOtherBackslashesStay) {
  Load(kMarkerLine +
       u"Two lines\r\nFirst line\\nSecond line\\r\\n\r\n"
       u"Path\r\nC:\\Tools\\x\r\n"
       u"Two backslashes\r\na\\\\rb\r\n");
  EXPECT_EQ(language.Translate(L"Two lines"), L"First line\nSecond line");
  EXPECT_EQ(language.Translate(L"Path"), L"C:\\Tools\\x");
  EXPECT_EQ(language.Translate(L"Two backslashes"), L"a\\\rb");
}

TEST_F(LanguageFileTest, TrimmingOfSourcesAndTranslations) {
  Load(kMarkerLine +
       u"  Cancel!!\r\n ,Abbrechen.\r\n"
       u"Time left\r\n ... !\r\n"
       u"Odd\r\nEnde\\.\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Cancel", L"Time left", L"Odd"));
  // A translation of punctuation only is empty: the sentence stays in English.
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"Abbrechen", L"", L"Ende"));
  EXPECT_EQ(language.Translate(L"Cancel..."), L"Abbrechen...");
  EXPECT_EQ(language.Translate(L"Time left"), L"Time left");
}

TEST_F(LanguageFileTest, EndOfData) {
  // A last source without a line end is dropped.
  Load(u"A\r\nB\r\nC");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A"));
  // With a line end it is kept with an empty translation.
  Load(u"A\r\nB\r\nC\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"A", L"C"));
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"B", L""));
  EXPECT_EQ(language.Translate(L"C"), L"C");
  // A last translation without a line end counts.
  Load(u"A\r\nB");
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"B"));
  // A trailing backslash is an ordinary character.
  Load(u"A\r\nB\\");
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"B\\"));
}

TEST_F(LanguageFileTest, FirstEntryWinsAndMatchingIsExact) {
  Load(u"Cancel\r\nAbbrechen\r\nCancel\r\nStornieren\r\nTime left\r\nRestzeit\r\n");
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
  EXPECT_EQ(language.Translate(L"cancel"), L"cancel");
  EXPECT_EQ(language.Translate(L"Time  left"), L"Time  left");
}

TEST_F(LanguageFileTest, CharactersOutsideTheBasicPlaneArriveWhole) {
  Load(u"Smile\r\n\xD83D\xDE00 ok\r\nBroken\r\n\xD83D x \xDE00\r\n");
  EXPECT_EQ(language.Translate(L"Smile"), L"\U0001F600 ok");
  EXPECT_EQ(language.Translate(L"Broken"), L"\uFFFD x \uFFFD");
}

TEST_F(LanguageFileTest, TranslateCutsSentencesAtFullStopsAndLineBreaks) {
  Load(kMarkerLine +
       u"Don't click on anything during this calibration\r\nNichts anklicken\r\n"
       u"If you do, it will take longer\r\nSonst dauert es\r\n"
       u"One\r\nEins\r\nTwo\r\nZwei\r\nThree\r\nDrei\r\n"
       u"Calibrating\r\nKalibriere\r\n"
       u"One. Two\r\nnever matches\r\n");
  EXPECT_EQ(language.Translate(kTextWarning), L"!! Nichts anklicken !!\r\nSonst dauert es.");
  EXPECT_EQ(language.Translate(L"One. Two. Three."), L"Eins. Zwei. Drei.");
  EXPECT_EQ(language.Translate(L"One\rTwo\nThree"), L"Eins\rZwei\nDrei");
  // Written escape pairs in a shown text cut it too, and are kept.
  EXPECT_EQ(language.Translate(L"One\\nTwo\\rThree"), L"Eins\\nZwei\\rDrei");
  EXPECT_EQ(language.Translate(kTextCalibrating), L"Kalibriere ...");
  // A full stop without a blank after it does not cut; an unknown sentence stays English.
  EXPECT_EQ(language.Translate(L"One.Two. Four. Three"), L"One.Two. Four. Drei");
  EXPECT_EQ(language.Translate(L""), L"");
  EXPECT_EQ(language.Translate(L" ...!\r\n\\n "), L" ...!\r\n\\n ");
}

TEST_F(LanguageFileTest, LookUpKeysAreTheBareSentencesOfAText) {
  EXPECT_THAT(
      CLanguageSupport::GetLookUpKeys(kTextIntroduction),
      ElementsAre(L"Every recording device needs to be calibrated before it can be used with "
                  L"the tuner",
                  L"The calibration does not need an external sound signal",
                  L"The calibration takes a few minutes, but it can take considerably longer if "
                  L"your computer is busy with other things",
                  L"If the calibration takes too long, close all other applications that could "
                  L"slow down your computer and restart the calibration"));
  EXPECT_THAT(CLanguageSupport::GetLookUpKeys(kTextWarning),
              ElementsAre(L"Don't click on anything during this calibration",
                          L"If you do, it will take longer"));
  EXPECT_THAT(CLanguageSupport::GetLookUpKeys(kTextCalibrating), ElementsAre(L"Calibrating"));
  EXPECT_THAT(CLanguageSupport::GetLookUpKeys(kTextRateUnsupported),
              ElementsAre(L"The sample rate is not supported", L"The calibration is canceled"));
  EXPECT_THAT(CLanguageSupport::GetLookUpKeys(L" ... "), IsEmpty());
}

TEST(SplitTest, SeparatorRunsAtBothEnds) {
  std::wstring text = L" !?.,:\t\r\n\\r\\nCore text\\x. ,\\r\\n\n";
  EXPECT_EQ(CLanguageSupport::SplitLeading(text), L" !?.,:\t\r\n\\r\\n");
  EXPECT_EQ(CLanguageSupport::SplitTrailing(text), L". ,\\r\\n\n");
  EXPECT_EQ(text, L"Core text\\x");
  // A separator after a backslash leaves together with the backslash.
  text = L"Ende\\.";
  EXPECT_EQ(CLanguageSupport::SplitTrailing(text), L"\\.");
  EXPECT_EQ(text, L"Ende");
  text = L"\\x";
  EXPECT_EQ(CLanguageSupport::SplitLeading(text), L"");
  EXPECT_EQ(CLanguageSupport::SplitTrailing(text), L"");
  text = L". .";
  EXPECT_EQ(CLanguageSupport::SplitLeading(text), L". .");
  EXPECT_EQ(text, L"");
}

TEST_F(LanguageFileTest, NothingIsTranslatedBeforeALoadOrAfterAFailedOne) {
  const std::string bytes = Utf16Le(u"Cancel\r\nAbbrechen\r\n");
  // Entries alone do not switch the translation on.
  language.ParseLanguageText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  ASSERT_THAT(language.SourceTexts(), ElementsAre(L"Cancel"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");

  LoadBytes(bytes);
  EXPECT_EQ(language.Translate(L"Cancel"), L"Abbrechen");
  EXPECT_FALSE(language.LoadLanguage(L"Missing"));
  EXPECT_FALSE(language.IsLoaded());
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

TEST_F(LanguageFileTest, LoadTracesAndPaths) {
  WriteFile("Text - Test.txt", Utf16Le(u"Cancel\r\nAbbrechen\r\n"));
  ASSERT_TRUE(language.LoadLanguage(L"Test"));
  EXPECT_EQ(language.GetLanguageName(), L"Test");
  const std::wstring path = FromUtf8(directory) + L"/Text - Test.txt";
  EXPECT_THAT(TraceMessages(),
              ElementsAre(L"Opening language file: " + path, L"Closing language file"));
  for (const TraceLine& line : traces) {
    EXPECT_EQ(line.category, L"TR_GENERAL");
    EXPECT_EQ(line.sourceFile, L"LanguageSupport");
    EXPECT_GT(line.line, 0);
  }

  // Other letter case is another language, and a file missing in both places leaves English.
  traces.clear();
  EXPECT_FALSE(language.LoadLanguage(L"test"));
  EXPECT_THAT(TraceMessages(),
              ElementsAre(L"Opening language file: " + FromUtf8(directory) + L"/Text - test.txt",
                          L"Opening language file: " + GetInstalledDataDirectory() +
                              L"Text - test.txt",
                          L"Error: Failed to load the language file.",
                          L"Load language failed. Using English."));
}

// Installed, the program lies in <prefix>/bin and its language files in
// <prefix>/share/veltrane; a file beside the program is still read first.
TEST_F(LanguageFileTest, InstalledFilesAreReadFromTheDataFolderWhenNoneLiesBesideTheProgram) {
  std::filesystem::create_directories(directory + "/bin");
  std::filesystem::create_directories(directory + "/share/veltrane");
  SetModuleDirectory(FromUtf8(directory + "/bin/veltrane"));
  WriteFile("share/veltrane/Text - Test.txt", Utf16Le(u"Cancel\r\nInstalliert\r\n"));
  ASSERT_TRUE(language.LoadLanguage(L"Test"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Installiert");
  const std::wstring top = FromUtf8(directory);
  EXPECT_THAT(TraceMessages(),
              ElementsAre(L"Opening language file: " + top + L"/bin/Text - Test.txt",
                          L"Opening language file: " + top + L"/share/veltrane/Text - Test.txt",
                          L"Closing language file"));

  WriteFile("bin/Text - Test.txt", Utf16Le(u"Cancel\r\nDaneben\r\n"));
  ASSERT_TRUE(language.LoadLanguage(L"Test"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Daneben");
}

TEST_F(LanguageFileTest, EnglishReadsNoFile) {
  WriteFile("Text - English.txt", Utf16Le(u"Cancel\r\nEnglisch\r\n"));
  Load(u"Cancel\r\nAbbrechen\r\n");
  traces.clear();
  EXPECT_TRUE(language.LoadLanguage(L"English"));
  EXPECT_THAT(traces, IsEmpty());
  EXPECT_FALSE(language.IsLoaded());
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

TEST_F(LanguageFileTest, NameWithSlashIsTheWholePathAndEmptyNameIsAFileToo) {
  WriteFile("custom.lang", Utf16Le(u"Cancel\r\nEigen\r\n"));
  const std::wstring path = FromUtf8(directory) + L"/custom.lang";
  ASSERT_TRUE(language.LoadLanguage(path));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Eigen");
  EXPECT_EQ(traces.at(0).message, L"Opening language file: " + path);

  WriteFile("Text - .txt", Utf16Le(u"Cancel\r\nLeer\r\n"));
  ASSERT_TRUE(language.LoadLanguage(L""));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Leer");
}

TEST_F(LanguageFileTest, ReloadReplacesTheEntries) {
  Load(u"Cancel\r\nAbbrechen\r\n");
  Load(u"Time left\r\nRestzeit\r\n");
  EXPECT_THAT(language.SourceTexts(), ElementsAre(L"Time left"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

TEST_F(LanguageFileTest, ParseShowsTheWaitCursorOnce) {
  int begun = 0;
  int ended = 0;
  SetWaitCursorHooks([&] { ++begun; }, [&] { ++ended; });
  Load(u"Cancel\r\nAbbrechen\r\n");
  EXPECT_EQ(begun, 1);
  EXPECT_EQ(ended, 1);
  language.Translate(L"Cancel");
  EXPECT_EQ(begun, 1);
}

TEST_F(LanguageFileTest, FilesThatAreNotRegularFilesFailWithoutBlocking) {
  // A directory opens but cannot be read; a FIFO without a writer would block a plain open.
  std::filesystem::create_directory(directory + "/Text - Folder.txt");
  EXPECT_FALSE(language.LoadLanguage(L"Folder"));
  EXPECT_THAT(TraceMessages(), ::testing::Contains(L"Load language failed. Using English."));
  ASSERT_EQ(mkfifo((directory + "/Text - Pipe.txt").c_str(), 0600), 0);
  EXPECT_FALSE(language.LoadLanguage(L"Pipe"));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

// Stored texts keep the promises the translation relies on, whatever the file held.
void ExpectWellFormedEntries(const CLanguageSupport& language) {
  ASSERT_EQ(language.SourceTexts().size(), language.TranslatedTexts().size());
  for (std::size_t i = 0; i < language.SourceTexts().size(); ++i) {
    for (std::wstring text : {language.SourceTexts()[i], language.TranslatedTexts()[i]}) {
      EXPECT_EQ(text.find(L'\t'), std::wstring::npos);
      EXPECT_EQ(CLanguageSupport::SplitLeading(text), L"");
      EXPECT_EQ(CLanguageSupport::SplitTrailing(text), L"");
    }
    EXPECT_FALSE(language.SourceTexts()[i].empty());
  }
}

std::string RandomBytes(std::size_t count, unsigned startValue) {
  std::mt19937 generator(startValue);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

TEST_F(LanguageFileTest, EmptyAndOddSizedFilesLoad) {
  LoadBytes("");
  EXPECT_TRUE(language.IsLoaded());
  EXPECT_THAT(language.SourceTexts(), IsEmpty());
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
  LoadBytes("C");
  EXPECT_THAT(language.SourceTexts(), IsEmpty());
  // The odd last byte is ignored.
  LoadBytes(Utf16Le(u"Cancel\r\nAbbrechen\r\n") + "\x41");
  EXPECT_THAT(language.TranslatedTexts(), ElementsAre(L"Abbrechen"));
}

TEST_F(LanguageFileTest, OtherEncodingsAndGarbageGiveNonsenseButNoCrash) {
  // The shipped German entries written as UTF-8 by mistake.
  LoadBytes("[Translate the text below]\r\nCancel\r\nAbbrechen\r\nTime left\r\nRestzeit\r\n");
  EXPECT_EQ(language.Translate(kTextCancel), kTextCancel);
  ExpectWellFormedEntries(language);

  for (unsigned startValue : {1u, 2u, 3u}) {
    LoadBytes(RandomBytes(1 << 20, startValue));
    ExpectWellFormedEntries(language);
    language.Translate(FromUtf8(RandomBytes(4096, startValue)));
  }
}

TEST_F(LanguageFileTest, AFileOverOneMebibyteIsRefusedUnread) {
  LoadBytes(std::string(1 << 20, ' '));
  const std::string path = directory + "/Text - Test.txt";
  std::filesystem::resize_file(path, 256u << 20);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const long peakBefore = usage.ru_maxrss;
  traces.clear();
  EXPECT_FALSE(language.LoadLanguage(L"Test"));
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss - peakBefore, 20 * 1024);
  EXPECT_THAT(TraceMessages(), ::testing::Contains(L"The language file is larger than 1 MiB."));
  EXPECT_EQ(language.Translate(L"Cancel"), L"Cancel");
}

// Parsed without the file, which is far beyond what a file may hold.
TEST_F(LanguageFileTest, FiftyMegabyteTextsParseInOnePass) {
  constexpr std::size_t kBytes = 50u << 20;
  const auto LoadBytes = [this](const std::string& bytes) {
    language.ParseLanguageText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  };
  const auto Load = [&](const std::u16string& text) { LoadBytes(Utf16Le(text)); };
  LoadBytes(RandomBytes(kBytes, 7));
  ExpectWellFormedEntries(language);

  // One endless source: dropped at the end of the data.
  Load(std::u16string(kBytes / 2, u'x'));
  EXPECT_THAT(language.SourceTexts(), IsEmpty());

  // Huge separator runs around a sentence are trimmed in one go.
  Load(u"Cancel" + std::u16string(kBytes / 4, u' ') + u"\r\n" + std::u16string(kBytes / 4 - 20, u'.') +
       u"Abbrechen\r\n");
  EXPECT_EQ(language.TranslatedTexts().at(0), L"Abbrechen");

  // Many entries.
  std::u16string entries;
  const std::u16string entry = u"Cancel\r\nAbbrechen\r\n";
  while (entries.size() + entry.size() < (8u << 20) / 2) entries += entry;
  Load(entries);
  EXPECT_EQ(language.SourceTexts().size(), entries.size() / entry.size());
  EXPECT_EQ(language.TranslatedTexts().at(0), L"Abbrechen");
}

TEST_F(LanguageFileTest, TheSharedInstanceBehindTheShorthand) {
  WriteFile("Text - Test.txt", Utf16Le(u"Cancel\r\nAbbrechen\r\n"));
  ASSERT_TRUE(theLanguage.LoadLanguage(L"Test"));
  EXPECT_EQ(Translate(L"Cancel"), L"Abbrechen");
  ASSERT_TRUE(theLanguage.LoadLanguage(L"English"));
  EXPECT_EQ(Translate(L"Cancel"), L"Cancel");
}

// The program's sentences that language has no translation for, and the file's sources
// that are no sentence of the program.
struct Coverage {
  std::vector<std::wstring> missing;
  std::vector<std::wstring> unused;
};

Coverage CheckCoverage(const CLanguageSupport& language) {
  Coverage coverage;
  std::vector<std::wstring> keys;
  for (const std::wstring* text : kProgramTexts) {
    for (const std::wstring& key : CLanguageSupport::GetLookUpKeys(*text)) keys.push_back(key);
  }
  const auto& sources = language.SourceTexts();
  for (const std::wstring& key : keys) {
    const auto found = std::find(sources.begin(), sources.end(), key);
    if (found == sources.end() || language.TranslatedTexts()[found - sources.begin()].empty()) {
      coverage.missing.push_back(key);
    }
  }
  for (const std::wstring& source : sources) {
    if (std::find(keys.begin(), keys.end(), source) == keys.end()) {
      coverage.unused.push_back(source);
    }
  }
  return coverage;
}

TEST_F(LanguageFileTest, CoverageCheckNamesMissingAndStaleSentences) {
  Load(kMarkerLine + u"Cancel\r\nAbbrechen\r\nTime left\r\n\t\r\nCancle\r\nAbbrechen\r\n");
  const Coverage coverage = CheckCoverage(language);
  EXPECT_THAT(coverage.missing, ::testing::Contains(L"Time left"));
  EXPECT_THAT(coverage.missing, ::testing::Not(::testing::Contains(L"Cancel")));
  EXPECT_THAT(coverage.unused, ElementsAre(L"Cancle"));
}

struct ShippedLanguage {
  const char* testName;
  const wchar_t* language;
};

void PrintTo(const ShippedLanguage& shipped, std::ostream* out) { *out << shipped.testName; }

class ShippedLanguageFileTest : public ::testing::TestWithParam<ShippedLanguage> {
 protected:
  void SetUp() override { SetModuleDirectory(FromUtf8(VELTRANE_LANGUAGE_FILES_DIR "/veltrane")); }
};

TEST_P(ShippedLanguageFileTest, TranslatesEverySentenceOfTheProgram) {
  CLanguageSupport language;
  ASSERT_TRUE(language.LoadLanguage(GetParam().language));
  ASSERT_TRUE(language.IsLoaded());
  const Coverage coverage = CheckCoverage(language);
  EXPECT_THAT(coverage.missing, IsEmpty());
  EXPECT_THAT(coverage.unused, IsEmpty());
  for (const std::wstring* text : kProgramTexts) {
    if (text != &kTextTitle) {
      EXPECT_NE(language.Translate(*text), *text);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, ShippedLanguageFileTest,
                         ::testing::Values(ShippedLanguage{"Deutsch", L"Deutsch"},
                                           ShippedLanguage{"Francais", L"Fran\u00E7ais"}),
                         [](const auto& info) { return std::string(info.param.testName); });

TEST(ShippedLanguageFilesTest, ShowTheProgramsPunctuationAroundTranslatedSentences) {
  SetModuleDirectory(FromUtf8(VELTRANE_LANGUAGE_FILES_DIR "/veltrane"));
  CLanguageSupport german;
  ASSERT_TRUE(german.LoadLanguage(L"Deutsch"));
  EXPECT_EQ(german.Translate(kTextCanceled),
            L"Die Kalibrierung wurde abgebrochen.\nBitte versuchen Sie es erneut.");
  EXPECT_EQ(german.Translate(kTextWarning),
            L"!! W\u00E4hrend der Kalibrierung bitte nichts anklicken !!\r\n"
            L"Sonst dauert sie l\u00E4nger.");
  CLanguageSupport french;
  ASSERT_TRUE(french.LoadLanguage(L"Fran\u00E7ais"));
  EXPECT_EQ(french.Translate(kTextCalibrating), L"\u00C9talonnage en cours ...");
}

}  // namespace
}  // namespace veltrane
