// The bridge's constructors, callbacks and instance data, for the tests that drive them
// directly. The host reaches them only through the registration records.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrPdmHost.h"
#include "vmmgr/vbox/pdm/VmmgrPdmProfiles.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <cstddef>
#include <cstdint>
#include <string>

/// VirtualBox's statuses for a registration it refuses.
constexpr int32_t VMMGR_VERR_INVALID_DEVICE_REGISTRATION = -2836;
constexpr int32_t VMMGR_VERR_DEVICE_NAME_CLASH = -2839;
/// VirtualBox's page, the unit of its shared-memory sizes.
constexpr uint64_t VMMGR_GUEST_PAGE_SIZE = 4096;

/// The profile of a helper table reached through a device instance of that layout: the
/// stand-in profile when the table lacks VirtualBox's magic and the layout is the old one;
/// null for a VirtualBox this module does not know.
const VmmgrHostProfile* vmmgrFindProfile(uint32_t helperVersion, const VmmgrHostLayout& layout);
/// Whether VBoxDevicesRegister's version argument names a release of the new-style record.
bool vmmgrTakesNewRecord(uint32_t vboxVersion);
/// The helper-table majors served and their releases, for the refusal's log line.
std::string vmmgrSupportedReleases();

/// A rule of VirtualBox's that a device of the table breaks: the status VirtualBox itself
/// would answer and the rule in words; {0, nullptr} when the device keeps them all.
struct VmmgrRuleBroken {
  int32_t status;
  const char* rule;
};
VmmgrRuleBroken vmmgrBrokenRule(const VmmgrDeviceDesc* first, size_t index, bool newStyle);

/// Instance data of a serial device (8 bytes).
struct VmmgrSerialInstance {
  VmmgrDeviceDesc* desc;
};

/// Instance data of a PCI device (680 bytes); its address is the PCI device argument.
struct VmmgrPciInstance {
  uint8_t pciDev[664]; ///< the host's PCI device; the first 256 bytes are configuration space
  VmmgrDeviceDesc* desc;
  uint64_t mmioBase; ///< base of the MMIO region mapped most recently
};

static_assert(sizeof(VmmgrSerialInstance) == VMMGR_SERIAL_INSTANCE_SIZE);
static_assert(sizeof(VmmgrPciInstance) == VMMGR_PCI_INSTANCE_SIZE);
static_assert(offsetof(VmmgrPciInstance, desc) == 664 &&
              offsetof(VmmgrPciInstance, mmioBase) == 672);

extern "C" {
int32_t VmmgrSerialConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg);
int32_t VmmgrSerialConstructNew(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg);
int32_t VmmgrSerialDestruct(VmmgrPdmDevIns* devIns);
int32_t VmmgrSerialRead(VmmgrPdmDevIns* devIns, void* user, uint16_t port, uint32_t* value,
                        uint32_t size);
int32_t VmmgrSerialWrite(VmmgrPdmDevIns* devIns, void* user, uint16_t port, uint32_t value,
                         uint32_t size);

int32_t VmmgrPciConstruct(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg);
int32_t VmmgrPciConstructNew(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg);
int32_t VmmgrPciDestruct(VmmgrPdmDevIns* devIns);
int32_t VmmgrMmioMap(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t gcPhys,
                     uint64_t size, int32_t type);
int32_t VmmgrPciMmioRead(VmmgrPdmDevIns* devIns, void* user, uint64_t gcPhys, void* buffer,
                         uint32_t size);
int32_t VmmgrPciMmioWrite(VmmgrPdmDevIns* devIns, void* user, uint64_t gcPhys, const void* buffer,
                          uint32_t size);

void vmmgrVboxPdmSetIrq(void* devIns, int32_t level);
}
