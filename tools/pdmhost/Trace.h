// The call trace of pdmhost --trace: every call the host makes into the module, every
// callback the module makes into the VM manager and every interrupt change, in order,
// nested calls indented under the call that made them.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <string>

namespace pdmhost {

struct RunState;

/// Table entries whose callbacks can be traced (the forwarders are stamped out per entry).
constexpr size_t PDMHOST_MAX_TRACED = 512;

/// One call of a VM manager's callback, as its forwarder saw it.
struct CallbackCall {
  size_t entry;         ///< table index of the device
  const char* callback; ///< "pciWriteFn"
  uint64_t where;       ///< port or offset
  uint32_t size;
};

/// The first size bytes at p (at most 8) as a number, as an access of that size carries it.
uint64_t loadBytes(const void* p, uint32_t size);

/// The run the trace goes to (nullptr: none). The module's state is process-wide, so one
/// run plays per process; this is set before the module starts and only read afterwards.
void traceAttach(RunState* state);
/// Whether a line would go anywhere: the run's steps keep theirs, and --trace shows all.
bool traceOn();
/// A call: its line, then whatever it leads to, one level deeper, then traceReturn's line.
void traceCall(const std::string& text);
void traceReturn(const std::string& text);
/// A line at the current depth (an interrupt change, a log line of the module).
void traceLine(const std::string& text);

/// Puts a forwarder in front of each callback of the table, which notes and traces the
/// call and passes it on unchanged; and one in front of the interrupt function, returned.
void traceTableCallbacks(VmmgrDeviceList* list);
VmmgrSetIrqFn traceSetIrq(VmmgrSetIrqFn real);

} // namespace pdmhost
