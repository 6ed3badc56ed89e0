// Error codes: names and numbers against the C library's own errno names, and the Windows
// translation at the points its rules turn on.
#include "xpl/Xerr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

TEST(XerrTest, EveryCodeHasTheErrnoNameOfItsNumberOrNone) {
  ASSERT_EQ(xerrLibInit(), XERR_SUCCESS);
  EXPECT_EQ(xerrToString(XERR_FAILURE), "XERR_FAILURE");
  EXPECT_EQ(xerrToString(XERR_SUCCESS), "XERR_SUCCESS");
  EXPECT_EQ(xerrToString(-2), "NOTDEFINED: -2");
#if !defined(_WIN32)
  // glibc names every Linux errno value ("ENOENT"), and none of 41, 58 or past 133.
  for (XErr code = 1; code <= 1001; ++code) {
    SCOPED_TRACE(code);
    const char* name = strerrorname_np(code);
    EXPECT_EQ(xerrToString(code),
              name ? std::string("XERR_") + (name + 1) : "NOTDEFINED: " + std::to_string(code));
  }
#endif
}

TEST(XerrTest, Win32ErrorsTranslateAtTheirSlotsAndOtherwiseAreOffsetByTheBase) {
  ASSERT_EQ(xerrLibInit(), XERR_SUCCESS);
  const std::pair<int, XErr> cases[] = {
      {2, XERR_NOENT},          {3, XERR_NOENT}, {80, XERR_EXIST}, {183, XERR_ADDRINUSE},
      {1460, XERR_TIMEDOUT},    {0, 100000},     {32, 100032},     {740, 100740},
      {16000, 116000},          {16001, 116001}, {-1, 99999},      {INT32_MIN, INT32_MIN + 100000},
      {INT32_MAX, -2147383649}, // wraps past the top
  };
  for (const auto& [win32Error, code] : cases) {
    SCOPED_TRACE(win32Error);
    EXPECT_EQ(xerrFromWin32(win32Error), code);
  }
}
