#include "xpl/Xtime.h"

#include "xpl/XtimeOs.h"

#include <ctime>

int64_t xtimeNowPreciseUs() {
  int64_t utcSeconds = 0;
  int microseconds = 0;
  xtimeOsNow(&utcSeconds, &microseconds);
  return xtimeOsLocalSeconds(utcSeconds) * XTIME_US_PER_SECOND + microseconds;
}

int64_t xtimeNowUs() {
  // Zone offsets are whole seconds, so truncating the local value truncates the system time.
  const int64_t precise = xtimeNowPreciseUs();
  return precise - precise % XTIME_US_PER_MS;
}

int64_t xtimeNowUsCached() {
  thread_local int64_t cachedUtcSeconds = -1;
  thread_local int64_t cachedLocalSeconds = 0;
  int64_t utcSeconds = 0;
  int microseconds = 0;
  xtimeOsNow(&utcSeconds, &microseconds);
  if (utcSeconds != cachedUtcSeconds) {
    cachedLocalSeconds = xtimeOsLocalSeconds(utcSeconds);
    cachedUtcSeconds = utcSeconds;
  }
  return cachedLocalSeconds * XTIME_US_PER_SECOND + microseconds - microseconds % XTIME_US_PER_MS;
}

void xtimeFormat(char* buffer, size_t size, const char* pattern, int64_t value) {
  if (size == 0)
    return;
  std::tm broken{};
  if (!xtimeOsUtcBreakdown(value / XTIME_US_PER_SECOND, &broken)) {
    buffer[0] = '\0';
    return;
  }
  // strftime leaves the buffer unspecified when the text does not fit; an empty text is
  // the least surprising thing for a caller that prints it regardless.
  if (std::strftime(buffer, size, pattern, &broken) == 0)
    buffer[0] = '\0';
}

int64_t xtimeLocalToUtc(int64_t value) {
  const int64_t seconds = value / XTIME_US_PER_SECOND;
  const int64_t remainder = value - seconds * XTIME_US_PER_SECOND;
  std::tm local{};
  if (!xtimeOsUtcBreakdown(seconds, &local))
    return value;
  xtimeOsReadZone();
  // Let the runtime decide whether daylight saving applies at that local time.
  local.tm_isdst = -1;
  int64_t utcSeconds = 0;
  if (!xtimeOsLocalCompose(&local, &utcSeconds))
    return value;
  return utcSeconds * XTIME_US_PER_SECOND + remainder;
}
