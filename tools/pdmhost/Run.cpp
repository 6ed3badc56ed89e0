// Playing a scenario: the module through the stand-in host, each step through its kind's
// run function, and a record of each, printed and told to a supervising parent.
#include "tools/pdmhost/Run.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace pdmhost {

// A record as the events carry it.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(StepRecord, number, line, op, access, ok, mismatch, note, trace)

namespace {

// The logger and the VM manager's init forwarder are plain functions without a context
// argument: the run they report to is set here before the module starts.
RunState* active = nullptr;

void writeEvent(RunState& state, const nlohmann::json& event) {
  std::fputs((event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(),
             state.events);
  std::fflush(state.events);
}

// The module logs up to debug level, so expectLog can see its lines; showLevel chooses
// what is shown.
int hostIsEnabled(int, int level) { return level <= XLOG_DEBUG; }

int hostLog(int level, int moduleId, const char* file, const char* function, int line,
            const char* format, ...) {
  char message[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::string text = message;
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  RunState& state = *active;
  std::lock_guard<std::recursive_mutex> guard(state.lock);
  state.logged.push_back(Logged{level, text});
  if (level > state.showLevel)
    return 0;
  // The module's messages often start with their function's name, which the line shows.
  const std::string named = std::string(function) + ": ";
  if (text.compare(0, named.size(), named) == 0)
    text.erase(0, named.size());
  const char* module = moduleId == XLOG_MODULE_VMMGR   ? "VMMGR"
                       : moduleId == XLOG_MODULE_XLOG  ? "XLOG"
                       : moduleId == XLOG_MODULE_XFILE ? "XFILE"
                       : moduleId == XLOG_MODULE_XSTR  ? "XSTR"
                                                       : "?";
  char out[4400];
  std::snprintf(out, sizeof out, "%c %-5s %s:%d %s: %s",
                "EWIDV?"[level >= 0 && level < 5 ? level : 5], module, file, line, function,
                text.c_str());
  if (state.options.trace || state.inStep)
    traceLine(std::string("module log: ") + out);
  // In a step of a quiet run the line shows in the step's trace, if it mismatches. A fatal
  // check ends the process right after its line: the line must be out by then.
  if (!state.options.trace && !(state.inStep && state.options.quiet)) {
    std::fprintf(state.out, "    | %s\n", out);
    std::fflush(state.out);
  }
  return 0;
}

const XlogLogger hostLogger = {hostIsEnabled, hostLog};

// The logger pdmhost hands over (none with --own-logger).
const XlogLogger* useLogger(RunState& state) {
  active = &state;
  traceAttach(&state);
  // Quiet keeps the module's error lines: of the set-up (a fatal check's among them) and
  // of the steps that mismatch.
  state.showLevel = state.options.quiet ? XLOG_ERROR : state.options.logLevel;
  return state.options.ownLogger ? nullptr : &hostLogger;
}

// The module's init, traced, its table's callbacks and interrupt function put behind the
// trace's forwarders.
int32_t tracedInit(VmmgrVboxPdmInitFn init, const XlogLogger* logger, VmmgrDeviceList* devices,
                   VmmgrSetIrqFn* setIrqOut) {
  if (devices)
    traceTableCallbacks(devices);
  traceCall("VM manager -> module: vmmgrVboxPdmInit");
  const int32_t rc = init(logger, devices, setIrqOut);
  traceReturn("= " + std::to_string(rc));
  if (setIrqOut)
    *setIrqOut = traceSetIrq(*setIrqOut);
  return rc;
}

// What the VM manager library's call of init is forwarded through: a note of what the
// library handed the module and got back.
int32_t forwardInit(const XlogLogger* logger, VmmgrDeviceList* devices, VmmgrSetIrqFn* setIrqOut) {
  VmManagerTable* noted = active->table;
  ++noted->calls;
  noted->list = devices;
  noted->logger = logger;
  noted->initStatus = tracedInit(active->moduleInit, logger, devices, setIrqOut);
  noted->setIrq = setIrqOut ? *setIrqOut : nullptr;
  return noted->initStatus;
}

const char* loggerName(const XlogLogger* logger) {
  return logger == &hostLogger ? "pdmhost's logger"
         : logger              ? "its own logger"
                               : "no logger: the module logs with its own";
}

size_t tableSize(const VmmgrDeviceList& list) {
  return static_cast<size_t>(static_cast<VmmgrDeviceDesc*>(list.end) -
                             static_cast<VmmgrDeviceDesc*>(list.begin));
}

void printConstruction(Vm& vm, size_t i, int32_t rc, std::FILE* out) {
  const Device& d = vm.host.devices()[i];
  std::fprintf(out, "construct: %s -> %s\n", d.name().c_str(), hostStatusText(rc).c_str());
  for (const PortRange& p : vm.host.portRanges())
    if (p.devIns == d.devIns)
      std::fprintf(out, "  ports 0x%04x-0x%04x\n", p.first, p.first + p.count - 1);
  if (!d.isPci())
    return;
  const uint8_t* cfg = d.config();
  std::fprintf(out,
               "  PCI %04x:%04x rev %02x class %02x%02x%02x, command 0x%04x status 0x%04x, INT%c\n",
               configRead16(cfg, 0), configRead16(cfg, 2), cfg[8], cfg[0xB], cfg[0xA], cfg[9],
               configRead16(cfg, 4), configRead16(cfg, 6), 'A' + cfg[0x3D] - 1);
  const auto* records = static_cast<VmmgrRegionDesc*>(vm.entry(i).regions.begin);
  for (const PciRegion& r : d.regions)
    std::fprintf(out, "  region %u: %s, %" PRIu64 " bytes\n", r.region,
                 records[r.region].isMmio ? "MMIO" : "shared memory", r.size);
}

// Registration, construction and placement; the status of the first refusal (with what
// was refused in *why), or 0.
int32_t setUp(const Scenario& scenario, const ModuleEntries& module, Vm& vm, RunState& state,
              std::string* why) {
  std::FILE* out = state.options.quiet ? nullptr : state.out;
  traceCall("host -> module: VBoxDevicesRegister");
  const int32_t regRc = module.registerDevices(vm.host.callbacks(), vm.host.release().vboxVersion);
  traceReturn("= " + hostStatusText(regRc));
  if (out)
    std::fprintf(out, "register: VBoxDevicesRegister -> %s, %zu devices received\n",
                 hostStatusText(regRc).c_str(), vm.host.devices().size());
  for (const Device& d : vm.host.devices())
    if (out)
      std::fprintf(out, "  %-31s %-6s instance %3u bytes  flags 0x%x  class 0x%08x  \"%s\"\n",
                   d.name().c_str(),
                   d.copy.instanceSize == VMMGR_PCI_INSTANCE_SIZE ? "PCI" : "serial",
                   d.copy.instanceSize, d.copy.flags, d.copy.deviceClass, d.copy.description);
  if (regRc < 0 || vm.setIrq == nullptr) {
    *why = "registration -> " + hostStatusText(regRc);
    return regRc < 0 ? regRc : PDMHOST_ERR_INVALID;
  }
  for (size_t i = 0; i < vm.host.devices().size(); ++i) {
    const int32_t rc = vm.host.construct(i);
    if (out)
      printConstruction(vm, i, rc, out);
    if (rc < 0) {
      *why = "construction of " + vm.host.devices()[i].name() + " -> " + hostStatusText(rc);
      return rc;
    }
  }
  const int32_t placeRc = vm.host.placeAllRegions(scenario.placementBase);
  for (const Device& d : vm.host.devices())
    for (const PciRegion& r : d.regions)
      if (out)
        std::fprintf(out, "place: %s region %u at 0x%08" PRIx64 " (%" PRIu64 " bytes)\n",
                     d.name().c_str(), r.region, r.gcPhys, r.size);
  if (placeRc < 0)
    *why = "placing regions -> " + hostStatusText(placeRc);
  return placeRc;
}

// One step: its start told to a supervising parent, its kind's run, its record.
void play(const Scenario& scenario, size_t i, Vm& vm, RunState& state, RunResult& result) {
  const ScenarioStep& s = scenario.steps[i];
  StepRecord record{i + 1, s.line, s.kind->name, s.kind->name, true, "", s.note, ""};
  {
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    if (state.events)
      writeEvent(state, {{"start", record}});
    state.inStep = true;
  }
  StepRun run(scenario, vm, state);
  s.kind->run(s, run);
  {
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    state.inStep = false;
    record.trace = std::exchange(state.stepTrace, {});
  }
  record.access = run.line.empty() ? s.kind->name : run.line;
  record.ok = run.ok;
  record.mismatch = run.detail;
  printRecord(state, record);
  ++result.steps;
  result.mismatches += !record.ok;
  result.records.push_back(std::move(record));
}

} // namespace

const std::string& StepRun::name(const ScenarioStep& s) const {
  static const std::string none;
  return s.deviceLine || s.device < scenario.devices.size() ? scenario.devices[s.device].name
                                                            : none;
}

// Devices are registered and constructed in table order, so index i is device i.
Device* StepRun::device(const ScenarioStep& s) {
  std::deque<Device>& devices = vm.host.devices();
  if (s.device < devices.size() && devices[s.device].constructed)
    return &devices[s.device];
  mismatch("no constructed device \"" + name(s) + "\"");
  return nullptr;
}

void StepRun::mismatch(const std::string& why) {
  ok = false;
  detail += detail.empty() ? why : "; " + why;
}

void StepRun::status(int32_t rc, const Outcome& expected, int32_t own) {
  line += "  [status " + hostStatusText(rc) + "]";
  // The module gives 0, its own failure status, or passes the host's on; a guest access
  // can meet only "nothing is mapped" from the host.
  if (expected.contract && rc != 0 && rc != own && rc != PDMHOST_ERR_UNASSIGNED)
    mismatch("status " + hostStatusText(rc) + " is outside the module's contract");
  else if (!expected.contract && rc != expected.status)
    mismatch("status " + hostStatusText(rc) + ", expected " + hostStatusText(expected.status));
}

void StepRun::value(int32_t rc, uint64_t got, const std::optional<uint64_t>& expect,
                    const Outcome& expected) {
  if (rc == (expected.contract ? 0 : expected.status) && expect && got != *expect)
    mismatch("value " + hexText(got) + ", expected " + hexText(*expect));
}

void eventLine(RunState& state, const char* kind, const std::string& text) {
  writeEvent(state, {{kind, text}});
}

Events readEvents(const std::string& text) {
  Events out;
  RunResult& r = out.result;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const nlohmann::json e = nlohmann::json::parse(text.substr(at, end - at), nullptr, false);
    if (!e.is_object() || e.empty())
      continue;
    const std::string kind = e.begin().key();
    if (kind == "devices") {
      out.devices = std::stoul(e[kind].get<std::string>());
    } else if (kind == "start") {
      r.records.push_back(e[kind].get<StepRecord>());
      out.inStep = true;
    } else if (kind == "end" && out.inStep) {
      r.records.back() = e[kind].get<StepRecord>();
      out.inStep = false;
      ++r.steps;
      r.mismatches += !r.records.back().ok;
    } else if (kind == "trace" && out.inStep) {
      r.records.back().trace += "    > " + e[kind].get<std::string>() + "\n";
    } else if (kind == "setupFailed") {
      r.setupFailed = true;
      r.setupError = e[kind].get<std::string>();
    }
  }
  return out;
}

void printRecord(RunState& state, const StepRecord& r) {
  std::FILE* out = state.out;
  if (!r.ok) {
    std::fprintf(out, "step %zu (line %u): %s\n    MISMATCH: %s\n", r.number,
                 static_cast<unsigned>(r.line), r.access.c_str(), r.mismatch.c_str());
    if (!r.note.empty())
      std::fprintf(out, "    note: %s\n", r.note.c_str());
    // The trace holds the module's lines of the step too.
    if (!r.trace.empty())
      std::fprintf(out, "    trace:\n%s", r.trace.c_str());
  } else if (!state.options.quiet) {
    std::fprintf(out, "step %zu: %s  ok\n%s", r.number, r.access.c_str(),
                 state.options.trace ? r.trace.c_str() : "");
  }
  std::fflush(out);
  if (state.events)
    writeEvent(state, {{"end", r}});
}

bool startVmManager(VmmgrPdmHostEntryFn entry, const ModuleEntries& module, RunState& state,
                    VmManagerTable* table, std::string* error) {
  state.moduleInit = module.init;
  state.table = table;
  const int32_t rc = entry(forwardInit, useLogger(state));
  state.table = nullptr;
  if (!state.options.quiet && table->calls)
    std::fprintf(state.out,
                 "init: " VMMGR_PDMHOST_ENTRY_NAME " -> %d; it called vmmgrVboxPdmInit(%s, %zu "
                 "devices) -> %d, interrupt function %s\n",
                 static_cast<int>(rc), loggerName(table->logger), tableSize(*table->list),
                 static_cast<int>(table->initStatus), table->setIrq ? "received" : "MISSING");
  std::fflush(state.out);
  if (rc != 0)
    *error = VMMGR_PDMHOST_ENTRY_NAME " returned " + std::to_string(rc);
  else if (table->calls == 0 || table->list == nullptr)
    *error = VMMGR_PDMHOST_ENTRY_NAME " returned without calling vmmgrVboxPdmInit with a table";
  else
    return true;
  return false;
}

RunResult runScenario(const Scenario& scenario, const ModuleEntries& module, RunState& state,
                      const VmManagerTable* vmManager) {
  RunResult result;
  std::FILE* out = state.out;
  const XlogLogger* logger = useLogger(state);
  state.startRun();
  Vm vm(state.options.host);
  if (vmManager) {
    vm.list = vmManager->list;
    vm.setIrq = vmManager->setIrq;
  } else {
    vm.build(scenario.devices);
    vm.list = vm.table.list();
    const int32_t initRc = tracedInit(module.init, logger, vm.list, &vm.setIrq);
    if (!state.options.quiet)
      std::fprintf(out, "init: vmmgrVboxPdmInit(%s, %zu devices) -> %d, interrupt function %s\n",
                   loggerName(logger), vm.table.size(), static_cast<int>(initRc),
                   vm.setIrq ? "received" : "MISSING");
    std::fflush(out);
    vm.attach(vm.setIrq);
  }
  // failHost steps that come first refuse calls of the set-up.
  size_t next = 0;
  for (; next < scenario.steps.size() && scenario.steps[next].kind == stepKind("failHost"); ++next)
    play(scenario, next, vm, state, result);
  std::string why;
  const int32_t setupRc = setUp(scenario, module, vm, state, &why);
  if (setupRc != scenario.setupStatus) {
    result.setupFailed = true;
    result.setupError = setupRc < 0
                            ? why
                            : "the set-up succeeded; the scenario expects it refused with " +
                                  hostStatusText(scenario.setupStatus);
    std::fprintf(out, "setup failed: %s\n", result.setupError.c_str());
    if (state.events)
      eventLine(state, "setupFailed", result.setupError);
  } else {
    if (setupRc < 0 && !state.options.quiet)
      std::fprintf(out, "set-up refused as the scenario expects: %s\n", why.c_str());
    for (; next < scenario.steps.size(); ++next)
      play(scenario, next, vm, state, result);
  }
  // Each call the module made to a slot the release does not have is a failure of the run.
  for (const std::string& f : vm.host.failures())
    std::fprintf(out, "host: FAILED: the module made a %s\n", f.c_str());
  result.mismatches += static_cast<int>(vm.host.failures().size());
  std::fflush(out);
  return result;
}

} // namespace pdmhost
