#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/linux/PosixScheduler.h"
#include "base/NormalThread.h"
#include "tests/platform/SchedulerContract.h"

namespace veltrane {
namespace {

std::uint32_t ThreadMask() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  std::uint32_t mask = 0;
  for (unsigned cpu = 0; cpu < 32; ++cpu) {
    if (CPU_ISSET(cpu, &set)) mask |= 1u << cpu;
  }
  return mask;
}

int ThreadPolicy() {
  int policy = -1;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &policy, &param);
  return policy;
}

int ThreadNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

// Puts the calling thread back to an ordinary policy and nice value.
void BackToNormal() {
  sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0);
}

bool IsRoot() { return geteuid() == 0; }

INSTANTIATE_TEST_SUITE_P(Posix, SchedulerContractTest,
                         testing::Values(SchedulerContractParam{
                             "Posix", [] { return std::make_shared<PosixScheduler>(); }}),
                         SchedulerContractName);

TEST(PosixSchedulerTest, ProcessorTimesComeFromTheCpuLineOfProcStat) {
  struct Case {
    const char* text;
    double ticksPerSecond;
    std::optional<ProcessorTimes> times;
  };
  const std::string full =
      "cpu  100 20 50 800 30 5 5 10 40 0\ncpu0 50 10 25 400 15 2 3 5 20 0\nintr 1 2\n";
  for (const Case& c : {
           // user nice system idle iowait irq softirq steal; the guests are within user.
           Case{full.c_str(), 100.0, ProcessorTimes{1.9, 10.2, 0.0}},
           Case{"cpu 100 0 50 850", 100.0, ProcessorTimes{1.5, 10.0, 0.0}},  // an old kernel
           Case{"cpu 100 0 50", 100.0, std::nullopt},
           Case{"cpu0 100 0 50 850 0 0 0 0", 100.0, std::nullopt},
           Case{"intr 1 2 3 4", 100.0, std::nullopt},
           Case{"", 100.0, std::nullopt},
           Case{"cpu 100 0 50 850 0 0 0 0", 0.0, std::nullopt},
       }) {
    const std::optional<ProcessorTimes> times = ParseProcessorTimes(c.text, c.ticksPerSecond);
    ASSERT_EQ(times.has_value(), c.times.has_value()) << c.text;
    if (!times) continue;
    EXPECT_DOUBLE_EQ(times->busy, c.times->busy) << c.text;
    EXPECT_DOUBLE_EQ(times->total, c.times->total) << c.text;
  }
}

TEST(PosixSchedulerTest, ProcessMaskIsTheProcessesAndLiesWithinTheSystemMask) {
  PosixScheduler scheduler;
  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  ASSERT_TRUE(scheduler.GetProcessAffinityMask(processMask, systemMask));
  EXPECT_EQ(processMask, ThreadMask());  // this is the main thread
  EXPECT_GE(std::popcount(systemMask), std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 32));
}

// The masks the contract sees given back are those the thread runs with.
TEST(PosixSchedulerTest, PinsAThreadToTheHighestAllowedProcessorAndRestoresIt) {
  PosixScheduler scheduler;
  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  ASSERT_TRUE(scheduler.GetProcessAffinityMask(processMask, systemMask));
  const std::uint32_t highest = std::bit_floor(processMask);

  std::thread([&] {
    const ThreadRef self = scheduler.CurrentThread();
    ASSERT_NE(scheduler.SetThreadAffinityMask(self, highest), 0u);
    EXPECT_EQ(ThreadMask(), highest);
    EXPECT_EQ(1u << sched_getcpu(), highest);
    scheduler.SetThreadAffinityMask(self, 0);
    EXPECT_EQ(ThreadMask(), highest) << "an empty mask changed the thread's";
    ASSERT_NE(scheduler.SetThreadAffinityMask(self, processMask), 0u);
    EXPECT_EQ(ThreadMask(), processMask);
  }).join();
}

TEST(PosixSchedulerTest, RealtimeClassRaisesEveryThreadAndNormalGivesBackWhatEachHad) {
  PosixScheduler scheduler;
  // Another thread of the process, already running, with a nice value of its own.
  std::mutex mutex;
  std::condition_variable changed;
  int step = 0;
  int otherNice = 99;
  std::thread other([&] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
    std::unique_lock lock(mutex);
    step = 1;
    changed.notify_all();
    changed.wait(lock, [&] { return step == 2; });
    otherNice = ThreadNice();
    step = 3;
    changed.notify_all();
    changed.wait(lock, [&] { return step == 4; });
    otherNice = ThreadNice();
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return step == 1; });
  }
  const int before = ThreadNice();

  ASSERT_TRUE(scheduler.SetPriorityClass(PriorityClass::Realtime));
  const int raised = ThreadNice();
  {
    std::unique_lock lock(mutex);
    step = 2;
    changed.notify_all();
    changed.wait(lock, [&] { return step == 3; });
  }
  const int otherRaised = otherNice;
  ASSERT_TRUE(scheduler.SetPriorityClass(PriorityClass::Normal));
  {
    std::unique_lock lock(mutex);
    step = 4;
    changed.notify_all();
  }
  other.join();

  if (IsRoot()) {
    EXPECT_EQ(raised, -20);
    EXPECT_EQ(otherRaised, -20);
  } else {
    EXPECT_LE(raised, before);
  }
  EXPECT_EQ(ThreadNice(), before);
  EXPECT_EQ(otherNice, 5);
}

TEST(PosixSchedulerTest, TimeCriticalThreadRunsFirstInFirstOutAsRoot) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  PosixScheduler scheduler;
  std::thread([&] {
    EXPECT_TRUE(scheduler.SetThreadTimeCritical(scheduler.CurrentThread()));
    int policy = -1;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_GT(param.sched_priority, 1);
    BackToNormal();
  }).join();
}

// The exit code of a child that could not set its limits (raising them needs
// CAP_SYS_RESOURCE, which containers often withhold even from root).
constexpr int kLimitsRefused = 90;

// Runs body in a child process under an ordinary user with the given limits and returns
// its exit code; body returns 0 when all went as expected.
int RunAsOrdinaryUser(rlim_t niceLimit, rlim_t rtprioLimit, int (*body)()) {
  const pid_t child = fork();
  if (child == 0) {
    const rlimit nice{niceLimit, niceLimit};
    const rlimit rtprio{rtprioLimit, rtprioLimit};
    if (setrlimit(RLIMIT_NICE, &nice) != 0 || setrlimit(RLIMIT_RTPRIO, &rtprio) != 0)
      _exit(kLimitsRefused);
    if (geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(91);
    }
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// With neither real-time priority nor a lower nice value allowed, every request is quietly
// capped to nothing: no error, nothing changed.
int NothingAllowed() {
  PosixScheduler scheduler;
  const int before = ThreadNice();
  if (!scheduler.SetPriorityClass(PriorityClass::Realtime)) return 1;
  if (ThreadNice() != before) return 2;
  if (!scheduler.SetThreadTimeCritical(scheduler.CurrentThread())) return 3;
  if (ThreadPolicy() != SCHED_OTHER || ThreadNice() != before) return 4;
  if (!scheduler.SetPriorityClass(PriorityClass::Normal)) return 5;
  if (ThreadNice() != before) return 6;
  return 0;
}

// RLIMIT_NICE 25 allows nice values down to -5, and no real-time priority.
int NiceDownToMinusFive() {
  PosixScheduler scheduler;
  const int before = ThreadNice();
  if (!scheduler.SetPriorityClass(PriorityClass::Realtime)) return 1;
  if (ThreadNice() != std::min(before, -5)) return 2;
  if (!scheduler.SetPriorityClass(PriorityClass::Normal)) return 3;
  if (ThreadNice() != before) return 4;
  // From another thread, a thread that has made itself known gets the nice value.
  int result = 0;
  std::mutex mutex;
  std::condition_variable changed;
  ThreadRef worker = 0;
  bool done = false;
  std::thread thread([&] {
    std::unique_lock lock(mutex);
    worker = scheduler.CurrentThread();
    changed.notify_all();
    changed.wait(lock, [&] { return done; });
    if (ThreadNice() != -5) result = 5;
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return worker != 0; });
    if (!scheduler.SetThreadTimeCritical(worker)) result = 6;
    done = true;
    changed.notify_all();
  }
  thread.join();
  return result;
}

// RLIMIT_RTPRIO 10 allows SCHED_FIFO up to priority 10.
int FifoUpToTen() {
  PosixScheduler scheduler;
  if (!scheduler.SetThreadTimeCritical(scheduler.CurrentThread())) return 1;
  int policy = -1;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &policy, &param);
  if (policy != SCHED_FIFO) return 2;
  if (param.sched_priority != 10) return 3;
  return 0;
}

// Each child reports the first check that failed as its exit code.
TEST(PosixSchedulerTest, OrdinaryUserSeesNoPriorityErrorWhenNothingIsAllowed) {
  EXPECT_EQ(RunAsOrdinaryUser(0, 0, NothingAllowed), 0);
}

TEST(PosixSchedulerTest, OrdinaryUserGetsTheStrongestNiceValueAllowed) {
  const int result = RunAsOrdinaryUser(25, 0, NiceDownToMinusFive);
  if (result == kLimitsRefused) GTEST_SKIP() << "RLIMIT_NICE cannot be raised here";
  EXPECT_EQ(result, 0);
}

TEST(PosixSchedulerTest, OrdinaryUserGetsTheRealtimePriorityAllowed) {
  const int result = RunAsOrdinaryUser(0, 10, FifoUpToTen);
  if (result == kLimitsRefused) GTEST_SKIP() << "RLIMIT_RTPRIO cannot be raised here";
  EXPECT_EQ(result, 0);
}

struct Observed {
  int policy = -1;
  std::uint32_t mask = 0;
};

// As the calibration worker is: pinned to one processor and, where allowed, SCHED_FIFO.
template <class Body>
void AsPinnedTimeCriticalThread(Body body) {
  std::thread([&] {
    PosixScheduler scheduler;
    const ThreadRef self = scheduler.CurrentThread();
    ASSERT_NE(scheduler.SetThreadAffinityMask(self, 1), 0u);
    ASSERT_TRUE(scheduler.SetThreadTimeCritical(self));
    body();
    BackToNormal();
  }).join();
}

TEST(NormalThreadTest, ThreadsStartedByAPinnedTimeCriticalThreadRunNormallyBesideIt) {
  const std::uint32_t processMask = ThreadMask();
  if (processMask <= 1) GTEST_SKIP() << "needs two processors";
  AsPinnedTimeCriticalThread([&] {
    const int creatorPolicy = ThreadPolicy();
    Observed started;
    NormalThread thread;
    ASSERT_TRUE(thread.Start([&] {
      started.policy = ThreadPolicy();
      started.mask = ThreadMask();
    }));
    thread.Join();
    EXPECT_EQ(started.policy, SCHED_OTHER);
    // Every processor of the process but the one the creator spins on.
    EXPECT_EQ(started.mask, processMask & ~1u);
    // The creator is as it was.
    EXPECT_EQ(ThreadPolicy(), creatorPolicy);
    EXPECT_EQ(ThreadMask(), 1u);
    if (IsRoot()) {
      EXPECT_EQ(creatorPolicy, SCHED_FIFO);
    }
  });
}

}  // namespace
}  // namespace veltrane
