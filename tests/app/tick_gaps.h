// Gaps between the ticks of a UI thread's timer. Beside the wall-clock gap
// each gap also gets the part the thread spent ready to run but waiting for a
// processor (the run-queue delay of /proc/thread-self/schedstat): on a busy
// machine that delay is the scheduler's, not the program's. A thread that
// blocks (a lookup, a join) is not waiting for a processor, so such a stall
// stays in the remainder in full. Without schedstat the remainder is the
// whole gap. Where a processor of the machine stood still (a virtual
// processor not run at all), a witness thread on it that does nothing but
// sleep 2 ms at a time goes just as long without waking; that part of a gap
// is the machine's too.
#pragma once
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace ticklog {

using Clock = std::chrono::steady_clock;

inline uint64_t RunQueueDelayNs(uint64_t* onCpuNs = nullptr) {
  int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[128] = {};
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  unsigned long long onCpu = 0, queued = 0;
  if (std::sscanf(buf, "%llu %llu", &onCpu, &queued) != 2) return 0;
  if (onCpuNs) *onCpuNs = onCpu;
  return queued;
}

// One sleeper per processor, each kept on its processor where allowed: a
// virtual processor that is not run at all stalls only the threads on it.
class Witness {
 public:
  static constexpr auto kSleep = std::chrono::milliseconds(2);
  Witness() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    sleepers_.resize(n);
    for (unsigned cpu = 0; cpu < n; ++cpu) {
      Sleeper& s = sleepers_[cpu];
      s.wakes.reserve(100000);
      s.thread = std::thread([this, &s, cpu] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        while (!stop_) {
          std::this_thread::sleep_for(kSleep);
          if (s.wakes.size() < s.wakes.capacity()) s.wakes.push_back(Clock::now());
        }
      });
    }
  }
  ~Witness() { Stop(); }
  void Stop() {
    stop_ = true;
    for (Sleeper& s : sleepers_) {
      if (s.thread.joinable()) s.thread.join();
    }
  }
  // After Stop: the longest time within [a, b] that a sleeper went without
  // waking, less its own sleep.
  Clock::duration StallWithin(Clock::time_point a, Clock::time_point b) const {
    Clock::duration longest{};
    for (const Sleeper& s : sleepers_) {
      auto it = std::lower_bound(s.wakes.begin(), s.wakes.end(), a);
      if (it != s.wakes.begin()) --it;
      for (; it != s.wakes.end() && it + 1 != s.wakes.end() && *it < b; ++it) {
        longest = std::max(longest, Clock::duration(std::min(*(it + 1), b) - std::max(*it, a)));
      }
    }
    return longest > kSleep ? longest - kSleep : Clock::duration{};
  }

 private:
  struct Sleeper {
    std::vector<Clock::time_point> wakes;
    std::thread thread;
  };
  std::vector<Sleeper> sleepers_;
  std::atomic<bool> stop_{false};
};

struct Gap {
  long long wallMs = 0;
  long long queuedMs = 0;  // waiting for a processor
  long long stalledMs = 0;  // the witness not waking either
  long long ownMs = 0;  // wall minus the larger of queued and stalled
  long long cpuMs = 0;  // of the own part, on a processor
  size_t before = 0;    // index of the tick that ended the gap
};

class TickLog {
 public:
  TickLog() { ticks_.reserve(10000); }
  void Record(int id) {
    uint64_t cpu = 0;
    uint64_t queued = RunQueueDelayNs(&cpu);
    ticks_.push_back({Clock::now(), queued, cpu, id});
  }
  size_t Count() const { return ticks_.size(); }
  int IdAt(size_t i) const { return ticks_[i].id; }
  Clock::time_point At(size_t i) const { return ticks_[i].at; }

  // The gap with the largest own part, and the largest wall-clock gap; the
  // witness (stopped) may be left out.
  Gap LongestOwn(const Witness* w) const { return Longest(true, w); }
  Gap LongestWall(const Witness* w) const { return Longest(false, w); }

 private:
  struct Tick {
    Clock::time_point at;
    uint64_t queuedNs;
    uint64_t cpuNs;
    int id;
  };
  Gap Longest(bool own, const Witness* w) const {
    Gap best;
    for (size_t i = 1; i < ticks_.size(); ++i) {
      Gap g;
      g.wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(ticks_[i].at - ticks_[i - 1].at).count();
      g.queuedMs = static_cast<long long>((ticks_[i].queuedNs - ticks_[i - 1].queuedNs) / 1000000);
      if (w) {
        g.stalledMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          w->StallWithin(ticks_[i - 1].at, ticks_[i].at)).count();
      }
      g.ownMs = g.wallMs - std::max(g.queuedMs, g.stalledMs);
      g.cpuMs = static_cast<long long>((ticks_[i].cpuNs - ticks_[i - 1].cpuNs) / 1000000);
      g.before = i;
      if (own ? g.ownMs > best.ownMs : g.wallMs > best.wallMs) best = g;
    }
    return best;
  }
  std::vector<Tick> ticks_;
};

}  // namespace ticklog
