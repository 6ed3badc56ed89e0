// Faults from outside: writes that fail, a log file that cannot be opened, a rotation whose
// moves fail. Each gives its documented error, or loses just the one line it concerns, and
// everything after it works.
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xfile.h"
#include "xpl/Xlog.h"

#include <gtest/gtest.h>

#include <string>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

using testsupport::TempDir;

namespace {

class FaultTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void TearDown() override { ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0); }

  int logLine(const char* text) {
    return xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "%s", text);
  }
  TempDir dir{"faults"};
};

} // namespace

TEST_F(FaultTest, RotationWhoseMovesFailAppendsToTheOldFile) {
  const std::string log = dir.at("r.log");
  const std::string old(10485760, 'o');
  testsupport::writeFile(log, old);
  // Non-empty directories where both backups should go: neither move can succeed.
  for (const char* backup : {".1", ".2"}) {
    ASSERT_EQ(xfileMkdir(log + backup, 0), XERR_SUCCESS);
    testsupport::writeFile(log + backup + XPL_PATH_SEPARATOR + "keep", "keep");
  }
  ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
  EXPECT_GT(logLine("after a failed rotation"), 0);
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  const std::string text = testsupport::readFile(log);
  ASSERT_GT(text.size(), old.size());
  EXPECT_EQ(text.compare(0, old.size(), old), 0);
  EXPECT_NE(text.find("after a failed rotation\n", old.size()), std::string::npos);
  for (const char* backup : {".1", ".2"})
    EXPECT_EQ(testsupport::readFile(log + backup + XPL_PATH_SEPARATOR + "keep"), "keep");
}

TEST_F(FaultTest, LogFileThatCannotBeOpenedIsReportedAndStandardOutputStillWorks) {
  const std::string blocker = dir.at("plain-file");
  testsupport::writeFile(blocker, "x");
  // A plain file stands where the log's directory should be.
  const std::string log = blocker + XPL_PATH_SEPARATOR + "sub" + XPL_PATH_SEPARATOR + "x.log";
  const int err = xlogLibInit(nullptr, log, "");
  EXPECT_NE(err, 0);
  EXPECT_TRUE(err == XERR_NOENT || err == XERR_NOTDIR) << xerrToString(err);
  // Lines aimed at the file are lost, silently; nothing else breaks.
  EXPECT_EQ(logLine("lost"), 0);
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  EXPECT_GT(logLine("on standard output again"), 0);
}

#if !defined(_WIN32)
TEST_F(FaultTest, WritesToAFullDeviceLoseOnlyTheirLine) {
  ASSERT_EQ(xlogLibInit(nullptr, "/dev/full", ""), 0);
  EXPECT_EQ(logLine("nowhere to go"), 0);
  EXPECT_EQ(logLine("nor this"), 0);
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, "/dev/full", XFILE_MODE_APPEND), XERR_SUCCESS);
  uint64_t written = 77;
  EXPECT_EQ(xfileWrite(handle, "x", 1, written), XERR_NOSPC);
  EXPECT_EQ(written, 77u);
  EXPECT_EQ(xfileWriteAll(handle, "xyz", 3), XERR_NOSPC);
  xfileClose(handle);
}

TEST_F(FaultTest, FileSizeLimitLosesTheLineThatCrossesIt) {
  const std::string log = dir.at("limited.log");
  ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
  ASSERT_GT(logLine("first"), 0);
  uint64_t size = 0;
  ASSERT_EQ(xfileGetSizeByPath(log, size), XERR_SUCCESS);

  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = static_cast<rlim_t>(size); // not one byte more
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int lost = logLine("crosses the limit");
  XfileHandle handle{};
  uint64_t written = 5;
  ASSERT_EQ(xfileOpen(handle, log, XFILE_MODE_APPEND), XERR_SUCCESS);
  const XErr direct = xfileWrite(handle, "y", 1, written);
  xfileClose(handle);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_EQ(sigaction(SIGXFSZ, &previous, nullptr), 0);

  EXPECT_EQ(lost, 0);
  EXPECT_EQ(direct, XERR_FBIG);
  EXPECT_EQ(written, 5u);
  EXPECT_GT(logLine("after the limit is lifted"), 0);
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  const std::string text = testsupport::readFile(log);
  EXPECT_EQ(text.find("crosses the limit"), std::string::npos);
  EXPECT_NE(text.find("first\n"), std::string::npos);
  EXPECT_NE(text.find("after the limit is lifted\n"), std::string::npos);
}
#endif
