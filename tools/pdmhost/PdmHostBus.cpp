// The guest side of the host: placing PCI regions as a bus does, and dispatching guest port
// and memory accesses as the release's IOM does.
#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <cstring>

namespace pdmhost {

namespace {

// False when the aligned value does not fit in 64 bits.
bool alignUp(uint64_t value, uint64_t align, uint64_t* out) {
  if (value > UINT64_MAX - (align - 1))
    return false;
  *out = (value + align - 1) / align * align;
  return true;
}

} // namespace

// ---- placing regions ----

int32_t Host::placeRegion(size_t i, uint32_t region, uint64_t gcPhys) {
  Device& d = devices_.at(i);
  for (PciRegion& r : d.regions) {
    if (r.region != region)
      continue;
    if (r.placed)
      unmapRegion(d, r);
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

// As a PCI bus does before it maps a region elsewhere: the MMIO range the device registered
// at the old address goes, and shared memory is taken out of the guest's map.
void Host::unmapRegion(Device& d, PciRegion& r) {
  r.placed = false;
  for (auto& s : shared_) {
    if (s->devIns == d.devIns && s->region == r.region && s->mapped) {
      guestMap_.erase(s->gcPhys);
      s->mapped = false;
      return;
    }
  }
  auto it = guestMap_.find(r.gcPhys);
  if (it != guestMap_.end() && it->second.mmio && it->second.mmio->devIns == d.devIns)
    guestMap_.erase(it);
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
