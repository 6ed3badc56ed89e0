// Bounded stress: many threads logging into one log file that has just been rotated, and a
// device set under concurrent port and MMIO traffic with interrupt changes. Each runs a fixed
// amount of work and checks that nothing was lost, duplicated or reordered.
#include "tests/support/BridgeVm.h"
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
