// PCI functions: the configuration space the constructor leaves, the host calls per
// region, the refusal paths, region placement, MMIO forwarding and the interrupt line.
#include "tests/support/BridgeVm.h"

#include <gmock/gmock.h>

#include <cstring>
#include <vector>

using pdmhost::configRead16;
using pdmhost::configRead32;
using pdmhost::configWrite16;
using pdmhost::configWrite32;
using pdmhost::HostOp;
using testsupport::BridgeVm;
using testsupport::CaptureLogger;

namespace {

struct MmioCall {
  uint64_t offset;
  uint32_t size;
  uint32_t value;
};
std::vector<MmioCall> reads, writes;
int32_t mmioResult = 0;

int32_t mmioRead(uint64_t offset, void* buffer, uint32_t size) {
  reads.push_back(MmioCall{offset, size, 0});
  std::memset(buffer, 0x5A, size);
  return mmioResult;
}
int32_t mmioWrite(uint64_t offset, const void* buffer, uint32_t size) {
  uint32_t value = 0;
  std::memcpy(&value, buffer, 4);
  writes.push_back(MmioCall{offset, size, value});
  return mmioResult;
}

constexpr uint8_t FILL = 0xA5; // what the host leaves in the PCI device before construction

class PciTest : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureLogger::install();
    reads.clear();
    writes.clear();
    mmioResult = 0;
    vm.host.setInstanceFill(FILL);
  }

  // A function with an MMIO region 0 and a shared-memory region 1.
  pdmhost::PciSpec pciFunction() {
    pdmhost::PciSpec s;
    s.name = "pci0";
    s.description = "test function";
    // The image carries values the module must not copy, too.
    std::memset(s.config, 0xEE, sizeof s.config);
    configWrite16(s.config, 0x00, 0x1DE5);
    configWrite16(s.config, 0x02, 0x0042);
    configWrite32(s.config, 0x04, 0x12345678);
    s.config[0x08] = 0x07;
    s.config[0x09] = 0x01;
    s.config[0x0A] = 0x80;
    s.config[0x0B] = 0x05;
    configWrite16(s.config, 0x2C, 0xAAAA);
    configWrite16(s.config, 0x2E, 0xBBBB);
    s.regions = {{0, true, 0x1000, nullptr}, {1, false, 0x4000, &shared}};
    s.read = mmioRead;
    s.write = mmioWrite;
    return s;
  }

  BridgeVm vm;
  void* shared = nullptr;
};

} // namespace

TEST_F(PciTest, ConfigurationSpaceAsTheConstructorLeavesIt) {
  vm.table.addPci(pciFunction());
  vm.start();
  const uint8_t* cfg = vm.pci(0)->pciDev;
  EXPECT_EQ(vm.device(0).pciDev, static_cast<void*>(vm.pci(0)));
  EXPECT_EQ(configRead16(cfg, 0x00), 0x1DE5);
  EXPECT_EQ(configRead16(cfg, 0x02), 0x0042);
  EXPECT_EQ(configRead16(cfg, 0x04), 0x0006);
  EXPECT_EQ(configRead16(cfg, 0x06), 0x0080);
  EXPECT_EQ(cfg[0x08], 0x07);
  EXPECT_EQ(cfg[0x09], 0x01);
  EXPECT_EQ(cfg[0x0A], 0x80);
  EXPECT_EQ(cfg[0x0B], 0x05);
  EXPECT_EQ(configRead16(cfg, 0x2C), 0xAAAA);
  EXPECT_EQ(configRead16(cfg, 0x2E), 0xBBBB);
  EXPECT_EQ(cfg[0x3C], 0xFF);
  EXPECT_EQ(cfg[0x3D], 0x01);
  // BARs of listed regions cleared, the others left as the host had them.
  EXPECT_EQ(configRead32(cfg, 0x10), 0u);
  EXPECT_EQ(configRead32(cfg, 0x14), 0u);
  for (unsigned bar = 0x18; bar <= 0x24; bar += 4)
    EXPECT_EQ(configRead32(cfg, bar), 0xA5A5A5A5u) << bar;
  // Header type, cache line, BIST, capabilities and the rest: untouched.
  const unsigned untouched[] = {0x0C, 0x0D, 0x0E, 0x0F, 0x28, 0x30, 0x34, 0x3E, 0x3F, 0x40, 0xFF};
  for (unsigned offset : untouched)
    EXPECT_EQ(cfg[offset], FILL) << offset;
  // Beyond the configuration space the host's PCI device is the host's own.
  for (size_t i = 256; i < 664; ++i)
    ASSERT_EQ(vm.pci(0)->pciDev[i], FILL) << i;
}

TEST_F(PciTest, VmManagersImageReadsBackCommandAndStatusAndGetsDevIns) {
  vm.table.addPci(pciFunction());
  vm.start();
  const VmmgrDeviceDesc& entry = vm.table.entry(0);
  EXPECT_EQ(configRead16(entry.pciConfig, 0x04), 0x0006);
  EXPECT_EQ(configRead16(entry.pciConfig, 0x06), 0x0080);
  EXPECT_EQ(entry.devIns, static_cast<void*>(vm.device(0).devIns));
  EXPECT_EQ(vm.pci(0)->desc, &entry);
  // Nothing else of the image changed.
  EXPECT_EQ(entry.pciConfig[0x3C], 0xEE);
  EXPECT_EQ(configRead32(entry.pciConfig, 0x10), 0xEEEEEEEEu);
}

TEST_F(PciTest, PciRegistrationArguments) {
  vm.table.addPci(pciFunction());
  vm.start();
  const pdmhost::Device& d = vm.device(0);
  EXPECT_EQ(d.pciConfigIndex, 0xFFFFFFFFu);
  EXPECT_EQ(d.pciFlags, 0u);
  EXPECT_EQ(d.pciDevNo, 254);
  EXPECT_EQ(d.pciFnNo, 255);
}

TEST_F(PciTest, HostCallsPerRegionKind) {
  pdmhost::PciSpec none = pciFunction();
  none.name = "none";
  none.regions.clear();
  pdmhost::PciSpec both = pciFunction();
  vm.table.addPci(none);
  vm.table.addPci(both);
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  vm.host.clearCalls();
  ASSERT_EQ(vm.host.construct(0), 0);
  EXPECT_EQ(vm.host.calls(), (std::vector<int>{45}));
  vm.host.clearCalls();
  ASSERT_EQ(vm.host.construct(1), 0);
  // MMIO region: the region call alone; shared memory: memory first, then the region.
  EXPECT_EQ(vm.host.calls(), (std::vector<int>{45, 47, 9, 47}));
  ASSERT_EQ(vm.host.sharedMemory().size(), 1u);
  const pdmhost::SharedMemory& shm = *vm.host.sharedMemory()[0];
  EXPECT_EQ(shm.region, 1u);
  EXPECT_EQ(shm.size, 0x4000u);
  EXPECT_EQ(shm.flags, 0u);
  EXPECT_EQ(shm.pciDev, static_cast<void*>(vm.pci(1)));
  EXPECT_EQ(shm.description, "pci0");
  // The VM manager's variable holds the host's memory.
  EXPECT_EQ(shared, static_cast<void*>(shm.memory.get()));
  ASSERT_EQ(vm.device(1).regions.size(), 2u);
  EXPECT_EQ(vm.device(1).regions[0].map, &VmmgrMmioMap);
  EXPECT_EQ(vm.device(1).regions[1].size, 0x4000u);
  EXPECT_EQ(vm.device(1).regions[1].type, 0);
}

TEST_F(PciTest, EachRegionNumberClearsItsOwnBar) {
  pdmhost::PciSpec s = pciFunction();
  std::vector<void*> memory(6);
  s.regions.clear();
  for (uint32_t r = 0; r < 6; ++r)
    s.regions.push_back({r, r == 2, 0x1000, &memory[r]});
  vm.table.addPci(s);
  vm.start();
  for (unsigned bar = 0x10; bar <= 0x24; bar += 4)
    EXPECT_EQ(configRead32(vm.pci(0)->pciDev, bar), 0u) << bar;
}

TEST_F(PciTest, RefusedPciRegistrationRegistersNoRegion) {
  vm.table.addPci(pciFunction());
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  vm.host.injectStatus(HostOp::PciRegister, -42);
  vm.host.clearCalls();
  EXPECT_EQ(vm.host.construct(0), -42);
  EXPECT_EQ(vm.host.calls(), (std::vector<int>{45}));
  EXPECT_EQ(CaptureLogger::count("VmmgrPciConstruct: Cannot register PCI device: -42"), 1u);
}

TEST_F(PciTest, TwoRegionRefusalsShareTheirTextButNotTheirLine) {
  int lines[2];
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which);
    BridgeVm local;
    void* mem = nullptr;
    pdmhost::PciSpec s = pciFunction();
    s.regions = {{0, false, 0x1000, &mem}, {1, true, 0x1000, nullptr}};
    local.table.addPci(s);
    local.init();
    ASSERT_EQ(local.registerAll(), 0);
    local.host.injectStatus(which == 0 ? HostOp::Mmio2Register : HostOp::PciIoRegionRegister, -9);
    local.host.clearCalls();
    CaptureLogger::clear();
    EXPECT_EQ(local.host.construct(0), -9);
    // Nothing after the refused call.
    EXPECT_EQ(local.host.calls(), which == 0 ? (std::vector<int>{45, 9})
                                             : (std::vector<int>{45, 9, 47}));
    const auto logged = CaptureLogger::lines();
    ASSERT_FALSE(logged.empty());
    const auto& line = logged.back();
    EXPECT_EQ(line.level, XLOG_ERROR);
    const std::string expected = "VmmgrPciConstruct: " + std::to_string(line.line) +
                                 ": Cannot register PCI shared memory: -9, region: 0";
    EXPECT_EQ(line.text, expected);
    lines[which] = line.line;
  }
  EXPECT_NE(lines[0], lines[1]);
}

TEST_F(PciTest, PositiveHostStatusesAreNotPassedOnByTheConstructor) {
  vm.table.addPci(pciFunction());
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  vm.host.injectStatus(HostOp::PciRegister, 1);
  vm.host.injectStatus(HostOp::PciIoRegionRegister, 2);
  vm.host.injectStatus(HostOp::Mmio2Register, 3);
  EXPECT_EQ(vm.host.construct(0), 0);
}

TEST_F(PciTest, MmioOffsetsAreMeasuredFromTheMostRecentBase) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xE0000000), 0);
  EXPECT_EQ(vm.pci(0)->mmioBase, 0xE0000000u);
  ASSERT_EQ(vm.host.mmioRanges().size(), 1u);
  const pdmhost::MmioRange& range = vm.host.mmioRanges()[0];
  EXPECT_EQ(range.size, 0x1000u);
  EXPECT_EQ(range.user, static_cast<void*>(vm.pci(0)));
  EXPECT_EQ(range.flags, 0x51u);
  EXPECT_EQ(range.description, "pci0");
  EXPECT_EQ(range.read, &VmmgrPciMmioRead);
  EXPECT_EQ(range.write, &VmmgrPciMmioWrite);

  uint8_t buffer[8] = {};
  for (uint32_t size : {1u, 2u, 4u, 8u}) {
    EXPECT_EQ(vm.host.memRead(0xE0000010, buffer, size), 0);
    EXPECT_EQ(reads.back().offset, 0x10u);
    EXPECT_EQ(reads.back().size, size);
  }
  // Moving the region moves the base.
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xF0000000), 0);
  EXPECT_EQ(vm.host.memRead(0xF0000020, buffer, 4), 0);
  EXPECT_EQ(reads.back().offset, 0x20u);
  // A refused registration leaves the previous base in force and logs nothing.
  CaptureLogger::setMaxLevel(XLOG_INFO);
  CaptureLogger::clear();
  vm.host.injectStatus(HostOp::MmioRegister, -1002);
  EXPECT_EQ(vm.host.placeRegion(0, 0, 0xD0000000), -1002);
  EXPECT_EQ(vm.pci(0)->mmioBase, 0xF0000000u);
  EXPECT_TRUE(CaptureLogger::lines().empty());
  // The map callback passes the host's positive status on.
  vm.host.injectStatus(HostOp::MmioRegister, 6);
  EXPECT_EQ(vm.host.placeRegion(0, 0, 0xC0000000), 6);
  EXPECT_EQ(vm.pci(0)->mmioBase, 0xC0000000u);
}

TEST_F(PciTest, MapCallbackLogsItsArguments) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xE0000000), 0);
  ASSERT_EQ(CaptureLogger::lines().size(), 1u);
  const auto line = CaptureLogger::lines()[0];
  EXPECT_EQ(line.function, "VmmgrMmioMap");
  EXPECT_THAT(line.text, ::testing::EndsWith(
                             "iRegion: 0 GCPhysAddress: e0000000 cb: 4096 enmType: 0"));
}

TEST_F(PciTest, SharedMemoryMapShowsTheMemoryToTheGuest) {
  vm.table.addPci(pciFunction());
  vm.start();
  const uint64_t baseBefore = vm.pci(0)->mmioBase;
  ASSERT_EQ(vm.host.placeRegion(0, 1, 0xE0100000), 0);
  ASSERT_NE(shared, nullptr);
  std::memcpy(static_cast<uint8_t*>(shared) + 8, "guestmem", 8);
  char seen[8];
  EXPECT_EQ(vm.host.memRead(0xE0100008, seen, 8), 0);
  EXPECT_EQ(std::memcmp(seen, "guestmem", 8), 0);
  // The MMIO base belongs to the MMIO region alone.
  EXPECT_EQ(vm.pci(0)->mmioBase, baseBefore);

  CaptureLogger::clear();
  vm.host.injectStatus(HostOp::Mmio2Map, -3);
  EXPECT_EQ(vm.host.placeRegion(0, 1, 0xE0200000), -3);
  auto lines = CaptureLogger::lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().level, XLOG_ERROR);
  EXPECT_EQ(lines.back().format, "");
  EXPECT_EQ(lines.back().text, "");
  vm.host.injectStatus(HostOp::Mmio2Map, 4);
  EXPECT_EQ(vm.host.placeRegion(0, 1, 0xE0200000), 4);
}

TEST_F(PciTest, WritesOfFourBytesAloneReachTheVmManager) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xE0000000), 0);
  const uint32_t value = 0xFEEDF00D;
  EXPECT_EQ(vm.host.memWrite(0xE0000040, &value, 4), 0);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 0x40u);
  EXPECT_EQ(writes[0].size, 4u);
  EXPECT_EQ(writes[0].value, value);

  CaptureLogger::clear();
  for (uint32_t size : {1u, 2u, 8u}) {
    EXPECT_EQ(vm.host.memWrite(0xE0000010, &value, size), -2);
  }
  EXPECT_EQ(writes.size(), 1u);
  EXPECT_EQ(CaptureLogger::count("Cannot write 2 bytes at iomem offset 16"), 1u);
  EXPECT_EQ(CaptureLogger::lines()[0].level, XLOG_WARNING);
  EXPECT_EQ(CaptureLogger::lines()[0].function, "VmmgrPciMmioWrite");
}

TEST_F(PciTest, FailedCallbacksAnswerMinusTwoAndLog) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xE0000000), 0);
  CaptureLogger::clear();
  mmioResult = 1;
  uint32_t buffer = 0;
  EXPECT_EQ(vm.host.memRead(0xE0000000, &buffer, 4), -2);
  // The buffer keeps what the callback wrote.
  EXPECT_EQ(buffer, 0x5A5A5A5Au);
  EXPECT_EQ(vm.host.memWrite(0xE0000000, &buffer, 4), -2);
  const auto lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "pciReadFn failed");
  EXPECT_EQ(lines[0].level, XLOG_ERROR);
  EXPECT_EQ(lines[1].text, "pciWriteFn failed");
  EXPECT_EQ(lines[1].level, XLOG_ERROR);
}

TEST_F(PciTest, SuccessfulMmioAsksTheLoggerNothing) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_EQ(vm.host.placeRegion(0, 0, 0xE0000000), 0);
  CaptureLogger::clear();
  uint32_t buffer = 7;
  EXPECT_EQ(vm.host.memRead(0xE0000000, &buffer, 4), 0);
  EXPECT_EQ(vm.host.memWrite(0xE0000000, &buffer, 4), 0);
  EXPECT_TRUE(CaptureLogger::queries().empty());
}

TEST_F(PciTest, InterruptLevelsReachTheHostInOrder) {
  vm.table.addPci(pciFunction());
  vm.start();
  ASSERT_NE(vm.setIrq, nullptr);
  CaptureLogger::clear();
  vm.setIrq(vm.table.entry(0).devIns, 1);
  vm.setIrq(vm.table.entry(0).devIns, 0);
  const auto events = vm.host.irqEvents();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.devIns, vm.device(0).devIns);
    EXPECT_EQ(e.pciDev, nullptr);
    EXPECT_EQ(e.irq, 0);
  }
  EXPECT_EQ(events[0].level, 1);
  EXPECT_EQ(events[1].level, 0);
  EXPECT_TRUE(CaptureLogger::queries().empty());
}

TEST_F(PciTest, ThirtyOneByteNameIsFoundByTheConstructor) {
  pdmhost::PciSpec s = pciFunction();
  s.name = std::string(31, 'p');
  vm.table.addPci(s);
  vm.start();
  EXPECT_EQ(vm.pci(0)->desc, &vm.table.entry(0));
}
