#include "tools/pdmhost-vbox/VboxRules.h"

#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include <cinttypes>
#include <cstdio>

namespace pdmhost {

namespace {

// VirtualBox's names for the statuses the module refuses a table with (include/VBox/err.h).
const char* statusName(int32_t status) {
  return status == VMMGR_VERR_DEVICE_NAME_CLASH ? "VERR_PDM_DEVICE_NAME_CLASH"
                                                : "VERR_PDM_INVALID_DEVICE_REGISTRATION";
}

// The name as the table holds it, with any byte a terminal would not show written as \xNN.
std::string deviceLabel(const VmmgrDeviceDesc& d) {
  const char* chars = vmmgrStdStringData(d.name);
  std::string label = "device \"";
  for (uint64_t i = 0; i < d.name.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(chars[i]);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    label += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, char(c)) : std::string(escaped);
  }
  return label + "\"";
}

} // namespace

bool findVboxRelease(const std::string& name, HostRelease* release, std::string* error) {
  // The module's own answer on whether it serves the release's helper table; the stand-in
  // and unknown-major are pdmhost's test hosts.
  const auto served = [&] {
    const VmmgrHostLayout& layout =
        vmmgrTakesNewRecord(release->vboxVersion) ? VMMGR_LAYOUT_NEW : VMMGR_LAYOUT_OLD;
    return release->helperVersion != 0 && vmmgrFindProfile(release->helperVersion, layout);
  };
  if (findRelease(name, release, error, true) && served())
    return true;
  *error = "\"" + name +
           "\" is no VirtualBox release the module serves; it serves these builds (a line such "
           "as 6.1 or 7.2 will do):\n" +
           releaseNames("  ", true);
  return false;
}

VboxVerdict checkVboxRules(const VmmgrDeviceList& list, const HostRelease& release) {
  VboxVerdict verdict;
  const auto* first = static_cast<const VmmgrDeviceDesc*>(list.begin);
  const size_t count = static_cast<const VmmgrDeviceDesc*>(list.end) - first;
  const bool newStyle = vmmgrTakesNewRecord(release.vboxVersion);
  const std::string at = "VirtualBox " + release.name + ": ";
  for (size_t i = 0; i < count; ++i) {
    const VmmgrDeviceDesc& d = first[i];
    const VmmgrRuleBroken broken = vmmgrBrokenRule(first, i, newStyle);
    if (broken.rule)
      verdict.refusals.push_back(at + deviceLabel(d) + ": " + broken.rule +
                                 ": registration refused with " + std::to_string(broken.status) +
                                 " " + statusName(broken.status));
    if (d.type != VMMGR_DEVICE_PCI)
      continue;
    const auto* r = static_cast<const VmmgrRegionDesc*>(d.regions.begin);
    for (; r != static_cast<const VmmgrRegionDesc*>(d.regions.end); ++r)
      if (!r->isMmio && r->size % VMMGR_GUEST_PAGE_SIZE != 0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      " region %u: shared memory of %" PRIu64 " bytes is given %" PRIu64
                      ", whole %" PRIu64 "-byte pages as VirtualBox allocates it",
                      static_cast<unsigned>(r->region), r->size,
                      r->size + VMMGR_GUEST_PAGE_SIZE - r->size % VMMGR_GUEST_PAGE_SIZE,
                      VMMGR_GUEST_PAGE_SIZE);
        verdict.notes.push_back(at + deviceLabel(d) + line);
      }
  }
  return verdict;
}

void addScenarioDevices(const std::vector<ScenarioDevice>& devices, VmTable* table) {
  for (const ScenarioDevice& d : devices) {
    if (d.serial) {
      table->addSerial(SerialSpec{d.name, d.description, d.ioPortBase, d.ioPortCount});
      continue;
    }
    PciSpec pci;
    pci.name = d.name;
    configWrite16(pci.config, 0x00, d.vendorId);
    configWrite16(pci.config, 0x02, d.deviceId);
    for (const ScenarioRegion& r : d.regions)
      pci.regions.push_back(RegionSpec{r.region, r.mmio, r.size});
    table->addPci(pci);
  }
}

} // namespace pdmhost
