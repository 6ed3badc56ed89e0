#include "xpl/Xtimer.h"
#include "xpl/XtimerOs.h"

#include <windows.h>

void xtimerPinModule() {
  // A pinned module stays mapped through FreeLibrary until the process ends.
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&xtimerWorker), &module);
}

void xtimerPrepareWorker() {
  // Windows ends a timed wait on a tick of the system timer; changing its resolution would
  // bring in winmm and affect the whole process, so the worker leaves it alone.
}
