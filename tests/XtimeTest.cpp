#include "xpl/Xtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#if defined(_WIN32)
#include <stdlib.h>
#endif

namespace {

int64_t systemUtcUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string format(const char* pattern, int64_t value) {
  char buffer[128];
  xtimeFormat(buffer, sizeof buffer, pattern, value);
  return buffer;
}

// Sets TZ for the lifetime of the object and puts the previous value back afterwards.
class ZoneGuard {
public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
      hadOld_ = true;
      old_ = old;
    }
    set(zone);
  }
  ~ZoneGuard() { hadOld_ ? set(old_.c_str()) : set(nullptr); }

private:
  static void set(const char* zone) {
#if defined(_WIN32)
    _putenv_s("TZ", zone ? zone : "");
    _tzset();
#else
    zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
    tzset();
#endif
  }
  bool hadOld_ = false;
  std::string old_;
};

constexpr int64_t kUsPerSecond = 1000000;

TEST(XtimeNowUs, HasMillisecondResolutionAndAgreesWithinOneMillisecond) {
  // The system clock brackets both calls; when the bracket stays inside one millisecond
  // the two values must be equal.
  int bracketed = 0;
  for (int i = 0; i < 2000 && bracketed < 50; ++i) {
    const int64_t before = systemUtcUs();
    const int64_t a = xtimeNowUs();
    const int64_t b = xtimeNowUs();
    const int64_t after = systemUtcUs();
    ASSERT_EQ(a % 1000, 0) << a;
    ASSERT_EQ(b % 1000, 0) << b;
    ASSERT_LE(a, b);
    if (before / 1000 == after / 1000) {
      ++bracketed;
      EXPECT_EQ(a, b);
    }
  }
  EXPECT_GT(bracketed, 0) << "no pair of calls fell within one millisecond";
}

TEST(XtimeNowUs, IsLocalTimeOfTheSystemClock) {
  // Converted back to UTC, the value must be the system clock's time, truncated to the
  // millisecond; a zone applied twice or not at all would be hours off.
  const int64_t before = systemUtcUs();
  const int64_t utc = xtimeLocalToUtc(xtimeNowUs());
  const int64_t after = systemUtcUs();
  EXPECT_GE(utc, before - before % 1000);
  EXPECT_LE(utc, after);
}

TEST(XtimeFormat, BreaksDownWithoutZoneConversion) {
  ZoneGuard zone("XYZ-5:30");
  EXPECT_EQ(format("%Y-%m-%d %H:%M:%S", 0), "1970-01-01 00:00:00");
  // A duration prints as a time of day.
  EXPECT_EQ(format("%H%M", (5 * 3600 + 30 * 60) * kUsPerSecond), "0530");
  EXPECT_EQ(format("+%H%M", (5 * 3600 + 30 * 60) * kUsPerSecond), "+0530");
  // 2000-02-29 12:00:00, a leap day from the calendar, and the fraction truncated.
  EXPECT_EQ(format("%Y-%m-%d %H:%M:%S", 951825600 * kUsPerSecond + 999999), "2000-02-29 12:00:00");
  EXPECT_EQ(format("%S", 1999999), "01");
}

TEST(XtimeFormat, LeavesATerminatedTextWhenTheBufferIsTooSmall) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  xtimeFormat(buffer, sizeof buffer, "%Y-%m-%d", 0);
  EXPECT_EQ(std::string(buffer), "");
}

struct ZoneCase {
  const char* tz;
  int64_t eastSeconds;
};

class XtimeZone : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(XtimeZone, LocalMinusUtcIsTheZoneOffset) {
  const ZoneCase& c = GetParam();
  ZoneGuard zone(c.tz);
  const int64_t offsetUs = c.eastSeconds * kUsPerSecond;

  const int64_t local = xtimeNowUs();
  EXPECT_EQ(local - xtimeLocalToUtc(local), offsetUs);

  // Against the system clock: the local clock leads UTC by the offset.
  const int64_t before = systemUtcUs();
  const int64_t now = xtimeNowUs();
  const int64_t after = systemUtcUs();
  EXPECT_GE(now - offsetUs, before - before % 1000);
  EXPECT_LE(now - offsetUs, after);

  // A fixed local time with a fraction: 2001-09-09 01:46:40.123456 local.
  const int64_t fixedLocal = 1000000000 * kUsPerSecond + 123456;
  EXPECT_EQ(xtimeLocalToUtc(fixedLocal), fixedLocal - offsetUs);
}

INSTANTIATE_TEST_SUITE_P(Zones, XtimeZone,
                         ::testing::Values(ZoneCase{"UTC0", 0}, ZoneCase{"XCT-1", 3600},
                                           ZoneCase{"XST-5:30", 5 * 3600 + 30 * 60},
                                           ZoneCase{"XWT5", -5 * 3600}),
                         [](const ::testing::TestParamInfo<ZoneCase>& info) {
                           const int64_t s = info.param.eastSeconds;
                           return (s < 0 ? std::string("West") : std::string("East")) +
                                  std::to_string((s < 0 ? -s : s) / 60) + "min";
                         });

} // namespace
