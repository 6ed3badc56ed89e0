// The timer service through its one entry: the order of due entries (deadlines, ties, a batch
// cut short by an earlier deadline), failing and empty callbacks, the wake-up of a waiting
// worker, many threads at once, and the clock a deadline is taken from.
#include "xpl/Xtimer.h"
#include "xpl/Xtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
constexpr auto kPatience = 10s;

// What the callbacks did, in the order they did it. Callbacks hold it by shared pointer: a
// failed test must not leave queued entries pointing at a dead one.
class Journal {
public:
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(what);
    changed_.notify_all();
  }
  Names waitFor(size_t size, std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return entries_.size() >= size; });
    return entries_;
  }

private:
  std::mutex lock_;
  std::condition_variable changed_;
  Names entries_;
};

std::function<void()> note(const std::shared_ptr<Journal>& journal, const std::string& what) {
  return [journal, what] { journal->add(what); };
}

// Holds the worker inside a callback, so that whatever is scheduled meanwhile is due at once
// when it lets go and leaves in batches.
struct Gate {
  std::shared_ptr<std::promise<void>> entered = std::make_shared<std::promise<void>>();
  std::promise<void> release;
  bool holding() {
    auto in = entered;
    std::shared_future<void> go = release.get_future().share();
    xtimerSchedule(0, [in, go] {
      in->set_value();
      go.wait_for(kPatience);
    });
    return entered->get_future().wait_for(kPatience) == std::future_status::ready;
  }
  ~Gate() { release.set_value(); }
};

TEST(XtimerOrder, DueEntriesRunByDeadlineThenCallOrderPastFailingCallbacks) {
  // "1 s ago" schedules an entry due before the rest of its batch, which must go ahead of
  // that rest, and one with delay 0, which stays behind everything already due.
  auto journal = std::make_shared<Journal>();
  Names expected = {"2 s ago", "1 s ago", "a minute ago"};
  {
    Gate gate;
    ASSERT_TRUE(gate.holding());
    EXPECT_EQ(xtimerSchedule(0, std::function<void()>()), 0);
    EXPECT_EQ(xtimerSchedule(-1000000,
                             [journal] {
                               journal->add("1 s ago");
                               xtimerSchedule(0, note(journal, "delay 0"));
                               xtimerSchedule(-60000000, note(journal, "a minute ago"));
                             }),
              0);
    xtimerSchedule(0, [] { throw std::runtime_error("callback failure"); });
    xtimerSchedule(0, [] { throw 42; });
    // A thousand calls share few milliseconds, so most deadlines are ties.
    for (int i = 0; i < 1000; ++i) {
      xtimerSchedule(0, note(journal, std::to_string(i)));
      expected.push_back(std::to_string(i));
    }
    xtimerSchedule(-2000000, note(journal, "2 s ago"));
  }
  expected.push_back("delay 0");
  EXPECT_EQ(journal->waitFor(expected.size()), expected);
}

TEST(XtimerOrder, ZeroDelayCutsAWaitForALaterDeadlineShort) {
  auto journal = std::make_shared<Journal>();
  xtimerSchedule(500000, note(journal, "later"));
  std::this_thread::sleep_for(20ms); // the worker waits for "later" by now
  const auto scheduled = std::chrono::steady_clock::now();
  xtimerSchedule(0, note(journal, "now"));
  EXPECT_EQ(journal->waitFor(1), Names{"now"});
  EXPECT_LT(std::chrono::steady_clock::now() - scheduled, 250ms);
  EXPECT_EQ(journal->waitFor(2), (Names{"now", "later"}));
}

TEST(XtimerLoad, TimersFromFourThreadsFireOnceNotEarlyInDeadlineOrder) {
  constexpr int kThreads = 4, kPerThread = 20000, kTotal = kThreads * kPerThread;
  struct Shared {
    std::mutex lock;
    std::vector<int> fired;
    int early = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::vector<int64_t> earliest(kTotal), latest(kTotal); // bounds of each deadline
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int id = t * kPerThread; id < (t + 1) * kPerThread; ++id) {
        const int64_t delay = std::uniform_int_distribution<int64_t>(0, 20000)(random);
        const int64_t due = earliest[id] = xtimeNowUs() + delay;
        xtimerSchedule(delay, [shared, id, due] {
          const bool early = xtimeNowUs() < due;
          std::lock_guard<std::mutex> guard(shared->lock);
          shared->fired.push_back(id);
          shared->early += early;
        });
        latest[id] = xtimeNowUs() + delay;
      }
    });
  for (auto& thread : pool)
    thread.join();
  // One more entry, due after all of them, shows that the worker has passed them all.
  auto fence = std::make_shared<Journal>();
  xtimerSchedule(30000, note(fence, "fence"));
  ASSERT_EQ(fence->waitFor(1, 60s).size(), 1u);
  std::lock_guard<std::mutex> guard(shared->lock);
  ASSERT_EQ(shared->fired.size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(shared->early, 0);
  std::vector<bool> seen(kTotal);
  for (size_t k = 0; k < shared->fired.size(); ++k) {
    const int id = shared->fired[k];
    ASSERT_FALSE(seen[id]) << "timer " << id << " fired twice";
    seen[id] = true;
    if (k > 0) {
      ASSERT_LE(earliest[shared->fired[k - 1]], latest[id]) << "at firing " << k;
    }
  }
}

void setZone(const char* zone) {
#if defined(_WIN32)
  _putenv_s("TZ", zone);
  _tzset();
#else
  zone[0] != '\0' ? setenv("TZ", zone, 1) : unsetenv("TZ");
  tzset();
#endif
}

TEST(XtimerDeadline, CountsAZoneChangeMadeInTheSameSecondInFull) {
  // The deadline is the local time when the entry is queued, under the zone in effect then,
  // even on a thread that has read the clock in that second already. East first: the entry
  // it leaves pending lies hours ahead for the rest of the run.
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  struct Case {
    const char* zone;
    int64_t delayUs;
    bool runsAtOnce;
  };
  for (const Case& c : {Case{"XET-5", 60000000, false}, Case{"XWT5", 0, true}}) {
    SCOPED_TRACE(c.zone);
    setZone("UTC0");
    while (std::chrono::system_clock::now().time_since_epoch() % 1s > 800ms)
      std::this_thread::sleep_for(10ms);
    xtimerSchedule(0, [] {});
    setZone(c.zone);
    auto journal = std::make_shared<Journal>();
    xtimerSchedule(c.delayUs, note(journal, "ran"));
    EXPECT_EQ(journal->waitFor(1, c.runsAtOnce ? 2000ms : 300ms).size(), c.runsAtOnce ? 1u : 0u);
  }
  setZone(saved.c_str());
}

} // namespace
