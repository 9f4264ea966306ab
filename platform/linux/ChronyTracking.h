#pragma once
// What chronyd knows of this computer's clock, asked the way chronyc asks it ("tracking"),
// over chronyd's UDP command port. A monitoring request: any user may send it, and it changes
// nothing. Any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

struct ChronyTracking {
  std::uint32_t referenceId = 0;
  std::string referenceAddress;  // dotted IPv4 or IPv6 text; empty when chronyd names none
  int stratum = 0;
  int leapStatus = 0;  // 0 normal, 1 second to insert, 2 to delete, 3 unsynchronised
  double currentCorrectionSeconds = 0;
  double lastOffsetSeconds = 0;
  double rmsOffsetSeconds = 0;
  // How far the system clock would be off without chronyd's correction, positive when it
  // would run fast of true time: chronyd hands the kernel the opposite of this as its
  // frequency (chrony's sys_timex.c: txc.freq = freq_ppm * -FREQ_SCALE), and chronyc prints
  // a positive figure as "ppm fast", a negative one as "ppm slow".
  double frequencyPpm = 0;
  double residualFrequencyPpm = 0;
  double skewPpm = 0;
  double rootDelaySeconds = 0;
  double rootDispersionSeconds = 0;
  double updateIntervalSeconds = 0;

  bool Synchronized() const { return leapStatus != 3 && referenceId != 0; }
};

// chrony's 32-bit network float: a 7-bit signed exponent above a 25-bit signed coefficient,
// worth coefficient * 2^(exponent - 25). Takes the word in host order.
double ChronyFloat(std::uint32_t word);

// The tracking request with this sequence number, padded as long as the reply, since chronyd
// drops requests shorter than what they ask for.
std::vector<std::uint8_t> TrackingRequest(std::uint32_t sequence);

// The tracking report in a reply to the request with this sequence number; nullopt with the
// reason in why when the packet is no such reply or chronyd refused the request.
std::optional<ChronyTracking> ParseTrackingReply(const std::uint8_t* data, std::size_t size,
                                                 std::uint32_t sequence, std::string& why);

// Asks chronyd: at VELTRANE_CHRONY_ADDRESS (host:port, [IPv6]:port) when that is set,
// otherwise at 127.0.0.1:323 and then [::1]:323. Waits at most timeoutMs in all; nullopt with
// the reason in why when no chronyd answers in time or its answer is not a tracking report.
std::optional<ChronyTracking> QueryChronyTracking(int timeoutMs, std::string& why);

}  // namespace veltrane
