// The module's exports reached through the link (import library on Windows, the shared
// object's soname on Linux) rather than by loading: an empty device table registers
// nothing and succeeds. Exits 1 if anything is off.
#include "tools/pdmhost/PdmHost.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <cstdio>

int main() {
  VmmgrDeviceList empty{};
  VmmgrSetIrqFn setIrq = nullptr;
  // No logger: the module logs with its own, on standard output.
  const int32_t initStatus = vmmgrVboxPdmInit(nullptr, &empty, &setIrq);
  pdmhost::Host host;
  const int32_t registerStatus = VBoxDevicesRegister(host.callbacks(), 0);
  const bool ok = initStatus == 0 && setIrq != nullptr && registerStatus == 0 &&
                  host.devices().empty();
  std::printf("linked: init %d, register %d, %zu devices: %s\n", static_cast<int>(initStatus),
              static_cast<int>(registerStatus), host.devices().size(), ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
