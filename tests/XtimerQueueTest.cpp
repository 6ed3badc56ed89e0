// The timer queue against an ordered multimap keyed by (deadline, sequence): whatever the
// mix of deadlines, every entry comes out exactly once, in deadline order and, among equal
// deadlines, in the order it went in.
#include "xpl/XtimerQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

// Runs the queue and the oracle side by side. Each callback records its entry's id, so a
// popped entry is checked by what its callback does, not only by its deadline.
class Mirror {
public:
  void push(int64_t deadline) {
    const int id = nextId_++;
    const bool expectFirst = oracle_.empty() || deadline < oracle_.begin()->first.first;
    EXPECT_EQ(queue_.push(deadline, [this, id] { ran_ = id; }), expectFirst)
        << "deadline " << deadline;
    oracle_.emplace(std::make_pair(deadline, sequence_++), id);
  }

  // Pops one entry and checks it; returns it for a later putBack.
  XtimerEntry pop() {
    EXPECT_FALSE(queue_.empty());
    const auto expected = oracle_.begin();
    EXPECT_EQ(queue_.firstDeadline(), expected->first.first);
    XtimerEntry entry = queue_.popFirst();
    EXPECT_EQ(entry.deadline, expected->first.first);
    ran_ = -1;
    entry.callback();
    EXPECT_EQ(ran_, expected->second) << "deadline " << entry.deadline;
    taken_.emplace(expected->first, expected->second);
    oracle_.erase(expected);
    EXPECT_EQ(queue_.size(), oracle_.size());
    return entry;
  }

  void putBack(XtimerEntry&& entry) {
    const auto key = std::make_pair(entry.deadline, entry.sequence);
    const auto taken = taken_.find(key);
    ASSERT_NE(taken, taken_.end());
    oracle_.emplace(key, taken->second);
    taken_.erase(taken);
    queue_.putBack(std::move(entry));
  }

  void drain() {
    while (!oracle_.empty() && !::testing::Test::HasFailure())
      pop();
    EXPECT_TRUE(queue_.empty());
  }

  size_t size() const { return oracle_.size(); }

private:
  XtimerQueue queue_;
  // The queue numbers its entries from 0 in push order, as the oracle does.
  std::map<std::pair<int64_t, uint64_t>, int> oracle_;
  std::map<std::pair<int64_t, uint64_t>, int> taken_;
  uint64_t sequence_ = 0;
  int nextId_ = 0;
  int ran_ = -1;
};

TEST(XtimerQueue, RandomDeadlinesWithManyTiesComeOutInOrder) {
  Mirror mirror;
  std::mt19937 generator(11);
  // Few distinct values, so equal deadlines land in both the run and the heap.
  std::uniform_int_distribution<int64_t> deadline(-20, 20);
  for (int i = 0; i < 5000; ++i)
    mirror.push(deadline(generator));
  mirror.drain();
}

TEST(XtimerQueue, InterleavedPushesPopsAndPutBacksKeepTheOrder) {
  Mirror mirror;
  std::mt19937 generator(5);
  std::uniform_int_distribution<int> action(0, 9);
  std::uniform_int_distribution<int64_t> jitter(-3, 3);
  int64_t clock = 0;
  for (int step = 0; step < 200000 && !HasFailure(); ++step) {
    const int what = action(generator);
    if (what < 5) {
      // Mostly growing deadlines, as the clock moves on, with some going back.
      clock += what == 0 ? 0 : 1;
      mirror.push(clock + jitter(generator) * (what == 4 ? 100 : 1));
    } else if (what < 9 && mirror.size() > 0) {
      mirror.pop();
    } else if (mirror.size() > 0) {
      // The worker's hand-back: a few entries taken, then returned in any order.
      std::vector<XtimerEntry> taken;
      for (int i = 0; i < 3 && mirror.size() > 0; ++i)
        taken.push_back(mirror.pop());
      mirror.push(clock - 50);
      for (size_t i = taken.size(); i-- > 0;)
        mirror.putBack(std::move(taken[i]));
    }
  }
  mirror.drain();
}

TEST(XtimerQueue, GrowsPastWhatItKeepsAndGivesItBackWhileDraining) {
  // Entries pushed so both containers hold many: each fourth goes back in time. Draining
  // shrinks both well below what this queue keeps, several times over.
  constexpr int kEntries = 100000;
  XtimerQueue queue(64);
  int64_t checksum = 0;
  for (int i = 0; i < kEntries; ++i) {
    const int64_t deadline = i % 4 == 3 ? i - 1000 : i;
    queue.push(deadline, [&checksum, i] { checksum += i; });
  }
  ASSERT_EQ(queue.size(), static_cast<size_t>(kEntries));
  int64_t previous = INT64_MIN;
  int64_t expected = 0;
  for (int i = 0; i < kEntries; ++i) {
    XtimerEntry entry = queue.popFirst();
    ASSERT_GE(entry.deadline, previous) << "at " << i;
    previous = entry.deadline;
    entry.callback();
    expected += i;
  }
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(checksum, expected) << "an entry ran with another's callback or not at all";
}

} // namespace
