#include "app/VeltraneDlg.h"

#include <wx/button.h>
#include <wx/datetime.h>
#include <wx/gauge.h>
#include <wx/image.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <future>

#include "controls/GraphCtrl.h"
#include "controls/BitmapUtilities.h"
#include "SharedSources/LanguageSupport.h"
#include "support/MessageBox.h"
#include "support/StoredNames.h"
#include "SharedSources/ProgramTexts.h"
#include "controls/Resources.h"
#include "controls/SkinGeometry.h"
#include "base/Text.h"
#include "base/Unicode.h"
#include "support/Trace.h"

using namespace veltrane;

namespace {

wxDEFINE_EVENT(EVT_ENGINE_MESSAGE, wxThreadEvent);
wxDEFINE_EVENT(EVT_ENGINE_BOX, wxThreadEvent);

// A box that the worker asks the dialog's thread to show on its behalf.
struct BoxRequestPayload {
  std::wstring text;
  MessageIcon icon = MessageIcon::None;
  std::function<void()> done;
};

// The dialog's stop waits: long enough for a measuring worker to wake from its 2000 ms pause,
// see the stop request and tear down.
constexpr std::uint32_t kStopWaitMs = 3000;
constexpr int kWatchdogPeriodMs = 5000;
constexpr int kDisplaySwapDelayMs = 10;
// How often an unattended run says how long it still takes.
constexpr std::uint32_t kProgressReportMs = 30000;

// A rect of the dialog template, in dialog units.
struct TemplateRect {
  int x, y, width, height;
};

constexpr TemplateRect kDialogSize{0, 0, 413, 329};
constexpr TemplateRect kProgressRect{7, 91, 399, 14};
constexpr TemplateRect kTimeLeftRect{7, 107, 399, 10};
constexpr TemplateRect kGraphRect{7, 226, 399, 96};
constexpr TemplateRect kDeviceNameRect{7, 32, 399, 28};
constexpr TemplateRect kExplanationRect{7, 158, 399, 63};
constexpr TemplateRect kWarningRect{7, 64, 399, 21};
constexpr TemplateRect kPictureRect{8, 225, 398, 97};
constexpr TemplateRect kCancelRect{160, 128, 94, 18};
constexpr TemplateRect kHeadingRect{7, 14, 399, 17};

// Reads a decimal integer as the C library's atoi does: leading white space, an optional
// sign, digits up to the first other character; 0 without digits. Saturates instead of
// overflowing.
std::int32_t ReadDecimal(const std::wstring& text) {
  std::size_t start = 0;
  while (start < text.size() && IsWhiteSpace(text[start])) ++start;
  std::size_t end = start;
  if (end < text.size() && (text[end] == L'+' || text[end] == L'-')) ++end;
  const std::size_t digits = end;
  while (end < text.size() && text[end] >= L'0' && text[end] <= L'9') ++end;
  if (end == digits) return 0;
  const std::wstring_view number(text.data() + start, end - start);
  // The number has only a sign and digits: nothing but its size makes it unreadable.
  const long long value =
      ReadWholeDecimal(number).value_or(number[0] == L'-' ? LLONG_MIN : LLONG_MAX);
  return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

wxFont MakeArial(int heightPixels, bool bold) {
  wxFontInfo info(wxSize(0, heightPixels));
  info.FaceName("Arial").Family(wxFONTFAMILY_SWISS);
  if (bold) info.Bold();
  return wxFont(info);
}

}  // namespace

CVeltraneDlg::CVeltraneDlg(DialogServices dialogServices, CommandLineFields commandLineFields)
    : wxDialog(nullptr, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
               wxSTAY_ON_TOP | wxBORDER_RAISED),
      services(std::move(dialogServices)),
      parameters(std::move(commandLineFields)),
      settings(services.registry),
      displaySwapTimer(this, kTimerDisplaySwap),
      watchdogTimer(this, kTimerWatchdog) {
  CreateControls();

  Bind(EVT_ENGINE_MESSAGE, &CVeltraneDlg::OnEngineMessage, this);
  Bind(EVT_ENGINE_BOX, &CVeltraneDlg::OnEngineBox, this);
  Bind(wxEVT_TIMER, &CVeltraneDlg::OnTimer, this);
  Bind(wxEVT_BUTTON, &CVeltraneDlg::OnCancelButton, this, IDC_CANCEL);
  Bind(wxEVT_CLOSE_WINDOW, &CVeltraneDlg::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, &CVeltraneDlg::OnCharHook, this);
}

CVeltraneDlg::~CVeltraneDlg() {
  displaySwapTimer.Stop();
  watchdogTimer.Stop();
  StopWorker();
  if (runState) runState->ClearTarget();
}

void CVeltraneDlg::CreateControls() {
  // The template's font, which the dialog units are measured in.
  SetFont(wxFont(wxFontInfo(8).FaceName("MS Sans Serif").Family(wxFONTFAMILY_SWISS)));
  SetClientSize(ConvertDialogToPixels(wxSize(kDialogSize.width, kDialogSize.height)));
  CreateTemplateControls();

  // Clicks on the graph or the picture swap the two.
  Bind(wxEVT_BUTTON, &CVeltraneDlg::OnDisplayToggle, this, IDC_GRAPH);
  pictureControl->Bind(wxEVT_LEFT_DOWN, [this](wxMouseEvent&) {
    wxCommandEvent click(wxEVT_BUTTON, IDC_PICTURE);
    OnDisplayToggle(click);
  });
  SetEscapeId(wxID_NONE);

  // The wait cursor stays over the whole dialog for its whole life, over the Cancel button too.
  SetCursor(wxCursor(wxCURSOR_WAIT));
  for (wxWindow* child : GetChildren()) child->SetCursor(wxCursor(wxCURSOR_WAIT));
  Centre();
}

void CVeltraneDlg::CreateTemplateControls() {
  auto rect = [this](const TemplateRect& r) {
    return wxRect(ConvertDialogToPixels(wxPoint(r.x, r.y)),
                  ConvertDialogToPixels(wxSize(r.width, r.height)));
  };
  // Created in the template's order; where two overlap, the earlier lies on top.
  const wxRect progress = rect(kProgressRect);
  progressBar = new wxGauge(this, IDC_PROGRESS, 100, progress.GetPosition(),
                            progress.GetSize(), wxGA_HORIZONTAL | wxGA_SMOOTH);
  const wxRect timeLeft = rect(kTimeLeftRect);
  timeLeftLabel = new wxStaticText(this, IDC_TIME_LEFT, "00:09:99", timeLeft.GetPosition(),
                                   timeLeft.GetSize(), wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  const wxRect graph = rect(kGraphRect);
  graphControl = new CGraphCtrl(this, IDC_GRAPH, graph.GetPosition(), graph.GetSize());
  const wxRect device = rect(kDeviceNameRect);
  deviceNameLabel = new wxStaticText(this, IDC_DEVICE_NAME, "Sound input name",
                                     device.GetPosition(), device.GetSize(),
                                     wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  const wxRect explain = rect(kExplanationRect);
  explanation = new wxTextCtrl(this, IDC_EXPLANATION, wxString(), explain.GetPosition(),
                               explain.GetSize(),
                               wxTE_MULTILINE | wxTE_READONLY | wxTE_CENTRE | wxBORDER_NONE |
                                   wxTE_NO_VSCROLL);
  // A read-only edit without a border reads as part of the dialog, not as an input field.
  explanation->SetBackgroundColour(GetBackgroundColour());
  const wxRect warning = rect(kWarningRect);
  warningLabel = new wxStaticText(
      this, IDC_WARNING,
      "!! Don't click on anything during this calibration !!\r\nIf you do, it will take longer.",
      warning.GetPosition(), warning.GetSize(), wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  const wxRect picture = rect(kPictureRect);
  pictureControl = new wxStaticBitmap(this, IDC_PICTURE, wxNullBitmap, picture.GetPosition(),
                                      picture.GetSize());
  const wxRect cancel = rect(kCancelRect);
  cancelButton = new wxButton(this, IDC_CANCEL, "Cancel", cancel.GetPosition(), cancel.GetSize());
  cancelButton->SetDefault();
  const wxRect head = rect(kHeadingRect);
  heading = new wxStaticText(this, IDC_HEADING, "Calibrating", head.GetPosition(),
                             head.GetSize(), wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
}

int CVeltraneDlg::DoModal() {
  phase = RunPhase::Initialising;
  OnInitDialog();
  if (phase == RunPhase::Closed) {
    // Every ending found while initialising is one before measuring.
    Hide();
    return IDCANCEL;
  }
  return ShowModal();
}

void CVeltraneDlg::SetUpTexts() {
  // Fixed texts and fonts.
  // The big icon only; the platform picks what it shows in the task switcher from it.
  SetIcon(LoadAppIcon().GetIcon(wxSize(32, 32)));
  SetTitle(Translate(kTextTitle));
  const wxFont titleFont = MakeArial(22, true);
  const wxFont bodyFont = MakeArial(16, false);
  const wxFont emphasisFont = MakeArial(16, true);
  heading->SetFont(titleFont);
  deviceNameLabel->SetFont(titleFont);
  explanation->SetFont(bodyFont);
  timeLeftLabel->SetFont(emphasisFont);
  warningLabel->SetFont(emphasisFont);
  cancelButton->SetFont(bodyFont);
  explanation->SetValue(Translate(kTextIntroduction));
  warningLabel->SetLabelText(Translate(kTextWarning));
  cancelButton->SetLabel(Translate(kTextCancel));
}

void CVeltraneDlg::OnInitDialog() {
  SetUpTexts();
  progressBar->SetRange(kProgressMaximum);
  SetTimeLeft(0, 5, 0);

  nominalRate = ReadDecimal(parameters.nominalRate);
  settings.SetFolder(parameters.folder);

  FindDevice();
  if (deviceId == -1) {
    EndWithMessage(kExitBadParameters, Translate(kTextNoDevice));
    return;
  }

  deviceNameLabel->SetLabelText(parameters.deviceName);
  heading->SetLabelText(Translate(kTextCalibrating));
  SetUpGraph();
  evaluation.previousSamples = 0;
  evaluation.previousSeconds = 0;
  SetUpPicture();
  displaySwapTimer.StartOnce(ScaledPeriod(kDisplaySwapDelayMs));
  Show();
  Raise();

  if (!RateFitsBuffer(nominalRate)) {
    EndWithMessage(kExitBadParameters, Translate(kTextRateUnsupported));
    return;
  }
  // Five minutes of measuring are lost if the value then cannot be written: find out first.
  std::wstring reason;
  if (!settings.CheckWritable(
          CalibrationValueName(parameters.valueNamePrefix, nominalRate, parameters.deviceName),
          reason)) {
    EndWithMessage(kExitNotStored, Translate(kTextCannotStore) + L"\n" + reason);
    return;
  }
  StartCalibration();
}

void CVeltraneDlg::FindDevice() {
  deviceId = FindDeviceNamed(*services.platform.audio, parameters.deviceName);
}

void CVeltraneDlg::SetUpGraph() {
  graphControl->SetFrameWidth(6);
  graphControl->SetAutoGain(false);
  graphControl->SetGain(2000.0f);
  graphControl->SetRelativeToLast(true);
  graphControl->SetTriggerOnPeak(false);
  graphControl->SetRelativeToMean(false);
  graphControl->SetTraceColours(wxColour(255, 255, 255), wxColour(255, 0, 0));
  graphControl->SetGrid(2, 9);
  graphControl->SetData(evaluation.runningMean.data(), kRunningMeanSlots);
  graphControl->Show(!showGraph);
}

void CVeltraneDlg::SetUpPicture() {
  const wxSize client = pictureControl->GetClientSize();
  if (!parameters.picturePath.empty()) {
    const wxBitmap picture =
        LoadPictureFile(parameters.picturePath, client.GetWidth(), 2 * client.GetHeight());
    if (picture.IsOk()) {
      // The control keeps its place and centres the picture in it, as the template says,
      // instead of growing to the picture's size.
      const wxRect place = pictureControl->GetRect();
      pictureControl->SetBitmap(picture);
      pictureControl->SetSize(place);
    }
  }
#ifdef __WXMSW__
  // Where the common controls report a version below 6 (Wine's do), wxWidgets paints the
  // control itself and fails its own check on a missing bitmap, in a box that stops the run:
  // an invisible pixel stands in for no picture.
  if (!pictureControl->GetBitmap().IsOk()) {
    wxImage blank(1, 1);
    blank.InitAlpha();
    blank.SetAlpha(0, 0, 0);
    const wxRect place = pictureControl->GetRect();
    pictureControl->SetBitmap(wxBitmap(blank));
    pictureControl->SetSize(place);
  }
#endif
  pictureControl->Show(showGraph);
}

void CVeltraneDlg::ShowGraphOrPicture() {
  graphControl->Show(showGraph);
  pictureControl->Show(!showGraph);
}

void CVeltraneDlg::StartCalibration() {
  evaluation.finished = false;
  evaluation.measuredSeconds = 0;
  runState = std::make_shared<RunState>(services.platform, deviceId, nominalRate);
  runState->SetTarget(
      [handler = static_cast<wxEvtHandler*>(this)](const PostedMessage& message) {
        auto* event = new wxThreadEvent(EVT_ENGINE_MESSAGE);
        event->SetPayload(message);
        wxQueueEvent(handler, event);
      },
      [handler = static_cast<wxEvtHandler*>(this)](const std::wstring& text, MessageIcon icon,
                                                    std::function<void()> done) {
        auto* event = new wxThreadEvent(EVT_ENGINE_BOX);
        event->SetPayload(BoxRequestPayload{text, icon, std::move(done)});
        wxQueueEvent(handler, event);
      });

  std::shared_ptr<RunState> state = runState;
  // The worker raises its own priority, on its own thread: a handle of a detached thread
  // held here could outlive the thread. The dialog waits a moment for the outcome, so that a
  // failure is still shown by the dialog.
  auto raised = std::make_shared<std::promise<bool>>();
  std::future<bool> raising = raised->get_future();
  const bool launched = services.launchThread([state, raised] {
    Scheduler& scheduler = *state->services.scheduler;
    raised->set_value(scheduler.SetThreadTimeCritical(scheduler.CurrentThread()));
    CalibrationThread(state);
  });
  if (launched) phase = RunPhase::Calibrating;
  const bool raisingKnown =
      launched && raising.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  watchdogTimer.Start(ScaledPeriod(kWatchdogPeriodMs));
  if (!launched) {
    // With no worker to watch, the watchdog would only add a second message to this one.
    watchdogTimer.Stop();
    runState->ClearTarget();
    runState.reset();
    EndWithMessage(kExitFailed, Translate(kTextCouldNotStart));
    return;
  }
  Scheduler& scheduler = *services.platform.scheduler;
  if (!scheduler.SetPriorityClass(PriorityClass::Realtime)) {
    ShowAppMessageBox(L"Set Priority Class failed\r\n", MessageIcon::Exclamation);
  }
  if (raisingKnown && !raising.get()) {
    Trace(L"TR_CALIBRATION", L"Set Thread Priority failed", L"VeltraneDlg", __LINE__);
    ShowAppMessageBox(L"Set Thread Priority failed", MessageIcon::Exclamation);
  }
}

void CVeltraneDlg::StopWorker() {
  if (!WorkerRegistered()) return;
  runState->stopRequested = true;
  watchdogTimer.Stop();
  SleepMs(kStopWaitMs);
  // The worker is forgotten, never joined.
  phase = RunPhase::Ending;
}

void CVeltraneDlg::FinishCalibration(int code, bool announceFailure) {
  StopWorker();
  SleepMs(kStopWaitMs);
  if (!services.platform.scheduler->SetPriorityClass(PriorityClass::Normal)) {
    ShowAppMessageBox(L"Set Priority Class failed\r\n", MessageIcon::Exclamation);
  }
  if (code == IDCANCEL && announceFailure) {
    ShowAppMessageBox(Translate(kTextDidNotSucceed), MessageIcon::Information);
  }
  EndDialog(code);
}

void CVeltraneDlg::EndDialog(int code) {
  phase = RunPhase::Closed;
  // Not yet modal while initialising: DoModal then returns without showing the dialog.
  if (IsModal()) EndModal(code);
}

bool CVeltraneDlg::ClaimEnding(int status) {
  if (EndingClaimed()) return false;
  phase = WorkerRegistered() ? RunPhase::Stopping : RunPhase::Ending;
  exitStatus = status;
  return true;
}

void CVeltraneDlg::EndWithMessage(int status, const std::wstring& text) {
  if (!ClaimEnding(status)) return;
  // A worker still registered has ended by itself (the watchdog's case): it is forgotten.
  phase = RunPhase::Ending;
  ShowAppMessageBox(text, MessageIcon::Information);
  EndDialog(IDCANCEL);
}

void CVeltraneDlg::CancelSteps() {
  if (!ClaimEnding(kExitCanceled)) return;
  StopWorker();
  ShowAppMessageBox(Translate(kTextCanceled), MessageIcon::Information);
  EndDialog(IDCANCEL);
}

void CVeltraneDlg::OnEngineMessage(wxThreadEvent& event) {
  const auto message = event.GetPayload<PostedMessage>();
  switch (message.message) {
    case WM_CAPTURE_BUFFER_RETURNED:
    case WM_SAMPLES_LOST:  // a smaller count fails the run as a broken stream does
      OnCaptureBufferReturned();
      break;
    case WM_MEASUREMENT:
      OnMeasurement(static_cast<std::uint32_t>(message.wParam),
                    static_cast<std::int32_t>(message.lParam));
      break;
    case WM_CLOCK_KIND:
      OnClockMethod(message.wParam);
      break;
    default:
      break;
  }
}

void CVeltraneDlg::OnEngineBox(wxThreadEvent& event) {
  const auto request = event.GetPayload<BoxRequestPayload>();
  ShowAppMessageBox(request.text, request.icon);
  if (request.done) request.done();
}

void CVeltraneDlg::OnCaptureBufferReturned() {
  const bool stopRequested = runState && runState->stopRequested;
  if (evaluation.finished || stopRequested || !ClaimEnding(kExitFailed)) return;
  FinishCalibration(IDCANCEL);
}

void CVeltraneDlg::OnClockMethod(std::uintptr_t wParam) {
  evaluation.clockMethod = static_cast<std::int32_t>(wParam);
}

void CVeltraneDlg::OnMeasurement(std::uint32_t wParam, std::int32_t lParam) {
  // A report that was on its way when the run ended changes nothing.
  if (EndingClaimed() || evaluation.finished || (runState && runState->stopRequested)) return;
  const MeasurementOutcome outcome =
      EvaluateMeasurement(evaluation, wParam, lParam, nominalRate);
  if (outcome.intervalEvaluated) {
    graphControl->SetData(evaluation.runningMean.data(), outcome.graphCount);
  }
  if (outcome.compensationChanged) {
    graphControl->SetText(outcome.compensationText, TextAlign::Right, false, 140, wxColour(160, 160, 160));
  }
  if (outcome.graphInvalidated) {
    graphControl->Refresh(true);
    graphControl->Update();
  }
  SetTimeLeft(outcome.hours, outcome.minutes, outcome.seconds);
  ReportProgress(outcome.hours, outcome.minutes, outcome.seconds);
  progressBar->SetValue(outcome.progressPosition);
  progressBar->Update();

  if (outcome.complete) {
    ClaimEnding(kExitStored);
    StopWorker();
    const std::wstring& device = parameters.deviceName;
    if (!device.empty() &&
        !settings.WriteDouble(CalibrationValueName(parameters.valueNamePrefix, nominalRate, device),
                              static_cast<double>(evaluation.median))) {
      // Five minutes of measuring are lost if this passes for a success: say so instead, and
      // why (the store's own technical text, left untranslated), so that the user can mend it.
      exitStatus = kExitNotStored;
      std::wstring text = Translate(kTextNotStored);
      if (!settings.LastError().empty()) text += L"\n" + settings.LastError();
      ShowAppMessageBox(text, MessageIcon::Information);
      FinishCalibration(IDCANCEL, /*announceFailure=*/false);
      return;
    }
    ShowAppMessageBox(Translate(kTextSucceeded), MessageIcon::Information);
    FinishCalibration(IDOK);
  }
}

void CVeltraneDlg::OnTimer(wxTimerEvent& event) {
  if (event.GetId() == kTimerDisplaySwap) {
    displaySwapTimer.Stop();
    ShowGraphOrPicture();
    Refresh(false);
    Update();
  } else if (event.GetId() == kTimerWatchdog) {
    OnWatchdog();
  } else {
    event.Skip();
  }
}

void CVeltraneDlg::OnWatchdog() {
  if (WorkerRegistered() && !runState->WorkerEnded()) return;
  watchdogTimer.Stop();
  // A device that will not record at this rate is a bad parameter, not a failed run.
  if (runState && runState->rateRefused) {
    EndWithMessage(kExitBadParameters, Translate(kTextRateUnsupported));
  } else {
    EndWithMessage(kExitFailed, Translate(kTextInterrupted));
  }
}

void CVeltraneDlg::OnCancelButton(wxCommandEvent&) { CancelSteps(); }

void CVeltraneDlg::OnClose(wxCloseEvent&) { CancelSteps(); }

void CVeltraneDlg::OnCharHook(wxKeyEvent& event) {
  switch (event.GetKeyCode()) {
    case WXK_END:
      // The End key never reaches a control: it asks for an early finish.
      evaluation.finishRequested = true;
      break;
    case WXK_ESCAPE:
      CancelSteps();
      break;
    default:
      event.Skip();
  }
}

void CVeltraneDlg::OnDisplayToggle(wxCommandEvent&) {
  showGraph = !showGraph;
  ShowGraphOrPicture();
}

void CVeltraneDlg::SetTimeLeft(int hours, int minutes, int seconds) {
  const wxDateTime time(static_cast<wxDateTime::wxDateTime_t>(hours),
                        static_cast<wxDateTime::wxDateTime_t>(minutes),
                        static_cast<wxDateTime::wxDateTime_t>(seconds));
  const std::wstring text = Translate(kTextTimeLeft) + L": " +
                            time.Format("%H:%M:%S").ToStdWstring();
  timeLeftLabel->SetLabelText(text);
}

void CVeltraneDlg::ReportProgress(int hours, int minutes, int seconds) {
  if (!services.reportProgress) return;
  const std::uint32_t now = services.platform.clock->TickCount();
  if (lastProgressReportTick && now - *lastProgressReportTick < kProgressReportMs) return;
  lastProgressReportTick = now;
  std::fprintf(stderr, "%s: %02d:%02d:%02d\n", ToUtf8(Translate(kTextTimeLeft)).c_str(), hours,
               minutes, seconds);
  std::fflush(stderr);
}

void CVeltraneDlg::SleepMs(std::uint32_t milliseconds) {
  services.platform.clock->Sleep(milliseconds);
}

int CVeltraneDlg::ScaledPeriod(int milliseconds) const {
  return std::max(1, static_cast<int>(milliseconds / services.platform.timeScale));
}
