#include "xpl/XtimeOs.h"

#include <sys/timeb.h>
#include <time.h>

void xtimeOsNow(int64_t* utcSeconds, int* microseconds) {
  struct __timeb64 now {};
  _ftime64_s(&now);
  *utcSeconds = now.time;
  *microseconds = now.millitm * 1000;
}

int64_t xtimeOsLocalSeconds(int64_t utcSeconds) {
  // Reading the local breakdown back as UTC gives the local seconds.
  const __time64_t t = utcSeconds;
  std::tm local{};
  if (_localtime64_s(&local, &t) != 0)
    return utcSeconds;
  const __time64_t localSeconds = _mkgmtime64(&local);
  return localSeconds == -1 ? utcSeconds : localSeconds;
}

bool xtimeOsUtcBreakdown(int64_t seconds, std::tm* out) {
  const __time64_t t = seconds;
  return _gmtime64_s(out, &t) == 0;
}

bool xtimeOsLocalCompose(std::tm* in, int64_t* utcSeconds) {
  const __time64_t t = _mktime64(in);
  if (t == -1)
    return false;
  *utcSeconds = t;
  return true;
}

void xtimeOsReadZone() { _tzset(); }
