#include "xpl/Xtimer.h"
#include "xpl/Xtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = std::chrono::seconds(10);

// What the callbacks did, in the order they did it, shared with the test thread.
class Journal {
public:
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(what);
    changed_.notify_all();
  }
  bool waitForSize(size_t size, Clock::duration timeout = kPatience) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return entries_.size() >= size; });
  }
  std::vector<std::string> entries() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
  }

private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

// Holds the worker inside a callback so that entries pile up behind it and are already due
// together when it lets go. The callback shares the state: the worker may still be leaving
// the wait when the gate goes out of scope.
class WorkerGate {
public:
  WorkerGate() : state_(std::make_shared<State>()) {
    auto state = state_;
    xtimerSchedule(0, [state] {
      std::unique_lock<std::mutex> guard(state->lock);
      state->entered = true;
      state->changed.notify_all();
      state->changed.wait_for(guard, kPatience, [&] { return state->released; });
    });
    std::unique_lock<std::mutex> guard(state_->lock);
    holding_ = state_->changed.wait_for(guard, kPatience, [&] { return state_->entered; });
  }
  ~WorkerGate() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->released = true;
    state_->changed.notify_all();
  }
  bool holding() const { return holding_; }

private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
  };
  std::shared_ptr<State> state_;
  bool holding_ = false;
};

std::vector<std::string> names(std::initializer_list<const char*> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

TEST(XtimerOrder, EqualDeadlinesRunInCallOrder) {
  constexpr int kCount = 1000;
  auto journal = std::make_shared<Journal>();
  int sharedDeadlines = 0;
  {
    WorkerGate gate;
    ASSERT_TRUE(gate.holding());
    int64_t previous = -1;
    for (int i = 0; i < kCount; ++i) {
      // When the clock reads the same before and after, the deadline is that reading.
      const int64_t before = xtimeNowUs();
      EXPECT_EQ(xtimerSchedule(0, [journal, i] { journal->add(std::to_string(i)); }), 0);
      const int64_t after = xtimeNowUs();
      if (before == after && before == previous)
        ++sharedDeadlines;
      previous = before == after ? before : -1;
    }
  }
  ASSERT_TRUE(journal->waitForSize(kCount));
  ASSERT_GT(sharedDeadlines, 0) << "no two entries were known to share a deadline";
  const auto entries = journal->entries();
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(entries[i], std::to_string(i));
}

TEST(XtimerOrder, ZeroDelayOvertakesAWaitForALaterDeadline) {
  auto journal = std::make_shared<Journal>();
  xtimerSchedule(0, [journal] { journal->add("marker"); });
  xtimerSchedule(500000, [journal] { journal->add("later"); });
  ASSERT_TRUE(journal->waitForSize(1));
  // Give the worker the moment it needs to start waiting for "later".
  std::this_thread::sleep_for(milliseconds(20));
  const auto scheduled = Clock::now();
  auto ranAt = std::make_shared<std::atomic<int64_t>>(0);
  xtimerSchedule(0, [journal, ranAt, scheduled] {
    ranAt->store(std::chrono::duration_cast<milliseconds>(Clock::now() - scheduled).count());
    journal->add("now");
  });
  ASSERT_TRUE(journal->waitForSize(3));
  EXPECT_EQ(journal->entries(), names({"marker", "now", "later"}));
  EXPECT_LT(ranAt->load(), 250) << "the zero delay waited for the later deadline";
}

TEST(XtimerOrder, PastDeadlineRunsAtOnceAheadOfPendingOnes) {
  auto journal = std::make_shared<Journal>();
  xtimerSchedule(300000, [journal] { journal->add("pending"); });
  const auto scheduled = Clock::now();
  xtimerSchedule(-3600LL * 1000000, [journal] { journal->add("past"); });
  ASSERT_TRUE(journal->waitForSize(1));
  EXPECT_LT(Clock::now() - scheduled, milliseconds(250));
  ASSERT_TRUE(journal->waitForSize(2));
  EXPECT_EQ(journal->entries(), names({"past", "pending"}));
}

TEST(XtimerOrder, ScheduleFromACallbackRunsAfterItReturnsBehindDueEntries) {
  auto journal = std::make_shared<Journal>();
  {
    WorkerGate gate;
    ASSERT_TRUE(gate.holding());
    xtimerSchedule(0, [journal] {
      journal->add("first");
      xtimerSchedule(0, [journal] { journal->add("scheduled by first"); });
      journal->add("first returns");
    });
    xtimerSchedule(0, [journal] { journal->add("due 1"); });
    xtimerSchedule(0, [journal] { journal->add("due 2"); });
  }
  ASSERT_TRUE(journal->waitForSize(5));
  EXPECT_EQ(journal->entries(),
            names({"first", "first returns", "due 1", "due 2", "scheduled by first"}));
}

TEST(XtimerOrder, EarlierDeadlineScheduledByACallbackRunsBeforeTheRestOfTheDueEntries) {
  // The entries behind "first" were due together; one scheduled with a deadline in the past
  // still goes ahead of them, and one with delay 0 stays behind them.
  auto journal = std::make_shared<Journal>();
  {
    WorkerGate gate;
    ASSERT_TRUE(gate.holding());
    xtimerSchedule(0, [journal] {
      journal->add("first");
      xtimerSchedule(0, [journal] { journal->add("delay 0"); });
      xtimerSchedule(-60LL * 1000000, [journal] { journal->add("a minute ago"); });
    });
    xtimerSchedule(0, [journal] { journal->add("due 1"); });
    xtimerSchedule(0, [journal] { journal->add("due 2"); });
  }
  ASSERT_TRUE(journal->waitForSize(5));
  EXPECT_EQ(journal->entries(), names({"first", "a minute ago", "due 1", "due 2", "delay 0"}));
}

TEST(XtimerRobustness, SurvivesEmptyAndThrowingCallbacks) {
  auto journal = std::make_shared<Journal>();
  EXPECT_EQ(xtimerSchedule(0, std::function<void()>()), 0);
  EXPECT_EQ(xtimerSchedule(0,
                           [journal] {
                             journal->add("throws");
                             throw std::runtime_error("callback failure");
                           }),
            0);
  xtimerSchedule(0, [journal] { journal->add("after"); });
  xtimerSchedule(1000, [journal] { throw 42; });
  xtimerSchedule(2000, [journal] { journal->add("after a non-standard exception"); });
  ASSERT_TRUE(journal->waitForSize(3));
  EXPECT_EQ(journal->entries(), names({"throws", "after", "after a non-standard exception"}));
}

TEST(XtimerLoad, TimersFromSeveralThreadsEachFireOnceAndNotEarly) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  constexpr int kTotal = kThreads * kPerThread;
  struct Shared {
    std::atomic<int> fired[kTotal];
    std::atomic<int> early{0};
    std::atomic<int> remaining{kTotal};
    Journal done;
  };
  auto shared = std::make_shared<Shared>();
  for (auto& f : shared->fired)
    f.store(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([shared, t] {
      std::mt19937 random(1234 + t);
      std::uniform_int_distribution<int> delayMs(0, 20);
      for (int i = 0; i < kPerThread; ++i) {
        const int id = t * kPerThread + i;
        const int64_t delay = delayMs(random) * 1000;
        const int64_t earliest = xtimeNowUs() + delay;
        xtimerSchedule(delay, [shared, id, earliest] {
          if (xtimeNowUs() < earliest)
            shared->early.fetch_add(1);
          shared->fired[id].fetch_add(1);
          if (shared->remaining.fetch_sub(1) == 1)
            shared->done.add("all");
        });
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(shared->done.waitForSize(1)) << shared->remaining.load() << " timers never fired";
  // A duplicate would run after the last one counted; let the worker pass once more.
  auto fence = std::make_shared<Journal>();
  xtimerSchedule(25000, [fence] { fence->add("fence"); });
  ASSERT_TRUE(fence->waitForSize(1));
  int wrong = 0;
  for (int id = 0; id < kTotal; ++id)
    wrong += shared->fired[id].load() != 1;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(shared->early.load(), 0);
}

int64_t processCpuUs() {
#if defined(_WIN32)
  FILETIME creation, exit, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user))
    return -1;
  auto value = [](const FILETIME& t) {
    return (static_cast<int64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10;
  };
  return value(kernel) + value(user);
#else
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
#endif
}

TEST(XtimerIdle, WorkerWithAnEmptyQueueUsesNoProcessorTime) {
  // The CPU clock must be able to see a busy thread, or the measurement proves nothing.
  const int64_t spinStart = processCpuUs();
  const auto giveUp = Clock::now() + std::chrono::seconds(1);
  volatile uint64_t sink = 0;
  while (processCpuUs() - spinStart < 20000 && Clock::now() < giveUp)
    sink = sink + 1;
  if (processCpuUs() - spinStart < 20000)
    GTEST_SKIP() << "process CPU time does not follow a busy thread here";

  auto started = std::make_shared<Journal>();
  xtimerSchedule(0, [started] { started->add("worker running"); });
  ASSERT_TRUE(started->waitForSize(1));

  std::mutex lock;
  std::condition_variable never;
  std::unique_lock<std::mutex> guard(lock);
  const int64_t before = processCpuUs();
  const auto start = Clock::now();
  never.wait_for(guard, std::chrono::seconds(1), [] { return false; });
  const int64_t used = processCpuUs() - before;
  const auto elapsedUs =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  // A worker that polls, even once a millisecond, shows up well above this.
  EXPECT_LT(used, elapsedUs / 50) << used << " us of CPU time in " << elapsedUs << " us";
}

} // namespace
