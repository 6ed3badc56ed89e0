// Loading the module on POSIX systems: dlopen, and the module beside the program or in the
// installed library directory.
#include "tools/pdmhost/ModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace pdmhost {

bool loadModule(const std::string& path, ModuleEntries* entries, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = dlerror();
    *error = why ? why : ("dlopen(" + path + ") failed");
    return false;
  }
  entries->init = reinterpret_cast<VmmgrVboxPdmInitFn>(dlsym(module, "vmmgrVboxPdmInit"));
  entries->registerDevices =
      reinterpret_cast<VmmgrDevicesRegisterFn>(dlsym(module, "VBoxDevicesRegister"));
  if (!entries->init || !entries->registerDevices) {
    *error = path + " does not export vmmgrVboxPdmInit and VBoxDevicesRegister";
    return false;
  }
  return true;
}

bool loadVmManager(const std::string& path, VmmgrPdmHostEntryFn* entry, std::string* error) {
  // A name without a slash would be searched for in the system's directories.
  const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    *error = why ? why : ("dlopen(" + path + ") failed");
    return false;
  }
  *entry = reinterpret_cast<VmmgrPdmHostEntryFn>(dlsym(library, VMMGR_PDMHOST_ENTRY_NAME));
  if (!*entry) {
    *error = path + " does not export " VMMGR_PDMHOST_ENTRY_NAME;
    return false;
  }
  return true;
}

std::string defaultModulePath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = ".";
  if (n > 0) {
    const std::string exe(self, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    if (slash != std::string::npos)
      dir = exe.substr(0, slash);
  }
  const std::string beside = dir + "/VmmgrVboxPdm.so";
#if defined(PDMHOST_INSTALLED_MODULE)
  // An installed pdmhost: the module is in the library directory, under its soname.
  const std::string installed = dir + "/" PDMHOST_INSTALLED_MODULE;
  if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0)
    return installed;
#endif
  return beside;
}

} // namespace pdmhost
