// The ALSA recording devices against a real sound server: run through
// scripts/with-pulse-null-sink, whose null sink is clocked by the system clock. Without it
// (VELTRANE_NULL_SINK unset) every test is skipped.

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/AudioContract.h"
#include "engine/PositionStep.h"
#include "platform/linux/AlsaAudio.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/SoundServer.h"

namespace veltrane {
namespace {

constexpr std::uint32_t kRate = 44100;

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

WaveFormat Format(std::uint32_t rate) { return MonoEightBitFormat(rate); }

// What came back through the callback, and on which thread.
class Returns {
 public:
  WaveInCompletion Callback(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return [this, delay](WaveInDevice*, std::uint32_t msg, WaveHeader* header) {
      // A slow callback holds up the device's reader as a scheduling hiccup would.
      if (delay.count() > 0 && Count() == 0) std::this_thread::sleep_for(delay);
      std::lock_guard<std::mutex> lock(mutex);
      messages.push_back(msg);
      headers.push_back(header);
      threads.insert(std::this_thread::get_id());
      changed.notify_all();
    };
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return headers.size();
  }
  bool WaitFor(std::size_t count, double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return headers.size() >= count; });
  }
  std::vector<WaveHeader*> Headers() {
    std::lock_guard<std::mutex> lock(mutex);
    return headers;
  }
  std::vector<std::uint32_t> Messages() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex);
    return threads;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::uint32_t> messages;
  std::vector<WaveHeader*> headers;
  std::set<std::thread::id> threads;
};

struct Step {
  std::uint32_t position;
  double seconds;
};

// Times a step of the position the way the calibration worker does, on the monotonic clock.
std::optional<Step> WaitForStep(WaveInDevice& device, double timeoutSeconds) {
  static PosixClock clock;
  static const std::atomic<bool> noStop{false};
  const StepSeen seen = WaitForPositionStep(
      device, clock, [] { return MonotonicSeconds() * 1e3; }, noStop, timeoutSeconds);
  if (seen.wait != StepWait::Stepped) return std::nullopt;
  return Step{seen.position, seen.milliseconds * 1e-3};
}

class AlsaAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("VELTRANE_NULL_SINK") == nullptr) {
      GTEST_SKIP() << "needs a sound server: run under scripts/with-pulse-null-sink";
    }
    for (std::uint32_t id = 0; id < audio.GetNumDevs(); ++id) {
      WaveInCaps caps;
      ASSERT_EQ(audio.GetDevCaps(id, caps), MMSYSERR_NOERROR);
      if (caps.productName.find(L"PulseAudio") != std::wstring::npos) {
        pulseId = id;
        break;
      }
    }
    ASSERT_TRUE(pulseId.has_value()) << "no PulseAudio device among the recording devices";
  }

  MMResult OpenPulse(std::unique_ptr<WaveInDevice>& device, WaveInCompletion callback,
                     std::uint32_t rate = kRate) {
    return audio.Open(device, *pulseId, Format(rate), std::move(callback),
                      CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC);
  }

  // Prepares and queues header over buffer, then starts.
  static void Record(WaveInDevice& device, WaveHeader& header, std::vector<std::uint8_t>& buffer) {
    header.data = buffer.data();
    header.bufferLength = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(device.PrepareHeader(header), MMSYSERR_NOERROR);
    ASSERT_EQ(device.AddBuffer(header), MMSYSERR_NOERROR);
    ASSERT_EQ(device.Start(), MMSYSERR_NOERROR);
  }

  AlsaAudio audio;
  std::optional<std::uint32_t> pulseId;
};

TEST_F(AlsaAudioTest, ListsTheServerDeviceUnderShortDistinctStableNames) {
  std::vector<std::wstring> names;
  for (std::uint32_t id = 0; id < audio.GetNumDevs(); ++id) {
    WaveInCaps caps;
    ASSERT_EQ(audio.GetDevCaps(id, caps), MMSYSERR_NOERROR);
    EXPECT_FALSE(caps.productName.empty());
    EXPECT_LE(caps.productName.size(), 31u) << "name: " << testing::PrintToString(caps.productName);
    names.push_back(caps.productName);
  }
  EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), names.size());

  AlsaAudio again;
  ASSERT_EQ(again.GetNumDevs(), names.size());
  for (std::uint32_t id = 0; id < again.GetNumDevs(); ++id) {
    WaveInCaps caps;
    again.GetDevCaps(id, caps);
    EXPECT_EQ(caps.productName, names[id]);
  }
  WaveInCaps caps;
  EXPECT_EQ(audio.GetDevCaps(audio.GetNumDevs(), caps), MMSYSERR_BADDEVICEID);
}

TEST_F(AlsaAudioTest, PositionRunsAtTheNullSinkRateAndTheSoundLandsInTheBuffer) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenPulse(device, returns.Callback()), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate * 60, 0x11);
  WaveHeader header;
  Record(*device, header, buffer);

  // The server delivers its first sound up to about 2 s after the start, and then, for a
  // moment, what it buffered in a burst: steps that come early against the rate would tilt the
  // envelope. The measurement lets them pass, and so does this.
  constexpr double kSettleSeconds = 2.0;
  const auto started = WaitForStep(*device, 5.0);
  ASSERT_TRUE(started.has_value()) << "the position did not move within 5 s";
  std::optional<Step> first = started;
  while (first && first->seconds - started->seconds < kSettleSeconds) {
    first = WaitForStep(*device, 1.0);
  }
  ASSERT_TRUE(first.has_value()) << "the position stood still while settling";
  std::vector<Step> steps{*first};
  while (MonotonicSeconds() - first->seconds < 10.0) {
    const auto step = WaitForStep(*device, 1.0);
    ASSERT_TRUE(step.has_value()) << "the position stood still for 1 s or ran backwards";
    steps.push_back(*step);
  }
  // The null sink runs on the system clock. A step is never seen early, only late: by tens
  // of microseconds, now and then by milliseconds when the machine is busy. The earliest
  // step of the first and of the last second (relative to the nominal rate) therefore give
  // the rate to a few microseconds over 10 s; the two end steps alone, as the calibration
  // takes them, only to within the late ones.
  const Step& last = steps.back();
  const double span = last.seconds - first->seconds;
  const double endToEndPpm = ((last.position - first->position) / span / kRate - 1.0) * 1e6;
  double earliestAtStart = 1e9, earliestAtEnd = 1e9, longestGap = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const double lateness =
        steps[i].seconds - first->seconds - (steps[i].position - first->position) / kRate;
    if (steps[i].seconds - first->seconds < 1.0)
      earliestAtStart = std::min(earliestAtStart, lateness);
    if (last.seconds - steps[i].seconds < 1.0) earliestAtEnd = std::min(earliestAtEnd, lateness);
    if (i > 0) longestGap = std::max(longestGap, steps[i].seconds - steps[i - 1].seconds);
  }
  const double envelopePpm = -(earliestAtEnd - earliestAtStart) / (span - 1.0) * 1e6;
  std::cout << "over " << span << " s, " << steps.size() << " steps: earliest steps " << envelopePpm
            << " ppm, end to end " << endToEndPpm << " ppm; longest step " << longestGap * 1e3
            << " ms\n";
  EXPECT_NEAR(envelopePpm, 0.0, 20.0);
  // One lost period of 10 ms would be 1000 ppm.
  EXPECT_NEAR(endToEndPpm, 0.0, 500.0);
  EXPECT_LT(longestGap, 0.1);

  std::uint32_t position = 0;
  device->GetPositionSamples(position);
  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  ASSERT_EQ(returns.Count(), 1u);
  // Every drained sample is in the buffer: the null sink's silence, 0x80 in unsigned 8 bits.
  EXPECT_GE(header.bytesRecorded + kRate / 10, position);
  EXPECT_LE(header.bytesRecorded, position + kRate / 10);
  ASSERT_GT(header.bytesRecorded, 0u);
  EXPECT_EQ(buffer[0], 0x80);
  EXPECT_EQ(buffer[header.bytesRecorded - 1], 0x80);
  EXPECT_EQ(buffer[header.bytesRecorded], 0x11);
  EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
  EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
}

TEST_F(AlsaAudioTest, ResetReturnsTheQueuedBufferOnceFromTheDevicesThread) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenPulse(device, returns.Callback()), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate * 60);
  WaveHeader header;
  header.user = 0x1234;
  Record(*device, header, buffer);
  ASSERT_TRUE(WaitForStep(*device, 5.0).has_value());
  EXPECT_EQ(device->UnprepareHeader(header), WAVERR_STILLPLAYING);

  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  ASSERT_EQ(returns.Count(), 1u);
  EXPECT_EQ(returns.Headers()[0], &header);
  EXPECT_EQ(returns.Messages()[0], WIM_DATA);
  EXPECT_EQ(returns.Threads().count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(header.flags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED), WHDR_DONE | WHDR_PREPARED);
  EXPECT_GT(header.bytesRecorded, 0u);
  EXPECT_LT(header.bytesRecorded, header.bufferLength);
  EXPECT_EQ(header.user, 0x1234u);
  std::uint32_t position = 1;
  EXPECT_EQ(device->GetPositionSamples(position), MMSYSERR_NOERROR);
  EXPECT_EQ(position, 0u);

  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(returns.Count(), 1u);
  EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.flags & WHDR_PREPARED, 0u);
  EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(returns.Count(), 1u);
  EXPECT_EQ(device->Start(), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(device->GetPositionSamples(position), MMSYSERR_INVALHANDLE);
}

TEST_F(AlsaAudioTest, RecordsAgainAfterAResetAndReturnsABufferThatNeverStarted) {
  // The calibration opens, resets at once, then queues and starts; and when a start fails its
  // tear-down resets a buffer that was queued but never recorded.
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenPulse(device, returns.Callback()), MMSYSERR_NOERROR);
  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(returns.Count(), 0u);

  std::vector<std::uint8_t> unused(kRate);
  WaveHeader never;
  never.data = unused.data();
  never.bufferLength = kRate;
  ASSERT_EQ(device->AddBuffer(never), WAVERR_UNPREPARED);
  ASSERT_EQ(device->PrepareHeader(never), MMSYSERR_NOERROR);
  ASSERT_EQ(device->AddBuffer(never), MMSYSERR_NOERROR);
  EXPECT_EQ(device->AddBuffer(never), WAVERR_STILLPLAYING);
  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  ASSERT_EQ(returns.Count(), 1u);
  EXPECT_EQ(never.bytesRecorded, 0u);
  EXPECT_NE(never.flags & WHDR_DONE, 0u);

  for (int run = 0; run < 2; ++run) {
    std::vector<std::uint8_t> buffer(kRate * 30);
    WaveHeader header;
    Record(*device, header, buffer);
    const auto first = WaitForStep(*device, 5.0);
    ASSERT_TRUE(first.has_value()) << "run " << run;
    EXPECT_LT(first->position, kRate * 4) << "the count starts again at each start";
    ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(returns.Count(), 2u + run);
    EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
  }
}

TEST_F(AlsaAudioTest, AFullBufferComesBackAndThePositionGoesOn) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenPulse(device, returns.Callback()), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate / 2);
  WaveHeader header;
  Record(*device, header, buffer);
  ASSERT_TRUE(returns.WaitFor(1, 5.0)) << "half a second of sound did not come back in 5 s";
  EXPECT_EQ(header.bytesRecorded, header.bufferLength);
  EXPECT_EQ(header.flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
  EXPECT_EQ(buffer.back(), 0x80);

  std::uint32_t before = 0;
  device->GetPositionSamples(before);
  EXPECT_GE(before, header.bufferLength);
  const auto later = WaitForStep(*device, 1.0);
  ASSERT_TRUE(later.has_value()) << "with no buffer left the count still runs, the sound is lost";

  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(returns.Count(), 1u);
  EXPECT_EQ(device->UnprepareHeader(header), MMSYSERR_NOERROR);
}

TEST_F(AlsaAudioTest, AnOverrunEndsTheRunAndReturnsTheBufferEarly) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  // The first callback holds up the reader for 5 s, longer than the ring buffer may go
  // unread. The PulseAudio plugin itself would not notice: its pointer wraps around.
  ASSERT_EQ(OpenPulse(device, returns.Callback(std::chrono::milliseconds(5000))), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> small(kRate / 10);
  std::vector<std::uint8_t> large(kRate * 60);
  WaveHeader first;
  WaveHeader second;
  first.data = small.data();
  first.bufferLength = static_cast<std::uint32_t>(small.size());
  ASSERT_EQ(device->PrepareHeader(first), MMSYSERR_NOERROR);
  ASSERT_EQ(device->AddBuffer(first), MMSYSERR_NOERROR);
  Record(*device, second, large);

  ASSERT_TRUE(returns.WaitFor(2, 15.0)) << "the overrun did not end the run";
  EXPECT_EQ(returns.Headers()[1], &second);
  EXPECT_NE(second.flags & WHDR_DONE, 0u);
  EXPECT_LT(second.bytesRecorded, kRate * 2) << "samples went missing without a failure";
  const std::wstring text = audio.GetErrorText(MMSYSERR_ERROR);
  EXPECT_NE(text.find(L"broke off"), std::wstring::npos) << testing::PrintToString(text);

  // The count stops where the stream broke instead of skipping the lost samples.
  std::uint32_t stopped = 0;
  device->GetPositionSamples(stopped);
  EXPECT_FALSE(WaitForStep(*device, 0.5).has_value());
  ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(returns.Count(), 2u);
}

TEST_F(AlsaAudioTest, RefusesWhatItCannotRecordAsAsked) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  // PulseAudio takes any rate it could resample to, up to its limit.
  const std::uint32_t tooFast = 1'000'000;
  EXPECT_EQ(OpenPulse(device, returns.Callback(), tooFast), WAVERR_BADFORMAT);
  EXPECT_EQ(device, nullptr);
  const std::wstring text = audio.GetErrorText(WAVERR_BADFORMAT);
  EXPECT_NE(text.find(L"1000000 Hz"), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_NE(text.find(L"without resampling"), std::wstring::npos);

  WaveFormat sixteenBits = Format(kRate);
  sixteenBits.bitsPerSample = 16;
  sixteenBits.blockAlign = 2;
  sixteenBits.avgBytesPerSec = 2 * kRate;
  EXPECT_EQ(audio.Open(device, *pulseId, sixteenBits, returns.Callback(), CALLBACK_FUNCTION),
            WAVERR_BADFORMAT);
  EXPECT_EQ(audio.Open(device, *pulseId, Format(kRate), returns.Callback(), WAVE_FORMAT_DIRECT),
            MMSYSERR_INVALFLAG);
  EXPECT_EQ(
      audio.Open(device, *pulseId, Format(kRate), returns.Callback(), CALLBACK_FUNCTION | 0x0001),
      MMSYSERR_INVALFLAG);
  EXPECT_EQ(
      audio.Open(device, audio.GetNumDevs(), Format(kRate), returns.Callback(), CALLBACK_FUNCTION),
      MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(returns.Count(), 0u);
}

TEST_F(AlsaAudioTest, AServerThatDoesNotAnswerIsNoDriver) {
  const std::string saved = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/veltrane/native", 1);
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  const MMResult result = OpenPulse(device, returns.Callback());
  setenv("PULSE_SERVER", saved.c_str(), 1);
  EXPECT_EQ(result, MMSYSERR_NODRIVER);
  EXPECT_EQ(device, nullptr);
  const std::wstring text = audio.GetErrorText(MMSYSERR_NODRIVER);
  EXPECT_NE(text.find(L"pulse"), std::wstring::npos) << testing::PrintToString(text);
}

// A PulseAudio server of the test's own, so that it can die in the middle of a recording.
class PrivateServer {
 public:
  PrivateServer() {
    char pattern[] = "/tmp/veltrane-dying-pulse.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    directory = pattern;
    const std::string socket = directory + "/native";
    const std::string protocol = "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
    const std::string runtime = directory + "/runtime";
    // Everything the child needs is built before fork: only exec may follow it.
    std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + directory,
                                            "PULSE_RUNTIME_PATH=" + runtime,
                                            "PULSE_STATE_PATH=" + runtime};
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const std::string entry = *variable;
      if (entry.rfind("XDG_RUNTIME_DIR=", 0) != 0 && entry.rfind("PULSE_", 0) != 0) {
        environment.push_back(entry);
      }
    }
    std::vector<std::string> arguments = {"pulseaudio",
                                          "-n",
                                          "--daemonize=no",
                                          "--use-pid-file=no",
                                          "--exit-idle-time=-1",
                                          "--log-target=file:/dev/null",
                                          "-L",
                                          "module-null-sink sink_name=nullsink rate=44100",
                                          "-L",
                                          protocol};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      execvpe("pulseaudio", argv.data(), envp.data());
      _exit(127);
    }
    server = "unix:" + socket;
    for (int i = 0; i < 100 && access(socket.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The socket exists a moment before the server takes clients.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ~PrivateServer() {
    Kill();
    if (!directory.empty()) std::filesystem::remove_all(directory);
  }
  void Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  const std::string& Address() const { return server; }

 private:
  std::string directory;
  std::string server;
  pid_t pid = -1;
};

TEST_F(AlsaAudioTest, AServerThatDiesEndsTheRunAndReturnsTheBufferEarly) {
  PrivateServer dying;
  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", dying.Address().c_str(), 1);
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  const MMResult opened = OpenPulse(device, returns.Callback());
  setenv("PULSE_SERVER", saved.c_str(), 1);
  ASSERT_EQ(opened, MMSYSERR_NOERROR) << testing::PrintToString(audio.GetErrorText(opened));
  std::vector<std::uint8_t> buffer(kRate * 60);
  WaveHeader header;
  Record(*device, header, buffer);
  ASSERT_TRUE(WaitForStep(*device, 5.0).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  dying.Kill();
  ASSERT_TRUE(returns.WaitFor(1, 3.0)) << "the run went on without its server";
  EXPECT_NE(header.flags & WHDR_DONE, 0u);
  EXPECT_GT(header.bytesRecorded, 0u);
  EXPECT_LT(header.bytesRecorded, kRate * 10);
  EXPECT_FALSE(WaitForStep(*device, 0.5).has_value());
  EXPECT_EQ(device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(returns.Count(), 1u);
  EXPECT_EQ(device->Close(), MMSYSERR_NOERROR);
}

// PipeWire behind the plugin gets a wider allowance for its drifting delay than PulseAudio,
// and PulseAudio a wider one still when the processors were kept busy; a server that takes
// the connection and never answers holds nothing up.
TEST_F(AlsaAudioTest, AllowsTheDelayWanderOfTheServerBehindThePlugin) {
  const char* server = std::getenv("VELTRANE_SOUND_SERVER");
  const bool pipeWire = server != nullptr && std::string(server) == "pipewire";
  const std::string name = SoundServerName();
  EXPECT_EQ(IsPipeWire(name), pipeWire) << name;
  struct Allowance {
    double calm = -1.0, busy = -1.0;
  };
  const auto allowance = [this] {
    Returns returns;
    std::unique_ptr<WaveInDevice> device;
    const MMResult opened = OpenPulse(device, returns.Callback());
    EXPECT_EQ(opened, MMSYSERR_NOERROR) << testing::PrintToString(audio.GetErrorText(opened));
    return device ? Allowance{device->DelayWanderSeconds(), device->BusyDelayWanderSeconds()}
                  : Allowance{};
  };
  const Allowance running = allowance();
  PrivateServer pulseAudio;
  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", pulseAudio.Address().c_str(), 1);
  EXPECT_EQ(SoundServerName(), "pulseaudio");
  const Allowance pulse = allowance();
  EXPECT_GT(pulse.calm, 0.0);
  EXPECT_GT(pulse.busy, pulse.calm);
  if (pipeWire) {
    EXPECT_GT(running.calm, pulse.calm);
    EXPECT_EQ(running.busy, running.calm);
  } else {
    EXPECT_EQ(running.calm, pulse.calm);
    EXPECT_EQ(running.busy, pulse.busy);
  }

  char pattern[] = "/tmp/veltrane-silent.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string socketPath = std::string(pattern) + "/native";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  setenv("PULSE_SERVER", ("unix:" + socketPath).c_str(), 1);
  const double start = MonotonicSeconds();
  EXPECT_EQ(SoundServerName(), "");
  EXPECT_LT(MonotonicSeconds() - start, 3.0);
  setenv("PULSE_SERVER", saved.c_str(), 1);
  close(listener);
  std::filesystem::remove_all(pattern);
}

// A device that still holds a buffer stays open on Close; destroyed, it hands the buffer back.
TEST_F(AlsaAudioTest, DestroyingARunningDeviceReturnsItsBuffer) {
  Returns returns;
  std::unique_ptr<WaveInDevice> device;
  ASSERT_EQ(OpenPulse(device, returns.Callback()), MMSYSERR_NOERROR);
  std::vector<std::uint8_t> buffer(kRate * 10);
  WaveHeader header;
  Record(*device, header, buffer);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(device->Close(), WAVERR_STILLPLAYING);
  EXPECT_EQ(returns.Count(), 0u);
  device.reset();
  EXPECT_EQ(returns.Count(), 1u);
  EXPECT_NE(header.flags & WHDR_DONE, 0u);
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return ids;
  while (dirent* entry = readdir(tasks)) {
    const int tid = std::atoi(entry->d_name);
    if (tid > 0) ids.insert(tid);
  }
  closedir(tasks);
  return ids;
}

struct ThreadSetting {
  int tid;
  int policy;
  cpu_set_t processors;
};

// Policy and processors of the threads that are not in before.
std::vector<ThreadSetting> NewThreads(const std::set<int>& before) {
  std::vector<ThreadSetting> settings;
  for (const int tid : ThreadIds()) {
    if (before.count(tid) != 0) continue;
    ThreadSetting setting{tid, sched_getscheduler(tid), {}};
    CPU_ZERO(&setting.processors);
    sched_getaffinity(tid, sizeof setting.processors, &setting.processors);
    settings.push_back(setting);
  }
  return settings;
}

// The calibration worker pins itself to one processor and runs at real-time priority, then
// opens the device and waits for position steps in a tight loop. The threads that opening
// starts (the back end's reader, the PulseAudio plugin's main loop) must run on the other
// processors and at normal priority, or they starve and the position never steps.
TEST_F(AlsaAudioTest, APinnedRealTimeCallerDoesNotStarveTheDevice) {
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "needs two processors";
  Returns returns;
  std::string skipped;
  std::vector<std::string> failures;
  int cyclesWithStep = 0;
  double ratio = 0;
  std::vector<ThreadSetting> settings;
  int workerCpu = -1;

  std::thread worker([&] {
    workerCpu = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(workerCpu, &one);
    if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0) {
      skipped = "cannot pin the thread";
      return;
    }
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) != 0) {
      skipped = "SCHED_FIFO not allowed (run as root)";
      return;
    }
    const std::set<int> before = ThreadIds();
    std::unique_ptr<WaveInDevice> device;
    if (OpenPulse(device, returns.Callback()) != MMSYSERR_NOERROR) {
      failures.push_back("open failed");
      return;
    }
    std::vector<std::uint8_t> buffer(kRate * 30);
    WaveHeader header;
    header.data = buffer.data();
    header.bufferLength = static_cast<std::uint32_t>(buffer.size());
    device->PrepareHeader(header);
    device->AddBuffer(header);
    if (device->Start() != MMSYSERR_NOERROR) failures.push_back("start failed");
    settings = NewThreads(before);

    // As the worker does: pause, then wait for the next step, given up here after 1 s since
    // a starved device would keep the wait going until the worker's stall limit.
    std::optional<Step> first;
    std::optional<Step> last;
    for (int cycle = 0; cycle < 6 && failures.empty(); ++cycle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(cycle == 0 ? 2500 : 500));
      const auto step = WaitForStep(*device, 1.0);
      if (!step) {
        failures.push_back("no position step within 1 s in cycle " + std::to_string(cycle));
        break;
      }
      ++cyclesWithStep;
      if (!first) first = step;
      last = step;
    }
    if (first && last->seconds > first->seconds) {
      ratio = (last->position - first->position) / (last->seconds - first->seconds) / kRate;
    }
    // Back to normal before tearing down, so a failure here cannot hang the machine.
    parameters.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &parameters);
    device->Reset();
    device->Close();
  });
  worker.join();
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  for (const auto& failure : failures) ADD_FAILURE() << failure;
  ASSERT_EQ(cyclesWithStep, 6);
  // A step seen late costs a few tens of milliseconds over 2.5 s; a starved device stops.
  EXPECT_NEAR(ratio, 1.0, 0.05);
  EXPECT_EQ(returns.Count(), 1u);

  ASSERT_FALSE(settings.empty()) << "the device runs threads of its own";
  for (const auto& setting : settings) {
    EXPECT_EQ(setting.policy, SCHED_OTHER) << "thread " << setting.tid;
    EXPECT_FALSE(CPU_ISSET(workerCpu, &setting.processors))
        << "thread " << setting.tid << " may run beside the spinning caller";
    EXPECT_GT(CPU_COUNT(&setting.processors), 0);
  }
}

}  // namespace
// The recording-device contract, on the PulseAudio device of the private null sink.
AudioContractSubject PulseSubject() {
  AudioContractSubject subject;
  if (std::getenv("VELTRANE_NULL_SINK") == nullptr) return subject;
  auto audio = std::make_shared<AlsaAudio>();
  const std::int32_t id = FindDeviceContaining(*audio, L"PulseAudio");
  if (id >= 0) {
    subject.clock = std::make_shared<PosixClock>();
    subject.audio = audio;
    subject.deviceId = static_cast<std::uint32_t>(id);
  }
  return subject;
}

INSTANTIATE_TEST_SUITE_P(Alsa, AudioContractTest,
                         ::testing::Values(AudioContractParam{"Pulse", PulseSubject, 0.03, 5000}),
                         AudioContractName);

}  // namespace veltrane
