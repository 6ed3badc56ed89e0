// The timer service's queue: entries ordered by deadline and, among equal deadlines, by the
// order in which they were queued.
//
// Every entry takes a sequence number when it is queued, so the pair (deadline, sequence)
// is unique and orders the entries completely. Two containers share the entries:
//
// - a sorted run, a ring buffer appended at the back and taken from the front. Deadlines
//   mostly arrive in non-decreasing order (the clock moves on, delays repeat), and such an
//   entry is appended in O(1), next to its neighbours in memory;
// - a 4-ary min-heap for every entry that would break the run's order (a shorter delay than
//   the last one). A random deadline rises about one level on average. Such entries wait
//   in a short list first and enter the heap up to 128 at a time, or before the next entry
//   is taken; the list's least deadline is tracked, so the first deadline is always known.
//
// The first entry is the smaller of the run's front and the heap's top, once the list has
// entered the heap. The entries hold their callbacks in place: an indirection to a pool of
// callbacks would cost a cache miss for each schedule and each firing once the pool has
// been shuffled by random deadlines.
//
// Storage grows like a vector's and is kept for the next burst; above about a million
// entries' worth it is given back as the queue shrinks to a quarter of it.
//
// Not thread-safe: the service's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

struct XtimerEntry {
  int64_t deadline = 0;
  uint64_t sequence = 0;
  std::function<void()> callback;
};

inline bool xtimerEntryBefore(const XtimerEntry& a, const XtimerEntry& b) {
  return a.deadline < b.deadline || (a.deadline == b.deadline && a.sequence < b.sequence);
}

class XtimerQueue {
public:
  /// The most entries the queue holds; one more is a std::length_error.
  static constexpr size_t kMaxSize = 0x249249249249249;
  /// Storage for this many entries is kept when the queue shrinks.
  static constexpr size_t kDefaultKeep = size_t{1} << 20;

  explicit XtimerQueue(size_t keep = kDefaultKeep) : keep_(keep) {}

  bool empty() const { return runSize_ == 0 && heap_.empty() && pending_.empty(); }
  size_t size() const { return runSize_ + heap_.size() + pending_.size(); }

  /// Queues a new entry behind every entry with the same deadline. Returns true when it
  /// became the first entry.
  bool push(int64_t deadline, std::function<void()>&& callback) {
    if (size() >= kMaxSize)
      throw std::length_error("map/set too long");
    const bool first = empty() || deadline < firstDeadline();
    XtimerEntry entry{deadline, nextSequence_, std::move(callback)};
    if (fitsTheRun(entry)) {
      runPushBack(std::move(entry));
    } else {
      if (deadline < pendingMin_)
        pendingMin_ = deadline;
      pending_.push_back(std::move(entry));
      if (pending_.size() >= kPendingLimit)
        flushPending();
    }
    ++nextSequence_;
    return first;
  }

  /// Returns an entry taken with popFirst() to its place: it keeps its sequence number and
  /// so goes back in front of every equal deadline queued since.
  void putBack(XtimerEntry&& entry) { insert(std::move(entry)); }

  /// The first entry's deadline; the queue must not be empty.
  int64_t firstDeadline() const {
    int64_t first = pendingMin_;
    if (runSize_ != 0 && run_[head_].deadline < first)
      first = run_[head_].deadline;
    if (!heap_.empty() && heap_.front().deadline < first)
      first = heap_.front().deadline;
    return first;
  }

  /// Removes the first entry and returns it; the queue must not be empty.
  XtimerEntry popFirst() {
    if (!pending_.empty())
      flushPending();
    if (runSize_ != 0 && (heap_.empty() || xtimerEntryBefore(run_[head_], heap_.front())))
      return runPopFront();
    return heapPop();
  }

private:
  static constexpr size_t kArity = 4;
  // Out-of-order entries wait in a short list and enter the heap together: one thread then
  // does a run of sift-ups over the same few cache lines, instead of every scheduler pulling
  // the heap's lines over to its own core for one entry.
  static constexpr size_t kPendingLimit = 128;

  bool fitsTheRun(const XtimerEntry& entry) const {
    return runSize_ == 0 ||
           !xtimerEntryBefore(entry, run_[(head_ + runSize_ - 1) & (runCapacity_ - 1)]);
  }

  void insert(XtimerEntry&& entry) {
    if (fitsTheRun(entry))
      runPushBack(std::move(entry));
    else
      heapPush(std::move(entry));
  }

  void flushPending() {
    for (auto& entry : pending_)
      insert(std::move(entry));
    pending_.clear();
    pendingMin_ = INT64_MAX;
  }

  void runPushBack(XtimerEntry&& entry) {
    if (runSize_ == runCapacity_)
      runResize(runCapacity_ == 0 ? 64 : runCapacity_ * 2);
    run_[(head_ + runSize_) & (runCapacity_ - 1)] = std::move(entry);
    ++runSize_;
  }

  XtimerEntry runPopFront() {
    XtimerEntry entry = std::move(run_[head_]);
    run_[head_].callback = nullptr;
    head_ = (head_ + 1) & (runCapacity_ - 1);
    --runSize_;
    if (runCapacity_ > keep_ && runSize_ * 4 <= runCapacity_)
      runResize(runCapacity_ / 2);
    return entry;
  }

  // The capacity stays a power of two so that positions wrap with a mask.
  void runResize(size_t capacity) {
    std::unique_ptr<XtimerEntry[]> run(new XtimerEntry[capacity]);
    for (size_t i = 0; i < runSize_; ++i)
      run[i] = std::move(run_[(head_ + i) & (runCapacity_ - 1)]);
    run_ = std::move(run);
    runCapacity_ = capacity;
    head_ = 0;
  }

  // Both directions move a hole rather than swapping: one move per level.
  void heapPush(XtimerEntry&& entry) {
    size_t hole = heap_.size();
    heap_.emplace_back();
    while (hole > 0) {
      const size_t parent = (hole - 1) / kArity;
      if (!xtimerEntryBefore(entry, heap_[parent]))
        break;
      heap_[hole] = std::move(heap_[parent]);
      hole = parent;
    }
    heap_[hole] = std::move(entry);
  }

  XtimerEntry heapPop() {
    XtimerEntry top = std::move(heap_.front());
    XtimerEntry last = std::move(heap_.back());
    heap_.pop_back();
    const size_t count = heap_.size();
    if (count != 0) {
      size_t hole = 0;
      for (;;) {
        const size_t child = hole * kArity + 1;
        if (child >= count)
          break;
        const size_t end = child + kArity < count ? child + kArity : count;
        size_t least = child;
        for (size_t c = child + 1; c < end; ++c)
          if (xtimerEntryBefore(heap_[c], heap_[least]))
            least = c;
        if (!xtimerEntryBefore(heap_[least], last))
          break;
        heap_[hole] = std::move(heap_[least]);
        hole = least;
      }
      heap_[hole] = std::move(last);
    }
    if (heap_.capacity() > keep_ && count * 4 <= heap_.capacity()) {
      std::vector<XtimerEntry> smaller;
      smaller.reserve(count * 2);
      for (auto& entry : heap_)
        smaller.push_back(std::move(entry));
      heap_.swap(smaller);
    }
    return top;
  }

  const size_t keep_;
  std::unique_ptr<XtimerEntry[]> run_;
  size_t runCapacity_ = 0;
  size_t head_ = 0;
  size_t runSize_ = 0;
  std::vector<XtimerEntry> heap_;
  std::vector<XtimerEntry> pending_;
  int64_t pendingMin_ = INT64_MAX; // the least deadline in pending_
  uint64_t nextSequence_ = 0;
};
