// veltrane-cli: the command-line front end. Lists the recording devices, measures a device's
// real rate against this computer's clock from every step of its position, and shows what was
// stored. Same engine and services as the dialog, no wxWidgets.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "support/AppPaths.h"
#include "cli/Arguments.h"
#include "base/Environment.h"
#include "support/RegistrySettings.h"
#include "support/StoredNames.h"
#include "cli/Report.h"
#include "cli/System.h"
#include "startup/Startup.h"
#include "base/Text.h"

namespace veltrane {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitNoResult = 1;      // measured, but the result cannot be trusted
constexpr int kExitBadArguments = 2;  // also an unknown device
constexpr int kExitDeviceFailed = 3;
constexpr int kExitStore = 4;   // the value could not be stored, or the store not read
constexpr int kExitOutput = 5;  // standard output did not take the result
// As a shell reports a process ended by the signal: 130 for Ctrl-C, 143 for SIGTERM.
constexpr int kExitSignalBase = 128;

// On a terminal the progress line is redrawn this often; elsewhere a line this often.
constexpr double kTerminalProgressSeconds = 1.0;
constexpr double kPlainProgressSeconds = 10.0;
constexpr double kStepSeconds = 0.02;  // the position's step asked of the device

// The stop flag of the running measurement, for the signal handler; lock-free, so setting it
// there is safe.
std::atomic<std::atomic<bool>*> stopFlag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// The signal that asked for the stop, for the exit status.
std::atomic<int> stopSignal{SIGINT};
static_assert(std::atomic<int>::is_always_lock_free);

// A stopped measurement closes the device within a look or two. One that is still busy after
// this long hangs in the back end (a sound server that never answers an open), and the
// program ends without it.
constexpr auto kStopWait = std::chrono::milliseconds(300);

extern "C" void RequestStop(int signal) {
  stopSignal.store(signal);
  if (std::atomic<bool>* flag = stopFlag.load()) flag->store(true);
}

// With --json a failure is also told on standard output, as one object.
bool jsonFailures = false;

// Writes the whole text and flushes it: 0, or the error number of what failed.
int Print(std::FILE* out, const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fflush(out) == 0 && written) return 0;
  return errno != 0 ? errno : EIO;
}

int InterruptedStatus() { return kExitSignalBase + stopSignal.load(); }

int Fail(int status, const std::wstring& message) {
  // Names and folders in the message come from the user or a file: they must not reach a
  // terminal as control characters.
  Print(stderr, "veltrane-cli: " + ShowableText(message, true) + "\n");
  if (jsonFailures && status != kExitOutput) Print(stdout, FormatErrorJson(message, status));
  return status;
}

std::wstring OutputFailed(int error) {
  return L"The output could not be written to standard output: " + FromUtf8(std::strerror(error)) +
         L".";
}

// Prints the result of a command, and says so when standard output does not take it.
int PrintResult(const std::string& text) {
  const int error = Print(stdout, text);
  return error == 0 ? kExitDone : Fail(kExitOutput, OutputFailed(error));
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
  return PrintResult(request.json ? FormatDevicesJson(devices) : FormatDevicesText(devices));
}

int Show(const CliRequest& request) {
  // The key that --store with the same folder writes.
  std::wstring key = kMakerKey;
  if (request.showFolder) {
    CRegistrySettings where(nullptr);
    where.SetFolder(*request.showFolder);
    key = where.KeyPath();
  }
  const auto registry = MakeUserRegistry();
  const auto values = registry->ReadStringsBelow(key);
  if (!values) {
    const std::wstring reason = registry->LastError();
    return Fail(kExitStore, reason.empty() ? L"The settings file " + FromUtf8(UserRegistryPath()) +
                                                 L" cannot be read."
                                           : reason);
  }
  const std::string file = UserRegistryPath();
  return PrintResult(request.json ? FormatStoredJson(file, *values)
                                  : FormatStoredText(file, *values));
}

// Runs the measurement on a thread of its own, so that a stop request ends the program even
// while the back end hangs in a call that nothing interrupts (a sound server's open). Then
// the process leaves at once without destroying anything: the hanging thread still uses the
// run state, the services and the static objects, and nothing has been stored.
MeasurementResult MeasureOrLeave(RateMeasurement& measurement, RunState& state) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  MeasurementResult result;
  std::thread measuring;
  try {
    // The signals reach this thread, which only waits, and no call of the back end sees them.
    measuring = StartThreadWithoutStopSignals([&] {
      MeasurementResult measured = measurement.Run();
      std::lock_guard lock(mutex);
      result = std::move(measured);
      done = true;
      ended.notify_all();
    });
  } catch (const std::system_error&) {
    done = true;  // no thread to spare: measured here, as a hang then cannot be left
  }
  if (!measuring.joinable()) return measurement.Run();
  std::unique_lock lock(mutex);
  // A signal handler cannot notify: the flag is looked at every few milliseconds.
  while (!ended.wait_for(lock, std::chrono::milliseconds(5), [&] { return done; })) {
    if (!state.stopRequested.load()) continue;
    if (ended.wait_for(lock, kStopWait, [&] { return done; })) break;
    Print(stderr,
          "\nveltrane-cli: Interrupted while the device did not answer: nothing was "
          "stored.\n");
    std::fflush(nullptr);
    std::_Exit(InterruptedStatus());
  }
  lock.unlock();
  measuring.join();
  return result;
}

struct Ending {
  int status = kExitDone;
  std::wstring message;
};

// The ending of a measurement as an exit status and a message; Done is kExitDone.
Ending EndingOf(const MeasurementResult& result) {
  switch (result.end) {
    case MeasurementEnd::Done:
      return {kExitDone, {}};
    case MeasurementEnd::Interrupted:
      return {InterruptedStatus(), L"Interrupted: nothing was stored."};
    case MeasurementEnd::OpenFailed:
      return {kExitDeviceFailed, L"The device could not be opened or started."};
    case MeasurementEnd::RateRefused:
      // Trying again changes nothing: the rate asked for is wrong for this device.
      return {kExitBadArguments,
              L"The sample rate is not supported by the device; nothing was measured."};
    case MeasurementEnd::DeviceFailed:
      return {kExitDeviceFailed, L"The recording broke off: " + result.detail};
    case MeasurementEnd::Stalled:
      return {kExitDeviceFailed, L"The device stopped delivering samples."};
    case MeasurementEnd::TooFewSteps:
      return {kExitNoResult, L"Too few position steps for a result."};
    case MeasurementEnd::TooMuchLost:
      return {kExitNoResult,
              FormatText(L"Samples were lost without an overrun (losses: %zu, %.1f ms in all), too "
                         L"often for a result that can be trusted; nothing was stored.",
                         result.losses, result.lostMs)};
  }
  return {kExitDeviceFailed, {}};
}

std::wstring UnknownDeviceMessage(const std::wstring& device, Audio& audio) {
  std::wstring message = L"No recording device is named \"" + device + L"\". These are:";
  for (const std::wstring& name : DeviceNames(audio)) {
    message += L"\n  " + FromUtf8(ShowableText(name));
  }
  return message;
}

// For the benchmark's study of a device's timing: every step, as "seconds position", to the
// file that VELTRANE_STEP_LOG names.
using StepLog = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

MeasurementSettings SettingsFor(const CliRequest& request, bool terminal, std::FILE* stepLog) {
  MeasurementSettings settings;
  settings.seconds = request.seconds;
  settings.untilPpm = request.untilPpm;
  settings.progressEverySeconds = terminal ? kTerminalProgressSeconds : kPlainProgressSeconds;
  if (stepLog) {
    settings.onStep = [stepLog](double seconds, std::uint64_t frames) {
      std::fprintf(stepLog, "%.9f %llu\n", seconds, static_cast<unsigned long long>(frames));
    };
  }
  return settings;
}

// Progress to standard error, one line redrawn on a terminal; what the device's side says, as
// a line of its own.
void ShowEvent(const MeasurementEvent& event, bool terminal) {
  if (const auto* now = std::get_if<MeasurementProgress>(&event)) {
    Print(stderr, terminal ? "\r" + FormatProgress(*now) + "   " : FormatProgress(*now) + "\n");
    return;
  }
  std::wstring line = std::get<DeviceMessage>(event).text;
  for (wchar_t& c : line) {
    if (c == L'\n' || c == L'\r') c = L' ';
  }
  Print(stderr, "veltrane-cli: " + ToUtf8(line) + "\n");
}

MeasurementResult MeasureDevice(RunState& state, const MeasurementSettings& settings,
                                bool terminal) {
  RateMeasurement measurement(
      state, settings, [terminal](const MeasurementEvent& event) { ShowEvent(event, terminal); });
  stopFlag = &state.stopRequested;
  MeasurementResult result = MeasureOrLeave(measurement, state);
  stopFlag = nullptr;
  if (terminal) Print(stderr, "\n");
  return result;
}

// Now, in UTC, as ISO 8601: "YYYY-MM-DDThh:mm:ssZ".
std::wstring UtcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  return FormatText(L"%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    static_cast<long long>(time.hours().count()),
                    static_cast<long long>(time.minutes().count()),
                    static_cast<long long>(time.seconds().count()));
}

// Stores the details beside the value just stored. ";of" is emptied first and names the
// value's text again only once every detail is in place, so a reader never takes an older
// run's details, or a half-written set, for this value's. Empty when all were stored.
std::wstring StoreDetails(CRegistrySettings& settings, const StoredResult& stored) {
  const std::wstring of = CalibrationDetailName(stored.name, CalibrationDetail::Of);
  if (!settings.WriteString(of, L"")) return settings.LastError();
  for (const StoredDetail& detail : stored.details) {
    if (!settings.WriteString(CalibrationDetailName(stored.name, detail.detail), detail.text)) {
      return settings.LastError();
    }
  }
  return settings.WriteString(of, stored.value) ? std::wstring() : settings.LastError();
}

// A band too wide to help a tuner is shown, so the minute is not lost, but never stored, and
// the status says no trustworthy result whether or not --store was asked for. The value is
// stored first, the details after it; details that fail leave the value stored.
void StoreResult(const CliRequest& request, CRegistrySettings* settings,
                 const std::wstring& valueName, CalibrationReport& report) {
  const RateEstimate& estimate = report.measurement.estimate;
  const double bandPpm =
      std::max(estimate.ppm - estimate.bandLowPpm, estimate.bandHighPpm - estimate.ppm);
  if (!(bandPpm <= request.maxBandPpm)) {
    report.storeError = FormatText(
        L"The 95 %% band reaches %.1f ppm from the result, more than the "
        L"%g ppm a tuner can use (--max-band-ppm); nothing was stored.",
        bandPpm, request.maxBandPpm);
    report.storeErrorStatus = kExitNoResult;
  } else if (settings) {
    if (settings->WriteDouble(valueName, estimate.ratio)) {
      report.stored = StoredResult{UserRegistryPath(), L"HKEY_CURRENT_USER\\" + settings->KeyPath(),
                                   valueName, FormatText(L"%f", estimate.ratio), {}, std::nullopt};
      report.stored->details = DetailsToStore(report, UtcNow());
      if (const std::wstring error = StoreDetails(*settings, *report.stored); !error.empty()) {
        report.stored->detailsError = L"The details could not be stored: " + error;
      }
    } else {
      report.storeError = L"The result could not be stored: " + settings->LastError();
      report.storeErrorStatus = kExitStore;
    }
  }
}

// The measurement is printed before the store is tried, so that a failed store does not lose
// the minute; JSON is one object, printed once the store's outcome is known.
int PrintReport(const CliRequest& request, CalibrationReport report, CRegistrySettings* settings,
                const std::wstring& valueName) {
  int outputError = request.json ? 0 : Print(stdout, FormatMeasurementText(report));
  StoreResult(request, settings, valueName, report);
  const std::string rest = request.json ? FormatReportJson(report) : FormatStoredLineText(report);
  if (const int error = Print(stdout, rest); outputError == 0) outputError = error;
  if (report.storeError) {
    // The JSON object carries it already.
    jsonFailures = false;
    if (outputError != 0) Fail(kExitOutput, OutputFailed(outputError));
    return Fail(report.storeErrorStatus, *report.storeError);
  }
  if (report.stored && report.stored->detailsError) {
    // The value is stored, as asked: the status says so; the warning says what is missing.
    Print(stderr, "veltrane-cli: " + ToUtf8(*report.stored->detailsError) +
                      " The value was stored without them.\n");
  }
  if (outputError == 0) return kExitDone;
  std::wstring outputMessage = OutputFailed(outputError);
  if (report.stored) {
    outputMessage += L" The value was stored all the same: \"" + report.stored->name + L"\"=\"" +
                     report.stored->value + L"\" in [" + report.stored->key + L"].";
  }
  return Fail(kExitOutput, outputMessage);
}

// The details beside a value are named "<value name>;<detail>": a name with ';' in its prefix or
// device could be another device's detail, and the dialog, whose fields ';' separates, could
// never read it back. Such a name is refused before anything is measured.
std::optional<std::wstring> WhyNotStorableName(const CliRequest& request) {
  if (!request.storeFolder) return std::nullopt;
  const wchar_t* part = HoldsDetailSeparator(request.device)   ? L"device name"
                        : HoldsDetailSeparator(request.prefix) ? L"prefix"
                                                               : nullptr;
  if (!part) return std::nullopt;
  return FormatText(L"The result cannot be stored: the %ls holds ';', which the dialog cannot "
                    L"read back and which separates a value's name from its details' names. "
                    L"Measure without --store, or under a name without ';'.",
                    part);
}

int Calibrate(const CliRequest& request, PlatformServices& services) {
  if (const auto reason = WhyNotStorableName(request)) return Fail(kExitBadArguments, *reason);
  const std::int32_t deviceId = FindDeviceNamed(*services.audio, request.device);
  if (deviceId < 0) {
    return Fail(kExitBadArguments, UnknownDeviceMessage(request.device, *services.audio));
  }

  // Checked before minutes of measuring are spent, and again when the value is stored.
  std::unique_ptr<CRegistrySettings> settings;
  const std::wstring valueName = CalibrationValueName(request.prefix, request.rate, request.device);
  if (request.storeFolder) {
    settings = std::make_unique<CRegistrySettings>(MakeUserRegistry());
    settings->SetFolder(*request.storeFolder);
    std::wstring reason;
    if (!settings->CheckWritable(valueName, reason) ||
        !settings->CheckWritable(LongestCalibrationDetailName(valueName), reason)) {
      return Fail(kExitStore, L"The result cannot be stored: " + reason);
    }
  }

  // The fit rests on the earliest look of each stretch of steps, not on their number: steps
  // twice as coarse as the dialog's halve the wake-ups of the sound server's plugin and of
  // the reader, the largest part of the program's processor time.
  services.audio->PreferStepSeconds(kStepSeconds);
  RunState state(services, deviceId, request.rate);
  StepLog stepLog(nullptr, &std::fclose);
  if (const std::string path = Environment("VELTRANE_STEP_LOG"); !path.empty()) {
    stepLog.reset(std::fopen(path.c_str(), "w"));
    if (!stepLog) return Fail(kExitBadArguments, L"Cannot write " + FromUtf8(path) + L".");
  }
  const bool terminal = StandardErrorIsTerminal();
  const MeasurementResult result =
      MeasureDevice(state, SettingsFor(request, terminal, stepLog.get()), terminal);
  if (const Ending ending = EndingOf(result); ending.status != kExitDone) {
    return Fail(ending.status, ending.message);
  }

  CalibrationReport report;
  report.device = request.device;
  report.rate = request.rate;
  report.measurement = result;
  report.referenceClock = services.clock->GetReferenceState();
  report.trueTime = AgainstTrueTime(result.estimate, report.referenceClock, result.clockWindows);
  // From here on, the band that is judged and the ratio that is stored are against true time
  // where it is known.
  report.measurement.estimate = report.trueTime.estimate;
  return PrintReport(request, std::move(report), settings.get(), valueName);
}

int Run(int argc, char** argv) {
  const std::vector<std::wstring> arguments = CommandLineArguments(argc, argv);
  SetModuleDirectory(ExecutablePath());
  CliRequest request;
  std::wstring error;
  const bool parsed = ParseCliArguments(arguments, request, error);
  jsonFailures = request.json;
  if (!parsed) {
    return Fail(kExitBadArguments, error + L"\n" + L"(veltrane-cli --help shows the usage)");
  }
  if (request.command == CliCommand::Help) {
    return PrintResult(ToUtf8(CliUsage(request.helpFor.value_or(CliCommand::Help))));
  }
  if (request.command == CliCommand::Show) return Show(request);

  PlatformServices services;
  if (!MakePlatformServices(services, error)) return Fail(kExitBadArguments, error);
  if (request.command == CliCommand::List) return List(request, services);

  InstallStopHandlers(RequestStop);
  return Calibrate(request, services);
}

int Main(int argc, char** argv) {
  // Before anything opens a file: a closed standard stream must not become the step log.
  OpenClosedStandardDescriptors();
  // A reader that went away is a failed write, told like any other, not a silent death in
  // the middle of a measurement (progress goes to standard error).
  IgnoreBrokenPipes();
  const int status = Run(argc, argv);
  // A close can still report what the writes did not (a file on a full network disk).
  errno = 0;
  if (std::fclose(stdout) != 0 && status == kExitDone) {
    jsonFailures = false;
    return Fail(kExitOutput, OutputFailed(errno != 0 ? errno : EIO));
  }
  return status;
}

}  // namespace
}  // namespace veltrane

int main(int argc, char** argv) { return veltrane::Main(argc, argv); }
