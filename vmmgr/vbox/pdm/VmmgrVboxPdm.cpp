// The device bridge: registers one host device per entry of the VM manager's device table,
// constructs serial ports and PCI functions, and forwards guest accesses and interrupts.
#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include "xpl/Xlog.h"
#include "xpl/Xpl.h"

#include <cstring>
#include <vector>

static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_VMMGR;

// Written by vmmgrVboxPdmInit and VBoxDevicesRegister before the host's threads call in,
// only read afterwards.
static VmmgrDeviceList* vmmgrDevices = nullptr;
static std::vector<VmmgrDeviceRegistration> vmmgrRegistrationTable;

namespace {

VmmgrDeviceDesc* firstDevice() { return static_cast<VmmgrDeviceDesc*>(vmmgrDevices->begin); }

size_t deviceCount() {
  return static_cast<size_t>(static_cast<VmmgrDeviceDesc*>(vmmgrDevices->end) - firstDevice());
}

const char* deviceName(const VmmgrDeviceDesc* desc) { return vmmgrStdStringData(desc->name); }

// The entry whose name has the registered name's length and bytes; null when there is none.
VmmgrDeviceDesc* findDevice(const VmmgrPdmDevIns* devIns) {
  const char* name = devIns->reg->name;
  const size_t length = strnlen(name, sizeof devIns->reg->name);
  VmmgrDeviceDesc* desc = firstDevice();
  for (size_t i = 0, n = deviceCount(); i < n; ++i, ++desc) {
    if (desc->name.size == length && std::memcmp(deviceName(desc), name, length) == 0)
      return desc;
  }
  return nullptr;
}

void put16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, sizeof value); }
void put32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

int32_t serialRead(void* user, uint16_t port, uint32_t* value, uint32_t size) {
  const VmmgrDeviceDesc* desc = static_cast<const VmmgrDeviceDesc*>(user);
  return desc->serialReadFn(port, value, size) == 0 ? 0 : -1;
}

int32_t serialWrite(void* user, uint16_t port, uint32_t value, uint32_t size) {
  const VmmgrDeviceDesc* desc = static_cast<const VmmgrDeviceDesc*>(user);
  return desc->serialWriteFn(port, value, size) == 0 ? 0 : -1;
}

[[gnu::noinline]] int32_t serialReadTraced(VmmgrPdmDevIns* devIns, void* user, uint16_t port,
                                           uint32_t* value, uint32_t size) {
  XLOG_AS("VmmgrSerialRead", XLOG_DEBUG, "%s: %p %p %04x %p %d", "VmmgrSerialRead",
          static_cast<void*>(devIns), user, static_cast<unsigned>(port), static_cast<void*>(value),
          static_cast<int>(size));
  return serialRead(user, port, value, size);
}

[[gnu::noinline]] int32_t serialWriteTraced(VmmgrPdmDevIns* devIns, void* user, uint16_t port,
                                            uint32_t value, uint32_t size) {
  XLOG_AS("VmmgrSerialWrite", XLOG_DEBUG, "%s: %p %p %04x %08x %d", "VmmgrSerialWrite",
          static_cast<void*>(devIns), user, static_cast<unsigned>(port),
          static_cast<unsigned>(value), static_cast<int>(size));
  return serialWrite(user, port, value, size);
}

[[gnu::cold, gnu::noinline]] int32_t mmioReadFailed() {
  XLOG_AS("VmmgrPciMmioRead", XLOG_ERROR, "pciReadFn failed");
  return -2;
}

[[gnu::cold, gnu::noinline]] int32_t mmioWriteRefused(uint32_t size, uint64_t offset) {
  XLOG_AS("VmmgrPciMmioWrite", XLOG_WARNING, "Cannot write %d bytes at iomem offset %ld",
          static_cast<int>(size), static_cast<long>(offset));
  return -2;
}

[[gnu::cold, gnu::noinline]] int32_t mmioWriteFailed() {
  XLOG_AS("VmmgrPciMmioWrite", XLOG_ERROR, "pciWriteFn failed");
  return -2;
}

} // namespace

int32_t vmmgrVboxPdmInit(const XlogLogger* logger, VmmgrDeviceList* devices,
                         VmmgrSetIrqFn* setIrqOut) {
  // The start-up's status is not reported: the VM manager has no use for it, and a module
  // without its own log still forwards every access.
  (void)xplLibInit(logger, std::string());
  vmmgrDevices = devices;
  *setIrqOut = vmmgrVboxPdmSetIrq;
  return 0;
}

int32_t VBoxDevicesRegister(VmmgrPdmRegCallbacks* callbacks, uint32_t version) {
  XLOG_D("%s -> %p %d", __func__, static_cast<void*>(callbacks), static_cast<int>(version));
  const size_t count = deviceCount();
  vmmgrRegistrationTable.resize(count);
  VmmgrDeviceDesc* desc = firstDevice();
  for (size_t i = 0; i < count; ++i, ++desc) {
    VmmgrDeviceRegistration& reg = vmmgrRegistrationTable[i];
    reg.version = VMMGR_REG_VERSION;
    // A bounded copy with zero padding; a name of 32 bytes or more fills the field.
    const char* name = deviceName(desc);
    const size_t nameLength = strnlen(name, sizeof reg.name);
    std::memcpy(reg.name, name, nameLength);
    std::memset(reg.name + nameLength, 0, sizeof reg.name - nameLength);
    reg.description = vmmgrStdStringData(desc->description);
    reg.flags = VMMGR_REG_FLAGS;
    reg.deviceClass = VMMGR_REG_CLASS;
    reg.maxInstances = 1;
    switch (desc->type) {
    case VMMGR_DEVICE_SERIAL:
      reg.construct = VmmgrSerialConstruct;
      reg.destruct = VmmgrSerialDestruct;
      reg.instanceSize = VMMGR_SERIAL_INSTANCE_SIZE;
      break;
    case VMMGR_DEVICE_PCI:
      reg.construct = VmmgrPciConstruct;
      reg.destruct = VmmgrPciDestruct;
      reg.instanceSize = VMMGR_PCI_INSTANCE_SIZE;
      break;
    default:
      XLOG_E("Unknown device type: %d %s", static_cast<int>(desc->type), deviceName(desc));
      XLOG_FATAL();
    }
    reg.endVersion = VMMGR_REG_VERSION;
    const int32_t rc = callbacks->pfnRegister(callbacks, &reg);
    if (rc < 0) {
      // The record's name field is followed by zero bytes, so it reads as a C string even
      // when a 32-byte name filled it.
      XLOG_E("Device registration failed for %s", reg.name);
      return rc;
    }
  }
  XLOG_I("All devices registered successfully\n");
  return 0;
}

// ---- serial ports ----

int32_t VmmgrSerialConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  VmmgrDeviceDesc* desc = findDevice(devIns);
  if (!desc)
    XLOG_FATAL();
  static_cast<VmmgrSerialInstance*>(vmmgrDevInsData(devIns))->desc = desc;
  const int32_t rc = devIns->hlp->pfnIoPortRegister(devIns, desc->ioPortBase, desc->ioPortCount,
                                                    desc, VmmgrSerialWrite, VmmgrSerialRead,
                                                    nullptr, nullptr, deviceName(desc));
  if (rc < 0) {
    XLOG_E("%s: Cannot register serial I/O port: %d", __func__, static_cast<int>(rc));
    return rc;
  }
  return 0;
}

int32_t VmmgrSerialDestruct(VmmgrPdmDevIns*) { return 0; }

// Each access asks the logger once whether debug is on, then makes one call of the VM
// manager's callback. Under the library's own logger with debug off the one load and
// compare answers; otherwise the trace and the logger's own query stay in a function of
// their own, reached by a jump, so the common path saves no registers for them. The entry
// is the user value the host passes with the access, never looked up again.
int32_t VmmgrSerialRead(VmmgrPdmDevIns* devIns, void* user, uint16_t port, uint32_t* value,
                        uint32_t size) {
  if (xlogMayBeEnabled(xlogModuleId, XLOG_DEBUG)) [[unlikely]]
    return serialReadTraced(devIns, user, port, value, size);
  return serialRead(user, port, value, size);
}

int32_t VmmgrSerialWrite(VmmgrPdmDevIns* devIns, void* user, uint16_t port, uint32_t value,
                         uint32_t size) {
  if (xlogMayBeEnabled(xlogModuleId, XLOG_DEBUG)) [[unlikely]]
    return serialWriteTraced(devIns, user, port, value, size);
  return serialWrite(user, port, value, size);
}

// ---- PCI functions ----

int32_t VmmgrPciConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  VmmgrDeviceDesc* desc = findDevice(devIns);
  if (!desc)
    XLOG_FATAL();
  VmmgrPciInstance* pci = static_cast<VmmgrPciInstance*>(vmmgrDevInsData(devIns));
  pci->desc = desc;
  desc->devIns = devIns;

  // The command and status reach the configuration space through the image, so the VM
  // manager's copy reads them back too.
  uint8_t* image = desc->pciConfig;
  uint8_t* config = pci->pciDev;
  put32(image + 0x04, 0x00800006u);
  std::memcpy(config + 0x00, image + 0x00, 4); // vendor and device ID
  put16(config + 0x06, 0x0080);
  std::memcpy(config + 0x04, image + 0x04, 2); // command
  std::memcpy(config + 0x08, image + 0x08, 4); // revision, interface, subclass, base class
  std::memcpy(config + 0x2C, image + 0x2C, 4); // subsystem vendor and subsystem ID
  config[0x3C] = 0xFF;                         // interrupt line: not routed yet
  config[0x3D] = 0x01;                         // INTA

  const VmmgrRegionDesc* const regionsBegin = static_cast<VmmgrRegionDesc*>(desc->regions.begin);
  const VmmgrRegionDesc* const regionsEnd = static_cast<VmmgrRegionDesc*>(desc->regions.end);
  for (const VmmgrRegionDesc* r = regionsBegin; r != regionsEnd; ++r) {
    const uint8_t bar = static_cast<uint8_t>(r->region);
    if (bar <= 5)
      put32(config + 0x10 + 4 * bar, 0);
  }

  const VmmgrPdmDevHlp* hlp = devIns->hlp;
  int32_t rc = hlp->pfnPciRegister(devIns, pci, VMMGR_PCI_CONFIG_INDEX, 0, VMMGR_PCI_DEVICE_NUMBER,
                                   VMMGR_PCI_FUNCTION_NUMBER, nullptr);
  if (rc < 0) {
    XLOG_E("%s: Cannot register PCI device: %d", __func__, static_cast<int>(rc));
    return rc;
  }

  // Both refusals share their text; the line number in the message tells them apart, so
  // each statement stays on one line.
  // clang-format off
  for (const VmmgrRegionDesc* r = regionsBegin; r != regionsEnd; ++r) {
    if (!r->isMmio) {
      rc = hlp->pfnMmio2Register(devIns, pci, r->region, r->size, 0, r->sharedMemoryOut, deviceName(desc));
      if (rc < 0) {
        XLOG_E("%s: %d: Cannot register PCI shared memory: %d, region: %d", __func__, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
        return rc;
      }
    }
    rc = hlp->pfnPciIoRegionRegister(devIns, nullptr, r->region, r->size, 0, VmmgrMmioMap);
    if (rc < 0) {
      XLOG_E("%s: %d: Cannot register PCI shared memory: %d, region: %d", __func__, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
      return rc;
    }
  }
  // clang-format on
  return 0;
}

int32_t VmmgrPciDestruct(VmmgrPdmDevIns*) { return 0; }

int32_t VmmgrMmioMap(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t gcPhys,
                     uint64_t size, int32_t type) {
  XLOG_D("%s: pPciDev: %p iRegion: %d GCPhysAddress: %08llx cb: %d enmType: %d", __func__, pciDev,
         static_cast<int>(region), static_cast<unsigned long long>(gcPhys), static_cast<int>(size),
         static_cast<int>(type));
  VmmgrPciInstance* pci = static_cast<VmmgrPciInstance*>(vmmgrDevInsData(devIns));
  const VmmgrDeviceDesc* desc = pci->desc;
  const VmmgrRegionDesc& record = static_cast<const VmmgrRegionDesc*>(desc->regions.begin)[region];
  if (record.isMmio) {
    const int32_t rc =
        devIns->hlp->pfnMmioRegister(devIns, gcPhys, size, pci, VmmgrPciMmioWrite, VmmgrPciMmioRead,
                                     nullptr, VMMGR_MMIO_FLAGS, deviceName(desc));
    if (rc < 0)
      return rc;
    pci->mmioBase = gcPhys;
    return rc;
  }
  const int32_t rc = devIns->hlp->pfnMmio2Map(devIns, pciDev, region, gcPhys);
  if (rc < 0)
    XLOG_E("");
  return rc;
}

// The MMIO paths do one subtraction and one call on success: no logging query. The
// failure paths are kept out of line so that the success path saves no registers.
int32_t VmmgrPciMmioRead(VmmgrPdmDevIns*, void* user, uint64_t gcPhys, void* buffer,
                         uint32_t size) {
  const VmmgrPciInstance* pci = static_cast<const VmmgrPciInstance*>(user);
  // Returning the callback's own zero spares the success path a register clear.
  const int32_t rc = pci->desc->pciReadFn(gcPhys - pci->mmioBase, buffer, size);
  if (rc == 0) [[likely]]
    return rc;
  return mmioReadFailed();
}

int32_t VmmgrPciMmioWrite(VmmgrPdmDevIns*, void* user, uint64_t gcPhys, const void* buffer,
                          uint32_t size) {
  const VmmgrPciInstance* pci = static_cast<const VmmgrPciInstance*>(user);
  if (size != 4) [[unlikely]]
    return mmioWriteRefused(size, gcPhys - pci->mmioBase);
  const int32_t rc = pci->desc->pciWriteFn(gcPhys - pci->mmioBase, buffer, 4);
  if (rc == 0) [[likely]]
    return rc;
  return mmioWriteFailed();
}

void vmmgrVboxPdmSetIrq(void* devIns, int32_t level) {
  VmmgrPdmDevIns* dev = static_cast<VmmgrPdmDevIns*>(devIns);
  dev->hlp->pfnPciSetIrq(dev, nullptr, 0, level);
}
