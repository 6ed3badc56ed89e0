// Which profile a host gets, and the rules a real VirtualBox holds a device table to.
#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include <cstdio>
#include <cstring>

const VmmgrHostProfile* vmmgrFindProfile(uint32_t helperVersion, const VmmgrHostLayout& layout) {
  if (vmmgrHelperMagic(helperVersion) != VMMGR_DEVHLP_MAGIC)
    return &layout == &VMMGR_LAYOUT_OLD ? &VMMGR_STAND_IN_PROFILE : nullptr;
  const uint16_t major = vmmgrHelperMajor(helperVersion);
  for (const VmmgrHostProfile& p : VMMGR_HOST_PROFILES) {
    if (p.major == major && p.layout == &layout)
      return &p;
  }
  return nullptr;
}

bool vmmgrTakesNewRecord(uint32_t vboxVersion) {
  for (uint32_t v : VMMGR_NEW_STYLE_VERSIONS) {
    if (v == vboxVersion)
      return true;
  }
  return false;
}

std::string vmmgrSupportedReleases() {
  std::string text;
  for (const VmmgrHostProfile& p : VMMGR_HOST_PROFILES) {
    char row[48];
    std::snprintf(row, sizeof row, "%s0x%02x (%s)", text.empty() ? "" : ", ",
                  static_cast<unsigned>(p.major), p.releases);
    text += row;
  }
  return text;
}

namespace {

bool validNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
         c == '-' || c == '_';
}

bool sameName(const VmmgrDeviceDesc& a, const VmmgrDeviceDesc& b) {
  return a.name.size == b.name.size &&
         std::memcmp(vmmgrStdStringData(a.name), vmmgrStdStringData(b.name), a.name.size) == 0;
}

} // namespace

VmmgrRuleBroken vmmgrBrokenRule(const VmmgrDeviceDesc* first, size_t index, bool newStyle) {
  const VmmgrDeviceDesc& desc = first[index];
  const char* name = vmmgrStdStringData(desc.name);
  bool valid = desc.name.size > 0 && desc.name.size < 32;
  for (uint64_t i = 0; valid && i < desc.name.size; ++i)
    valid = validNameCharacter(name[i]);
  if (!valid)
    return {VMMGR_VERR_INVALID_DEVICE_REGISTRATION,
            "VirtualBox takes names of 1 to 31 letters, digits, spaces, '-' and '_'"};
  for (size_t i = 0; i < index; ++i) {
    if (sameName(first[i], desc))
      return {VMMGR_VERR_DEVICE_NAME_CLASH, "VirtualBox takes each name once"};
  }
  if (!newStyle)
    return {0, nullptr};
  if (desc.type == VMMGR_DEVICE_SERIAL && (desc.ioPortCount == 0 || desc.ioPortCount > 8192))
    return {VMMGR_VERR_INVALID_DEVICE_REGISTRATION,
            "VirtualBox 6.1 and later take 1 to 8192 ports per range"};
  if (desc.type != VMMGR_DEVICE_PCI)
    return {0, nullptr};
  if (desc.pciConfig[0] == 0 && desc.pciConfig[1] == 0)
    return {VMMGR_VERR_INVALID_DEVICE_REGISTRATION,
            "VirtualBox 6.1 and later take no PCI function without a vendor ID"};
  const VmmgrRegionDesc* r = static_cast<const VmmgrRegionDesc*>(desc.regions.begin);
  for (; r != static_cast<const VmmgrRegionDesc*>(desc.regions.end); ++r) {
    if (r->region > 5)
      return {VMMGR_VERR_INVALID_DEVICE_REGISTRATION,
              "VirtualBox 6.1 and later number PCI regions 0 to 5"};
  }
  return {0, nullptr};
}
