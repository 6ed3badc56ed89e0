// Bounded stress: many threads logging into one log file that has just been rotated, a
// fixed amount of work and checks that nothing was lost, duplicated or reordered.
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"
#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

TEST(Stress, ThreadsLoggingIntoAFreshlyRotatedFileLoseNoLine) {
  if (testsupport::underWine())
    GTEST_SKIP() << "Wine does not append atomically from concurrent writers";
  ASSERT_EQ(xerrLibInit(), XERR_SUCCESS);
  testsupport::TempDir dir("xlog-stress");
  const std::string log = dir.at("stress.log");
  testsupport::writeFile(log, std::string(10485760, '.'));
  ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
  constexpr int threads = 6, perThread = 15000;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t] {
      for (int i = 0; i < perThread; ++i)
        xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "T%d L%d %.*s", t, i, i % 200,
                       "................................................................"
                       "................................................................"
                       "................................................................"
                       "........");
    });
  for (auto& th : pool)
    th.join();
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);

  EXPECT_EQ(testsupport::readFile(log + ".1").size(), 10485760u);
  const std::string text = testsupport::readFile(log);
  std::vector<int> next(threads, 0);
  size_t lines = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t nl = text.find('\n', start);
    ASSERT_NE(nl, std::string::npos) << "unterminated tail";
    const std::string line = text.substr(start, nl - start);
    start = nl + 1;
    const size_t at = line.find(" I: T");
    ASSERT_NE(at, std::string::npos) << line;
    int t = -1, i = -1, dots = -1;
    ASSERT_EQ(xstrSscanf(line.c_str() + at, " I: T%d L%d %n", &t, &i, &dots), 2) << line;
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    // Each thread's lines arrive in its own order, whole (the dot count matches the index).
    EXPECT_EQ(i, next[t]) << line;
    next[t] = i + 1;
    EXPECT_EQ(line.size() - at - static_cast<size_t>(dots), static_cast<size_t>(i % 200)) << line;
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(threads * perThread));
}
