// Start-up and device registration: the records the host receives, their order, the
// refusal path, and the layouts read and written byte for byte.
#include "tests/support/BridgeVm.h"

#include <gmock/gmock.h>

#include <cstring>

using pdmhost::HostOp;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using testsupport::BridgeVm;
using testsupport::CaptureLogger;

namespace {

int32_t noRead(uint16_t, uint32_t*, uint32_t) { return 0; }
int32_t noWrite(uint16_t, uint32_t, uint32_t) { return 0; }

pdmhost::SerialSpec serial(const std::string& name, uint16_t base) {
  return pdmhost::SerialSpec{name, name + " port", base, 8, noRead, noWrite};
}

template <typename T> T at(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

} // namespace

TEST(Init, StoresTableAndHandsOutInterruptFunctionEvenWithoutLogger) {
  BridgeVm vm;
  vm.table.addSerial(serial("COM1", 0x3F8));
  VmmgrSetIrqFn setIrq = nullptr;
  EXPECT_EQ(vmmgrVboxPdmInit(nullptr, vm.table.list(), &setIrq), 0);
  EXPECT_EQ(setIrq, &vmmgrVboxPdmSetIrq);
  // The table address was kept: registration reads the entry from it.
  CaptureLogger::install();
  EXPECT_EQ(vm.registerAll(), 0);
  ASSERT_EQ(vm.host.devices().size(), 1u);
  EXPECT_EQ(vm.device(0).name(), "COM1");
}

TEST(Registration, EmptyTableRegistersNothingAndSucceeds) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.init();
  EXPECT_EQ(vm.registerAll(), 0);
  EXPECT_TRUE(vm.host.devices().empty());
  const auto lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, XLOG_DEBUG);
  EXPECT_EQ(lines[0].text.rfind("VBoxDevicesRegister -> ", 0), 0u);
  EXPECT_NE(lines[0].text.find(" 65536"), std::string::npos) << lines[0].text;
  EXPECT_EQ(lines[1].level, XLOG_INFO);
  EXPECT_EQ(lines[1].text, "All devices registered successfully\n");
  EXPECT_EQ(lines[1].moduleId, XLOG_MODULE_VMMGR);
  EXPECT_EQ(lines[1].function, "VBoxDevicesRegister");
}

TEST(Registration, RecordsFollowTableOrderWithKindConstructorAndSize) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.table.addSerial(serial("COM1", 0x3F8));
  pdmhost::PciSpec pci;
  pci.name = "pci0";
  pci.description = "a PCI function";
  vm.table.addPci(pci);
  vm.table.addSerial(serial("COM2", 0x2F8));
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  ASSERT_EQ(vm.host.devices().size(), 3u);
  const char* names[] = {"COM1", "pci0", "COM2"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const VmmgrDeviceRegistration& reg = vm.device(i).copy;
    EXPECT_EQ(vm.device(i).name(), names[i]);
    // The description is the table's own characters, not a copy.
    EXPECT_EQ(reg.description, vmmgrStdStringData(vm.table.entry(i).description));
    EXPECT_EQ(reg.maxInstances, 1u);
  }
  EXPECT_EQ(vm.device(0).copy.construct, &VmmgrSerialConstruct);
  EXPECT_EQ(vm.device(0).copy.destruct, &VmmgrSerialDestruct);
  EXPECT_EQ(vm.device(0).copy.instanceSize, 8u);
  EXPECT_EQ(vm.device(1).copy.construct, &VmmgrPciConstruct);
  EXPECT_EQ(vm.device(1).copy.destruct, &VmmgrPciDestruct);
  EXPECT_EQ(vm.device(1).copy.instanceSize, 680u);
  EXPECT_EQ(VmmgrSerialDestruct(nullptr), 0);
  EXPECT_EQ(VmmgrPciDestruct(nullptr), 0);
}

TEST(Registration, RecordBytesAtTheirOffsets) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.table.addSerial(serial("COM1", 0x3F8));
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(vm.device(0).record);
  EXPECT_EQ(at<uint32_t>(raw, 0), 0xFFFF0021u);
  EXPECT_EQ(std::memcmp(raw + 4, "COM1\0\0\0\0", 8), 0);
  EXPECT_EQ(at<const char*>(raw, 104), vmmgrStdStringData(vm.table.entry(0).description));
  EXPECT_EQ(at<uint32_t>(raw, 112), 0x320u);
  EXPECT_EQ(at<uint32_t>(raw, 116), 0x80000000u);
  EXPECT_EQ(at<uint32_t>(raw, 120), 1u);
  EXPECT_EQ(at<uint32_t>(raw, 124), 8u);
  EXPECT_EQ(at<void*>(raw, 128), reinterpret_cast<void*>(&VmmgrSerialConstruct));
  EXPECT_EQ(at<void*>(raw, 136), reinterpret_cast<void*>(&VmmgrSerialDestruct));
  EXPECT_EQ(at<uint32_t>(raw, 240), 0xFFFF0021u);
  // Every byte the module does not set stays zero.
  for (size_t i = 8; i < 248; ++i) {
    const bool set = i < 36 || (i >= 104 && i < 144) || (i >= 240 && i < 244);
    if (!set) {
      EXPECT_EQ(raw[i], 0) << "offset " << i;
    }
  }
}

TEST(Registration, NamesAreCopiedWithinThirtyTwoBytes) {
  CaptureLogger::install();
  BridgeVm vm;
  const std::string name31(31, 'n');
  const std::string name40 = std::string(32, 'x') + "overflow";
  vm.table.addSerial(serial(name31, 0x100));
  vm.table.addSerial(serial("ab", 0x200));
  vm.table.addSerial(serial(name40, 0x300));
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  const char* n31 = vm.device(0).record->name;
  EXPECT_EQ(std::string(n31, 31), name31);
  EXPECT_EQ(n31[31], '\0');
  const char* n2 = vm.device(1).record->name;
  EXPECT_EQ(std::string(n2, 2), "ab");
  for (int i = 2; i < 32; ++i)
    EXPECT_EQ(n2[i], '\0') << i;
  // 32 bytes or more fill the field without a terminator.
  EXPECT_EQ(std::memcmp(vm.device(2).record->name, name40.data(), 32), 0);
}

TEST(Registration, HostRefusingSecondOfThreeStopsThereAndPassesItsStatusOn) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.table.addSerial(serial("first", 0x100));
  vm.table.addSerial(serial("second", 0x200));
  vm.table.addSerial(serial("third", 0x300));
  vm.init();
  vm.host.injectStatus(HostOp::Register, -77, 1);
  EXPECT_EQ(vm.registerAll(), -77);
  ASSERT_EQ(vm.host.devices().size(), 1u);
  EXPECT_EQ(vm.device(0).name(), "first");
  // Offered twice: the first and the refused second, never the third.
  EXPECT_EQ(vm.host.calls().size(), 2u);
  EXPECT_EQ(CaptureLogger::count("Device registration failed for second"), 1u);
  EXPECT_EQ(CaptureLogger::count("All devices registered successfully"), 0u);
  EXPECT_EQ(CaptureLogger::lines().back().level, XLOG_ERROR);
}

TEST(Registration, PositiveHostStatusIsNoFailure) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.table.addSerial(serial("a", 0x100));
  vm.table.addSerial(serial("b", 0x200));
  vm.init();
  vm.host.injectStatus(HostOp::Register, 3);
  EXPECT_EQ(vm.registerAll(), 0);
  EXPECT_EQ(vm.host.devices().size(), 2u);
}

TEST(Registration, EveryLogCallIsPrecededByItsEnablementQuery) {
  CaptureLogger::install();
  BridgeVm vm;
  vm.table.addSerial(serial("a", 0x100));
  vm.table.addSerial(serial("b", 0x200));
  vm.init();
  vm.host.injectStatus(HostOp::Register, -1, 1);
  vm.registerAll();
  const auto queries = CaptureLogger::queries();
  const auto lines = CaptureLogger::lines();
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) {
    ASSERT_GE(line.queriesBefore, 1u);
    const auto& q = queries[line.queriesBefore - 1];
    EXPECT_EQ(q.moduleId, line.moduleId);
    EXPECT_EQ(q.level, line.level);
  }
}

TEST(Registration, DisabledLevelsAreAskedButNeverFormatted) {
  CaptureLogger::install(XLOG_WARNING);
  BridgeVm vm;
  vm.table.addSerial(serial("a", 0x100));
  vm.init(XLOG_WARNING);
  EXPECT_EQ(vm.registerAll(), 0);
  EXPECT_TRUE(CaptureLogger::lines().empty());
  EXPECT_EQ(CaptureLogger::queries().size(), 2u); // the debug line and the info line
}

// A table written byte by byte at the documented offsets, the way another compiler lays
// it out, rather than through the module's own structs.
TEST(DescriptorLayout, RawTableIsReadAtTheDocumentedOffsets) {
  CaptureLogger::install();
  static uint32_t lastPort;
  struct Callbacks {
    static int32_t read(uint16_t port, uint32_t* value, uint32_t) {
      lastPort = port;
      *value = 0x1234;
      return 0;
    }
    static int32_t write(uint16_t port, uint32_t, uint32_t) {
      lastPort = port;
      return 0;
    }
    static int32_t mmioRead(uint64_t, void*, uint32_t) { return 0; }
    static int32_t mmioWrite(uint64_t, const void*, uint32_t) { return 0; }
  };
  alignas(8) uint8_t entries[2 * 400] = {};
  alignas(8) char longDescription[] = "a description longer than fifteen bytes";
  auto putString = [](uint8_t* s, const char* text, const char* heap) {
    const uint64_t size = std::strlen(text);
    if (heap) {
      std::memcpy(s, &heap, 8);
      const uint64_t capacity = size;
      std::memcpy(s + 24, &capacity, 8);
    } else {
      std::memcpy(s, text, size + 1);
      const uint64_t capacity = 15;
      std::memcpy(s + 24, &capacity, 8);
    }
    std::memcpy(s + 16, &size, 8);
  };
  // Entry 0: a serial port.
  uint8_t* e0 = entries;
  const int32_t serialType = 1;
  std::memcpy(e0 + 0, &serialType, 4);
  putString(e0 + 8, "rawcom", nullptr);
  putString(e0 + 40, longDescription, longDescription);
  const uint16_t base = 0x500, count = 4;
  std::memcpy(e0 + 72, &base, 2);
  std::memcpy(e0 + 76, &count, 2);
  const void* fns[2] = {reinterpret_cast<void*>(&Callbacks::read),
                        reinterpret_cast<void*>(&Callbacks::write)};
  std::memcpy(e0 + 80, fns, 16);
  // Entry 1: a PCI function with one MMIO region.
  uint8_t* e1 = entries + 400;
  const int32_t pciType = 0;
  std::memcpy(e1 + 0, &pciType, 4);
  putString(e1 + 8, "rawpci", nullptr);
  putString(e1 + 40, "pci", nullptr);
  const uint32_t ids = 0xBEEF1234, junk = 0xFFFFFFFF;
  std::memcpy(e1 + 96 + 0x00, &ids, 4);
  std::memcpy(e1 + 96 + 0x04, &junk, 4);
  alignas(8) uint8_t region[24] = {};
  region[4] = 1; // MMIO
  const uint64_t regionSize = 0x1000;
  std::memcpy(region + 8, &regionSize, 8);
  const void* regions[3] = {region, region + 24, region + 24};
  std::memcpy(e1 + 352, regions, 24);
  const void* mmioFns[2] = {reinterpret_cast<void*>(&Callbacks::mmioRead),
                            reinterpret_cast<void*>(&Callbacks::mmioWrite)};
  std::memcpy(e1 + 376, mmioFns, 16);
  const void* list[3] = {entries, entries + 800, entries + 800};

  pdmhost::Host host;
  VmmgrSetIrqFn setIrq = nullptr;
  vmmgrVboxPdmInit(&CaptureLogger::table, reinterpret_cast<VmmgrDeviceList*>(list), &setIrq);
  ASSERT_EQ(VBoxDevicesRegister(host.callbacks(), 1), 0);
  ASSERT_EQ(host.devices().size(), 2u);
  EXPECT_EQ(host.devices()[0].name(), "rawcom");
  EXPECT_EQ(host.devices()[0].copy.description, static_cast<const char*>(longDescription));
  EXPECT_EQ(host.devices()[1].copy.instanceSize, 680u);
  ASSERT_EQ(host.constructAll(), 0);

  ASSERT_EQ(host.portRanges().size(), 1u);
  EXPECT_EQ(host.portRanges()[0].first, 0x500);
  EXPECT_EQ(host.portRanges()[0].count, 4);
  EXPECT_EQ(host.portRanges()[0].description, "rawcom");
  uint32_t value = 0;
  EXPECT_EQ(host.portRead(0x503, 4, &value), 0);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(lastPort, 0x503u);

  // The module wrote exactly its two places: command/status and the device instance.
  EXPECT_EQ(at<uint32_t>(e1, 96 + 0x04), 0x00800006u);
  EXPECT_EQ(at<void*>(e1, 392), static_cast<void*>(host.devices()[1].devIns));
  ASSERT_EQ(host.devices()[1].regions.size(), 1u);
  EXPECT_EQ(host.devices()[1].regions[0].size, 0x1000u);
}

TEST(RegistrationDeathTest, UnknownDeviceTypeIsFatal) {
  CaptureLogger::install();
  CaptureLogger::echoToStderr(true);
  BridgeVm vm;
  vm.table.addSerial(serial("fine", 0x100));
  vm.table.addRaw(7, "weird");
  vm.init();
  EXPECT_DEATH(vm.registerAll(),
               AllOf(HasSubstr("Unknown device type: 7 weird"),
                     ContainsRegex("FATAL: DEBUG BREAK: .*VmmgrVboxPdm.cpp:.* VBoxDevicesRegister")));
  CaptureLogger::echoToStderr(false);
}
