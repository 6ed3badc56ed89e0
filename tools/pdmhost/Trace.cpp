#include "tools/pdmhost/Trace.h"

#include "tools/pdmhost/Run.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

namespace pdmhost {

namespace {

// An entry's four callbacks: the VM manager's own, or the forwarders put in front of them.
struct Callbacks {
  VmmgrSerialReadFn serialRead;
  VmmgrSerialWriteFn serialWrite;
  VmmgrPciReadFn pciRead;
  VmmgrPciWriteFn pciWrite;
};
struct Traced {
  std::string name;
  Callbacks real;
};
// The forwarders are plain functions, stamped out per table entry, with no context
// argument: what they forward to is set here before the module is started and only read
// afterwards, from any thread.
Traced traced[PDMHOST_MAX_TRACED];
VmmgrDeviceList* tracedList = nullptr;
VmmgrSetIrqFn realSetIrq = nullptr;
RunState* tracing = nullptr;

std::string format(const char* f, ...) {
  char text[512];
  va_list args;
  va_start(args, f);
  std::vsnprintf(text, sizeof text, f, args);
  va_end(args);
  return text;
}

// One call of entry i's callback: noted, traced with what it carries (a write's value on
// the way in, a read's on the way back), passed on.
int32_t forward(size_t i, const char* callback, uint64_t where, uint32_t size, bool write,
                const void* value, uint32_t valueSize, const std::function<int32_t()>& call) {
  {
    std::lock_guard<std::recursive_mutex> guard(tracing->lock);
    tracing->reached.push_back(CallbackCall{i, callback, where, size});
  }
  const auto shown = [&] { return format(", value 0x%" PRIx64, loadBytes(value, valueSize)); };
  traceCall(format("module -> VM manager: %s(%s %s 0x%" PRIx64 "%s, size %u)", callback,
                   traced[i].name.c_str(), callback[0] == 's' ? "port" : "offset", where,
                   write ? shown().c_str() : "", size));
  const int32_t rc = call();
  traceReturn(format("= %d%s", rc, write ? "" : shown().c_str()));
  return rc;
}

template <size_t I> int32_t serialRead(uint16_t port, uint32_t* value, uint32_t size) {
  return forward(I, "serialReadFn", port, size, false, value, 4,
                 [&] { return traced[I].real.serialRead(port, value, size); });
}
template <size_t I> int32_t serialWrite(uint16_t port, uint32_t value, uint32_t size) {
  return forward(I, "serialWriteFn", port, size, true, &value, 4,
                 [&] { return traced[I].real.serialWrite(port, value, size); });
}
template <size_t I> int32_t pciRead(uint64_t offset, void* buffer, uint32_t size) {
  return forward(I, "pciReadFn", offset, size, false, buffer, size,
                 [&] { return traced[I].real.pciRead(offset, buffer, size); });
}
template <size_t I> int32_t pciWrite(uint64_t offset, const void* buffer, uint32_t size) {
  return forward(I, "pciWriteFn", offset, size, true, buffer, size,
                 [&] { return traced[I].real.pciWrite(offset, buffer, size); });
}

template <size_t... I> constexpr auto stamp(std::index_sequence<I...>) {
  return std::array<Callbacks, sizeof...(I)>{
      Callbacks{serialRead<I>, serialWrite<I>, pciRead<I>, pciWrite<I>}...};
}
constexpr auto forwarders = stamp(std::make_index_sequence<PDMHOST_MAX_TRACED>());

void setIrqForwarder(void* devIns, int32_t level) {
  std::string name = "?";
  for (auto* e = tracedList ? static_cast<VmmgrDeviceDesc*>(tracedList->begin) : nullptr;
       e && e != tracedList->end; ++e)
    if (e->devIns == devIns && devIns)
      name.assign(vmmgrStdStringData(e->name), e->name.size);
  traceCall(format("VM manager -> module: vmmgrVboxPdmSetIrq(%s, level %d)", name.c_str(), level));
  realSetIrq(devIns, level);
  traceReturn("= (returns nothing)");
}

} // namespace

uint64_t loadBytes(const void* p, uint32_t size) {
  uint64_t v = 0;
  std::memcpy(&v, p, size < 8 ? size : 8);
  return v;
}

void traceAttach(RunState* state) { tracing = state; }

bool traceOn() {
  if (!tracing)
    return false;
  std::lock_guard<std::recursive_mutex> guard(tracing->lock);
  return tracing->inStep || tracing->options.trace;
}

// A line at the trace's depth: a call's lines go one level deeper after it, a return's
// comes back one level first.
static void traceAt(const std::string& text, int deeper) {
  if (!tracing)
    return;
  std::lock_guard<std::recursive_mutex> guard(tracing->lock);
  tracing->depth -= deeper < 0 && tracing->depth > 0;
  const std::string line = std::string(2 * tracing->depth, ' ') + text;
  if (tracing->inStep) {
    tracing->stepTrace += "    > " + line + "\n";
    if (tracing->events) // a crash in the step still leaves its calls
      eventLine(*tracing, "trace", line);
  } else if (tracing->options.trace) {
    std::fprintf(tracing->out, "    > %s\n", line.c_str());
  }
  tracing->depth += deeper > 0;
}

void traceLine(const std::string& text) { traceAt(text, 0); }
void traceCall(const std::string& text) { traceAt(text, 1); }
void traceReturn(const std::string& text) { traceAt(text, -1); }

void traceTableCallbacks(VmmgrDeviceList* list) {
  tracedList = list;
  auto* entries = static_cast<VmmgrDeviceDesc*>(list->begin);
  for (size_t i = 0; entries + i != list->end && i < PDMHOST_MAX_TRACED; ++i) {
    VmmgrDeviceDesc& e = entries[i];
    traced[i] = Traced{std::string(vmmgrStdStringData(e.name), e.name.size),
                       {e.serialReadFn, e.serialWriteFn, e.pciReadFn, e.pciWriteFn}};
    // Only the callbacks the entry has: a missing one stays missing.
    if (e.type == VMMGR_DEVICE_SERIAL) {
      e.serialReadFn = e.serialReadFn ? forwarders[i].serialRead : nullptr;
      e.serialWriteFn = e.serialWriteFn ? forwarders[i].serialWrite : nullptr;
    } else if (e.type == VMMGR_DEVICE_PCI) {
      e.pciReadFn = e.pciReadFn ? forwarders[i].pciRead : nullptr;
      e.pciWriteFn = e.pciWriteFn ? forwarders[i].pciWrite : nullptr;
    }
  }
}

VmmgrSetIrqFn traceSetIrq(VmmgrSetIrqFn real) {
  realSetIrq = real;
  return real ? setIrqForwarder : nullptr;
}

} // namespace pdmhost
