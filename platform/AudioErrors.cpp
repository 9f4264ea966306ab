#include "platform/AudioErrors.h"

namespace veltrane {

std::wstring AudioErrorText(MMResult code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return L"The operation succeeded.";
    case MMSYSERR_ERROR:
      return L"The recording device reported an error.";
    case MMSYSERR_BADDEVICEID:
      return L"The recording device does not exist (any more).";
    case MMSYSERR_ALLOCATED:
      return L"The recording device is in use by another program.";
    case MMSYSERR_INVALHANDLE:
      return L"The recording device is not open.";
    case MMSYSERR_NODRIVER:
      return L"No driver or sound server answers for the recording device.";
    case MMSYSERR_NOMEM:
      return L"There is not enough memory for the recording device.";
    case MMSYSERR_INVALFLAG:
      return L"The recording device does not support an open flag that was given.";
    case MMSYSERR_INVALPARAM:
      return L"A parameter given to the recording device is invalid.";
    case WAVERR_BADFORMAT:
      return L"The recording device cannot record in this format at this sample rate "
             L"without resampling.";
    case WAVERR_STILLPLAYING:
      return L"The buffer is still queued on the recording device.";
    case WAVERR_UNPREPARED:
      return L"The buffer has not been prepared.";
    default:
      return L"Unknown error " + std::to_wstring(code) + L".";
  }
}

}  // namespace veltrane
