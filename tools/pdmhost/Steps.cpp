// The step table: each kind's reader, check and run, next to each other.
#include "tools/pdmhost/Run.h"
#include "tools/pdmhost/Schema.h"

#include <cstring>

namespace pdmhost {

namespace {

std::string sized(uint32_t size) { return " size " + std::to_string(size); }

// ---- guest accesses ----

// What every access ends with: the value written or expected, and how it should end.
template <bool write> StepOperands readData(const StepFields& f, AccessOperands a) {
  a.outcome = readOutcome(f);
  if (write)
    a.value = readValue(f, "value", a.size);
  else
    a.expect = readExpect(f, a.size, a.outcome);
  return a;
}

template <bool write> StepOperands readPort(const StepFields& f) {
  AccessOperands p;
  p.offset = f.integer<uint16_t>("port");
  p.size = readSize(f, true);
  return readData<write>(f, p);
}

template <bool write> void runPort(const ScenarioStep& s, StepRun& r) {
  const auto& p = std::get<AccessOperands>(s.operands);
  const auto port = static_cast<uint16_t>(p.offset);
  uint32_t value = static_cast<uint32_t>(p.value);
  const int32_t rc =
      write ? r.vm.host.portWrite(port, value, p.size) : r.vm.host.portRead(port, p.size, &value);
  r.describe(std::string(write ? "portWrite port " : "portRead  port ") + hexText(port) +
             sized(p.size) + (write ? " <- " : " -> ") + hexText(value));
  r.status(rc, p.outcome, -1);
  if (!write)
    r.value(rc, value, p.expect, p.outcome);
}

template <bool write> StepOperands readMem(const StepFields& f) {
  AccessOperands m;
  m.size = readSize(f, false);
  if (f.has("address")) {
    m.address = f.integer<uint64_t>("address");
    for (const char* other : {"device", "region", "offset"})
      if (f.has(other))
        f.fail(other, "a step takes either \"address\" or \"device\", \"region\" and \"offset\"");
    if (*m.address > UINT64_MAX - (m.size - 1))
      f.fail("address", "the access runs past the end of the address space");
  } else {
    m.region = f.integer<uint32_t>("region");
    m.offset = f.integer<uint64_t>("offset");
  }
  return readData<write>(f, m);
}

template <bool shared> std::string checkAccess(const ScenarioStep& s, const ScenarioDevice& d) {
  const auto& m = std::get<AccessOperands>(s.operands);
  return regionCheck(d, m.region, m.offset, m.size, shared, false);
}

template <bool write> void runMem(const ScenarioStep& s, StepRun& r) {
  const auto& m = std::get<AccessOperands>(s.operands);
  uint64_t address = m.address.value_or(0);
  if (!m.address) {
    const Device* d = r.device(s);
    if (!d)
      return;
    const PciRegion* placed = nullptr;
    for (const PciRegion& region : d->regions)
      if (region.region == m.region && region.placed)
        placed = &region;
    if (!placed)
      return r.mismatch("region " + std::to_string(m.region) + " of " + r.name(s) +
                        " is not placed");
    address = placed->gcPhys + m.offset;
  }
  uint8_t bytes[8] = {};
  std::memcpy(bytes, &m.value, m.size);
  const int32_t rc = write ? r.vm.host.memWrite(address, bytes, m.size)
                           : r.vm.host.memRead(address, bytes, m.size);
  r.describe(std::string(write ? "memWrite  " : "memRead   ") + hexText(address) + sized(m.size) +
             (write ? " <- " : " -> ") + hexText(loadBytes(bytes, m.size)));
  r.status(rc, m.outcome, -2);
  if (!write)
    r.value(rc, loadBytes(bytes, m.size), m.expect, m.outcome);
}

template <bool write> StepOperands readShared(const StepFields& f) {
  AccessOperands m;
  m.region = f.integer<uint32_t>("region");
  m.offset = f.integer<uint64_t>("offset");
  m.size = readSize(f, false);
  return readData<write>(f, m); // it takes no status: the host is not in the way
}

template <bool write> void runShared(const ScenarioStep& s, StepRun& r) {
  const auto& m = std::get<AccessOperands>(s.operands);
  const auto& desc = static_cast<VmmgrRegionDesc*>(r.vm.entry(s.device).regions.begin)[m.region];
  auto* memory = static_cast<uint8_t*>(*desc.sharedMemoryOut);
  if (!memory)
    return r.mismatch("the host gave no shared memory for region " + std::to_string(m.region) +
                      " of " + r.name(s));
  const std::string where =
      r.name(s) + " region " + std::to_string(m.region) + " +" + hexText(m.offset);
  if (write)
    std::memcpy(memory + m.offset, &m.value, m.size);
  const uint64_t value = loadBytes(memory + m.offset, m.size);
  r.describe(std::string(write ? "sharedWrite " : "sharedRead  ") + where +
             " (VM manager's view) " + (write ? "<- " : "-> ") + hexText(value));
  if (!write)
    r.value(0, value, m.expect, {});
}

// ---- interrupts, configuration, placement ----

StepOperands readLevel(const StepFields& f) { return LevelOperands{f.integer<int32_t>("level")}; }

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

StepOperands readConfig(const StepFields& f) {
  ConfigOperands c;
  c.offset = f.integer<uint64_t>("offset");
  c.size = readSize(f, true);
  c.expect = readValue(f, "expect", c.size);
  return c;
}

std::string checkConfig(const ScenarioStep& s, const ScenarioDevice&) {
  const auto& c = std::get<ConfigOperands>(s.operands);
  return c.offset > 256 || c.size > 256 - c.offset
             ? "offset: the access runs past the 256 bytes of configuration space"
             : "";
}

void runConfig(const ScenarioStep& s, StepRun& r) {
  const auto& c = std::get<ConfigOperands>(s.operands);
  if (const Device* d = r.device(s)) {
    const uint64_t value = loadBytes(d->config() + c.offset, c.size);
    r.describe("config    " + r.name(s) + " +" + hexText(c.offset) + sized(c.size) + " = " +
               hexText(value));
    r.value(0, value, c.expect, {});
  }
}

StepOperands readText(const StepFields& f) { return TextOperands{f.string("text")}; }

void runTransmitted(const ScenarioStep& s, StepRun& r) {
  const std::string& want = std::get<TextOperands>(s.operands).text;
  const std::string sent = r.vm.serialOf[s.device]->transmitted();
  r.describe("transmitted by " + r.name(s) + ": \"" + sent + "\"");
  if (sent != want)
    r.mismatch("expected \"" + want + "\"");
}

StepOperands readPlace(const StepFields& f) {
  return PlaceOperands{f.integer<uint32_t>("region"), f.integer<uint64_t>("address"),
                       f.optionalInteger<int32_t>("status").value_or(0)};
}

std::string checkPlace(const ScenarioStep& s, const ScenarioDevice& d) {
  return regionCheck(d, std::get<PlaceOperands>(s.operands).region, 0, 0, false, true);
}

void runPlace(const ScenarioStep& s, StepRun& r) {
  const auto& p = std::get<PlaceOperands>(s.operands);
  if (r.device(s)) {
    r.describe("place     " + r.name(s) + " region " + std::to_string(p.region) + " at " +
               hexText(p.address));
    r.status(r.vm.host.placeRegion(s.device, p.region, p.address), Outcome{p.status, false}, 0);
  }
}

// ---- host faults and what the module said ----

const std::pair<const char*, HostOp> HOST_OPS[] = {
    {"register", HostOp::Register},
    {"ioPortRegister", HostOp::IoPortRegister},
    {"pciRegister", HostOp::PciRegister},
    {"sharedMemoryRegister", HostOp::Mmio2Register},
    {"regionRegister", HostOp::PciIoRegionRegister},
    {"mmioRegister", HostOp::MmioRegister},
    {"sharedMemoryMap", HostOp::Mmio2Map},
};

StepOperands readFail(const StepFields& f) {
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

StepOperands readLog(const StepFields& f) {
  LogOperands l;
  l.level = f.integer<int32_t>("level");
  if (l.level < 0 || l.level > 4)
    f.fail("level", "a log level from 0 (error) to 4 (verbose)");
  l.text = f.optionalString("text").value_or("");
  const std::string why = l.pattern.compile(l.text);
  if (!why.empty())
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

StepOperands readHistory(const StepFields& f) {
  // "1,0,1,0" or [1, 0, 1, 0]: the levels since the previous expectIrqHistory of the device.
  const Node& n = f.need("levels");
  std::string text;
  if (n.kind == Node::Array) {
    for (size_t i = 0; i < n.items.size(); ++i) {
      const Node& l = n.items[i];
      if (l.kind != Node::Unsigned || l.magnitude > 1)
        pdmhost::failAt(f.source(), l.line, f.path() + ".levels[" + std::to_string(i) + "]",
                        "a level is 0 or 1, got " + l.shown());
      text += (i ? "," : "") + std::to_string(l.magnitude);
    }
    return HistoryOperands{text};
  }
  text = f.string("levels");
  for (size_t i = 0; i < text.size(); i += 2)
    if ((text[i] != '0' && text[i] != '1') ||
        (i + 1 < text.size() && (text[i + 1] != ',' || i + 2 == text.size())))
      f.fail("levels", "levels 0 and 1 separated by commas, got " + n.shown());
  return HistoryOperands{text};
}

void runHistory(const ScenarioStep& s, StepRun& r) {
  const Device* d = r.device(s);
  if (!d)
    return;
  const std::vector<IrqEvent> events = r.vm.host.irqEvents();
  r.state.irqSeen.resize(r.scenario.devices.size());
  size_t& seen = r.state.irqSeen[s.device];
  std::string got;
  size_t mine = 0;
  for (const IrqEvent& e : events)
    if (e.devIns == d->devIns && mine++ >= seen)
      got += (got.empty() ? "" : ",") + std::to_string(e.level);
  seen = mine;
  const std::string& want = std::get<HistoryOperands>(s.operands).levels;
  r.describe("expectIrqHistory " + r.name(s) + " [" + got + "]");
  if (got != want)
    r.mismatch("interrupt levels [" + got + "], expected [" + want + "]");
}

StepOperands readCalls(const StepFields& f) {
  CallsOperands c;
  c.callback = f.string("callback");
  if (!listed(" serialReadFn serialWriteFn pciReadFn pciWriteFn ", c.callback))
    f.fail("callback", "is serialReadFn, serialWriteFn, pciReadFn or pciWriteFn; got " +
                           f.need("callback").shown());
  const bool serial = c.callback[0] == 's';
  if (f.has("port") && !serial)
    f.fail("port", c.callback + " takes an offset, not a port");
  if (f.has("offset") && serial)
    f.fail("offset", c.callback + " takes a port, not an offset");
  if (f.has("port"))
    c.where = f.integer<uint16_t>("port");
  if (f.has("offset"))
    c.where = f.integer<uint64_t>("offset");
  if (f.has("size"))
    c.size = readSize(f, serial);
  c.count = f.integer<uint32_t>("count");
  return c;
}

std::string checkCalls(const ScenarioStep& s, const ScenarioDevice& d) {
  const bool serial = std::get<CallsOperands>(s.operands).callback[0] == 's';
  return serial == d.serial ? ""
                            : "device: " + std::get<CallsOperands>(s.operands).callback +
                                  " needs a " + (serial ? "serial" : "PCI") + " device; \"" +
                                  d.name + "\" is " + (d.serial ? "a serial" : "a PCI") + " device";
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

const std::vector<StepKind>& kinds() {
  static const std::vector<StepKind> table = {
      {"portRead", " port size expect status contract ", nullptr, false, FuzzUse::PortRead,
       readPort<false>, nullptr, runPort<false>},
      {"portWrite", " port size value status contract ", nullptr, false, FuzzUse::PortWrite,
       readPort<true>, nullptr, runPort<true>},
      {"memRead", " device region offset address size expect status contract ", "pci", true,
       FuzzUse::MemRead, readMem<false>, checkAccess<false>, runMem<false>},
      {"memWrite", " device region offset address size value status contract ", "pci", true,
       FuzzUse::MemWrite, readMem<true>, checkAccess<false>, runMem<true>},
      {"sharedRead", " device region offset size expect ", "pci", true, FuzzUse::None,
       readShared<false>, checkAccess<true>, runShared<false>},
      {"sharedWrite", " device region offset size value ", "pci", true, FuzzUse::None,
       readShared<true>, checkAccess<true>, runShared<true>},
      {"setIrq", " device level ", "pci", false, FuzzUse::Irq, readLevel, nullptr, runSetIrq},
      {"expectIrq", " device level ", "pci", false, FuzzUse::None, readLevel, nullptr,
       runExpectIrq},
      {"expectConfig", " device offset size expect ", "pci", false, FuzzUse::None, readConfig,
       checkConfig, runConfig},
      {"expectTransmitted", " device text ", "serial", false, FuzzUse::None, readText, nullptr,
       runTransmitted},
      {"placeRegion", " device region address status ", "pci", true, FuzzUse::None, readPlace,
       checkPlace, runPlace},
      {"failHost", " operation status count ", nullptr, false, FuzzUse::None, readFail, nullptr,
       runFail},
      {"expectLog", " level text count ", nullptr, false, FuzzUse::None, readLog, nullptr, runLog},
      {"expectIrqHistory", " device levels ", "pci", false, FuzzUse::None, readHistory, nullptr,
       runHistory},
      {"expectCalls", " device callback offset port size count ", "any", false, FuzzUse::None,
       readCalls, checkCalls, runCalls},
  };
  return table;
}

} // namespace

const std::vector<StepKind>& stepKinds() { return kinds(); }

const StepKind* stepKind(const std::string& name) {
  for (const StepKind& k : kinds())
    if (name == k.name)
      return &k;
  return nullptr;
}

std::string stepKindsHelp() {
  std::string help;
  for (const StepKind& k : kinds()) {
    std::string fields = k.fields;
    for (size_t at = 1; (at = fields.find(' ', at)) < fields.size() - 1; at += 2)
      fields.replace(at, 1, ", ");
    help += "    " + std::string(k.name) + " {" + fields.substr(1, fields.size() - 2) + "}\n";
  }
  return help;
}

} // namespace pdmhost
