// The step table: each kind's reader, check and run, next to each other.
#include "tools/pdmhost/Run.h"
#include "tools/pdmhost/Schema.h"

#include <algorithm>
#include <cstring>

namespace pdmhost {

namespace {

bool takes(const StepKind& k, const char* field) { return listed(k.fields, field); }
std::string sized(uint32_t size) { return " size " + std::to_string(size); }

// ---- guest accesses ----

// 1, 2 or 4 bytes on a bus (ports, configuration space), else 1 to 8.
uint32_t readSize(const StepFields& f, bool bus) {
  const uint32_t size = f.integer<uint32_t>("size");
  if (bus ? size != 1 && size != 2 && size != 4 : size == 0 || size > 8)
    f.fail("size", bus ? "an access of 1, 2 or 4 bytes" : "an access of 1 to 8 bytes");
  return size;
}

uint64_t readValue(const StepFields& f, const char* key, uint32_t size) {
  const uint64_t v = f.integer<uint64_t>(key);
  if (size < 8 && v >> 8 * size != 0)
    f.fail(key, hexText(v) + " does not fit " + std::to_string(size) + " bytes");
  return v;
}

// Ports, memory, shared memory and configuration space: the fields of the kind say which
// the step states. A read states the value it expects, unless it is to fail or checks
// only the contract.
StepOperands readAccess(const StepFields& f, const StepKind& k) {
  AccessOperands a;
  a.size = readSize(f, !k.regional);
  if (f.has("address")) {
    a.address = f.integer<uint64_t>("address");
    for (const char* other : {"device", "region", "offset"})
      if (f.has(other))
        f.fail(other, "a step takes either \"address\" or \"device\", \"region\" and \"offset\"");
    if (*a.address > UINT64_MAX - (a.size - 1))
      f.fail("address", "the access runs past the end of the address space");
  } else if (takes(k, "port")) {
    a.offset = f.integer<uint16_t>("port");
  } else {
    a.region = k.regional ? f.integer<uint32_t>("region") : 0;
    a.offset = f.integer<uint64_t>("offset");
  }
  a.outcome.contract = f.boolean("contract", false);
  if (a.outcome.contract && f.has("status"))
    f.fail("status", "a contract step checks only the statuses the module may give");
  a.outcome.status = f.optionalInteger<int32_t>("status").value_or(0);
  if (takes(k, "value"))
    a.value = readValue(f, "value", a.size);
  else if ((a.outcome.status == 0 && !a.outcome.contract) || f.has("expect"))
    a.expect = readValue(f, "expect", a.size);
  return a;
}

// Inside its region (shared memory for the shared kinds), or configuration space.
std::string checkAccess(const ScenarioStep& s, const ScenarioDevice& d) {
  const auto& a = std::get<AccessOperands>(s.operands);
  if (!s.kind->regional)
    return a.offset > 256 || a.size > 256 - a.offset
               ? "offset: the access runs past the 256 bytes of configuration space"
               : "";
  if (a.region >= d.regions.size())
    return "region: \"" + d.name + "\" has no region " + std::to_string(a.region);
  const ScenarioRegion& r = d.regions[a.region];
  if (r.mmio && std::strncmp(s.kind->name, "shared", 6) == 0)
    return "region: region " + std::to_string(a.region) + " of \"" + d.name +
           "\" is MMIO, not shared memory";
  if (a.offset > r.size || a.size > r.size - a.offset)
    return "offset: the access runs past the end of region " + std::to_string(a.region) + " (" +
           hexText(r.size) + " bytes)";
  return "";
}

// Through the host: to a port, or to memory at a placed region's address or an absolute
// one. The module fails a port access with -1 and a memory access with -2.
void runAccess(const ScenarioStep& s, StepRun& r) {
  const auto& a = std::get<AccessOperands>(s.operands);
  const bool write = takes(*s.kind, "value"), port = takes(*s.kind, "port");
  uint64_t address = port ? a.offset : a.address.value_or(0), value = a.value;
  if (!port && !a.address) {
    const Device* d = r.device(s);
    if (!d)
      return;
    const auto placed = std::find_if(d->regions.begin(), d->regions.end(),
                                     [&](auto& p) { return p.region == a.region && p.placed; });
    if (placed == d->regions.end())
      return r.mismatch("region " + std::to_string(a.region) + " of " + r.name(s) +
                        " is not placed");
    address = placed->gcPhys + a.offset;
  }
  int32_t rc = 0;
  if (port) {
    uint32_t v = static_cast<uint32_t>(value);
    const auto at = static_cast<uint16_t>(address);
    rc = write ? r.vm.host.portWrite(at, v, a.size) : r.vm.host.portRead(at, a.size, &v);
    value = v;
  } else {
    uint8_t bytes[8] = {};
    std::memcpy(bytes, &a.value, a.size);
    rc = write ? r.vm.host.memWrite(address, bytes, a.size)
               : r.vm.host.memRead(address, bytes, a.size);
    value = loadBytes(bytes, a.size);
  }
  const std::string name = s.kind->name;
  r.describe(name + std::string(10 - name.size(), ' ') + (port ? "port " : "") + hexText(address) +
             sized(a.size) + (write ? " <- " : " -> ") + hexText(value));
  r.status(rc, a.outcome, port ? -1 : -2);
  if (!write)
    r.value(rc, value, a.expect, a.outcome);
}

// The VM manager's view of shared memory: the host is not in the way, so no status.
void runShared(const ScenarioStep& s, StepRun& r) {
  const auto& m = std::get<AccessOperands>(s.operands);
  const bool write = takes(*s.kind, "value");
  const auto& desc = static_cast<VmmgrRegionDesc*>(r.vm.entry(s.device).regions.begin)[m.region];
  auto* memory = static_cast<uint8_t*>(*desc.sharedMemoryOut);
  if (!memory)
    return r.mismatch("the host gave no shared memory for region " + std::to_string(m.region) +
                      " of " + r.name(s));
  if (write)
    std::memcpy(memory + m.offset, &m.value, m.size);
  const uint64_t value = loadBytes(memory + m.offset, m.size);
  r.describe(std::string(write ? "sharedWrite " : "sharedRead  ") + r.name(s) + " region " +
             std::to_string(m.region) + " +" + hexText(m.offset) + " (VM manager's view) " +
             (write ? "<- " : "-> ") + hexText(value));
  if (!write)
    r.value(0, value, m.expect, {});
}

void runConfig(const ScenarioStep& s, StepRun& r) {
  const auto& c = std::get<AccessOperands>(s.operands);
  if (const Device* d = r.device(s)) {
    const uint64_t value = loadBytes(d->config() + c.offset, c.size);
    r.describe("config    " + r.name(s) + " +" + hexText(c.offset) + sized(c.size) + " = " +
               hexText(value));
    r.value(0, value, c.expect, {});
  }
}

StepOperands readPlace(const StepFields& f, const StepKind&) {
  AccessOperands p;
  p.region = f.integer<uint32_t>("region");
  p.address = f.integer<uint64_t>("address");
  p.outcome.status = f.optionalInteger<int32_t>("status").value_or(0);
  return p;
}

void runPlace(const ScenarioStep& s, StepRun& r) {
  const auto& p = std::get<AccessOperands>(s.operands);
  if (r.device(s)) {
    r.describe("place     " + r.name(s) + " region " + std::to_string(p.region) + " at " +
               hexText(*p.address));
    r.status(r.vm.host.placeRegion(s.device, p.region, *p.address), p.outcome, 0);
  }
}

// ---- interrupts and serial output ----

StepOperands readLevel(const StepFields& f, const StepKind&) {
  return LevelOperands{f.integer<int32_t>("level")};
}

void runSetIrq(const ScenarioStep& s, StepRun& r) {
  const int32_t level = std::get<LevelOperands>(s.operands).level;
  r.describe("setIrq    " + r.name(s) + " level " + std::to_string(level) +
             " (VM manager calls the interrupt function)");
  if (void* devIns = r.vm.entry(s.device).devIns)
    r.vm.setIrq(devIns, level);
  else
    r.mismatch("the module has not constructed " + r.name(s));
}

// The level is the last one the host received (its history is kept under the host's lock).
void runExpectIrq(const ScenarioStep& s, StepRun& r) {
  const Device* d = r.device(s);
  if (!d)
    return;
  int32_t level = 0;
  for (const IrqEvent& e : r.vm.host.irqEvents())
    if (e.devIns == d->devIns)
      level = e.level;
  const int32_t want = std::get<LevelOperands>(s.operands).level;
  r.describe("expectIrq " + r.name(s) + " line level " + std::to_string(level));
  if (level != want)
    r.mismatch("interrupt level " + std::to_string(level) + ", expected " + std::to_string(want));
}

// "1,0,1,0" or [1, 0, 1, 0]: the levels since the previous expectIrqHistory of the device.
StepOperands readHistory(const StepFields& f, const StepKind&) {
  const Node& n = f.need("levels");
  std::string text;
  if (n.kind != Node::Array) {
    text = f.string("levels");
    for (size_t i = 0; i < text.size(); i += 2)
      if ((text[i] != '0' && text[i] != '1') ||
          (i + 1 < text.size() && (text[i + 1] != ',' || i + 2 == text.size())))
        f.fail("levels", "levels 0 and 1 separated by commas, got " + n.shown());
  }
  for (size_t i = 0; n.kind == Node::Array && i < n.items.size(); ++i) {
    const Node& l = n.items[i];
    if (l.kind != Node::Unsigned || l.magnitude > 1)
      f.failAt(l, "a level is 0 or 1, got " + l.shown(), "levels[" + std::to_string(i) + "]");
    text += (i ? "," : "") + l.text;
  }
  return TextOperands{text};
}

void runHistory(const ScenarioStep& s, StepRun& r) {
  const Device* d = r.device(s);
  if (!d)
    return;
  r.state.irqSeen.resize(r.scenario.devices.size());
  size_t& seen = r.state.irqSeen[s.device];
  std::string got;
  size_t mine = 0;
  for (const IrqEvent& e : r.vm.host.irqEvents())
    if (e.devIns == d->devIns && mine++ >= seen)
      got += (got.empty() ? "" : ",") + std::to_string(e.level);
  seen = mine;
  const std::string& want = std::get<TextOperands>(s.operands).text;
  r.describe("expectIrqHistory " + r.name(s) + " [" + got + "]");
  if (got != want)
    r.mismatch("interrupt levels [" + got + "], expected [" + want + "]");
}

StepOperands readText(const StepFields& f, const StepKind&) {
  return TextOperands{f.string("text")};
}

void runTransmitted(const ScenarioStep& s, StepRun& r) {
  const std::string& want = std::get<TextOperands>(s.operands).text;
  const std::string sent = r.vm.serialOf[s.device]->transmitted();
  r.describe("transmitted by " + r.name(s) + ": \"" + sent + "\"");
  if (sent != want)
    r.mismatch("expected \"" + want + "\"");
}

// ---- host faults, what the module said and which callbacks it reached ----

const std::pair<const char*, HostOp> HOST_OPS[] = {
    {"register", HostOp::Register},
    {"ioPortRegister", HostOp::IoPortRegister},
    {"pciRegister", HostOp::PciRegister},
    {"sharedMemoryRegister", HostOp::Mmio2Register},
    {"regionRegister", HostOp::PciIoRegionRegister},
    {"mmioRegister", HostOp::MmioRegister},
    {"sharedMemoryMap", HostOp::Mmio2Map},
};

StepOperands readFail(const StepFields& f, const StepKind&) {
  FailOperands o;
  o.name = f.string("operation");
  std::string names;
  for (const auto& [name, op] : HOST_OPS) {
    names += (names.empty() ? "" : ", ") + std::string(name);
    if (o.name == name)
      o.operation = static_cast<int>(op);
  }
  if (o.operation == 0)
    f.fail("operation", "is one of " + names + "; got " + f.need("operation").shown());
  o.status = f.integer<int32_t>("status");
  if (o.status >= 0)
    f.fail("status", "a refusal is a negative status");
  o.count = f.optionalInteger<uint32_t>("count").value_or(1);
  if (o.count == 0 || o.count > PDMHOST_MAX_FAULTS)
    f.fail("count", "refuses 1 to " + std::to_string(PDMHOST_MAX_FAULTS) + " calls");
  return o;
}

void runFail(const ScenarioStep& s, StepRun& r) {
  const auto& o = std::get<FailOperands>(s.operands);
  r.vm.host.injectStatus(static_cast<HostOp>(o.operation), o.status, 0, o.count);
  r.describe("failHost  " + o.name + " refuses its next " + std::to_string(o.count) +
             " calls with " + hostStatusText(o.status));
}

StepOperands readLog(const StepFields& f, const StepKind&) {
  LogOperands l;
  l.level = f.integer<int32_t>("level");
  if (l.level < 0 || l.level > 4)
    f.fail("level", "a log level from 0 (error) to 4 (verbose)");
  l.text = f.optionalString("text").value_or("");
  if (const std::string why = l.pattern.compile(l.text); !why.empty())
    f.fail("text", "not a regular expression pdmhost reads: " + why);
  l.count = f.optionalInteger<uint32_t>("count");
  return l;
}

void runLog(const ScenarioStep& s, StepRun& r) {
  const auto& l = std::get<LogOperands>(s.operands);
  std::vector<Logged> lines;
  {
    std::lock_guard<std::recursive_mutex> guard(r.state.lock);
    lines.swap(r.state.logged);
  }
  uint32_t found = 0;
  for (const Logged& line : lines)
    found += line.level == l.level && l.pattern.search(line.message);
  r.describe("expectLog level " + std::to_string(l.level) + " /" + l.text +
             "/: " + std::to_string(found) + " lines");
  if (r.state.options.ownLogger)
    r.mismatch("the module logs with its own logger (--own-logger): pdmhost sees no line");
  else if (l.count ? found != *l.count : found == 0)
    r.mismatch(std::to_string(found) + " lines, expected " +
               (l.count ? std::to_string(*l.count) : std::string("at least 1")));
}

StepOperands readCalls(const StepFields& f, const StepKind&) {
  CallsOperands c;
  c.callback = f.string("callback");
  if (!listed(" serialReadFn serialWriteFn pciReadFn pciWriteFn ", c.callback))
    f.fail("callback", "is serialReadFn, serialWriteFn, pciReadFn or pciWriteFn; got " +
                           f.need("callback").shown());
  const bool serial = c.callback[0] == 's';
  if (f.has(serial ? "offset" : "port"))
    f.fail(serial ? "offset" : "port",
           c.callback + (serial ? " takes a port, not an offset" : " takes an offset, not a port"));
  if (f.has("port"))
    c.where = f.integer<uint16_t>("port");
  if (f.has("offset"))
    c.where = f.integer<uint64_t>("offset");
  if (f.has("size"))
    c.size = readSize(f, serial);
  c.count = f.integer<uint32_t>("count");
  return c;
}

// Each filter (device, callback, where, size) counts from where its previous step stopped.
void runCalls(const ScenarioStep& s, StepRun& r) {
  const auto& c = std::get<CallsOperands>(s.operands);
  const std::string filter = r.name(s) + " " + c.callback +
                             (c.where ? " at " + hexText(*c.where) : "") +
                             (c.size ? " size " + std::to_string(*c.size) : "");
  size_t& seen = r.state.callsSeen[filter];
  uint32_t found = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(r.state.lock);
    const std::vector<CallbackCall>& calls = r.state.reached;
    for (; seen < calls.size(); ++seen) {
      const CallbackCall& k = calls[seen];
      found += k.entry == s.device && c.callback == k.callback &&
               (!c.where || k.where == *c.where) && (!c.size || k.size == *c.size);
    }
  }
  r.describe("expectCalls " + filter + ": " + std::to_string(found));
  if (found != c.count)
    r.mismatch(std::to_string(found) + " calls, expected " + std::to_string(c.count));
}

} // namespace

const std::vector<StepKind>& stepKinds() {
  static const std::vector<StepKind> table = {
      {"portRead", " port size expect status contract ", nullptr, false, FuzzUse::PortRead,
       readAccess, nullptr, runAccess},
      {"portWrite", " port size value status contract ", nullptr, false, FuzzUse::PortWrite,
       readAccess, nullptr, runAccess},
      {"memRead", " device region offset address size expect status contract ", "pci", true,
       FuzzUse::MemRead, readAccess, checkAccess, runAccess},
      {"memWrite", " device region offset address size value status contract ", "pci", true,
       FuzzUse::MemWrite, readAccess, checkAccess, runAccess},
      {"sharedRead", " device region offset size expect ", "pci", true, FuzzUse::None, readAccess,
       checkAccess, runShared},
      {"sharedWrite", " device region offset size value ", "pci", true, FuzzUse::None, readAccess,
       checkAccess, runShared},
      {"setIrq", " device level ", "pci", false, FuzzUse::Irq, readLevel, nullptr, runSetIrq},
      {"expectIrq", " device level ", "pci", false, FuzzUse::None, readLevel, nullptr,
       runExpectIrq},
      {"expectConfig", " device offset size expect ", "pci", false, FuzzUse::None, readAccess,
       checkAccess, runConfig},
      {"expectTransmitted", " device text ", "serial", false, FuzzUse::None, readText, nullptr,
       runTransmitted},
      {"placeRegion", " device region address status ", "pci", true, FuzzUse::None, readPlace,
       checkAccess, runPlace},
      {"failHost", " operation status count ", nullptr, false, FuzzUse::None, readFail, nullptr,
       runFail},
      {"expectLog", " level text count ", nullptr, false, FuzzUse::None, readLog, nullptr, runLog},
      {"expectIrqHistory", " device levels ", "pci", false, FuzzUse::None, readHistory, nullptr,
       runHistory},
      {"expectCalls", " device callback offset port size count ", "any", false, FuzzUse::None,
       readCalls, nullptr, runCalls},
  };
  return table;
}

const StepKind* stepKind(const std::string& name) {
  for (const StepKind& k : stepKinds())
    if (name == k.name)
      return &k;
  return nullptr;
}

std::string stepKindsHelp() {
  std::string help;
  for (const StepKind& k : stepKinds()) {
    std::string fields = k.fields;
    for (size_t at = 1; (at = fields.find(' ', at)) < fields.size() - 1; at += 2)
      fields.replace(at, 1, ", ");
    help += "    " + std::string(k.name) + " {" + fields.substr(1, fields.size() - 2) + "}\n";
  }
  return help;
}

} // namespace pdmhost
