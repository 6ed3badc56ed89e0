// The helpers the host carries out: ports, MMIO ranges, shared memory, PCI registration
// and interrupts, with the argument checks of the release it plays.
#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <cstring>

namespace pdmhost {

void* helperFunction(Helper helper) {
  using D = VmmgrPdmDevIns*;
  switch (helper) {
  case Helper::IoPortRegister:
    return reinterpret_cast<void*>(+[](D d, uint16_t port, uint16_t count, void* user,
                                       VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                                       void* inStr, const char* desc) -> int32_t {
      return Host::fromDevIns(d)->doIoPortRegister(d, port, count, user, out, in, outStr, inStr,
                                                   desc);
    });
  case Helper::MmioRegister:
    return reinterpret_cast<void*>(+[](D d, uint64_t gcPhys, uint64_t size, void* user,
                                       VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read,
                                       void* fill, uint32_t flags, const char* desc) -> int32_t {
      return Host::fromDevIns(d)->doMmioRegister(d, gcPhys, size, user, write, read, fill, flags,
                                                 desc);
    });
  case Helper::Mmio2Register:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t region, uint64_t size,
                                       uint32_t flags, void** memory, const char* desc) -> int32_t {
      return Host::fromDevIns(d)->doMmio2Register(d, pciDev, region, size, flags, memory, desc);
    });
  case Helper::Mmio2Map:
    return reinterpret_cast<void*>(
        +[](D d, void* pciDev, uint32_t region, uint64_t gcPhys) -> int32_t {
          return Host::fromDevIns(d)->doMmio2Map(d, pciDev, region, gcPhys);
        });
  case Helper::PciRegister:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t configIndex, uint32_t flags,
                                       uint8_t device, uint8_t function,
                                       const char* name) -> int32_t {
      return Host::fromDevIns(d)->doPciRegister(d, pciDev, configIndex, flags, device, function,
                                                name);
    });
  case Helper::PciIoRegionRegister:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t region, uint64_t size,
                                       int32_t type, VmmgrPdmPciMapFn map) -> int32_t {
      return Host::fromDevIns(d)->doPciIoRegionRegister(d, pciDev, region, size, type, map);
    });
  case Helper::PciSetIrq:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, int32_t irq, int32_t level) {
      Host::fromDevIns(d)->doPciSetIrq(d, pciDev, irq, level);
    });
  case Helper::IoPortCreateEx:
    return reinterpret_cast<void*>(+[](D d, uint16_t count, uint32_t flags, void*, uint32_t,
                                       VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                                       void* inStr, void* user, const char* desc, const void*,
                                       uint64_t* handle) -> int32_t {
      return Host::fromDevIns(d)->doIoPortCreate(d, count, flags, out, in, outStr, inStr, user,
                                                 desc, handle);
    });
  case Helper::IoPortMap:
    return reinterpret_cast<void*>(+[](D d, uint64_t handle, uint16_t port) -> int32_t {
      return Host::fromDevIns(d)->doIoPortMap(d, handle, port);
    });
  case Helper::MmioCreateEx:
    return reinterpret_cast<void*>(+[](D d, uint64_t size, uint32_t flags, void*, uint32_t,
                                       VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read,
                                       void* fill, void* user, const char* desc,
                                       uint64_t* handle) -> int32_t {
      return Host::fromDevIns(d)->doMmioCreate(d, size, flags, write, read, fill, user, desc,
                                               handle);
    });
  case Helper::Mmio2Create:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t pciRegion, uint64_t size,
                                       uint32_t flags, const char* desc, void** mapping,
                                       uint64_t* handle) -> int32_t {
      return Host::fromDevIns(d)->doMmio2Create(d, pciDev, pciRegion, size, flags, desc, mapping,
                                                handle);
    });
  case Helper::NewPciRegister:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t flags, uint8_t device,
                                       uint8_t function, const char* name) -> int32_t {
      return Host::fromDevIns(d)->doPciRegisterNew(d, pciDev, flags, device, function, name);
    });
  case Helper::NewPciIoRegionRegister:
    return reinterpret_cast<void*>(+[](D d, void* pciDev, uint32_t region, uint64_t size,
                                       int32_t type, uint32_t flags, uint64_t handle,
                                       VmmgrPdmPciMapFn map) -> int32_t {
      return Host::fromDevIns(d)->doPciIoRegionRegisterNew(d, pciDev, region, size, type, flags,
                                                           handle, map);
    });
  default:
    return nullptr;
  }
}

// ---- helper slots ----

int32_t Host::doIoPortRegister(VmmgrPdmDevIns* devIns, uint16_t port, uint16_t count, void* user,
                               VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                               void* inStr, const char* description) {
  calls_.push_back(static_cast<int>(HostOp::IoPortRegister));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::IoPortRegister, &status) && status < 0)
    return status;
  if (count == 0 || uint32_t(port) + count > 0x10000u || (!out && !in) || outStr || inStr)
    return PDMHOST_ERR_INVALID;
  for (const PortRange& r : ports_)
    if (port < r.first + r.count && r.first < port + count)
      return PDMHOST_ERR_CONFLICT;
  ports_.push_back(PortRange{devIns, port, count, user, out, in, description ? description : ""});
  return status;
}

bool Host::overlaps(uint64_t base, uint64_t size, const void* except) const {
  for (const auto& [at, m] : guestMap_) {
    if (m.shared == except && except)
      continue;
    if (base < at + m.size && at < base + size)
      return true;
  }
  return false;
}

int32_t Host::doMmioRegister(VmmgrPdmDevIns* devIns, uint64_t gcPhys, uint64_t size, void* user,
                             VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill,
                             uint32_t flags, const char* description) {
  calls_.push_back(static_cast<int>(HostOp::MmioRegister));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::MmioRegister, &status) && status < 0)
    return status;
  if (size == 0 || gcPhys + size < gcPhys || !write || !read || fill)
    return PDMHOST_ERR_INVALID;
  // IOM's flag check (IOMMMIO_FLAGS_VALID_MASK of 5.x), with its status.
  if (release_.profile->likeVirtualBox && (flags & ~0x373u))
    return -2; // VERR_INVALID_PARAMETER
  if (overlaps(gcPhys, size, nullptr))
    return PDMHOST_ERR_CONFLICT;
  mmio_.push_back(
      MmioRange{devIns, gcPhys, size, user, write, read, flags, description ? description : ""});
  guestMap_[gcPhys] = Mapping{size, &mmio_.back(), nullptr};
  return status;
}

int32_t Host::doMmio2Register(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t size,
                              uint32_t flags, void** memory, const char* description) {
  calls_.push_back(static_cast<int>(HostOp::Mmio2Register));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::Mmio2Register, &status) && status < 0)
    return status;
  // Shared memory is reserved address space (commit charge on Windows), so the stand-in
  // refuses sizes no guest region has.
  if (size == 0 || size > (uint64_t(1) << 30) || !memory || !pciDev)
    return PDMHOST_ERR_INVALID;
  for (const auto& s : shared_)
    if (s->devIns == devIns && s->region == region)
      return PDMHOST_ERR_CONFLICT;
  auto shm = std::make_unique<SharedMemory>();
  shm->devIns = devIns;
  shm->pciDev = pciDev;
  shm->region = region;
  shm->size = size;
  shm->flags = flags;
  shm->description = description ? description : "";
  if (!shm->memory.reserve(size))
    return PDMHOST_ERR_NO_MEMORY;
  *memory = shm->memory.get();
  shared_.push_back(std::move(shm));
  return status;
}

int32_t Host::doMmio2Map(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t gcPhys) {
  calls_.push_back(static_cast<int>(HostOp::Mmio2Map));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::Mmio2Map, &status) && status < 0)
    return status;
  for (auto& s : shared_) {
    if (s->devIns != devIns || s->region != region)
      continue;
    if (pciDev != deviceOf(devIns)->pciDev)
      return PDMHOST_ERR_INVALID;
    if (gcPhys + s->size < gcPhys || overlaps(gcPhys, s->size, s.get()))
      return PDMHOST_ERR_CONFLICT;
    if (s->mapped)
      guestMap_.erase(s->gcPhys);
    s->mapped = true;
    s->gcPhys = gcPhys;
    guestMap_[gcPhys] = Mapping{s->size, nullptr, s.get()};
    return status;
  }
  return PDMHOST_ERR_NOT_FOUND;
}

int32_t Host::doPciRegister(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t configIndex,
                            uint32_t flags, uint8_t device, uint8_t function, const char*) {
  calls_.push_back(static_cast<int>(HostOp::PciRegister));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::PciRegister, &status) && status < 0)
    return status;
  Device* d = deviceOf(devIns);
  if (!pciDev || d->pciDev)
    return PDMHOST_ERR_INVALID;
  d->pciDev = pciDev;
  d->pciConfigIndex = configIndex;
  d->pciFlags = flags;
  d->pciDevNo = device;
  d->pciFnNo = function;
  return status;
}

int32_t Host::doPciIoRegionRegister(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                    uint64_t size, int32_t type, VmmgrPdmPciMapFn map) {
  calls_.push_back(static_cast<int>(HostOp::PciIoRegionRegister));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::PciIoRegionRegister, &status) && status < 0)
    return status;
  Device* d = deviceOf(devIns);
  if (!d->pciDev || (pciDev && pciDev != d->pciDev) || region > 5 || size == 0 || !map)
    return PDMHOST_ERR_INVALID;
  // The bus's own checks (pciIORegionRegister): a memory or I/O type and a power-of-two size.
  if (release_.profile->likeVirtualBox &&
      ((type != 0 && type != 1 && type != 4 && type != 8 && type != 12) || (size & (size - 1))))
    return -2; // VERR_INVALID_PARAMETER
  for (const PciRegion& r : d->regions)
    if (r.region == region)
      return PDMHOST_ERR_CONFLICT;
  d->regions.push_back(PciRegion{region, size, type, map});
  return status;
}

void Host::doPciSetIrq(VmmgrPdmDevIns* devIns, void* pciDev, int32_t irq, int32_t level) {
  std::lock_guard<std::mutex> lock(irqLock_);
  irqEvents_.push_back(IrqEvent{devIns, pciDev, irq, level});
  Device* d = deviceOf(devIns);
  if (traceOn())
    traceLine("module -> host: interrupt of " + d->name() + " (INT" + static_cast<char>('A' + irq) +
              ") " + std::to_string(d->irqLevel) + " -> " + std::to_string(level));
  d->irqLevel = level;
}

} // namespace pdmhost
