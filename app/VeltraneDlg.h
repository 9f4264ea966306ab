#pragma once
// The calibration dialog: the program's only window. It takes the run's parameters from the
// command line, finds the recording device by name, starts the worker and carries the run to
// one of its endings, each announced in a message box. It also owns the run's evaluation.
// Everything here runs on the GUI thread.

#include <wx/dialog.h>
#include <wx/timer.h>
// Where these bring in the system's own headers (windows.h on Windows), its macros WM_USER,
// IDOK and IDCANCEL would replace the program's constants of those names (with the same
// values) here and in Messages.h; elsewhere the names are not macros and this does nothing.
#undef WM_USER
#undef IDOK
#undef IDCANCEL

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/worker/CalibrationThread.h"
#include "engine/worker/Evaluation.h"
#include "platform/PlatformServices.h"
#include "support/RegistrySettings.h"
#include "engine/RunState.h"
#include "startup/CommandLineFields.h"

class wxButton;
class wxGauge;
class wxStaticBitmap;
class wxStaticText;
class wxTextCtrl;
class wxThreadEvent;

namespace veltrane {

class CGraphCtrl;

// Dialog results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Control ids of the dialog's template.
constexpr int IDC_CANCEL = 1000;
constexpr int IDC_PICTURE = 1007;
constexpr int IDC_DEVICE_NAME = 1029;
constexpr int IDC_HEADING = 1031;
constexpr int IDC_EXPLANATION = 1032;
constexpr int IDC_PROGRESS = 1036;
constexpr int IDC_GRAPH = 1105;
constexpr int IDC_TIME_LEFT = 1164;
constexpr int IDC_WARNING = 1165;

// The process's exit status for each way a run ends; only a stored value is a success.
constexpr int kExitStored = 0;
constexpr int kExitCanceled = 1;        // by the user
constexpr int kExitBadParameters = 2;   // no such device, rate not supported, bad switches
constexpr int kExitFailed = 3;          // the device or the worker failed
constexpr int kExitNotStored = 4;       // the result could not be (or cannot be) stored

constexpr int kTimerDisplaySwap = 12;
constexpr int kTimerWatchdog = 13;

// The services a dialog runs on; tests hand in simulated ones.
struct DialogServices {
  PlatformServices platform;
  std::shared_ptr<Registry> registry;
  ThreadLauncher launchThread = DefaultThreadLauncher();
  // Without a display nobody sees the window: the time left goes to standard error now and
  // then instead.
  bool reportProgress = false;
};

// Where a run stands. It only moves forward, and each ending moves it once: the first ending to
// ask claims the run, every later one finds it claimed.
enum class RunPhase {
  Constructed,   // members at their initial values
  Initialising,  // OnInitDialog runs, no worker yet
  Calibrating,   // a worker is registered and no ending has begun
  Stopping,      // an ending has begun with a worker registered: the stop steps run
  Ending,        // an ending has begun and no worker is registered: its message box shows
  Closed,        // EndDialog has been called
};

}  // namespace veltrane

class CVeltraneDlg : public wxDialog {
 public:
  // parameters: the run's command-line fields, as start-up read them.
  CVeltraneDlg(veltrane::DialogServices services, veltrane::CommandLineFields parameters);
  ~CVeltraneDlg() override;

  // Initialises the dialog and runs it modally; returns IDOK after a successful calibration
  // and IDCANCEL after every other ending.
  int DoModal();

  // One of the kExit* values, for the process's exit status.
  int GetExitStatus() const { return exitStatus; }

  // The run state of the worker, if one was started; start-up waits for its end.
  std::shared_ptr<veltrane::RunState> GetRunState() const { return runState; }

  // For tests: the evaluation, the clock kind and whether the graph is shown.
  const veltrane::Evaluation& GetEvaluation() const { return evaluation; }
  bool IsGraphShown() const { return showGraph; }

 private:
  void CreateControls();
  void CreateTemplateControls();
  void OnInitDialog();
  void SetUpTexts();
  void FindDevice();
  void SetUpGraph();
  void SetUpPicture();
  void ShowGraphOrPicture();

  void StartCalibration();
  void StopWorker();
  // announceFailure false: the caller has already said why the run failed.
  void FinishCalibration(int code, bool announceFailure = true);
  void EndDialog(int code);
  void CancelSteps();
  // A run ends once: the first ending to ask gets true, every later one false (a late report
  // or a click while the first ending's box is open must not start a second ending).
  bool ClaimEnding(int status);
  bool EndingClaimed() const { return phase >= veltrane::RunPhase::Stopping; }
  bool WorkerRegistered() const {
    return phase == veltrane::RunPhase::Calibrating || phase == veltrane::RunPhase::Stopping;
  }
  // An ending with no worker to stop (none started, or it ended by itself): claims the run
  // with status, shows text and ends the dialog with IDCANCEL; nothing when another ending
  // came first.
  void EndWithMessage(int status, const std::wstring& text);
  void ReportProgress(int hours, int minutes, int seconds);

  void OnEngineMessage(wxThreadEvent& event);
  void OnEngineBox(wxThreadEvent& event);
  void OnCaptureBufferReturned();
  void OnMeasurement(std::uint32_t wParam, std::int32_t lParam);
  void OnClockMethod(std::uintptr_t wParam);
  void OnTimer(wxTimerEvent& event);
  void OnWatchdog();
  void OnCancelButton(wxCommandEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnDisplayToggle(wxCommandEvent& event);

  void SetTimeLeft(int hours, int minutes, int seconds);
  void SleepMs(std::uint32_t milliseconds);
  int ScaledPeriod(int milliseconds) const;

  veltrane::DialogServices services;

  wxStaticBitmap* pictureControl = nullptr;
  veltrane::CGraphCtrl* graphControl = nullptr;
  wxGauge* progressBar = nullptr;
  wxStaticText* timeLeftLabel = nullptr;
  wxStaticText* deviceNameLabel = nullptr;
  wxTextCtrl* explanation = nullptr;
  wxStaticText* warningLabel = nullptr;
  wxButton* cancelButton = nullptr;
  wxStaticText* heading = nullptr;

  const veltrane::CommandLineFields parameters;
  bool showGraph = false;
  veltrane::CRegistrySettings settings;

  // The worker's; kept after the stop steps have forgotten the worker, for start-up to wait on.
  std::shared_ptr<veltrane::RunState> runState;
  veltrane::Evaluation evaluation;
  std::int32_t deviceId = -1;
  std::int32_t nominalRate = 0;

  wxTimer displaySwapTimer;
  wxTimer watchdogTimer;

  veltrane::RunPhase phase = veltrane::RunPhase::Constructed;
  int exitStatus = veltrane::kExitFailed;
  std::optional<std::uint32_t> lastProgressReportTick;  // none before the first report
};
