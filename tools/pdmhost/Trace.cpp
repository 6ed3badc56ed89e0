#include "tools/pdmhost/Trace.h"

#include "tools/pdmhost/Run.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

void note(size_t entry, const char* callback, uint64_t where, uint32_t size) {
  std::lock_guard<std::recursive_mutex> guard(tracing->lock);
  tracing->reached.push_back(CallbackCall{entry, callback, where, size});
}

std::string format(const char* f, ...) {
  char text[512];
  va_list args;
  va_start(args, f);
  std::vsnprintf(text, sizeof text, f, args);
  va_end(args);
  return text;
}

template <size_t I> int32_t serialRead(uint16_t port, uint32_t* value, uint32_t size) {
  note(I, "serialReadFn", port, size);
  traceCall(format("module -> VM manager: serialReadFn(%s port 0x%x, size %u)",
                   traced[I].name.c_str(), port, size));
  const int32_t rc = traced[I].real.serialRead(port, value, size);
  traceReturn(format("= %d, value 0x%x", rc, *value));
  return rc;
}
template <size_t I> int32_t serialWrite(uint16_t port, uint32_t value, uint32_t size) {
  note(I, "serialWriteFn", port, size);
  traceCall(format("module -> VM manager: serialWriteFn(%s port 0x%x, value 0x%x, size %u)",
                   traced[I].name.c_str(), port, value, size));
  const int32_t rc = traced[I].real.serialWrite(port, value, size);
  traceReturn(format("= %d", rc));
  return rc;
}
template <size_t I> int32_t pciRead(uint64_t offset, void* buffer, uint32_t size) {
  note(I, "pciReadFn", offset, size);
  traceCall(format("module -> VM manager: pciReadFn(%s offset 0x%" PRIx64 ", size %u)",
                   traced[I].name.c_str(), offset, size));
  const int32_t rc = traced[I].real.pciRead(offset, buffer, size);
  traceReturn(format("= %d, value 0x%" PRIx64, rc, loadBytes(buffer, size)));
  return rc;
}
template <size_t I> int32_t pciWrite(uint64_t offset, const void* buffer, uint32_t size) {
  note(I, "pciWriteFn", offset, size);
  traceCall(format("module -> VM manager: pciWriteFn(%s offset 0x%" PRIx64 ", value 0x%" PRIx64
                   ", size %u)",
                   traced[I].name.c_str(), offset, loadBytes(buffer, size), size));
  const int32_t rc = traced[I].real.pciWrite(offset, buffer, size);
  traceReturn(format("= %d", rc));
  return rc;
}

template <size_t... I> constexpr auto stamp(std::index_sequence<I...>) {
  return std::array<Callbacks, sizeof...(I)>{
      Callbacks{serialRead<I>, serialWrite<I>, pciRead<I>, pciWrite<I>}...};
}
constexpr auto forwarders = stamp(std::make_index_sequence<PDMHOST_MAX_TRACED>());

void setIrqForwarder(void* devIns, int32_t level) {
  std::string name = "?";
  if (tracedList)
    for (auto* e = static_cast<VmmgrDeviceDesc*>(tracedList->begin); e != tracedList->end; ++e)
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

void traceLine(const std::string& text) {
  if (!tracing)
    return;
  RunState& state = *tracing;
  std::lock_guard<std::recursive_mutex> guard(state.lock);
  const std::string line = std::string(2 * state.depth, ' ') + text;
  if (state.inStep) {
    state.stepTrace += "    > " + line + "\n";
    if (state.events) // a crash in the step still leaves its calls
      eventLine(state, "trace", line);
  } else if (state.options.trace) {
    std::fprintf(state.out, "    > %s\n", line.c_str());
  }
}

void traceCall(const std::string& text) {
  if (!tracing)
    return;
  std::lock_guard<std::recursive_mutex> guard(tracing->lock);
  traceLine(text);
  ++tracing->depth;
}

void traceReturn(const std::string& text) {
  if (!tracing)
    return;
  std::lock_guard<std::recursive_mutex> guard(tracing->lock);
  if (tracing->depth > 0)
    --tracing->depth;
  traceLine(text);
}

void traceTableCallbacks(VmmgrDeviceList* list) {
  tracedList = list;
  auto* entries = static_cast<VmmgrDeviceDesc*>(list->begin);
  const size_t count = static_cast<size_t>(static_cast<VmmgrDeviceDesc*>(list->end) - entries);
  for (size_t i = 0; i < count && i < PDMHOST_MAX_TRACED; ++i) {
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
