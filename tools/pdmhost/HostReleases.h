// The releases of the device manager pdmhost can play, as data: what a module sees of each
// (the version words, the registration record it accepts, the device instance it gets and
// the slot of every helper it may call). Written from the measured facts of each release,
// not from the module's own table, so a wrong slot in the module meets a trap here.
#pragma once

#include <cstdint>
#include <string>

namespace pdmhost {

/// The helpers the host carries out; every other slot of a release's table is a trap.
enum class Helper : uint8_t {
  IoPortRegister,      ///< old style: ports with callbacks, absolute port numbers
  MmioRegister,        ///< old style: an MMIO range at a guest address, absolute addresses
  Mmio2Register,       ///< old style: shared memory of a PCI region
  Mmio2Map,            ///< old style: maps shared memory (the bus's map callback calls it)
  PciRegister,         ///< old style: the device's own PCI device
  PciIoRegionRegister, ///< old style: a BAR with a map callback
  PciSetIrq,
  IoPortCreateEx, ///< new style: a port handle, relative ports
  IoPortMap,
  MmioCreateEx, ///< new style: an MMIO handle, offsets relative to the region
  Mmio2Create,
  NewPciRegister,         ///< new style: the PCI device the host allocated
  NewPciIoRegionRegister, ///< new style: a BAR tied to a handle
  Count
};

/// Where a registration record keeps what the host reads (byte offsets).
struct RecordLayout {
  uint32_t version; ///< at both ends
  uint16_t size, name, description, flags, deviceClass, maxInstances, instanceSize, construct,
      destruct, endVersion;
  uint16_t instanceSizeCC; ///< 0: the layout has one instance size
  uint16_t maxPciDevices;  ///< 0: no such field
  uint32_t hostBitsMask, hostBitsDefault, guestBitsMask, guestBitsDefault;
  uint32_t requiredFlags; ///< flags without which the record is refused
  uint32_t largestInstance;
};

/// Where a device instance keeps what the module reads (byte offsets).
struct DevInsLayout {
  uint32_t version;
  uint16_t hlp, reg, instanceData, instanceDataCC; ///< instanceDataCC 0: none
  uint16_t header;                                 ///< the instance data follows
  uint16_t pciDevSize, pciDevs;                    ///< 0: the device brings its own
};

struct SlotName {
  int16_t slot;
  const char* name;
};

/// One helper table layout and the releases that carry it.
struct HostProfile {
  const char* name;          ///< "5.1.10-5.1.26"
  uint32_t callbacksVersion; ///< the registration callbacks' word: 0 for a stand-in
  uint16_t slotCount;
  const RecordLayout* record;
  const DevInsLayout* devIns;
  int16_t slots[static_cast<int>(Helper::Count)]; ///< -1: not in this release
  const SlotName* names;                          ///< what traps name, ending in {0, nullptr}
  bool likeVirtualBox; ///< IOM's access widths and the buses' unmap call, as the real one does
};

/// A release as a host plays it: its profile and the version words it shows.
struct HostRelease {
  const HostProfile* profile = nullptr;
  std::string name;           ///< as asked for: "6.1.40", "7.0", "stand-in"
  uint32_t vboxVersion = 0;   ///< passed to VBoxDevicesRegister
  uint32_t helperVersion = 0; ///< the helper table's first and last word; 0 for a stand-in

  int slot(Helper h) const { return profile->slots[static_cast<int>(h)]; }
};

/// The host pdmhost plays by default: no version magic, today's slots (see docs/pdmhost.md).
HostRelease standInRelease();
/// The release a name stands for ("5.1.22", "6.0", "7.2.2", "stand-in", "unknown-major"):
/// false with *error saying which names are known. A line ("6.1") stands for its latest
/// builds; where its builds span two helper tables it is refused unless anyBuild: callers
/// whose answer follows only the line (VirtualBox's rules on a table follow VBOX_VERSION,
/// major and minor) take it.
bool findRelease(const std::string& name, HostRelease* release, std::string* error,
                 bool anyBuild = false);
/// Every name a profile answers to, one profile a line, for --help and the docs; only the
/// VirtualBox releases when virtualBoxOnly (not the stand-in nor unknown-major).
std::string releaseNames(const std::string& indent = "  ", bool virtualBoxOnly = false);
/// "pfnSSMPutMem" or "unnamed": what a slot holds in the profile's release.
const char* slotName(const HostProfile& profile, int slot);

} // namespace pdmhost
