// Where the timer service's callbacks wait for their entries to come due: slots of a cache
// line each, in blocks that never move, handed out lowest first. Internal to the service.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Where a callback waits for its entry to come due. The scheduler takes its slot under the
// lock and moves the callback in after releasing it, so that a second thread scheduling at
// the same time waits only for a clock read and a heap insertion.
struct alignas(64) XtimerSlot {
  std::function<void()> callback;
  std::atomic<bool> filled{false};
  size_t index = 0; // its place in the pool, for XtimerSlots::release
};

constexpr size_t XTIMER_BITS = 64;
constexpr size_t XTIMER_LEVELS = 3;

// The slots, handed out lowest first, so that the slots in use stay packed at the front of
// the pool: a scheduler then writes to pages it wrote to a moment ago, where a stack of freed
// slots hands them out in the order their entries ran, each one a cache and TLB miss. Used
// under the service lock.
//
// Which slots are free is a tree of bitmaps: a bit per slot, above it a bit per word of that
// (set while the word is not zero), and above that the same again. Finding the lowest free
// slot is then a bit search per level, not a scan along the slots, and a scan along the top
// level only past 64^3 slots.
class XtimerSlots {
public:
  // Left free: take it once its entry is queued. Throws std::bad_alloc with nothing changed.
  XtimerSlot& lowestFree() {
    const auto& top = free_[XTIMER_LEVELS - 1];
    while (firstTop_ < top.size() && top[firstTop_] == 0)
      ++firstTop_;
    if (firstTop_ == top.size())
      addBlock();
    size_t index = firstTop_;
    for (size_t level = XTIMER_LEVELS; level-- > 0;)
      index = index * XTIMER_BITS + lowestBit(free_[level][index]);
    return blocks_[index / XTIMER_BITS][index % XTIMER_BITS];
  }
  void take(const XtimerSlot& slot) {
    size_t index = slot.index;
    for (auto& level : free_) {
      uint64_t& word = level[index / XTIMER_BITS];
      word &= ~bit(index);
      if (word != 0)
        break;
      index /= XTIMER_BITS;
    }
  }
  // Cannot throw.
  void release(const XtimerSlot& slot) { markFree(0, slot.index); }

private:
  static uint64_t bit(size_t index) { return uint64_t{1} << (index % XTIMER_BITS); }
  static size_t lowestBit(uint64_t word) { return size_t(__builtin_ctzll(word)); }

  // Sets the bit of index at level and, where its word was zero, the bits above. A word that
  // was not zero already has its bit above set.
  void markFree(size_t level, size_t index) {
    for (; level < XTIMER_LEVELS; ++level, index /= XTIMER_BITS) {
      uint64_t& word = free_[level][index / XTIMER_BITS];
      const bool hadFree = word != 0;
      word |= bit(index);
      if (hadFree)
        return;
    }
    // Set at the top level too, in a word that may lie before the first.
    firstTop_ = std::min(firstTop_, index);
  }

  // Room at every level first: a word left by an attempt that ran out of memory is reused.
  void addBlock() {
    const size_t block = blocks_.size();
    std::unique_ptr<XtimerSlot[]> slots(new XtimerSlot[XTIMER_BITS]);
    for (size_t i = 0; i < XTIMER_BITS; ++i)
      slots[i].index = block * XTIMER_BITS + i;
    for (size_t level = 0, word = block; level < XTIMER_LEVELS; ++level, word /= XTIMER_BITS)
      if (free_[level].size() <= word)
        free_[level].push_back(0);
    blocks_.push_back(std::move(slots));
    free_[0][block] = ~uint64_t{0};
    markFree(1, block);
  }

  // Blocks of a page's worth each, which never move: a slot is filled outside the lock
  // while another block may be added.
  std::vector<std::unique_ptr<XtimerSlot[]>> blocks_;
  std::vector<uint64_t> free_[XTIMER_LEVELS];
  size_t firstTop_ = 0; // the words of the top level before it are zero
};
