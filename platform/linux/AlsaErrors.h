#pragma once
// What the ALSA back end tells about a failure: the texts of the result codes, the latest
// detail per code (shown after the code's text), and ALSA's own diagnostics, which it hands to
// one process-wide hook.

#include <map>
#include <mutex>
#include <string>

#include "platform/Audio.h"

namespace veltrane {

// The latest failure detail per result code. Any thread.
class ErrorDetails {
 public:
  void Set(MMResult code, std::wstring detail);
  std::wstring Get(MMResult code);

 private:
  std::mutex mutex;
  std::map<MMResult, std::wstring> details;
};

// The result code for an ALSA error while a device is opened or started.
MMResult OpenErrorCode(int error);

// Installs the hook that keeps ALSA's latest diagnostic for the calling thread; nothing is
// printed. Once per process, whoever calls it.
void InstallAlsaMessageHook();

// Forgets the calling thread's latest diagnostic, before a call whose own is wanted.
void ClearAlsaMessage();

// "<pcm>: <what>: <call>: <ALSA's text for error>", then the thread's latest diagnostic in
// brackets; the call and the error text are left out where they are empty or 0.
std::wstring FailureDetail(const std::string& pcmName, const std::wstring& what,
                           const char* call, int error);

}  // namespace veltrane
