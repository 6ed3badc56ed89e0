// VirtualBox's own rules on a device table, release by release: what its device manager
// refuses at registration and what its I/O and memory managers refuse at construction.
// Pure functions of the table, so pdmhost's subcommands and the host it plays share them.
#pragma once

#include "tools/pdmhost/Scenario.h"

#include <string>
#include <vector>

namespace pdmhost {

/// A VirtualBox release the module serves, as far as its rules differ.
struct VboxRelease {
  int major = 0;
  int minor = 0;
  int patch = -1;   ///< -1 when only the family was named ("6.1")
  std::string text; ///< as named, for messages
};

/// Reads "6.1" or "6.1.40" (the families 5.1, 5.2, 6.0, 6.1, 7.0, 7.1, 7.2). False with
/// *error for anything else, a release the module does not serve included.
bool parseVboxRelease(const std::string& text, VboxRelease* release, std::string* error);

/// The releases --host accepts, for messages: "5.1 (5.1.10 to 5.1.34), 5.2, ...".
const char* vboxReleasesAccepted();

/// True from 6.1 on: the new-style device interface and its port-range limit.
bool vboxNewStyle(const VboxRelease& release);

/// Checks the table against the release's rules; one line per broken rule, naming the
/// device, the rule and the status VirtualBox answers with. Empty when the table passes.
std::vector<std::string> checkVboxRules(const std::vector<ScenarioDevice>& devices,
                                        const VboxRelease& release);

} // namespace pdmhost
