#include "xpl/Xtimer.h"

#include "xpl/Xtime.h"
#include "xpl/XtimeOs.h"
#include "xpl/XtimerOs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct XtimerEntry {
  int64_t deadline;
  std::function<void()> callback;
};

struct XtimerState {
  std::mutex lock;
  std::condition_variable wakeUp;
  bool started = false;
  std::multimap<int64_t, XtimerEntry> xtimerQueue;
  // The worker takes every due entry at once and runs them without the lock. An entry
  // scheduled meanwhile with a deadline before the rest of that batch (a negative delay, or
  // the wall clock set back) must still run first: it raises overtaken, and the worker puts
  // the rest of the batch back into the queue before running anything else.
  bool batchRunning = false;
  int64_t batchLastDeadline = 0;
  std::atomic<bool> overtaken{false};
};

// Allocated once and never destroyed: the detached worker may still wait on the lock and
// condition while the process exits and static objects are torn down.
XtimerState& xtimerState() {
  static XtimerState* const state = new XtimerState;
  return *state;
}

// Bounds how long the lock is held while a backlog is moved out, so schedulers are not
// kept waiting behind a large burst.
constexpr size_t kMaxBatch = 256;

void xtimerRun(std::function<void()>& callback) {
  try {
    callback();
  } catch (...) {
    // A callback's failure is its own business; the other entries still have to run.
  }
  // Captured state goes now, outside the lock, in case its destructor schedules again.
  callback = nullptr;
}

int64_t xtimerRoundUpToMs(int64_t value) {
  const int64_t rest = value % 1000;
  return rest > 0 ? value - rest + 1000 : value - rest;
}

} // namespace

int xtimerSchedule(int64_t delayUs, std::function<void()> callback) {
  if (!callback)
    return 0;
  XtimerState& state = xtimerState();
  // Every schedule reads the clock; the cached zone conversion keeps that to one system
  // clock read. A zone change reaches deadlines within a second, and changes of the
  // wall clock are not compensated anyway.
  const int64_t deadline = xtimeNowUsCached() + delayUs;
  std::unique_lock<std::mutex> guard(state.lock);
  if (!state.started) {
    std::thread(xtimerWorker).detach();
    state.started = true;
    xtimerPinModule();
  }
  auto& queue = state.xtimerQueue;
  if (queue.size() >= queue.max_size())
    throw std::length_error("map/set too long");
  // A multimap inserts behind the equal keys already present: equal deadlines keep the
  // order of the calls. Deadlines mostly grow with the clock, so a deadline at or past the
  // last one goes straight to the end without a walk down the tree.
  const auto inserted =
      !queue.empty() && deadline >= queue.rbegin()->first
          ? queue.emplace_hint(queue.end(), deadline, XtimerEntry{deadline, std::move(callback)})
          : queue.emplace(deadline, XtimerEntry{deadline, std::move(callback)});
  if (state.batchRunning && deadline < state.batchLastDeadline)
    state.overtaken.store(true, std::memory_order_release);
  // The worker waits for the first deadline only, so only a new first entry changes what
  // it waits for; any other wake-up would be a wasted system call.
  if (inserted == queue.begin())
    state.wakeUp.notify_one();
  return 0;
}

void xtimerWorker() {
  XtimerState& state = xtimerState();
  auto& queue = state.xtimerQueue;
  std::vector<XtimerEntry> batch;
  batch.reserve(kMaxBatch);
  std::unique_lock<std::mutex> guard(state.lock);
  for (;;) {
    if (queue.empty()) {
      state.wakeUp.wait(guard);
      continue;
    }
    const int64_t now = xtimeNowUs();
    const auto first = queue.begin();
    if (first->first > now) {
      // The clock ticks in whole milliseconds, so the entry becomes due at the next
      // millisecond boundary at or after its deadline; aim the wait at that moment with
      // the finer clock rather than overshooting by up to a millisecond.
      const int64_t remaining = xtimerRoundUpToMs(first->first) - xtimeNowPreciseUs();
      if (remaining < 1)
        continue;
      state.wakeUp.wait_for(guard, std::chrono::microseconds(remaining));
      continue;
    }

    auto end = first;
    while (end != queue.end() && end->first <= now && batch.size() < kMaxBatch) {
      batch.push_back(std::move(end->second));
      ++end;
    }
    queue.erase(first, end);
    state.batchLastDeadline = batch.back().deadline;
    state.batchRunning = true;
    state.overtaken.store(false, std::memory_order_relaxed);
    guard.unlock();

    size_t next = 0;
    for (; next < batch.size(); ++next) {
      if (next > 0 && state.overtaken.load(std::memory_order_acquire))
        break;
      xtimerRun(batch[next].callback);
    }

    guard.lock();
    state.batchRunning = false;
    // Back in reverse order, each in front of any equal deadline scheduled since: the
    // entries were scheduled before those, so they keep their place among equals.
    for (size_t i = batch.size(); i-- > next;) {
      const int64_t deadline = batch[i].deadline;
      queue.emplace_hint(queue.lower_bound(deadline), deadline, std::move(batch[i]));
    }
    batch.clear();
  }
}
