// The rules a device table meets on a real VirtualBox, as the module itself applies them:
// vbox-config refuses what the module will refuse on that release and notes what it adapts,
// by calling the module's own rule function, so the two cannot drift apart.
#pragma once

#include "tools/pdmhost/HostReleases.h"
#include "tools/pdmhost/Scenario.h"
#include "tools/pdmhost/VmTable.h"

#include <string>
#include <vector>

namespace pdmhost {

/// The VirtualBox release a name stands for, as pdmhost --host names it; a line such as 6.1
/// will do. False with *error for a name that is no VirtualBox release the module serves.
bool findVboxRelease(const std::string& name, HostRelease* release, std::string* error);

struct VboxVerdict {
  std::vector<std::string> refusals; ///< one line per device the module refuses to register
  std::vector<std::string> notes;    ///< what the module adapts to VirtualBox's rules
};

/// The table as the module holds it to the release's rules when VirtualBox registers it.
VboxVerdict checkVboxRules(const VmmgrDeviceList& list, const HostRelease& release);

/// A scenario's devices as a VM manager's table holds them: names, ports, IDs and regions.
void addScenarioDevices(const std::vector<ScenarioDevice>& devices, VmTable* table);

} // namespace pdmhost
