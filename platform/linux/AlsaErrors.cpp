#include "platform/linux/AlsaErrors.h"

#include <alsa/asoundlib.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "base/Text.h"

namespace veltrane {
namespace {

// The device threads keep ALSA's latest diagnostic so that a failed open can say more than
// the error code.
thread_local std::string lastAlsaMessage;

void KeepAlsaMessage(const char* file, int line, const char* function, int error,
                     const char* format, ...) {
  (void)file;
  (void)line;
  (void)function;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  lastAlsaMessage = text;
  while (!lastAlsaMessage.empty() &&
         std::isspace(static_cast<unsigned char>(lastAlsaMessage.back()))) {
    lastAlsaMessage.pop_back();
  }
  if (error != 0) lastAlsaMessage += std::string(": ") + snd_strerror(error);
}

}  // namespace

void ErrorDetails::Set(MMResult code, std::wstring detail) {
  std::lock_guard<std::mutex> lock(mutex);
  details[code] = std::move(detail);
}

std::wstring ErrorDetails::Get(MMResult code) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = details.find(code);
  return found == details.end() ? std::wstring() : found->second;
}

MMResult OpenErrorCode(int error) {
  switch (-error) {
    case EBUSY:
      return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MMSYSERR_BADDEVICEID;
    case ECONNREFUSED:
    case EHOSTDOWN:
    case ENOTCONN:
      return MMSYSERR_NODRIVER;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;
  }
}

void InstallAlsaMessageHook() {
  static std::once_flag installed;
  std::call_once(installed, [] { snd_lib_error_set_handler(&KeepAlsaMessage); });
}

void ClearAlsaMessage() { lastAlsaMessage.clear(); }

std::wstring FailureDetail(const std::string& pcmName, const std::wstring& what,
                           const char* call, int error) {
  std::wstring detail = FromUtf8(pcmName) + L": " + what;
  if (call != nullptr && *call != '\0') detail += L": " + FromUtf8(call);
  if (error != 0) detail += L": " + FromUtf8(snd_strerror(error));
  if (!lastAlsaMessage.empty()) detail += L" [" + FromUtf8(lastAlsaMessage) + L"]";
  return detail;
}

}  // namespace veltrane
