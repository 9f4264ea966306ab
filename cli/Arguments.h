#pragma once
// The command line of veltrane-cli, read into what each subcommand needs. Pure: nothing is
// looked up or opened here, so every rule can be tested without a device.

#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// The widest 95 % band (half-width, ppm) a result may have and still be stored: a tenth of a
// cent is 57.8 ppm, about the finest difference a tuner shows, so a ratio less sure than that
// would correct a tuner by a guess.
constexpr double kDefaultMaxBandPpm = 58.0;

enum class CliCommand { Help, List, Calibrate, Show };

struct CliRequest {
  CliCommand command = CliCommand::Help;
  std::optional<CliCommand> helpFor;  // "<command> --help": the help of that command
  bool json = false;
  // calibrate
  std::wstring device;
  std::int32_t rate = 0;
  double seconds = 60.0;
  std::optional<double> untilPpm;
  double maxBandPpm = kDefaultMaxBandPpm;  // a wider band is no trustworthy result
  std::optional<std::wstring> storeFolder;
  std::wstring prefix;
  // show
  std::optional<std::wstring> showFolder;
};

// Reads the arguments after the program's name (UTF-8 decoded already). False with a reason
// for the user when they do not form a request; request.json then still says whether --json
// was given, so that the refusal can be told as JSON. "--" ends the options; before it, an
// argument that begins with "-" is an option.
bool ParseCliArguments(const std::vector<std::wstring>& arguments, CliRequest& request,
                       std::wstring& error);

// The usage text of a command, or of the program with Help.
std::wstring CliUsage(CliCommand command);

}  // namespace veltrane
