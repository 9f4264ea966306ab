// Start-up: records where the program lives and what it was given, switches the texts to the
// requested language, runs the calibration dialog modally and ends when it closes.

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <string>

#include "AppPaths.h"
#include "Environment.h"
#include "LanguageSupport.h"
#include "MessageBox.h"
#include "Services.h"
#include "VeltraneDlg.h"
#include "WaitCursor.h"

namespace {

// A worker that is still ending when the dialog closes sees its stop request within one
// cycle; the process does not destroy its static objects under it meanwhile.
constexpr std::uint32_t kWorkerEndWaitMs = 5000;

bool Unattended() { return veltrane::Environment("VELTRANE_UNATTENDED") == "1"; }

// The arguments as the process got them: wxWidgets decodes its own copy with the process
// locale, which under LC_ALL=C turns every non-ASCII field into something else.
int rawArgumentCount = 0;
char** rawArguments = nullptr;

std::wstring ApplicationName(const std::wstring& executablePath) {
  std::wstring name = executablePath.substr(executablePath.rfind(L'/') + 1);
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
  const std::wstring executable = veltrane::ExecutablePath();
  veltrane::SetModuleDirectory(executable);
  veltrane::SetCommandLineText(veltrane::JoinArguments(rawArgumentCount, rawArguments));

  veltrane::SetApplicationName(ApplicationName(executable));
  if (!Unattended()) veltrane::SetMessageBoxHandler(ShowWxMessageBox);
  veltrane::SetWaitCursorHooks([] { wxBeginBusyCursor(); }, [] { wxEndBusyCursor(); });

  veltrane::theLanguage.LoadLanguage(veltrane::GetCommandLineField(3));

  veltrane::DialogServices services;
  std::wstring error;
  if (!veltrane::MakePlatformServices(services.platform, error)) {
    veltrane::ShowAppMessageBox(error, veltrane::MessageIcon::Exclamation);
    return false;
  }
  services.registry = veltrane::MakeUserRegistry();

  std::shared_ptr<veltrane::RunState> runState;
  {
    CVeltraneDlg dialog(services);
    SetTopWindow(&dialog);
    dialog.DoModal();
    runState = dialog.GetRunState();
  }
  if (runState) runState->WaitForWorkerEnd(kWorkerEndWaitMs);
  return false;
}

wxIMPLEMENT_APP_NO_MAIN(CVeltraneApp);

int main(int argc, char** argv) {
  // The outcome reaches the tuner only through the stored value: no exit status of our own.
  rawArgumentCount = argc;
  rawArguments = argv;
  wxEntry(argc, argv);
  return 0;
}
