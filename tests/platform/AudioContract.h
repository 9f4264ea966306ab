#pragma once
// The contract of a recording back end (Audio and its WaveInDevice), written once and run
// against each back end: a test program instantiates AudioContractTest with its own factory.
//
//   INSTANTIATE_TEST_SUITE_P(Alsa, AudioContractTest,
//                            ::testing::Values(AudioContractParam{"Pulse", MakePulse}),
//                            AudioContractName);

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Audio.h"
#include "platform/Clock.h"

namespace veltrane {

// A back end ready for the contract: its devices, the clock that its position runs against
// (the tests sleep and measure the rate on it), and the device that the tests record from.
// A subject without audio skips the suite (no sound server here).
struct AudioContractSubject {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Audio> audio;
  std::uint32_t deviceId = 0;
};

struct AudioContractParam {
  std::string name;  // part of the test names: letters, digits and underscores
  std::function<AudioContractSubject()> make;  // called afresh for each test
  // How far the measured rate may lie from the nominal one, as a share of it: a sound
  // server's position steps coarsely and may wander a little while it starts.
  double rateTolerance = 0.01;
  // How long, on the subject's clock, the device may take to start delivering.
  std::uint32_t startUpMs = 3000;
};

// Test names show the subject's name, not the parameter's bytes.
inline void PrintTo(const AudioContractParam& param, std::ostream* out) { *out << param.name; }

class AudioContractTest : public ::testing::TestWithParam<AudioContractParam> {
 protected:
  void SetUp() override;
  AudioContractSubject subject;
};

std::string AudioContractName(const ::testing::TestParamInfo<AudioContractParam>& info);

}  // namespace veltrane
