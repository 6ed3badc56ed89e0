#include "xpl/Xtimer.h"

#include "xpl/Xtime.h"
#include "xpl/XtimeOs.h"
#include "xpl/XtimerOs.h"
#include "xpl/XtimerQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct XtimerState {
  std::mutex lock;
  std::condition_variable wakeUp;
  bool started = false;
  XtimerQueue xtimerQueue;
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

// The lock is held for a queue insertion or a batch hand-over, a fraction of a microsecond;
// sleeping in the kernel and being woken costs several, and the thread that releases the
// lock pays for the wake-up. Whoever finds it taken (a scheduler, or the worker back from a
// batch) tries again for a moment before it blocks.
void xtimerLockBriefly(std::unique_lock<std::mutex>& guard) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (guard.try_lock())
      return;
    std::this_thread::yield();
  }
  guard.lock();
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
  std::unique_lock<std::mutex> guard(state.lock, std::defer_lock);
  xtimerLockBriefly(guard);
  if (!state.started) {
    std::thread(xtimerWorker).detach();
    state.started = true;
    xtimerPinModule();
  }
  // Read under the lock: the worker's clock reads and ours are then in one order, so no
  // entry gets a deadline before one the worker has already run. The zone is the one in
  // effect at this moment, with no per-thread cache.
  const int64_t deadline = xtimeNowUs() + delayUs;
  // Equal deadlines keep the order of the calls; the queue throws the length error at its
  // maximum size, before anything is queued.
  const bool first = state.xtimerQueue.push(deadline, std::move(callback));
  if (state.batchRunning && deadline < state.batchLastDeadline)
    state.overtaken.store(true, std::memory_order_release);
  // The worker waits for the first deadline only, so only a new first entry changes what
  // it waits for; any other wake-up would be a wasted system call.
  if (first)
    state.wakeUp.notify_one();
  return 0;
}

void xtimerWorker() {
  XtimerState& state = xtimerState();
  auto& queue = state.xtimerQueue;
  std::vector<XtimerEntry> batch;
  batch.reserve(kMaxBatch);
  xtimerPrepareWorker();
  std::unique_lock<std::mutex> guard(state.lock);
  for (;;) {
    if (queue.empty()) {
      state.wakeUp.wait(guard);
      continue;
    }
    const int64_t now = xtimeNowUs();
    const int64_t firstDeadline = queue.firstDeadline();
    if (firstDeadline > now) {
      // The clock ticks in whole milliseconds, so the entry becomes due at the next
      // millisecond boundary at or after its deadline; aim the wait at that moment with
      // the finer clock rather than overshooting by up to a millisecond.
      const int64_t remaining = xtimerRoundUpToMs(firstDeadline) - xtimeNowPreciseUs();
      if (remaining < 1)
        continue;
      state.wakeUp.wait_for(guard, std::chrono::microseconds(remaining));
      continue;
    }

    while (!queue.empty() && queue.firstDeadline() <= now && batch.size() < kMaxBatch)
      batch.push_back(queue.popFirst());
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

    xtimerLockBriefly(guard);
    state.batchRunning = false;
    // The rest goes back with its sequence numbers, so each entry is again in front of any
    // equal deadline scheduled since.
    for (size_t i = next; i < batch.size(); ++i)
      queue.putBack(std::move(batch[i]));
    batch.clear();
  }
}
