// The layer's one clock: microseconds of local wall-clock time since 1970, read as if the
// local date and time were UTC, with millisecond resolution (the last three digits are 0).
// Offsets and durations use the same unit.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int64_t XTIME_US_PER_MS = 1000;
constexpr int64_t XTIME_US_PER_SECOND = 1000000;

/// The current local wall-clock time. Follows the system clock and daylight saving time, so
/// it can jump in both directions.
int64_t xtimeNowUs();

/// Writes value with the strftime pattern into buffer (at most size bytes, zero included).
/// The value is broken down without any zone conversion, so a duration prints as a time of
/// day (5 h 30 min with "%H%M" gives "0530"). Negative values are outside the contract.
void xtimeFormat(char* buffer, size_t size, const char* pattern, int64_t value);

/// The UTC time (microseconds since 1970-01-01 00:00:00 UTC) of the local time value, with
/// daylight saving applied as it is in effect at that local time. The fraction of a second
/// is kept. Re-reads the zone settings on every call.
int64_t xtimeLocalToUtc(int64_t value);
