// Reading a scenario. nlohmann-json's SAX interface feeds a handler that knows the shape of
// a scenario, so no JSON document is built, nesting never goes deeper than the format does,
// and each error names its field path and line. The whole scenario is checked against the
// device table before anything runs.
#include "tools/pdmhost/DeviceModels.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <regex>
#include <type_traits>

namespace pdmhost {

namespace {

using json = nlohmann::json;

struct OpInfo {
  const char* name;
  StepOp op;
  const char* fields; // besides "op" and "note", each between spaces
};

const OpInfo OPS[] = {
    {"portRead", StepOp::PortRead, " port size expect status contract "},
    {"portWrite", StepOp::PortWrite, " port size value status contract "},
    {"memRead", StepOp::MemRead, " device region offset address size expect status contract "},
    {"memWrite", StepOp::MemWrite, " device region offset address size value status contract "},
    {"sharedRead", StepOp::SharedRead, " device region offset size expect "},
    {"sharedWrite", StepOp::SharedWrite, " device region offset size value "},
    {"setIrq", StepOp::SetIrq, " device level "},
    {"expectIrq", StepOp::ExpectIrq, " device level "},
    {"expectConfig", StepOp::ExpectConfig, " device offset size expect "},
    {"expectTransmitted", StepOp::ExpectTransmitted, " device text "},
    {"placeRegion", StepOp::PlaceRegion, " device region address status "},
    {"failHost", StepOp::FailHost, " operation status count "},
    {"expectLog", StepOp::ExpectLog, " level text count "},
    {"expectIrqHistory", StepOp::ExpectIrqHistory, " device levels "},
    {"expectCalls", StepOp::ExpectCalls, " device callback offset port size count "},
};

// The host operations failHost can make refuse, by their scenario names.
const std::pair<const char*, HostOp> HOST_OPS[] = {
    {"register", HostOp::Register},
    {"ioPortRegister", HostOp::IoPortRegister},
    {"pciRegister", HostOp::PciRegister},
    {"sharedMemoryRegister", HostOp::Mmio2Register},
    {"regionRegister", HostOp::PciIoRegionRegister},
    {"mmioRegister", HostOp::MmioRegister},
    {"sharedMemoryMap", HostOp::Mmio2Map},
};
const char* const CALLBACKS = " serialReadFn serialWriteFn pciReadFn pciWriteFn ";

const char* const ROOT_KEYS = " devices steps placementBase setupStatus host note ";
const char* const DEVICE_KEYS =
    " note type name description regions ioPortBase ioPortCount failPort "
    "vendorId deviceId revision progIf subclass baseClass "
    "subsystemVendorId subsystemId idRegister failOffset ";
const char* const SERIAL_KEYS = " type name description ioPortBase ioPortCount failPort ";
const char* const PCI_KEYS = " type name description regions vendorId deviceId revision progIf "
                             "subclass baseClass subsystemVendorId subsystemId idRegister "
                             "failOffset ";
const char* const REGION_KEYS = " note region mmio size ";
const char* const STEP_KEYS = " op note device region offset address port size value expect "
                              "status level text operation count levels callback contract ";
const char* const ARRAY_KEYS = " devices steps regions ";

bool listed(const char* list, const std::string& key) {
  return !key.empty() && key.find(' ') == std::string::npos &&
         std::strstr(list, (" " + key + " ").c_str()) != nullptr;
}

struct Scalar {
  enum Kind { Null, Bool, Unsigned, Negative, Float, String, Array } kind = Null;
  uint64_t magnitude = 0; // Unsigned, Negative (absolute value), Bool (0 or 1)
  std::string text;       // String; Float as written
};

std::string shown(const Scalar& v) {
  switch (v.kind) {
  case Scalar::Null:
    return "null";
  case Scalar::Bool:
    return v.magnitude ? "true" : "false";
  case Scalar::Unsigned:
    return std::to_string(v.magnitude);
  case Scalar::Negative:
    return "-" + std::to_string(v.magnitude);
  case Scalar::Float:
    return v.text;
  case Scalar::String:
    return json(v.text).dump();
  default:
    return "an array";
  }
}

struct Field {
  std::string key;
  Scalar value;
  uint32_t line;
};

enum class Frame { Root, Devices, Device, Regions, Region, Steps, Step, Levels };

struct Level {
  Level(Frame f, std::string p, uint32_t l) : frame(f), path(std::move(p)), line(l) {}
  Frame frame;
  std::string path;
  uint32_t line;
  size_t count = 0;                    // arrays: elements so far
  std::vector<Field> fields;           // objects
  std::vector<ScenarioRegion> regions; // a device's, as they are read
};

// An iterator over the text that records how far the parser has read, so each event can
// be put on its line.
struct TrackingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;
  const char* p;
  const char** reached;
  reference operator*() const { return *p; }
  TrackingIterator& operator++() {
    *reached = ++p;
    return *this;
  }
  bool operator==(const TrackingIterator& o) const { return p == o.p; }
  bool operator!=(const TrackingIterator& o) const { return p != o.p; }
};

// The fields of one object, with the messages that name them.
class Fields {
public:
  Fields(const Level& level, const std::string& source) : level_(level), source_(source) {}

  const Field* find(const char* key) const {
    for (const Field& f : level_.fields)
      if (f.key == key)
        return &f;
    return nullptr;
  }
  bool has(const char* key) const { return find(key) != nullptr; }
  const Field& need(const char* key) const {
    if (const Field* f = find(key))
      return *f;
    fail(level_.line, level_.path, std::string("needs the field \"") + key + "\"");
  }
  template <typename T> T integer(const char* key) const { return integerOf<T>(need(key)); }
  template <typename T> std::optional<T> optionalInteger(const char* key) const {
    const Field* f = find(key);
    return f ? std::optional<T>(integerOf<T>(*f)) : std::nullopt;
  }
  std::string string(const char* key) const { return stringOf(need(key)); }
  std::optional<std::string> optionalString(const char* key) const {
    const Field* f = find(key);
    return f ? std::optional<std::string>(stringOf(*f)) : std::nullopt;
  }
  bool boolean(const char* key) const {
    const Field& f = need(key);
    if (f.value.kind != Scalar::Bool)
      failField(f, "expected true or false, got " + shown(f.value));
    return f.value.magnitude != 0;
  }
  /// Refuses any field not in `allowed` (" a b c "), saying what does not take it.
  void only(const char* allowed, const std::string& what) const {
    for (const Field& f : level_.fields)
      if (f.key != "note" && !listed(allowed, f.key))
        failField(f, what + " takes no field \"" + f.key + "\"");
  }
  [[noreturn]] void failField(const Field& f, const std::string& why) const {
    fail(f.line, level_.path + "." + f.key, why);
  }
  [[noreturn]] void fail(uint32_t line, const std::string& path, const std::string& why) const {
    throw ScenarioError(source_ + ":" + std::to_string(line) + ": " +
                        (path.empty() ? "" : path + ": ") + why);
  }
  const Level& level() const { return level_; }

private:
  template <typename T> T integerOf(const Field& f) const {
    const Scalar& v = f.value;
    bool negative = v.kind == Scalar::Negative;
    uint64_t magnitude = v.magnitude;
    if (v.kind == Scalar::String) {
      const char* p = v.text.data();
      const char* end = p + v.text.size();
      negative = p != end && *p == '-';
      p += negative;
      int base = 10;
      if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
      }
      const auto [stop, ec] = std::from_chars(p, end, magnitude, base);
      if (ec == std::errc::result_out_of_range)
        failField(f, shown(v) + " is out of range" + range<T>());
      if (ec != std::errc() || stop != end)
        failField(f, "expected an integer (decimal, or hex after \"0x\"), got " + shown(v));
    } else if (v.kind != Scalar::Unsigned && v.kind != Scalar::Negative) {
      failField(f, "expected an integer, got " + shown(v));
    }
    using Limits = std::numeric_limits<T>;
    if (negative && magnitude != 0) {
      if (!std::is_signed_v<T> || magnitude - 1 > static_cast<uint64_t>(Limits::max()))
        failField(f, shown(v) + " is out of range" + range<T>());
      return static_cast<T>(-static_cast<int64_t>(magnitude - 1) - 1);
    }
    if (magnitude > static_cast<uint64_t>(Limits::max()))
      failField(f, shown(v) + " is out of range" + range<T>());
    return static_cast<T>(magnitude);
  }
  template <typename T> static std::string range() {
    using Limits = std::numeric_limits<T>;
    return " (" + std::to_string(Limits::min()) + " to " + std::to_string(Limits::max()) + ")";
  }
  std::string stringOf(const Field& f) const {
    if (f.value.kind != Scalar::String)
      failField(f, "expected a string, got " + shown(f.value));
    return f.value.text;
  }

  const Level& level_;
  const std::string& source_;
};

bool fits(uint64_t value, uint32_t size) { return size >= 8 || value < (uint64_t(1) << 8 * size); }

// Where a step names a device: checked once every device is known.
struct DeviceUse {
  std::string name;
  uint32_t line;
};

class Reader {
public:
  Reader(const std::string& text, const std::string& source,
         const std::vector<ScenarioDevice>* provided)
      : begin_(text.data()), end_(text.data() + text.size()), reached_(begin_), source_(source),
        provided_(provided) {}

  Scenario read() {
    json::sax_parse(TrackingIterator{begin_, &reached_}, TrackingIterator{end_, &reached_}, this);
    if (provided_) {
      if (!scenario_.devices.empty())
        fail(scenario_.devices[0].line, "devices",
             "the devices come from the VM manager's library (--vm-manager): list none");
      scenario_.devices = *provided_;
    }
    check();
    return std::move(scenario_);
  }

  // ---- SAX events ----
  bool null() { return scalar(Scalar{}); }
  bool boolean(bool b) { return scalar(Scalar{Scalar::Bool, b ? 1u : 0u, {}}); }
  bool number_integer(json::number_integer_t v) {
    return v < 0 ? scalar(Scalar{Scalar::Negative, 0 - static_cast<uint64_t>(v), {}})
                 : scalar(Scalar{Scalar::Unsigned, static_cast<uint64_t>(v), {}});
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar(Scalar{Scalar::Unsigned, v, {}});
  }
  bool number_float(json::number_float_t, const json::string_t& s) {
    return scalar(Scalar{Scalar::Float, 0, s});
  }
  bool string(json::string_t& s) { return scalar(Scalar{Scalar::String, 0, std::move(s)}); }
  bool binary(json::binary_t&) { return scalar(Scalar{}); } // JSON text has none
  bool key(json::string_t& k) {
    Level& top = stack_.back();
    const char* keys = top.frame == Frame::Root     ? ROOT_KEYS
                       : top.frame == Frame::Device ? DEVICE_KEYS
                       : top.frame == Frame::Region ? REGION_KEYS
                                                    : STEP_KEYS;
    if (!listed(keys, k))
      fail(line(), top.path, "unknown field " + json(k).dump());
    for (const Field& f : top.fields)
      if (f.key == k)
        fail(line(), top.path, "the field \"" + k + "\" appears twice");
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) {
    if (stack_.empty()) {
      stack_.push_back(Level(Frame::Root, "", line()));
      return true;
    }
    Level& top = stack_.back();
    if (top.frame == Frame::Levels)
      notLevel(top, "an object");
    const Frame inner = top.frame == Frame::Devices   ? Frame::Device
                        : top.frame == Frame::Regions ? Frame::Region
                        : top.frame == Frame::Steps   ? Frame::Step
                                                      : Frame::Root;
    if (inner == Frame::Root)
      notSingle("an object");
    stack_.push_back(Level(inner, top.path + "[" + std::to_string(top.count++) + "]", line()));
    return true;
  }
  bool start_array(std::size_t) {
    if (stack_.empty())
      fail(line(), "", "the top level is an object with \"devices\" and \"steps\"");
    Level& top = stack_.back();
    if (top.frame == Frame::Levels)
      notLevel(top, "an array");
    if (isArray(top.frame))
      fail(line(), top.path + "[" + std::to_string(top.count) + "]", element() + ", not an array");
    if (top.frame == Frame::Step && key_ == "levels") {
      // [1, 0, 1, 0] is read as its text form "1,0,1,0", which the step checks.
      top.fields.push_back(Field{key_, Scalar{Scalar::String, 0, {}}, line()});
      stack_.push_back(Level(Frame::Levels, top.path + ".levels", line()));
      return true;
    }
    if (!listed(ARRAY_KEYS, key_))
      notSingle("an array");
    top.fields.push_back(Field{key_, Scalar{Scalar::Array, 0, {}}, line()});
    // key() let each array-valued field through only where it belongs.
    const Frame inner = key_ == "devices" ? Frame::Devices
                        : key_ == "steps" ? Frame::Steps
                                          : Frame::Regions;
    stack_.push_back(Level(inner, top.path.empty() ? key_ : top.path + "." + key_, line()));
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool end_object() {
    Level level = std::move(stack_.back());
    stack_.pop_back();
    const Fields fields(level, source_);
    switch (level.frame) {
    case Frame::Root:
      finishRoot(fields);
      break;
    case Frame::Device:
      scenario_.devices.push_back(device(fields, std::move(level.regions)));
      break;
    case Frame::Region:
      stack_[stack_.size() - 2].regions.push_back(region(fields));
      break;
    case Frame::Step:
      scenario_.steps.push_back(step(fields));
      break;
    default:
      break;
    }
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    // The library's text after its "[json.exception...] parse error at line L, column C: ".
    std::string why = e.what();
    const size_t colon = why.find(": ", why.find("column"));
    if (colon != std::string::npos)
      why = why.substr(colon + 2);
    const char* at = begin_ + std::min<size_t>(position ? position - 1 : 0, end_ - begin_);
    const char* lineStart = at;
    while (lineStart > begin_ && lineStart[-1] != '\n')
      --lineStart;
    const std::string path = stack_.empty() ? "" : stack_.back().path;
    throw ScenarioError(source_ + ":" + std::to_string(lineOf(at)) + ":" +
                        std::to_string(at - lineStart + 1) + ": " +
                        (path.empty() ? "" : path + ": ") + why);
  }

private:
  static bool isArray(Frame f) {
    return f == Frame::Devices || f == Frame::Regions || f == Frame::Steps;
  }
  std::string element() const {
    switch (stack_.back().frame) {
    case Frame::Devices:
      return "a device is an object";
    case Frame::Regions:
      return "a region is an object";
    default:
      return "a step is an object";
    }
  }
  bool scalar(Scalar v) {
    if (stack_.empty())
      fail(line(), "", "the top level is an object with \"devices\" and \"steps\"");
    Level& top = stack_.back();
    if (top.frame == Frame::Levels) {
      if (v.kind != Scalar::Unsigned || v.magnitude > 1)
        notLevel(top, shown(v));
      std::string& text = stack_[stack_.size() - 2].fields.back().value.text;
      text += (top.count++ ? "," : "") + std::to_string(v.magnitude);
      return true;
    }
    if (isArray(top.frame))
      fail(line(), top.path + "[" + std::to_string(top.count) + "]",
           element() + ", got " + shown(v));
    if (listed(ARRAY_KEYS, key_))
      fail(line(), pathOf(top), "expected an array, got " + shown(v));
    top.fields.push_back(Field{std::move(key_), std::move(v), line()});
    return true;
  }
  [[noreturn]] void notLevel(const Level& levels, const std::string& got) {
    fail(line(), levels.path + "[" + std::to_string(levels.count) + "]",
         "a level is 0 or 1, got " + got);
  }
  [[noreturn]] void notSingle(const char* what) {
    fail(line(), pathOf(stack_.back()),
         std::string("expected ") + (listed(ARRAY_KEYS, key_) ? "an array" : "a single value") +
             ", got " + what);
  }
  std::string pathOf(const Level& l) const { return l.path.empty() ? key_ : l.path + "." + key_; }
  // The line of the last character read (the one before any look-ahead past a number).
  uint32_t line() { return lineOf(reached_ > begin_ ? reached_ - 1 : begin_); }
  uint32_t lineOf(const char* at) {
    if (at < counted_) {
      counted_ = begin_;
      lines_ = 1;
    }
    for (; counted_ < at; ++counted_)
      lines_ += *counted_ == '\n';
    return lines_;
  }
  [[noreturn]] void fail(uint32_t line, const std::string& path, const std::string& why) const {
    throw ScenarioError(source_ + ":" + std::to_string(line) + ": " +
                        (path.empty() ? "" : path + ": ") + why);
  }

  void finishRoot(const Fields& f) {
    if (auto base = f.optionalInteger<uint64_t>("placementBase"))
      scenario_.placementBase = *base;
    scenario_.setupStatus = f.optionalInteger<int32_t>("setupStatus").value_or(0);
    if (auto host = f.optionalString("host")) {
      std::string why;
      if (!findRelease(*host, &scenario_.host, &why))
        f.failField(*f.find("host"), why.substr(0, why.find(';')) + " (pdmhost --help lists them)");
    }
    f.optionalString("note");
  }

  ScenarioDevice device(const Fields& f, std::vector<ScenarioRegion> regions) {
    ScenarioDevice d;
    d.line = f.level().line;
    const std::string type = f.string("type");
    if (type != "serial" && type != "pci")
      f.failField(f.need("type"), "is \"serial\" or \"pci\", got " + json(type).dump());
    d.serial = type == "serial";
    d.name = f.string("name");
    if (d.name.empty() || d.name.size() > 31)
      f.failField(f.need("name"), "a device name has 1 to 31 bytes");
    if (d.name.find('\0') != std::string::npos)
      f.failField(f.need("name"), "a device name holds no NUL character");
    d.description = f.optionalString("description").value_or(d.name);
    if (d.description.find('\0') != std::string::npos)
      f.failField(f.need("description"), "a description holds no NUL character");
    f.optionalString("note");
    if (d.serial) {
      f.only(SERIAL_KEYS, "a serial device");
      d.ioPortBase = f.integer<uint16_t>("ioPortBase");
      d.ioPortCount = f.integer<uint16_t>("ioPortCount");
      if (d.ioPortCount == 0 || d.ioPortBase + d.ioPortCount > 0x10000)
        f.failField(f.need("ioPortCount"), "the ports run from ioPortBase up to at most 0xffff");
      d.failPort = f.optionalInteger<uint16_t>("failPort").value_or(-1);
      return d;
    }
    f.only(PCI_KEYS, "a PCI function");
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
    d.regions = std::move(regions);
    if (std::count_if(d.regions.begin(), d.regions.end(), [](auto& r) { return r.mmio; }) > 1)
      f.failField(f.need("regions"), "a device has at most one MMIO region");
    return d;
  }

  ScenarioRegion region(const Fields& f) {
    ScenarioRegion r;
    const size_t index = stack_.back().count - 1;
    r.region = f.integer<uint32_t>("region");
    if (r.region != index)
      f.failField(f.need("region"), "regions stand in region-number order from 0 without gaps: "
                                    "this one is region " +
                                        std::to_string(index));
    if (r.region > 5)
      f.failField(f.need("region"), "a PCI function has regions 0 to 5");
    r.mmio = f.boolean("mmio");
    f.optionalString("note");
    r.size = f.integer<uint64_t>("size");
    const uint64_t max = r.mmio ? PDMHOST_MAX_MMIO_REGION_SIZE : PDMHOST_MAX_SHARED_REGION_SIZE;
    if (r.size < PDMHOST_MIN_REGION_SIZE || r.size > max || (r.size & (r.size - 1)))
      f.failField(f.need("size"), "a region size is a power of two from 16 to " + hexText(max) +
                                      (r.mmio ? " (MMIO)" : " (shared memory)"));
    return r;
  }

  ScenarioStep step(const Fields& f) {
    ScenarioStep s;
    s.line = f.level().line;
    const std::string op = f.string("op");
    const OpInfo* info = nullptr;
    for (const OpInfo& o : OPS)
      if (op == o.name)
        info = &o;
    if (!info)
      f.failField(f.need("op"), "unknown op " + json(op).dump());
    s.op = info->op;
    for (const Field& field : f.level().fields)
      if (field.key != "op" && field.key != "note" && !listed(info->fields, field.key))
        f.failField(field, op + " takes no field \"" + field.key + "\"");
    s.note = f.optionalString("note").value_or("");
    if (listed(info->fields, "status"))
      s.status = f.optionalInteger<int32_t>("status").value_or(0);
    s.contract = f.has("contract") && f.boolean("contract");
    if (s.contract && f.has("status"))
      f.failField(f.need("status"), "a contract step checks only the statuses the module may give");
    const bool isPort = s.op == StepOp::PortRead || s.op == StepOp::PortWrite;
    if (isPort)
      s.port = f.integer<uint16_t>("port");
    if (listed(info->fields, "size") && s.op != StepOp::ExpectCalls) {
      s.size = f.integer<uint32_t>("size");
      const bool bus = isPort || s.op == StepOp::ExpectConfig;
      if (bus ? s.size != 1 && s.size != 2 && s.size != 4 : s.size == 0 || s.size > 8)
        f.failField(f.need("size"),
                    bus ? "an access of 1, 2 or 4 bytes" : "an access of 1 to 8 bytes");
    }
    const bool absolute = f.has("address") && s.op != StepOp::PlaceRegion;
    DeviceUse use{};
    if (absolute) {
      s.address = f.integer<uint64_t>("address");
      for (const char* other : {"device", "region", "offset"})
        if (const Field* o = f.find(other))
          f.failField(*o,
                      "a step takes either \"address\" or \"device\", \"region\" and \"offset\"");
      if (*s.address > UINT64_MAX - (s.size - 1))
        f.failField(f.need("address"), "the access runs past the end of the address space");
    } else if (listed(info->fields, "device")) {
      use = DeviceUse{f.string("device"), f.need("device").line};
      if (listed(info->fields, "region"))
        s.region = f.integer<uint32_t>("region");
      if (listed(info->fields, "offset"))
        s.offset = s.op == StepOp::ExpectCalls ? f.optionalInteger<uint64_t>("offset").value_or(0)
                                               : f.integer<uint64_t>("offset");
    }
    uses_.push_back(std::move(use));
    if (s.op == StepOp::PlaceRegion)
      s.address = f.integer<uint64_t>("address");
    if (s.op == StepOp::SetIrq || s.op == StepOp::ExpectIrq)
      s.level = f.integer<int32_t>("level");
    if (s.op == StepOp::ExpectTransmitted)
      s.text = f.string("text");
    if (listed(info->fields, "value")) {
      s.value = f.integer<uint64_t>("value");
      if (!fits(s.value, s.size))
        f.failField(f.need("value"),
                    hexText(s.value) + " does not fit " + std::to_string(s.size) + " bytes");
    }
    if (listed(info->fields, "expect")) {
      // A read expected to fail may leave its value unchecked.
      if ((s.status == 0 && !s.contract) || f.has("expect"))
        s.expect = f.integer<uint64_t>("expect");
      if (s.expect && !fits(*s.expect, s.size))
        f.failField(f.need("expect"),
                    hexText(*s.expect) + " does not fit " + std::to_string(s.size) + " bytes");
    }
    if (listed(info->fields, "count"))
      s.count = f.optionalInteger<uint32_t>("count");
    if (s.op == StepOp::FailHost) {
      const std::string name = f.string("operation");
      const auto* found = std::find_if(std::begin(HOST_OPS), std::end(HOST_OPS),
                                       [&](const auto& o) { return name == o.first; });
      if (found == std::end(HOST_OPS))
        f.failField(f.need("operation"),
                    "is one of register, ioPortRegister, pciRegister, sharedMemoryRegister, "
                    "regionRegister, mmioRegister, sharedMemoryMap; got " +
                        json(name).dump());
      s.hostOp = static_cast<int>(found->second);
      s.text = name;
      s.status = f.integer<int32_t>("status");
      if (s.status >= 0)
        f.failField(f.need("status"), "a refusal is a negative status");
      if (s.count.value_or(1) == 0 || s.count.value_or(1) > PDMHOST_MAX_FAULTS)
        f.failField(f.need("count"),
                    "refuses 1 to " + std::to_string(PDMHOST_MAX_FAULTS) + " calls");
    }
    if (s.op == StepOp::ExpectLog) {
      s.level = f.integer<int32_t>("level");
      if (s.level < 0 || s.level > 4)
        f.failField(f.need("level"), "a log level from 0 (error) to 4 (verbose)");
      s.text = f.optionalString("text").value_or("");
      try {
        std::regex check(s.text);
      } catch (const std::regex_error& e) {
        f.failField(f.need("text"), std::string("not a regular expression: ") + e.what());
      }
    }
    if (s.op == StepOp::ExpectIrqHistory) {
      // "1,0,1,0": the levels since the previous expectIrqHistory of the device, oldest first.
      const std::string text = f.string("levels");
      for (size_t i = 0; i < text.size(); i += 2) {
        if ((text[i] != '0' && text[i] != '1') || (i + 1 < text.size() && text[i + 1] != ','))
          f.failField(f.need("levels"),
                      "levels 0 and 1 separated by commas, got " + json(text).dump());
        s.levels.push_back(text[i] - '0');
      }
    }
    if (s.op == StepOp::ExpectCalls) {
      s.callback = f.string("callback");
      if (!listed(CALLBACKS, s.callback))
        f.failField(f.need("callback"), "is serialReadFn, serialWriteFn, pciReadFn or "
                                        "pciWriteFn; got " +
                                            json(s.callback).dump());
      s.count = f.integer<uint32_t>("count");
      s.address = f.optionalInteger<uint64_t>("port");
      if (s.address && s.callback[0] == 'p')
        f.failField(f.need("port"), s.callback + " takes an offset, not a port");
      if (f.has("offset") && s.callback[0] == 's')
        f.failField(f.need("offset"), s.callback + " takes a port, not an offset");
      if (f.has("offset"))
        s.address = s.offset;
      if (f.has("size"))
        s.size = f.integer<uint32_t>("size");
    }
    return s;
  }

  // ---- the scenario as a whole ----

  void check() {
    const std::vector<ScenarioDevice>& devices = scenario_.devices;
    size_t serials = 0;
    uint64_t shared = 0, cursor = scenario_.placementBase;
    for (size_t i = 0; i < devices.size(); ++i) {
      const ScenarioDevice& d = devices[i];
      const std::string path = "devices[" + std::to_string(i) + "]";
      serials += d.serial;
      if (std::max(serials, i + 1 - serials) > PDMHOST_MAX_MODELS)
        fail(d.line, path,
             "more than " + std::to_string(PDMHOST_MAX_MODELS) + " " +
                 (d.serial ? "serial" : "PCI") + " devices");
      for (size_t j = 0; j < i; ++j) {
        if (devices[j].name == d.name)
          fail(d.line, path + ".name",
               "duplicate name \"" + d.name + "\" (devices[" + std::to_string(j) + "] has it)");
        if (d.serial && devices[j].serial &&
            d.ioPortBase < devices[j].ioPortBase + devices[j].ioPortCount &&
            devices[j].ioPortBase < d.ioPortBase + d.ioPortCount)
          fail(d.line, path + ".ioPortBase",
               "its ports overlap those of \"" + devices[j].name + "\"");
      }
      for (size_t r = 0; r < d.regions.size(); ++r) {
        const uint64_t size = d.regions[r].size, align = std::max<uint64_t>(size, 4096);
        shared += d.regions[r].mmio ? 0 : size;
        if (shared > PDMHOST_MAX_SHARED_TOTAL)
          fail(d.line, path + ".regions[" + std::to_string(r) + "]",
               "the shared-memory regions of a scenario total at most " +
                   hexText(PDMHOST_MAX_SHARED_TOTAL) + " bytes");
        // Placement as the host does it: upward from placementBase, each aligned to its size.
        if (cursor > UINT64_MAX - (align - 1) ||
            size > UINT64_MAX - (cursor + align - 1) / align * align)
          fail(d.line, path + ".regions[" + std::to_string(r) + "]",
               "placed upward from placementBase " + hexText(scenario_.placementBase) +
                   ", the region would run past the end of the address space");
        cursor = (cursor + align - 1) / align * align + size;
      }
    }
    for (size_t i = 0; i < scenario_.steps.size(); ++i)
      checkStep(scenario_.steps[i], uses_[i], "steps[" + std::to_string(i) + "]");
  }

  void checkStep(ScenarioStep& s, const DeviceUse& use, const std::string& path) {
    if (use.line == 0)
      return; // no device named
    const auto& devices = scenario_.devices;
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const ScenarioDevice& d) { return d.name == use.name; });
    if (it == devices.end())
      fail(use.line, path + ".device", "no device named " + json(use.name).dump());
    s.device = static_cast<size_t>(it - devices.begin());
    const bool wantsSerial =
        s.op == StepOp::ExpectTransmitted || (s.op == StepOp::ExpectCalls && s.callback[0] == 's');
    if (s.op == StepOp::ExpectTransmitted && provided_)
      fail(use.line, path + ".device",
           "expectTransmitted reads pdmhost's own serial model, and \"" + use.name +
               "\" is the VM manager's device");
    if (it->serial != wantsSerial)
      fail(use.line, path + ".device",
           std::string(stepOpName(s.op)) + " needs a " + (wantsSerial ? "serial" : "PCI") +
               " device; \"" + use.name + "\" is " + (it->serial ? "a serial" : "a PCI") +
               " device");
    const bool regional = s.op == StepOp::MemRead || s.op == StepOp::MemWrite ||
                          s.op == StepOp::SharedRead || s.op == StepOp::SharedWrite ||
                          s.op == StepOp::PlaceRegion;
    if (!regional) {
      if (s.op == StepOp::ExpectConfig && (s.offset > 256 || s.size > 256 - s.offset))
        fail(s.line, path + ".offset", "the access runs past the 256 bytes of configuration space");
      return;
    }
    if (s.region >= it->regions.size())
      fail(s.line, path + ".region",
           "\"" + use.name + "\" has no region " + std::to_string(s.region));
    const ScenarioRegion& r = it->regions[s.region];
    if ((s.op == StepOp::SharedRead || s.op == StepOp::SharedWrite) && r.mmio)
      fail(s.line, path + ".region",
           "region " + std::to_string(s.region) + " of \"" + use.name +
               "\" is MMIO, not shared memory");
    if (s.op != StepOp::PlaceRegion && (s.offset > r.size || s.size > r.size - s.offset))
      fail(s.line, path + ".offset",
           "the access runs past the end of region " + std::to_string(s.region) + " (" +
               hexText(r.size) + " bytes)");
  }

  const char* begin_;
  const char* end_;
  const char* reached_;
  const char* counted_ = begin_;
  uint32_t lines_ = 1;
  const std::string& source_;
  std::vector<Level> stack_;
  std::string key_;
  Scenario scenario_;
  std::vector<DeviceUse> uses_;
  const std::vector<ScenarioDevice>* provided_;
};

} // namespace

const char* stepOpName(StepOp op) {
  for (const OpInfo& o : OPS)
    if (o.op == op)
      return o.name;
  return "?";
}

Scenario parseScenario(const std::string& text, const std::string& source,
                       const std::vector<ScenarioDevice>* provided) {
  return Reader(text, source, provided).read();
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
