// Records from an ALSA device and prints every step of its position as it is seen: the
// CLOCK_MONOTONIC time of the look in nanoseconds and the frames captured so far, one line a
// step. It opens the device as AlsaAudio does (8-bit mono, no resampling, a 10 ms period and
// a 4 s ring buffer unless told otherwise), so that bench/step-envelope.py can find the
// device's true rate and the samples a sound server lost, which the engine cannot see yet.
// Usage: step_probe <device> <rate> <seconds> [period µs] [buffer µs]
#include <alsa/asoundlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int Fail(const char* what, int error) {
  std::fprintf(stderr, "step_probe: %s: %s\n", what, snd_strerror(error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <device> <rate> <seconds> [period us] [buffer us]\n", argv[0]);
    return 2;
  }
  const unsigned rate = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const double seconds = std::strtod(argv[3], nullptr);
  unsigned periodTime = argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : 10'000;
  unsigned bufferTime = argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : 4'000'000;

  snd_pcm_t* opened = nullptr;
  int error = snd_pcm_open(&opened, argv[1], SND_PCM_STREAM_CAPTURE, 0);
  if (error < 0) return Fail("open", error);
  Pcm pcm(opened);

  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_hw_params_any(pcm.get(), hw);
  snd_pcm_hw_params_set_access(pcm.get(), hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  snd_pcm_hw_params_set_format(pcm.get(), hw, SND_PCM_FORMAT_U8);
  snd_pcm_hw_params_set_channels(pcm.get(), hw, 1);
  snd_pcm_hw_params_set_rate_resample(pcm.get(), hw, 0);
  if ((error = snd_pcm_hw_params_set_rate(pcm.get(), hw, rate, 0)) < 0) return Fail("rate", error);
  int direction = 0;
  snd_pcm_hw_params_set_period_time_near(pcm.get(), hw, &periodTime, &direction);
  direction = 0;
  snd_pcm_hw_params_set_buffer_time_near(pcm.get(), hw, &bufferTime, &direction);
  if ((error = snd_pcm_hw_params(pcm.get(), hw)) < 0) return Fail("configure", error);
  snd_pcm_uframes_t periodFrames = 0;
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_hw_params_get_period_size(hw, &periodFrames, &direction);
  snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);
  std::printf("# device %s rate %u period %lu frames buffer %lu frames\n", argv[1], rate,
              static_cast<unsigned long>(periodFrames), static_cast<unsigned long>(bufferFrames));

  if ((error = snd_pcm_start(pcm.get())) < 0) return Fail("start", error);
  std::vector<unsigned char> sink(bufferFrames);
  std::uint64_t drained = 0;
  std::uint64_t last = 0;
  const std::int64_t end = NowNs() + static_cast<std::int64_t>(seconds * 1e9);
  while (NowNs() < end) {
    snd_pcm_wait(pcm.get(), 100);
    const std::int64_t seen = NowNs();
    const snd_pcm_sframes_t available = snd_pcm_avail(pcm.get());
    // An overrun ends the probe: it is the kind of loss that ALSA does report.
    if (available < 0) return Fail("avail", static_cast<int>(available));
    const std::uint64_t position = drained + static_cast<std::uint64_t>(available);
    if (position != last) {
      std::printf("%lld %llu\n", static_cast<long long>(seen), static_cast<unsigned long long>(position));
      last = position;
    }
    if (available == 0) continue;
    const snd_pcm_sframes_t read = snd_pcm_readi(pcm.get(), sink.data(), static_cast<snd_pcm_uframes_t>(available));
    if (read < 0) return Fail("read", static_cast<int>(read));
    drained += static_cast<std::uint64_t>(read);
  }
  return 0;
}
