// The guest side of the host: placing PCI regions as a bus does, and dispatching guest port
// and memory accesses as the release's IOM does.
#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <algorithm>
#include <cstring>

namespace pdmhost {

namespace {

// IOM's access modes of an MMIO range (iom.h): the module passes READ_DWORD | WRITE_ONLY_DWORD.
constexpr uint32_t IOM_READ_MODE = 0x7, IOM_READ_DWORD = 0x1;
constexpr uint32_t IOM_WRITE_MODE = 0x70, IOM_WRITE_ONLY_DWORD = 0x50;

// False when the aligned value does not fit in 64 bits.
bool alignUp(uint64_t value, uint64_t align, uint64_t* out) {
  if (value > UINT64_MAX - (align - 1))
    return false;
  *out = (value + align - 1) / align * align;
  return true;
}

// The port a range's callbacks receive: new-style ranges without the absolute flag count
// from their first port.
uint16_t at(const PortRange& r, uint16_t port) {
  return r.relative ? uint16_t(port - r.first) : port;
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
    int32_t rc = PDMHOST_OK;
    if (r.handleKind) {
      rc = mapHandle(d, r, gcPhys);
    } else {
      if (traceOn())
        traceCall("host -> module: map " + d.name() + " region " + std::to_string(region) + " at " +
                  hexText(gcPhys));
      rc = r.map(d.devIns, d.pciDev, region, gcPhys, r.size, r.type);
      if (traceOn())
        traceReturn("= " + hostStatusText(rc));
    }
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
      // VirtualBox's buses first tell the device, with the "no address" value; they ignore
      // the answer (DevPciIch9.cpp, DevPCI.cpp).
      if (release_.profile->likeVirtualBox && r.map) {
        if (traceOn())
          traceCall("host -> module: unmap " + d.name() + " region " + std::to_string(r.region) +
                    " (map at NIL_RTGCPHYS)");
        const int32_t rc = r.map(d.devIns, d.pciDev, r.region, UINT64_MAX, r.size, r.type);
        if (traceOn())
          traceReturn("= " + hostStatusText(rc));
      }
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
        return r.in(r.devIns, r.user, at(r, port), value, size);
      traceCall("host -> module: port in " + hexText(port) + " size " + std::to_string(size) +
                " (" + deviceOf(r.devIns)->name() + ")");
      const int32_t rc = r.in(r.devIns, r.user, at(r, port), value, size);
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
        return r.out(r.devIns, r.user, at(r, port), value, size);
      traceCall("host -> module: port out " + hexText(port) + " value " + hexText(value) +
                " size " + std::to_string(size) + " (" + deviceOf(r.devIns)->name() + ")");
      const int32_t rc = r.out(r.devIns, r.user, at(r, port), value, size);
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

// One call of an MMIO range's callback, with the address as the release gives it.
int32_t Host::mmioAccess(const MmioRange& r, uint64_t base, uint64_t gcPhys, void* buffer,
                         uint32_t size, bool write) {
  // New-style ranges take offsets into the region.
  if (r.relative)
    gcPhys -= base;
  if (!traceOn())
    return write ? r.write(r.devIns, r.user, gcPhys, buffer, size)
                 : r.read(r.devIns, r.user, gcPhys, buffer, size);
  uint64_t value = 0;
  const std::string where =
      " (" + deviceOf(r.devIns)->name() + " +" + hexText(r.relative ? gcPhys : gcPhys - base) + ")";
  if (write) {
    std::memcpy(&value, buffer, size);
    traceCall("host -> module: MMIO write " + hexText(gcPhys) + " value " + hexText(value) +
              " size " + std::to_string(size) + where);
    const int32_t rc = r.write(r.devIns, r.user, gcPhys, buffer, size);
    traceReturn("= " + hostStatusText(rc));
    return rc;
  }
  traceCall("host -> module: MMIO read " + hexText(gcPhys) + " size " + std::to_string(size) +
            where);
  const int32_t rc = r.read(r.devIns, r.user, gcPhys, buffer, size);
  std::memcpy(&value, buffer, size);
  traceReturn("= " + hostStatusText(rc) + ", value " + hexText(value));
  return rc;
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
    const MmioRange& r = *m->mmio;
    // Up to 6.0 IOM passes an aligned qword read whole (IOMAllMMIO.cpp); from 6.1 only in
    // the dword-and-qword mode (IOMAllMmioNew.cpp).
    const bool qwordWhole = size == 8 && !(gcPhys & 7) && !release_.profile->devIns->pciDevs;
    if (!release_.profile->likeVirtualBox || (r.flags & IOM_READ_MODE) != IOM_READ_DWORD ||
        (size == 4 && !(gcPhys & 3)) || qwordWhole)
      return mmioAccess(r, base, gcPhys, buffer, size, false);
    // IOM reads every aligned dword the access touches and hands back the bytes asked for.
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint64_t at = gcPhys & ~uint64_t(3); at < gcPhys + size; at += 4) {
      uint8_t dword[4];
      const int32_t rc = mmioAccess(r, base, at, dword, 4, false);
      if (rc < 0)
        return rc;
      for (uint64_t k = std::max(at, gcPhys); k < std::min(at + 4, gcPhys + size); ++k)
        out[k - gcPhys] = dword[k - at];
    }
    return PDMHOST_OK;
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
    const MmioRange& r = *m->mmio;
    if (!release_.profile->likeVirtualBox || (r.flags & IOM_WRITE_MODE) != IOM_WRITE_ONLY_DWORD ||
        (size == 4 && !(gcPhys & 3)))
      return mmioAccess(r, base, gcPhys, const_cast<void*>(buffer), size, true);
    if (traceOn())
      traceLine("host: IOM drops a " + std::to_string(size) + "-byte MMIO write at " +
                hexText(gcPhys) + ": the range takes aligned dwords only");
    return PDMHOST_OK;
  }
  if (traceOn())
    traceLine("host: shared memory of " + deviceOf(m->shared->devIns)->name() + " +" +
              hexText(gcPhys - base) + " written by the guest, no call");
  std::memcpy(m->shared->memory.get() + (gcPhys - base), buffer, size);
  return PDMHOST_OK;
}

} // namespace pdmhost
