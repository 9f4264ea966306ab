#include "support/MessageBox.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "base/Text.h"

namespace veltrane {
namespace {

std::mutex handlerMutex;
MessageBoxHandler handler;
std::wstring applicationName = L"veltrane";

void WriteToStandardError(const std::wstring& text, const std::wstring& caption) {
  const std::string line = ToUtf8(FormatUnattendedMessage(text, caption)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler newHandler) {
  std::lock_guard lock(handlerMutex);
  handler = std::move(newHandler);
}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, MessageIcon icon) {
  MessageBoxHandler current;
  {
    std::lock_guard lock(handlerMutex);
    current = handler;
  }
  if (current) {
    current(text, caption, icon);
  } else {
    WriteToStandardError(text, caption);
  }
}

void SetApplicationName(const std::wstring& name) { applicationName = name; }

std::wstring GetApplicationName() { return applicationName; }

void ShowAppMessageBox(const std::wstring& text, MessageIcon icon) {
  ShowMessageBox(text, applicationName, icon);
}

std::wstring FormatUnattendedMessage(const std::wstring& text, const std::wstring& caption) {
  std::wstring line = L"[" + caption + L"] ";
  for (wchar_t c : text) {
    if (c == L'\r') {
      line += L"\\r";
    } else if (c == L'\n') {
      line += L"\\n";
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace veltrane
