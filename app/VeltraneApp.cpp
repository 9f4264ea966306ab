// Start-up: records where the program lives and what it was given, switches the texts to the
// requested language, runs the calibration dialog modally and ends when it closes.

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "app/SystemHooks.h"
#include "support/AppPaths.h"
#include "base/Environment.h"
#include "SharedSources/LanguageSupport.h"
#include "support/MessageBox.h"
#include "startup/CommandLineFields.h"
#include "startup/Startup.h"
#include "support/Trace.h"
#include "app/VeltraneDlg.h"
#include "support/WaitCursor.h"

namespace {

// A worker that is still ending when the dialog closes sees its stop request within one
// cycle; the process does not destroy its static objects under it meanwhile. One that has
// not ended by then is stuck (a sound server that never answers an open): the process ends
// without destroying anything rather than wait for it without limit.
constexpr std::uint32_t kWorkerEndWaitMs = 5000;

const char kUsage[] =
    "Usage: veltrane \"<device>;<folder>;<value prefix>;<language>;<picture>;<rate>\"\n"
    "\n"
    "Measures how fast the recording device delivers samples against the computer's clock\n"
    "and stores the ratio of its real to its nominal rate in the registry.\n"
    "\n"
    "Fields, separated by ';':\n"
    "  device        the recording device's name (its first 31 characters are compared)\n"
    "  folder        the key below HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\n"
    "  value prefix  the start of the stored value's name: <prefix>Calib_<rate>_Of <device>\n"
    "  language      the language of the texts (English, Deutsch, Fran\xc3\xa7" "ais or a file)\n"
    "  picture       a picture shown in place of the graph (may be empty)\n"
    "  rate          the nominal sample rate in Hz\n"
    "\n"
    "Environment:\n"
    "  VELTRANE_AUDIO=simulated[:options]  the simulated recording device replaces the real ones\n"
    "  VELTRANE_TIME_SCALE=N               with it, time runs N times faster\n"
    "  VELTRANE_REGISTRY_FILE=path         the file that holds the current user's registry\n"
    "  VELTRANE_TRACE=path or -            trace lines to that file or to standard error\n"
    "  VELTRANE_UNATTENDED=1               message boxes go to standard error, answered OK\n"
    "\n"
    "Exit status: 0 the value was stored, 1 canceled by the user, 2 bad parameters (no such\n"
    "device, rate not supported), 3 the device failed or the calibration did not succeed,\n"
    "4 the value could not be stored.\n";

// The process's exit status; set by start-up from how the dialog ended.
int exitStatus = veltrane::kExitFailed;

bool Unattended() { return veltrane::Environment("VELTRANE_UNATTENDED") == "1"; }

// The arguments as the process got them: wxWidgets decodes its own copy with the process
// locale, which under LC_ALL=C turns every non-ASCII field into something else.
int rawArgumentCount = 0;
char** rawArguments = nullptr;

std::wstring ApplicationName(const std::wstring& executablePath) {
  std::wstring name = executablePath.substr(executablePath.rfind(veltrane::kPathSeparator) + 1);
  const auto dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.erase(dot);
  return name.empty() ? L"veltrane" : name;
}

wxWindow* ShownTopLevelWindow() {
  for (wxWindow* window : wxTopLevelWindows) {
    if (window->IsShown()) return window;
  }
  return nullptr;
}

void ShowWxMessageBox(const std::wstring& text, const std::wstring& caption,
                      veltrane::MessageIcon icon) {
  long style = wxOK | wxCENTRE;
  if (icon == veltrane::MessageIcon::Information) style |= wxICON_INFORMATION;
  if (icon == veltrane::MessageIcon::Exclamation) style |= wxICON_EXCLAMATION;
  wxMessageBox(text, caption, style, ShownTopLevelWindow());
}

}  // namespace

class CVeltraneApp : public wxApp {
 public:
  bool OnInit() override;
};

bool CVeltraneApp::OnInit() {
  veltrane::EndWhenTheDisplayIsLost();
  const std::wstring executable = veltrane::ExecutablePath();
  veltrane::SetModuleDirectory(executable);
  const veltrane::CommandLineFields fields = veltrane::ReadCommandLineFields(
      veltrane::JoinArguments(veltrane::CommandLineArguments(rawArgumentCount, rawArguments)));

  veltrane::SetApplicationName(ApplicationName(executable));
  if (!Unattended()) veltrane::SetMessageBoxHandler(ShowWxMessageBox);
  veltrane::SetWaitCursorHooks([] { wxBeginBusyCursor(); }, [] { wxEndBusyCursor(); });

  // The language store stays the one global of start-up: the tuner's code shares it.
  veltrane::theLanguage.LoadLanguage(fields.language);

  veltrane::DialogServices services;
  std::wstring error;
  if (!veltrane::MakePlatformServices(services.platform, error)) {
    exitStatus = veltrane::kExitBadParameters;
    veltrane::ShowAppMessageBox(error, veltrane::MessageIcon::Exclamation);
    return false;
  }
  services.registry = veltrane::MakeUserRegistry();
  services.reportProgress = Unattended();

  std::shared_ptr<veltrane::RunState> runState;
  {
    CVeltraneDlg dialog(services, fields);
    SetTopWindow(&dialog);
    dialog.DoModal();
    exitStatus = dialog.GetExitStatus();
    runState = dialog.GetRunState();
  }
  if (runState && !runState->WaitForWorkerEnd(kWorkerEndWaitMs)) {
    veltrane::Trace(L"TR_CALIBRATION", L"The worker did not end; the process ends without it",
                    L"VeltraneApp", __LINE__);
    std::fflush(nullptr);
    _exit(exitStatus);
  }
  return false;
}

wxIMPLEMENT_APP_NO_MAIN(CVeltraneApp);

namespace {

// A failed wxWidgets assertion would stop at a breakpoint (Windows, where nothing catches it)
// or ask in a box nobody answers: it is written out instead, and the run ends as one that
// could not go on. On Windows it is what a desktop without a display driver does first.
void EndOnFailedAssertion(const wxString& file, int line, const wxString& function,
                          const wxString& condition, const wxString& message) {
  const wxString text = wxString::Format("%s(%d): %s: assertion \"%s\" failed%s%s", file, line,
                                         function, condition, message.empty() ? "" : ": ", message);
  std::fprintf(stderr, "veltrane: the window system failed: %s\n", text.utf8_str().data());
  veltrane::Trace(L"TR_CALIBRATION", L"Failed assertion: " + text.ToStdWstring(), L"VeltraneApp",
                  __LINE__);
  std::fflush(nullptr);
  _exit(veltrane::kExitFailed);
}

}  // namespace

int main(int argc, char** argv) {
  veltrane::OpenClosedStandardDescriptors();
  wxSetAssertHandler(EndOnFailedAssertion);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    veltrane::WriteToTheStartingConsole();
    std::fputs(kUsage, stdout);
    return 0;
  }
  rawArgumentCount = argc;
  rawArguments = argv;
  wxEntry(argc, argv);
  // The tuner reads the stored value; scripts and callers read this.
  return exitStatus;
}
