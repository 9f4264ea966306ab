// veltrane-cli: the command-line front end. Lists the recording devices, measures a device's
// real rate against this computer's clock from every step of its position, and shows what was
// stored. Same engine and services as the dialog, no wxWidgets.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AppPaths.h"
#include "Arguments.h"
#include "Environment.h"
#include "Evaluation.h"
#include "Messages.h"
#include "RegistrySettings.h"
#include "Report.h"
#include "Services.h"
#include "Text.h"

namespace veltrane {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitNoResult = 1;      // measured, but the result cannot be trusted
constexpr int kExitBadArguments = 2;  // also an unknown device
constexpr int kExitDeviceFailed = 3;
constexpr int kExitStore = 4;          // the value could not be stored, or the store not read
constexpr int kExitInterrupted = 130;  // as a shell reports a process ended by Ctrl-C

const wchar_t kMakerKey[] = L"SOFTWARE\\Ombrel's Projects";
// On a terminal the progress line is redrawn this often; elsewhere a line this often.
constexpr double kTerminalProgressSeconds = 1.0;
constexpr double kPlainProgressSeconds = 10.0;
constexpr double kStepSeconds = 0.02;  // the position's step asked of the device

// The stop flag of the running measurement, for the signal handler; lock-free, so setting it
// there is safe.
std::atomic<std::atomic<bool>*> stopFlag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void RequestStop(int) {
  if (std::atomic<bool>* flag = stopFlag.load()) flag->store(true);
}

void Print(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

int Fail(int status, const std::wstring& message) {
  Print(stderr, "veltrane-cli: " + ToUtf8(message) + "\n");
  return status;
}

std::vector<std::wstring> DeviceNames(Audio& audio) {
  std::vector<std::wstring> names;
  const std::uint32_t count = audio.GetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    WaveInCaps caps;
    names.push_back(audio.GetDevCaps(id, caps) == MMSYSERR_NOERROR ? caps.productName
                                                                   : std::wstring());
  }
  return names;
}

std::vector<DeviceListing> ListDevices(Audio& audio) {
  std::vector<DeviceListing> devices;
  for (std::wstring& name : DeviceNames(audio)) {
    const auto id = static_cast<std::uint32_t>(devices.size());
    devices.push_back({std::move(name), audio.GetNativeRates(id)});
  }
  return devices;
}

int List(const CliRequest& request, PlatformServices& services) {
  const auto devices = ListDevices(*services.audio);
  Print(stdout, request.json ? FormatDevicesJson(devices) : FormatDevicesText(devices));
  return kExitDone;
}

int Show(const CliRequest& request) {
  std::wstring key = kMakerKey;
  if (request.showFolder) key += L"\\" + *request.showFolder;
  const auto registry = MakeUserRegistry();
  const auto values = registry->ReadStringsBelow(key);
  if (!values) {
    const std::wstring reason = registry->LastError();
    return Fail(kExitStore, reason.empty() ? L"The settings file " + FromUtf8(UserRegistryPath()) +
                                                 L" cannot be read."
                                           : reason);
  }
  const std::string file = UserRegistryPath();
  Print(stdout, request.json ? FormatStoredJson(file, *values) : FormatStoredText(file, *values));
  return kExitDone;
}

// The ending of a measurement as an exit status and a message; Done is kExitDone.
int StatusOf(const MeasurementResult& result, std::wstring& message) {
  switch (result.end) {
    case MeasurementEnd::Done:
      return kExitDone;
    case MeasurementEnd::Interrupted:
      message = L"Interrupted: nothing was stored.";
      return kExitInterrupted;
    case MeasurementEnd::OpenFailed:
      message = L"The device could not be opened or started.";
      return kExitDeviceFailed;
    case MeasurementEnd::RateRefused:
      // Trying again changes nothing: the rate asked for is wrong for this device.
      message = L"The sample rate is not supported by the device; nothing was measured.";
      return kExitBadArguments;
    case MeasurementEnd::DeviceFailed:
      message = L"The recording broke off: " + result.detail;
      return kExitDeviceFailed;
    case MeasurementEnd::Stalled:
      message = L"The device stopped delivering samples.";
      return kExitDeviceFailed;
    case MeasurementEnd::TooFewSteps:
      message = L"Too few position steps for a result.";
      return kExitNoResult;
    case MeasurementEnd::TooMuchLost:
      message = FormatText(
          L"Samples were lost without an overrun (losses: %zu, %.1f ms in all), too "
          L"often for a result that can be trusted; nothing was stored.",
          result.losses, result.lostMs);
      return kExitNoResult;
  }
  return kExitDeviceFailed;
}

int Calibrate(const CliRequest& request, PlatformServices& services) {
  const std::int32_t deviceId = FindDeviceNamed(*services.audio, request.device);
  if (deviceId < 0) {
    std::wstring message = L"No recording device is named \"" + request.device + L"\". These are:";
    for (const std::wstring& name : DeviceNames(*services.audio)) message += L"\n  " + name;
    return Fail(kExitBadArguments, message);
  }

  // Checked before minutes of measuring are spent, and again when the value is stored.
  std::unique_ptr<CRegistrySettings> settings;
  const std::wstring valueName = CalibrationValueName(request.prefix, request.rate, request.device);
  if (request.storeFolder) {
    settings = std::make_unique<CRegistrySettings>(MakeUserRegistry());
    settings->SetFolder(*request.storeFolder);
    std::wstring reason;
    if (!settings->CheckWritable(valueName, reason)) {
      return Fail(kExitStore, L"The result cannot be stored: " + reason);
    }
  }

  // The fit rests on the earliest look of each stretch of steps, not on their number: steps
  // twice as coarse as the dialog's halve the wake-ups of the sound server's plugin and of
  // the reader, the largest part of the program's processor time.
  services.audio->PreferStepSeconds(kStepSeconds);
  RunState state(services, deviceId, request.rate);
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  MeasurementSettings measurementSettings;
  measurementSettings.seconds = request.seconds;
  measurementSettings.untilPpm = request.untilPpm;
  measurementSettings.progressEverySeconds =
      terminal ? kTerminalProgressSeconds : kPlainProgressSeconds;
  // For the benchmark's study of a device's timing: every step, as "seconds position".
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stepLog(nullptr, &std::fclose);
  if (const std::string path = Environment("VELTRANE_STEP_LOG"); !path.empty()) {
    stepLog.reset(std::fopen(path.c_str(), "w"));
    if (!stepLog) return Fail(kExitBadArguments, L"Cannot write " + FromUtf8(path) + L".");
    measurementSettings.onStep = [file = stepLog.get()](double seconds, std::uint64_t frames) {
      std::fprintf(file, "%.9f %llu\n", seconds, static_cast<unsigned long long>(frames));
    };
  }
  RateMeasurement measurement(state, measurementSettings, [&](const MeasurementProgress& now) {
    Print(stderr, terminal ? "\r" + FormatProgress(now) + "   " : FormatProgress(now) + "\n");
  });
  state.SetTarget(
      [&measurement](const PostedMessage& message) {
        if (message.message == WM_CAPTURE_BUFFER_RETURNED) measurement.BufferReturned();
      },
      [](const std::wstring& text, MessageIcon, std::function<void()> done) {
        std::wstring line = text;
        for (wchar_t& c : line) {
          if (c == L'\n' || c == L'\r') c = L' ';
        }
        Print(stderr, "veltrane-cli: " + ToUtf8(line) + "\n");
        done();
      });

  stopFlag = &state.stopRequested;
  const MeasurementResult result = measurement.Run();
  stopFlag = nullptr;
  state.ClearTarget();
  if (terminal) Print(stderr, "\n");

  std::wstring message;
  if (const int status = StatusOf(result, message); status != kExitDone) {
    return Fail(status, message);
  }

  CalibrationReport report;
  report.device = request.device;
  report.rate = request.rate;
  report.measurement = result;
  report.referenceClock = services.clock->GetReferenceState();
  if (settings) {
    if (!settings->WriteDouble(valueName, result.estimate.ratio)) {
      return Fail(kExitStore, L"The result could not be stored: " + settings->LastError());
    }
    report.stored = StoredResult{
        UserRegistryPath(),
        L"HKEY_CURRENT_USER\\" + std::wstring(kMakerKey) + L"\\" + *request.storeFolder, valueName,
        FormatText(L"%f", result.estimate.ratio)};
  }
  Print(stdout, request.json ? FormatReportJson(report) : FormatReportText(report));
  return kExitDone;
}

int Main(int argc, char** argv) {
  const std::vector<std::wstring> arguments = CommandLineArguments(argc, argv);
  SetModuleDirectory(ExecutablePath());
  CliRequest request;
  std::wstring error;
  if (!ParseCliArguments(arguments, request, error)) {
    return Fail(kExitBadArguments, error + L"\n" + L"(veltrane-cli --help shows the usage)");
  }
  if (request.command == CliCommand::Help) {
    Print(stdout, ToUtf8(CliUsage(request.helpFor.value_or(CliCommand::Help))));
    return kExitDone;
  }
  if (request.command == CliCommand::Show) return Show(request);

  PlatformServices services;
  if (!MakePlatformServices(services, error)) return Fail(kExitBadArguments, error);
  if (request.command == CliCommand::List) return List(request, services);

#ifdef _WIN32
  // Windows has no sigaction; its C library raises SIGINT for Ctrl-C on its own thread.
  std::signal(SIGINT, RequestStop);
#else
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
  return Calibrate(request, services);
}

}  // namespace
}  // namespace veltrane

int main(int argc, char** argv) { return veltrane::Main(argc, argv); }
