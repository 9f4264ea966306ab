#pragma once
// Every message box of the program goes through this seam. The GUI puts wxMessageBox
// behind it; with VELTRANE_UNATTENDED=1 (and before the GUI sets a handler) each box is
// written to standard error as one line "[<caption>] <text>", carriage returns written as
// "\r" and line feeds as "\n", and answered with OK at once. Tests put their own handler.

#include <functional>
#include <string>

namespace veltrane {

enum class MessageIcon { None, Information, Exclamation };

using MessageBoxHandler =
    std::function<void(const std::wstring& text, const std::wstring& caption, MessageIcon icon)>;

// Replaces the handler; an empty function restores the standard-error form. Call it while no
// box can be shown (start-up, tests).
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows a modal box with an OK button and returns when it is closed. Called on the thread
// that owns the GUI (the calibration worker relays its boxes there).
void ShowMessageBox(const std::wstring& text, const std::wstring& caption, MessageIcon icon);

// The caption of the program's own boxes: the executable's name without directory or
// extension. Set once at start-up.
void SetApplicationName(const std::wstring& name);
std::wstring GetApplicationName();

// Shows a box captioned with the application's name.
void ShowAppMessageBox(const std::wstring& text, MessageIcon icon);

// The one-line form of a box for standard error, without the line end.
std::wstring FormatUnattendedMessage(const std::wstring& text, const std::wstring& caption);

}  // namespace veltrane
