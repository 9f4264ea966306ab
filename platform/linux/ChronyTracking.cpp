#include "platform/linux/ChronyTracking.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>

#include "base/Environment.h"

namespace veltrane {
namespace {

// chrony's command protocol, version 6 (candm.h). Every integer is big-endian.
constexpr std::uint8_t kProtocolVersion = 6;
constexpr std::uint8_t kPacketRequest = 1;
constexpr std::uint8_t kPacketReply = 2;
constexpr std::uint16_t kRequestTracking = 33;
constexpr std::uint16_t kReplyTracking = 5;
constexpr std::size_t kReplyHeaderBytes = 28;
// The header and the report: reference id, address (16 bytes, family, pad), stratum, leap
// status, reference time (three words) and nine floats.
constexpr std::size_t kTrackingReplyBytes = kReplyHeaderBytes + 76;

constexpr std::size_t kSequenceAt = 16;
constexpr std::size_t kReportAt = kReplyHeaderBytes;
constexpr std::size_t kAddressFamilyAt = kReportAt + 20;
constexpr std::size_t kStratumAt = kReportAt + 24;
constexpr std::size_t kFloatsAt = kReportAt + 40;

constexpr std::uint16_t kFamilyIpv4 = 1;
constexpr std::uint16_t kFamilyIpv6 = 2;

constexpr int kFloatCoefficientBits = 25;

// The command port chronyd listens on unless told otherwise.
constexpr const char* kDefaultPort = "323";

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::uint32_t Read32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void Write16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

void Write32(std::uint8_t* p, std::uint32_t value) {
  Write16(p, static_cast<std::uint16_t>(value >> 16));
  Write16(p + 2, static_cast<std::uint16_t>(value));
}

// chronyd's names for the statuses it can answer with, so that a refusal says why.
std::string StatusName(std::uint16_t status) {
  static const char* const names[] = {"success",
                                      "failed",
                                      "unauthorised",
                                      "invalid",
                                      "no such source",
                                      "invalid timestamp",
                                      "not enabled",
                                      "bad subnet",
                                      "access allowed",
                                      "access denied",
                                      "no host access",
                                      "source already known",
                                      "too many sources",
                                      "no RTC",
                                      "bad RTC file",
                                      "inactive",
                                      "bad sample",
                                      "invalid address family",
                                      "bad packet version",
                                      "bad packet length"};
  const std::string number = std::to_string(status);
  if (status >= std::size(names)) return number;
  return number + " (" + names[status] + ")";
}

std::string AddressText(const std::uint8_t* address, std::uint16_t family) {
  char text[INET6_ADDRSTRLEN] = {};
  const int af = family == kFamilyIpv4 ? AF_INET : family == kFamilyIpv6 ? AF_INET6 : AF_UNSPEC;
  if (af == AF_UNSPEC || inet_ntop(af, address, text, sizeof text) == nullptr) return {};
  return text;
}

// Why the packet is no successful tracking reply to our request; empty when it is one.
std::string ReplyFault(const std::uint8_t* data, std::size_t size, std::uint32_t sequence) {
  if (size < kReplyHeaderBytes) return "reply of " + std::to_string(size) + " bytes is too short";
  if (data[0] != kProtocolVersion)
    return "reply in protocol version " + std::to_string(data[0]) + ", not 6";
  if (data[1] != kPacketReply) return "packet of type " + std::to_string(data[1]) + " is no reply";
  if (Read16(data + 4) != kRequestTracking)
    return "reply to command " + std::to_string(Read16(data + 4)) + ", not tracking";
  if (Read32(data + kSequenceAt) != sequence) return "reply to another request (sequence)";
  // A refusal carries only the header, so its status comes before its length.
  const std::uint16_t status = Read16(data + 8);
  if (status != 0) return "chronyd refused the request: status " + StatusName(status);
  if (Read16(data + 6) != kReplyTracking)
    return "reply of kind " + std::to_string(Read16(data + 6)) + ", not a tracking report";
  if (size < kTrackingReplyBytes)
    return "tracking reply of " + std::to_string(size) + " bytes, short of " +
           std::to_string(kTrackingReplyBytes);
  return {};
}

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// host:port or [host]:port, as VELTRANE_CHRONY_ADDRESS gives it.
bool SplitAddress(const std::string& text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return !host.empty();
}

AddrInfoList Resolve(const std::string& host, const std::string& port, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (error != 0) why = "cannot resolve " + host + ":" + port + ": " + gai_strerror(error);
  return AddrInfoList(error == 0 ? list : nullptr);
}

std::string EndpointText(const addrinfo& endpoint) {
  char host[NI_MAXHOST] = {};
  char port[NI_MAXSERV] = {};
  getnameinfo(endpoint.ai_addr, endpoint.ai_addrlen, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return endpoint.ai_family == AF_INET6 ? std::string("[") + host + "]:" + port
                                        : std::string(host) + ":" + port;
}

std::uint32_t NewSequence() {
  std::random_device device;
  return static_cast<std::uint32_t>(device());
}

// Waits for a datagram on the connected socket until timeoutMs has passed; its size, or -1
// with why. A refused connection (no chronyd on that port) shows as an error at once.
long Receive(int fd, std::uint8_t* buffer, std::size_t size, int timeoutMs, std::string& why) {
  pollfd waiting{fd, POLLIN, 0};
  const int ready = poll(&waiting, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (ready == 0) {
    why = "no answer within " + std::to_string(timeoutMs) + " ms";
    return -1;
  }
  const long received = ready < 0 ? -1 : static_cast<long>(recv(fd, buffer, size, 0));
  if (received < 0) why = std::strerror(errno);
  return received;
}

std::optional<ChronyTracking> AskEndpoint(const addrinfo& endpoint, int timeoutMs,
                                          std::string& why) {
  FileDescriptor socket_(socket(endpoint.ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket_.fd < 0 || connect(socket_.fd, endpoint.ai_addr, endpoint.ai_addrlen) != 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  const std::uint32_t sequence = NewSequence();
  const std::vector<std::uint8_t> request = TrackingRequest(sequence);
  if (send(socket_.fd, request.data(), request.size(), 0) < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  // Room for a longer reply than we know, so that a longer one is not cut to look right.
  std::uint8_t reply[2 * kTrackingReplyBytes];
  const long received = Receive(socket_.fd, reply, sizeof reply, timeoutMs, why);
  if (received < 0) return std::nullopt;
  return ParseTrackingReply(reply, static_cast<std::size_t>(received), sequence, why);
}

}  // namespace

double ChronyFloat(std::uint32_t word) {
  // Both fields are two's complement: shift the sign bit of each into the top place.
  const int exponent = static_cast<std::int32_t>(word) >> kFloatCoefficientBits;
  const std::int32_t coefficient =
      static_cast<std::int32_t>(word << (32 - kFloatCoefficientBits)) >>
      (32 - kFloatCoefficientBits);
  return std::ldexp(static_cast<double>(coefficient), exponent - kFloatCoefficientBits);
}

std::vector<std::uint8_t> TrackingRequest(std::uint32_t sequence) {
  std::vector<std::uint8_t> request(kTrackingReplyBytes, 0);
  request[0] = kProtocolVersion;
  request[1] = kPacketRequest;
  Write16(request.data() + 4, kRequestTracking);
  Write32(request.data() + 8, sequence);
  return request;
}

std::optional<ChronyTracking> ParseTrackingReply(const std::uint8_t* data, std::size_t size,
                                                 std::uint32_t sequence, std::string& why) {
  why = ReplyFault(data, size, sequence);
  if (!why.empty()) return std::nullopt;
  const std::uint8_t* report = data + kReportAt;
  ChronyTracking tracking;
  tracking.referenceId = Read32(report);
  tracking.referenceAddress = AddressText(report + 4, Read16(data + kAddressFamilyAt));
  tracking.stratum = Read16(data + kStratumAt);
  tracking.leapStatus = Read16(data + kStratumAt + 2);
  double* const fields[] = {&tracking.currentCorrectionSeconds, &tracking.lastOffsetSeconds,
                            &tracking.rmsOffsetSeconds,         &tracking.frequencyPpm,
                            &tracking.residualFrequencyPpm,     &tracking.skewPpm,
                            &tracking.rootDelaySeconds,         &tracking.rootDispersionSeconds,
                            &tracking.updateIntervalSeconds};
  for (std::size_t i = 0; i < std::size(fields); ++i)
    *fields[i] = ChronyFloat(Read32(data + kFloatsAt + 4 * i));
  return tracking;
}

std::optional<ChronyTracking> QueryChronyTracking(int timeoutMs, std::string& why) {
  std::vector<AddrInfoList> lists;
  const std::string configured = Environment("VELTRANE_CHRONY_ADDRESS");
  std::string host, port;
  if (configured.empty()) {
    for (const char* loopback : {"127.0.0.1", "::1"})
      lists.push_back(Resolve(loopback, kDefaultPort, why));
  } else if (!SplitAddress(configured, host, port)) {
    why = "VELTRANE_CHRONY_ADDRESS=" + configured + " is not host:port";
    return std::nullopt;
  } else {
    lists.push_back(Resolve(host, port, why));
  }
  std::vector<const addrinfo*> endpoints;
  for (const AddrInfoList& list : lists)
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next)
      endpoints.push_back(entry);
  if (endpoints.empty()) return std::nullopt;

  // Each address in turn gets an equal share of what time is left, so that one that never
  // answers cannot leave the next none.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reasons;
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int share = static_cast<int>(left.count() / static_cast<long>(endpoints.size() - i));
    std::string reason;
    if (auto tracking = AskEndpoint(*endpoints[i], share, reason)) return tracking;
    reasons += (reasons.empty() ? "" : "; ") + EndpointText(*endpoints[i]) + ": " + reason;
  }
  why = "no tracking report from chronyd: " + reasons;
  return std::nullopt;
}

}  // namespace veltrane
