// The timer service through its one entry: the order of due entries (deadlines, ties, a batch
// cut short by an earlier deadline), failing and empty callbacks, the wake-up of a waiting
// worker, many threads at once, the clock a deadline is taken from and the end of its range.
// And its pool of callback slots, which must hand out the lowest free one.
#include "xpl/Xtimer.h"
#include "xpl/Xtime.h"
#include "xpl/XtimerSlots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
constexpr auto kPatience = 10s;

// What the callbacks did, in the order they did it. Callbacks hold it by shared pointer: a
// failed test must not leave queued entries pointing at a dead one.
struct Journal {
  std::mutex lock;
  std::condition_variable changed;
  Names entries;
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock);
    entries.push_back(what);
    changed.notify_all();
  }
  Names waitFor(size_t size, std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, timeout, [&] { return entries.size() >= size; });
    return entries;
  }
};

std::function<void()> note(const std::shared_ptr<Journal>& journal, const std::string& what) {
  return [journal, what] { journal->add(what); };
}

TEST(XtimerSlots, HandsOutTheLowestFreeSlotAcrossBlocksAndWords) {
  // A word of the top level of the pool's bitmaps (64^3 slots) and a block more, all taken.
  constexpr size_t kSlots = 64 * 64 * 64 + 64;
  XtimerSlots slots;
  std::vector<XtimerSlot*> taken;
  for (size_t i = 0; i < kSlots; ++i) {
    XtimerSlot& slot = slots.lowestFree();
    ASSERT_EQ(slot.index, i);
    ASSERT_EQ(&slots.lowestFree(), &slot) << "not taken yet";
    slots.take(slot);
    taken.push_back(&slot);
  }
  // Released in no order, from words of every level and the block past them; each comes
  // back, lowest first, before a new block is added.
  const std::vector<size_t> released = {262150, 4095, 5, 4096, 63, 64, 262143, 0, 8200};
  for (size_t index : released)
    slots.release(*taken[index]);
  std::vector<size_t> expected = released;
  std::sort(expected.begin(), expected.end());
  for (size_t index : expected) {
    XtimerSlot& slot = slots.lowestFree();
    ASSERT_EQ(&slot, taken[index]);
    slots.take(slot);
  }
  EXPECT_EQ(slots.lowestFree().index, kSlots);
}

TEST(XtimerRange, PastTheClocksEndNeverComesDue) {
  // First in the binary, so that the worker waits for this entry a while; it stays queued,
  // behind every other, for the rest of the run.
  auto journal = std::make_shared<Journal>();
  xtimerSchedule(INT64_MAX, note(journal, "past the clock's end"));
  std::this_thread::sleep_for(20ms);
  xtimerSchedule(0, note(journal, "now"));
  EXPECT_EQ(journal->waitFor(1), Names{"now"});
}

TEST(XtimerOrder, DueEntriesRunByDeadlineThenCallOrderPastFailingCallbacks) {
  // "1 s ago" schedules an entry due before the rest of its batch, which must go ahead of
  // that rest, and one with delay 0, which stays behind everything already due.
  auto journal = std::make_shared<Journal>();
  Names expected = {"2 s ago", "1 s ago", "a minute ago"};
  {
    // The worker held in a callback: all below is due at once when it lets go.
    auto entered = std::make_shared<std::promise<void>>();
    std::promise<void> release;
    xtimerSchedule(0, [entered, go = release.get_future().share()] {
      entered->set_value();
      go.wait_for(kPatience);
    });
    ASSERT_EQ(entered->get_future().wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(xtimerSchedule(0, std::function<void()>()), 0);
    xtimerSchedule(-1000000, [journal] {
      journal->add("1 s ago");
      xtimerSchedule(0, note(journal, "delay 0"));
      xtimerSchedule(-60000000, note(journal, "a minute ago"));
    });
    EXPECT_EQ(xtimerSchedule(0, [] { throw 42; }), 0);
    // A thousand calls share few milliseconds, so most deadlines are ties.
    for (int i = 0; i < 1000; ++i) {
      xtimerSchedule(0, note(journal, std::to_string(i)));
      expected.push_back(std::to_string(i));
    }
    xtimerSchedule(-2000000, note(journal, "2 s ago"));
    release.set_value();
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
  auto journal = std::make_shared<Journal>();
  std::vector<int64_t> earliest(kTotal), latest(kTotal); // bounds of each deadline
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      uint32_t random = t;
      for (int id = t * kPerThread; id < (t + 1) * kPerThread; ++id) {
        random = random * 1664525u + 1013904223u;
        // A fifth due at once, so that the worker runs them while they are scheduled.
        const int64_t delay = std::max<int64_t>(0, int64_t((random >> 8) % 25000) - 5000);
        const int64_t due = earliest[id] = xtimeNowUs() + delay;
        xtimerSchedule(delay, [journal, id, due] {
          journal->add(xtimeNowUs() < due ? "early" : std::to_string(id));
        });
        latest[id] = xtimeNowUs() + delay;
      }
    });
  for (auto& thread : pool)
    thread.join();
  // Due after all of them: once it has run, every entry has, each once.
  xtimerSchedule(30000, note(journal, "fence"));
  const Names fired = journal->waitFor(kTotal + 1, 60s);
  ASSERT_EQ(fired.size(), kTotal + 1u);
  std::vector<bool> seen(kTotal);
  // A "fence" before the end fails the test in std::stoi.
  for (int k = 0; k < kTotal; ++k) {
    ASSERT_NE(fired[k], "early");
    const int id = std::stoi(fired[k]);
    ASSERT_FALSE(seen[id]) << "timer " << id << " fired twice";
    seen[id] = true;
    // An entry that ran before another cannot have had a later deadline.
    ASSERT_TRUE(k == 0 || earliest[std::stoi(fired[k - 1])] <= latest[id]) << "at firing " << k;
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
  for (const auto& [zone, delayUs] :
       {std::pair<const char*, int64_t>{"XET-5", 60000000}, {"XWT5", 0}}) {
    SCOPED_TRACE(zone);
    setZone("UTC0");
    xtimerSchedule(0, [] {}); // this thread reads the clock in the old zone
    setZone(zone);
    auto journal = std::make_shared<Journal>();
    xtimerSchedule(delayUs, note(journal, "ran"));
    // West, delay 0: due at once. East, a minute: not yet.
    EXPECT_EQ(journal->waitFor(1, delayUs == 0 ? 2000ms : 300ms).size(), delayUs == 0 ? 1u : 0u);
  }
  setZone(saved.c_str());
}

} // namespace
