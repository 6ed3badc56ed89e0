#include "xpl/XtimeOs.h"

#include <sys/timeb.h>
#include <time.h>

void xtimeOsNow(int64_t* utcSeconds, int* microseconds) {
  struct __timeb64 now {};
  _ftime64_s(&now);
  *utcSeconds = now.time;
  *microseconds = now.millitm * 1000;
}

bool xtimeOsLocalBreakdown(int64_t utcSeconds, std::tm* out) {
  const __time64_t t = utcSeconds;
  return _localtime64_s(out, &t) == 0;
}

bool xtimeOsUtcBreakdown(int64_t seconds, std::tm* out) {
  const __time64_t t = seconds;
  return _gmtime64_s(out, &t) == 0;
}

bool xtimeOsUtcCompose(std::tm* in, int64_t* seconds) {
  const __time64_t t = _mkgmtime64(in);
  if (t == -1)
    return false;
  *seconds = t;
  return true;
}

bool xtimeOsLocalCompose(std::tm* in, int64_t* utcSeconds) {
  const __time64_t t = _mktime64(in);
  if (t == -1)
    return false;
  *utcSeconds = t;
  return true;
}

void xtimeOsReadZone() { _tzset(); }
