#include <wx/wx.h>

#include "AppPaths.h"

class CVeltraneApp : public wxApp {
 public:
  bool OnInit() override {
    veltrane::SetModuleDirectory(veltrane::ExecutablePath());
    std::wstring text;
    for (int i = 1; i < argc; ++i) {
      if (i > 1) text += L' ';
      text += argv[i].ToStdWstring();
    }
    veltrane::SetCommandLineText(text);
    return false;
  }
};

wxIMPLEMENT_APP(CVeltraneApp);
