#pragma once
// Every fixed English text that the program shows through Translate. The dialog shows these
// very strings, and the tests check that each shipped language file translates every
// sentence of them, so a text changed here without its translations is noticed.

#include <string>

namespace veltrane {

// Window title.
inline const std::wstring kTextTitle = L"Veltrane";
inline const std::wstring kTextIntroduction =
    L"Every recording device needs to be calibrated before it can be used with the tuner. "
    L"The calibration does not need an external sound signal. "
    L"The calibration takes a few minutes, but it can take considerably longer if your "
    L"computer is busy with other things. "
    L"If the calibration takes too long, close all other applications that could slow down "
    L"your computer and restart the calibration.";
inline const std::wstring kTextWarning =
    L"!! Don't click on anything during this calibration !!\r\nIf you do, it will take longer.";
inline const std::wstring kTextCancel = L"Cancel";
// Joined with the time as "%s: %s".
inline const std::wstring kTextTimeLeft = L"Time left";
inline const std::wstring kTextCalibrating = L"Calibrating ...";
inline const std::wstring kTextSucceeded = L"The calibration succeeded";
inline const std::wstring kTextNoDevice =
    L"This sound input cannot be calibrated.\nThe calibration is canceled.";
inline const std::wstring kTextRateUnsupported =
    L"The sample rate is not supported.\nThe calibration is canceled.";
inline const std::wstring kTextCouldNotStart =
    L"The calibration could not start.\nPlease try again.";
inline const std::wstring kTextDidNotSucceed =
    L"The calibration did not succeed.\nPlease try again.";
inline const std::wstring kTextCanceled = L"The calibration is canceled.\nPlease try again.";
inline const std::wstring kTextInterrupted =
    L"The calibration was interrupted.\nPlease try again.";
// A measured result that could not be written must not be announced as a success.
inline const std::wstring kTextNotStored = L"The result could not be stored.\nPlease try again.";
// Found before measuring; the cause follows on a line of its own.
inline const std::wstring kTextCannotStore = L"The result cannot be stored.";

// All of them; addresses, so the list needs no initialisation order of its own.
inline const std::wstring* const kProgramTexts[] = {
    &kTextTitle,         &kTextIntroduction,    &kTextWarning,       &kTextCancel,
    &kTextTimeLeft,      &kTextCalibrating,     &kTextSucceeded,     &kTextNoDevice,
    &kTextRateUnsupported, &kTextCouldNotStart, &kTextDidNotSucceed, &kTextCanceled,
    &kTextInterrupted,   &kTextNotStored,       &kTextCannotStore,
};

}  // namespace veltrane
