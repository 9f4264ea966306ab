#pragma once
// Text helpers shared by every folder: UTF-8 conversion at the program's edges and
// printf-style formatting that does not depend on the process locale (GTK switches the
// C locale to the user's, which would turn "0.999750" into "0,999750").

#include <string>

namespace veltrane {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// swprintf-style formatting in the "C" locale whatever the process locale is. Empty when the
// text cannot be formed: longer than about a million characters, or a narrow "%s" or "%c"
// argument outside ASCII (pass wide texts with "%ls").
std::wstring FormatText(const wchar_t* format, ...);

}  // namespace veltrane
