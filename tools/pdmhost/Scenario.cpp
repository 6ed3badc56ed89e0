#include "tools/pdmhost/Scenario.h"

#include "tools/pdmhost/DeviceModels.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/VmTable.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace pdmhost {

using nlohmann::json;

// ---- parsing ----

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

// Numbers are JSON integers or strings in C notation ("0x3f8", "1016").
uint64_t number(const json& j, const std::string& where) {
  if (j.is_number_unsigned())
    return j.get<uint64_t>();
  if (j.is_number_integer())
    return static_cast<uint64_t>(j.get<int64_t>());
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    char* end = nullptr;
    const uint64_t v = std::strtoull(s.c_str(), &end, 0);
    if (!s.empty() && end && *end == '\0')
      return v;
  }
  fail(where, "expected a number, got " + j.dump());
}

template <typename T> T field(const json& obj, const char* key, T fallback, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end())
    return fallback;
  const uint64_t v = number(*it, where + "." + key);
  if constexpr (std::is_signed_v<T>)
    return static_cast<T>(static_cast<int64_t>(v));
  else {
    if (v > std::numeric_limits<T>::max())
      fail(where + "." + key, "value out of range");
    return static_cast<T>(v);
  }
}

std::string text(const json& obj, const char* key, const std::string& fallback,
                 const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end())
    return fallback;
  if (!it->is_string())
    fail(where + "." + key, "expected a string");
  return it->get<std::string>();
}

void checkKeys(const json& obj, std::initializer_list<const char*> allowed, const std::string& where) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    bool known = false;
    for (const char* k : allowed)
      known = known || it.key() == k;
    if (!known)
      fail(where, "unknown field \"" + it.key() + "\"");
  }
}

ScenarioDevice parseDevice(const json& j, const std::string& where) {
  if (!j.is_object())
    fail(where, "a device is an object");
  ScenarioDevice d;
  d.type = text(j, "type", "", where);
  d.name = text(j, "name", "", where);
  d.description = text(j, "description", d.name, where);
  if (d.name.empty())
    fail(where, "a device needs a name");
  if (d.name.size() > 31)
    fail(where, "device names have at most 31 bytes");
  if (d.type == "serial") {
    checkKeys(j, {"type", "name", "description", "ioPortBase", "ioPortCount", "failPort"}, where);
    d.ioPortBase = field<uint16_t>(j, "ioPortBase", 0, where);
    d.ioPortCount = field<uint16_t>(j, "ioPortCount", 8, where);
    d.failPort = field<int>(j, "failPort", -1, where);
  } else if (d.type == "pci") {
    checkKeys(j, {"type", "name", "description", "vendorId", "deviceId", "revision", "progIf",
                  "subclass", "baseClass", "subsystemVendorId", "subsystemId", "idRegister",
                  "failOffset", "regions"},
              where);
    d.vendorId = field<uint16_t>(j, "vendorId", 0, where);
    d.deviceId = field<uint16_t>(j, "deviceId", 0, where);
    d.revision = field<uint8_t>(j, "revision", 0, where);
    d.progIf = field<uint8_t>(j, "progIf", 0, where);
    d.subclass = field<uint8_t>(j, "subclass", 0, where);
    d.baseClass = field<uint8_t>(j, "baseClass", 0xFF, where);
    d.subsystemVendorId = field<uint16_t>(j, "subsystemVendorId", 0, where);
    d.subsystemId = field<uint16_t>(j, "subsystemId", 0, where);
    d.idRegister = field<uint32_t>(j, "idRegister", 0, where);
    d.failOffset = field<int64_t>(j, "failOffset", -1, where);
    const json regions = j.value("regions", json::array());
    if (!regions.is_array())
      fail(where + ".regions", "expected an array");
    int mmioCount = 0;
    for (size_t i = 0; i < regions.size(); ++i) {
      const std::string rw = where + ".regions[" + std::to_string(i) + "]";
      checkKeys(regions[i], {"region", "mmio", "size"}, rw);
      ScenarioRegion r;
      r.region = field<uint32_t>(regions[i], "region", static_cast<uint32_t>(i), rw);
      r.mmio = regions[i].value("mmio", false);
      r.size = field<uint64_t>(regions[i], "size", 0, rw);
      if (r.region != i)
        fail(rw, "regions stand in region-number order without gaps");
      mmioCount += r.mmio;
      d.regions.push_back(r);
    }
    if (mmioCount > 1)
      fail(where, "a device has at most one MMIO region");
  } else {
    fail(where, "type is \"serial\" or \"pci\"");
  }
  return d;
}

ScenarioStep parseStep(const json& j, const std::string& where) {
  if (!j.is_object())
    fail(where, "a step is an object");
  ScenarioStep s;
  s.op = text(j, "op", "", where);
  static const std::map<std::string, std::vector<const char*>> ops = {
      {"portRead", {"port", "size", "expect", "status"}},
      {"portWrite", {"port", "value", "size", "status"}},
      {"memRead", {"device", "region", "offset", "address", "size", "expect", "status"}},
      {"memWrite", {"device", "region", "offset", "address", "size", "value", "status"}},
      {"sharedRead", {"device", "region", "offset", "size", "expect"}},
      {"sharedWrite", {"device", "region", "offset", "size", "value"}},
      {"setIrq", {"device", "level"}},
      {"expectIrq", {"device", "level"}},
      {"expectConfig", {"device", "offset", "size", "expect"}},
      {"expectTransmitted", {"device", "text"}},
      {"placeRegion", {"device", "region", "address", "status"}},
  };
  auto op = ops.find(s.op);
  if (op == ops.end())
    fail(where, "unknown op \"" + s.op + "\"");
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = it.key() == "op" || it.key() == "note";
    for (const char* k : op->second)
      known = known || it.key() == k;
    if (!known)
      fail(where, "op " + s.op + " takes no field \"" + it.key() + "\"");
  }
  s.device = text(j, "device", "", where);
  s.region = field<uint32_t>(j, "region", 0, where);
  s.offset = field<uint64_t>(j, "offset", 0, where);
  if (j.contains("address"))
    s.address = field<uint64_t>(j, "address", 0, where);
  s.port = field<uint16_t>(j, "port", 0, where);
  s.size = field<uint32_t>(j, "size", 4, where);
  s.value = field<uint64_t>(j, "value", 0, where);
  if (j.contains("expect"))
    s.expect = field<uint64_t>(j, "expect", 0, where);
  s.status = field<int32_t>(j, "status", 0, where);
  s.level = field<int32_t>(j, "level", 0, where);
  s.text = text(j, "text", "", where);
  if ((s.op == "memRead" || s.op == "memWrite" || s.op == "sharedRead" || s.op == "sharedWrite" ||
       s.op == "expectConfig") &&
      (s.size == 0 || s.size > 8))
    fail(where, "size is 1 to 8 bytes");
  if (s.op == "placeRegion" && !s.address)
    fail(where, "placeRegion needs an address");
  return s;
}

} // namespace

Scenario parseScenario(const std::string& text) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    throw std::runtime_error(std::string("scenario is not valid JSON: ") + e.what());
  }
  if (!root.is_object())
    fail("scenario", "the top level is an object with \"devices\" and \"steps\"");
  checkKeys(root, {"devices", "steps", "placementBase", "note"}, "scenario");
  Scenario scenario;
  scenario.placementBase = field<uint64_t>(root, "placementBase", 0xE0000000u, "scenario");
  const json devices = root.value("devices", json::array());
  const json steps = root.value("steps", json::array());
  if (!devices.is_array() || !steps.is_array())
    fail("scenario", "\"devices\" and \"steps\" are arrays");
  for (size_t i = 0; i < devices.size(); ++i)
    scenario.devices.push_back(parseDevice(devices[i], "devices[" + std::to_string(i) + "]"));
  for (size_t i = 0; i < steps.size(); ++i)
    scenario.steps.push_back(parseStep(steps[i], "step " + std::to_string(i + 1)));
  return scenario;
}

// ---- running ----

namespace {

std::FILE* traceOut = stdout;
int traceLevel = 2;

const char* moduleName(int moduleId) {
  switch (moduleId) {
  case XLOG_MODULE_VMMGR: return "VMMGR";
  case XLOG_MODULE_XLOG: return "XLOG";
  case XLOG_MODULE_XFILE: return "XFILE";
  case XLOG_MODULE_XSTR: return "XSTR";
  default: return "?";
  }
}

// The sample VM manager's logger: what the module reports arrives here, the way it would
// arrive in a VM manager's own log.
int hostIsEnabled(int, int level) { return level <= traceLevel; }

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
  static const char letters[] = "EWIDV";
  return std::fprintf(traceOut, "    | %c %-5s %s:%d %s: %s\n", level >= 0 && level < 5 ? letters[level] : '?',
                      moduleName(moduleId), file, line, function, message);
}

const XlogLogger hostLogger = {hostIsEnabled, hostLog};

std::string hex(uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%" PRIx64, v);
  return b;
}

struct Vm {
  VmTable table;
  Host host;
  std::vector<std::unique_ptr<SerialModel>> serials;
  std::vector<std::unique_ptr<PciModel>> pcis;
  std::map<std::string, SerialModel*> serialByName;
  std::map<std::string, PciModel*> pciByName;
  std::map<std::string, size_t> entryByName;
  VmmgrSetIrqFn setIrq = nullptr;

  ~Vm() { releaseModels(); }
};

void buildTable(const Scenario& scenario, Vm& vm) {
  releaseModels();
  for (const ScenarioDevice& d : scenario.devices) {
    if (d.type == "serial") {
      auto model = std::make_unique<SerialModel>(d.ioPortBase, d.ioPortCount);
      model->setFailingPort(d.failPort);
      bindModel(model.get());
      SerialSpec entry{d.name, d.description, d.ioPortBase, d.ioPortCount, model->readFn,
                      model->writeFn};
      vm.entryByName[d.name] = vm.table.addSerial(entry);
      vm.serialByName[d.name] = model.get();
      vm.serials.push_back(std::move(model));
    } else {
      uint64_t mmioSize = 16;
      for (const ScenarioRegion& r : d.regions)
        if (r.mmio)
          mmioSize = r.size;
      auto model = std::make_unique<PciModel>(mmioSize, d.idRegister);
      model->setFailingOffset(d.failOffset);
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
        entry.regions.push_back(
            RegionSpec{r.region, r.mmio, r.size, r.mmio ? nullptr : &model->sharedMemory});
      entry.read = model->readFn;
      entry.write = model->writeFn;
      vm.entryByName[d.name] = vm.table.addPci(entry);
      vm.pciByName[d.name] = model.get();
      vm.pcis.push_back(std::move(model));
    }
  }
}

class StepRunner {
public:
  StepRunner(Vm& vm, const RunOptions& options, std::FILE* out)
      : vm_(vm), options_(options), out_(out) {}

  // Returns false on a mismatch.
  bool run(size_t number, const ScenarioStep& s) {
    number_ = number;
    step_ = &s;
    ok_ = true;
    detail_.clear();
    if (s.op == "portRead") {
      uint32_t value = 0;
      const int32_t rc = vm_.host.portRead(s.port, s.size, &value);
      describe("portRead  port " + hex(s.port) + " size " + std::to_string(s.size) + " -> " +
               hex(value));
      checkStatus(rc);
      checkValue(value);
    } else if (s.op == "portWrite") {
      describe("portWrite port " + hex(s.port) + " size " + std::to_string(s.size) + " <- " +
               hex(s.value));
      checkStatus(vm_.host.portWrite(s.port, static_cast<uint32_t>(s.value), s.size));
    } else if (s.op == "memRead" || s.op == "memWrite") {
      uint64_t address = 0;
      if (!resolveAddress(s, &address))
        return finish();
      uint8_t bytes[8] = {};
      if (s.op == "memRead") {
        const int32_t rc = vm_.host.memRead(address, bytes, s.size);
        const uint64_t value = load(bytes, s.size);
        describe("memRead   " + hex(address) + " size " + std::to_string(s.size) + " -> " +
                 hex(value));
        checkStatus(rc);
        checkValue(value);
      } else {
        std::memcpy(bytes, &s.value, s.size);
        describe("memWrite  " + hex(address) + " size " + std::to_string(s.size) + " <- " +
                 hex(s.value));
        checkStatus(vm_.host.memWrite(address, bytes, s.size));
      }
    } else if (s.op == "sharedRead" || s.op == "sharedWrite") {
      uint8_t* memory = sharedMemory(s);
      if (!memory)
        return finish();
      if (s.op == "sharedRead") {
        const uint64_t value = load(memory + s.offset, s.size);
        describe("sharedRead  " + s.device + " region " + std::to_string(s.region) + " +" +
                 hex(s.offset) + " (VM manager's view) -> " + hex(value));
        checkValue(value);
      } else {
        std::memcpy(memory + s.offset, &s.value, s.size);
        describe("sharedWrite " + s.device + " region " + std::to_string(s.region) + " +" +
                 hex(s.offset) + " (VM manager's view) <- " + hex(s.value));
      }
    } else if (s.op == "setIrq") {
      VmmgrDeviceDesc* desc = entry(s.device);
      if (!desc)
        return finish();
      describe("setIrq    " + s.device + " level " + std::to_string(s.level) +
               " (VM manager calls the interrupt function)");
      vm_.setIrq(desc->devIns, s.level);
    } else if (s.op == "expectIrq") {
      Device* d = device(s.device);
      if (!d)
        return finish();
      describe("expectIrq " + s.device + " line level " + std::to_string(d->irqLevel));
      if (d->irqLevel != s.level)
        mismatch("interrupt level " + std::to_string(d->irqLevel) + ", expected " +
                 std::to_string(s.level));
    } else if (s.op == "expectConfig") {
      Device* d = device(s.device);
      if (!d)
        return finish();
      if (!d->isPci() || s.offset + s.size > 256) {
        mismatch("no PCI configuration space at that offset");
        return finish();
      }
      const uint64_t value = load(static_cast<uint8_t*>(d->pciDev) + s.offset, s.size);
      describe("config    " + s.device + " +" + hex(s.offset) + " size " +
               std::to_string(s.size) + " = " + hex(value));
      checkValue(value);
    } else if (s.op == "expectTransmitted") {
      auto it = vm_.serialByName.find(s.device);
      if (it == vm_.serialByName.end()) {
        mismatch("no serial device \"" + s.device + "\"");
        return finish();
      }
      const std::string sent = it->second->transmitted();
      describe("transmitted by " + s.device + ": \"" + sent + "\"");
      if (sent != s.text)
        mismatch("expected \"" + s.text + "\"");
    } else if (s.op == "placeRegion") {
      auto it = vm_.entryByName.find(s.device);
      if (it == vm_.entryByName.end() || !device(s.device))
        return finish();
      describe("place     " + s.device + " region " + std::to_string(s.region) + " at " +
               hex(*s.address));
      checkStatus(vm_.host.placeRegion(deviceIndex(s.device), s.region, *s.address));
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
    line_ += "  [status " + std::to_string(rc) + "]";
    if (rc != step_->status)
      mismatch("status " + std::to_string(rc) + ", expected " + std::to_string(step_->status));
  }
  void checkValue(uint64_t value) {
    if (step_->expect && value != *step_->expect)
      mismatch("value " + hex(value) + ", expected " + hex(*step_->expect));
  }

  size_t deviceIndex(const std::string& name) {
    for (size_t i = 0; i < vm_.host.devices().size(); ++i)
      if (vm_.host.devices()[i].name() == name)
        return i;
    return SIZE_MAX;
  }
  Device* device(const std::string& name) {
    Device* d = vm_.host.findDevice(name);
    if (!d || !d->constructed)
      mismatch("no constructed device \"" + name + "\"");
    return d && d->constructed ? d : nullptr;
  }
  VmmgrDeviceDesc* entry(const std::string& name) {
    auto it = vm_.entryByName.find(name);
    if (it == vm_.entryByName.end()) {
      mismatch("no device \"" + name + "\" in the table");
      return nullptr;
    }
    return &vm_.table.entry(it->second);
  }
  bool resolveAddress(const ScenarioStep& s, uint64_t* address) {
    if (s.address) {
      *address = *s.address;
      return true;
    }
    Device* d = device(s.device);
    if (!d)
      return false;
    for (const PciRegion& r : d->regions) {
      if (r.region == s.region && r.placed) {
        *address = r.gcPhys + s.offset;
        return true;
      }
    }
    mismatch("region " + std::to_string(s.region) + " of " + s.device + " is not placed");
    return false;
  }
  uint8_t* sharedMemory(const ScenarioStep& s) {
    VmmgrDeviceDesc* desc = entry(s.device);
    if (!desc)
      return nullptr;
    const VmmgrRegionDesc* begin = static_cast<VmmgrRegionDesc*>(desc->regions.begin);
    const VmmgrRegionDesc* end = static_cast<VmmgrRegionDesc*>(desc->regions.end);
    if (s.region >= static_cast<size_t>(end - begin) || begin[s.region].isMmio) {
      mismatch("region " + std::to_string(s.region) + " of " + s.device +
               " is not shared memory");
      return nullptr;
    }
    const VmmgrRegionDesc& r = begin[s.region];
    if (!*r.sharedMemoryOut || s.offset + s.size > r.size) {
      mismatch("the VM manager has no shared memory there");
      return nullptr;
    }
    return static_cast<uint8_t*>(*r.sharedMemoryOut);
  }

  bool finish() {
    if (line_.empty())
      line_ = step_->op + " " + step_->device;
    if (!ok_)
      std::fprintf(out_, "step %zu: %s\n    MISMATCH: %s\n", number_, line_.c_str(),
                   detail_.c_str());
    else if (!options_.quiet)
      std::fprintf(out_, "step %zu: %s  ok\n", number_, line_.c_str());
    std::fflush(out_);
    line_.clear();
    return ok_;
  }

  Vm& vm_;
  const RunOptions& options_;
  std::FILE* out_;
  size_t number_ = 0;
  const ScenarioStep* step_ = nullptr;
  bool ok_ = true;
  std::string line_, detail_;
};

const char* kindOf(const VmmgrDeviceRegistration& reg) {
  return reg.instanceSize == VMMGR_PCI_INSTANCE_SIZE ? "PCI" : "serial";
}

} // namespace

RunResult runScenario(const Scenario& scenario, const ModuleEntries& module,
                      const RunOptions& options, std::FILE* out) {
  RunResult result;
  traceOut = out;
  traceLevel = options.logLevel;
  Vm vm;
  buildTable(scenario, vm);
  const bool trace = !options.quiet;

  const int32_t initRc = module.init(options.ownLogger ? nullptr : &hostLogger, vm.table.list(),
                                     &vm.setIrq);
  if (trace)
    std::fprintf(out, "init: vmmgrVboxPdmInit(%s, %zu devices) -> %d, interrupt function %s\n",
                 options.ownLogger ? "no logger: the module logs with its own"
                                   : "pdmhost's logger",
                 vm.table.size(), static_cast<int>(initRc), vm.setIrq ? "received" : "MISSING");
  std::fflush(out);
  for (auto& [name, model] : vm.pciByName)
    model->attach(&vm.table.entry(vm.entryByName[name]), vm.setIrq);

  const int32_t regRc = module.registerDevices(vm.host.callbacks(), 0x00010000u);
  std::fflush(stdout);
  if (trace) {
    std::fprintf(out, "register: VBoxDevicesRegister -> %d, %zu devices received\n",
                 static_cast<int>(regRc), vm.host.devices().size());
    for (const Device& d : vm.host.devices())
      std::fprintf(out, "  %-31s %-6s instance %3u bytes  flags 0x%x  class 0x%08x  \"%s\"\n",
                   d.name().c_str(), kindOf(d.copy), d.copy.instanceSize, d.copy.flags,
                   d.copy.deviceClass, d.copy.description);
  }
  if (regRc < 0 || vm.setIrq == nullptr) {
    std::fprintf(out, "setup failed: registration\n");
    result.setupFailed = true;
    return result;
  }

  for (size_t i = 0; i < vm.host.devices().size(); ++i) {
    const int32_t rc = vm.host.construct(i);
    std::fflush(stdout);
    Device& d = vm.host.devices()[i];
    if (trace) {
      std::fprintf(out, "construct: %s -> %d\n", d.name().c_str(), static_cast<int>(rc));
      for (const PortRange& p : vm.host.portRanges())
        if (p.devIns == d.devIns)
          std::fprintf(out, "  ports 0x%04x-0x%04x\n", p.first, p.first + p.count - 1);
      if (d.isPci()) {
        const uint8_t* cfg = static_cast<uint8_t*>(d.pciDev);
        std::fprintf(out, "  PCI %04x:%04x rev %02x class %02x%02x%02x, command 0x%04x status 0x%04x, INT%c\n",
                     configRead16(cfg, 0), configRead16(cfg, 2), cfg[8], cfg[0xB], cfg[0xA],
                     cfg[9], configRead16(cfg, 4), configRead16(cfg, 6), 'A' + cfg[0x3D] - 1);
        const VmmgrDeviceDesc& desc = vm.table.entry(vm.entryByName[d.name()]);
        const VmmgrRegionDesc* records = static_cast<VmmgrRegionDesc*>(desc.regions.begin);
        for (const PciRegion& r : d.regions)
          std::fprintf(out, "  region %u: %s, %" PRIu64 " bytes\n", r.region,
                       records[r.region].isMmio ? "MMIO" : "shared memory", r.size);
      }
    }
    if (rc < 0) {
      std::fprintf(out, "setup failed: construction of %s\n", d.name().c_str());
      result.setupFailed = true;
      return result;
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
  if (placeRc < 0) {
    std::fprintf(out, "setup failed: placing regions -> %d\n", static_cast<int>(placeRc));
    result.setupFailed = true;
    return result;
  }

  StepRunner runner(vm, options, out);
  for (size_t i = 0; i < scenario.steps.size(); ++i) {
    ++result.steps;
    if (!runner.run(i + 1, scenario.steps[i]))
      ++result.mismatches;
  }
  std::fflush(stdout);
  return result;
}

} // namespace pdmhost
