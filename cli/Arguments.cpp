#include "Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "Capture.h"
#include "RateMeasurement.h"

namespace veltrane {
namespace {

// A measurement shorter than this has too few steps for an honest band on any device.
constexpr double kShortestSeconds = 5.0;

bool ParseWholeNumber(const std::wstring& text, long long& value) {
  if (text.empty() || text.size() > 20) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(std::iswdigit(text[i]) || (i == 0 && (text[i] == L'-' || text[i] == L'+')))) {
      return false;
    }
  }
  errno = 0;
  wchar_t* end = nullptr;
  value = std::wcstoll(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == L'\0';
}

bool ParseNumber(const std::wstring& text, double& value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  value = std::wcstod(text.c_str(), &end);
  return end != nullptr && *end == L'\0' && std::isfinite(value);
}

bool ReadRate(const std::wstring& text, CliRequest& request, std::wstring& error) {
  long long rate = 0;
  if (!ParseWholeNumber(text, rate)) {
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
  double seconds = 0.0;
  if (!ParseNumber(text, seconds) || seconds < kShortestSeconds ||
      seconds > kLongestMeasurementSeconds) {
    error = L"--seconds takes a number from " +
            std::to_wstring(static_cast<int>(kShortestSeconds)) + L" to " +
            std::to_wstring(static_cast<int>(kLongestMeasurementSeconds)) + L", not \"" + text +
            L"\".";
    return false;
  }
  request.seconds = seconds;
  return true;
}

bool ReadUntilPpm(const std::wstring& text, CliRequest& request, std::wstring& error) {
  double ppm = 0.0;
  if (!ParseNumber(text, ppm) || ppm <= 0.0) {
    error = L"--until-ppm takes a number of ppm greater than 0, not \"" + text + L"\".";
    return false;
  }
  request.untilPpm = ppm;
  return true;
}

bool ReadMaxBandPpm(const std::wstring& text, CliRequest& request, std::wstring& error) {
  double ppm = 0.0;
  if (!ParseNumber(text, ppm) || ppm <= 0.0) {
    error = L"--max-band-ppm takes a number of ppm greater than 0, not \"" + text + L"\".";
    return false;
  }
  request.maxBandPpm = ppm;
  return true;
}

std::optional<CliCommand> CommandNamed(const std::wstring& name) {
  if (name == L"list") return CliCommand::List;
  if (name == L"calibrate") return CliCommand::Calibrate;
  if (name == L"show") return CliCommand::Show;
  return std::nullopt;
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
  const bool calibrate = request.command == CliCommand::Calibrate;
  const bool takesValue =
      calibrate && (name == L"--device" || name == L"--rate" || name == L"--seconds" ||
                    name == L"--until-ppm" || name == L"--max-band-ppm" || name == L"--store" ||
                    name == L"--prefix");
  if (!takesValue) {
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
  if (name == L"--until-ppm") return ReadUntilPpm(*value, request, error);
  if (name == L"--max-band-ppm") return ReadMaxBandPpm(*value, request, error);
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
  bool prefixGiven = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (argument == L"--help" || argument == L"-h") {
      request.helpFor = *command;
      request.command = CliCommand::Help;
      return true;
    }
    if (argument.rfind(L"--", 0) == 0) {
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
      return L"Usage: veltrane-cli show [FOLDER] [--json]\n"
             L"Shows the calibration values stored so far, in FOLDER or in every folder.\n";
    case CliCommand::Help:
      break;
  }
  return L"Usage: veltrane-cli COMMAND [OPTIONS]    (COMMAND --help for its options)\n"
         L"  list        the recording devices\n"
         L"  calibrate   measure a device's real rate against this computer's clock\n"
         L"  show        the calibration values stored so far\n"
         L"Exit status: 0 done; 1 no trustworthy result; 2 bad arguments or unknown device;\n"
         L"3 the device failed (could not open, stalled, overran, vanished); 4 the value could\n"
         L"not be stored or read; 130 interrupted.\n"
         L"The switches VELTRANE_AUDIO, VELTRANE_TIME_SCALE, VELTRANE_REGISTRY_FILE and\n"
         L"VELTRANE_TRACE work as for the dialog.\n";
}

}  // namespace veltrane
