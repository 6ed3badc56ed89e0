#include "tools/pdmhost/PdmHost.h"

#include "tools/pdmhost/Trace.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

namespace pdmhost {

namespace {

// Host-private words inside each device instance, at an offset that lies in VirtualBox's own
// internal area in every layout (104 to 256 before 6.1, from 240 since), which no module
// reads.
struct DevInsPrivate {
  Host* host;
  Device* device;
};
constexpr size_t PRIVATE_OFFSET = 240;
static_assert(PRIVATE_OFFSET + sizeof(DevInsPrivate) <= VMMGR_DEVINS_DATA_OFFSET);

DevInsPrivate& priv(const VmmgrPdmDevIns* devIns) {
  return *reinterpret_cast<DevInsPrivate*>(
      reinterpret_cast<uint8_t*>(const_cast<VmmgrPdmDevIns*>(devIns)) + PRIVATE_OFFSET);
}

template <typename T> T get(const uint8_t* base, size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}
template <typename T> void put(uint8_t* base, size_t offset, T value) {
  std::memcpy(base + offset, &value, sizeof value);
}

// Every helper slot first holds a trap that knows its number; a call through one records a
// failure and refuses (all helpers take the device instance first).
template <int N> int32_t trapSlot(VmmgrPdmDevIns* devIns) {
  return Host::fromDevIns(devIns)->trapped(N);
}
// An array of the traps, not a fold over the slots: a fold of this many terms nests past
// what clang allows.
template <size_t... N> void fillTraps(std::vector<void*>& slots, std::index_sequence<N...>) {
  void* const traps[] = {reinterpret_cast<void*>(&trapSlot<static_cast<int>(N)>)...};
  std::copy(traps, traps + std::min(slots.size(), sizeof...(N)), slots.begin());
}
constexpr size_t MOST_SLOTS = 392;

// pdmR3IsValidName: letters, digits, space, '-' and '_'.
bool validName(const char* name, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c) && c != ' ' && c != '-' && c != '_')
      return false;
  }
  return length > 0 && length < 32;
}

// Stands for the configuration handle the host passes to constructors.
int configHandle;

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

Host::Host(const HostRelease& release) : release_(release) {
  const HostProfile& profile = *release_.profile;
  callbacks_.table.slot0 = nullptr;
  std::memcpy(&callbacks_.table.slot0, &profile.callbacksVersion, sizeof profile.callbacksVersion);
  callbacks_.host = this;
  callbacks_.table.pfnRegister = [](VmmgrPdmRegCallbacks* table,
                                    const VmmgrDeviceRegistration* reg) -> int32_t {
    return reinterpret_cast<Callbacks*>(table)->host->doRegister(reg);
  };

  hlp_.resize(profile.slotCount);
  fillTraps(hlp_, std::make_index_sequence<MOST_SLOTS>());
  for (int h = 0; h < static_cast<int>(Helper::Count); ++h)
    if (profile.slots[h] >= 0 && helperFunction(static_cast<Helper>(h)))
      hlp_[profile.slots[h]] = helperFunction(static_cast<Helper>(h));
  // The version word first and, in VirtualBox's tables, last (u32TheEnd).
  hlp_[0] = reinterpret_cast<void*>(uintptr_t(release_.helperVersion));
  if (release_.helperVersion)
    hlp_.back() = reinterpret_cast<void*>(uintptr_t(release_.helperVersion));
}

Host::~Host() = default;

void Host::injectStatus(HostOp op, int32_t status, int skip, uint64_t count) {
  if (count > 0)
    faults_[op].push_back(Fault{skip, status, count});
}

bool Host::takeFault(HostOp op, int32_t* status) {
  auto it = faults_.find(op);
  if (it == faults_.end())
    return false;
  for (auto f = it->second.begin(); f != it->second.end(); ++f) {
    if (f->skip > 0) {
      --f->skip;
      continue;
    }
    *status = f->status;
    if (--f->count == 0)
      it->second.erase(f);
    return true;
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
  Device d;
  d.record = reg;
  const int32_t rc = checkRecord(reinterpret_cast<const uint8_t*>(reg), &d);
  if (rc < 0)
    return rc;
  devices_.push_back(std::move(d));
  return status;
}

// Reads the record in the release's layout into the 248-byte view, then checks it as the
// release does: the stand-in's few checks, or pdmR3DevReg_Register's (PDMDevice.cpp), in
// its order and with its statuses.
int32_t Host::checkRecord(const uint8_t* reg, Device* d) const {
  const RecordLayout& l = *release_.profile->record;
  VmmgrDeviceRegistration& c = d->copy;
  if (l.size == sizeof c) {
    std::memcpy(&c, reg, sizeof c);
  } else {
    c.version = get<uint32_t>(reg, 0);
    std::memcpy(c.name, reg + l.name, sizeof c.name);
    c.description = get<const char*>(reg, l.description);
    c.flags = get<uint32_t>(reg, l.flags);
    c.deviceClass = get<uint32_t>(reg, l.deviceClass);
    c.maxInstances = get<uint32_t>(reg, l.maxInstances);
    c.instanceSize = get<uint32_t>(reg, l.instanceSize);
    d->instanceSizeCC = get<uint32_t>(reg, l.instanceSizeCC);
    c.construct = get<VmmgrPdmConstructFn>(reg, l.construct);
    c.destruct = get<VmmgrPdmDestructFn>(reg, l.destruct);
    c.endVersion = get<uint32_t>(reg, l.endVersion);
  }
  if (!release_.profile->likeVirtualBox)
    return c.version != l.version || c.endVersion != l.version || !c.construct ||
                   c.instanceSize == 0
               ? PDMHOST_ERR_INVALID
               : PDMHOST_OK;
  constexpr int32_t UNKNOWN_VERSION = -2835, INVALID = -2836, GUEST_BITS = -2837, HOST_BITS = -2838,
                    NAME_CLASH = -2839;
  if (c.version != l.version)
    return UNKNOWN_VERSION;
  if (!validName(c.name, strnlen(c.name, sizeof c.name)))
    return INVALID;
  if ((c.flags & l.hostBitsMask) != l.hostBitsDefault)
    return HOST_BITS;
  if (!(c.flags & l.guestBitsMask) || !c.deviceClass || c.maxInstances == 0 ||
      c.instanceSize > l.largestInstance || d->instanceSizeCC > l.largestInstance || !c.construct)
    return INVALID;
  if ((c.flags & l.guestBitsMask) != l.guestBitsDefault)
    return GUEST_BITS;
  if (c.endVersion != l.version && traceOn()) // VirtualBox only logs this one
    traceLine("host: " + d->name() + ": the record ends in " + hexText(c.endVersion) + ", not " +
              hexText(l.version) + " (accepted, as VirtualBox does)");
  if ((l.maxPciDevices && get<uint16_t>(reg, l.maxPciDevices) > 8) ||
      (c.flags & l.requiredFlags) != l.requiredFlags)
    return INVALID;
  for (const Device& other : devices_)
    if (other.name() == d->name())
      return NAME_CLASH;
  return PDMHOST_OK;
}

// The instance as the release lays it out: the header, then (from 6.1) the ring-3 data, then
// the shared data; from 6.1 the host also allocates the device's PCI devices.
int32_t Host::construct(size_t i) {
  Device& d = devices_.at(i);
  const DevInsLayout& l = *release_.profile->devIns;
  const size_t shared = d.copy.instanceSize, ring3 = l.instanceDataCC ? d.instanceSizeCC : 0;
  const size_t sharedAt = l.instanceDataCC ? (l.header + ring3 + 63) / 64 * 64 : l.header;
  const size_t pciDevs = l.pciDevs ? get<uint16_t>(reinterpret_cast<const uint8_t*>(d.record),
                                                   release_.profile->record->maxPciDevices)
                                   : 0;
  const size_t pciAt = (sharedAt + shared + 63) / 64 * 64;
  const size_t size = pciAt + pciDevs * l.pciDevSize;
  d.storage.reset(new uint8_t[size]);
  uint8_t* base = d.storage.get();
  std::memset(base, 0, size);
  std::memset(base + l.header, instanceFill_, sharedAt + shared - l.header);
  d.devIns = reinterpret_cast<VmmgrPdmDevIns*>(base);
  d.instanceData_ = base + sharedAt;
  priv(d.devIns) = DevInsPrivate{this, &d};
  put<uint32_t>(base, 0, l.version);
  put<const void*>(base, l.hlp, hlp_.data());
  put<const void*>(base, l.reg, d.record);
  put<void*>(base, l.instanceData, d.instanceData_);
  if (l.instanceDataCC)
    put<void*>(base, l.instanceDataCC, base + l.header);
  if (l.pciDevs) {
    put<uint32_t>(base, l.pciDevs - 8, l.pciDevSize); // cbPciDev
    put<uint32_t>(base, l.pciDevs - 4, uint32_t(pciDevs));
    for (size_t k = 0; k < pciDevs; ++k) {
      uint8_t* pci = base + pciAt + k * l.pciDevSize;
      put<uint32_t>(pci, 0, 0x19391118u);  // PDMPCIDEV_MAGIC
      put<uint16_t>(pci, 12, uint16_t(k)); // idxSubDev, and Int.s.idxSubDev
      put<uint16_t>(pci, 64 + 14, uint16_t(k));
      put<void*>(pci, 64, base); // Int.s.pDevInsR3
      put<void*>(base, l.pciDevs + 8 * k, pci);
    }
  }
  if (traceOn())
    traceCall("host -> module: construct " + d.name());
  d.constructStatus = d.copy.construct(d.devIns, 0, &configHandle);
  if (traceOn())
    traceReturn("= " + hostStatusText(d.constructStatus));
  d.constructed = d.constructStatus >= 0;
  return d.constructStatus;
}

int32_t Host::trapped(int slot) {
  const std::string what = "call to slot " + std::to_string(slot) + " (" +
                           slotName(*release_.profile, slot) + " in " + release_.name + ")";
  if (traceOn())
    traceLine("module -> host: " + what + ": refused with " + hostStatusText(PDMHOST_ERR_TRAP));
  std::lock_guard<std::mutex> lock(irqLock_);
  failures_.push_back(what);
  return PDMHOST_ERR_TRAP;
}

int32_t Host::constructAll() {
  for (size_t i = 0; i < devices_.size(); ++i) {
    const int32_t rc = construct(i);
    if (rc < 0)
      return rc;
  }
  return PDMHOST_OK;
}

} // namespace pdmhost
