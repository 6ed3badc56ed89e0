#include "xpl/Xtime.h"

#include "xpl/XtimeOs.h"

#include <ctime>

namespace {
constexpr int64_t kUsPerSecond = 1000000;
constexpr int64_t kUsPerMs = 1000;
} // namespace

int64_t xtimeNowPreciseUs() {
  int64_t utcSeconds = 0;
  int microseconds = 0;
  xtimeOsNow(&utcSeconds, &microseconds);
  // Reading the local breakdown back as UTC gives the local seconds, with the zone and
  // daylight saving of this very moment folded in.
  std::tm local{};
  int64_t localSeconds = utcSeconds;
  if (xtimeOsLocalBreakdown(utcSeconds, &local))
    xtimeOsUtcCompose(&local, &localSeconds);
  return localSeconds * kUsPerSecond + microseconds;
}

int64_t xtimeNowUs() {
  // Zone offsets are whole seconds, so truncating the local value truncates the system time.
  const int64_t precise = xtimeNowPreciseUs();
  return precise - precise % kUsPerMs;
}

int64_t xtimeNowUsCached() {
  thread_local int64_t cachedUtcSeconds = -1;
  thread_local int64_t cachedLocalSeconds = 0;
  int64_t utcSeconds = 0;
  int microseconds = 0;
  xtimeOsNow(&utcSeconds, &microseconds);
  if (utcSeconds != cachedUtcSeconds) {
    std::tm local{};
    int64_t localSeconds = utcSeconds;
    if (xtimeOsLocalBreakdown(utcSeconds, &local))
      xtimeOsUtcCompose(&local, &localSeconds);
    cachedUtcSeconds = utcSeconds;
    cachedLocalSeconds = localSeconds;
  }
  return cachedLocalSeconds * kUsPerSecond + microseconds - microseconds % kUsPerMs;
}

void xtimeFormat(char* buffer, size_t size, const char* pattern, int64_t value) {
  if (size == 0)
    return;
  std::tm broken{};
  if (!xtimeOsUtcBreakdown(value / kUsPerSecond, &broken)) {
    buffer[0] = '\0';
    return;
  }
  // strftime leaves the buffer unspecified when the text does not fit; an empty text is
  // the least surprising thing for a caller that prints it regardless.
  if (std::strftime(buffer, size, pattern, &broken) == 0)
    buffer[0] = '\0';
}

int64_t xtimeLocalToUtc(int64_t value) {
  const int64_t seconds = value / kUsPerSecond;
  const int64_t remainder = value - seconds * kUsPerSecond;
  std::tm local{};
  if (!xtimeOsUtcBreakdown(seconds, &local))
    return value;
  xtimeOsReadZone();
  // Let the runtime decide whether daylight saving applies at that local time.
  local.tm_isdst = -1;
  int64_t utcSeconds = 0;
  if (!xtimeOsLocalCompose(&local, &utcSeconds))
    return value;
  return utcSeconds * kUsPerSecond + remainder;
}
