#include "xpl/XtimeOs.h"

#include <time.h>

void xtimeOsNow(int64_t* utcSeconds, int* microseconds) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  *utcSeconds = now.tv_sec;
  *microseconds = static_cast<int>(now.tv_nsec / 1000);
}

int64_t xtimeOsLocalSeconds(int64_t utcSeconds) {
  // The offset localtime_r reports is the zone's and daylight saving's at that moment; adding
  // it spares composing the breakdown back into seconds.
  const time_t t = static_cast<time_t>(utcSeconds);
  std::tm local{};
  return localtime_r(&t, &local) != nullptr ? utcSeconds + local.tm_gmtoff : utcSeconds;
}

bool xtimeOsUtcBreakdown(int64_t seconds, std::tm* out) {
  const time_t t = static_cast<time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

bool xtimeOsLocalCompose(std::tm* in, int64_t* utcSeconds) {
  const time_t t = mktime(in);
  if (t == static_cast<time_t>(-1))
    return false;
  *utcSeconds = t;
  return true;
}

void xtimeOsReadZone() { tzset(); }
