// A VM manager's table, the stand-in host and the module linked in, wired together the
// way a VM starts: init with the capture logger, registration, construction.
#pragma once

#include "tests/support/CaptureLogger.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/VmTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include <gtest/gtest.h>

namespace testsupport {

struct BridgeVm {
  pdmhost::VmTable table;
  pdmhost::Host host;
  VmmgrSetIrqFn setIrq = nullptr;

  /// vmmgrVboxPdmInit with the capture logger (every level enabled up to maxLevel).
  void init(int maxLevel = XLOG_VERBOSE) {
    CaptureLogger::setMaxLevel(maxLevel);
    ASSERT_EQ(vmmgrVboxPdmInit(&CaptureLogger::table, table.list(), &setIrq), 0);
    CaptureLogger::clear();
  }
  int32_t registerAll() { return VBoxDevicesRegister(host.callbacks(), 0x00010000u); }
  /// init, registration and construction of every device, each expected to succeed.
  void start(int maxLevel = XLOG_VERBOSE) {
    init(maxLevel);
    ASSERT_EQ(registerAll(), 0);
    ASSERT_EQ(host.constructAll(), 0);
    CaptureLogger::clear();
    host.clearCalls();
  }
  pdmhost::Device& device(size_t i) { return host.devices()[i]; }
  VmmgrPciInstance* pci(size_t i) {
    return static_cast<VmmgrPciInstance*>(device(i).instanceData());
  }
};

} // namespace testsupport
