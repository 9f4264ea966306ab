// The command line of veltrane-cli: what each form asks for, and a clear reason for each
// form that asks for nothing sensible.
#include <gtest/gtest.h>

#include "cli/Arguments.h"
#include "base/Text.h"

namespace veltrane {
namespace {

std::vector<std::wstring> Split(const std::wstring& text) {
  std::vector<std::wstring> words;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find(L' ', start), text.size());
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

TEST(CliArgumentsTest, ReadsEveryForm) {
  CliRequest request;
  std::wstring error;
  ASSERT_TRUE(ParseCliArguments(Split(L"calibrate --device=Mic --rate 48000 --seconds 30 "
                                      L"--until-ppm 0.5 --store Tuner --prefix Input1 --json"),
                                request, error));
  EXPECT_EQ(request.command, CliCommand::Calibrate);
  EXPECT_EQ(request.device, L"Mic");
  EXPECT_EQ(request.rate, 48000);
  EXPECT_EQ(request.seconds, 30.0);
  EXPECT_EQ(request.untilPpm, 0.5);
  EXPECT_EQ(request.storeFolder, L"Tuner");
  EXPECT_EQ(request.prefix, L"Input1");
  EXPECT_TRUE(request.json);

  // A device name with blanks is one argument, as a shell hands it over.
  ASSERT_TRUE(ParseCliArguments(
      {L"calibrate", L"--device", L"USB Audio (hw:1)", L"--rate", L"44100"}, request, error));
  EXPECT_EQ(request.device, L"USB Audio (hw:1)");
  EXPECT_EQ(request.seconds, 60.0);
  EXPECT_FALSE(request.storeFolder);

  ASSERT_TRUE(ParseCliArguments(Split(L"show Tuner --json"), request, error));
  EXPECT_EQ(request.command, CliCommand::Show);
  EXPECT_EQ(request.showFolder, L"Tuner");
  ASSERT_TRUE(ParseCliArguments(Split(L"calibrate --help"), request, error));
  EXPECT_EQ(request.command, CliCommand::Help);
  EXPECT_EQ(request.helpFor, CliCommand::Calibrate);
}

TEST(CliArgumentsTest, RefusesWithAReason) {
  struct Case {
    const wchar_t* arguments;
    const wchar_t* reasonHolds;
  };
  const Case cases[] = {
      {L"tune", L"Unknown command"},
      {L"calibrate --rate 44100", L"--device"},
      {L"calibrate --device Mic", L"--rate N"},
      {L"calibrate --device Mic --rate 0", L"greater than 0"},
      {L"calibrate --device Mic --rate -44100", L"greater than 0"},
      {L"calibrate --device Mic --rate 44.1k", L"whole number"},
      {L"calibrate --device Mic --rate 4772186", L"too large"},
      {L"calibrate --device Mic --rate 99999999999999999999999", L"whole number"},
      {L"calibrate --device Mic --rate 44100 --seconds 2", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --seconds 900", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --seconds nan", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --until-ppm 0", L"--until-ppm"},
      {L"calibrate --device Mic --rate 44100 --prefix X", L"--store"},
      {L"calibrate --device Mic --rate", L"needs a value"},
      {L"list --device Mic", L"Unknown option"},
      {L"show A B", L"Unexpected"},
      {L"show -x", L"Unknown option"},
      {L"show -- A B", L"Unexpected"},
      {L"calibrate --device Mic --rate 0x10000", L"whole number"},
      {L"calibrate --device Mic --rate 4.41e4", L"whole number"},
      {L"calibrate --device Mic --rate 44100 --seconds 0x10", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --seconds 1e999", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --seconds inf", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --seconds 10,5", L"--seconds"},
      {L"calibrate --device Mic --rate 44100 --until-ppm .", L"--until-ppm"},
  };
  for (const Case& c : cases) {
    CliRequest request;
    std::wstring error;
    EXPECT_FALSE(ParseCliArguments(Split(c.arguments), request, error)) << ToUtf8(c.arguments);
    EXPECT_NE(error.find(c.reasonHolds), std::wstring::npos)
        << ToUtf8(c.arguments) << ": " << ToUtf8(error);
  }
}

TEST(CliArgumentsTest, ReadsDecimalNumbersOneWay) {
  struct Case {
    std::vector<std::wstring> arguments;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {{L"--seconds", L"+10.5"}, true},  {{L"--seconds", L"1e1"}, true},
      {{L"--seconds", L" 5"}, false},    {{L"--seconds", L"5 "}, false},
      {{L"--seconds", L"\u0665"}, false}, {{L"--rate", L"044100"}, true},
      {{L"--rate", L"44100 "}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> arguments = {L"calibrate", L"--device", L"Mic", L"--rate", L"44100"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    CliRequest request;
    std::wstring error;
    EXPECT_EQ(ParseCliArguments(arguments, request, error), c.accepted) << ToUtf8(c.arguments[1]);
  }
}

TEST(CliArgumentsTest, DoubleDashEndsTheOptions) {
  CliRequest request;
  std::wstring error;
  ASSERT_TRUE(ParseCliArguments({L"show", L"--json", L"--", L"-x"}, request, error));
  EXPECT_EQ(request.showFolder, L"-x");
  EXPECT_TRUE(request.json);
  ASSERT_TRUE(ParseCliArguments({L"show", L"--", L"--json"}, request, error));
  EXPECT_EQ(request.showFolder, L"--json");
  EXPECT_FALSE(request.json);
  // A refusal still says whether JSON was asked for, even after the refused option.
  EXPECT_FALSE(ParseCliArguments({L"list", L"-x", L"--json"}, request, error));
  EXPECT_TRUE(request.json);
}

}  // namespace
}  // namespace veltrane
