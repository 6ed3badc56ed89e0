// Error codes: the named values against the system's own numbering, the Windows translation
// at and around every set slot, and the names.
#include "xpl/Xerr.h"
#include "xpl/Xpl.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>

#if defined(_WIN32)
#include <windows.h>
// The Windows numbers come from the platform's own header, not from our table.
#define WIN32_ERROR(name, number) name
#else
#include <cerrno>
#define WIN32_ERROR(name, number) number
#endif

namespace {
class XerrTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
};

struct NamedCode {
  XErr code;
  const char* name;
  int oracle; // the system errno constant of the same suffix; -1 where there is none
};

const NamedCode namedCodes[] = {
#if defined(_WIN32)
#define XERR_TEST_ENTRY(suffix, value) {XERR_##suffix, "XERR_" #suffix, -1},
#else
#define XERR_TEST_ENTRY(suffix, value) {XERR_##suffix, "XERR_" #suffix, E##suffix},
#endif
    XERR_NAMED_CODES(XERR_TEST_ENTRY)
#undef XERR_TEST_ENTRY
};
} // namespace

TEST_F(XerrTest, NamedCodesAreTheLinuxErrnoNumbers) {
  EXPECT_EQ(sizeof namedCodes / sizeof namedCodes[0], 131u);
  std::set<XErr> seen;
  for (const NamedCode& entry : namedCodes) {
    SCOPED_TRACE(entry.name);
    EXPECT_TRUE(seen.insert(entry.code).second) << "value used twice";
    EXPECT_GE(entry.code, 1);
    EXPECT_LE(entry.code, 133);
#if !defined(_WIN32)
    EXPECT_EQ(entry.code, entry.oracle);
#endif
  }
  EXPECT_EQ(seen.count(41), 0u);
  EXPECT_EQ(seen.count(58), 0u);
  EXPECT_EQ(XERR_FAILURE, -1);
  EXPECT_EQ(XERR_SUCCESS, 0);
  EXPECT_EQ(XERR_WIN32_BASE, 100000);
  static_assert(sizeof(XErr) == 4 && XErr(-1) < 0, "XErr is signed 32-bit");
}

TEST_F(XerrTest, EveryCodeFromMinusOneTo1001HasItsNameOrNotDefined) {
  std::map<XErr, std::string> names{{XERR_SUCCESS, "XERR_SUCCESS"}};
  for (const NamedCode& entry : namedCodes)
    names[entry.code] = entry.name;
  EXPECT_EQ(xerrToString(-1), "XERR_FAILURE");
  for (XErr code = 0; code <= 1001; ++code) {
    SCOPED_TRACE(code);
    const auto named = names.find(code);
    EXPECT_EQ(xerrToString(code),
              named != names.end() ? named->second : "NOTDEFINED: " + std::to_string(code));
  }
}

TEST_F(XerrTest, CodesOutsideTheNameTableAreNotDefinedWithTheirDecimalValue) {
  const std::pair<XErr, const char*> cases[] = {
      {41, "NOTDEFINED: 41"},
      {58, "NOTDEFINED: 58"},
      {134, "NOTDEFINED: 134"},
      {1002, "NOTDEFINED: 1002"},
      {100032, "NOTDEFINED: 100032"},
      {-2, "NOTDEFINED: -2"},
      {INT32_MIN, "NOTDEFINED: -2147483648"},
      {INT32_MAX, "NOTDEFINED: 2147483647"},
  };
  for (const auto& [code, text] : cases) {
    SCOPED_TRACE(code);
    EXPECT_EQ(xerrToString(code), text);
  }
  EXPECT_EQ(xerrToString(133), "XERR_HWPOISON");
}

TEST_F(XerrTest, Win32ErrorsTranslateAtTheirSlotsAndEverythingElseIsOffsetByTheBase) {
  const std::pair<int, XErr> mapped[] = {
      {WIN32_ERROR(ERROR_FILE_NOT_FOUND, 2), XERR_NOENT},
      {WIN32_ERROR(ERROR_PATH_NOT_FOUND, 3), XERR_NOENT},
      {WIN32_ERROR(ERROR_TOO_MANY_OPEN_FILES, 4), XERR_NFILE},
      {WIN32_ERROR(ERROR_ACCESS_DENIED, 5), XERR_ACCES},
      {WIN32_ERROR(ERROR_INVALID_HANDLE, 6), XERR_BADF},
      {WIN32_ERROR(ERROR_NOT_ENOUGH_MEMORY, 8), XERR_NOMEM},
      {WIN32_ERROR(ERROR_OUTOFMEMORY, 14), XERR_NOMEM},
      {WIN32_ERROR(ERROR_NO_MORE_FILES, 18), XERR_NOENT},
      {WIN32_ERROR(ERROR_WRITE_PROTECT, 19), XERR_ACCES},
      {WIN32_ERROR(ERROR_NOT_READY, 21), XERR_IO},
      {WIN32_ERROR(ERROR_HANDLE_EOF, 38), XERR_NODATA},
      {WIN32_ERROR(ERROR_HANDLE_DISK_FULL, 39), XERR_NOSPC},
      {WIN32_ERROR(ERROR_NOT_SUPPORTED, 50), XERR_NOSYS},
      {WIN32_ERROR(ERROR_FILE_EXISTS, 80), XERR_EXIST},
      {WIN32_ERROR(ERROR_INVALID_PARAMETER, 87), XERR_INVAL},
      {WIN32_ERROR(ERROR_BROKEN_PIPE, 109), XERR_PIPE},
      {WIN32_ERROR(ERROR_DISK_FULL, 112), XERR_NOSPC},
      {WIN32_ERROR(ERROR_CALL_NOT_IMPLEMENTED, 120), XERR_NOSYS},
      {WIN32_ERROR(ERROR_INVALID_NAME, 123), XERR_INVAL},
      {WIN32_ERROR(ERROR_DIR_NOT_EMPTY, 145), XERR_NOTEMPTY},
      {WIN32_ERROR(ERROR_BAD_PATHNAME, 161), XERR_NOENT},
      {WIN32_ERROR(ERROR_BUSY, 170), XERR_BUSY},
      {WIN32_ERROR(ERROR_ALREADY_EXISTS, 183), XERR_ADDRINUSE},
      {WIN32_ERROR(ERROR_FILENAME_EXCED_RANGE, 206), XERR_NAMETOOLONG},
      {WIN32_ERROR(ERROR_MORE_DATA, 234), XERR_MSGSIZE},
      {WIN32_ERROR(ERROR_DIRECTORY, 267), XERR_NOTDIR},
      {WIN32_ERROR(ERROR_NOT_OWNER, 288), XERR_PERM},
      {WIN32_ERROR(ERROR_INVALID_ADDRESS, 487), XERR_FAULT},
      {WIN32_ERROR(ERROR_IO_PENDING, 997), XERR_ALREADY},
      {WIN32_ERROR(ERROR_NOACCESS, 998), XERR_FAULT},
      {WIN32_ERROR(ERROR_FILE_INVALID, 1006), XERR_INVAL},
      {WIN32_ERROR(ERROR_IO_DEVICE, 1117), XERR_IO},
      {WIN32_ERROR(ERROR_TOO_MANY_LINKS, 1142), XERR_MLINK},
      {WIN32_ERROR(ERROR_FILE_CORRUPT, 1392), XERR_IO},
      {WIN32_ERROR(ERROR_DISK_CORRUPT, 1393), XERR_IO},
      {WIN32_ERROR(ERROR_TIMEOUT, 1460), XERR_TIMEDOUT},
  };
  EXPECT_EQ(sizeof mapped / sizeof mapped[0], 36u);
  std::map<int, XErr> expected(std::begin(mapped), std::end(mapped));
  EXPECT_EQ(expected.size(), 36u) << "a Windows number listed twice";
  // Every number the table covers, plus its neighbours on both sides.
  for (int n = -2; n <= 16002; ++n) {
    SCOPED_TRACE(n);
    const auto slot = expected.find(n);
    EXPECT_EQ(xerrFromWin32(n), slot != expected.end() ? slot->second : n + 100000);
  }
}

TEST_F(XerrTest, Win32ErrorsAtOrAbove2To31WrapAroundIn32Bits) {
  // Last-error values are unsigned 32-bit on Windows; as an int they arrive negative.
  const std::pair<std::uint32_t, XErr> cases[] = {
      {0x80000000u, INT32_MIN + 100000},
      {0xFFFFFFFFu, 99999},
      {0xFFFE7960u, 0},           // -100000: wraps to exactly 0, still not looked up
      {0x7FFFFFFFu, -2147383649}, // INT32_MAX + 100000 wraps past the top
      {0x8007000Eu, static_cast<XErr>(0x8007000Eu + 100000u)},
  };
  for (const auto& [lastError, code] : cases) {
    SCOPED_TRACE(lastError);
    EXPECT_EQ(xerrFromWin32(static_cast<int>(lastError)), code);
  }
  EXPECT_EQ(xerrFromWin32(0), 100000) << "a failure with last-error 0 must not read as success";
  EXPECT_EQ(xerrFromWin32(740), 100740);
}

TEST(XerrStartup, TablesAreEmptyUntilTheStartupFillsThem) {
  // A freshly started process (not a fork of this one, whose tables other tests have filled)
  // runs this test alone.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const bool emptyBefore = xerrToString(2) == "NOTDEFINED: 2" &&
                                 xerrToString(0) == "NOTDEFINED: 0" &&
                                 xerrToString(-1) == "XERR_FAILURE" && xerrFromWin32(2) == 100002 &&
                                 xerrFromWin32(183) == 100183;
        const int started = xplLibInit(nullptr, std::string());
        const bool filledAfter = started == 0 && xerrToString(2) == "XERR_NOENT" &&
                                 xerrFromWin32(2) == XERR_NOENT &&
                                 xerrFromWin32(183) == XERR_ADDRINUSE;
        std::exit(emptyBefore && filledAfter ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(XerrTest, SecondInitRewritesTheSameValues) {
  EXPECT_EQ(xerrLibInit(), XERR_SUCCESS);
  EXPECT_EQ(xerrToString(XERR_NOENT), "XERR_NOENT");
  EXPECT_EQ(xerrFromWin32(80), XERR_EXIST);
}
