#include "xpl/Xtimer.h"

#include "xpl/Xtime.h"
#include "xpl/XtimeOs.h"
#include "xpl/XtimerOs.h"
#include "xpl/XtimerSlots.h"

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
/// The longest single wait: the condition counts a wait in nanoseconds of the steady clock, a
/// smaller range than that of deadlines, so a far deadline is waited for an hour at a time.
constexpr int64_t XTIMER_LONGEST_WAIT_US = 3600 * XTIME_US_PER_SECOND;

struct XtimerEntry {
  int64_t deadline;
  // Taken from a counter at each schedule: (deadline, sequence) orders the entries
  // completely, so equal deadlines run in call order, also after a batch hands them back.
  uint64_t sequence;
  // The heap's sift-downs, which miss the cache once the queue is large, then move 24 bytes
  // per level rather than 48 with a function wrapper, and a burst drains twice as fast.
  XtimerSlot* slot;
};

// The heap keeps its greatest element in front; "runs later" makes that the next entry due.
// A type rather than a function, so that the heap operations inline the comparison.
struct XtimerRunsLater {
  bool operator()(const XtimerEntry& a, const XtimerEntry& b) const {
    return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
  }
};

struct XtimerState {
  std::mutex lock;
  std::condition_variable wakeUp;
  bool started = false;
  uint64_t nextSequence = 0;
  std::vector<XtimerEntry> xtimerQueue; // a heap ordered by XtimerRunsLater
  XtimerSlots slots;
  // Raised while the worker waits for a due entry's slot to be filled.
  std::atomic<bool> workerAwaitsFill{false};
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

void xtimerPush(std::vector<XtimerEntry>& queue, const XtimerEntry& entry) {
  queue.push_back(entry);
  std::push_heap(queue.begin(), queue.end(), XtimerRunsLater());
}

XtimerEntry xtimerPop(std::vector<XtimerEntry>& queue) {
  std::pop_heap(queue.begin(), queue.end(), XtimerRunsLater());
  const XtimerEntry entry = queue.back();
  queue.pop_back();
  return entry;
}

// The scheduler fills a slot after queueing its entry, so a due entry's callback may be a
// moment late. Both sides store their flag and then read the other's, so at least one of
// them sees the other: the scheduler wakes the worker, or the worker finds the slot filled.
void xtimerAwaitFill(XtimerState& state, XtimerSlot& slot) {
  std::unique_lock<std::mutex> guard(state.lock);
  state.workerAwaitsFill.store(true);
  state.wakeUp.wait(guard, [&] { return slot.filled.load(); });
  state.workerAwaitsFill.store(false);
}

void xtimerRun(XtimerState& state, XtimerSlot& slot) {
  if (!slot.filled.load())
    xtimerAwaitFill(state, slot);
  try {
    slot.callback();
  } catch (...) {
    // A callback's failure is its own business; the other entries still have to run.
  }
  // Captured state goes now, outside the lock, in case its destructor schedules again.
  slot.callback = nullptr;
  slot.filled.store(false, std::memory_order_relaxed); // the lock hands the slot on
}

// now + delayUs, held at the end of the clock's range: a deadline past it comes due in no
// process' life, not at once as the wrapped sum would. A negative delay cannot leave the
// range, as the clock is never before 1970.
int64_t xtimerDeadline(int64_t now, int64_t delayUs) {
  return delayUs > 0 && now > INT64_MAX - delayUs ? INT64_MAX : now + delayUs;
}

// How long to wait for deadline from now, read on the finer clock. The clock ticks in whole
// milliseconds, so an entry becomes due at the millisecond boundary at or after its deadline:
// the wait aims at that moment rather than overshoot by up to a millisecond.
int64_t xtimerWaitUs(int64_t deadline, int64_t now) {
  const int64_t untilDeadline = deadline - now;
  if (untilDeadline > XTIMER_LONGEST_WAIT_US)
    return XTIMER_LONGEST_WAIT_US;
  const int64_t rest = deadline % XTIME_US_PER_MS;
  return untilDeadline + (rest > 0 ? XTIME_US_PER_MS - rest : -rest);
}

} // namespace

int xtimerSchedule(int64_t delayUs, std::function<void()> callback) {
  if (!callback)
    return 0;
  XtimerState& state = xtimerState();
  std::unique_lock<std::mutex> guard(state.lock);
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
  const int64_t deadline = xtimerDeadline(xtimeNowUs(), delayUs);
  const bool first = queue.empty() || deadline < queue.front().deadline;
  // Taken only once queued: when memory runs out, nothing changes.
  XtimerSlot& slot = state.slots.lowestFree();
  xtimerPush(queue, XtimerEntry{deadline, state.nextSequence++, &slot});
  state.slots.take(slot);
  if (deadline < state.batchLastDeadline)
    state.overtaken.store(true, std::memory_order_release);
  guard.unlock();
  slot.callback = std::move(callback);
  slot.filled.store(true);
  // The worker waits for the first deadline only, so only a new first entry changes what
  // it waits for. Woken once the slot is filled, it does not meet it empty.
  if (first || state.workerAwaitsFill.load()) {
    guard.lock();
    state.wakeUp.notify_one();
  }
  return 0;
}

void xtimerWorker() {
  XtimerState& state = xtimerState();
  auto& queue = state.xtimerQueue;
  std::vector<XtimerEntry> batch;
  batch.reserve(XTIMER_BATCH_MAX);
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
      const int64_t remaining = xtimerWaitUs(firstDeadline, xtimeNowPreciseUs());
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
      xtimerRun(state, *batch[next++].slot);
    guard.lock();
    state.batchLastDeadline = INT64_MIN;
    // The rest of a batch cut short goes back as it came; the queue has room for it.
    for (size_t i = 0; i < batch.size(); ++i)
      i < next ? state.slots.release(*batch[i].slot) : xtimerPush(queue, batch[i]);
    batch.clear();
  }
}
