// Faults from outside: a directory that refuses new files, a child program that cannot
// start. Each gives its documented error, and everything after it works.
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xfile.h"
#include "xpl/Xlog.h"
#include "xpl/Xproc.h"

#include <gtest/gtest.h>

#include <string>

using testsupport::TempDir;

namespace {

class FaultTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void TearDown() override { ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0); }
  TempDir dir{"faults"};
};

} // namespace

TEST_F(FaultTest, ChildProgramsThatCannotStartGiveTheirError) {
  testsupport::CaptureLogger::install(XLOG_ERROR);
  XprocHandle handle{};
  // Missing program: no elevated fallback, the mapped error.
  const XErr missing = xprocCreate(&handle, {dir.at("no-such-program")});
  EXPECT_EQ(missing, XERR_NOENT) << xerrToString(missing);
  // A file that is no program at all.
  const std::string text = dir.at("not-a-program.exe");
  testsupport::writeFile(text, "just text\n");
  const XErr bad = xprocCreate(&handle, {text});
  EXPECT_NE(bad, XERR_SUCCESS);
  EXPECT_GE(testsupport::CaptureLogger::lines().size(), 2u);
  for (const auto& line : testsupport::CaptureLogger::lines())
    EXPECT_EQ(line.level, XLOG_ERROR);
}

#if !defined(_WIN32)
TEST_F(FaultTest, DirectoryThatRefusesNewFiles) {
  // sysfs refuses to create files even for root, which ignores permission bits elsewhere.
  const int err = xlogLibInit(nullptr, "/sys/vmmgr-test.log", "");
  EXPECT_EQ(err, XERR_ACCES) << xerrToString(err);
  XfileHandle handle{};
  handle.platformHandle = reinterpret_cast<void*>(0x5a);
  EXPECT_EQ(xfileOpen(handle, "/sys/vmmgr-test.log", XFILE_MODE_TRUNCATE), XERR_ACCES);
  EXPECT_EQ(handle.platformHandle, reinterpret_cast<void*>(0x5a));
  EXPECT_EQ(xfileCopy("/proc/self/status", "/sys/vmmgr-copy"), XERR_ACCES);
}
#endif
