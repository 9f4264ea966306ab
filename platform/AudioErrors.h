#pragma once
// What each recording result code means, in one text per code for every back end that
// does not have the system's own texts. A back end may add what it learnt of the cause.

#include <string>

#include "platform/Audio.h"

namespace veltrane {

// One sentence; for a code it does not know, "Unknown error <code>.".
std::wstring AudioErrorText(MMResult code);

}  // namespace veltrane
