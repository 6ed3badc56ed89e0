// Every figure here is from the facts measured on each VirtualBox release (vbox-hosts.md
// beside the repository: its include/VBox/vmm/pdmdev.h, pdmpcidev.h and iom.h) or from the
// sources named beside it: PDMDevice.cpp (pdmR3DevReg_Register, pdmR3DevInit) for the record
// checks and the instance, DevPciIch9.cpp for the buses.
#include "tools/pdmhost/HostReleases.h"

#include <cstdio>

namespace pdmhost {

namespace {

using H = Helper;
constexpr int N = static_cast<int>(H::Count);

// The 248-byte record of 5.1 to 6.0: flags 0x320 are 64-bit host (0x20 of mask 0x30) and
// both guest widths (0x300); instance data up to 1 MiB in ring 3.
constexpr RecordLayout OLD_RECORD{0xffff0021u, 248, 4, 104,  112,  116,   120,   124, 128,     136,
                                  240,         0,   0, 0x30, 0x20, 0x300, 0x300, 0,   1u << 20};
// The 280-byte record of 6.1 and later: host bits 0x200 of 0x300, guest 0x3000 of 0x3000,
// the new-style flag required, shared and ring-3 instance data up to 8 MiB each.
constexpr RecordLayout NEW_RECORD{0xffff0040u, 280,    8,      72,          40,      44, 48,
                                  56,          96,     104,    272,         60,      68, 0x300,
                                  0x200,       0x3000, 0x3000, 0x80000000u, 8u << 20};

// The stand-in's instance is today's: no version word, the data at 256.
constexpr DevInsLayout STAND_IN_DEVINS{0, 48, 72, 56, 0, 256, 0, 0};
constexpr DevInsLayout OLD_DEVINS{0xffe40030u, 48, 72, 56, 0, 256, 0, 0};
// 6.1: a 320-byte header; the host allocates the PCI device (4544 bytes with no MSI-X
// state) and lists it in apPciDevs at 112.
constexpr DevInsLayout DEVINS_61{0xff820040u, 16, 48, 24, 32, 320, 4544, 112};
constexpr DevInsLayout DEVINS_70{0xff820040u, 16, 48, 24, 32, 384, 4544, 112};

// Slots of the helpers carried out, in Helper's order; -1 where the release has none.
#define OLD_SLOTS(pci)                                                                             \
  { 1, 5, 9, 12, pci, pci + 2, pci + 6, -1, -1, -1, -1, -1, -1 }
#define NEW_SLOTS(mmio, mmio2, pci, irq)                                                           \
  { -1, -1, -1, -1, -1, -1, irq, 1, 2, mmio, mmio2, pci, pci + 2 }

// What the other slots the module might reach hold in each release: every helper it calls
// in any release, and slots 45, 47 and 51 (5.1's PCI helpers).
constexpr SlotName STAND_IN_NAMES[] = {{0, nullptr}};
#define OLD_NAMES(crit, end)                                                                       \
  {1, "pfnIOPortRegister"}, {4, "pfnIOPortDeregister"}, {5, "pfnMMIORegister"},                    \
      {8, "pfnMMIODeregister"}, {9, "pfnMMIO2Register"}, {12, "pfnMMIOExMap"},                     \
      {13, "pfnMMIOExUnmap"}, {crit, "pfnCritSectGetNop"}, {crit + 3, "pfnSetDeviceCritSect"}, {   \
    end, "u32TheEnd"                                                                               \
  }
constexpr SlotName NAMES_51[] = {OLD_NAMES(59, 116),
                                 {45, "pfnPCIRegister"},
                                 {47, "pfnPCIIORegionRegister"},
                                 {51, "pfnPCISetIrq"},
                                 {0, nullptr}};
constexpr SlotName NAMES_5128[] = {OLD_NAMES(60, 117),
                                   {45, "pfnPCIRegister"},
                                   {47, "pfnPCIIORegionRegister"},
                                   {51, "pfnPCISetIrq"},
                                   {0, nullptr}};
constexpr SlotName NAMES_52[] = {OLD_NAMES(61, 119),
                                 {45, "pfnSTAMRegisterV"},
                                 {46, "pfnPCIRegister"},
                                 {47, "pfnPCIRegisterMsi"},
                                 {48, "pfnPCIIORegionRegister"},
                                 {51, "pfnPCIPhysWrite"},
                                 {52, "pfnPCISetIrq"},
                                 {0, nullptr}};
#define NEW_NAMES(mmio, mmio2, pci, irq, crit, critNext, end)                                      \
  {1, "pfnIoPortCreateEx"}, {2, "pfnIoPortMap"}, {3, "pfnIoPortUnmap"}, {mmio, "pfnMmioCreateEx"}, \
      {mmio + 1, "pfnMmioMap"}, {mmio + 2, "pfnMmioUnmap"}, {mmio2, "pfnMmio2Create"},             \
      {mmio2 + 2, "pfnMmio2Map"}, {mmio2 + 3, "pfnMmio2Unmap"}, {pci, "pfnPCIRegister"},           \
      {pci + 2, "pfnPCIIORegionRegister"}, {irq, "pfnPCISetIrq"}, {crit, "pfnCritSectGetNop"},     \
      {critNext, "pfnSetDeviceCritSect"}, {                                                        \
    end, "u32TheEnd"                                                                               \
  }
constexpr SlotName NAMES_61[] = {NEW_NAMES(5, 10, 213, 221, 254, 257, 333),
                                 {45, "pfnSSMPutMem"},
                                 {47, "pfnSSMGetStruct"},
                                 {51, "pfnSSMGetU8"},
                                 {0, nullptr}};
constexpr SlotName NAMES_6132[] = {NEW_NAMES(5, 10, 215, 223, 256, 259, 335),
                                   {45, "pfnSSMPutIOPort"},
                                   {47, "pfnSSMPutMem"},
                                   {51, "pfnSSMGetBool"},
                                   {0, nullptr}};
constexpr SlotName NAMES_70[] = {NEW_NAMES(6, 11, 230, 242, 271, 272, 387),
                                 {45, "pfnSSMPutGCPhys"},
                                 {47, "pfnSSMPutGCUIntPtr"},
                                 {51, "pfnSSMPutMem"},
                                 {0, nullptr}};
constexpr SlotName NAMES_71[] = {NEW_NAMES(7, 12, 231, 243, 272, 273, 389),
                                 {45, "pfnSSMPutGCPhys64"},
                                 {47, "pfnSSMPutGCPtr"},
                                 {51, "pfnSSMPutSel"},
                                 {0, nullptr}};
constexpr SlotName NAMES_72[] = {NEW_NAMES(7, 12, 232, 244, 273, 274, 391),
                                 {45, "pfnSSMPutGCPhys64"},
                                 {47, "pfnSSMPutGCPtr"},
                                 {51, "pfnSSMPutSel"},
                                 {0, nullptr}};

constexpr uint32_t CB = 0xffe30010u; // the registration callbacks' word, every release

const HostProfile STAND_IN{"stand-in",     0,    52, &OLD_RECORD, &STAND_IN_DEVINS, OLD_SLOTS(45),
                           STAND_IN_NAMES, false};
const HostProfile PROFILES[] = {
    {"5.1.10-5.1.26", CB, 117, &OLD_RECORD, &OLD_DEVINS, OLD_SLOTS(45), NAMES_51, true},
    {"5.1.28-5.1.34", CB, 118, &OLD_RECORD, &OLD_DEVINS, OLD_SLOTS(45), NAMES_5128, true},
    {"5.2-6.0", CB, 120, &OLD_RECORD, &OLD_DEVINS, OLD_SLOTS(46), NAMES_52, true},
    {"6.1.0-6.1.30", CB, 334, &NEW_RECORD, &DEVINS_61, NEW_SLOTS(5, 10, 213, 221), NAMES_61, true},
    {"6.1.32-6.1.40", CB, 336, &NEW_RECORD, &DEVINS_61, NEW_SLOTS(5, 10, 215, 223), NAMES_6132,
     true},
    {"7.0", CB, 388, &NEW_RECORD, &DEVINS_70, NEW_SLOTS(6, 11, 230, 242), NAMES_70, true},
    {"7.1", CB, 390, &NEW_RECORD, &DEVINS_70, NEW_SLOTS(7, 12, 231, 243), NAMES_71, true},
    {"7.2", CB, 392, &NEW_RECORD, &DEVINS_70, NEW_SLOTS(7, 12, 232, 244), NAMES_72, true},
    // A later 7.2 whose helper table has a major the module cannot know (80): every slot
    // traps, so a module that calls any helper before refusing is caught.
    {"unknown-major",
     CB,
     392,
     &NEW_RECORD,
     &DEVINS_70,
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
     STAND_IN_NAMES,
     true},
};
static_assert(sizeof PROFILES[0].slots / sizeof PROFILES[0].slots[0] == N);

// Releases by line and build: the profile and the helper table's version word.
struct Range {
  uint8_t major, minor, first, last;
  uint32_t helperVersion;
  const HostProfile* profile;
};
const Range RANGES[] = {
    {5, 1, 10, 26, 0xffe70130u, &PROFILES[0]}, {5, 1, 28, 34, 0xffe70140u, &PROFILES[1]},
    {5, 2, 0, 44, 0xffe70160u, &PROFILES[2]},  {6, 0, 0, 4, 0xffe70160u, &PROFILES[2]},
    {6, 0, 6, 24, 0xffe70162u, &PROFILES[2]},  {6, 1, 0, 22, 0xffe70290u, &PROFILES[3]},
    {6, 1, 26, 30, 0xffe70291u, &PROFILES[3]}, {6, 1, 32, 40, 0xffe702a1u, &PROFILES[4]},
    {7, 0, 0, 20, 0xffe70410u, &PROFILES[5]},  {7, 1, 0, 8, 0xffe70420u, &PROFILES[6]},
    {7, 2, 2, 2, 0xffe70430u, &PROFILES[7]},   {7, 2, 3, 3, 0xffe70500u, &PROFILES[8]},
};

HostRelease releaseOf(const Range& r, const std::string& name) {
  HostRelease release;
  release.profile = r.profile;
  release.name = name;
  release.vboxVersion = uint32_t(r.major) << 16 | r.minor;
  release.helperVersion = r.helperVersion;
  return release;
}

} // namespace

HostRelease standInRelease() {
  HostRelease release;
  release.profile = &STAND_IN;
  release.name = "stand-in";
  release.vboxVersion = 0x00010000u;
  return release;
}

bool findRelease(const std::string& name, HostRelease* release, std::string* error, bool anyBuild) {
  if (name == "stand-in") {
    *release = standInRelease();
    return true;
  }
  if (name == "unknown-major") {
    *release = releaseOf(RANGES[sizeof RANGES / sizeof RANGES[0] - 1], name);
    return true;
  }
  // "X.Y" or "X.Y.Z", decimal numbers only.
  unsigned part[3] = {0, 0, 0};
  int fields = 0;
  bool digit = false;
  for (const char c : name) {
    if (c >= '0' && c <= '9' && part[fields] < 1000) {
      part[fields] = part[fields] * 10 + unsigned(c - '0');
      digit = true;
    } else if (c == '.' && digit && fields < 2) {
      ++fields;
      digit = false;
    } else {
      fields = -1;
      break;
    }
  }
  fields = digit && fields >= 1 ? fields + 1 : 0;
  const Range* found = nullptr;
  bool split = false;
  for (const Range& r : RANGES) {
    if (r.profile == &PROFILES[8] || r.major != part[0] || r.minor != part[1])
      continue;
    if (fields == 3 && r.first <= part[2] && part[2] <= r.last)
      found = &r;
    if (fields == 2) {
      split = split || (found && found->profile != r.profile);
      found = &r; // a line stands for its latest builds
    }
  }
  if (found && (!split || anyBuild)) {
    *release = releaseOf(*found, name);
    return true;
  }
  if (split) {
    *error =
        "release " + name + " spans two helper tables: name a build; known:\n" + releaseNames();
    return false;
  }
  *error = "no release \"" + name + "\" to play; known:\n" + releaseNames();
  return false;
}

std::string releaseNames(const std::string& indent, bool virtualBoxOnly) {
  std::string text =
      virtualBoxOnly
          ? ""
          : indent + "stand-in (the default: no version magic, the module's own slots)\n";
  for (const HostProfile& p : PROFILES) {
    if (virtualBoxOnly && &p == &PROFILES[8])
      continue;
    text += indent;
    bool first = true;
    for (const Range& r : RANGES) {
      if (r.profile != &p)
        continue;
      char line[48];
      std::snprintf(line, sizeof line, "%s%u.%u.%u-%u.%u.%u", first ? "" : ", ", r.major, r.minor,
                    r.first, r.major, r.minor, r.last);
      text += &p == &PROFILES[8] ? "unknown-major (a later 7.2: its major is no module's)" : line;
      first = false;
    }
    text += "\n";
  }
  return text;
}

const char* slotName(const HostProfile& profile, int slot) {
  for (const SlotName* s = profile.names; s->name; ++s)
    if (s->slot == slot)
      return s->name;
  return "unnamed";
}

} // namespace pdmhost
