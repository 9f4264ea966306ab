#include "tests/platform/AudioContract.h"

#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace veltrane {
namespace {

constexpr std::uint32_t kRate = 44100;
// Long enough never to fill during a test.
constexpr std::uint32_t kBufferSeconds = 60;
constexpr std::uint32_t kMeasureMs = 2000;

WaveFormat CaptureFormat() { return MonoEightBitFormat(kRate); }

// What the completion callback received. Filled on the device's thread.
class CallbackLog {
 public:
  WaveInCompletion Callback() {
    return [this](WaveInDevice*, std::uint32_t msg, WaveHeader* header) {
      std::lock_guard lock(mutex);
      if (std::this_thread::get_id() == caller) onCallerThread = true;
      if (msg != WIM_DATA) return;  // a back end may also announce open and close
      ++dataCalls;
      lastHeader = header;
      lastFlags = header->flags;
    };
  }
  int DataCalls() {
    std::lock_guard lock(mutex);
    return dataCalls;
  }
  WaveHeader* LastHeader() {
    std::lock_guard lock(mutex);
    return lastHeader;
  }
  std::uint32_t LastFlags() {
    std::lock_guard lock(mutex);
    return lastFlags;
  }
  bool OnCallerThread() {
    std::lock_guard lock(mutex);
    return onCallerThread;
  }

 private:
  std::mutex mutex;
  const std::thread::id caller = std::this_thread::get_id();
  int dataCalls = 0;
  WaveHeader* lastHeader = nullptr;
  std::uint32_t lastFlags = 0;
  bool onCallerThread = false;
};

// Every back end records with a callback and no other flag.
MMResult OpenWithCallback(Audio& audio, std::uint32_t deviceId, CallbackLog& log,
                          std::unique_ptr<WaveInDevice>& device) {
  return audio.Open(device, deviceId, CaptureFormat(), log.Callback(), CALLBACK_FUNCTION);
}

// Queries without pause until the position differs from `from`, as the calibration does;
// notes the clock right after. False when it has not moved within limitMs on the clock.
bool WaitForStep(WaveInDevice& device, Clock& clock, std::uint32_t from, std::uint32_t limitMs,
                 std::uint32_t& position, std::int64_t& counter) {
  const std::int64_t frequency = clock.PerformanceFrequency();
  const std::int64_t limit = clock.PerformanceCounter() + limitMs * frequency / 1000;
  std::uint32_t previous = from;
  for (;;) {
    std::uint32_t now = 0;
    if (device.GetPositionSamples(now) != MMSYSERR_NOERROR) {
      ADD_FAILURE() << "GetPositionSamples failed";
      return false;
    }
    EXPECT_GE(now, previous) << "the position went back";
    previous = now;
    if (now != from) {
      counter = clock.PerformanceCounter();
      position = now;
      return true;
    }
    if (clock.PerformanceCounter() > limit) return false;
  }
}

// A recording in progress: device open, one buffer queued, started.
struct Recording {
  CallbackLog log;
  std::unique_ptr<WaveInDevice> device;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kRate * kBufferSeconds);
  WaveHeader header;

  void Start(const AudioContractSubject& subject) {
    ASSERT_EQ(OpenWithCallback(*subject.audio, subject.deviceId, log, device), MMSYSERR_NOERROR);
    ASSERT_NE(device, nullptr);
    // The calibration resets a device right after opening it; with nothing queued that
    // returns nothing.
    ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
    header.data = buffer.data();
    header.bufferLength = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(device->PrepareHeader(header), MMSYSERR_NOERROR);
    EXPECT_TRUE(header.flags & WHDR_PREPARED);
    ASSERT_EQ(device->AddBuffer(header), MMSYSERR_NOERROR);
    EXPECT_TRUE(header.flags & WHDR_INQUEUE);
    EXPECT_FALSE(header.flags & WHDR_DONE);
    // A queued buffer is the device's until it comes back. (waveIn under Wine takes the same
    // header twice, so that is left to the back ends' own tests.)
    EXPECT_EQ(device->UnprepareHeader(header), WAVERR_STILLPLAYING);
    ASSERT_EQ(device->Start(), MMSYSERR_NOERROR);
  }

  // Resets, unprepares and closes in the calibration's order.
  void TearDown() {
    if (device == nullptr) return;
    EXPECT_EQ(device->Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
    EXPECT_FALSE(header.flags & WHDR_PREPARED);
    EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
    device.reset();
  }

  ~Recording() {
    if (device != nullptr) TearDown();
  }
};

}  // namespace

void AudioContractTest::SetUp() {
  subject = GetParam().make();
  if (!subject.audio) GTEST_SKIP() << "this back end has no device to record from here";
}

std::string AudioContractName(const ::testing::TestParamInfo<AudioContractParam>& info) {
  return info.param.name;
}

TEST_P(AudioContractTest, DescribesEveryDeviceWithAShortDistinctName) {
  const std::uint32_t count = subject.audio->GetNumDevs();
  ASSERT_GE(count, 1u);
  EXPECT_LT(subject.deviceId, count);
  std::set<std::wstring> names;
  for (std::uint32_t id = 0; id < count; ++id) {
    WaveInCaps caps;
    ASSERT_EQ(subject.audio->GetDevCaps(id, caps), MMSYSERR_NOERROR) << "device " << id;
    EXPECT_FALSE(caps.productName.empty()) << "device " << id;
    EXPECT_LE(caps.productName.size(), 31u) << "device " << id;
    EXPECT_TRUE(names.insert(caps.productName).second) << "device " << id << " repeats a name";
  }
  WaveInCaps caps;
  EXPECT_EQ(subject.audio->GetDevCaps(count, caps), MMSYSERR_BADDEVICEID);
}

TEST_P(AudioContractTest, RefusesADeviceIdBeyondTheLast) {
  CallbackLog log;
  std::unique_ptr<WaveInDevice> device;
  EXPECT_EQ(OpenWithCallback(*subject.audio, subject.audio->GetNumDevs(), log, device),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
}

TEST_P(AudioContractTest, HasATextForEveryErrorCode) {
  for (const MMResult code :
       {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_ALLOCATED,
        MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM, MMSYSERR_INVALFLAG,
        MMSYSERR_INVALPARAM, WAVERR_BADFORMAT, WAVERR_STILLPLAYING, WAVERR_UNPREPARED,
        MMResult{9999}}) {
    EXPECT_FALSE(subject.audio->GetErrorText(code).empty()) << "code " << code;
  }
}

TEST_P(AudioContractTest, RefusesAnUnpreparedBuffer) {
  CallbackLog log;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenWithCallback(*subject.audio, subject.deviceId, log, device), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate);
  WaveHeader header;
  header.data = buffer.data();
  header.bufferLength = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(device->AddBuffer(header), WAVERR_UNPREPARED);
  EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(log.DataCalls(), 0);
}

TEST_P(AudioContractTest, PositionAdvancesAtTheNominalRate) {
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(subject));
  Clock& clock = *subject.clock;
  std::uint32_t firstPosition = 0;
  std::int64_t firstCounter = 0;
  ASSERT_TRUE(
      WaitForStep(*recording.device, clock, 0, GetParam().startUpMs, firstPosition, firstCounter))
      << "the position never moved";
  // Measure from one step to another, as the calibration does.
  std::uint32_t startPosition = 0;
  std::int64_t startCounter = 0;
  ASSERT_TRUE(
      WaitForStep(*recording.device, clock, firstPosition, 1000, startPosition, startCounter));
  clock.Sleep(kMeasureMs);
  std::uint32_t endPosition = 0;
  std::int64_t endCounter = 0;
  std::uint32_t now = 0;
  ASSERT_EQ(recording.device->GetPositionSamples(now), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitForStep(*recording.device, clock, now, 1000, endPosition, endCounter));

  const double seconds = static_cast<double>(endCounter - startCounter) /
                         static_cast<double>(clock.PerformanceFrequency());
  const double rate = static_cast<double>(endPosition - startPosition) / seconds;
  EXPECT_NEAR(rate / kRate, 1.0, GetParam().rateTolerance) << "measured " << rate << " Hz";
  EXPECT_EQ(recording.log.DataCalls(), 0) << "the buffer came back while recording";
}

TEST_P(AudioContractTest, ResetReturnsTheBufferOnceThroughTheCallback) {
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(subject));
  std::uint32_t position = 0;
  std::int64_t counter = 0;
  ASSERT_TRUE(
      WaitForStep(*recording.device, *subject.clock, 0, GetParam().startUpMs, position, counter));
  EXPECT_EQ(recording.log.DataCalls(), 0);

  ASSERT_EQ(recording.device->Reset(), MMSYSERR_NOERROR);
  // Back by the time Reset returns, from a thread other than ours.
  EXPECT_EQ(recording.log.DataCalls(), 1);
  EXPECT_EQ(recording.log.LastHeader(), &recording.header);
  EXPECT_TRUE(recording.log.LastFlags() & WHDR_DONE);
  EXPECT_FALSE(recording.log.LastFlags() & WHDR_INQUEUE);
  EXPECT_FALSE(recording.log.OnCallerThread());
  EXPECT_TRUE(recording.header.flags & WHDR_DONE);
  EXPECT_FALSE(recording.header.flags & WHDR_INQUEUE);
  EXPECT_GE(recording.header.bytesRecorded, position);
  EXPECT_LE(recording.header.bytesRecorded, recording.header.bufferLength);

  recording.TearDown();
  // Nothing comes back a second time, not even late.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(recording.log.DataCalls(), 1);
}

TEST_P(AudioContractTest, RefusesToCloseWhileABufferIsQueuedAndClosesOnceAfterReset) {
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(subject));
  WaveInDevice& device = *recording.device;
  EXPECT_EQ(device.Close(), WAVERR_STILLPLAYING);
  // Still open and recording: the buffer has not come back.
  std::uint32_t position = 0;
  EXPECT_EQ(device.GetPositionSamples(position), MMSYSERR_NOERROR);
  EXPECT_EQ(recording.log.DataCalls(), 0);
  EXPECT_TRUE(recording.header.flags & WHDR_INQUEUE);

  ASSERT_EQ(device.Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(recording.log.DataCalls(), 1);
  EXPECT_EQ(device.UnprepareHeader(recording.header), MMSYSERR_NOERROR);
  EXPECT_EQ(device.Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(device.Close(), MMSYSERR_INVALHANDLE);
  recording.device.reset();
  EXPECT_EQ(recording.log.DataCalls(), 1);
}

}  // namespace veltrane
