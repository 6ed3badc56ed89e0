// A process-wide one-shot timer service: callbacks run once, one at a time, on a single
// background worker thread once their delay has passed.
//
// Ordering: entries run in deadline order; entries with equal deadlines run in the order of
// the calls. A callback runs without the service lock, so it may schedule again; an entry it
// schedules with delay 0 runs after it has returned, behind every entry already due.
//
// Empty and throwing callbacks: an empty callback is dropped by xtimerSchedule (nothing is
// queued, the call still returns 0). An exception that escapes a callback is caught by the
// worker, the entry is discarded, and the worker carries on with the next entry; nobody is
// told, as there is no caller left to tell.
//
// Lifetime: the worker starts with the first call and is never stopped. Its state (lock,
// condition, queue) is allocated once and intentionally never destroyed, so a worker still
// waiting while the process exits or the module's statics are torn down never touches freed
// memory. Because the worker runs code of this module, the first call also pins the module
// in memory (it can no longer be unloaded before the process ends).
#pragma once

#include <cstdint>
#include <functional>

/// Runs callback once on the worker thread when delayUs microseconds of xtimeNowUs() time
/// have passed (0 or less: as soon as possible). Always returns 0. Throws std::system_error
/// when the lock cannot be taken or the worker cannot be started (nothing is queued then,
/// and the next call tries to start the worker again), std::length_error at the queue's
/// maximum size, and std::bad_alloc when memory runs out.
int xtimerSchedule(int64_t delayUs, std::function<void()> callback);

/// The worker thread's body; never returns. Not for users: xtimerSchedule starts it.
void xtimerWorker();
