// Start-up: records where the program lives and what it was given, switches the texts to the
// requested language, runs the calibration dialog modally and ends when it closes.

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <cstdlib>
#include <string>

#include "AppPaths.h"
#include "LanguageSupport.h"
#include "MessageBox.h"
#include "Platform.h"
#include "VeltraneDlg.h"
#include "WaitCursor.h"

namespace {

// A worker that is still ending when the dialog closes sees its stop request within one
// cycle; the process does not destroy its static objects under it meanwhile.
constexpr std::uint32_t kWorkerEndWaitMs = 5000;

bool Unattended() {
  const char* value = std::getenv("VELTRANE_UNATTENDED");
  return value != nullptr && std::string(value) == "1";
}

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
  std::wstring commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += L' ';
    commandLine += argv[i].ToStdWstring();
  }
  veltrane::SetCommandLineText(commandLine);

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
  wxEntry(argc, argv);
  return 0;
}
