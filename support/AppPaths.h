#pragma once
// The program's directory, set once at start-up on the GUI thread and read afterwards, and
// what each system tells its own way: the program's path and arguments.

#include <string>
#include <vector>

namespace veltrane {

// The platform's path separator: what ends the module directory, and what makes a name a
// path of its own ('/', on Windows '\\'; each system's own file defines it).
extern const wchar_t kPathSeparator;

// Directory of the given file path with its trailing separator ('/', on Windows '\\'); the
// separator alone when the path holds none.
void SetModuleDirectory(const std::wstring& path);
std::wstring GetModuleDirectory();

// Where an installed program's data lie, with its trailing separator: the data folder as the
// install puts it relative to the programs' folder (<module directory>../share/veltrane/ by
// default), worked out from the module directory, so a prefix moved elsewhere still works.
std::wstring GetInstalledDataDirectory();

// Joins argv[1..argc-1] with single blanks, decoding each argument from UTF-8.
std::wstring JoinArguments(int argc, char** argv);
// Joins the arguments with single blanks (for those of CommandLineArguments).
std::wstring JoinArguments(const std::vector<std::wstring>& arguments);

// argv[1..argc-1] as the user gave them: decoded from UTF-8, or on Windows taken from the
// wide command line, since argv there is in the ANSI code page.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file or
// display connection the program opens later becomes its standard input, output or error
// and receives what was meant for them. Output descriptors get it read-only and input
// write-only (as gnulib's stdopen does), so that writing to a stream the caller closed still
// fails, and is reported, rather than quietly succeed. Call first thing in main, before any
// thread starts. Nothing on Windows, whose C library keeps those three slots reserved.
void OpenClosedStandardDescriptors();

// Path of the running executable (/proc/self/exe decoded from UTF-8; GetModuleFileNameW on
// Windows).
std::wstring ExecutablePath();

}  // namespace veltrane
