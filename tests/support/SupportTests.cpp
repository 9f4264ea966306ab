// The support folder: program paths and command-line fields, text conversion and
// locale-independent formatting, the message-box seam and the trace facility.
//
// This program has its own main: started with VELTRANE_SUPPORT_TESTS_TRACE_WRITER set, it
// only writes trace lines from two threads and exits, so that the trace file sink (chosen
// once per process from VELTRANE_TRACE) can be tested in a fresh process.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/AppPaths.h"
#include "startup/CommandLineFields.h"
#include "support/MessageBox.h"
#include "base/Text.h"
#include "support/Trace.h"

extern char** environ;

namespace veltrane {
namespace {

using ::testing::ElementsAre;

constexpr const char* kTraceWriterSwitch = "VELTRANE_SUPPORT_TESTS_TRACE_WRITER";
constexpr int kTraceWriterThreads = 2;
constexpr int kTraceLinesPerThread = 5000;

int RunTraceWriter() {
  std::vector<std::thread> threads;
  for (int t = 0; t < kTraceWriterThreads; ++t) {
    threads.emplace_back([t] {
      for (int k = 0; k < kTraceLinesPerThread; ++k) {
        Trace(L"TR_CALIBRATION",
              L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(k) + L" \u00E9",
              L"Writer", 42);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return 0;
}

// Runs this program as a trace writer with VELTRANE_TRACE=target; its standard error goes
// to stderrPath. Returns the child's exit status.
int RunTraceWriterProcess(const std::string& target, const std::string& stderrPath) {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::string(*variable).rfind("VELTRANE_TRACE=", 0) != 0) variables.emplace_back(*variable);
  }
  variables.push_back("VELTRANE_TRACE=" + target);
  variables.push_back(std::string(kTraceWriterSwitch) + "=1");
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string program = "/proc/self/exe";
  char* argv[] = {program.data(), nullptr};
  pid_t child = 0;
  const int error = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "veltrane-support-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TemporaryDirectory() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::string path;
};

TEST(AppPathsTest, ModuleDirectoryIsTheDirectoryWithItsSeparator) {
  SetModuleDirectory(L"/opt/tools/Calib.HLP");
  EXPECT_EQ(GetModuleDirectory(), L"/opt/tools/");
  SetModuleDirectory(L"/opt/tools/");
  EXPECT_EQ(GetModuleDirectory(), L"/opt/tools/");
  SetModuleDirectory(L"/veltrane");
  EXPECT_EQ(GetModuleDirectory(), L"/");
  SetModuleDirectory(L"Calib.exe");
  EXPECT_EQ(GetModuleDirectory(), L"/");
  SetModuleDirectory(L"");
  EXPECT_EQ(GetModuleDirectory(), L"/");
}

std::vector<std::wstring> Fields(const std::wstring& text, int count) {
  std::vector<std::wstring> fields;
  for (int n = 0; n < count; ++n) fields.push_back(GetCommandLineField(text, n));
  return fields;
}

TEST(AppPathsTest, CommandLineFields) {
  EXPECT_THAT(Fields(L"A;B;C", 4), ElementsAre(L"A", L"B", L"C", L""));
  EXPECT_EQ(GetCommandLineField(L"A;B", -1), L"");
  EXPECT_EQ(GetCommandLineField(L"A;B", -1000), L"");
  EXPECT_THAT(Fields(L"A;;C", 3), ElementsAre(L"A", L"", L"C"));
  EXPECT_THAT(Fields(L"A;", 3), ElementsAre(L"A", L"", L""));
  EXPECT_THAT(Fields(L"", 3), ElementsAre(L"", L"", L""));
  EXPECT_THAT(Fields(L";", 2), ElementsAre(L"", L""));
  // Blanks and quotes are part of a field.
  EXPECT_THAT(Fields(L"A; B ;\"C\"", 3), ElementsAre(L"A", L" B ", L"\"C\""));
  EXPECT_THAT(Fields(L"USB Audio Line In;Tuner;Input1;English;;44100", 6),
              ElementsAre(L"USB Audio Line In", L"Tuner", L"Input1", L"English", L"", L"44100"));
  EXPECT_THAT(Fields(L"Mic;F", 6), ElementsAre(L"Mic", L"F", L"", L"", L"", L""));
  // A seventh field does not leak into the sixth.
  EXPECT_THAT(Fields(L"Mic;F;P;English;;48000;extra;more", 7),
              ElementsAre(L"Mic", L"F", L"P", L"English", L"", L"48000", L"extra"));
  const CommandLineFields read = ReadCommandLineFields(L"Mic;F;P;English;pic.png;48000;extra");
  EXPECT_THAT((std::vector<std::wstring>{read.deviceName, read.folder, read.valueNamePrefix,
                                         read.language, read.picturePath, read.nominalRate}),
              ElementsAre(L"Mic", L"F", L"P", L"English", L"pic.png", L"48000"));
}

TEST(AppPathsTest, ArgumentsAreJoinedWithSingleBlanks) {
  std::string program = "veltrane";
  std::string first = "USB Audio";
  std::string second = "Line In;Tuner;Input1;Fran\xC3\xA7" "ais;;44100";
  char* argv[] = {program.data(), first.data(), second.data(), nullptr};
  EXPECT_EQ(JoinArguments(3, argv), L"USB Audio Line In;Tuner;Input1;Fran\u00E7ais;;44100");
  EXPECT_EQ(JoinArguments(1, argv), L"");
}

TEST(AppPathsTest, ExecutablePathNamesThisProgram) {
  EXPECT_EQ(std::filesystem::path(ToUtf8(ExecutablePath())).filename(), "SupportTests");
}

TEST(MessageBoxTest, UnattendedLineEscapesLineBreaks) {
  EXPECT_EQ(FormatUnattendedMessage(L"The calibration is canceled.\nPlease try again.", L"veltrane"),
            L"[veltrane] The calibration is canceled.\\nPlease try again.");
  EXPECT_EQ(FormatUnattendedMessage(L"Set Priority Class failed\r\n", L"Error"),
            L"[Error] Set Priority Class failed\\r\\n");
  EXPECT_EQ(FormatUnattendedMessage(L"", L""), L"[] ");
}

TEST(MessageBoxTest, HandlerSeamAndStandardErrorFallback) {
  struct Shown {
    std::wstring text;
    std::wstring caption;
    MessageIcon icon;
  };
  std::vector<Shown> shown;
  SetApplicationName(L"veltrane");
  SetMessageBoxHandler([&](const std::wstring& text, const std::wstring& caption,
                           MessageIcon icon) { shown.push_back({text, caption, icon}); });
  ShowAppMessageBox(L"The calibration succeeded", MessageIcon::Information);
  ShowMessageBox(L"Registry", L"Error", MessageIcon::Exclamation);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, L"The calibration succeeded");
  EXPECT_EQ(shown[0].caption, L"veltrane");
  EXPECT_EQ(shown[0].icon, MessageIcon::Information);
  EXPECT_EQ(shown[1].caption, L"Error");
  EXPECT_EQ(shown[1].icon, MessageIcon::Exclamation);

  SetMessageBoxHandler({});
  ::testing::internal::CaptureStderr();
  ShowAppMessageBox(L"Line one\nLine \u00E9", MessageIcon::Information);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[veltrane] Line one\\nLine \xC3\xA9\n");
  EXPECT_EQ(shown.size(), 2u);
}

TEST(TraceTest, ListenerReceivesEveryPart) {
  std::vector<TraceLine> lines;
  SetTraceListener([&](const TraceLine& line) { lines.push_back(line); });
  Trace(L"TR_GENERAL", L"Opening language file: /x/Text - Deutsch.txt", L"LanguageSupport", 17);
  Trace(L"TR_CALIBRATION", L"", L"VeltraneDlg", 3);
  SetTraceListener({});
  Trace(L"TR_GENERAL", L"not heard", L"Nowhere", 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].category, L"TR_GENERAL");
  EXPECT_EQ(lines[0].message, L"Opening language file: /x/Text - Deutsch.txt");
  EXPECT_EQ(lines[0].sourceFile, L"LanguageSupport");
  EXPECT_EQ(lines[0].line, 17);
  EXPECT_EQ(lines[1].message, L"");
  EXPECT_EQ(lines[1].line, 3);
}

TEST(TraceTest, FileSinkTakesWholeLinesFromTwoThreads) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path.empty());
  const std::string tracePath = directory.path + "/trace.log";
  const std::string stderrPath = directory.path + "/stderr.log";
  ASSERT_EQ(RunTraceWriterProcess(tracePath, stderrPath), 0);

  const std::vector<std::string> lines = ReadLines(tracePath);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTraceWriterThreads * kTraceLinesPerThread));
  std::set<std::string> distinct;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("TR_CALIBRATION Writer:42 thread ", 0), 0u) << line;
    ASSERT_TRUE(line.size() > 3 && line.compare(line.size() - 3, 3, " \xC3\xA9") == 0) << line;
    distinct.insert(line);
  }
  EXPECT_EQ(distinct.size(), lines.size());
  EXPECT_EQ(ReadLines(stderrPath).size(), 0u);
}

TEST(TraceTest, StandardErrorAndUnwritableTargets) {
  TemporaryDirectory directory;
  ASSERT_FALSE(directory.path.empty());
  const std::string stderrPath = directory.path + "/stderr.log";
  ASSERT_EQ(RunTraceWriterProcess("-", stderrPath), 0);
  EXPECT_EQ(ReadLines(stderrPath).size(),
            static_cast<std::size_t>(kTraceWriterThreads * kTraceLinesPerThread));
  // A file that cannot be created loses the lines, said once on standard error.
  ASSERT_EQ(RunTraceWriterProcess(directory.path + "/missing/trace.log", stderrPath), 0);
  const auto said = ReadLines(stderrPath);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_THAT(said[0], ::testing::HasSubstr("VELTRANE_TRACE: cannot open"));
}

}  // namespace
}  // namespace veltrane

int main(int argc, char** argv) {
  if (std::getenv(veltrane::kTraceWriterSwitch) != nullptr) return veltrane::RunTraceWriter();
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
