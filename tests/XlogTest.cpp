// The logger hand-over and the call-site conventions every log statement follows.
#include "tests/support/CaptureLogger.h"
#include "xpl/Xlog.h"

#include <gtest/gtest.h>

using testsupport::CaptureLogger;

namespace {
constexpr XlogModuleId xlogModuleId = XLOG_MODULE_VMMGR;

int evaluations = 0;
int countedArgument() { return ++evaluations; }

void logFromHere() { XLOG_D("value %d", countedArgument()); }
void fatalFromHere() { XLOG_FATAL(); }
} // namespace

TEST(XlogCallSite, DisabledLevelNeitherLogsNorEvaluatesArguments) {
  CaptureLogger::install(XLOG_INFO);
  evaluations = 0;
  logFromHere();
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(CaptureLogger::lines().empty());
  ASSERT_EQ(CaptureLogger::queries().size(), 1u);
  EXPECT_EQ(CaptureLogger::queries()[0].moduleId, XLOG_MODULE_VMMGR);
  EXPECT_EQ(CaptureLogger::queries()[0].level, XLOG_DEBUG);
}

TEST(XlogCallSite, EnabledLevelAsksFirstThenLogsWithSourceLocation) {
  CaptureLogger::install(XLOG_DEBUG);
  evaluations = 0;
  logFromHere();
  EXPECT_EQ(evaluations, 1);
  ASSERT_EQ(CaptureLogger::lines().size(), 1u);
  const auto line = CaptureLogger::lines()[0];
  EXPECT_EQ(line.level, XLOG_DEBUG);
  EXPECT_EQ(line.moduleId, XLOG_MODULE_VMMGR);
  EXPECT_EQ(line.function, "logFromHere");
  EXPECT_EQ(line.text, "value 1");
  EXPECT_GT(line.line, 0);
#if defined(_WIN32)
  EXPECT_EQ(line.file, "tests\\XlogTest.cpp");
#else
  EXPECT_EQ(line.file, "tests/XlogTest.cpp");
#endif
  EXPECT_EQ(CaptureLogger::queries().size(), 1u);
}

TEST(XlogLogger, InstalledLoggerIsCopiedAndAnnouncesItself) {
  XlogLogger* before = xlogGetLogger();
  ASSERT_NE(before, nullptr);
  CaptureLogger::setMaxLevel(XLOG_DEBUG);
  XlogLogger mine = CaptureLogger::table;
  ASSERT_EQ(xlogLibInit(&mine, "", "*:I"), 0);
  EXPECT_EQ(xlogGetLogger(), before);
  EXPECT_EQ(CaptureLogger::count("xlog inited using logger"), 1u);
  const auto lines = CaptureLogger::lines();
  EXPECT_EQ(lines.back().moduleId, XLOG_MODULE_XLOG);
  EXPECT_EQ(lines.back().level, XLOG_DEBUG);
  EXPECT_EQ(lines.back().function, "xlogLibInit");
  // The caller's table is not referred to afterwards.
  mine.isEnabled = nullptr;
  mine.log = nullptr;
  EXPECT_EQ(xlogGetLogger()->isEnabled, CaptureLogger::table.isEnabled);
}

TEST(XlogLogger, LevelLettersFollowLevelNumbers) {
  const char* expected[] = {"E", "W", "I", "D", "V"};
  for (int level = XLOG_ERROR; level <= XLOG_VERBOSE; ++level)
    EXPECT_STREQ(xlogLevelLetters[level], expected[level]);
}

TEST(XlogFatalDeathTest, LogsTheFatalLineThenBreaks) {
  CaptureLogger::install(XLOG_ERROR);
  CaptureLogger::echoToStderr(true);
  // gtest matches with POSIX extended expressions on Linux, which have no \d, and with its
  // own simple ones on Windows, which have no bracket expressions.
#if GTEST_USES_POSIX_RE
  EXPECT_DEATH(fatalFromHere(), "FATAL: DEBUG BREAK: .*XlogTest.cpp:[0-9]+ fatalFromHere");
#else
  EXPECT_DEATH(fatalFromHere(), "FATAL: DEBUG BREAK: .*XlogTest.cpp:\\d+ fatalFromHere");
#endif
  CaptureLogger::echoToStderr(false);
}
