// The VirtualBox releases the module serves, as data: one row per helper-table major, each
// holding what differs between releases (the record and device instance layout and the slot
// of every helper the module calls). Within a major VirtualBox only appends helpers, so a row
// serves every minor of its major. The facts come from each release's pdmdev.h, measured.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrPdmHost.h"

#include <cstddef>
#include <cstdint>

/// The registration record and device instance of one family of releases.
struct VmmgrHostLayout {
  uint32_t regVersion; ///< at both ends of the record
  uint32_t regSize;
  uint32_t regFlags;
  uint32_t devInsVersion; ///< what the host writes at offset 0 of a device instance
  uint32_t devInsHlp;     ///< offset of the helper table pointer
  uint32_t devInsReg;     ///< offset of the registration record pointer
  uint32_t devInsData;    ///< offset of the instance data, or of the pointer to it
  bool dataByPointer;
};

/// Old-style (5.1 to 6.0; also every host without VirtualBox's magic) and new-style.
inline constexpr VmmgrHostLayout VMMGR_LAYOUT_OLD = {
    VMMGR_REG_VERSION,        248,
    VMMGR_REG_FLAGS,          VMMGR_DEVINS_VERSION,
    VMMGR_DEVINS_HLP_OFFSET,  VMMGR_DEVINS_REG_OFFSET,
    VMMGR_DEVINS_DATA_OFFSET, false};
inline constexpr VmmgrHostLayout VMMGR_LAYOUT_NEW = {VMMGR_REG_VERSION_NEW,
                                                     280,
                                                     VMMGR_REG_FLAGS_NEW,
                                                     VMMGR_DEVINS_VERSION_NEW,
                                                     VMMGR_DEVINS_NEW_HLP_OFFSET,
                                                     VMMGR_DEVINS_NEW_REG_OFFSET,
                                                     VMMGR_DEVINS_NEW_DATA_POINTER_OFFSET,
                                                     true};

/// One helper-table major. Old-style rows: ioPort is IOPortRegister, mmio MMIORegister,
/// mmio2 MMIO2Register, mmio2Map MMIOExMap, ioPortMap unused (0). New-style rows: ioPort is
/// IoPortCreateEx, ioPortMap IoPortMap, mmio MmioCreateEx, mmio2 Mmio2Create, mmio2Map
/// unused (0).
struct VmmgrHostProfile {
  uint16_t major;
  const char* releases;
  const VmmgrHostLayout* layout;
  uint16_t helperSlots; ///< slots in the table, u32Version and u32TheEnd included
  uint16_t ioPort, ioPortMap, mmio, mmio2, mmio2Map;
  uint16_t pciRegister, pciIoRegionRegister, pciSetIrq;
};

// clang-format off
inline constexpr VmmgrHostProfile VMMGR_HOST_PROFILES[] = {
  // major releases                     layout             slots  port map mmio mmio2 map2 pci  region irq
  {0x13, "5.1.10-5.1.26",            &VMMGR_LAYOUT_OLD, 117,  1,   0,  5,   9,    12,  45,  47,    51},
  {0x14, "5.1.28-5.1.34",            &VMMGR_LAYOUT_OLD, 118,  1,   0,  5,   9,    12,  45,  47,    51},
  {0x16, "5.2.0-6.0.24",             &VMMGR_LAYOUT_OLD, 120,  1,   0,  5,   9,    12,  46,  48,    52},
  {0x29, "6.1.0-6.1.30",             &VMMGR_LAYOUT_NEW, 334,  1,   2,  5,   10,   0,   213, 215,   221},
  {0x2a, "6.1.32-6.1.40",            &VMMGR_LAYOUT_NEW, 336,  1,   2,  5,   10,   0,   215, 217,   223},
  {0x41, "7.0.0-7.0.20",             &VMMGR_LAYOUT_NEW, 388,  1,   2,  6,   11,   0,   230, 232,   242},
  {0x42, "7.1.0-7.1.8",              &VMMGR_LAYOUT_NEW, 390,  1,   2,  7,   12,   0,   231, 233,   243},
  {0x43, "7.2.2",                    &VMMGR_LAYOUT_NEW, 392,  1,   2,  7,   12,   0,   232, 234,   244},
};
// clang-format on
constexpr size_t VMMGR_HOST_PROFILE_COUNT =
    sizeof VMMGR_HOST_PROFILES / sizeof *VMMGR_HOST_PROFILES;

/// The profile a host without VirtualBox's magic (a stand-in) gets: the 5.1.10 layout and
/// slots, exactly the contract of VmmgrPdmDevHlp.
inline constexpr const VmmgrHostProfile& VMMGR_STAND_IN_PROFILE = VMMGR_HOST_PROFILES[0];

/// The helper table's version word split: magic (high half) and major (bits 4 to 15).
constexpr uint32_t vmmgrHelperMagic(uint32_t version) { return version >> 16; }
constexpr uint16_t vmmgrHelperMajor(uint32_t version) {
  return static_cast<uint16_t>((version >> 4) & 0xFFFu);
}

/// VBOX_VERSION values (major << 16 | minor) whose hosts take only the new-style record.
inline constexpr uint32_t VMMGR_NEW_STYLE_VERSIONS[] = {0x00060001u, 0x00070000u, 0x00070001u,
                                                        0x00070002u};

// The stand-in profile is the old contract's, slot for slot.
static_assert(VMMGR_STAND_IN_PROFILE.ioPort * 8 == offsetof(VmmgrPdmDevHlp, pfnIoPortRegister) &&
              VMMGR_STAND_IN_PROFILE.mmio * 8 == offsetof(VmmgrPdmDevHlp, pfnMmioRegister) &&
              VMMGR_STAND_IN_PROFILE.mmio2 * 8 == offsetof(VmmgrPdmDevHlp, pfnMmio2Register) &&
              VMMGR_STAND_IN_PROFILE.mmio2Map * 8 == offsetof(VmmgrPdmDevHlp, pfnMmio2Map) &&
              VMMGR_STAND_IN_PROFILE.pciRegister * 8 == offsetof(VmmgrPdmDevHlp, pfnPciRegister) &&
              VMMGR_STAND_IN_PROFILE.pciIoRegionRegister * 8 ==
                  offsetof(VmmgrPdmDevHlp, pfnPciIoRegionRegister) &&
              VMMGR_STAND_IN_PROFILE.pciSetIrq * 8 == offsetof(VmmgrPdmDevHlp, pfnPciSetIrq));
// Every helper the module calls lies inside its release's table.
constexpr bool vmmgrSlotsInside(const VmmgrHostProfile& p) {
  return p.ioPort < p.helperSlots && p.ioPortMap < p.helperSlots && p.mmio < p.helperSlots &&
         p.mmio2 < p.helperSlots && p.mmio2Map < p.helperSlots && p.pciRegister < p.helperSlots &&
         p.pciIoRegionRegister < p.helperSlots && p.pciSetIrq < p.helperSlots;
}
static_assert(vmmgrSlotsInside(VMMGR_HOST_PROFILES[0]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[1]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[2]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[3]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[4]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[5]) &&
              vmmgrSlotsInside(VMMGR_HOST_PROFILES[6]) && vmmgrSlotsInside(VMMGR_HOST_PROFILES[7]));
static_assert(vmmgrHelperMagic(0xFFE70162u) == VMMGR_DEVHLP_MAGIC &&
              vmmgrHelperMajor(0xFFE70162u) == 0x16 && vmmgrHelperMajor(0xFFE702A1u) == 0x2a);
