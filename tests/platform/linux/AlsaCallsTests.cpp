// The ALSA back end against a stand-in for ALSA (its AlsaCalls): a capture device that
// delivers silence at its nominal rate on the system's clock, and that makes any one call fail
// on request. Needs no sound card and no sound server.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "base/NormalThread.h"
#include "base/Text.h"
#include "platform/linux/AlsaAudio.h"
#include "platform/linux/AlsaCalls.h"
#include "platform/linux/PosixClock.h"
#include "tests/platform/AudioContract.h"

namespace veltrane {
namespace {

constexpr std::uint32_t kRate = 44100;
constexpr snd_pcm_uframes_t kPeriodFrames = 441;
constexpr snd_pcm_uframes_t kRingFrames = 4 * kRate;

// The one stream the stand-in offers, under "pulse", and what was taken and given back.
struct FakeAlsa {
  std::mutex mutex;
  std::string failing;  // the call that fails, with error
  int error = 0;
  bool broken = false;  // the stream breaks off, as when its server dies
  int opens = 0, closes = 0, hwAllocs = 0, hwFrees = 0, swAllocs = 0, swFrees = 0;
  unsigned rate = 0;
  bool running = false;
  std::chrono::steady_clock::time_point started;
  std::uint64_t read = 0;

  void Reset() {
    std::lock_guard lock(mutex);
    failing.clear();
    error = 0;
    broken = running = false;
    opens = closes = hwAllocs = hwFrees = swAllocs = swFrees = 0;
    read = 0;
  }
  bool Fails(const char* call) {
    std::lock_guard lock(mutex);
    return failing == call;
  }
  // Whole periods delivered since the start and not read yet.
  snd_pcm_sframes_t Waiting() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto delivered = static_cast<std::uint64_t>(seconds * rate) / kPeriodFrames * kPeriodFrames;
    return static_cast<snd_pcm_sframes_t>(delivered - read);
  }
};

FakeAlsa fake;
int pcmToken;
snd_pcm_t* const kPcm = reinterpret_cast<snd_pcm_t*>(&pcmToken);

#define FAIL_AS(call) \
  if (fake.Fails(#call)) return fake.error

char* FakeHint(const void*, const char* field) {
  if (std::strcmp(field, "NAME") == 0) return strdup("pulse");
  if (std::strcmp(field, "DESC") == 0) return strdup("PulseAudio Sound Server");
  return nullptr;
}

void* theHints[] = {&pcmToken, nullptr};

AlsaCalls FakeCalls() {
  AlsaCalls calls = RealAlsaCalls();
  calls.snd_card_next = [](int* card) { *card = -1; return 0; };
  calls.snd_device_name_hint = [](int, const char*, void*** hints) { *hints = theHints; return 0; };
  calls.snd_device_name_get_hint = FakeHint;
  calls.snd_device_name_free_hint = [](void**) { return 0; };
  calls.snd_pcm_open = [](snd_pcm_t** pcm, const char*, snd_pcm_stream_t, int) {
    FAIL_AS(snd_pcm_open);
    std::lock_guard lock(fake.mutex);
    ++fake.opens;
    *pcm = kPcm;
    return 0;
  };
  calls.snd_pcm_close = [](snd_pcm_t*) {
    std::lock_guard lock(fake.mutex);
    ++fake.closes;
    return 0;
  };
  calls.snd_pcm_info = [](snd_pcm_t*, snd_pcm_info_t*) { return -ENOENT; };  // no card below
  calls.snd_pcm_hw_params_malloc = [](snd_pcm_hw_params_t** params) {
    FAIL_AS(snd_pcm_hw_params_malloc);
    ++fake.hwAllocs;
    return snd_pcm_hw_params_malloc(params);
  };
  calls.snd_pcm_hw_params_free = [](snd_pcm_hw_params_t* params) {
    ++fake.hwFrees;
    snd_pcm_hw_params_free(params);
  };
  calls.snd_pcm_hw_params_any = [](snd_pcm_t*, snd_pcm_hw_params_t*) {
    FAIL_AS(snd_pcm_hw_params_any);
    return 0;
  };
  calls.snd_pcm_hw_params_set_rate_resample = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned) {
    FAIL_AS(snd_pcm_hw_params_set_rate_resample);
    return 0;
  };
  calls.snd_pcm_hw_params_set_access = [](snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_access_t) {
    FAIL_AS(snd_pcm_hw_params_set_access);
    return 0;
  };
  calls.snd_pcm_hw_params_set_format = [](snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_format_t) {
    FAIL_AS(snd_pcm_hw_params_set_format);
    return 0;
  };
  calls.snd_pcm_hw_params_set_channels = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned) {
    FAIL_AS(snd_pcm_hw_params_set_channels);
    return 0;
  };
  calls.snd_pcm_hw_params_set_rate = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned rate, int) {
    FAIL_AS(snd_pcm_hw_params_set_rate);
    fake.rate = rate;
    return 0;
  };
  calls.snd_pcm_hw_params_set_period_time_near = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned*,
                                                    int*) {
    FAIL_AS(snd_pcm_hw_params_set_period_time_near);
    return 0;
  };
  calls.snd_pcm_hw_params_set_buffer_time_near = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned*,
                                                    int*) {
    FAIL_AS(snd_pcm_hw_params_set_buffer_time_near);
    return 0;
  };
  calls.snd_pcm_hw_params = [](snd_pcm_t*, snd_pcm_hw_params_t*) {
    FAIL_AS(snd_pcm_hw_params);
    return 0;
  };
  calls.snd_pcm_hw_params_get_rate = [](const snd_pcm_hw_params_t*, unsigned* rate, int* dir) {
    FAIL_AS(snd_pcm_hw_params_get_rate);
    *rate = fake.rate;
    *dir = 0;
    return 0;
  };
  calls.snd_pcm_hw_params_get_period_size = [](const snd_pcm_hw_params_t*,
                                               snd_pcm_uframes_t* frames, int*) {
    *frames = kPeriodFrames;
    return 0;
  };
  calls.snd_pcm_hw_params_get_buffer_size = [](const snd_pcm_hw_params_t*,
                                               snd_pcm_uframes_t* frames) {
    *frames = kRingFrames;
    return 0;
  };
  calls.snd_pcm_sw_params_malloc = [](snd_pcm_sw_params_t** params) {
    FAIL_AS(snd_pcm_sw_params_malloc);
    ++fake.swAllocs;
    return snd_pcm_sw_params_malloc(params);
  };
  calls.snd_pcm_sw_params_free = [](snd_pcm_sw_params_t* params) {
    ++fake.swFrees;
    snd_pcm_sw_params_free(params);
  };
  calls.snd_pcm_sw_params_current = [](snd_pcm_t*, snd_pcm_sw_params_t*) {
    FAIL_AS(snd_pcm_sw_params_current);
    return 0;
  };
  calls.snd_pcm_sw_params_get_boundary = [](const snd_pcm_sw_params_t*, snd_pcm_uframes_t* b) {
    FAIL_AS(snd_pcm_sw_params_get_boundary);
    *b = 1 << 30;
    return 0;
  };
  calls.snd_pcm_sw_params_set_avail_min = [](snd_pcm_t*, snd_pcm_sw_params_t*, snd_pcm_uframes_t) {
    FAIL_AS(snd_pcm_sw_params_set_avail_min);
    return 0;
  };
  calls.snd_pcm_sw_params_set_start_threshold = [](snd_pcm_t*, snd_pcm_sw_params_t*,
                                                   snd_pcm_uframes_t) {
    FAIL_AS(snd_pcm_sw_params_set_start_threshold);
    return 0;
  };
  calls.snd_pcm_sw_params_set_stop_threshold = [](snd_pcm_t*, snd_pcm_sw_params_t*,
                                                  snd_pcm_uframes_t) {
    FAIL_AS(snd_pcm_sw_params_set_stop_threshold);
    return 0;
  };
  calls.snd_pcm_sw_params = [](snd_pcm_t*, snd_pcm_sw_params_t*) {
    FAIL_AS(snd_pcm_sw_params);
    return 0;
  };
  calls.snd_pcm_poll_descriptors_count = [](snd_pcm_t*) {
    FAIL_AS(snd_pcm_poll_descriptors_count);
    return 1;
  };
  calls.snd_pcm_poll_descriptors = [](snd_pcm_t*, pollfd* descriptors, unsigned) {
    FAIL_AS(snd_pcm_poll_descriptors);
    descriptors[0] = pollfd{-1, POLLIN, 0};  // poll passes over it
    return 1;
  };
  calls.snd_pcm_poll_descriptors_revents = [](snd_pcm_t*, pollfd*, unsigned,
                                              unsigned short* revents) {
    *revents = 0;
    return 0;
  };
  calls.snd_pcm_state = [](snd_pcm_t*) {
    std::lock_guard lock(fake.mutex);
    return fake.running ? SND_PCM_STATE_RUNNING : SND_PCM_STATE_PREPARED;
  };
  calls.snd_pcm_prepare = [](snd_pcm_t*) { return 0; };
  calls.snd_pcm_start = [](snd_pcm_t*) {
    FAIL_AS(snd_pcm_start);
    std::lock_guard lock(fake.mutex);
    fake.running = true;
    fake.started = std::chrono::steady_clock::now();
    fake.read = 0;
    return 0;
  };
  calls.snd_pcm_drop = [](snd_pcm_t*) {
    std::lock_guard lock(fake.mutex);
    fake.running = false;
    return 0;
  };
  calls.snd_pcm_avail = [](snd_pcm_t*) -> snd_pcm_sframes_t {
    std::lock_guard lock(fake.mutex);
    if (fake.broken) return -EPIPE;
    return fake.running ? fake.Waiting() : 0;
  };
  calls.snd_pcm_readi = [](snd_pcm_t*, void* buffer, snd_pcm_uframes_t frames) -> snd_pcm_sframes_t {
    std::lock_guard lock(fake.mutex);
    const auto count = std::min<snd_pcm_uframes_t>(frames, static_cast<snd_pcm_uframes_t>(fake.Waiting()));
    if (count == 0) return -EAGAIN;
    std::memset(buffer, 0x80, count);
    fake.read += count;
    return static_cast<snd_pcm_sframes_t>(count);
  };
  calls.eventfd = [](unsigned initial, int flags) {
    if (fake.Fails("eventfd")) {
      errno = EMFILE;
      return -1;
    }
    return ::eventfd(initial, flags);
  };
  // Looks again at least every period, as the stream's own descriptor would wake it.
  calls.poll = [](pollfd* descriptors, nfds_t count, int timeout) {
    return ::poll(descriptors, count, std::min(timeout, 10));
  };
  calls.startThread = [](NormalThread& thread, std::function<void()> body) {
    return !fake.Fails("startThread") && thread.Start(std::move(body));
  };
  return calls;
}

const AlsaCalls& Calls() {
  static const AlsaCalls calls = FakeCalls();
  return calls;
}

int OpenDescriptors() {
  int count = 0;
  DIR* folder = opendir("/proc/self/fd");
  while (folder != nullptr && readdir(folder) != nullptr) ++count;
  if (folder != nullptr) closedir(folder);
  return count;
}

WaveFormat Format() {
  WaveFormat format;
  format.samplesPerSec = kRate;
  format.avgBytesPerSec = kRate;
  return format;
}

struct FailingCall {
  const char* call;
  int error;
  MMResult expected;
  const char* said;  // in the error text
  bool atStart = false;  // fails Start rather than Open
};

class AlsaFailingCallTest : public ::testing::TestWithParam<FailingCall> {};

TEST_P(AlsaFailingCallTest, SaysWhichCallFailedAndKeepsNothing) {
  const FailingCall& row = GetParam();
  fake.Reset();
  const int descriptors = OpenDescriptors();
  {
    AlsaAudio audio(Calls());
    ASSERT_EQ(audio.GetNumDevs(), 1u);
    if (!row.atStart) fake.failing = row.call;
    fake.error = row.error;
    std::unique_ptr<WaveInDevice> device;
    const MMResult opened =
        audio.Open(device, 0, Format(), [](WaveInDevice*, std::uint32_t, WaveHeader*) {},
                   CALLBACK_FUNCTION);
    MMResult result = opened;
    if (row.atStart) {
      ASSERT_EQ(opened, MMSYSERR_NOERROR);
      fake.failing = row.call;
      result = device->Start();
    } else {
      EXPECT_EQ(device == nullptr, row.expected != MMSYSERR_NOERROR);
    }
    EXPECT_EQ(result, row.expected);
    if (row.expected != MMSYSERR_NOERROR) {
      const std::wstring text = audio.GetErrorText(row.expected);
      EXPECT_NE(text.find(FromUtf8(row.said)), std::wstring::npos) << ::testing::PrintToString(text);
    }
  }
  EXPECT_EQ(fake.opens, fake.closes);
  EXPECT_EQ(fake.hwAllocs, fake.hwFrees);
  EXPECT_EQ(fake.swAllocs, fake.swFrees);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor was left open";
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, AlsaFailingCallTest,
    ::testing::Values(
        FailingCall{"snd_pcm_open", -ENOENT, MMSYSERR_BADDEVICEID, "pulse: cannot open: snd_pcm_open: No such file"},
        FailingCall{"snd_pcm_open", -EBUSY, MMSYSERR_ALLOCATED, "snd_pcm_open"},
        FailingCall{"snd_pcm_open", -ECONNREFUSED, MMSYSERR_NODRIVER, "snd_pcm_open"},
        FailingCall{"snd_pcm_hw_params_malloc", -ENOMEM, MMSYSERR_NOMEM, "snd_pcm_hw_params_malloc"},
        FailingCall{"snd_pcm_hw_params_any", -EINVAL, MMSYSERR_ERROR, "snd_pcm_hw_params_any: Invalid argument"},
        FailingCall{"snd_pcm_hw_params_set_rate_resample", -EINVAL, MMSYSERR_ERROR, "snd_pcm_hw_params_set_rate_resample"},
        FailingCall{"snd_pcm_hw_params_set_access", -EINVAL, WAVERR_BADFORMAT, "snd_pcm_hw_params_set_access"},
        FailingCall{"snd_pcm_hw_params_set_format", -EINVAL, WAVERR_BADFORMAT, "snd_pcm_hw_params_set_format"},
        FailingCall{"snd_pcm_hw_params_set_channels", -EINVAL, WAVERR_BADFORMAT, "snd_pcm_hw_params_set_channels"},
        FailingCall{"snd_pcm_hw_params_set_rate", -EINVAL, WAVERR_BADFORMAT, "44100 Hz without resampling: snd_pcm_hw_params_set_rate"},
        FailingCall{"snd_pcm_hw_params_set_period_time_near", -EINVAL, MMSYSERR_NOERROR, ""},
        FailingCall{"snd_pcm_hw_params_set_buffer_time_near", -EINVAL, MMSYSERR_NOERROR, ""},
        FailingCall{"snd_pcm_hw_params", -EINVAL, WAVERR_BADFORMAT, "configuration refused: snd_pcm_hw_params:"},
        FailingCall{"snd_pcm_hw_params_get_rate", -EINVAL, WAVERR_BADFORMAT, "snd_pcm_hw_params_get_rate"},
        FailingCall{"snd_pcm_sw_params_malloc", -ENOMEM, MMSYSERR_NOMEM, "snd_pcm_sw_params_malloc"},
        FailingCall{"snd_pcm_sw_params_current", -EINVAL, MMSYSERR_ERROR, "snd_pcm_sw_params_current"},
        FailingCall{"snd_pcm_sw_params_get_boundary", -EINVAL, MMSYSERR_ERROR, "snd_pcm_sw_params_get_boundary"},
        FailingCall{"snd_pcm_sw_params_set_avail_min", -EINVAL, MMSYSERR_ERROR, "snd_pcm_sw_params_set_avail_min"},
        FailingCall{"snd_pcm_sw_params_set_start_threshold", -EINVAL, MMSYSERR_ERROR, "snd_pcm_sw_params_set_start_threshold"},
        FailingCall{"snd_pcm_sw_params_set_stop_threshold", -EINVAL, MMSYSERR_ERROR, "snd_pcm_sw_params_set_stop_threshold"},
        FailingCall{"snd_pcm_sw_params", -EINVAL, MMSYSERR_ERROR, "software configuration refused: snd_pcm_sw_params:"},
        FailingCall{"snd_pcm_poll_descriptors_count", -EINVAL, MMSYSERR_ERROR, "snd_pcm_poll_descriptors_count"},
        FailingCall{"snd_pcm_poll_descriptors", -EINVAL, MMSYSERR_ERROR, "no poll descriptors: snd_pcm_poll_descriptors:"},
        FailingCall{"eventfd", 0, MMSYSERR_ERROR, "eventfd: Too many open files"},
        FailingCall{"startThread", 0, MMSYSERR_NOMEM, "the device thread could not start"},
        FailingCall{"snd_pcm_start", -ENODEV, MMSYSERR_BADDEVICEID, "cannot start: snd_pcm_start", true}),
    [](const ::testing::TestParamInfo<FailingCall>& info) {
      return std::string(info.param.call) + "_" + std::to_string(info.index);
    });

// A stream that breaks off ends the run: the buffer comes back early, says why, and the
// count stops where the stream broke.
TEST(AlsaReaderTest, AStreamThatBreaksOffReturnsTheBufferEarlyAndStopsTheCount) {
  fake.Reset();
  AlsaAudio audio(Calls());
  std::mutex mutex;
  std::vector<WaveHeader*> returned;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(audio.Open(device, 0, Format(),
                       [&](WaveInDevice*, std::uint32_t, WaveHeader* header) {
                         std::lock_guard lock(mutex);
                         returned.push_back(header);
                       },
                       CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate * 10);
  WaveHeader header;
  header.data = buffer.data();
  header.bufferLength = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(device->PrepareHeader(header), MMSYSERR_NOERROR);
  ASSERT_EQ(device->AddBuffer(header), MMSYSERR_NOERROR);
  ASSERT_EQ(device->Start(), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(fake.mutex);
    fake.broken = true;
  }
  // The header is the reader thread's until the callback hands it back.
  const auto handedBack = [&] {
    std::lock_guard lock(mutex);
    return !returned.empty();
  };
  std::uint32_t stopped = 0;
  for (int wait = 0; wait < 200 && !handedBack(); ++wait) {
    device->GetPositionSamples(stopped);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(handedBack()) << "the run went on after the stream broke";
  ASSERT_NE(header.flags & WHDR_DONE, 0u);
  EXPECT_GT(header.bytesRecorded, 0u);
  EXPECT_LT(header.bytesRecorded, kRate);
  EXPECT_EQ(buffer[header.bytesRecorded - 1], 0x80);
  EXPECT_NE(audio.GetErrorText(MMSYSERR_ERROR).find(L"broke off"), std::wstring::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::uint32_t later = 0;
  EXPECT_EQ(device->GetPositionSamples(later), MMSYSERR_NOERROR);
  EXPECT_EQ(later, header.bytesRecorded);
  EXPECT_EQ(device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(returned.size(), 1u);
  EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
  EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
}

AudioContractSubject FakeSubject() {
  fake.Reset();
  return {std::make_shared<PosixClock>(), std::make_shared<AlsaAudio>(Calls()), 0};
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(FakeAlsa, AudioContractTest,
                         ::testing::Values(AudioContractParam{"FakeAlsa", FakeSubject}),
                         AudioContractName);

}  // namespace veltrane
