#include "xpl/XplOs.h"

#include <clocale>
#include <csignal>
#include <cstdlib>

void xplDebugBreak() {
  // SIGTRAP stops under a debugger and ends the process without one.
  std::raise(SIGTRAP);
  std::abort();
}

void xplSetUtf8Locale() {
  // C.UTF-8 exists on every glibc system; keep the user's locale when it is UTF-8 already
  // would make the module's byte classification depend on the host, so it is set outright.
  if (!std::setlocale(LC_ALL, "C.UTF-8"))
    std::setlocale(LC_ALL, "C.utf8");
}
