#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace pdmhost {

namespace {

// Host-private words at the start of each device instance (the module never reads them).
struct DevInsPrivate {
  Host* host;
  Device* device;
};
static_assert(sizeof(DevInsPrivate) <= VMMGR_DEVINS_HLP_OFFSET);

DevInsPrivate& priv(const VmmgrPdmDevIns* devIns) {
  return *reinterpret_cast<DevInsPrivate*>(const_cast<VmmgrPdmDevIns*>(devIns));
}

template <int N> void unimplementedSlot() {
  std::fprintf(stderr,
               "pdmhost: the module called helper slot %d, which this host does not "
               "provide\n",
               N);
  std::fflush(stderr);
  std::abort();
}

template <size_t... N> void fillUnimplemented(void** slots, std::index_sequence<N...>) {
  ((slots[N] = reinterpret_cast<void*>(&unimplementedSlot<static_cast<int>(N)>)), ...);
}

// Stands for the configuration handle the host passes to constructors.
int configHandle;

// False when the aligned value does not fit in 64 bits.
bool alignUp(uint64_t value, uint64_t align, uint64_t* out) {
  if (value > UINT64_MAX - (align - 1))
    return false;
  *out = (value + align - 1) / align * align;
  return true;
}

} // namespace

const char* hostStatusName(int32_t status) {
  switch (status) {
#define PDMHOST_STATUS_CASE(name, value, meaning)                                                  \
  case value:                                                                                      \
    return #name;
    PDMHOST_STATUS_MAP(PDMHOST_STATUS_CASE)
#undef PDMHOST_STATUS_CASE
  default:
    return nullptr;
  }
}

std::string hostStatusText(int32_t status) {
  const char* name = hostStatusName(status);
  return std::to_string(status) + (name ? std::string(" ") + name : "");
}

std::string hexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

std::string Device::name() const { return std::string(copy.name, strnlen(copy.name, 32)); }

Host* Host::fromDevIns(const VmmgrPdmDevIns* devIns) { return priv(devIns).host; }

Device* Host::deviceOf(const VmmgrPdmDevIns* devIns) { return priv(devIns).device; }

Host::Host() {
  callbacks_.table.slot0 = nullptr;
  callbacks_.host = this;
  callbacks_.table.pfnRegister = [](VmmgrPdmRegCallbacks* table,
                                    const VmmgrDeviceRegistration* reg) -> int32_t {
    return reinterpret_cast<Callbacks*>(table)->host->doRegister(reg);
  };

  void* slots[sizeof(VmmgrPdmDevHlp) / sizeof(void*)];
  fillUnimplemented(slots, std::make_index_sequence<sizeof slots / sizeof slots[0]>());
  std::memcpy(&hlp_, slots, sizeof hlp_);
  hlp_.pfnIoPortRegister = [](VmmgrPdmDevIns* d, uint16_t port, uint16_t count, void* user,
                              VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                              void* inStr, const char* desc) -> int32_t {
    return fromDevIns(d)->doIoPortRegister(d, port, count, user, out, in, outStr, inStr, desc);
  };
  hlp_.pfnMmioRegister = [](VmmgrPdmDevIns* d, uint64_t gcPhys, uint64_t size, void* user,
                            VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill,
                            uint32_t flags, const char* desc) -> int32_t {
    return fromDevIns(d)->doMmioRegister(d, gcPhys, size, user, write, read, fill, flags, desc);
  };
  hlp_.pfnMmio2Register = [](VmmgrPdmDevIns* d, void* pciDev, uint32_t region, uint64_t size,
                             uint32_t flags, void** memory, const char* desc) -> int32_t {
    return fromDevIns(d)->doMmio2Register(d, pciDev, region, size, flags, memory, desc);
  };
  hlp_.pfnMmio2Map = [](VmmgrPdmDevIns* d, void* pciDev, uint32_t region,
                        uint64_t gcPhys) -> int32_t {
    return fromDevIns(d)->doMmio2Map(d, pciDev, region, gcPhys);
  };
  hlp_.pfnPciRegister = [](VmmgrPdmDevIns* d, void* pciDev, uint32_t configIndex, uint32_t flags,
                           uint8_t device, uint8_t function, const char* name) -> int32_t {
    return fromDevIns(d)->doPciRegister(d, pciDev, configIndex, flags, device, function, name);
  };
  hlp_.pfnPciIoRegionRegister = [](VmmgrPdmDevIns* d, void* pciDev, uint32_t region, uint64_t size,
                                   int32_t type, VmmgrPdmPciMapFn map) -> int32_t {
    return fromDevIns(d)->doPciIoRegionRegister(d, pciDev, region, size, type, map);
  };
  hlp_.pfnPciSetIrq = [](VmmgrPdmDevIns* d, void* pciDev, int32_t irq, int32_t level) {
    fromDevIns(d)->doPciSetIrq(d, pciDev, irq, level);
  };
}

Host::~Host() = default;

void Host::injectStatus(HostOp op, int32_t status, int skip) {
  faults_[op].push_back(Fault{skip, status});
}

bool Host::takeFault(HostOp op, int32_t* status) {
  auto it = faults_.find(op);
  if (it == faults_.end())
    return false;
  for (auto f = it->second.begin(); f != it->second.end(); ++f) {
    if (f->skip-- == 0) {
      *status = f->status;
      it->second.erase(f);
      return true;
    }
  }
  return false;
}

Device* Host::findDevice(const std::string& name) {
  for (Device& d : devices_)
    if (d.name() == name)
      return &d;
  return nullptr;
}

std::vector<IrqEvent> Host::irqEvents() const {
  std::lock_guard<std::mutex> lock(irqLock_);
  return irqEvents_;
}

// ---- the trace ----

// ---- registration and construction ----

int32_t Host::doRegister(const VmmgrDeviceRegistration* reg) {
  calls_.push_back(static_cast<int>(HostOp::Register));
  int32_t status = PDMHOST_OK;
  if (takeFault(HostOp::Register, &status) && status < 0)
    return status;
  if (reg->version != VMMGR_REG_VERSION || reg->endVersion != VMMGR_REG_VERSION ||
      !reg->construct || reg->instanceSize == 0)
    return PDMHOST_ERR_INVALID;
  Device& d = devices_.emplace_back();
  d.record = reg;
  d.copy = *reg;
  return status;
}

int32_t Host::construct(size_t i) {
  Device& d = devices_.at(i);
  const size_t size = VMMGR_DEVINS_DATA_OFFSET + d.record->instanceSize;
  d.storage.reset(new uint8_t[size]);
  std::memset(d.storage.get(), 0, VMMGR_DEVINS_DATA_OFFSET);
  std::memset(d.storage.get() + VMMGR_DEVINS_DATA_OFFSET, instanceFill_, d.record->instanceSize);
  d.devIns = reinterpret_cast<VmmgrPdmDevIns*>(d.storage.get());
  priv(d.devIns) = DevInsPrivate{this, &d};
  d.devIns->hlp = &hlp_;
  d.devIns->reg = d.record;
  if (traceOn())
    traceCall("host -> module: construct " + d.name());
  d.constructStatus = d.record->construct(d.devIns, 0, &configHandle);
  if (traceOn())
    traceReturn("= " + hostStatusText(d.constructStatus));
  d.constructed = d.constructStatus >= 0;
  return d.constructStatus;
}

int32_t Host::constructAll() {
  for (size_t i = 0; i < devices_.size(); ++i) {
    const int32_t rc = construct(i);
    if (rc < 0)
      return rc;
  }
  return PDMHOST_OK;
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

// ---- placing regions ----

int32_t Host::placeRegion(size_t i, uint32_t region, uint64_t gcPhys) {
  Device& d = devices_.at(i);
  for (PciRegion& r : d.regions) {
    if (r.region != region)
      continue;
    if (traceOn())
      traceCall("host -> module: map " + d.name() + " region " + std::to_string(region) + " at " +
                hexText(gcPhys));
    const int32_t rc = r.map(d.devIns, d.pciDev, region, gcPhys, r.size, r.type);
    if (traceOn())
      traceReturn("= " + hostStatusText(rc));
    if (rc >= 0) {
      r.placed = true;
      r.gcPhys = gcPhys;
    }
    return rc;
  }
  return PDMHOST_ERR_NOT_FOUND;
}

bool placeUpward(uint64_t* cursor, uint64_t size, uint64_t* at) {
  uint64_t align = 4096;
  while (align < size && align <= UINT64_MAX / 2)
    align <<= 1;
  if (!alignUp(*cursor, align, at) || size > UINT64_MAX - *at)
    return false;
  *cursor = *at + size;
  return true;
}

int32_t Host::placeAllRegions(uint64_t base) {
  uint64_t cursor = base;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (!devices_[i].constructed)
      continue;
    for (const PciRegion& r : std::vector<PciRegion>(devices_[i].regions)) {
      uint64_t at = 0;
      if (!placeUpward(&cursor, r.size, &at))
        return PDMHOST_ERR_INVALID;
      const int32_t rc = placeRegion(i, r.region, at);
      if (rc < 0)
        return rc;
    }
  }
  return PDMHOST_OK;
}

// ---- guest accesses ----

int32_t Host::portRead(uint16_t port, uint32_t size, uint32_t* value) {
  for (const PortRange& r : ports_) {
    if (port >= r.first && port - r.first < r.count && r.in) {
      if (!traceOn())
        return r.in(r.devIns, r.user, port, value, size);
      traceCall("host -> module: port in " + hexText(port) + " size " + std::to_string(size) +
                " (" + deviceOf(r.devIns)->name() + ")");
      const int32_t rc = r.in(r.devIns, r.user, port, value, size);
      traceReturn("= " + hostStatusText(rc) + ", value " + hexText(*value));
      return rc;
    }
  }
  if (traceOn())
    traceLine("host: port " + hexText(port) + " belongs to no device");
  *value = 0xFFFFFFFFu;
  return PDMHOST_ERR_UNASSIGNED;
}

int32_t Host::portWrite(uint16_t port, uint32_t value, uint32_t size) {
  for (const PortRange& r : ports_) {
    if (port >= r.first && port - r.first < r.count && r.out) {
      if (!traceOn())
        return r.out(r.devIns, r.user, port, value, size);
      traceCall("host -> module: port out " + hexText(port) + " value " + hexText(value) +
                " size " + std::to_string(size) + " (" + deviceOf(r.devIns)->name() + ")");
      const int32_t rc = r.out(r.devIns, r.user, port, value, size);
      traceReturn("= " + hostStatusText(rc));
      return rc;
    }
  }
  if (traceOn())
    traceLine("host: port " + hexText(port) + " belongs to no device");
  return PDMHOST_ERR_UNASSIGNED;
}

const Host::Mapping* Host::mappingAt(uint64_t gcPhys, uint32_t size, uint64_t* base) const {
  auto it = guestMap_.upper_bound(gcPhys);
  if (it == guestMap_.begin())
    return nullptr;
  --it;
  if (gcPhys - it->first >= it->second.size || size > it->second.size - (gcPhys - it->first))
    return nullptr;
  *base = it->first;
  return &it->second;
}

int32_t Host::memRead(uint64_t gcPhys, void* buffer, uint32_t size) {
  uint64_t base = 0;
  const Mapping* m = mappingAt(gcPhys, size, &base);
  if (!m) {
    if (traceOn())
      traceLine("host: nothing is mapped at " + hexText(gcPhys) + " size " + std::to_string(size));
    std::memset(buffer, 0xFF, size);
    return PDMHOST_ERR_UNASSIGNED;
  }
  if (m->mmio) {
    if (!traceOn())
      return m->mmio->read(m->mmio->devIns, m->mmio->user, gcPhys, buffer, size);
    traceCall("host -> module: MMIO read " + hexText(gcPhys) + " size " + std::to_string(size) +
              " (" + deviceOf(m->mmio->devIns)->name() + " +" + hexText(gcPhys - base) + ")");
    const int32_t rc = m->mmio->read(m->mmio->devIns, m->mmio->user, gcPhys, buffer, size);
    uint64_t value = 0;
    std::memcpy(&value, buffer, size);
    traceReturn("= " + hostStatusText(rc) + ", value " + hexText(value));
    return rc;
  }
  if (traceOn())
    traceLine("host: shared memory of " + deviceOf(m->shared->devIns)->name() + " +" +
              hexText(gcPhys - base) + " read by the guest, no call");
  std::memcpy(buffer, m->shared->memory.get() + (gcPhys - base), size);
  return PDMHOST_OK;
}

int32_t Host::memWrite(uint64_t gcPhys, const void* buffer, uint32_t size) {
  uint64_t base = 0;
  const Mapping* m = mappingAt(gcPhys, size, &base);
  if (!m) {
    if (traceOn())
      traceLine("host: nothing is mapped at " + hexText(gcPhys) + " size " + std::to_string(size));
    return PDMHOST_ERR_UNASSIGNED;
  }
  if (m->mmio) {
    if (!traceOn())
      return m->mmio->write(m->mmio->devIns, m->mmio->user, gcPhys, buffer, size);
    uint64_t value = 0;
    std::memcpy(&value, buffer, size);
    traceCall("host -> module: MMIO write " + hexText(gcPhys) + " value " + hexText(value) +
              " size " + std::to_string(size) + " (" + deviceOf(m->mmio->devIns)->name() + " +" +
              hexText(gcPhys - base) + ")");
    const int32_t rc = m->mmio->write(m->mmio->devIns, m->mmio->user, gcPhys, buffer, size);
    traceReturn("= " + hostStatusText(rc));
    return rc;
  }
  if (traceOn())
    traceLine("host: shared memory of " + deviceOf(m->shared->devIns)->name() + " +" +
              hexText(gcPhys - base) + " written by the guest, no call");
  std::memcpy(m->shared->memory.get() + (gcPhys - base), buffer, size);
  return PDMHOST_OK;
}

} // namespace pdmhost
