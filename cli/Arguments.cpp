#include "cli/Arguments.h"

#include <cstdint>

#include "engine/Capture.h"
#include "engine/fit/RateMeasurement.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// A measurement shorter than this has too few steps for an honest band on any device.
constexpr double kShortestSeconds = 5.0;

bool ReadRate(const std::wstring& text, CliRequest& request, std::wstring& error) {
  const auto whole = ReadWholeDecimal(text);
  const long long rate = whole.value_or(0);
  if (!whole) {
    error = L"--rate takes a whole number of samples per second, not \"" + text + L"\".";
    return false;
  }
  if (rate <= 0) {
    error = L"--rate must be greater than 0, not " + text + L".";
    return false;
  }
  if (!RateFitsBuffer(rate)) {
    error = L"--rate " + text + L" is too large: at most " +
            std::to_wstring(UINT32_MAX / kBufferSeconds) + L" samples per second.";
    return false;
  }
  request.rate = static_cast<std::int32_t>(rate);
  return true;
}

bool ReadSeconds(const std::wstring& text, CliRequest& request, std::wstring& error) {
  const double seconds = ReadDecimal(text).value_or(0.0);
  if (seconds < kShortestSeconds || seconds > kLongestMeasurementSeconds) {
    error = L"--seconds takes a number from " +
            std::to_wstring(static_cast<int>(kShortestSeconds)) + L" to " +
            std::to_wstring(static_cast<int>(kLongestMeasurementSeconds)) + L", not \"" + text +
            L"\".";
    return false;
  }
  request.seconds = seconds;
  return true;
}

// --until-ppm and --max-band-ppm: a number of ppm greater than 0.
bool ReadPositivePpm(const std::wstring& option, const std::wstring& text, double& ppm,
                     std::wstring& error) {
  ppm = ReadDecimal(text).value_or(0.0);
  if (!(ppm > 0.0)) {
    error = option + L" takes a number of ppm greater than 0, not \"" + text + L"\".";
    return false;
  }
  return true;
}

std::optional<CliCommand> CommandNamed(const std::wstring& name) {
  if (name == L"list") return CliCommand::List;
  if (name == L"calibrate") return CliCommand::Calibrate;
  if (name == L"show") return CliCommand::Show;
  return std::nullopt;
}

bool TakesValue(CliCommand command, const std::wstring& name) {
  return command == CliCommand::Calibrate &&
         (name == L"--device" || name == L"--rate" || name == L"--seconds" ||
          name == L"--until-ppm" || name == L"--max-band-ppm" || name == L"--store" ||
          name == L"--prefix");
}

// Whether --json is among the options, wherever it stands, so that even a refusal of an
// option before it can be told as JSON.
bool AsksForJson(const std::vector<std::wstring>& arguments, CliCommand command) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == L"--") return false;
    if (arguments[i] == L"--json") return true;
    if (TakesValue(command, arguments[i])) ++i;
  }
  return false;
}

// Reads one option of command at arguments[i], with its value ("--name value" or
// "--name=value"); moves i past what it used.
bool ReadOption(const std::vector<std::wstring>& arguments, std::size_t& i, CliRequest& request,
                std::wstring& error) {
  std::wstring name = arguments[i];
  std::optional<std::wstring> value;
  if (const auto equals = name.find(L'='); equals != std::wstring::npos) {
    value = name.substr(equals + 1);
    name.erase(equals);
  }
  if (name == L"--json" && !value) {
    request.json = true;
    return true;
  }
  if (!TakesValue(request.command, name)) {
    error = L"Unknown option \"" + arguments[i] + L"\".";
    return false;
  }
  if (!value) {
    if (i + 1 >= arguments.size()) {
      error = name + L" needs a value.";
      return false;
    }
    value = arguments[++i];
  }
  if (name == L"--device") request.device = *value;
  if (name == L"--store") request.storeFolder = *value;
  if (name == L"--prefix") request.prefix = *value;
  if (name == L"--rate") return ReadRate(*value, request, error);
  if (name == L"--seconds") return ReadSeconds(*value, request, error);
  if (name == L"--until-ppm") {
    double ppm = 0.0;
    if (!ReadPositivePpm(name, *value, ppm, error)) return false;
    request.untilPpm = ppm;
  }
  if (name == L"--max-band-ppm") return ReadPositivePpm(name, *value, request.maxBandPpm, error);
  return true;
}

}  // namespace

bool ParseCliArguments(const std::vector<std::wstring>& arguments, CliRequest& request,
                       std::wstring& error) {
  request = CliRequest();
  if (arguments.empty() || arguments[0] == L"--help" || arguments[0] == L"-h" ||
      arguments[0] == L"help") {
    return true;
  }
  const auto command = CommandNamed(arguments[0]);
  if (!command) {
    error = L"Unknown command \"" + arguments[0] + L"\": list, calibrate or show.";
    return false;
  }
  request.command = *command;
  request.json = AsksForJson(arguments, *command);
  bool prefixGiven = false;
  bool optionsEnded = false;  // after "--" every argument is an operand, as POSIX has it
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (!optionsEnded && argument == L"--") {
      optionsEnded = true;
    } else if (!optionsEnded && (argument == L"--help" || argument == L"-h")) {
      // Help asks for nothing else, whatever options came before it.
      request = CliRequest();
      request.helpFor = *command;
      return true;
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == L'-') {
      prefixGiven = prefixGiven || argument.rfind(L"--prefix", 0) == 0;
      if (!ReadOption(arguments, i, request, error)) return false;
    } else if (*command == CliCommand::Show && !request.showFolder) {
      request.showFolder = argument;
    } else {
      error = L"Unexpected argument \"" + argument + L"\".";
      return false;
    }
  }
  if (*command != CliCommand::Calibrate) return true;
  if (request.device.empty()) {
    error = L"calibrate needs --device NAME (veltrane-cli list shows the names).";
    return false;
  }
  if (request.rate == 0) {
    error = L"calibrate needs --rate N, the nominal sample rate.";
    return false;
  }
  if (prefixGiven && !request.storeFolder) {
    error = L"--prefix goes with --store FOLDER.";
    return false;
  }
  return true;
}

std::wstring CliUsage(CliCommand command) {
  switch (command) {
    case CliCommand::List:
      return L"Usage: veltrane-cli list [--json]\n"
             L"Lists the recording devices by the names calibrate --device takes.\n";
    case CliCommand::Calibrate:
      return L"Usage: veltrane-cli calibrate --device NAME --rate N [--seconds S] [--until-ppm P]\n"
             L"                             [--max-band-ppm P] [--store FOLDER [--prefix P]]\n"
             L"                             [--json]\n"
             L"Records from the device and estimates the ratio of its real to its nominal rate\n"
             L"from every step of its position against this computer's clock.\n"
             L"  --seconds S    measure at most S seconds (default 60, from 5 to 840)\n"
             L"  --until-ppm P  stop as soon as the 95 % band is within +-P ppm (after 10 s)\n"
             L"  --max-band-ppm P  a result whose 95 % band reaches further than +-P ppm\n"
             L"                 from it is not trusted: printed, not stored, status 1\n"
             L"                 (default 58, a tenth of a cent)\n"
             L"  --store FOLDER store the ratio as the dialog does, in\n"
             L"                 HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\FOLDER, named\n"
             L"                 <prefix>Calib_<rate>_Of <device>\n"
             L"  --json         the result as one JSON object\n"
             L"Progress goes to standard error, the result to standard output. Ctrl-C stops\n"
             L"cleanly and stores nothing.\n";
    case CliCommand::Show:
      return L"Usage: veltrane-cli show [--json] [--] [FOLDER]\n"
             L"Shows the calibration values stored so far, in FOLDER or in every folder\n"
             L"(after --, a FOLDER that begins with - is taken as it is).\n";
    case CliCommand::Help:
      break;
  }
  return L"Usage: veltrane-cli COMMAND [OPTIONS]    (COMMAND --help for its options)\n"
         L"  list        the recording devices\n"
         L"  calibrate   measure a device's real rate against this computer's clock\n"
         L"  show        the calibration values stored so far\n"
         L"Exit status: 0 done; 1 no trustworthy result; 2 bad arguments or unknown device;\n"
         L"3 the device failed (could not open, stalled, overran, vanished); 4 the value could\n"
         L"not be stored or read; 5 the output could not be written; 130 interrupted (Ctrl-C);\n"
         L"143 terminated (SIGTERM). Numbers are decimal: digits, a point, an exponent.\n"
         L"The switches VELTRANE_AUDIO, VELTRANE_TIME_SCALE, VELTRANE_REGISTRY_FILE and\n"
         L"VELTRANE_TRACE work as for the dialog.\n";
}

}  // namespace veltrane
