// Guests program devices through a few registers at the start of a region, so most accesses
// go there; a few go to the region's edges, past its end, or anywhere, for what the registers
// hide. Values are flags, counts and sizes from a dictionary, or any.
#include "tools/pdmhost/FuzzInput.h"

#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Steps.h"

#include <algorithm>

namespace pdmhost {

using json = nlohmann::ordered_json;

namespace {

// Memory sizes the bus passes on: 1 to 8 bytes, the register widths most often.
constexpr uint32_t MEMORY_SIZES[16] = {4, 4, 4, 4, 1, 1, 2, 2, 8, 8, 1, 2, 3, 5, 6, 7};

// Little-endian numbers from the input; zeros once it runs out.
struct Reader {
  const std::string& bytes;
  size_t at = 0;
  uint64_t take(int count) {
    uint64_t v = 0;
    for (int i = 0; i < count; ++i, ++at)
      v |= uint64_t(at < bytes.size() ? static_cast<uint8_t>(bytes[at]) : 0) << 8 * i;
    return v;
  }
};

uint64_t fit(uint64_t value, uint32_t size) {
  return size >= 8 ? value : value & ((uint64_t(1) << 8 * size) - 1);
}

// A dictionary entry: powers of two and their neighbours, 0, all ones, the region's size,
// and what reads gave.
uint64_t dictionary(uint64_t index, uint64_t regionSize, const std::vector<uint64_t>& seen) {
  const uint64_t power = uint64_t(1) << (index / 8 % 64);
  const uint64_t entries[8] = {
      power,        power - 1, power + 1,  0,
      ~uint64_t(0), 1,         regionSize, seen.empty() ? power : seen[index / 8 % seen.size()]};
  return entries[index % 8];
}

uint64_t offsetIn(Reader& in, uint64_t size, uint32_t width) {
  switch (in.take(1) % 8) {
  case 0: { // the edges and just past the end
    const uint64_t edges[4] = {size - width, size - 1, size, size + in.take(1) % 16};
    return edges[in.take(1) % 4];
  }
  case 1:
    return in.take(8) % size;
  default: // a register among the first 16 to 8192 bytes, aligned to its width
    return in.take(2) * width % std::min(size, uint64_t(16) << in.take(1) % 10) / width * width;
  }
}

} // namespace

std::vector<FuzzTarget> fuzzTargets(const json& check) {
  std::vector<FuzzTarget> targets;
  for (const json& d : check["devices"]) {
    const std::string name = d["name"];
    if (d["serial"]) {
      targets.push_back({FuzzTarget::Port, d["ioPortBase"], d["ioPortCount"], name});
      continue;
    }
    targets.push_back({FuzzTarget::Irq, 0, 0, name});
    for (const json& r : d["regions"])
      if (r["size"] != 0 && r["placed"])
        targets.push_back({FuzzTarget::Memory, r["at"], r["size"], name});
  }
  return targets;
}

std::vector<FuzzAccess> decodeAccesses(const std::string& bytes,
                                       const std::vector<FuzzTarget>& targets,
                                       const std::vector<uint64_t>& seen, size_t maxSteps) {
  std::vector<FuzzAccess> accesses;
  Reader in{bytes};
  // The kinds of the step table that each kind of target's accesses use, found once rather
  // than for every access.
  std::vector<const StepKind*> kindsOf[3];
  for (const StepKind& k : stepKinds())
    if (k.fuzz != FuzzUse::None)
      kindsOf[k.fuzz == FuzzUse::Irq                                        ? FuzzTarget::Irq
              : k.fuzz == FuzzUse::PortRead || k.fuzz == FuzzUse::PortWrite ? FuzzTarget::Port
                                                                            : FuzzTarget::Memory]
          .push_back(&k);
  while (in.at < bytes.size() && accesses.size() < maxSteps && !targets.empty()) {
    const FuzzTarget& t = targets[in.take(1) % targets.size()];
    const std::vector<const StepKind*>& kinds = kindsOf[t.kind];
    FuzzAccess a{kinds[in.take(1) % kinds.size()], &t, 0, 0, 0};
    if (t.kind == FuzzTarget::Irq) {
      a.where = in.take(1) % 2;
    } else if (t.kind == FuzzTarget::Port) { // one below the range to one past it
      a.size = 1u << in.take(1) % 3;
      a.where = std::min<uint64_t>(t.base + in.take(1) % (t.size + 2) - (t.base > 0), 0xffff);
    } else {
      a.size = MEMORY_SIZES[in.take(1) % 16];
      a.where = t.base + offsetIn(in, t.size, a.size);
    }
    // A written value is the input's bytes, or a dictionary entry they choose: the bytes are
    // there either way, so that libFuzzer can put a value the device compares with in place.
    if (a.kind->fuzz == FuzzUse::PortWrite || a.kind->fuzz == FuzzUse::MemWrite) {
      const bool fromDictionary = in.take(1) % 4 == 0;
      const uint64_t bytes = in.take(int(a.size));
      a.value = fit(fromDictionary ? dictionary(bytes, t.size, seen) : bytes, a.size);
    }
    accesses.push_back(a);
  }
  return accesses;
}

json stepsJson(const std::vector<FuzzAccess>& accesses) {
  json steps = json::array();
  for (const FuzzAccess& a : accesses) {
    if (a.target->kind == FuzzTarget::Irq) {
      steps.push_back({{"op", a.kind->name}, {"device", a.target->device}, {"level", a.where}});
      continue;
    }
    json s = {{"op", a.kind->name}};
    s[a.target->kind == FuzzTarget::Port ? "port" : "address"] = hexText(a.where);
    s["size"] = a.size;
    if (a.kind->fuzz == FuzzUse::PortWrite || a.kind->fuzz == FuzzUse::MemWrite)
      s["value"] = hexText(a.value);
    s["contract"] = true;
    steps.push_back(std::move(s));
  }
  return steps;
}

} // namespace pdmhost
