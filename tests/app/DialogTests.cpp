// The real dialog on the simulated device with time running fast: every ending of a
// calibration, with its message, its result and whether a value was stored.
#include "app/VeltraneDlg.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/evtloop.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/AppPaths.h"
#include "SharedSources/LanguageSupport.h"
#include "support/MessageBox.h"
#include "SharedSources/ProgramTexts.h"
#include "base/Text.h"
#include "tests/gui/WxGuiTest.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/PosixScheduler.h"
#include "platform/simulated/MemoryRegistry.h"
#include "platform/simulated/ScaledClock.h"
#include "platform/simulated/SimulatedAudio.h"

namespace veltrane {
namespace {

constexpr double kTimeScale = 100.0;
const std::wstring kFolder = L"SOFTWARE\\Ombrel's Projects\\Tuner";
const std::wstring kValueName = L"Input1Calib_44100_Of Simulated Input";

// Recording devices with chosen names; each opens as the simulated device.
class NamedAudio : public SimulatedAudio {
 public:
  NamedAudio(std::shared_ptr<Clock> clock, SimulatedAudioOptions options,
             std::vector<std::wstring> names)
      : SimulatedAudio(std::move(clock), options), names(std::move(names)) {}
  std::uint32_t GetNumDevs() override { return static_cast<std::uint32_t>(names.size()); }
  MMResult GetDevCaps(std::uint32_t id, WaveInCaps& caps) override {
    if (id >= names.size()) return MMSYSERR_BADDEVICEID;
    caps.productName = names[id];
    return MMSYSERR_NOERROR;
  }
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t, const WaveFormat& format,
                WaveInCompletion callback, std::uint32_t flags) override {
    ++opens;
    return SimulatedAudio::Open(device, 0, format, std::move(callback), flags);
  }
  std::vector<std::wstring> names;
  std::atomic<int> opens{0};
};

struct Box {
  std::wstring text;
  std::wstring caption;
  MessageIcon icon;
  double atMs;  // real time since the dialog started
};

class DialogRun {
 public:
  explicit DialogRun(std::wstring fields, SimulatedAudioOptions options = {},
                     std::vector<std::wstring> names = {L"Simulated Input"}) {
    parameters = ReadCommandLineFields(fields);
    SetApplicationName(L"veltrane");
    registry = std::make_shared<MemoryRegistry>();
    services.platform.clock =
        std::make_shared<ScaledClock>(std::make_shared<PosixClock>(), kTimeScale);
    services.platform.scheduler = std::make_shared<PosixScheduler>();
    services.platform.timeScale = kTimeScale;
    audio = std::make_shared<NamedAudio>(services.platform.clock, options, std::move(names));
    services.platform.audio = audio;
    services.registry = registry;
  }

  // A worker that outlived its dialog must end on its own before the next run.
  ~DialogRun() {
    SetMessageBoxHandler(nullptr);
    if (runState) {
      EXPECT_TRUE(runState->WaitForWorkerEnd(5000));
    }
  }

  // Runs the dialog modally; action runs on the GUI thread once, afterMs of real time after
  // the start, or when a report with this many evaluated intervals has arrived.
  int Execute() {
    start = std::chrono::steady_clock::now();
    SetMessageBoxHandler([this](const std::wstring& text, const std::wstring& caption,
                                MessageIcon icon) {
      boxes.push_back(Box{text, caption, icon, ElapsedMs()});
      if (onBox) onBox(text);
      // A real box runs its own loop while it is open: what is queued meanwhile arrives.
      const double until = ElapsedMs() + boxOpenMs;
      while (ElapsedMs() < until) {
        wxYield();
        wxMilliSleep(1);
      }
    });
    CVeltraneDlg dialog(services, parameters);
    current = &dialog;
    wxTimer actionTimer;
    bool acted = false;
    if (action) {
      actionTimer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (acted || (when && !when(dialog))) return;
        acted = true;
        actionTimer.Stop();
        actionAtMs = ElapsedMs();
        action(dialog);
      });
      if (when) {
        actionTimer.Start(2);
      } else {
        actionTimer.StartOnce(actionAfterMs);
      }
    }
    const int result = dialog.DoModal();
    actionTimer.Stop();
    evaluation = dialog.GetEvaluation();
    runState = dialog.GetRunState();
    exitStatus = dialog.GetExitStatus();
    current = nullptr;
    return result;
  }

  double ElapsedMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (const auto& box : boxes) texts.push_back(box.text);
    return texts;
  }

  std::optional<std::wstring> StoredValue() const {
    return registry->GetStringValue(kFolder, kValueName);
  }

  DialogServices services;
  CommandLineFields parameters;
  std::shared_ptr<MemoryRegistry> registry;
  std::shared_ptr<NamedAudio> audio;
  std::vector<Box> boxes;
  std::function<void(const std::wstring&)> onBox;
  std::function<void(CVeltraneDlg&)> action;
  // When set, action runs as soon as this holds (looked at every 2 ms) instead of after a
  // fixed time: timings shift under the sanitizers, events do not.
  std::function<bool(CVeltraneDlg&)> when;
  int actionAfterMs = 0;
  int boxOpenMs = 100;
  double actionAtMs = 0;
  Evaluation evaluation;
  std::shared_ptr<RunState> runState;
  int exitStatus = -1;
  CVeltraneDlg* current = nullptr;
  std::chrono::steady_clock::time_point start;
};

// Real milliseconds that a given span of the program's time takes here.
int Real(double programMs) { return static_cast<int>(programMs / kTimeScale); }

const std::wstring kFields = L"Simulated Input;Tuner;Input1;English;;44100";

class DialogTest : public testing_gui::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (IsSkipped()) return;
    theLanguage.LoadLanguage(L"English");
  }
};

TEST_F(DialogTest, CompleteCalibrationStoresTheRatio) {
  SimulatedAudioOptions options;
  options.ppm = -250;
  DialogRun run(kFields, options);
  EXPECT_EQ(run.Execute(), IDOK);
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextSucceeded});
  EXPECT_EQ(run.boxes[0].caption, L"veltrane");
  EXPECT_EQ(run.boxes[0].icon, MessageIcon::Information);
  const auto value = run.StoredValue();
  ASSERT_TRUE(value.has_value());
  EXPECT_NEAR(std::stod(*value), 0.999750, 0.000030) << *value;
  EXPECT_EQ(value->size(), 8u);  // "%f": six decimals
  EXPECT_EQ(run.evaluation.clockMethod, 1);
}

TEST_F(DialogTest, NoMatchingDeviceEndsBeforeAnythingStarts) {
  struct Case {
    std::wstring fields;
    std::vector<std::wstring> names;
  };
  const std::wstring longName = L"USB Audio Line In of the big mixing desk";  // 40 characters
  const Case cases[] = {
      {L"Other Input;Tuner;Input1;English;;44100", {L"Simulated Input"}},
      {kFields, {}},
      {L"simulated input;Tuner;Input1;English;;44100", {L"Simulated Input"}},
      {L"", {L"Simulated Input"}},
      {L"Simulated Input;Tuner;Input1;English;;0", {L"Simulated"}},
  };
  for (const auto& c : cases) {
    DialogRun run(c.fields, {}, c.names);
    EXPECT_EQ(run.Execute(), IDCANCEL);
    EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextNoDevice});
    EXPECT_EQ(run.audio->opens, 0);
    EXPECT_FALSE(run.runState);
  }
}

TEST_F(DialogTest, LongNameMatchesOnItsFirst31Characters) {
  const std::wstring longName = L"USB Audio Line In of the big mixing desk";
  DialogRun run(longName + L";Tuner;Input1;English;;44100", {},
                {L"Another one", longName.substr(0, 31), longName.substr(0, 31)});
  run.action = [](CVeltraneDlg& dialog) { dialog.Close(); };
  run.when = [&run](CVeltraneDlg&) { return run.audio->opens > 0; };
  EXPECT_EQ(run.Execute(), IDCANCEL);
  ASSERT_TRUE(run.runState);
  EXPECT_EQ(run.runState->deviceId, 1);  // the lower id of two equal names
  EXPECT_EQ(run.audio->opens, 1);
}

TEST_F(DialogTest, UnusableRatesAreRefused) {
  // Past 4772185 the 900 s buffer no longer fits its 32-bit length.
  for (const std::wstring rate : {L"0", L"-44100", L"Hz", L"", L"4772186", L"4294967296",
                                  L"99999999999 Hz"}) {
    DialogRun run(L"Simulated Input;Tuner;Input1;English;;" + rate);
    EXPECT_EQ(run.Execute(), IDCANCEL) << rate;
    EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextRateUnsupported}) << rate;
    EXPECT_FALSE(run.runState);
    EXPECT_EQ(run.exitStatus, kExitBadParameters) << rate;
  }
}

// White space before the rate and a unit after it are read past, in every locale: the "C"
// locale, set for these runs, knows no Unicode spaces.
TEST_F(DialogTest, RateWithBlanksOrUnitStillWorks) {
  const std::string locale = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  for (const std::wstring rate : {L"44100 Hz", L"\u3000\t+44100"}) {
    DialogRun run(L"Simulated Input;Tuner;Input1;English;;" + rate);
    run.action = [](CVeltraneDlg& dialog) { dialog.Close(); };
    run.when = [&run](CVeltraneDlg&) { return run.audio->opens > 0; };
    EXPECT_EQ(run.Execute(), IDCANCEL) << ToUtf8(rate);
    ASSERT_TRUE(run.runState) << ToUtf8(rate);
    EXPECT_EQ(run.runState->nominalRate, 44100) << ToUtf8(rate);
  }
  std::setlocale(LC_ALL, locale.c_str());
}

// Every way of cancelling freezes for the stop wait, says so, and stores nothing.
TEST_F(DialogTest, CancelInEveryWayStoresNothing) {
  const std::vector<std::pair<const char*, std::function<void(CVeltraneDlg&)>>> ways = {
      {"button",
       [](CVeltraneDlg& dialog) {
         wxCommandEvent click(wxEVT_BUTTON, IDC_CANCEL);
         click.SetEventObject(dialog.FindWindow(IDC_CANCEL));
         dialog.FindWindow(IDC_CANCEL)->GetEventHandler()->ProcessEvent(click);
       }},
      {"escape",
       [](CVeltraneDlg& dialog) {
         wxKeyEvent key(wxEVT_CHAR_HOOK);
         key.m_keyCode = WXK_ESCAPE;
         key.SetEventObject(&dialog);
         dialog.GetEventHandler()->ProcessEvent(key);
       }},
      {"close", [](CVeltraneDlg& dialog) { dialog.Close(); }},
      {"enter on the default button",
       [](CVeltraneDlg& dialog) {
         auto* button = dynamic_cast<wxButton*>(dialog.GetDefaultItem());
         ASSERT_NE(button, nullptr);
         ASSERT_EQ(button->GetId(), IDC_CANCEL);
         wxCommandEvent click(wxEVT_BUTTON, button->GetId());
         click.SetEventObject(button);
         button->GetEventHandler()->ProcessEvent(click);
       }},
  };
  for (const auto& [name, way] : ways) {
    DialogRun run(kFields);
    run.action = way;
    run.actionAfterMs = Real(20000);
    EXPECT_EQ(run.Execute(), IDCANCEL) << name;
    EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextCanceled}) << name;
    EXPECT_EQ(run.exitStatus, kExitCanceled) << name;
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_GE(run.boxes[0].atMs - run.actionAtMs, Real(3000) * 0.9) << name;
    EXPECT_FALSE(run.StoredValue().has_value()) << name;
    ASSERT_TRUE(run.runState);
    EXPECT_TRUE(run.runState->WaitForWorkerEnd(5000)) << name;
  }
}

// Scaled time whose 2000 ms sleeps (the worker's pause after its clock choice; the dialog
// never sleeps that long) wait until the test lets them go.
class GatedClock : public ScaledClock {
 public:
  using ScaledClock::ScaledClock;
  void Sleep(std::uint32_t milliseconds) override {
    if (milliseconds == 2000) {
      std::unique_lock lock(mutex);
      opened.wait(lock, [this] { return open; });
    }
    ScaledClock::Sleep(milliseconds);
  }
  void Open() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    opened.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
};

TEST_F(DialogTest, CancelWhileTheWorkerStillChoosesItsClockOutlivesTheDialog) {
  DialogRun run(kFields);
  auto clock = std::make_shared<GatedClock>(std::make_shared<PosixClock>(), kTimeScale);
  run.services.platform.clock = clock;
  run.audio = std::make_shared<NamedAudio>(clock, SimulatedAudioOptions{},
                                           std::vector<std::wstring>{L"Simulated Input"});
  run.services.platform.audio = run.audio;
  run.action = [](CVeltraneDlg& dialog) { dialog.Close(); };
  run.when = [](CVeltraneDlg& dialog) { return dialog.GetRunState() != nullptr; };
  run.boxOpenMs = 0;
  EXPECT_EQ(run.Execute(), IDCANCEL);
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextCanceled});
  ASSERT_TRUE(run.runState);
  // The worker is still in its first seconds when the dialog has gone; it must then see the
  // request and end without touching the dialog or opening the device.
  EXPECT_FALSE(run.runState->WorkerEnded());
  clock->Open();
  EXPECT_TRUE(run.runState->WaitForWorkerEnd(5000));
  EXPECT_EQ(run.audio->opens, 0);
}

TEST_F(DialogTest, GermanRunShowsEveryTextTranslated) {
  SetModuleDirectory(ExecutablePath());
  ASSERT_TRUE(theLanguage.LoadLanguage(L"Deutsch"));
  DialogRun run(L"Simulated Input;Tuner;Input1;Deutsch;;44100");
  std::vector<std::pair<std::wstring, std::wstring>> shown;  // English, shown
  run.action = [&](CVeltraneDlg& dialog) {
    auto label = [&](int id) { return dialog.FindWindow(id)->GetLabel().ToStdWstring(); };
    shown = {
        {kTextTitle, dialog.GetTitle().ToStdWstring()},
        {kTextCalibrating, label(IDC_HEADING)},
        {kTextWarning, label(IDC_WARNING)},
        {kTextCancel, label(IDC_CANCEL)},
        {kTextIntroduction,
         static_cast<wxTextCtrl*>(dialog.FindWindow(IDC_EXPLANATION))->GetValue().ToStdWstring()},
        {kTextTimeLeft + L": 00:05:00", label(IDC_TIME_LEFT)},
    };
    dialog.Close();
  };
  run.actionAfterMs = Real(3000);
  EXPECT_EQ(run.Execute(), IDCANCEL);
  theLanguage.LoadLanguage(L"English");
  ASSERT_EQ(shown.size(), 6u);
  EXPECT_EQ(shown[1].second, L"Kalibrierung läuft ...");
  EXPECT_EQ(shown[3].second, L"Abbrechen");
  EXPECT_EQ(shown[5].second, L"Verbleibende Zeit: 00:05:00");
  for (const auto& [english, text] : shown) {
    if (english == kTextTitle) continue;  // the product's name is the same in every language
    EXPECT_NE(text, english);
  }
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{L"Die Kalibrierung wurde abgebrochen.\nBitte versuchen Sie es erneut."});
}

TEST_F(DialogTest, DeviceThatRefusesToOpenEndsThroughTheWatchdog) {
  SimulatedAudioOptions options;
  options.failOpen = MMSYSERR_ALLOCATED;
  DialogRun run(kFields, options);
  EXPECT_EQ(run.Execute(), IDCANCEL);
  // The number, then what it means.
  ASSERT_EQ(run.Texts(), (std::vector<std::wstring>{
                             L"4\n" + run.audio->GetErrorText(MMSYSERR_ALLOCATED),
                             kTextInterrupted}));
  EXPECT_EQ(run.boxes[0].icon, MessageIcon::Exclamation);
  EXPECT_LE(run.boxes[1].atMs - run.boxes[0].atMs, Real(5000) + 500);
  EXPECT_FALSE(run.StoredValue().has_value());
}

// A stream that breaks, or a count that silently falls behind, ends the run without a value.
TEST_F(DialogTest, BufferBackEarlyOrSamplesLostFailTheRun) {
  SimulatedAudioOptions overrun, dropping;
  overrun.overrunAfterS = 12;
  dropping.dropEveryS = 10;
  dropping.dropMs = 20;
  for (const SimulatedAudioOptions& options : {overrun, dropping}) {
    DialogRun run(kFields, options);
    EXPECT_EQ(run.Execute(), IDCANCEL);
    EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextDidNotSucceed});
    EXPECT_EQ(run.exitStatus, kExitFailed);
    EXPECT_FALSE(run.StoredValue().has_value());
  }
}

TEST_F(DialogTest, EndKeyFinishesEarlyOnceThereIsAResult) {
  SimulatedAudioOptions options;
  options.ppm = -250;
  DialogRun run(kFields, options);
  // Pressed once an interval is evaluated but before any result (the 8th interval), End is
  // forgotten at the next report; pressed again once there is a result, it ends the run at
  // the next report.
  auto press = [](CVeltraneDlg& dialog) {
    wxKeyEvent key(wxEVT_CHAR_HOOK);
    key.m_keyCode = WXK_END;
    key.SetEventObject(&dialog);
    dialog.GetEventHandler()->ProcessEvent(key);
  };
  float firstPressAt = -1, secondPressAt = -1;
  int firstPressIndex = -1;
  wxTimer poll;
  run.action = [&](CVeltraneDlg& dialog) {
    poll.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      const Evaluation& evaluation = dialog.GetEvaluation();
      if (firstPressAt < 0 && evaluation.sampleIndex >= 1 && evaluation.sampleIndex <= 5) {
        firstPressAt = evaluation.measuredSeconds;
        firstPressIndex = evaluation.sampleIndex;
        press(dialog);
      } else if (firstPressAt >= 0 && secondPressAt < 0 &&
                 evaluation.sampleIndex > firstPressIndex && evaluation.median != 0) {
        EXPECT_FALSE(evaluation.finishRequested);
        secondPressAt = evaluation.measuredSeconds;
        press(dialog);
        poll.Stop();
      }
    });
    poll.Start(Real(200));
  };
  run.actionAfterMs = 1;
  EXPECT_EQ(run.Execute(), IDOK);
  poll.Stop();
  ASSERT_GE(firstPressAt, 0);
  ASSERT_GE(secondPressAt, 14.0f);  // a result needs eight intervals of about 2 s
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextSucceeded});
  EXPECT_GT(run.evaluation.measuredSeconds, secondPressAt);
  EXPECT_LE(run.evaluation.measuredSeconds, secondPressAt + 2.5f);
  // An early result of a few intervals in fast time is rough, but it is stored.
  ASSERT_TRUE(run.StoredValue().has_value());
  EXPECT_NEAR(std::stod(*run.StoredValue()), 0.999750, 0.001);
}

// A registry that refuses every value.
class RefusingRegistry : public MemoryRegistry {
 public:
  bool SetStringValue(const RegistryKey&, const std::wstring&, const std::wstring&) override {
    return false;
  }
};

TEST_F(DialogTest, ResultThatCannotBeStoredIsNotCalledASuccess) {
  DialogRun run(kFields);
  run.services.registry = std::make_shared<RefusingRegistry>();
  EXPECT_EQ(run.Execute(), IDCANCEL);
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextNotStored});
}

// A registry whose file cannot be read: every write would fail too.
class UnreadableRegistry : public MemoryRegistry {
 public:
  bool CanStore(const std::wstring&, const std::wstring&, std::wstring& reason) override {
    reason = L"The registry cannot be read.";
    return false;
  }
};

// Found before five minutes of measuring are spent: the run does not start at all.
TEST_F(DialogTest, ValueThatCannotBeStoredEndsBeforeMeasuring) {
  struct Case {
    std::wstring fields;
    std::shared_ptr<Registry> registry;
    std::wstring reason;
  };
  const Case cases[] = {
      {L"Simulated Input;Not set;Input1;English;;44100", nullptr, L"Registry folder not set."},
      {L"Simulated Input;Tuner\\\\Sub;Input1;English;;44100", nullptr,
       L"The registry folder is not a valid key path: one of its levels is empty or holds a line "
       L"break, a NUL or an invalid character."},
      {kFields, std::make_shared<UnreadableRegistry>(), L"The registry cannot be read."},
  };
  for (const auto& c : cases) {
    DialogRun run(c.fields);
    if (c.registry) run.services.registry = c.registry;
    EXPECT_EQ(run.Execute(), IDCANCEL) << c.reason;
    EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextCannotStore + L"\n" + c.reason});
    EXPECT_EQ(run.exitStatus, kExitNotStored) << c.reason;
    EXPECT_FALSE(run.runState) << c.reason;
    EXPECT_EQ(run.audio->opens, 0) << c.reason;
    EXPECT_FALSE(run.registry->KeyExists(L"SOFTWARE")) << c.reason;
  }
}

// Whatever arrives while the first ending's box is open, the run ends once: one box, one
// freeze, the first ending's status.
TEST_F(DialogTest, RunEndsOnceWhateverArrivesLate) {
  struct Case {
    const char* name;
    SimulatedAudioOptions options;
    std::wstring firstBox;
    std::function<void(CVeltraneDlg&)> late;
    int status;
  };
  SimulatedAudioOptions refusing;
  refusing.failOpen = MMSYSERR_ALLOCATED;
  SimulatedAudioOptions overrun;
  overrun.overrunAfterS = 12;
  auto bufferReturned = [](CVeltraneDlg& dialog) {
    dialog.GetRunState()->Post(WM_CAPTURE_BUFFER_RETURNED);
  };
  auto cancel = [](CVeltraneDlg& dialog) { dialog.Close(); };
  const Case cases[] = {
      {"buffer returned after the watchdog", refusing, kTextInterrupted, bufferReturned,
       kExitFailed},
      {"cancel after the watchdog", refusing, kTextInterrupted, cancel, kExitFailed},
      {"cancel after a failed run", overrun, kTextDidNotSucceed, cancel, kExitFailed},
      {"cancel after a success", {}, kTextSucceeded, cancel, kExitStored},
  };
  for (const auto& c : cases) {
    DialogRun run(kFields, c.options);
    run.onBox = [&](const std::wstring& text) {
      if (text == c.firstBox) c.late(*run.current);
    };
    run.Execute();
    std::vector<std::wstring> texts = run.Texts();
    if (!texts.empty() && texts[0] != c.firstBox) texts.erase(texts.begin());  // the error number
    EXPECT_EQ(texts, std::vector<std::wstring>{c.firstBox}) << c.name;
    EXPECT_EQ(run.exitStatus, c.status) << c.name;
  }
}

// A scheduler that notes which thread asks to raise which thread.
class WatchingScheduler : public PosixScheduler {
 public:
  bool SetThreadTimeCritical(ThreadRef thread) override {
    std::lock_guard lock(mutex);
    raised.emplace_back(thread, CurrentThread());
    return PosixScheduler::SetThreadTimeCritical(thread);
  }
  std::mutex mutex;
  std::vector<std::pair<ThreadRef, ThreadRef>> raised;  // raised thread, calling thread
};

// A detached worker may have ended before anyone uses its handle: it raises itself.
TEST_F(DialogTest, WorkerRaisesItsOwnPriority) {
  DialogRun run(kFields);
  auto scheduler = std::make_shared<WatchingScheduler>();
  run.services.platform.scheduler = scheduler;
  run.action = [](CVeltraneDlg& dialog) { dialog.Close(); };
  run.when = [&run](CVeltraneDlg&) { return run.audio->opens > 0; };
  const ThreadRef dialogThread = scheduler->CurrentThread();
  run.Execute();
  std::lock_guard lock(scheduler->mutex);
  ASSERT_EQ(scheduler->raised.size(), 1u);
  EXPECT_EQ(scheduler->raised[0].first, scheduler->raised[0].second);
  EXPECT_NE(scheduler->raised[0].first, dialogThread);
}

TEST_F(DialogTest, WorkerThatCannotStartIsReported) {
  DialogRun run(kFields);
  run.services.launchThread = [](std::function<void()>) { return false; };
  EXPECT_EQ(run.Execute(), IDCANCEL);
  EXPECT_EQ(run.Texts(), std::vector<std::wstring>{kTextCouldNotStart});
}

TEST_F(DialogTest, GraphGivesWayToThePictureAndClicksSwapThem) {
  DialogRun run(kFields);
  std::vector<bool> graphShown;
  run.action = [&](CVeltraneDlg& dialog) {
    wxWindow* graph = dialog.FindWindow(IDC_GRAPH);
    wxWindow* picture = dialog.FindWindow(IDC_PICTURE);
    graphShown.push_back(graph->IsShown());
    EXPECT_NE(graph->IsShown(), picture->IsShown());
    wxMouseEvent click(wxEVT_LEFT_DOWN);
    click.SetEventObject(picture);
    picture->GetEventHandler()->ProcessEvent(click);
    graphShown.push_back(graph->IsShown());
    EXPECT_NE(graph->IsShown(), picture->IsShown());
    graph->GetEventHandler()->ProcessEvent(click);
    graphShown.push_back(graph->IsShown());
    dialog.Close();
  };
  run.actionAfterMs = 300;
  run.Execute();
  EXPECT_EQ(graphShown, (std::vector<bool>{false, true, false}));
}

}  // namespace
}  // namespace veltrane
