#include "xpl/Xtimer.h"
#include "xpl/XtimerOs.h"

#include <dlfcn.h>

void xtimerPinModule() {
  // Re-opening our own object with RTLD_NODELETE makes every later dlclose leave it mapped;
  // the extra reference is never released on purpose. For code linked into the executable
  // the lookup fails, which is fine: the executable is never unloaded.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&xtimerWorker), &info) == 0 || info.dli_fname == nullptr)
    return;
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}
