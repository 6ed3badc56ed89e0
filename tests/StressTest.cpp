// Bounded stress: a few hundred thousand timers from several threads, and a device set
// under concurrent port and MMIO traffic with interrupt changes. Each runs a fixed amount of work
// and checks that nothing was lost, duplicated or reordered.
#include "tests/support/BridgeVm.h"
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xlog.h"
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

namespace {
std::atomic<long> portCalls{0}, mmioCalls{0};
int32_t stressPortRead(uint16_t port, uint32_t* value, uint32_t) {
  ++portCalls;
  *value = port;
  return 0;
}
int32_t stressPortWrite(uint16_t, uint32_t, uint32_t) {
  ++portCalls;
  return 0;
}
int32_t stressMmioRead(uint64_t offset, void* buffer, uint32_t size) {
  ++mmioCalls;
  if (offset + size > 0x1000)
    return 1;
  std::memset(buffer, static_cast<int>(offset & 0xFF), size);
  return 0;
}
int32_t stressMmioWrite(uint64_t offset, const void*, uint32_t) {
  ++mmioCalls;
  return offset + 4 > 0x1000 ? 1 : 0;
}
} // namespace

TEST(Stress, DevicesUnderConcurrentPortMmioAndInterruptTraffic) {
  testsupport::CaptureLogger::install(XLOG_INFO);
  testsupport::BridgeVm vm;
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, stressPortRead, stressPortWrite});
  void* shared = nullptr;
  pdmhost::PciSpec pci;
  pci.name = "pci0";
  pci.regions = {{0, true, 0x1000, nullptr}, {1, false, 0x1000, &shared}};
  pci.read = stressMmioRead;
  pci.write = stressMmioWrite;
  vm.table.addPci(pci);
  vm.start(XLOG_INFO);
  ASSERT_EQ(vm.host.placeAllRegions(0xE0000000), 0);
  portCalls = mmioCalls = 0;

  constexpr int workers = 4, rounds = 20000;
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w)
    pool.emplace_back([&, w] {
      for (int i = 0; i < rounds; ++i) {
        uint32_t value = 0;
        const uint16_t port = static_cast<uint16_t>(0x3F8 + (i + w) % 8);
        if (vm.host.portRead(port, 1, &value) != 0 || value != port)
          ++failures;
        if (vm.host.portWrite(port, static_cast<uint32_t>(i), 4) != 0)
          ++failures;
        uint8_t buffer[8];
        const uint64_t offset = static_cast<uint64_t>((i * 8) % 0x1000);
        if (vm.host.memRead(0xE0000000 + offset, buffer, 8) != 0 ||
            buffer[0] != static_cast<uint8_t>(offset))
          ++failures;
        const uint32_t word = static_cast<uint32_t>(i);
        if (vm.host.memWrite(0xE0000000 + offset, &word, 4) != 0)
          ++failures;
      }
    });
  std::thread interrupts([&] {
    for (int i = 0; i < rounds; ++i)
      vm.setIrq(vm.table.entry(1).devIns, i & 1);
  });
  for (auto& th : pool)
    th.join();
  interrupts.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(portCalls.load(), 2L * workers * rounds);
  EXPECT_EQ(mmioCalls.load(), 2L * workers * rounds);
  const auto events = vm.host.irqEvents();
  ASSERT_EQ(events.size(), static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i)
    ASSERT_EQ(events[i].level, i & 1) << i;
  EXPECT_TRUE(testsupport::CaptureLogger::lines().empty());
}
