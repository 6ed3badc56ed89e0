#include "xpl/XtimeOs.h"

#include <time.h>

void xtimeOsNow(int64_t* utcSeconds, int* microseconds) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  *utcSeconds = now.tv_sec;
  *microseconds = static_cast<int>(now.tv_nsec / 1000);
}

bool xtimeOsLocalBreakdown(int64_t utcSeconds, std::tm* out) {
  const time_t t = static_cast<time_t>(utcSeconds);
  return localtime_r(&t, out) != nullptr;
}

bool xtimeOsUtcBreakdown(int64_t seconds, std::tm* out) {
  const time_t t = static_cast<time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

bool xtimeOsUtcCompose(std::tm* in, int64_t* seconds) {
  const time_t t = timegm(in);
  if (t == static_cast<time_t>(-1))
    return false;
  *seconds = t;
  return true;
}

bool xtimeOsLocalCompose(std::tm* in, int64_t* utcSeconds) {
  const time_t t = mktime(in);
  if (t == static_cast<time_t>(-1))
    return false;
  *utcSeconds = t;
  return true;
}

void xtimeOsReadZone() { tzset(); }
