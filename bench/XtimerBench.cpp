// The timer service under load: what one xtimerSchedule costs with 100,000 entries pending,
// against a bare multimap insert under a mutex measured in the same run, and how late
// callbacks fire, sparse and in a burst.
//
// Lateness is taken inside each callback with steady_clock against the due time computed
// when the entry was scheduled. The service's clock ticks in whole milliseconds: an entry
// scheduled at 12.7 ms with a delay of 3 ms gets the deadline 15 ms and is due at 15 ms of
// the wall clock, 0.7 ms before "schedule time + delay". The sparse case therefore reads the
// wall clock around the call, takes the part below the millisecond (the same for local time
// and UTC, zone offsets being whole seconds) and moves the due time back by it; samples whose
// two readings straddle a millisecond boundary are dropped as ambiguous. It also reports the
// lateness against schedule time + delay, which includes that truncation.
//
// The sparse case's baseline is the floor of this machine: after each timer, the benchmark
// thread itself sleeps the same delay with clock_nanosleep to an absolute time, with the
// timer slack the worker asks for, and measures how late it wakes. What the service adds is
// the difference.
#include "xpl/Xtime.h"
#include "xpl/Xtimer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <time.h>

namespace {

using Clock = std::chrono::steady_clock;

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

int64_t wallUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Counts fired callbacks so a case can wait until the service's queue holds none of its
// entries any more; only the last one wakes the waiting thread, so the count costs the
// worker no system call per callback.
struct FireCounter {
  explicit FireCounter(int64_t target) : target(target) {}
  const int64_t target;
  std::atomic<int64_t> fired{0};
  std::mutex lock;
  std::condition_variable changed;

  void add() {
    if (fired.fetch_add(1) + 1 != target)
      return;
    std::lock_guard<std::mutex> guard(lock);
    changed.notify_all();
  }
  // Entries still queued would point at a dead counter: a case that cannot drain ends the
  // run.
  void waitForAll() {
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, std::chrono::seconds(60), [&] { return fired >= target; })) {
      std::fprintf(stderr, "timer queue did not drain: %lld of %lld fired\n",
                   static_cast<long long>(fired.load()), static_cast<long long>(target));
      std::abort();
    }
  }
};

constexpr int kPending = 100000;
constexpr int kCallsPerThread = 100000;
// Far enough out that nothing fires while the schedule calls are timed.
constexpr int64_t kPendingDelayUs = 2000000;

std::vector<int64_t> makeKeys(bool random, int count, uint32_t salt) {
  std::vector<int64_t> keys(count);
  std::mt19937 generator(salt);
  std::uniform_int_distribution<int64_t> spread(0, 1000000);
  for (int i = 0; i < count; ++i)
    keys[i] = random ? spread(generator) : i * 10;
  return keys;
}

// Runs body(thread, count) on `threads` threads at once and returns the nanoseconds per
// call one thread saw on average.
double timePerCall(int threads, const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<int64_t> elapsed(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load())
        std::this_thread::yield();
      const int64_t start = steadyNs();
      body(t);
      elapsed[t] = steadyNs() - start;
    });
  }
  while (ready.load() < threads)
    std::this_thread::yield();
  go.store(true);
  for (auto& thread : pool)
    thread.join();
  int64_t sum = 0;
  for (int64_t e : elapsed)
    sum += e;
  return static_cast<double>(sum) / threads / kCallsPerThread;
}

void BM_SchedulePending(benchmark::State& state) {
  const bool random = state.range(0) != 0;
  const int threads = static_cast<int>(state.range(1));
  double serviceNs = 0;
  double baselineNs = 0;
  for (auto _ : state) {
    // Baseline: the bare data structure with the same keys and the same load.
    {
      std::mutex lock;
      std::multimap<int64_t, std::function<void()>> map;
      const auto preload = makeKeys(random, kPending, 1);
      for (int64_t key : preload)
        map.emplace(kPendingDelayUs + key, [] {});
      std::vector<std::vector<int64_t>> keys;
      for (int t = 0; t < threads; ++t)
        keys.push_back(makeKeys(random, kCallsPerThread, 2 + t));
      const int64_t base = kPendingDelayUs + kPending * 10;
      baselineNs = timePerCall(threads, [&](int t) {
        for (int64_t key : keys[t]) {
          std::lock_guard<std::mutex> guard(lock);
          map.emplace(base + key, [] {});
        }
      });
    }
    // The service, with its own clock read and deadline computation in every call.
    {
      FireCounter counterStore(kPending + int64_t{threads} * kCallsPerThread);
      FireCounter* counter = &counterStore;
      const auto preload = makeKeys(random, kPending, 1);
      for (int64_t key : preload)
        xtimerSchedule(kPendingDelayUs + key, [counter] { counter->add(); });
      std::vector<std::vector<int64_t>> keys;
      for (int t = 0; t < threads; ++t)
        keys.push_back(makeKeys(random, kCallsPerThread, 2 + t));
      const int64_t base = kPendingDelayUs + (random ? 0 : kPending * 10);
      serviceNs = timePerCall(threads, [&](int t) {
        for (int64_t key : keys[t])
          xtimerSchedule(base + key, [counter] { counter->add(); });
      });
      counter->waitForAll();
    }
    state.SetIterationTime(serviceNs * kCallsPerThread * 1e-9);
  }
  state.counters["schedule_ns"] = serviceNs;
  state.counters["baseline_ns"] = baselineNs;
  state.counters["ratio"] = serviceNs / baselineNs;
}
BENCHMARK(BM_SchedulePending)
    ->ArgNames({"random", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double percentile(std::vector<double> values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  return values[index];
}

// Sleeps until steadyNs() reaches dueNs and returns how many microseconds late it woke.
double sleepLatenessUs(int64_t dueNs) {
  const timespec due{static_cast<time_t>(dueNs / 1000000000),
                     static_cast<long>(dueNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
  }
  return (steadyNs() - dueNs) / 1000.0;
}

void spinFor(int64_t ns) {
  const int64_t until = steadyNs() + ns;
  while (steadyNs() < until) {
  }
}

void BM_SparseLateness(benchmark::State& state) {
  constexpr int kTimers = 300;
  std::vector<double> granular;
  std::vector<double> raw;
  std::vector<double> floor;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  int ambiguous = 0;
  std::mt19937 generator(7);
  std::uniform_int_distribution<int> delayMs(1, 10);
  std::uniform_int_distribution<int> phase(0, 999);
  for (auto _ : state) {
    const int64_t caseStart = steadyNs();
    for (int i = 0; i < kTimers; ++i) {
      struct Fired {
        FireCounter counter{1};
        int64_t at = 0;
      } fired;
      Fired* f = &fired;
      const int64_t delayUs = delayMs(generator) * 1000;
      // Each timer is scheduled right after the previous one fired, just past a millisecond
      // boundary; a random pause spreads the scheduling moments over the millisecond.
      spinFor(phase(generator) * 1000);
      const int64_t wallBefore = wallUs();
      const int64_t scheduledNs = steadyNs();
      xtimerSchedule(delayUs, [f] {
        f->at = steadyNs();
        f->counter.add();
      });
      const int64_t wallAfter = wallUs();
      fired.counter.waitForAll();
      const int64_t intendedNs = scheduledNs + delayUs * 1000;
      raw.push_back((fired.at - intendedNs) / 1000.0);
      if (wallBefore / 1000 != wallAfter / 1000) {
        ++ambiguous;
        continue;
      }
      const int64_t dueNs = intendedNs - (wallBefore % 1000) * 1000;
      granular.push_back((fired.at - dueNs) / 1000.0);
      spinFor(phase(generator) * 1000);
      floor.push_back(sleepLatenessUs(steadyNs() + delayUs * 1000));
    }
    state.SetIterationTime((steadyNs() - caseStart) * 1e-9);
  }
  state.counters["p50_us"] = percentile(granular, 0.50);
  state.counters["p99_us"] = percentile(granular, 0.99);
  state.counters["raw_p50_us"] = percentile(raw, 0.50);
  state.counters["raw_p99_us"] = percentile(raw, 0.99);
  state.counters["dropped"] = ambiguous;
  state.counters["floor_p50_us"] = percentile(floor, 0.50);
  state.counters["floor_p99_us"] = percentile(floor, 0.99);
}
BENCHMARK(BM_SparseLateness)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_BurstLateness(benchmark::State& state) {
  constexpr int kTimers = 100000;
  std::vector<int64_t> scheduled(kTimers);
  std::vector<int64_t> fired(kTimers);
  for (auto _ : state) {
    // Captures of two words stay inside the function wrapper, as in the baseline.
    struct Burst {
      FireCounter counter{kTimers};
      int64_t* firedAt;
    } burst;
    burst.firedAt = fired.data();
    Burst* b = &burst;
    const int64_t start = steadyNs();
    for (int i = 0; i < kTimers; ++i) {
      scheduled[i] = steadyNs();
      xtimerSchedule(0, [b, i] {
        b->firedAt[i] = steadyNs();
        b->counter.add();
      });
    }
    const int64_t scheduledAll = steadyNs();
    burst.counter.waitForAll();
    const int64_t drained = *std::max_element(fired.begin(), fired.end());
    state.SetIterationTime((drained - start) * 1e-9);
    state.counters["schedule_ms"] = (scheduledAll - start) / 1e6;
    state.counters["drain_ms"] = (drained - start) / 1e6;
  }
  std::vector<double> lateness(kTimers);
  for (int i = 0; i < kTimers; ++i)
    lateness[i] = (fired[i] - scheduled[i]) / 1000.0;
  state.counters["p50_us"] = percentile(lateness, 0.50);
  state.counters["p99_us"] = percentile(lateness, 0.99);
  state.counters["max_us"] = percentile(lateness, 1.0);
}
BENCHMARK(BM_BurstLateness)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The clock read that every schedule call makes, against the monotonic clock's.
void BM_ClockRead(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(xtimeNowUs());
}
BENCHMARK(BM_ClockRead);

void BM_ClockReadBaseline(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(Clock::now());
}
BENCHMARK(BM_ClockReadBaseline);

} // namespace

BENCHMARK_MAIN();
