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
static std::vector<VmmgrDeviceRegistrationNew> vmmgrRegistrationTableNew;

namespace {

VmmgrDeviceDesc* firstDevice() { return static_cast<VmmgrDeviceDesc*>(vmmgrDevices->begin); }

size_t deviceCount() {
  return static_cast<size_t>(static_cast<VmmgrDeviceDesc*>(vmmgrDevices->end) - firstDevice());
}

const char* deviceName(const VmmgrDeviceDesc* desc) { return vmmgrStdStringData(desc->name); }

template <typename T> T load(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

// The helper in a slot of the host's table; the profile says which slot.
template <typename Fn> Fn helper(const void* hlp, uint16_t slot) {
  return load<Fn>(hlp, size_t{slot} * 8);
}
using IoPortRegisterFn = decltype(VmmgrPdmDevHlp::pfnIoPortRegister);
using MmioRegisterFn = decltype(VmmgrPdmDevHlp::pfnMmioRegister);
using Mmio2RegisterFn = decltype(VmmgrPdmDevHlp::pfnMmio2Register);
using Mmio2MapFn = decltype(VmmgrPdmDevHlp::pfnMmio2Map);
using PciRegisterFn = decltype(VmmgrPdmDevHlp::pfnPciRegister);
using PciIoRegionRegisterFn = decltype(VmmgrPdmDevHlp::pfnPciIoRegionRegister);

// The host as a device instance of a given layout shows it: its helper table, the table's
// version word and the profile they pick (null: a VirtualBox the module does not know).
struct HostView {
  const void* hlp;
  uint32_t version;
  bool real; // VirtualBox's magic: not a stand-in
  const VmmgrHostProfile* profile;
};
HostView hostOf(const VmmgrPdmDevIns* devIns, const VmmgrHostLayout& layout) {
  const void* hlp = load<const void*>(devIns, layout.devInsHlp);
  const uint32_t version = load<uint32_t>(hlp, 0);
  return {hlp, version, vmmgrHelperMagic(version) == VMMGR_DEVHLP_MAGIC,
          vmmgrFindProfile(version, layout)};
}

// A host is told by the version word VirtualBox writes at the start of a device instance.
const VmmgrHostLayout& layoutOf(const VmmgrPdmDevIns* devIns) {
  return load<uint32_t>(devIns, 0) == VMMGR_DEVINS_VERSION_NEW ? VMMGR_LAYOUT_NEW
                                                               : VMMGR_LAYOUT_OLD;
}

void* instanceData(VmmgrPdmDevIns* devIns, const VmmgrHostLayout& layout) {
  if (layout.dataByPointer)
    return load<void*>(devIns, layout.devInsData);
  return reinterpret_cast<uint8_t*>(devIns) + layout.devInsData;
}

// The name field of the registration record the device instance points to.
const char* registeredName(const VmmgrPdmDevIns* devIns, const VmmgrHostLayout& layout) {
  const uint8_t* reg = load<const uint8_t*>(devIns, layout.devInsReg);
  return reinterpret_cast<const char*>(reg + (layout.dataByPointer ? 8 : 4));
}

// The entry whose name has the registered name's length and bytes; null when there is none.
VmmgrDeviceDesc* findDevice(const char* name) {
  const size_t length = strnlen(name, 32);
  VmmgrDeviceDesc* desc = firstDevice();
  for (size_t i = 0, n = deviceCount(); i < n; ++i, ++desc) {
    if (desc->name.size == length && std::memcmp(deviceName(desc), name, length) == 0)
      return desc;
  }
  return nullptr;
}

// Nothing of the device is touched and no helper called: VirtualBox then fails the VM's
// start with its own "version mismatch" for the device.
[[gnu::cold, gnu::noinline]] int32_t refuseHost(const char* function, const char* name,
                                                uint32_t version) {
  XLOG_AS(function, XLOG_ERROR,
          "%s: %.32s: VirtualBox's device helpers version %#010x is not one this module "
          "serves; it serves majors %s",
          function, name, static_cast<unsigned>(version), vmmgrSupportedReleases().c_str());
  return VMMGR_VERR_VERSION_MISMATCH;
}

// A bounded copy with zero padding; a name of 32 bytes or more fills the field.
void copyName(char (&field)[32], const char* name) {
  const size_t nameLength = strnlen(name, sizeof field);
  std::memcpy(field, name, nameLength);
  std::memset(field + nameLength, 0, sizeof field - nameLength);
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
  // Our stand-ins lack VirtualBox's version word and keep to the device table's own rules.
  const bool real = callbacks->version == VMMGR_REGCB_VERSION;
  const bool newStyle = vmmgrTakesNewRecord(version);
  const size_t count = deviceCount();
  vmmgrRegistrationTable.resize(newStyle ? 0 : count);
  vmmgrRegistrationTableNew.resize(newStyle ? count : 0);
  VmmgrDeviceDesc* desc = firstDevice();
  for (size_t i = 0; i < count; ++i, ++desc) {
    if (real) {
      const VmmgrRuleBroken broken = vmmgrBrokenRule(firstDevice(), i, newStyle);
      if (broken.rule) {
        XLOG_E("Device registration refused for %s: %s", deviceName(desc), broken.rule);
        return broken.status;
      }
    }
    VmmgrPdmConstructFn construct;
    VmmgrPdmDestructFn destruct;
    uint32_t instanceSize;
    switch (desc->type) {
    case VMMGR_DEVICE_SERIAL:
      construct = newStyle ? VmmgrSerialConstructNew : VmmgrSerialConstruct;
      destruct = VmmgrSerialDestruct;
      instanceSize = VMMGR_SERIAL_INSTANCE_SIZE;
      break;
    case VMMGR_DEVICE_PCI:
      construct = newStyle ? VmmgrPciConstructNew : VmmgrPciConstruct;
      destruct = VmmgrPciDestruct;
      instanceSize = VMMGR_PCI_INSTANCE_SIZE;
      break;
    default:
      XLOG_E("Unknown device type: %d %s", static_cast<int>(desc->type), deviceName(desc));
      XLOG_FATAL();
    }
    // Both records keep the description as the table's own characters, not a copy.
    const void* record;
    const char* registered;
    if (newStyle) {
      VmmgrDeviceRegistrationNew& reg = vmmgrRegistrationTableNew[i];
      reg.version = VMMGR_REG_VERSION_NEW;
      copyName(reg.name, deviceName(desc));
      reg.flags = VMMGR_REG_FLAGS_NEW;
      reg.deviceClass = VMMGR_REG_CLASS;
      reg.maxInstances = 1;
      reg.instanceSize = instanceSize;
      reg.maxPciDevices = desc->type == VMMGR_DEVICE_PCI ? 1 : 0;
      reg.description = vmmgrStdStringData(desc->description);
      reg.construct = construct;
      reg.destruct = destruct;
      reg.endVersion = VMMGR_REG_VERSION_NEW;
      record = &reg;
      registered = reg.name;
    } else {
      VmmgrDeviceRegistration& reg = vmmgrRegistrationTable[i];
      reg.version = VMMGR_REG_VERSION;
      copyName(reg.name, deviceName(desc));
      reg.description = vmmgrStdStringData(desc->description);
      reg.flags = VMMGR_REG_FLAGS;
      reg.deviceClass = VMMGR_REG_CLASS;
      reg.maxInstances = 1;
      reg.construct = construct;
      reg.destruct = destruct;
      reg.instanceSize = instanceSize;
      reg.endVersion = VMMGR_REG_VERSION;
      record = &reg;
      registered = reg.name;
    }
    // The host reads the record by the version word at its start.
    const int32_t rc =
        callbacks->pfnRegister(callbacks, static_cast<const VmmgrDeviceRegistration*>(record));
    if (rc < 0) {
      // The record's name field is followed by zero bytes, so it reads as a C string even
      // when a 32-byte name filled it.
      XLOG_E("Device registration failed for %s", registered);
      return rc;
    }
  }
  XLOG_I("All devices registered successfully\n");
  return 0;
}

// ---- serial ports ----

namespace {

int32_t serialConstruct(VmmgrPdmDevIns* devIns, const VmmgrHostLayout& layout,
                        const char* function) {
  const HostView host = hostOf(devIns, layout);
  if (!host.profile)
    return refuseHost(function, registeredName(devIns, layout), host.version);
  VmmgrDeviceDesc* desc = findDevice(registeredName(devIns, layout));
  if (!desc)
    xlogFatal(xlogModuleId, XLOG_FILE, function, __LINE__);
  static_cast<VmmgrSerialInstance*>(instanceData(devIns, layout))->desc = desc;
  const VmmgrHostProfile& p = *host.profile;
  int32_t rc;
  if (layout.dataByPointer) {
    // Ports are created, then mapped; the callbacks get the absolute port, as on 5.1.
    uint64_t ports = VMMGR_NIL_HANDLE;
    rc = helper<VmmgrPdmIoPortCreateExFn>(host.hlp, p.ioPort)(
        devIns, desc->ioPortCount, VMMGR_IOPORT_F_ABS, nullptr, UINT32_MAX, VmmgrSerialWrite,
        VmmgrSerialRead, nullptr, nullptr, desc, deviceName(desc), nullptr, &ports);
    if (rc >= 0)
      rc = helper<VmmgrPdmIoPortMapFn>(host.hlp, p.ioPortMap)(devIns, ports, desc->ioPortBase);
  } else {
    rc = helper<IoPortRegisterFn>(host.hlp, p.ioPort)(devIns, desc->ioPortBase, desc->ioPortCount,
                                                      desc, VmmgrSerialWrite, VmmgrSerialRead,
                                                      nullptr, nullptr, deviceName(desc));
  }
  if (rc < 0) {
    XLOG_AS(function, XLOG_ERROR, "%s: Cannot register serial I/O port: %d", function,
            static_cast<int>(rc));
    return rc;
  }
  return 0;
}

} // namespace

int32_t VmmgrSerialConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  return serialConstruct(devIns, VMMGR_LAYOUT_OLD, __func__);
}

int32_t VmmgrSerialConstructNew(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  return serialConstruct(devIns, VMMGR_LAYOUT_NEW, __func__);
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

namespace {

// Shared memory in whole pages, as VirtualBox allocates it; the VM manager's bytes come first.
uint64_t sharedMemorySize(const HostView& host, uint64_t size) {
  if (!host.real)
    return size;
  return (size + VMMGR_GUEST_PAGE_SIZE - 1) & ~(VMMGR_GUEST_PAGE_SIZE - 1);
}

// On 6.1 and later each region is created as a handle, tied to its BAR, and mapped by the bus
// itself; the MMIO callbacks get offsets into the region, so the base stays 0.
// clang-format off
int32_t createRegionsNew(VmmgrPdmDevIns* devIns, const HostView& host, VmmgrPciInstance* pci, void* pciDev, const char* function) {
  const VmmgrHostProfile& p = *host.profile;
  const VmmgrDeviceDesc* desc = pci->desc;
  pci->mmioBase = 0;
  const VmmgrRegionDesc* r = static_cast<const VmmgrRegionDesc*>(desc->regions.begin);
  for (; r != static_cast<const VmmgrRegionDesc*>(desc->regions.end); ++r) {
    uint64_t handle = VMMGR_NIL_HANDLE, size = r->size;
    uint32_t kind = VMMGR_PCI_REGION_F_MMIO_HANDLE;
    int32_t rc;
    if (r->isMmio) {
      rc = helper<VmmgrPdmMmioCreateExFn>(host.hlp, p.mmio)(devIns, size, VMMGR_MMIO_FLAGS, pciDev, r->region << 16, VmmgrPciMmioWrite, VmmgrPciMmioRead, nullptr, pci, deviceName(desc), &handle);
    } else {
      size = sharedMemorySize(host, size);
      kind = VMMGR_PCI_REGION_F_MMIO2_HANDLE;
      rc = helper<VmmgrPdmMmio2CreateFn>(host.hlp, p.mmio2)(devIns, pciDev, r->region << 16, size, 0, deviceName(desc), r->sharedMemoryOut, &handle);
    }
    if (rc < 0) {
      XLOG_AS(function, XLOG_ERROR, "%s: %d: Cannot register PCI shared memory: %d, region: %d", function, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
      return rc;
    }
    rc = helper<VmmgrPdmPciIoRegionRegisterNewFn>(host.hlp, p.pciIoRegionRegister)(devIns, pciDev, r->region, size, VMMGR_PCI_ADDRESS_SPACE_MEM, kind | VMMGR_PCI_REGION_F_NEW_STYLE, handle, nullptr);
    if (rc < 0) {
      XLOG_AS(function, XLOG_ERROR, "%s: %d: Cannot register PCI shared memory: %d, region: %d", function, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
      return rc;
    }
  }
  return 0;
}

// Up to 6.0 the bus maps each region through VmmgrMmioMap.
int32_t createRegionsOld(VmmgrPdmDevIns* devIns, const HostView& host, VmmgrPciInstance* pci, const char* function) {
  const VmmgrHostProfile& p = *host.profile;
  const VmmgrDeviceDesc* desc = pci->desc;
  // Both refusals share their text; the line number in the message tells them apart, so
  // each statement stays on one line.
  const VmmgrRegionDesc* r = static_cast<const VmmgrRegionDesc*>(desc->regions.begin);
  for (; r != static_cast<const VmmgrRegionDesc*>(desc->regions.end); ++r) {
    int32_t rc;
    if (!r->isMmio) {
      rc = helper<Mmio2RegisterFn>(host.hlp, p.mmio2)(devIns, pci, r->region, sharedMemorySize(host, r->size), 0, r->sharedMemoryOut, deviceName(desc));
      if (rc < 0) {
        XLOG_AS(function, XLOG_ERROR, "%s: %d: Cannot register PCI shared memory: %d, region: %d", function, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
        return rc;
      }
    }
    rc = helper<PciIoRegionRegisterFn>(host.hlp, p.pciIoRegionRegister)(devIns, nullptr, r->region, r->size, 0, VmmgrMmioMap);
    if (rc < 0) {
      XLOG_AS(function, XLOG_ERROR, "%s: %d: Cannot register PCI shared memory: %d, region: %d", function, __LINE__, static_cast<int>(rc), static_cast<int>(r->region));
      return rc;
    }
  }
  return 0;
}
// clang-format on

int32_t pciConstruct(VmmgrPdmDevIns* devIns, const VmmgrHostLayout& layout, const char* function) {
  const HostView host = hostOf(devIns, layout);
  if (!host.profile)
    return refuseHost(function, registeredName(devIns, layout), host.version);
  VmmgrDeviceDesc* desc = findDevice(registeredName(devIns, layout));
  if (!desc)
    xlogFatal(xlogModuleId, XLOG_FILE, function, __LINE__);
  VmmgrPciInstance* pci = static_cast<VmmgrPciInstance*>(instanceData(devIns, layout));
  pci->desc = desc;
  desc->devIns = devIns;
  // Up to 6.0 the PCI device is the start of our instance data; from 6.1 on VirtualBox
  // allocates it and the configuration space lies further in.
  uint8_t* pciDev = pci->pciDev;
  uint8_t* config = pciDev;
  if (layout.dataByPointer) {
    pciDev = load<uint8_t*>(devIns, VMMGR_DEVINS_NEW_PCI_DEVS_OFFSET);
    config = pciDev + VMMGR_PCIDEV_NEW_CONFIG_OFFSET;
  }

  // The command and status reach the configuration space through the image, so the VM
  // manager's copy reads them back too.
  uint8_t* image = desc->pciConfig;
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

  const VmmgrHostProfile& p = *host.profile;
  int32_t rc;
  if (layout.dataByPointer)
    rc = helper<VmmgrPdmPciRegisterNewFn>(host.hlp, p.pciRegister)(
        devIns, pciDev, 0, VMMGR_PCI_DEVICE_NUMBER, VMMGR_PCI_FUNCTION_NUMBER, nullptr);
  else
    rc = helper<PciRegisterFn>(host.hlp, p.pciRegister)(devIns, pci, VMMGR_PCI_CONFIG_INDEX, 0,
                                                        VMMGR_PCI_DEVICE_NUMBER,
                                                        VMMGR_PCI_FUNCTION_NUMBER, nullptr);
  if (rc < 0) {
    XLOG_AS(function, XLOG_ERROR, "%s: Cannot register PCI device: %d", function,
            static_cast<int>(rc));
    return rc;
  }
  if (layout.dataByPointer)
    return createRegionsNew(devIns, host, pci, pciDev, function);
  return createRegionsOld(devIns, host, pci, function);
}

} // namespace

int32_t VmmgrPciConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  return pciConstruct(devIns, VMMGR_LAYOUT_OLD, __func__);
}

int32_t VmmgrPciConstructNew(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg) {
  XLOG_D("%s: %p %d %p", __func__, static_cast<void*>(devIns), static_cast<int>(instance), cfg);
  return pciConstruct(devIns, VMMGR_LAYOUT_NEW, __func__);
}

int32_t VmmgrPciDestruct(VmmgrPdmDevIns*) { return 0; }

int32_t VmmgrMmioMap(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t gcPhys,
                     uint64_t size, int32_t type) {
  XLOG_D("%s: pPciDev: %p iRegion: %d GCPhysAddress: %08llx cb: %d enmType: %d", __func__, pciDev,
         static_cast<int>(region), static_cast<unsigned long long>(gcPhys), static_cast<int>(size),
         static_cast<int>(type));
  // Only hosts of the old layout map through this callback; construction chose their profile.
  const HostView host = hostOf(devIns, VMMGR_LAYOUT_OLD);
  // VirtualBox's buses announce an unmapping with "no address" and unmap by themselves.
  if (gcPhys == VMMGR_NIL_GCPHYS && host.real)
    return 0;
  VmmgrPciInstance* pci = static_cast<VmmgrPciInstance*>(vmmgrDevInsData(devIns));
  const VmmgrDeviceDesc* desc = pci->desc;
  const VmmgrRegionDesc& record = static_cast<const VmmgrRegionDesc*>(desc->regions.begin)[region];
  if (record.isMmio) {
    const int32_t rc = helper<MmioRegisterFn>(host.hlp, host.profile->mmio)(
        devIns, gcPhys, size, pci, VmmgrPciMmioWrite, VmmgrPciMmioRead, nullptr, VMMGR_MMIO_FLAGS,
        deviceName(desc));
    if (rc < 0)
      return rc;
    pci->mmioBase = gcPhys;
    return rc;
  }
  const int32_t rc =
      helper<Mmio2MapFn>(host.hlp, host.profile->mmio2Map)(devIns, pciDev, region, gcPhys);
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
  // The device was constructed, so its host has a profile. A null PCI device is the
  // device's first (5.x: the first registered; 6.1 and later: apPciDevs[0]), ours.
  const HostView host = hostOf(dev, layoutOf(dev));
  helper<VmmgrPdmPciSetIrqFn>(host.hlp, host.profile->pciSetIrq)(dev, nullptr, 0, level);
}
