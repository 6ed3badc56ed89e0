#include "xpl/Xtimer.h"

#include "xpl/Xtime.h"
#include "xpl/XtimeOs.h"
#include "xpl/XtimerOs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

/// The most entries the queue holds; one more is a std::length_error.
constexpr size_t XTIMER_MAX_ENTRIES = 0x249249249249249;
/// The most due entries the worker takes per lock and clock read.
constexpr size_t XTIMER_BATCH_MAX = 64;

struct XtimerEntry {
  int64_t deadline;
  // Taken from a counter at each schedule: (deadline, sequence) orders the entries
  // completely, so equal deadlines run in call order, also after a batch hands them back.
  uint64_t sequence;
  std::function<void()> callback;
};

// The heap keeps its greatest element in front; "runs later" makes that the next entry due.
bool xtimerRunsLater(const XtimerEntry& a, const XtimerEntry& b) {
  return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
}

struct XtimerState {
  std::mutex lock;
  std::condition_variable wakeUp;
  bool started = false;
  uint64_t nextSequence = 0;
  std::vector<XtimerEntry> xtimerQueue; // a heap ordered by xtimerRunsLater
  // The worker runs a batch of due entries without the lock. An entry scheduled meanwhile
  // with a deadline before the batch's last one (a negative delay, or the wall clock set
  // back) must still run first: it raises overtaken, and the worker hands the rest of the
  // batch back to the queue before running anything else.
  int64_t batchLastDeadline = INT64_MIN; // INT64_MIN: no batch running
  std::atomic<bool> overtaken{false};
};

// Allocated once and never destroyed: the detached worker may still wait on the lock and
// condition while the process exits and static objects are torn down.
XtimerState& xtimerState() {
  static XtimerState* const state = new XtimerState;
  return *state;
}

void xtimerPush(std::vector<XtimerEntry>& queue, XtimerEntry&& entry) {
  queue.push_back(std::move(entry));
  std::push_heap(queue.begin(), queue.end(), xtimerRunsLater);
}

XtimerEntry xtimerPop(std::vector<XtimerEntry>& queue) {
  std::pop_heap(queue.begin(), queue.end(), xtimerRunsLater);
  XtimerEntry entry = std::move(queue.back());
  queue.pop_back();
  return entry;
}

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
  const int64_t rest = value % XTIME_US_PER_MS;
  return rest > 0 ? value - rest + XTIME_US_PER_MS : value - rest;
}

} // namespace

int xtimerSchedule(int64_t delayUs, std::function<void()> callback) {
  if (!callback)
    return 0;
  XtimerState& state = xtimerState();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.started) {
    std::thread(xtimerWorker).detach();
    state.started = true;
    xtimerPinModule();
  }
  auto& queue = state.xtimerQueue;
  if (queue.size() >= XTIMER_MAX_ENTRIES)
    throw std::length_error("map/set too long");
  // Read under the lock: the worker's clock reads and ours are then in one order, so no
  // entry gets a deadline before one the worker has already run. The zone is the one in
  // effect at this moment, with no per-thread cache.
  const int64_t deadline = xtimeNowUs() + delayUs;
  const bool first = queue.empty() || deadline < queue.front().deadline;
  xtimerPush(queue, XtimerEntry{deadline, state.nextSequence++, std::move(callback)});
  if (deadline < state.batchLastDeadline)
    state.overtaken.store(true, std::memory_order_release);
  // The worker waits for the first deadline only, so only a new first entry changes what
  // it waits for.
  if (first)
    state.wakeUp.notify_one();
  return 0;
}

void xtimerWorker() {
  XtimerState& state = xtimerState();
  auto& queue = state.xtimerQueue;
  std::vector<XtimerEntry> batch;
  xtimerPrepareWorker();
  std::unique_lock<std::mutex> guard(state.lock);
  for (;;) {
    if (queue.empty()) {
      state.wakeUp.wait(guard);
      continue;
    }
    const int64_t now = xtimeNowUs();
    const int64_t firstDeadline = queue.front().deadline;
    if (firstDeadline > now) {
      // The clock ticks in whole milliseconds, so the entry becomes due at the next
      // millisecond boundary at or after its deadline; aim the wait at that moment with
      // the finer clock rather than overshooting by up to a millisecond.
      const int64_t remaining = xtimerRoundUpToMs(firstDeadline) - xtimeNowPreciseUs();
      if (remaining >= 1)
        state.wakeUp.wait_for(guard, std::chrono::microseconds(remaining));
      continue;
    }

    while (!queue.empty() && queue.front().deadline <= now && batch.size() < XTIMER_BATCH_MAX)
      batch.push_back(xtimerPop(queue));
    state.batchLastDeadline = batch.back().deadline;
    state.overtaken.store(false, std::memory_order_relaxed);
    guard.unlock();
    size_t next = 0;
    while (next < batch.size() && (next == 0 || !state.overtaken.load(std::memory_order_acquire)))
      xtimerRun(batch[next++].callback);
    guard.lock();
    state.batchLastDeadline = INT64_MIN;
    for (size_t i = next; i < batch.size(); ++i)
      xtimerPush(queue, std::move(batch[i]));
    batch.clear();
  }
}
