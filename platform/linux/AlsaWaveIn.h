#pragma once
// One open ALSA recording device: a reader thread of its own opens the stream, starts,
// drains, stops and closes it, and hands buffers back through the callback; the opening thread
// sends it commands and waits for their results.

#include <memory>
#include <string>

#include "platform/Audio.h"
#include "platform/linux/AlsaCalls.h"
#include "platform/linux/AlsaErrors.h"

namespace veltrane {

struct AlsaStreamRequest {
  std::string pcmName;
  unsigned rate = 0;
  unsigned periodMicroseconds = 0;
};

// Opens the device that request names. On failure device stays empty, and errors holds the
// detail for the returned code.
MMResult OpenAlsaWaveIn(const AlsaCalls& calls, const AlsaStreamRequest& request,
                        WaveInCompletion callback, std::shared_ptr<ErrorDetails> errors,
                        std::unique_ptr<WaveInDevice>& device);

}  // namespace veltrane
