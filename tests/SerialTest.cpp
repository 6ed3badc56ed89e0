// Serial ports: construction registers the port range, and every guest access reaches the
// entry's callback unchanged, with the result mapped to 0 or -1.
#include "tests/support/BridgeVm.h"

#include <vector>

using pdmhost::HostOp;
using testsupport::BridgeVm;
using testsupport::CaptureLogger;

namespace {

struct Access {
  int device;
  uint32_t port;
  uint32_t value;
  uint32_t size;
};
std::vector<Access> accesses;
int32_t readResult = 0;
int32_t writeResult = 0;

template <int D> int32_t readFn(uint16_t port, uint32_t* value, uint32_t size) {
  accesses.push_back(Access{D, port, 0, size});
  *value = 0xC0DE0000u + D;
  return readResult;
}
template <int D> int32_t writeFn(uint16_t port, uint32_t value, uint32_t size) {
  accesses.push_back(Access{D, port, value, size});
  return writeResult;
}

class SerialTest : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureLogger::install();
    accesses.clear();
    readResult = writeResult = 0;
  }
  BridgeVm vm;
};

} // namespace

TEST_F(SerialTest, ConstructionRegistersTheEntrysPortRange) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  CaptureLogger::clear();
  ASSERT_EQ(vm.host.construct(0), 0);
  ASSERT_EQ(vm.host.portRanges().size(), 1u);
  const pdmhost::PortRange& r = vm.host.portRanges()[0];
  EXPECT_EQ(r.first, 0x3F8);
  EXPECT_EQ(r.count, 8);
  EXPECT_EQ(r.user, &vm.table.entry(0));
  EXPECT_EQ(r.out, &VmmgrSerialWrite);
  EXPECT_EQ(r.in, &VmmgrSerialRead);
  EXPECT_EQ(r.description, "COM1");
  // The instance data holds the entry.
  EXPECT_EQ(static_cast<VmmgrSerialInstance*>(vm.device(0).instanceData())->desc,
            &vm.table.entry(0));
  ASSERT_GE(CaptureLogger::lines().size(), 1u);
  EXPECT_EQ(CaptureLogger::lines()[0].function, "VmmgrSerialConstruct");
  EXPECT_EQ(CaptureLogger::lines()[0].level, XLOG_DEBUG);
}

TEST_F(SerialTest, RefusedPortRangeIsLoggedAndItsStatusReturned) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  vm.host.injectStatus(HostOp::IoPortRegister, -1002);
  EXPECT_EQ(vm.host.construct(0), -1002);
  EXPECT_EQ(CaptureLogger::count("VmmgrSerialConstruct: Cannot register serial I/O port: -1002"),
            1u);
  EXPECT_EQ(CaptureLogger::lines().back().level, XLOG_ERROR);
}

TEST_F(SerialTest, PositiveHostStatusIsNotPassedOn) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  vm.host.injectStatus(HostOp::IoPortRegister, 5);
  EXPECT_EQ(vm.host.construct(0), 0);
}

TEST_F(SerialTest, AccessesReachTheCallbackUnchanged) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.start();
  for (uint32_t size : {1u, 2u, 4u}) {
    SCOPED_TRACE(size);
    accesses.clear();
    uint32_t value = 0;
    EXPECT_EQ(vm.host.portRead(0x3FB, size, &value), 0);
    EXPECT_EQ(value, 0xC0DE0000u);
    EXPECT_EQ(vm.host.portWrite(0x3F9, 0xAABBCCDDu, size), 0);
    ASSERT_EQ(accesses.size(), 2u);
    // The port is the one of the access: the base is not subtracted.
    EXPECT_EQ(accesses[0].port, 0x3FBu);
    EXPECT_EQ(accesses[0].size, size);
    EXPECT_EQ(accesses[1].port, 0x3F9u);
    EXPECT_EQ(accesses[1].value, 0xAABBCCDDu);
    EXPECT_EQ(accesses[1].size, size);
  }
}

TEST_F(SerialTest, AnyNonzeroCallbackResultFailsTheAccessWithMinusOne) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.start();
  for (int32_t result : {1, -5, 0x7FFFFFFF}) {
    SCOPED_TRACE(result);
    readResult = writeResult = result;
    uint32_t value = 0;
    EXPECT_EQ(vm.host.portRead(0x3F8, 1, &value), -1);
    // What the callback left at the value address stays there.
    EXPECT_EQ(value, 0xC0DE0000u);
    EXPECT_EQ(vm.host.portWrite(0x3F8, 1, 1), -1);
  }
  // A failed access logs nothing beyond its debug trace line.
  for (const auto& line : CaptureLogger::lines())
    EXPECT_EQ(line.level, XLOG_DEBUG) << line.text;
}

TEST_F(SerialTest, HighestPortIsNotSignExtended) {
  vm.table.addSerial({"top", "top ports", 0xFFF8, 8, readFn<0>, writeFn<0>});
  vm.start();
  uint32_t value = 0;
  EXPECT_EQ(vm.host.portRead(0xFFFF, 2, &value), 0);
  EXPECT_EQ(vm.host.portWrite(0xFFFF, 7, 1), 0);
  ASSERT_EQ(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].port, 0xFFFFu);
  EXPECT_EQ(accesses[1].port, 0xFFFFu);
  // The trace line prints the port as four hex digits.
  EXPECT_EQ(CaptureLogger::count(" ffff "), 2u);
}

TEST_F(SerialTest, TwoDevicesEachReachTheirOwnCallbacks) {
  vm.table.addSerial({"COM1", "uart 1", 0x3F8, 8, readFn<1>, writeFn<1>});
  vm.table.addSerial({"COM2", "uart 2", 0x2F8, 8, readFn<2>, writeFn<2>});
  vm.start();
  uint32_t value = 0;
  EXPECT_EQ(vm.host.portRead(0x2F8, 1, &value), 0);
  EXPECT_EQ(value, 0xC0DE0002u);
  EXPECT_EQ(vm.host.portWrite(0x3F8, 0x41, 1), 0);
  EXPECT_EQ(vm.host.portRead(0x3FF, 1, &value), 0);
  EXPECT_EQ(value, 0xC0DE0001u);
  ASSERT_EQ(accesses.size(), 3u);
  EXPECT_EQ(accesses[0].device, 2);
  EXPECT_EQ(accesses[1].device, 1);
  EXPECT_EQ(accesses[2].device, 1);
}

TEST_F(SerialTest, EachAccessAsksOnceForTheDebugLevel) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.start(XLOG_INFO);
  uint32_t value = 0;
  vm.host.portRead(0x3F8, 1, &value);
  vm.host.portWrite(0x3F8, 0x42, 1);
  const auto queries = CaptureLogger::queries();
  ASSERT_EQ(queries.size(), 2u);
  for (const auto& q : queries) {
    EXPECT_EQ(q.moduleId, XLOG_MODULE_VMMGR);
    EXPECT_EQ(q.level, XLOG_DEBUG);
  }
  EXPECT_TRUE(CaptureLogger::lines().empty());

  CaptureLogger::setMaxLevel(XLOG_DEBUG);
  vm.host.portWrite(0x3FA, 0x1234, 2);
  ASSERT_EQ(CaptureLogger::lines().size(), 1u);
  const auto line = CaptureLogger::lines()[0];
  EXPECT_EQ(line.function, "VmmgrSerialWrite");
  EXPECT_NE(line.text.find(" 03fa 00001234 2"), std::string::npos) << line.text;
}

TEST_F(SerialTest, UnknownDeviceNameIsFatal) {
  vm.table.addSerial({"COM1", "uart", 0x3F8, 8, readFn<0>, writeFn<0>});
  vm.init();
  ASSERT_EQ(vm.registerAll(), 0);
  // The host constructs a device the table no longer names: a broken contract.
  vm.table.setString(vm.table.entry(0).name, "COM9");
  CaptureLogger::echoToStderr(true);
  EXPECT_DEATH(vm.host.construct(0), "FATAL: DEBUG BREAK: .*VmmgrSerialConstruct");
  CaptureLogger::echoToStderr(false);
}
