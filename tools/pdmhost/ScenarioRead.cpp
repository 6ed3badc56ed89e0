// Reading a scenario: the JSON nodes through the schema of the root, the devices, their
// regions and each step kind's own reader, then the whole scenario checked against the
// device table before anything runs.
#include "tools/pdmhost/DeviceModels.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"
#include "tools/pdmhost/Schema.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace pdmhost {

// ---- fields ----

bool listed(const std::string& list, const std::string& key) {
  return !key.empty() && key.find(' ') == std::string::npos &&
         list.find(" " + key + " ") != std::string::npos;
}

const Node& StepFields::need(const char* key) const {
  if (const Node* n = find(key))
    return *n;
  pdmhost::failAt(source_, node_.line, path_, std::string("needs the field \"") + key + "\"");
}

std::string StepFields::string(const char* key) const {
  const Node& n = need(key);
  if (n.kind != Node::String)
    failAt(n, std::string(n.kind >= Node::Array ? "expected a single value" : "expected a string") +
                  ", got " + n.shown());
  return n.text;
}

bool StepFields::boolean(const char* key, bool absent) const {
  const Node* n = find(key);
  if (n && n->kind != Node::Bool)
    failAt(*n, "expected true or false, got " + n->shown());
  return n ? n->magnitude != 0 : absent;
}

void StepFields::only(const std::string& allowed, const std::string& known,
                      const std::string& what) const {
  for (const Node& n : node_.items)
    if (n.key != "note" && !listed(known, n.key))
      pdmhost::failAt(source_, n.line, path_,
                      "unknown field " + Node{Node::String, 0, 0, "", n.key, {}}.shown());
    else if (n.key != "note" && !listed(allowed, n.key))
      failAt(n, what + " takes no field \"" + n.key + "\"");
}

void StepFields::fail(const char* key, const std::string& why) const { failAt(need(key), why); }

void StepFields::failAt(const Node& n, const std::string& why) const {
  pdmhost::failAt(source_, n.line, path_ + "." + n.key, why);
}

uint64_t StepFields::magnitudeOf(const Node& n, bool* negative, bool wantSigned,
                                 const std::string& range) const {
  if (n.kind == Node::Unsigned || n.kind == Node::Negative) {
    *negative = n.kind == Node::Negative;
  } else if (n.kind != Node::String) {
    failAt(n,
           std::string(n.kind >= Node::Array ? "expected a single value" : "expected an integer") +
               ", got " + n.shown());
  }
  uint64_t m = n.magnitude;
  if (n.kind == Node::String) {
    const char* p = n.text.data();
    const char* end = p + n.text.size();
    *negative = p != end && *p == '-';
    p += *negative;
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      base = 16;
      p += 2;
    }
    const auto [stop, ec] = std::from_chars(p, end, m, base);
    if (ec == std::errc::result_out_of_range)
      failAt(n, n.shown() + " is out of range" + range);
    if (ec != std::errc() || stop != end)
      failAt(n, "expected an integer (decimal, or hex after \"0x\"), got " + n.shown());
  }
  // "-0" is no unsigned value either: a sign where none belongs is a mistake.
  if (*negative && !wantSigned)
    failAt(n, n.shown() + " is out of range" + range);
  if (*negative && m == 0)
    *negative = false;
  return m;
}

// ---- pieces several step kinds read alike ----

uint32_t readSize(const StepFields& f, bool bus) {
  const uint32_t size = f.integer<uint32_t>("size");
  if (bus ? size != 1 && size != 2 && size != 4 : size == 0 || size > 8)
    f.fail("size", bus ? "an access of 1, 2 or 4 bytes" : "an access of 1 to 8 bytes");
  return size;
}

uint64_t readValue(const StepFields& f, const char* key, uint32_t size) {
  const uint64_t v = f.integer<uint64_t>(key);
  if (!fits(v, size))
    f.fail(key, hexText(v) + " does not fit " + std::to_string(size) + " bytes");
  return v;
}

Outcome readOutcome(const StepFields& f) {
  Outcome o;
  o.contract = f.boolean("contract", false);
  if (o.contract && f.has("status"))
    f.fail("status", "a contract step checks only the statuses the module may give");
  o.status = f.optionalInteger<int32_t>("status").value_or(0);
  return o;
}

// A read states the value it expects, unless it is to fail or checks only the contract.
std::optional<uint64_t> readExpect(const StepFields& f, uint32_t size, const Outcome& o) {
  if ((o.status != 0 || o.contract) && !f.has("expect"))
    return std::nullopt;
  return readValue(f, "expect", size);
}

std::string regionCheck(const ScenarioDevice& d, uint32_t region, uint64_t offset, uint32_t size,
                        bool shared, bool placing) {
  if (region >= d.regions.size())
    return "region: \"" + d.name + "\" has no region " + std::to_string(region);
  const ScenarioRegion& r = d.regions[region];
  if (shared && r.mmio)
    return "region: region " + std::to_string(region) + " of \"" + d.name +
           "\" is MMIO, not shared memory";
  if (!placing && (offset > r.size || size > r.size - offset))
    return "offset: the access runs past the end of region " + std::to_string(region) + " (" +
           hexText(r.size) + " bytes)";
  return "";
}

namespace {

const std::string SERIAL_KEYS = " type name description ioPortBase ioPortCount failPort ";
const std::string PCI_KEYS = " type name description regions vendorId deviceId revision progIf "
                             "subclass baseClass subsystemVendorId subsystemId idRegister "
                             "failOffset ";
const std::string DEVICE_KEYS = SERIAL_KEYS + PCI_KEYS;
// Every field some step kind takes, from the table.
const std::string& stepKeys() {
  static const std::string keys = [] {
    std::string all = " op ";
    for (const StepKind& k : stepKinds())
      all += std::string(k.fields).substr(1);
    return all;
  }();
  return keys;
}
constexpr int MAX_DEPTH = 5; // root, devices, a device, its regions, a region

class Reader {
public:
  Reader(const std::string& source, const std::vector<ScenarioDevice>* provided)
      : source_(source), provided_(provided) {}

  Scenario read(const std::string& text) {
    readJson(text, source_, MAX_DEPTH,
             [this](const std::string& array, size_t i, Node& n) { element(array, i, n); });
    if (provided_) {
      if (!scenario_.devices.empty())
        failAt(source_, scenario_.devices[0].line, "devices",
               "the devices come from the VM manager's library (--vm-manager): list none");
      scenario_.devices = *provided_;
    }
    check();
    return std::move(scenario_);
  }

private:
  void element(const std::string& array, size_t i, Node& n) {
    const std::string path = array.empty() ? "" : array + "[" + std::to_string(i) + "]";
    if (array.empty())
      return root(StepFields(n, "", source_));
    const char* what = array == "devices" ? "a device" : "a step";
    if (n.kind != Node::Object)
      failAt(source_, n.line, path,
             std::string(what) + " is an object, " +
                 (n.kind == Node::Array ? "not an array" : "got " + n.shown()));
    const StepFields f(n, path, source_);
    if (array == "devices")
      scenario_.devices.push_back(device(f));
    else
      scenario_.steps.push_back(step(f));
  }

  void root(const StepFields& f) {
    // hangMs: the hang limit a fuzz finding was found with, for pdmhost fuzz --replay.
    const char* keys = " devices steps placementBase setupStatus host hangMs ";
    f.only(keys, keys, "a scenario");
    for (const char* key : {"devices", "steps"})
      if (const Node* n = f.find(key); n && n->kind != Node::Array)
        f.failAt(*n, "expected an array, got " + n->shown());
    if (auto base = f.optionalInteger<uint64_t>("placementBase"))
      scenario_.placementBase = *base;
    scenario_.setupStatus = f.optionalInteger<int32_t>("setupStatus").value_or(0);
    f.optionalInteger<uint32_t>("hangMs");
    if (auto host = f.optionalString("host")) {
      std::string why;
      if (!findRelease(*host, &scenario_.host, &why))
        f.fail("host", why.substr(0, why.find(';')) + " (pdmhost --help lists them)");
    }
    f.optionalString("note");
  }

  ScenarioDevice device(const StepFields& f) {
    ScenarioDevice d;
    d.line = f.node().line;
    const std::string type = f.string("type");
    if (type != "serial" && type != "pci")
      f.fail("type", "is \"serial\" or \"pci\", got " + f.need("type").shown());
    d.serial = type == "serial";
    d.name = f.string("name");
    if (d.name.empty() || d.name.size() > 31)
      f.fail("name", "a device name has 1 to 31 bytes");
    if (d.name.find('\0') != std::string::npos)
      f.fail("name", "a device name holds no NUL character");
    d.description = f.optionalString("description").value_or(d.name);
    if (d.description.find('\0') != std::string::npos)
      f.fail("description", "a description holds no NUL character");
    f.optionalString("note");
    if (d.serial) {
      f.only(SERIAL_KEYS, DEVICE_KEYS, "a serial device");
      d.ioPortBase = f.integer<uint16_t>("ioPortBase");
      d.ioPortCount = f.integer<uint16_t>("ioPortCount");
      if (d.ioPortCount == 0 || d.ioPortBase + d.ioPortCount > 0x10000)
        f.fail("ioPortCount", "the ports run from ioPortBase up to at most 0xffff");
      d.failPort = f.optionalInteger<uint16_t>("failPort");
      return d;
    }
    f.only(PCI_KEYS, DEVICE_KEYS, "a PCI function");
    d.vendorId = f.integer<uint16_t>("vendorId");
    d.deviceId = f.integer<uint16_t>("deviceId");
    d.revision = f.optionalInteger<uint8_t>("revision").value_or(0);
    d.progIf = f.optionalInteger<uint8_t>("progIf").value_or(0);
    d.subclass = f.optionalInteger<uint8_t>("subclass").value_or(0);
    d.baseClass = f.optionalInteger<uint8_t>("baseClass").value_or(0xFF);
    d.subsystemVendorId = f.optionalInteger<uint16_t>("subsystemVendorId").value_or(0);
    d.subsystemId = f.optionalInteger<uint16_t>("subsystemId").value_or(0);
    d.idRegister = f.optionalInteger<uint32_t>("idRegister").value_or(0);
    d.failOffset = f.optionalInteger<uint64_t>("failOffset");
    if (const Node* regions = f.find("regions")) {
      if (regions->kind != Node::Array)
        f.failAt(*regions, "expected an array, got " + regions->shown());
      for (const Node& r : regions->items)
        d.regions.push_back(region(
            r, f.path() + ".regions[" + std::to_string(d.regions.size()) + "]", d.regions.size()));
    }
    if (std::count_if(d.regions.begin(), d.regions.end(), [](auto& r) { return r.mmio; }) > 1)
      f.fail("regions", "a device has at most one MMIO region");
    return d;
  }

  ScenarioRegion region(const Node& n, const std::string& path, size_t index) {
    if (n.kind != Node::Object)
      failAt(source_, n.line, path, "a region is an object, got " + n.shown());
    const StepFields f(n, path, source_);
    f.only(" region mmio size ", " region mmio size ", "a region");
    ScenarioRegion r;
    r.region = f.integer<uint32_t>("region");
    if (r.region != index)
      f.fail("region", "regions stand in region-number order from 0 without gaps: this one is "
                       "region " +
                           std::to_string(index));
    if (r.region > 5)
      f.fail("region", "a PCI function has regions 0 to 5");
    if (f.need("mmio").kind != Node::Bool)
      f.fail("mmio", "expected true or false, got " + f.need("mmio").shown());
    r.mmio = f.boolean("mmio", false);
    f.optionalString("note");
    r.size = f.integer<uint64_t>("size");
    const uint64_t max = r.mmio ? PDMHOST_MAX_MMIO_REGION_SIZE : PDMHOST_MAX_SHARED_REGION_SIZE;
    if (r.size < PDMHOST_MIN_REGION_SIZE || r.size > max || (r.size & (r.size - 1)))
      f.fail("size", "a region size is a power of two from 16 to " + hexText(max) +
                         (r.mmio ? " (MMIO)" : " (shared memory)"));
    return r;
  }

  ScenarioStep step(const StepFields& f) {
    ScenarioStep s;
    s.line = f.node().line;
    f.only(stepKeys(), stepKeys(), "a step");
    const std::string op = f.string("op");
    s.kind = stepKind(op);
    if (!s.kind)
      f.fail("op", "unknown op " + f.need("op").shown());
    f.only(std::string(" op") + s.kind->fields, stepKeys(), op);
    s.note = f.optionalString("note").value_or("");
    if (s.kind->device && !(f.has("address") && s.kind->fuzz != FuzzUse::None)) {
      s.deviceName = f.string("device");
      s.deviceLine = f.need("device").line;
    }
    s.operands = s.kind->read(f);
    return s;
  }

  void check() {
    const std::vector<ScenarioDevice>& devices = scenario_.devices;
    size_t serials = 0;
    uint64_t shared = 0, cursor = scenario_.placementBase;
    for (size_t i = 0; i < devices.size(); ++i) {
      const ScenarioDevice& d = devices[i];
      const std::string path = "devices[" + std::to_string(i) + "]";
      serials += d.serial;
      if (std::max(serials, i + 1 - serials) > PDMHOST_MAX_MODELS)
        failAt(source_, d.line, path,
               "more than " + std::to_string(PDMHOST_MAX_MODELS) + " " +
                   (d.serial ? "serial" : "PCI") + " devices");
      for (size_t j = 0; j < i; ++j) {
        if (devices[j].name == d.name)
          failAt(source_, d.line, path + ".name",
                 "duplicate name \"" + d.name + "\" (devices[" + std::to_string(j) + "] has it)");
        if (d.serial && devices[j].serial &&
            d.ioPortBase < devices[j].ioPortBase + devices[j].ioPortCount &&
            devices[j].ioPortBase < d.ioPortBase + d.ioPortCount)
          failAt(source_, d.line, path + ".ioPortBase",
                 "its ports overlap those of \"" + devices[j].name + "\"");
      }
      for (size_t r = 0; r < d.regions.size(); ++r) {
        shared += d.regions[r].mmio ? 0 : d.regions[r].size;
        if (shared > PDMHOST_MAX_SHARED_TOTAL)
          failAt(source_, d.line, path + ".regions[" + std::to_string(r) + "]",
                 "the shared-memory regions of a scenario total at most " +
                     hexText(PDMHOST_MAX_SHARED_TOTAL) + " bytes");
        // Placement as the host does it.
        uint64_t at = 0;
        if (!placeUpward(&cursor, d.regions[r].size, &at))
          failAt(source_, d.line, path + ".regions[" + std::to_string(r) + "]",
                 "placed upward from placementBase " + hexText(scenario_.placementBase) +
                     ", the region would run past the end of the address space");
      }
    }
    for (size_t i = 0; i < scenario_.steps.size(); ++i)
      checkStep(scenario_.steps[i], "steps[" + std::to_string(i) + "]");
  }

  void checkStep(ScenarioStep& s, const std::string& path) {
    if (s.deviceLine == 0)
      return; // no device named
    const auto& devices = scenario_.devices;
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const ScenarioDevice& d) { return d.name == s.deviceName; });
    if (it == devices.end())
      failAt(source_, s.deviceLine, path + ".device", "no device named \"" + s.deviceName + "\"");
    s.device = static_cast<size_t>(it - devices.begin());
    const std::string want = s.kind->device;
    if (s.kind == stepKind("expectTransmitted") && provided_)
      failAt(source_, s.deviceLine, path + ".device",
             "expectTransmitted reads pdmhost's own serial model, and \"" + s.deviceName +
                 "\" is the VM manager's device");
    if (want != "any" && it->serial != (want == "serial"))
      failAt(source_, s.deviceLine, path + ".device",
             std::string(s.kind->name) + " needs a " + (want == "serial" ? "serial" : "PCI") +
                 " device; \"" + s.deviceName + "\" is " + (it->serial ? "a serial" : "a PCI") +
                 " device");
    const std::string why = s.kind->check ? s.kind->check(s, *it) : "";
    if (!why.empty()) // "field: why"
      failAt(source_, s.line, path + "." + why.substr(0, why.find(':')),
             why.substr(why.find(':') + 2));
  }

  const std::string& source_;
  const std::vector<ScenarioDevice>* provided_;
  Scenario scenario_;
};

} // namespace

Scenario parseScenario(const std::string& text, const std::string& source,
                       const std::vector<ScenarioDevice>* provided) {
  return Reader(source, provided).read(text);
}

Scenario readScenarioFile(const std::string& path, const std::vector<ScenarioDevice>* provided) {
  // Only regular files: a pipe or a device could block or never end.
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    throw ScenarioError(path + ": cannot read: " + std::strerror(errno));
  if (S_ISDIR(st.st_mode))
    throw ScenarioError(path + ": is a directory, not a scenario file");
  if (!S_ISREG(st.st_mode))
    throw ScenarioError(path + ": not a regular file");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    throw ScenarioError(path + ": cannot read: " + std::strerror(errno));
  std::string text;
  char chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
         text.size() + n <= PDMHOST_MAX_SCENARIO_BYTES)
    text.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  const int err = errno;
  std::fclose(file);
  if (failed)
    throw ScenarioError(path + ": cannot read: " + std::strerror(err));
  if (n > 0)
    throw ScenarioError(path + ": larger than " + std::to_string(PDMHOST_MAX_SCENARIO_BYTES >> 20) +
                        " MiB, the most a scenario may hold");
  return parseScenario(text, path, provided);
}

} // namespace pdmhost
