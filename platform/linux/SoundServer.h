#pragma once

#include <string>

namespace veltrane {

// The name the sound server behind ALSA's "pulse" device gives itself, as its PulseAudio
// protocol tells ("pulseaudio", or "PulseAudio (on PipeWire 0.3.65)" from pipewire-pulse);
// empty when no server answers within about a second. Never starts a server.
std::string SoundServerName();

// Whether that name is PipeWire's.
bool IsPipeWire(const std::string& serverName);

}  // namespace veltrane
