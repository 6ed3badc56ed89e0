// The new-style helpers of VirtualBox 6.1 and later: ports, MMIO and shared memory are
// created as handles at construction and tied to their BAR; the bus maps them itself. The
// checks and statuses are IOM's (IOMR3IoPortCreate, IOMR3IoPortMap and IOMR3MmioCreate in
// IOMR3IoPort.cpp and IOMR3Mmio.cpp) where VirtualBox has them, the host's own otherwise.
#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <cstring>

namespace pdmhost {

namespace {

constexpr int32_t VERR_INVALID_PARAMETER = -2, VERR_INVALID_POINTER = -6, VERR_INVALID_FLAGS = -13,
                  VERR_OUT_OF_RANGE = -54, VERR_UNSUPPORTED_ALIGNMENT = -97,
                  VERR_IOM_IOPORT_RANGE_CONFLICT = -2602, VERR_IOM_INVALID_IOPORT_HANDLE = -2651;
constexpr uint32_t IOM_IOPORT_F_ABS = 0x1, IOMMMIO_FLAGS_VALID_MASK = 0x1373,
                   IOMMMIO_FLAGS_ABS = 0x1000, PGMPHYS_MMIO2_FLAGS_VALID_MASK = 0x1;
constexpr uint32_t PCI_REGION_F_NEW_STYLE = 0x4, PCI_REGION_F_HANDLE_MASK = 0x3;
constexpr uint32_t MMIO_HANDLE = 0x2, MMIO2_HANDLE = 0x3;

bool validDescription(const char* description) {
  return description && *description && std::strlen(description) < 128;
}

} // namespace

int32_t Host::doIoPortCreate(VmmgrPdmDevIns* devIns, uint16_t count, uint32_t flags,
                             VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                             void* inStr, void* user, const char* description, uint64_t* handle) {
  calls_.push_back(release_.slot(Helper::IoPortCreateEx));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::IoPortRegister, &status) && status < 0)
    return status;
  if (!handle)
    return VERR_INVALID_POINTER;
  if (count == 0 || count > 8192)
    return VERR_OUT_OF_RANGE;
  if (flags & ~IOM_IOPORT_F_ABS)
    return VERR_INVALID_FLAGS;
  if (!out && !in && !outStr && !inStr)
    return VERR_INVALID_PARAMETER;
  if (!validDescription(description))
    return VERR_INVALID_POINTER;
  if (outStr || inStr) // the host plays no string I/O
    return PDMHOST_ERR_INVALID;
  PortRange r{devIns, 0, count, user, out, in, description};
  r.relative = !(flags & IOM_IOPORT_F_ABS);
  *handle = portHandles_.size();
  portHandles_.push_back(r);
  return status;
}

int32_t Host::doIoPortMap(VmmgrPdmDevIns* devIns, uint64_t handle, uint16_t port) {
  calls_.push_back(release_.slot(Helper::IoPortMap));
  if (handle >= portHandles_.size() || portHandles_[handle].devIns != devIns)
    return VERR_IOM_INVALID_IOPORT_HANDLE;
  PortRange& r = portHandles_[handle];
  if (uint32_t(port) + r.count > 0x10000u)
    return VERR_OUT_OF_RANGE;
  if (r.mapped)
    return PDMHOST_ERR_CONFLICT;
  for (const PortRange& other : ports_)
    if (port < other.first + other.count && other.first < port + r.count)
      return VERR_IOM_IOPORT_RANGE_CONFLICT;
  r.first = port;
  r.mapped = true;
  ports_.push_back(r);
  return PDMHOST_OK;
}

int32_t Host::doMmioCreate(VmmgrPdmDevIns* devIns, uint64_t size, uint32_t flags,
                           VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill,
                           void* user, const char* description, uint64_t* handle) {
  calls_.push_back(release_.slot(Helper::MmioCreateEx));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::MmioRegister, &status) && status < 0)
    return status;
  if (!handle)
    return VERR_INVALID_POINTER;
  if (size == 0)
    return VERR_OUT_OF_RANGE;
  if (size & 0xfff) // whole guest pages
    return VERR_UNSUPPORTED_ALIGNMENT;
  if (flags & ~IOMMMIO_FLAGS_VALID_MASK)
    return VERR_INVALID_FLAGS;
  if (!write && !read)
    return VERR_INVALID_PARAMETER;
  if (!validDescription(description))
    return VERR_INVALID_POINTER;
  if (!write || !read || fill) // the host plays both directions and no fill
    return PDMHOST_ERR_INVALID;
  MmioRange r{devIns, 0, size, user, write, read, flags, description};
  r.relative = !(flags & IOMMMIO_FLAGS_ABS);
  *handle = mmio_.size();
  mmio_.push_back(r);
  return status;
}

int32_t Host::doMmio2Create(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t pciRegion, uint64_t size,
                            uint32_t flags, const char* description, void** mapping,
                            uint64_t* handle) {
  if (!handle)
    return VERR_INVALID_POINTER;
  if (flags & ~PGMPHYS_MMIO2_FLAGS_VALID_MASK)
    return VERR_INVALID_FLAGS;
  if (size & 0xfff)
    return VERR_UNSUPPORTED_ALIGNMENT;
  // The region number lies in bits 16 to 31, the sub-device in the low half.
  const int32_t rc =
      doMmio2Register(devIns, pciDev, pciRegion >> 16, size, flags, mapping, description);
  calls_.back() = release_.slot(Helper::Mmio2Create);
  if (rc >= 0)
    *handle = shared_.size() - 1;
  return rc;
}

int32_t Host::doPciRegisterNew(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t flags, uint8_t device,
                               uint8_t function, const char* name) {
  // The PCI device is the one the host allocated for the instance, not one of the device's.
  void* allocated = nullptr;
  std::memcpy(&allocated, reinterpret_cast<uint8_t*>(devIns) + release_.profile->devIns->pciDevs,
              sizeof allocated);
  const int32_t rc = doPciRegister(devIns, pciDev == allocated ? pciDev : nullptr, UINT32_MAX,
                                   flags, device, function, name);
  calls_.back() = release_.slot(Helper::NewPciRegister);
  deviceOf(devIns)->configOffset = 448; // abConfig in PDMPCIDEV from 6.1
  return rc;
}

int32_t Host::doPciIoRegionRegisterNew(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                       uint64_t size, int32_t type, uint32_t flags, uint64_t handle,
                                       VmmgrPdmPciMapFn map) {
  calls_.push_back(release_.slot(Helper::NewPciIoRegionRegister));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::PciIoRegionRegister, &status) && status < 0)
    return status;
  Device* d = deviceOf(devIns);
  const uint32_t kind = flags & PCI_REGION_F_HANDLE_MASK;
  // A region tied to a handle of this device, of this size and (shared memory) this BAR.
  const bool handleFits =
      kind == MMIO_HANDLE
          ? handle < mmio_.size() && mmio_[handle].devIns == devIns && mmio_[handle].size == size
      : kind == MMIO2_HANDLE
          ? handle < shared_.size() && shared_[handle]->devIns == devIns &&
                shared_[handle]->region == region && shared_[handle]->size == size
          : false;
  if (!d->pciDev || (pciDev && pciDev != d->pciDev) || region > 5 ||
      !(flags & PCI_REGION_F_NEW_STYLE) || !handleFits)
    return PDMHOST_ERR_INVALID;
  if (size & (size - 1))
    return VERR_INVALID_PARAMETER;
  for (const PciRegion& r : d->regions)
    if (r.region == region)
      return PDMHOST_ERR_CONFLICT;
  PciRegion r{region, size, type, map};
  r.handleKind = kind;
  r.handle = handle;
  d->regions.push_back(r);
  return status;
}

// A new-style region is mapped by the bus itself, from its handle.
int32_t Host::mapHandle(Device& d, PciRegion& r, uint64_t gcPhys) {
  if (traceOn())
    traceLine("host: the bus maps " + d.name() + " region " + std::to_string(r.region) + " at " +
              hexText(gcPhys));
  if (gcPhys & 0xfff || gcPhys + r.size < gcPhys)
    return -2605; // VERR_IOM_INVALID_MMIO_RANGE
  if (r.handleKind == MMIO2_HANDLE) {
    const int32_t rc = doMmio2Map(d.devIns, d.pciDev, r.region, gcPhys);
    calls_.pop_back(); // the bus's doing, not a helper call
    return rc;
  }
  if (overlaps(gcPhys, r.size, nullptr))
    return -2608; // VERR_IOM_MMIO_RANGE_CONFLICT
  MmioRange& range = mmio_[r.handle];
  range.base = gcPhys;
  guestMap_[gcPhys] = Mapping{r.size, &range, nullptr};
  return PDMHOST_OK;
}

} // namespace pdmhost
