#include "xpl/Xtimer.h"
#include "xpl/XtimerOs.h"

#include <dlfcn.h>
#include <sys/prctl.h>

void xtimerPinModule() {
  // Re-opening our own object with RTLD_NODELETE makes every later dlclose leave it mapped;
  // the extra reference is never released on purpose. For code linked into the executable
  // the lookup fails, which is fine: the executable is never unloaded.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&xtimerWorker), &info) == 0 || info.dli_fname == nullptr)
    return;
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

void xtimerPrepareWorker() {
  // Linux lets a timed wait end up to the thread's timer slack (50 us by default) late, so
  // that wake-ups can be merged. The worker's waits are the service's deadlines: it asks for
  // the least slack there is. Elsewhere, or where it is refused, the default stays.
#if defined(PR_SET_TIMERSLACK)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}
