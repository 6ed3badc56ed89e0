// Bounded stress: many threads logging into one log file that has just been rotated, and a
// few hundred thousand timers from several threads. Each runs a fixed amount of work and
// checks that nothing was lost, duplicated or reordered.
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"
#include "xpl/Xstr.h"
#include "xpl/Xtime.h"
#include "xpl/Xtimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
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

TEST(Stress, HundredsOfThousandsOfTimersFireOnceInDeadlineOrder) {
  constexpr int threads = 4, perThread = 50000;
  struct Fired {
    int64_t earliest, latest; // bounds of the entry's deadline
    int id;
  };
  std::mutex lock;
  std::condition_variable done;
  // The records are read only after every scheduling thread has finished writing them.
  std::vector<std::shared_ptr<Fired>> fired;
  fired.reserve(threads * perThread);
  std::atomic<int> throwing{0}, remaining{threads * perThread};

  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      uint32_t state = 12345u + static_cast<uint32_t>(t);
      for (int i = 0; i < perThread; ++i) {
        state = state * 1664525u + 1013904223u;
        const int64_t delay = (state >> 8) % 40000; // up to 40 ms
        const int id = t * perThread + i;
        const int64_t before = xtimeNowUs();
        if (i % 1000 == 7) {
          // Throwing and empty callbacks must not bring the service down.
          xtimerSchedule(delay, [&] {
            ++throwing;
            throw std::runtime_error("callback failure");
          });
          xtimerSchedule(delay, std::function<void()>());
        }
        auto record = std::make_shared<Fired>(Fired{before + delay, 0, id});
        xtimerSchedule(delay, [&, record] {
          std::lock_guard<std::mutex> g(lock);
          fired.push_back(record);
          if (--remaining == 0)
            done.notify_all();
        });
        record->latest = xtimeNowUs() + delay;
      }
    });
  for (auto& th : pool)
    th.join();
  std::unique_lock<std::mutex> g(lock);
  ASSERT_TRUE(done.wait_for(g, std::chrono::seconds(60), [&] { return remaining == 0; }))
      << remaining << " timers did not fire";
  ASSERT_EQ(fired.size(), static_cast<size_t>(threads * perThread));
  std::vector<bool> seen(threads * perThread, false);
  for (size_t k = 0; k < fired.size(); ++k) {
    ASSERT_FALSE(seen[fired[k]->id]) << "timer " << fired[k]->id << " fired twice";
    seen[fired[k]->id] = true;
    // An entry that fired before another cannot have a later deadline: the earliest
    // possible deadline of the first is at most the latest possible of the second.
    if (k > 0) {
      ASSERT_LE(fired[k - 1]->earliest, fired[k]->latest) << "at firing " << k;
    }
  }
  EXPECT_EQ(throwing.load(), threads * (perThread / 1000));
}
