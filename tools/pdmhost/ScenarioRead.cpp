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
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pdmhost {

// ---- fields ----

namespace {

// "expected a string, got 1"; where an array or an object stands, a single value was asked.
std::string expected(const Node& n, const char* what) {
  return std::string(n.kind >= Node::Array ? "expected a single value" : what) + ", got " +
         n.shown();
}

} // namespace

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
    failAt(n, expected(n, "expected a string"));
  return n.text;
}

bool StepFields::boolean(const char* key, bool absent) const {
  const Node* n = find(key);
  if (n && n->kind != Node::Bool)
    failAt(*n, expected(*n, "expected true or false"));
  return n ? n->magnitude != 0 : absent;
}

void StepFields::only(const std::string& allowed, const std::string& known,
                      const std::string& what) const {
  for (const Node& n : node_.items)
    if (n.key == "note")
      string("note");
    else if (!listed(known, n.key))
      pdmhost::failAt(source_, n.line, path_,
                      "unknown field " + Node{Node::String, 0, 0, "", n.key, {}}.shown());
    else if (!listed(allowed, n.key))
      failAt(n, what + " takes no field \"" + n.key + "\"");
}

void StepFields::failAt(const Node& n, const std::string& why, const std::string& field) const {
  pdmhost::failAt(source_, n.line,
                  path_ + (path_.empty() ? "" : ".") + (field.empty() ? n.key : field), why);
}

uint64_t StepFields::number(const Node& n, int64_t min, uint64_t max) const {
  const std::string range = " (" + std::to_string(min) + " to " + std::to_string(max) + ")";
  bool negative = n.kind == Node::Negative;
  uint64_t m = n.magnitude;
  if (n.kind == Node::String) {
    std::string_view t = n.text;
    negative = !t.empty() && t[0] == '-';
    t.remove_prefix(negative);
    const int base = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') ? 16 : 10;
    t.remove_prefix(base == 16 ? 2 : 0);
    const auto [stop, ec] = std::from_chars(t.data(), t.data() + t.size(), m, base);
    if (ec == std::errc::result_out_of_range)
      failAt(n, n.shown() + " is out of range" + range);
    if (ec != std::errc() || stop != t.data() + t.size())
      failAt(n, "expected an integer (decimal, or hex after \"0x\"), got " + n.shown());
  } else if (n.kind != Node::Unsigned && !negative) {
    failAt(n, expected(n, "expected an integer"));
  }
  // "-0" is no unsigned value either: a sign where none belongs is a mistake.
  if (negative ? min == 0 || m > static_cast<uint64_t>(-(min + 1)) + 1 : m > max)
    failAt(n, n.shown() + " is out of range" + range);
  return negative ? 0 - m : m;
}

// ---- the scenario ----

namespace {

const std::string SERIAL_KEYS = " type name description ioPortBase ioPortCount failPort ";
const std::string PCI_KEYS = " type name description regions vendorId deviceId revision progIf "
                             "subclass baseClass subsystemVendorId subsystemId idRegister "
                             "failOffset ";
constexpr int MAX_DEPTH = 5; // root, devices, a device, its regions, a region

class Reader {
public:
  Reader(const std::string& source, const std::vector<ScenarioDevice>* provided)
      : source_(source), provided_(provided) {
    for (const StepKind& k : stepKinds())
      stepKeys_ += k.fields + 1; // each list starts with its space
  }

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
    if (array.empty())
      return root(StepFields(n, "", source_));
    const std::string path = array + "[" + std::to_string(i) + "]";
    const bool device = array == "devices";
    if (n.kind != Node::Object)
      failAt(source_, n.line, path,
             std::string(device ? "a device" : "a step") + " is an object, " +
                 (n.kind == Node::Array ? "not an array" : "got " + n.shown()));
    if (device)
      scenario_.devices.push_back(readDevice(StepFields(n, path, source_)));
    else
      scenario_.steps.push_back(readStep(StepFields(n, path, source_)));
  }

  void root(const StepFields& f) {
    // hangMs: the hang limit a fuzz finding was found with, for pdmhost fuzz --replay.
    const char* keys = " devices steps placementBase setupStatus host hangMs ";
    f.only(keys, keys, "a scenario");
    for (const char* key : {"devices", "steps"})
      if (const Node* n = f.find(key); n && n->kind != Node::Array)
        f.failAt(*n, "expected an array, got " + n->shown());
    scenario_.placementBase =
        f.optionalInteger<uint64_t>("placementBase").value_or(scenario_.placementBase);
    scenario_.setupStatus = f.optionalInteger<int32_t>("setupStatus").value_or(0);
    f.optionalInteger<uint32_t>("hangMs");
    std::string why;
    if (f.has("host") && !findRelease(f.string("host"), &scenario_.host, &why))
      f.fail("host", why.substr(0, why.find(';')) + " (pdmhost --help lists them)");
  }

  ScenarioDevice readDevice(const StepFields& f) {
    ScenarioDevice d;
    d.line = f.node().line;
    const std::string type = f.string("type");
    if (type != "serial" && type != "pci")
      f.fail("type", "is \"serial\" or \"pci\", got " + f.need("type").shown());
    d.serial = type == "serial";
    f.only(d.serial ? SERIAL_KEYS : PCI_KEYS, SERIAL_KEYS + PCI_KEYS,
           d.serial ? "a serial device" : "a PCI function");
    d.name = f.string("name");
    if (d.name.empty() || d.name.size() > 31)
      f.fail("name", "a device name has 1 to 31 bytes");
    if (d.name.find('\0') != std::string::npos)
      f.fail("name", "a device name holds no NUL character");
    d.description = f.optionalString("description").value_or(d.name);
    if (d.description.find('\0') != std::string::npos)
      f.fail("description", "a description holds no NUL character");
    if (d.serial) {
      d.ioPortBase = f.integer<uint16_t>("ioPortBase");
      d.ioPortCount = f.integer<uint16_t>("ioPortCount");
      if (d.ioPortCount == 0 || d.ioPortBase + d.ioPortCount > 0x10000)
        f.fail("ioPortCount", "the ports run from ioPortBase up to at most 0xffff");
      d.failPort = f.optionalInteger<uint16_t>("failPort");
      return d;
    }
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
    const Node* regions = f.find("regions");
    if (regions && regions->kind != Node::Array)
      f.failAt(*regions, "expected an array, got " + regions->shown());
    for (size_t i = 0; regions && i < regions->items.size(); ++i)
      d.regions.push_back(
          readRegion(regions->items[i], f.path() + ".regions[" + std::to_string(i) + "]", i));
    if (std::count_if(d.regions.begin(), d.regions.end(), [](auto& r) { return r.mmio; }) > 1)
      f.fail("regions", "a device has at most one MMIO region");
    return d;
  }

  ScenarioRegion readRegion(const Node& n, const std::string& path, uint32_t index) {
    if (n.kind != Node::Object)
      failAt(source_, n.line, path, "a region is an object, got " + n.shown());
    const StepFields f(n, path, source_);
    f.only(" region mmio size ", " region mmio size ", "a region");
    f.need("mmio"); // no default: a region is MMIO or shared memory as its device's code says
    const ScenarioRegion r{f.integer<uint32_t>("region"), f.boolean("mmio", false),
                           f.integer<uint64_t>("size")};
    if (r.region != index)
      f.fail("region", "regions stand in region-number order from 0 without gaps: this one "
                       "is region " +
                           std::to_string(index));
    if (r.region > 5)
      f.fail("region", "a PCI function has regions 0 to 5");
    const uint64_t max = r.mmio ? PDMHOST_MAX_MMIO_REGION_SIZE : PDMHOST_MAX_SHARED_REGION_SIZE;
    if (r.size < PDMHOST_MIN_REGION_SIZE || r.size > max || (r.size & (r.size - 1)))
      f.fail("size", "a region size is a power of two from 16 to " + hexText(max) +
                         (r.mmio ? " (MMIO)" : " (shared memory)"));
    return r;
  }

  ScenarioStep readStep(const StepFields& f) {
    ScenarioStep s;
    s.line = f.node().line;
    f.only(stepKeys_, stepKeys_, "a step");
    const std::string op = f.string("op");
    s.kind = stepKind(op);
    if (!s.kind)
      f.fail("op", "unknown op " + f.need("op").shown());
    f.only(std::string(" op") + s.kind->fields, stepKeys_, op);
    s.note = f.optionalString("note").value_or("");
    if (s.kind->device && !(f.has("address") && s.kind->fuzz != FuzzUse::None)) {
      s.deviceName = f.string("device");
      s.deviceLine = f.need("device").line;
    }
    s.operands = s.kind->read(f, *s.kind);
    return s;
  }

  void check() {
    const std::vector<ScenarioDevice>& devices = scenario_.devices;
    size_t serials = 0;
    uint64_t shared = 0, cursor = scenario_.placementBase, at = 0;
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
        const std::string region = path + ".regions[" + std::to_string(r) + "]";
        shared += d.regions[r].mmio ? 0 : d.regions[r].size;
        if (shared > PDMHOST_MAX_SHARED_TOTAL)
          failAt(source_, d.line, region,
                 "the shared-memory regions of a scenario total at most " +
                     hexText(PDMHOST_MAX_SHARED_TOTAL) + " bytes");
        if (!placeUpward(&cursor, d.regions[r].size, &at)) // as the host places them
          failAt(source_, d.line, region,
                 "placed upward from placementBase " + hexText(scenario_.placementBase) +
                     ", the region would run past the end of the address space");
      }
    }
    for (size_t i = 0; i < scenario_.steps.size(); ++i)
      checkStep(scenario_.steps[i], "steps[" + std::to_string(i) + "].");
  }

  void checkStep(ScenarioStep& s, const std::string& path) {
    if (s.deviceLine == 0)
      return; // no device named
    const auto& devices = scenario_.devices;
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const ScenarioDevice& d) { return d.name == s.deviceName; });
    if (it == devices.end())
      failAt(source_, s.deviceLine, path + "device", "no device named \"" + s.deviceName + "\"");
    s.device = static_cast<size_t>(it - devices.begin());
    if (s.kind == stepKind("expectTransmitted") && provided_)
      failAt(source_, s.deviceLine, path + "device",
             "expectTransmitted reads pdmhost's own serial model, and \"" + s.deviceName +
                 "\" is the VM manager's device");
    // expectCalls needs the kind of device its callback belongs to.
    std::string want = s.kind->device, who = s.kind->name;
    if (const auto* c = std::get_if<CallsOperands>(&s.operands))
      want = c->callback[0] == 's' ? "serial" : "pci", who = c->callback;
    if (it->serial != (want == "serial"))
      failAt(source_, s.deviceLine, path + "device",
             who + " needs a " + (want == "serial" ? "serial" : "PCI") + " device; \"" +
                 s.deviceName + "\" is " + (it->serial ? "a serial" : "a PCI") + " device");
    const std::string why = s.kind->check ? s.kind->check(s, *it) : "";
    if (!why.empty()) // "field: why"
      failAt(source_, s.line, path + why.substr(0, why.find(':')), why.substr(why.find(':') + 2));
  }

  const std::string& source_;
  const std::vector<ScenarioDevice>* provided_;
  std::string stepKeys_ = " op "; // every field some step kind takes
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
  if (!S_ISREG(st.st_mode))
    throw ScenarioError(path + (S_ISDIR(st.st_mode) ? ": is a directory, not a scenario file"
                                                    : ": not a regular file"));
  if (static_cast<uint64_t>(st.st_size) > PDMHOST_MAX_SCENARIO_BYTES)
    throw ScenarioError(path + ": larger than " + std::to_string(PDMHOST_MAX_SCENARIO_BYTES >> 20) +
                        " MiB, the most a scenario may hold");
  // At most the size just found, should the file grow meanwhile.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    throw ScenarioError(path + ": cannot read: " + std::strerror(errno));
  std::string text(static_cast<size_t>(st.st_size), '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file));
  const bool failed = std::ferror(file) != 0;
  const int err = errno;
  std::fclose(file);
  if (failed)
    throw ScenarioError(path + ": cannot read: " + std::strerror(err));
  return parseScenario(text, path, provided);
}

} // namespace pdmhost
