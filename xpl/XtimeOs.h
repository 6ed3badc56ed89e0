// The C runtime's calendar calls behind the clock. Windows has its own thread-safe "_s" and
// 64-bit forms; POSIX has the reentrant counterparts. Those that return a bool return false
// where the runtime rejects the value, and then leave the out parameter unspecified.
#pragma once

#include <cstdint>
#include <ctime>

/// The system time: whole seconds since 1970 in UTC and the part below the second in
/// microseconds (0 to 999,999), as fine as the runtime gives it (whole milliseconds on
/// Windows).
void xtimeOsNow(int64_t* utcSeconds, int* microseconds);

/// UTC seconds to local seconds: the local date and time at that moment (zone and daylight
/// saving folded in) read as if they were UTC. Where the runtime rejects the value, the UTC
/// seconds unchanged.
int64_t xtimeOsLocalSeconds(int64_t utcSeconds);

/// Seconds to date and time with no zone conversion.
bool xtimeOsUtcBreakdown(int64_t seconds, std::tm* out);

/// A broken-down time read as local time (tm_isdst honoured as given), to UTC seconds.
bool xtimeOsLocalCompose(std::tm* in, int64_t* utcSeconds);

/// Makes the runtime re-read the zone settings (the TZ variable among them).
void xtimeOsReadZone();

/// For the layer's own waits: the local time like xtimeNowUs(), but with the sub-millisecond
/// part kept where the system has one, so a wait for a deadline does not overshoot it by
/// up to a millisecond.
int64_t xtimeNowPreciseUs();

/// For hot callers of the layer: xtimeNowUs() with the zone conversion cached per thread for
/// the current second. A change of zone takes effect within a second; callers that must see
/// it at once (the timer's deadlines, every test of the zone) use xtimeNowUs().
int64_t xtimeNowUsCached();
