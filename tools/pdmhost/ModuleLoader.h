// Loads the module by path, as a VM manager does, and finds its two exports.
#pragma once

#include "tools/pdmhost/Scenario.h"
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"

#include <string>

namespace pdmhost {

/// Loads the module at path; on failure returns false with a readable reason in *error.
/// The module stays loaded for the life of the process.
bool loadModule(const std::string& path, ModuleEntries* entries, std::string* error);

/// Loads a VM manager's device library at path and finds its entry vmmgrPdmHostEntry.
bool loadVmManager(const std::string& path, VmmgrPdmHostEntryFn* entry, std::string* error);

/// The module file that sits beside the running program (the build puts them together; so
/// does the Windows installation). On Linux, when none lies beside it, the installed module
/// in the library directory next to the program's bin/ (lib/VmmgrVboxPdm.so.1).
std::string defaultModulePath();

} // namespace pdmhost
