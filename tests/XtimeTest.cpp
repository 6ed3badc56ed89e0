// The clock, the formatter and the local-to-UTC conversion under zones east and west of UTC,
// against the system clock.
#include "xpl/Xtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

void setZone(const char* zone) {
#if defined(_WIN32)
  _putenv_s("TZ", zone);
  _tzset();
#else
  zone[0] != '\0' ? setenv("TZ", zone, 1) : unsetenv("TZ");
  tzset();
#endif
}

std::string format(const char* pattern, int64_t value, size_t size = 128) {
  char buffer[128] = "unchanged";
  xtimeFormat(buffer, size, pattern, value);
  return buffer;
}

TEST(Xtime, LocalClockFormatAndUtcInEachZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  const struct {
    const char* zone;
    int64_t eastSeconds;
  } zones[] = {{"UTC0", 0}, {"XCT-1", 3600}, {"XST-5:30", 19800}, {"XWT5", -18000}};
  for (const auto& z : zones) {
    SCOPED_TRACE(z.zone);
    setZone(z.zone);
    const int64_t offset = z.eastSeconds * XTIME_US_PER_SECOND;
    const auto utcUs = [] {
      using namespace std::chrono;
      return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    };
    // The system clock truncated to the millisecond, moved by the zone.
    const int64_t before = utcUs(), now = xtimeNowUs(), after = utcUs();
    EXPECT_EQ(now % XTIME_US_PER_MS, 0);
    EXPECT_GE(now - offset, before - before % XTIME_US_PER_MS);
    EXPECT_LE(now - offset, after);
    EXPECT_EQ(now - xtimeLocalToUtc(now), offset);
    // 2001-09-09 01:46:40.123456 local keeps its fraction.
    EXPECT_EQ(xtimeLocalToUtc(1000000000 * XTIME_US_PER_SECOND + 123456),
              1000000000 * XTIME_US_PER_SECOND + 123456 - offset);
    // No zone conversion: a duration prints as a time of day, a fraction is dropped.
    EXPECT_EQ(format("%Y-%m-%d %H:%M:%S", 0), "1970-01-01 00:00:00");
    EXPECT_EQ(format("+%H%M", 19800 * XTIME_US_PER_SECOND), "+0530");
    EXPECT_EQ(format("%F %T", 951825600 * XTIME_US_PER_SECOND + 999999), "2000-02-29 12:00:00");
    EXPECT_EQ(format("%Y-%m-%d", 0, 4), "");
  }
  setZone(saved.c_str());
}

} // namespace
