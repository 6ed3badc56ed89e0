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

// Slots per bitmap word; also blocks per word of the blocks' bitmap.
constexpr size_t XTIMER_BITS = 64;

// The slots, handed out lowest first, so that the slots in use stay packed at the front of
// the pool: a scheduler then writes to pages it wrote to a moment ago, where a stack of freed
// slots hands them out in the order their entries ran, each one a cache and TLB miss. Used
// under the service lock.
class XtimerSlots {
public:
  // Left free: take it once its entry is queued. Throws std::bad_alloc with nothing changed.
  XtimerSlot& lowestFree() {
    while (firstGroup_ < freeBlocks_.size() && freeBlocks_[firstGroup_] == 0)
      ++firstGroup_;
    if (firstGroup_ == freeBlocks_.size())
      addBlock();
    const size_t block = firstGroup_ * XTIMER_BITS + lowestBit(freeBlocks_[firstGroup_]);
    return blocks_[block][lowestBit(freeSlots_[block])];
  }
  void take(const XtimerSlot& slot) {
    const size_t block = slot.index / XTIMER_BITS;
    freeSlots_[block] &= ~bit(slot.index);
    if (freeSlots_[block] == 0)
      freeBlocks_[block / XTIMER_BITS] &= ~bit(block);
  }
  // Cannot throw.
  void release(const XtimerSlot& slot) {
    const size_t block = slot.index / XTIMER_BITS;
    freeSlots_[block] |= bit(slot.index);
    freeBlocks_[block / XTIMER_BITS] |= bit(block);
    firstGroup_ = std::min(firstGroup_, block / XTIMER_BITS);
  }

private:
  static uint64_t bit(size_t index) { return uint64_t{1} << (index % XTIMER_BITS); }
  static size_t lowestBit(uint64_t word) { return size_t(__builtin_ctzll(word)); }

  // Every step that can throw leaves a state the next attempt reuses.
  void addBlock() {
    const size_t block = blocks_.size();
    std::unique_ptr<XtimerSlot[]> slots(new XtimerSlot[XTIMER_BITS]);
    for (size_t i = 0; i < XTIMER_BITS; ++i)
      slots[i].index = block * XTIMER_BITS + i;
    if (freeBlocks_.size() <= block / XTIMER_BITS)
      freeBlocks_.push_back(0);
    if (freeSlots_.size() <= block)
      freeSlots_.push_back(0);
    blocks_.push_back(std::move(slots));
    freeSlots_[block] = ~uint64_t{0};
    freeBlocks_[block / XTIMER_BITS] |= bit(block);
    firstGroup_ = block / XTIMER_BITS;
  }

  // Blocks of a page's worth each, which never move: a slot is filled outside the lock while
  // another block may be added.
  std::vector<std::unique_ptr<XtimerSlot[]>> blocks_;
  std::vector<uint64_t> freeSlots_;  // a bit per slot, set while it is free
  std::vector<uint64_t> freeBlocks_; // a bit per block, set while it has a free slot
  size_t firstGroup_ = 0;            // the words of freeBlocks_ before it are zero
};
