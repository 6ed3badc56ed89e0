// Playing a scenario: the device table and models behind it, the module through the
// stand-in host, and a trace of each step.
#include "tools/pdmhost/Scenario.h"

#include "tools/pdmhost/DeviceModels.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Trace.h"
#include "tools/pdmhost/VmTable.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <regex>

namespace pdmhost {

namespace {

std::FILE* traceOut = stdout;
int traceLevel = 2;
// While a quiet run plays its steps, the module's lines wait here: they are shown with the
// step's mismatch, and dropped when the step gave what it should (a failure it expected).
std::string* heldLines = nullptr;
// With --trace the module's lines show in the trace, in their place among the calls.
bool traceHoldsLog = false;

const char* moduleName(int moduleId) {
  switch (moduleId) {
  case XLOG_MODULE_VMMGR:
    return "VMMGR";
  case XLOG_MODULE_XLOG:
    return "XLOG";
  case XLOG_MODULE_XFILE:
    return "XFILE";
  case XLOG_MODULE_XSTR:
    return "XSTR";
  default:
    return "?";
  }
}

// The sample VM manager's logger: what the module reports arrives here, the way it would
// arrive in a VM manager's own log.
// Every line the module logged through pdmhost's logger since the last expectLog.
struct Logged {
  int level;
  std::string message;
};
std::vector<Logged> logged;
bool ownLogger = false;

// The module logs up to debug level, so expectLog can see its lines; traceLevel chooses
// what is shown.
int hostIsEnabled(int, int level) { return level <= XLOG_DEBUG; }

int hostLog(int level, int moduleId, const char* file, const char* function, int line,
            const char* format, ...) {
  char message[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  size_t n = std::strlen(message);
  while (n && message[n - 1] == '\n')
    message[--n] = '\0';
  logged.push_back(Logged{level, message});
  if (level > traceLevel)
    return static_cast<int>(n);
  // The module's messages often start with their function's name, which the line shows.
  const char* text = message;
  const size_t named = std::strlen(function);
  if (std::strncmp(text, function, named) == 0 && std::strncmp(text + named, ": ", 2) == 0)
    text += named + 2;
  static const char letters[] = "EWIDV";
  char out[4400];
  const int rc = std::snprintf(out, sizeof out, "    | %c %-5s %s:%d %s: %s\n",
                               level >= 0 && level < 5 ? letters[level] : '?', moduleName(moduleId),
                               file, line, function, text);
  if (traceOn()) {
    traceLine("module log: " + std::string(out + 6, std::strlen(out) - 7));
    if (traceHoldsLog)
      return rc;
  }
  if (heldLines) {
    *heldLines += out;
    return rc;
  }
  std::fputs(out, traceOut);
  // A fatal check ends the process right after its line: the line must be out by then.
  std::fflush(traceOut);
  return rc;
}

const XlogLogger hostLogger = {hostIsEnabled, hostLog};

// Trace lines of the set-up go straight out with --trace; those of a step wait for the
// step's line (or its mismatch).
void traceStraightOut(const std::string& line) {
  std::fprintf(traceOut, "    > %s\n", line.c_str());
}

// The logger pdmhost hands over (none with --own-logger), its lines and the trace's going
// to out.
const XlogLogger* useLogger(const RunOptions& options, std::FILE* out) {
  traceOut = out;
  traceSetSink(options.trace ? traceStraightOut : std::function<void(const std::string&)>());
  traceHoldsLog = options.trace;
  ownLogger = options.ownLogger;
  // Quiet keeps the module's error lines: of the set-up (a fatal check's among them) and
  // of the steps that mismatch.
  traceLevel = options.quiet ? XLOG_ERROR : options.logLevel;
  return options.ownLogger ? nullptr : &hostLogger;
}

// What the VM manager library's call of init is forwarded through: the module's init,
// and a note of what the library handed it and got back.
VmmgrVboxPdmInitFn moduleInit = nullptr;
VmManagerTable* noted = nullptr;

int32_t forwardInit(const XlogLogger* logger, VmmgrDeviceList* devices, VmmgrSetIrqFn* setIrqOut) {
  ++noted->calls;
  noted->list = devices;
  noted->logger = logger;
  if (devices)
    traceTableCallbacks(devices);
  traceCall("VM manager -> module: vmmgrVboxPdmInit");
  noted->initStatus = moduleInit(logger, devices, setIrqOut);
  traceReturn("= " + std::to_string(noted->initStatus));
  if (setIrqOut)
    *setIrqOut = traceSetIrq(*setIrqOut);
  noted->setIrq = setIrqOut ? *setIrqOut : nullptr;
  return noted->initStatus;
}

size_t tableSize(const VmmgrDeviceList& list) {
  return static_cast<size_t>(static_cast<VmmgrDeviceDesc*>(list.end) -
                             static_cast<VmmgrDeviceDesc*>(list.begin));
}

struct Vm {
  explicit Vm(const HostRelease& release) : host(release) {}
  VmTable table;
  Host host;
  std::vector<std::unique_ptr<SerialModel>> serials;
  std::vector<std::unique_ptr<PciModel>> pcis;
  std::vector<SerialModel*> serialOf; ///< by scenario device index
  std::vector<PciModel*> pciOf;
  std::deque<void*> sharedMemoryOut; ///< one variable per shared region; addresses stay put
  VmmgrSetIrqFn setIrq = nullptr;
  VmmgrDeviceList* list = nullptr; ///< pdmhost's table, or the VM manager's own

  VmmgrDeviceDesc& entry(size_t i) { return static_cast<VmmgrDeviceDesc*>(list->begin)[i]; }

  ~Vm() { releaseModels(); }
};

void buildTable(const Scenario& scenario, Vm& vm) {
  releaseModels();
  for (const ScenarioDevice& d : scenario.devices) {
    vm.serialOf.push_back(nullptr);
    vm.pciOf.push_back(nullptr);
    if (d.serial) {
      auto model = std::make_unique<SerialModel>(d.ioPortBase, d.ioPortCount);
      model->setFailingPort(d.failPort);
      bindModel(model.get());
      vm.table.addSerial(SerialSpec{d.name, d.description, d.ioPortBase, d.ioPortCount,
                                    model->readFn, model->writeFn});
      vm.serialOf.back() = model.get();
      vm.serials.push_back(std::move(model));
      continue;
    }
    uint64_t mmioSize = 16;
    for (const ScenarioRegion& r : d.regions)
      if (r.mmio)
        mmioSize = r.size;
    auto model = std::make_unique<PciModel>(mmioSize, d.idRegister);
    model->setFailingOffset(d.failOffset ? static_cast<int64_t>(*d.failOffset) : -1);
    bindModel(model.get());
    PciSpec entry;
    entry.name = d.name;
    entry.description = d.description;
    configWrite16(entry.config, 0x00, d.vendorId);
    configWrite16(entry.config, 0x02, d.deviceId);
    entry.config[0x08] = d.revision;
    entry.config[0x09] = d.progIf;
    entry.config[0x0A] = d.subclass;
    entry.config[0x0B] = d.baseClass;
    configWrite16(entry.config, 0x2C, d.subsystemVendorId);
    configWrite16(entry.config, 0x2E, d.subsystemId);
    for (const ScenarioRegion& r : d.regions)
      entry.regions.push_back(RegionSpec{r.region, r.mmio, r.size,
                                         r.mmio ? nullptr : &vm.sharedMemoryOut.emplace_back()});
    entry.read = model->readFn;
    entry.write = model->writeFn;
    vm.table.addPci(entry);
    vm.pciOf.back() = model.get();
    vm.pcis.push_back(std::move(model));
  }
  vm.list = vm.table.list();
}

class StepRunner {
public:
  StepRunner(const Scenario& scenario, Vm& vm, const RunOptions& options, std::FILE* out,
             std::vector<StepRecord>* records)
      : scenario_(scenario), vm_(vm), options_(options), out_(out), records_(records) {}

  // Returns false on a mismatch.
  bool run(size_t number, const ScenarioStep& s) {
    number_ = number;
    step_ = &s;
    ok_ = true;
    detail_.clear();
    static const std::string none;
    const std::string& name =
        s.device < scenario_.devices.size() ? scenario_.devices[s.device].name : none;
    const std::string sized = " size " + std::to_string(s.size);
    switch (s.op) {
    case StepOp::PortRead: {
      uint32_t value = 0;
      const int32_t rc = vm_.host.portRead(s.port, s.size, &value);
      describe("portRead  port " + hexText(s.port) + sized + " -> " + hexText(value));
      checkStatus(rc);
      checkValue(value);
      break;
    }
    case StepOp::PortWrite:
      describe("portWrite port " + hexText(s.port) + sized + " <- " + hexText(s.value));
      checkStatus(vm_.host.portWrite(s.port, static_cast<uint32_t>(s.value), s.size));
      break;
    case StepOp::MemRead:
    case StepOp::MemWrite: {
      uint64_t address = 0;
      if (!resolveAddress(s, name, &address))
        break;
      uint8_t bytes[8] = {};
      if (s.op == StepOp::MemRead) {
        const int32_t rc = vm_.host.memRead(address, bytes, s.size);
        const uint64_t value = load(bytes, s.size);
        describe("memRead   " + hexText(address) + sized + " -> " + hexText(value));
        checkStatus(rc);
        checkValue(value);
      } else {
        std::memcpy(bytes, &s.value, s.size);
        describe("memWrite  " + hexText(address) + sized + " <- " + hexText(s.value));
        checkStatus(vm_.host.memWrite(address, bytes, s.size));
      }
      break;
    }
    case StepOp::SharedRead:
    case StepOp::SharedWrite: {
      uint8_t* memory = sharedMemory(s, name);
      if (!memory)
        break;
      const std::string where =
          name + " region " + std::to_string(s.region) + " +" + hexText(s.offset);
      if (s.op == StepOp::SharedRead) {
        const uint64_t value = load(memory + s.offset, s.size);
        describe("sharedRead  " + where + " (VM manager's view) -> " + hexText(value));
        checkValue(value);
      } else {
        std::memcpy(memory + s.offset, &s.value, s.size);
        describe("sharedWrite " + where + " (VM manager's view) <- " + hexText(s.value));
      }
      break;
    }
    case StepOp::SetIrq:
      describe("setIrq    " + name + " level " + std::to_string(s.level) +
               " (VM manager calls the interrupt function)");
      if (void* devIns = vm_.entry(s.device).devIns)
        vm_.setIrq(devIns, s.level);
      else
        mismatch("the module has not constructed " + name);
      break;
    case StepOp::ExpectIrq:
      if (Device* d = device(name)) {
        describe("expectIrq " + name + " line level " + std::to_string(d->irqLevel));
        if (d->irqLevel != s.level)
          mismatch("interrupt level " + std::to_string(d->irqLevel) + ", expected " +
                   std::to_string(s.level));
      }
      break;
    case StepOp::ExpectConfig:
      if (Device* d = device(name)) {
        const uint64_t value = load(d->config() + s.offset, s.size);
        describe("config    " + name + " +" + hexText(s.offset) + sized + " = " + hexText(value));
        checkValue(value);
      }
      break;
    case StepOp::ExpectTransmitted: {
      const std::string sent = vm_.serialOf[s.device]->transmitted();
      describe("transmitted by " + name + ": \"" + sent + "\"");
      if (sent != s.text)
        mismatch("expected \"" + s.text + "\"");
      break;
    }
    case StepOp::FailHost: {
      const uint32_t calls = s.count.value_or(1);
      for (uint32_t k = 0; k < calls; ++k)
        vm_.host.injectStatus(static_cast<HostOp>(s.hostOp), s.status);
      describe("failHost  " + s.text + " refuses its next " + std::to_string(calls) +
               " calls with " + hostStatusText(s.status));
      break;
    }
    case StepOp::ExpectLog: {
      const std::regex pattern(s.text);
      uint32_t found = 0;
      for (const Logged& l : logged)
        found += l.level == s.level && std::regex_search(l.message, pattern);
      logged.clear();
      describe("expectLog level " + std::to_string(s.level) + " /" + s.text +
               "/: " + std::to_string(found) + " lines");
      if (ownLogger)
        mismatch("the module logs with its own logger (--own-logger): pdmhost sees no line");
      else if (s.count ? found != *s.count : found == 0)
        mismatch(std::to_string(found) + " lines, expected " +
                 (s.count ? std::to_string(*s.count) : std::string("at least 1")));
      break;
    }
    case StepOp::ExpectIrqHistory:
      if (Device* d = device(name)) {
        const std::vector<IrqEvent> events = vm_.host.irqEvents();
        std::string got, want;
        for (size_t k = irqSeen_; k < events.size(); ++k)
          if (events[k].devIns == d->devIns)
            got += (got.empty() ? "" : ",") + std::to_string(events[k].level);
        for (const int32_t l : s.levels)
          want += (want.empty() ? "" : ",") + std::to_string(l);
        irqSeen_ = events.size();
        describe("expectIrqHistory " + name + " [" + got + "]");
        if (got != want)
          mismatch("interrupt levels [" + got + "], expected [" + want + "]");
      }
      break;
    case StepOp::ExpectCalls: {
      uint32_t found = 0;
      for (const CallbackCall& c : traceTakeCalls())
        found += c.entry == s.device && s.callback == c.callback &&
                 (!s.address || c.where == *s.address) && (!s.size || c.size == s.size);
      describe("expectCalls " + name + " " + s.callback +
               (s.address ? " at " + hexText(*s.address) : "") +
               (s.size ? " size " + std::to_string(s.size) : "") + ": " + std::to_string(found));
      if (found != *s.count)
        mismatch(std::to_string(found) + " calls, expected " + std::to_string(*s.count));
      break;
    }
    case StepOp::PlaceRegion:
      if (device(name)) {
        describe("place     " + name + " region " + std::to_string(s.region) + " at " +
                 hexText(*s.address));
        checkStatus(vm_.host.placeRegion(s.device, s.region, *s.address));
      }
      break;
    }
    return finish();
  }

private:
  static uint64_t load(const uint8_t* p, uint32_t size) {
    uint64_t v = 0;
    std::memcpy(&v, p, size);
    return v;
  }

  void describe(const std::string& text) { line_ = text; }
  void mismatch(const std::string& why) {
    ok_ = false;
    detail_ += detail_.empty() ? why : "; " + why;
  }
  void checkStatus(int32_t rc) {
    line_ += "  [status " + hostStatusText(rc) + "]";
    if (step_->contract) {
      // The module gives 0, its own failure status (-1 ports, -2 MMIO), or passes the
      // host's on; a guest access can meet only "nothing is mapped" from the host.
      const bool port = step_->op == StepOp::PortRead || step_->op == StepOp::PortWrite;
      if (rc != 0 && rc != (port ? -1 : -2) && rc != PDMHOST_ERR_UNASSIGNED)
        mismatch("status " + hostStatusText(rc) + " is outside the module's contract");
      return;
    }
    if (rc != step_->status)
      mismatch("status " + hostStatusText(rc) + ", expected " + hostStatusText(step_->status));
  }
  void checkValue(uint64_t value) {
    if (step_->expect && value != *step_->expect)
      mismatch("value " + hexText(value) + ", expected " + hexText(*step_->expect));
  }

  // Devices are registered and constructed in table order, so index i is device i.
  Device* device(const std::string& name) {
    std::deque<Device>& devices = vm_.host.devices();
    if (step_->device < devices.size() && devices[step_->device].constructed)
      return &devices[step_->device];
    mismatch("no constructed device \"" + name + "\"");
    return nullptr;
  }
  bool resolveAddress(const ScenarioStep& s, const std::string& name, uint64_t* address) {
    if (s.address) {
      *address = *s.address;
      return true;
    }
    Device* d = device(name);
    if (!d)
      return false;
    for (const PciRegion& r : d->regions) {
      if (r.region == s.region && r.placed) {
        *address = r.gcPhys + s.offset;
        return true;
      }
    }
    mismatch("region " + std::to_string(s.region) + " of " + name + " is not placed");
    return false;
  }
  uint8_t* sharedMemory(const ScenarioStep& s, const std::string& name) {
    const VmmgrDeviceDesc& desc = vm_.entry(s.device);
    const VmmgrRegionDesc& r = static_cast<VmmgrRegionDesc*>(desc.regions.begin)[s.region];
    if (!*r.sharedMemoryOut)
      mismatch("the host gave no shared memory for region " + std::to_string(s.region) + " of " +
               name);
    return static_cast<uint8_t*>(*r.sharedMemoryOut);
  }

  bool finish() {
    if (line_.empty())
      line_ = stepOpName(step_->op);
    if (!ok_) {
      std::fprintf(out_, "step %zu (line %u): %s\n    MISMATCH: %s\n", number_,
                   static_cast<unsigned>(step_->line), line_.c_str(), detail_.c_str());
      if (!step_->note.empty())
        std::fprintf(out_, "    note: %s\n", step_->note.c_str());
      // The trace holds the module's lines of the step too.
      if (!trace_.empty())
        std::fprintf(out_, "    trace:\n%s", trace_.c_str());
    } else if (!options_.quiet) {
      std::fprintf(out_, "step %zu: %s  ok\n", number_, line_.c_str());
      if (options_.trace)
        std::fputs(trace_.c_str(), out_);
    }
    std::fflush(out_);
    records_->push_back(StepRecord{number_, step_->line, stepOpName(step_->op), line_, ok_, detail_,
                                   step_->note, trace_});
    line_.clear();
    held_.clear();
    trace_.clear();
    return ok_;
  }

  const Scenario& scenario_;
  Vm& vm_;
  const RunOptions& options_;
  std::FILE* out_;
  std::vector<StepRecord>* records_;
  size_t irqSeen_ = 0; ///< interrupt events before this one were checked by expectIrqHistory
  size_t number_ = 0;
  const ScenarioStep* step_ = nullptr;
  bool ok_ = true;
  std::string line_, detail_;

public:
  std::string held_;  ///< the module's lines during a quiet or traced step
  std::string trace_; ///< the step's calls, shown with --trace or with its mismatch
};

const char* kindOf(const VmmgrDeviceRegistration& reg) {
  return reg.instanceSize == VMMGR_PCI_INSTANCE_SIZE ? "PCI" : "serial";
}

void traceConstruction(Vm& vm, size_t i, int32_t rc, std::FILE* out) {
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

} // namespace

void printCheck(const Scenario& scenario, std::FILE* out) {
  std::fprintf(out, "check: %zu devices, %zu steps; registration in this order:\n",
               scenario.devices.size(), scenario.steps.size());
  uint64_t cursor = scenario.placementBase;
  for (const ScenarioDevice& d : scenario.devices) {
    if (d.serial) {
      std::fprintf(out, "  %-31s serial ports 0x%04x-0x%04x  \"%s\"\n", d.name.c_str(),
                   d.ioPortBase, d.ioPortBase + d.ioPortCount - 1, d.description.c_str());
      continue;
    }
    std::fprintf(out, "  %-31s PCI    %04x:%04x, %zu regions  \"%s\"\n", d.name.c_str(), d.vendorId,
                 d.deviceId, d.regions.size(), d.description.c_str());
    for (const ScenarioRegion& r : d.regions) {
      // The scenario's check has refused a region that cannot be placed.
      uint64_t at = 0;
      placeUpward(&cursor, r.size, &at);
      std::fprintf(out, "    region %u: %s, %" PRIu64 " bytes, placed at 0x%08" PRIx64 "\n",
                   r.region, r.mmio ? "MMIO" : "shared memory", r.size, at);
    }
  }
  std::fprintf(out, "check: the scenario is sound; nothing was run\n");
}

std::vector<ScenarioDevice> devicesOfTable(const VmmgrDeviceList& list) {
  std::vector<ScenarioDevice> devices;
  const auto* entries = static_cast<const VmmgrDeviceDesc*>(list.begin);
  for (size_t i = 0; i < tableSize(list); ++i) {
    const VmmgrDeviceDesc& e = entries[i];
    ScenarioDevice d;
    d.serial = e.type == VMMGR_DEVICE_SERIAL;
    d.name.assign(vmmgrStdStringData(e.name), e.name.size);
    d.description.assign(vmmgrStdStringData(e.description), e.description.size);
    d.ioPortBase = e.ioPortBase;
    d.ioPortCount = e.ioPortCount;
    d.vendorId = configRead16(e.pciConfig, 0x00);
    d.deviceId = configRead16(e.pciConfig, 0x02);
    if (!d.serial) {
      const auto* r = static_cast<const VmmgrRegionDesc*>(e.regions.begin);
      for (; r != e.regions.end; ++r)
        d.regions.push_back(ScenarioRegion{r->region, r->isMmio != 0, r->size});
    }
    devices.push_back(std::move(d));
  }
  return devices;
}

bool startVmManager(VmmgrPdmHostEntryFn entry, const ModuleEntries& module,
                    const RunOptions& options, std::FILE* out, VmManagerTable* table,
                    std::string* error) {
  moduleInit = module.init;
  noted = table;
  const int32_t rc = entry(forwardInit, useLogger(options, out));
  noted = nullptr;
  if (!options.quiet && table->calls)
    std::fprintf(out,
                 "init: " VMMGR_PDMHOST_ENTRY_NAME " -> %d; it called vmmgrVboxPdmInit(%s, %zu "
                 "devices) -> %d, interrupt function %s\n",
                 static_cast<int>(rc),
                 table->logger == &hostLogger ? "pdmhost's logger"
                 : table->logger              ? "its own logger"
                                              : "no logger: the module logs with its own",
                 tableSize(*table->list), static_cast<int>(table->initStatus),
                 table->setIrq ? "received" : "MISSING");
  std::fflush(out);
  if (rc != 0)
    *error = VMMGR_PDMHOST_ENTRY_NAME " returned " + std::to_string(rc);
  else if (table->calls == 0 || table->list == nullptr)
    *error = VMMGR_PDMHOST_ENTRY_NAME " returned without calling vmmgrVboxPdmInit with a table";
  else
    return true;
  return false;
}

// Registration, construction and placement; the status of the first refusal (with what
// was refused in *why), or 0.
static int32_t setUp(const Scenario& scenario, const ModuleEntries& module, Vm& vm, std::FILE* out,
                     bool trace, std::string* why) {
  traceCall("host -> module: VBoxDevicesRegister");
  const int32_t regRc = module.registerDevices(vm.host.callbacks(), vm.host.release().vboxVersion);
  traceReturn("= " + hostStatusText(regRc));
  std::fflush(stdout);
  if (trace) {
    std::fprintf(out, "register: VBoxDevicesRegister -> %s, %zu devices received\n",
                 hostStatusText(regRc).c_str(), vm.host.devices().size());
    for (const Device& d : vm.host.devices())
      std::fprintf(out, "  %-31s %-6s instance %3u bytes  flags 0x%x  class 0x%08x  \"%s\"\n",
                   d.name().c_str(), kindOf(d.copy), d.copy.instanceSize, d.copy.flags,
                   d.copy.deviceClass, d.copy.description);
  }
  if (regRc < 0 || vm.setIrq == nullptr) {
    *why = "registration -> " + hostStatusText(regRc);
    return regRc < 0 ? regRc : PDMHOST_ERR_INVALID;
  }

  for (size_t i = 0; i < vm.host.devices().size(); ++i) {
    const int32_t rc = vm.host.construct(i);
    std::fflush(stdout);
    const Device& d = vm.host.devices()[i];
    if (trace)
      traceConstruction(vm, i, rc, out);
    if (rc < 0) {
      *why = "construction of " + d.name() + " -> " + hostStatusText(rc);
      return rc;
    }
  }

  const int32_t placeRc = vm.host.placeAllRegions(scenario.placementBase);
  std::fflush(stdout);
  if (trace) {
    for (const Device& d : vm.host.devices())
      for (const PciRegion& r : d.regions)
        std::fprintf(out, "place: %s region %u at 0x%08" PRIx64 " (%" PRIu64 " bytes)\n",
                     d.name().c_str(), r.region, r.gcPhys, r.size);
  }
  if (placeRc < 0)
    *why = "placing regions -> " + hostStatusText(placeRc);
  return placeRc;
}

// Each call the module made to a slot the release does not have is a failure of the run.
static int hostFailures(const Host& host, std::FILE* out) {
  for (const std::string& f : host.failures())
    std::fprintf(out, "host: FAILED: the module made a %s\n", f.c_str());
  return static_cast<int>(host.failures().size());
}

static void setupFailed(RunResult& result, std::FILE* out, const std::string& why) {
  std::fprintf(out, "setup failed: %s\n", why.c_str());
  result.setupFailed = true;
  result.setupError = why;
}

RunResult runScenario(const Scenario& scenario, const ModuleEntries& module,
                      const RunOptions& options, std::FILE* out, const VmManagerTable* vmManager) {
  RunResult result;
  const XlogLogger* logger = useLogger(options, out);
  Vm vm(options.host);
  const bool trace = !options.quiet;
  if (vmManager) {
    vm.list = vmManager->list;
    vm.setIrq = vmManager->setIrq;
  } else {
    buildTable(scenario, vm);
    traceTableCallbacks(vm.list);
    traceCall("VM manager -> module: vmmgrVboxPdmInit");
    const int32_t initRc = module.init(logger, vm.list, &vm.setIrq);
    traceReturn("= " + std::to_string(initRc));
    vm.setIrq = traceSetIrq(vm.setIrq);
    if (trace)
      std::fprintf(out, "init: vmmgrVboxPdmInit(%s, %zu devices) -> %d, interrupt function %s\n",
                   logger ? "pdmhost's logger" : "no logger: the module logs with its own",
                   vm.table.size(), static_cast<int>(initRc), vm.setIrq ? "received" : "MISSING");
    std::fflush(out);
    for (size_t i = 0; i < scenario.devices.size(); ++i)
      if (vm.pciOf[i])
        vm.pciOf[i]->attach(&vm.entry(i), vm.setIrq);
  }

  StepRunner runner(scenario, vm, options, out, &result.records);
  const auto play = [&](size_t i) {
    heldLines = options.quiet || options.trace ? &runner.held_ : nullptr;
    traceSetSink([&runner](const std::string& line) { runner.trace_ += "    > " + line + "\n"; });
    ++result.steps;
    if (!runner.run(i + 1, scenario.steps[i]))
      ++result.mismatches;
    heldLines = nullptr;
    traceSetSink(options.trace ? traceStraightOut : std::function<void(const std::string&)>());
  };
  // failHost steps that come first refuse calls of the set-up.
  size_t next = 0;
  for (; next < scenario.steps.size() && scenario.steps[next].op == StepOp::FailHost; ++next)
    play(next);

  std::string why;
  const int32_t setupRc = setUp(scenario, module, vm, out, trace, &why);
  if (setupRc != scenario.setupStatus) {
    setupFailed(result, out,
                setupRc < 0 ? why
                            : "the set-up succeeded; the scenario expects it refused with " +
                                  hostStatusText(scenario.setupStatus));
    traceSetSink({});
    result.mismatches += hostFailures(vm.host, out);
    return result;
  }
  if (setupRc < 0 && trace)
    std::fprintf(out, "set-up refused as the scenario expects: %s\n", why.c_str());

  for (; next < scenario.steps.size(); ++next)
    play(next);
  traceSetSink({});
  std::fflush(stdout);
  result.mismatches += hostFailures(vm.host, out);
  return result;
}

} // namespace pdmhost
