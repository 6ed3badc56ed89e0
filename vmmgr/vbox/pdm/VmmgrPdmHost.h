// The device manager's side of the contract: the registration callback table, the
// registration record, the device instance fields and the helper table slots the module
// uses. Only the documented offsets are fixed; everything else of the host's structures is
// the host's own, represented here by reserved bytes.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct VmmgrPdmDevIns;
struct VmmgrDeviceRegistration;
struct VmmgrPdmRegCallbacks;

/// Constructor and destructor registered for each device.
typedef int32_t (*VmmgrPdmConstructFn)(VmmgrPdmDevIns* devIns, int32_t instance, void* cfg);
typedef int32_t (*VmmgrPdmDestructFn)(VmmgrPdmDevIns* devIns);

/// Registration callback table: slot 1 registers one device.
typedef int32_t (*VmmgrPdmRegisterFn)(VmmgrPdmRegCallbacks* callbacks,
                                      const VmmgrDeviceRegistration* registration);
struct VmmgrPdmRegCallbacks {
  union {
    void* slot0;      ///< the host's own
    uint32_t version; ///< VMMGR_REGCB_VERSION in a real VirtualBox
  };
  VmmgrPdmRegisterFn pfnRegister;
};

/// Version word at both ends of a registration record.
constexpr uint32_t VMMGR_REG_VERSION = 0xFFFF0021u;
constexpr uint32_t VMMGR_REG_FLAGS = 0x00000320u;
constexpr uint32_t VMMGR_REG_CLASS = 0x80000000u;
constexpr uint32_t VMMGR_SERIAL_INSTANCE_SIZE = 8;
constexpr uint32_t VMMGR_PCI_INSTANCE_SIZE = 680;

/// The host's device registration record, 248 bytes.
struct VmmgrDeviceRegistration {
  uint32_t version;
  char name[32]; ///< not terminated when the name has 32 bytes or more
  uint8_t reserved0[68];
  const char* description; ///< the table's own characters, not a copy
  uint32_t flags;
  uint32_t deviceClass;
  uint32_t maxInstances;
  uint32_t instanceSize;
  VmmgrPdmConstructFn construct;
  VmmgrPdmDestructFn destruct;
  uint8_t reserved1[96];
  uint32_t endVersion;
  uint32_t reserved2;
};

// Guest access callbacks the module registers.
typedef int32_t (*VmmgrPdmIoPortOutFn)(VmmgrPdmDevIns* devIns, void* user, uint16_t port,
                                       uint32_t value, uint32_t size);
typedef int32_t (*VmmgrPdmIoPortInFn)(VmmgrPdmDevIns* devIns, void* user, uint16_t port,
                                      uint32_t* value, uint32_t size);
typedef int32_t (*VmmgrPdmMmioWriteFn)(VmmgrPdmDevIns* devIns, void* user, uint64_t gcPhys,
                                       const void* buffer, uint32_t size);
typedef int32_t (*VmmgrPdmMmioReadFn)(VmmgrPdmDevIns* devIns, void* user, uint64_t gcPhys,
                                      void* buffer, uint32_t size);
typedef int32_t (*VmmgrPdmPciMapFn)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                    uint64_t gcPhys, uint64_t size, int32_t type);

/// Flags of an MMIO range registration and the PCI registration's fixed values.
constexpr uint32_t VMMGR_MMIO_FLAGS = 0x51u;
constexpr uint32_t VMMGR_PCI_CONFIG_INDEX = 0xFFFFFFFFu;
constexpr uint8_t VMMGR_PCI_DEVICE_NUMBER = 254;
constexpr uint8_t VMMGR_PCI_FUNCTION_NUMBER = 255;

/// The device helper table: slot n is the n-th 8-byte slot. Unused slots are the host's.
struct VmmgrPdmDevHlp {
  void* slot0;
  int32_t (*pfnIoPortRegister)(VmmgrPdmDevIns* devIns, uint16_t port, uint16_t count, void* user,
                               VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outString,
                               void* inString, const char* description); // slot 1
  void* slots2to4[3];
  int32_t (*pfnMmioRegister)(VmmgrPdmDevIns* devIns, uint64_t gcPhys, uint64_t size, void* user,
                             VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill,
                             uint32_t flags, const char* description); // slot 5
  void* slots6to8[3];
  int32_t (*pfnMmio2Register)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t size,
                              uint32_t flags, void** memory,
                              const char* description); // slot 9
  void* slots10to11[2];
  int32_t (*pfnMmio2Map)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                         uint64_t gcPhys); // slot 12
  void* slots13to44[32];
  int32_t (*pfnPciRegister)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t configIndex,
                            uint32_t flags, uint8_t device, uint8_t function,
                            const char* name); // slot 45
  void* slot46;
  int32_t (*pfnPciIoRegionRegister)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                    uint64_t size, int32_t type, VmmgrPdmPciMapFn map); // slot 47
  void* slots48to50[3];
  void (*pfnPciSetIrq)(VmmgrPdmDevIns* devIns, void* pciDev, int32_t irq, int32_t level); // slot 51
};

constexpr size_t VMMGR_DEVINS_HLP_OFFSET = 48;
constexpr size_t VMMGR_DEVINS_REG_OFFSET = 72;
constexpr size_t VMMGR_DEVINS_DATA_OFFSET = 256;

/// The fields of the host's device instance the module reads; the instance data area
/// (as large as registered) follows the header at offset 256.
struct VmmgrPdmDevIns {
  uint8_t reserved0[48];
  const VmmgrPdmDevHlp* hlp;
  uint8_t reserved1[16];
  const VmmgrDeviceRegistration* reg;
  uint8_t reserved2[176];
};

// ---- Hosts whose registration record is the new-style one (VirtualBox 6.1 and later) ----
// What differs from the layout above is declared here; which helper sits in which slot is
// per release (VmmgrPdmProfiles.h).

/// Version word of the new-style registration record, its flags (host and guest bits
/// 0x3200 with the new-style bit 0x80000000) and its size.
constexpr uint32_t VMMGR_REG_VERSION_NEW = 0xFFFF0040u;
constexpr uint32_t VMMGR_REG_FLAGS_NEW = 0x80003200u;

/// The new-style registration record, 280 bytes.
struct VmmgrDeviceRegistrationNew {
  uint32_t version;
  uint32_t reserved0;
  char name[32]; ///< not terminated when the name has 32 bytes or more
  uint32_t flags;
  uint32_t deviceClass;
  uint32_t maxInstances;
  uint32_t sharedVersion;
  uint32_t instanceSize; ///< the shared instance data: the only one a ring-3 device has
  uint32_t instanceSizeCC;
  uint32_t instanceSizeRC;
  uint16_t maxPciDevices;
  uint16_t maxMsixVectors;
  const char* description;
  const char* rcModule;
  const char* r0Module;
  VmmgrPdmConstructFn construct;
  VmmgrPdmDestructFn destruct;
  uint8_t reserved1[160];
  uint32_t endVersion;
  uint32_t reserved2;
};

/// The new-style device instance: the fields the module reads. The shared instance data is
/// reached through its pointer, since the header's size differs between releases.
constexpr size_t VMMGR_DEVINS_NEW_HLP_OFFSET = 16;
constexpr size_t VMMGR_DEVINS_NEW_DATA_POINTER_OFFSET = 24;
constexpr size_t VMMGR_DEVINS_NEW_REG_OFFSET = 48;
constexpr size_t VMMGR_DEVINS_NEW_PCI_DEVS_OFFSET = 112; ///< apPciDevs[8]
/// Device instance version words: old-style (5.1 to 6.0) and new-style.
constexpr uint32_t VMMGR_DEVINS_VERSION = 0xFFE40030u;
constexpr uint32_t VMMGR_DEVINS_VERSION_NEW = 0xFF820040u;

/// The PCI device a new-style host allocates: its configuration space and magic.
constexpr size_t VMMGR_PCIDEV_NEW_CONFIG_OFFSET = 448;
constexpr uint32_t VMMGR_PCIDEV_NEW_MAGIC = 0x19391118u;

/// Version words a real VirtualBox carries: the registration callbacks' (every release) and
/// the helper table's magic in its high half. The helper table's major is bits 4 to 15, the
/// minor bits 0 to 3.
constexpr uint32_t VMMGR_REGCB_VERSION = 0xFFE30010u;
constexpr uint32_t VMMGR_DEVHLP_MAGIC = 0xFFE7u;
constexpr int32_t VMMGR_VERR_VERSION_MISMATCH = -11;
/// The "no address" a PCI bus passes to a map callback before it unmaps a region.
constexpr uint64_t VMMGR_NIL_GCPHYS = ~uint64_t(0);

/// Flags and handles of the new-style helpers.
constexpr uint32_t VMMGR_IOPORT_F_ABS = 0x1u; ///< port callbacks get absolute port numbers
constexpr uint64_t VMMGR_NIL_HANDLE = ~uint64_t(0);
constexpr uint32_t VMMGR_PCI_REGION_F_MMIO_HANDLE = 0x2u;
constexpr uint32_t VMMGR_PCI_REGION_F_MMIO2_HANDLE = 0x3u;
constexpr uint32_t VMMGR_PCI_REGION_F_NEW_STYLE = 0x4u;
constexpr int32_t VMMGR_PCI_ADDRESS_SPACE_MEM = 0;

// New-style guest access callbacks: the MMIO ones receive offsets relative to the region
// and have the shapes of VmmgrPdmMmioWriteFn / VmmgrPdmMmioReadFn; the port ones, with
// VMMGR_IOPORT_F_ABS, absolute ports and the shapes of VmmgrPdmIoPortOutFn / InFn.

/// The new-style helpers the module calls, each at its profile's slot.
typedef int32_t (*VmmgrPdmIoPortCreateExFn)(VmmgrPdmDevIns* devIns, uint16_t count, uint32_t flags,
                                            void* pciDev, uint32_t pciRegion,
                                            VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in,
                                            void* outString, void* inString, void* user,
                                            const char* description, const void* extDescs,
                                            uint64_t* handle);
typedef int32_t (*VmmgrPdmIoPortMapFn)(VmmgrPdmDevIns* devIns, uint64_t handle, uint16_t port);
typedef int32_t (*VmmgrPdmMmioCreateExFn)(VmmgrPdmDevIns* devIns, uint64_t size, uint32_t flags,
                                          void* pciDev, uint32_t pciRegion,
                                          VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read,
                                          void* fill, void* user, const char* description,
                                          uint64_t* handle);
typedef int32_t (*VmmgrPdmMmio2CreateFn)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t pciRegion,
                                         uint64_t size, uint32_t flags, const char* description,
                                         void** mapping, uint64_t* handle);
typedef int32_t (*VmmgrPdmPciRegisterNewFn)(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t flags,
                                            uint8_t device, uint8_t function, const char* name);
typedef int32_t (*VmmgrPdmPciIoRegionRegisterNewFn)(VmmgrPdmDevIns* devIns, void* pciDev,
                                                    uint32_t region, uint64_t size, int32_t type,
                                                    uint32_t flags, uint64_t handle,
                                                    VmmgrPdmPciMapFn map);
typedef void (*VmmgrPdmPciSetIrqFn)(VmmgrPdmDevIns* devIns, void* pciDev, int32_t irq,
                                    int32_t level);

} // extern "C"

/// The instance data area of a device instance.
inline void* vmmgrDevInsData(VmmgrPdmDevIns* devIns) {
  return reinterpret_cast<uint8_t*>(devIns) + VMMGR_DEVINS_DATA_OFFSET;
}

static_assert(offsetof(VmmgrPdmRegCallbacks, pfnRegister) == 8);
static_assert(sizeof(VmmgrDeviceRegistration) == 248);
static_assert(offsetof(VmmgrDeviceRegistration, version) == 0 &&
              offsetof(VmmgrDeviceRegistration, name) == 4 &&
              offsetof(VmmgrDeviceRegistration, description) == 104 &&
              offsetof(VmmgrDeviceRegistration, flags) == 112 &&
              offsetof(VmmgrDeviceRegistration, deviceClass) == 116 &&
              offsetof(VmmgrDeviceRegistration, maxInstances) == 120 &&
              offsetof(VmmgrDeviceRegistration, instanceSize) == 124 &&
              offsetof(VmmgrDeviceRegistration, construct) == 128 &&
              offsetof(VmmgrDeviceRegistration, destruct) == 136 &&
              offsetof(VmmgrDeviceRegistration, endVersion) == 240);
static_assert(offsetof(VmmgrPdmDevHlp, pfnIoPortRegister) == 1 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnMmioRegister) == 5 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnMmio2Register) == 9 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnMmio2Map) == 12 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnPciRegister) == 45 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnPciIoRegionRegister) == 47 * 8 &&
              offsetof(VmmgrPdmDevHlp, pfnPciSetIrq) == 51 * 8);
static_assert(sizeof(VmmgrPdmDevHlp) == 52 * 8);
static_assert(offsetof(VmmgrPdmDevIns, hlp) == VMMGR_DEVINS_HLP_OFFSET &&
              offsetof(VmmgrPdmDevIns, reg) == VMMGR_DEVINS_REG_OFFSET &&
              sizeof(VmmgrPdmDevIns) == VMMGR_DEVINS_DATA_OFFSET);
static_assert(sizeof(VmmgrDeviceRegistrationNew) == 280);
static_assert(offsetof(VmmgrDeviceRegistrationNew, version) == 0 &&
              offsetof(VmmgrDeviceRegistrationNew, name) == 8 &&
              offsetof(VmmgrDeviceRegistrationNew, flags) == 40 &&
              offsetof(VmmgrDeviceRegistrationNew, deviceClass) == 44 &&
              offsetof(VmmgrDeviceRegistrationNew, maxInstances) == 48 &&
              offsetof(VmmgrDeviceRegistrationNew, sharedVersion) == 52 &&
              offsetof(VmmgrDeviceRegistrationNew, instanceSize) == 56 &&
              offsetof(VmmgrDeviceRegistrationNew, instanceSizeCC) == 60 &&
              offsetof(VmmgrDeviceRegistrationNew, instanceSizeRC) == 64 &&
              offsetof(VmmgrDeviceRegistrationNew, maxPciDevices) == 68 &&
              offsetof(VmmgrDeviceRegistrationNew, maxMsixVectors) == 70 &&
              offsetof(VmmgrDeviceRegistrationNew, description) == 72 &&
              offsetof(VmmgrDeviceRegistrationNew, rcModule) == 80 &&
              offsetof(VmmgrDeviceRegistrationNew, r0Module) == 88 &&
              offsetof(VmmgrDeviceRegistrationNew, construct) == 96 &&
              offsetof(VmmgrDeviceRegistrationNew, destruct) == 104 &&
              offsetof(VmmgrDeviceRegistrationNew, endVersion) == 272);
