#include "platform/linux/PosixScheduler.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace veltrane {
namespace {

constexpr unsigned kMaskBits = 32;

// High enough to run ahead of the ordinary real-time helpers of a desktop, below PipeWire's
// data threads (88) and the kernel's own (99), whose work the device's position depends on.
constexpr int kTimeCriticalFifoPriority = 70;

constexpr int kStrongestNice = -20;
constexpr int kWeakestNice = 19;

// Kernel thread ids of the threads that have called CurrentThread, by pthread_t, so that a
// nice value can be given to them from another thread. Each thread removes its own entry
// when it ends, so a reused pthread_t never reaches a stale id. Never destroyed: threads
// may end after static destruction has begun.
struct ThreadRegistry {
  std::mutex mutex;
  std::map<ThreadRef, pid_t> kernelIds;
};
ThreadRegistry& Registry() {
  static auto* registry = new ThreadRegistry;
  return *registry;
}

struct RegisteredThread {
  ThreadRef ref = 0;
  ~RegisteredThread() {
    if (ref == 0) return;
    std::lock_guard lock(Registry().mutex);
    Registry().kernelIds.erase(ref);
  }
};
thread_local RegisteredThread registeredThread;

ThreadRef RefOf(pthread_t thread) { return static_cast<ThreadRef>(thread); }

bool KernelIdOf(ThreadRef thread, pid_t& tid) {
  if (thread == RefOf(pthread_self())) {
    tid = gettid();
    return true;
  }
  std::lock_guard lock(Registry().mutex);
  const auto found = Registry().kernelIds.find(thread);
  if (found == Registry().kernelIds.end()) return false;
  tid = found->second;
  return true;
}

std::uint32_t LowMask(const cpu_set_t& set) {
  std::uint32_t mask = 0;
  for (unsigned cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET(cpu, &set)) mask |= 1u << cpu;
  }
  return mask;
}

// Parses a kernel CPU list such as "0-3,6,8-9" into the low 32 processors.
std::uint32_t ParseCpuList(const std::string& text) {
  std::uint32_t mask = 0;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    unsigned first = 0;
    unsigned last = 0;
    const auto dash = item.find('-');
    try {
      first = static_cast<unsigned>(std::stoul(item.substr(0, dash)));
      last = dash == std::string::npos ? first
                                       : static_cast<unsigned>(std::stoul(item.substr(dash + 1)));
    } catch (const std::exception&) {
      return 0;
    }
    for (unsigned cpu = first; cpu <= last && cpu < kMaskBits; ++cpu) mask |= 1u << cpu;
  }
  return mask;
}

std::uint32_t OnlineMask() {
  std::ifstream online("/sys/devices/system/cpu/online");
  std::string text;
  if (std::getline(online, text)) {
    const std::uint32_t mask = ParseCpuList(text);
    if (mask != 0) return mask;
  }
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count <= 0) return 0;
  if (count >= static_cast<long>(kMaskBits)) return 0xFFFFFFFFu;
  return (1u << count) - 1;
}

bool IsRealtimePolicy(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

bool ReadNice(pid_t tid, int& nice) {
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (value == -1 && errno != 0) return false;
  nice = value;
  return true;
}

// Gives tid the strongest nice value this process may set, never a weaker one than it has.
// False only on an error other than a refusal or a thread that has ended meanwhile.
bool ApplyStrongestNice(pid_t tid) {
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kStrongestNice) == 0) return true;
  if (errno == ESRCH) return true;
  if (errno != EPERM && errno != EACCES) return false;
  // Without CAP_SYS_NICE, RLIMIT_NICE sets the floor at 20 - limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) return true;
  int floor = kWeakestNice + 1;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 40) {
    floor = kStrongestNice;
  } else {
    floor = 20 - static_cast<int>(limit.rlim_cur);
  }
  int current = 0;
  if (!ReadNice(tid, current) || floor >= current) return true;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), floor) == 0) return true;
  return errno == EPERM || errno == EACCES || errno == ESRCH;
}

// The kernel ids of the process's threads; at least the caller's and the main thread's when
// /proc cannot be listed.
std::vector<pid_t> ProcessThreads() {
  std::vector<pid_t> tids;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    try {
      tids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    } catch (const std::exception&) {
    }
  }
  if (tids.empty()) {
    tids.push_back(getpid());
    if (gettid() != getpid()) tids.push_back(gettid());
  }
  return tids;
}

bool UnderRealtimePolicy(pid_t tid) {
  const int policy = sched_getscheduler(tid);
  return policy >= 0 && IsRealtimePolicy(policy & ~SCHED_RESET_ON_FORK);
}

}  // namespace

ThreadRef PosixScheduler::CurrentThread() {
  const ThreadRef self = RefOf(pthread_self());
  if (registeredThread.ref != self) {
    std::lock_guard lock(Registry().mutex);
    Registry().kernelIds[self] = gettid();
    registeredThread.ref = self;
  }
  return self;
}

bool PosixScheduler::GetProcessAffinityMask(std::uint32_t& processMask, std::uint32_t& systemMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(getpid(), sizeof(set), &set) != 0) return false;
  const std::uint32_t process = LowMask(set);
  // A process confined to processors from number 32 on has nothing that a mask can name.
  if (process == 0) return false;
  processMask = process;
  systemMask = OnlineMask() | process;
  return true;
}

std::uint32_t PosixScheduler::SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) {
  if (thread == 0 || mask == 0) return 0;
  const auto handle = static_cast<pthread_t>(thread);
  cpu_set_t previous;
  CPU_ZERO(&previous);
  if (pthread_getaffinity_np(handle, sizeof(previous), &previous) != 0) return 0;
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  for (unsigned cpu = 0; cpu < kMaskBits; ++cpu) {
    if (mask & (1u << cpu)) CPU_SET(cpu, &wanted);
  }
  if (pthread_setaffinity_np(handle, sizeof(wanted), &wanted) != 0) return 0;
  return LowMask(previous);
}

bool PosixScheduler::SetPriorityClass(PriorityClass priorityClass) {
  std::lock_guard lock(mutex);
  bool ok = true;
  if (priorityClass == PriorityClass::Realtime) {
    if (!raised) {
      if (!ReadNice(getpid(), processNice)) processNice = 0;
      raised = true;
    }
    for (const pid_t tid : ProcessThreads()) {
      if (UnderRealtimePolicy(tid)) continue;
      int nice = 0;
      if (!ReadNice(tid, nice)) continue;  // ended meanwhile
      previousNice.emplace(tid, nice);
      ok = ApplyStrongestNice(tid) && ok;
    }
    return ok;
  }

  if (!raised) return true;
  for (const pid_t tid : ProcessThreads()) {
    if (UnderRealtimePolicy(tid)) continue;
    const auto found = previousNice.find(tid);
    const int nice = found == previousNice.end() ? processNice : found->second;
    // Weakening a nice value is always allowed; a thread that has ended is no error.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0 && errno != ESRCH) {
      ok = false;
    }
  }
  previousNice.clear();
  raised = false;
  return ok;
}

bool PosixScheduler::SetThreadTimeCritical(ThreadRef thread) {
  if (thread == 0) return false;
  const auto handle = static_cast<pthread_t>(thread);
  sched_param param{};
  param.sched_priority = kTimeCriticalFifoPriority;
  int result = pthread_setschedparam(handle, SCHED_FIFO, &param);
  if (result == 0) return true;
  if (result != EPERM) return false;

  // Without CAP_SYS_NICE, RLIMIT_RTPRIO may still allow a lower real-time priority.
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
    param.sched_priority =
        limit.rlim_cur == RLIM_INFINITY
            ? kTimeCriticalFifoPriority
            : std::min<int>(kTimeCriticalFifoPriority, static_cast<int>(limit.rlim_cur));
    if (pthread_setschedparam(handle, SCHED_FIFO, &param) == 0) return true;
  }

  pid_t tid = 0;
  if (!KernelIdOf(thread, tid)) return false;
  return ApplyStrongestNice(tid);
}

std::optional<ProcessorTimes> ParseProcessorTimes(const std::string& procStat,
                                                  double ticksPerSecond) {
  // user nice system idle iowait irq softirq steal; guest time is already counted in user.
  constexpr std::size_t kFields = 8;
  constexpr std::size_t kIdle = 3, kIoWait = 4;
  std::istringstream text(procStat);
  std::string name;
  if (!(text >> name) || name != "cpu" || !(ticksPerSecond > 0.0)) return std::nullopt;
  std::array<unsigned long long, kFields> ticks{};
  // Kernels before 2.6.11 give no steal time, before 2.6 no iowait or irq at all.
  std::size_t read = 0;
  while (read < kFields && text.peek() != '\n' && text >> ticks[read]) ++read;
  if (read <= kIdle) return std::nullopt;
  double busy = 0.0, idle = 0.0;
  for (std::size_t i = 0; i < read; ++i) {
    (i == kIdle || i == kIoWait ? idle : busy) += static_cast<double>(ticks[i]);
  }
  return ProcessorTimes{busy / ticksPerSecond, (busy + idle) / ticksPerSecond, 0.0};
}

std::optional<ProcessorTimes> PosixScheduler::ReadProcessorTimes() {
  std::ifstream file("/proc/stat");
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  std::optional<ProcessorTimes> times =
      ParseProcessorTimes(line, static_cast<double>(sysconf(_SC_CLK_TCK)));
  timespec own{};
  if (!times || clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &own) != 0) return std::nullopt;
  times->own = static_cast<double>(own.tv_sec) + static_cast<double>(own.tv_nsec) * 1e-9;
  return times;
}

}  // namespace veltrane
